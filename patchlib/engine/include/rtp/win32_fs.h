// The Win32 file system with the platform calls that decide what is a
// reparse point made replaceable: Wine makes neither junctions nor symbolic
// links, so tests feed the answers a junction would give.
#ifndef RTP_WIN32_FS_H
#define RTP_WIN32_FS_H

#include <windows.h>

#include <memory>

#include "rtp/fs.h"

namespace rtp {

struct Win32Api {
  BOOL(WINAPI* getFileAttributesEx)(LPCSTR, GET_FILEEX_INFO_LEVELS, LPVOID);
  HANDLE(WINAPI* createFile)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* getFileInformationByHandle)(HANDLE, LPBY_HANDLE_FILE_INFORMATION);
};

Win32Api nativeWin32Api();
std::unique_ptr<FileSystem> makeWin32FileSystem(const Win32Api& api);

}  // namespace rtp

#endif
