#include "ReleaseUpdateDlg.h"

#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "ApplyPatch.h"
#include "WinApp.h"
#include "resource.h"

namespace {

const char kAppPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\vlw32.exe";
const char kDefaultPath[] = "C:\\Program Files\\Brennock\\Velmora\\vlw32.exe";
const char kExecutable[] = "vlw32.exe";
const char kProductWindowClass[] = "TernFrame";
const DWORD kPathBuffer = 256;

// Copies the key's unnamed value into path when it is a text that fits;
// otherwise path is left as it was. RegQueryValueA would hand back an empty
// string for a missing value, so the value is asked for directly.
void ReadInstalledPath(char (&path)[kPathBuffer]) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAppPathsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  char value[kPathBuffer] = {};
  DWORD type = 0;
  DWORD size = sizeof value;
  const LONG result =
      RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  // Too long (ERROR_MORE_DATA), or not text.
  if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return;
  // A text stored without its zero still ends in the zeroed buffer, unless it
  // fills the buffer.
  if (size > sizeof value || (size == sizeof value && !memchr(value, '\0', size))) return;
  memcpy(path, value, sizeof path);
}

}  // namespace

CReleaseUpdateDlg::CReleaseUpdateDlg() : CUpdateDlg(nullptr) {
  char path[kPathBuffer] = {};
  strcpy(path, kDefaultPath);
  ReadInstalledPath(path);
  m_directory = path;
  const int lastBackslash = m_directory.FindLast('\\');
  if (lastBackslash > 0) m_directory = m_directory.Prefix(lastBackslash + 1);
  m_backup = 0;
  m_minFreeMB = 9;
}

CReleaseUpdateDlg::~CReleaseUpdateDlg() = default;

int CReleaseUpdateDlg::FileExists(const char* path) {
  struct _stat64 info;
  if (_stat64(path, &info) != 0) return 0;
  return (info.st_mode & 0x4000) == 0 ? 1 : 0;
}

BOOL CReleaseUpdateDlg::QueryDiskFreeSpace(const char* root, DWORD* sectorsPerCluster,
                                           DWORD* bytesPerSector, DWORD* freeClusters,
                                           DWORD* totalClusters) {
  return GetDiskFreeSpaceA(root, sectorsPerCluster, bytesPerSector, freeClusters, totalClusters);
}

int CReleaseUpdateDlg::GetFreeMegabytes() {
  const CText root = m_directory.Prefix(3);
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  if (!QueryDiskFreeSpace(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
    return -1;
  const uint64_t clusterBytes = uint64_t(sectorsPerCluster) * bytesPerSector;
  // Whole megabytes; more than an int holds is still "plenty".
  const uint64_t clusterLimit = UINT64_MAX / (clusterBytes ? clusterBytes : 1);
  if (freeClusters > clusterLimit) return INT_MAX;
  const uint64_t megabytes = clusterBytes * freeClusters / 1048576u;
  return megabytes > uint64_t(INT_MAX) ? INT_MAX : static_cast<int>(megabytes);
}

int CReleaseUpdateDlg::CheckInstallation() {
  // The patch sequence cuts the directory at its last backslash.
  const int length = m_directory.GetLength();
  if (length == 0 || m_directory[length - 1] != '\\') m_directory += "\\";

  if (!FileExists(m_directory + kExecutable)) {
    ShowMessage(IDS_ERR_NOTINSTALLED, MB_OK, -1);
    return 0;
  }
  if (m_backup && GetFreeMegabytes() < m_minFreeMB) {
    ShowMessage(IDS_ERR_DISKSPACE, MB_OK, -1);
    return 0;
  }
  while (FindWindowA(kProductWindowClass, nullptr)) {
    // Only an explicit OK searches again: a box that cannot be shown must
    // not turn this into an endless loop.
    if (ShowMessage(IDS_ERR_RUNNING, MB_OKCANCEL, -1) != IDOK) return 0;
  }
  return 1;
}

int CReleaseUpdateDlg::ApplyPatches() {
  CText directory = m_directory;
  const int lastBackslash = directory.FindLast('\\');
  if (lastBackslash >= 0) directory = directory.Prefix(lastBackslash);

  // A bare drive designator would select that drive's current directory,
  // not its root, so the root is named in full for the change.
  if (directory.GetLength() == 2 && directory[1] == ':')
    SetCurrentDirectoryA(directory + "\\");
  else
    SetCurrentDirectoryA(directory);

  g_backupFlag = m_backup ? 1 : 0;
  int applied = ApplyPatch(directory, "r7r8s");
  if (!applied) applied = ApplyPatch(directory, "r7r8p");
  if (applied) {
    ApplyPatch(directory, "postpatch");
    ApplyPatch(directory, "taxtbl");
    return 1;
  }
  ShowMessage(IDS_ERR_PATCH, MB_OK, -1);
  return 0;
}

int CReleaseUpdateDlg::AfterUpdate() { return 1; }
