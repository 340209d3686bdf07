#include "FileDialog.h"

#include <cstring>

#include "Owner.h"
#include "WinApp.h"

namespace {

// The framework's hook: the platform's defaults do everything we need.
UINT_PTR CALLBACK FileDialogHook(HWND, UINT, WPARAM, LPARAM) { return 0; }

}  // namespace

CFileDialog::CFileDialog(int open, const char* defaultExtension, const char* fileName, DWORD flags,
                         const char* filter, CWnd* parent)
    : CCommonDialog(parent), m_openFileName(), m_open(open), m_fileName(), m_fileTitle() {
  m_openFileName.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  m_openFileName.lpstrFile = m_fileName;
  m_openFileName.nMaxFile = sizeof m_fileName;
  m_openFileName.lpstrFileTitle = m_fileTitle;
  m_openFileName.nMaxFileTitle = sizeof m_fileTitle;
  m_openFileName.Flags = flags | OFN_ENABLEHOOK | OFN_ENABLESIZING;
  // The program offers no help, so older shells never get OFN_SHOWHELP.
  if (LOBYTE(LOWORD(GetVersion())) >= 4) {
    m_openFileName.Flags |= OFN_EXPLORER;
    m_openFileName.hInstance = GetResourceModule();
  }
  m_openFileName.lpfnHook = &FileDialogHook;
  if (defaultExtension) {
    m_defaultExtension = defaultExtension;
    m_openFileName.lpstrDefExt = m_defaultExtension.c_str();
  }
  if (fileName) lstrcpynA(m_fileName, fileName, sizeof m_fileName);
  if (filter) {
    m_filter = filter;
    m_filter += '\0';
    for (char& c : m_filter)
      if (c == '|') c = '\0';
    m_openFileName.lpstrFilter = m_filter.c_str();
  }
}

int CFileDialog::RunModal() {
  char* file = m_openFileName.lpstrFile;
  const size_t used = strlen(file);
  if (used < m_openFileName.nMaxFile) memset(file + used, 0, m_openFileName.nMaxFile - used);

  ModalOwner owner(m_parent ? m_parent->m_hWnd : nullptr);
  HWND focus = GetFocus();
  m_openFileName.hwndOwner = owner.m_owner;

  const BOOL chosen =
      m_open ? GetOpenFileNameA(&m_openFileName) : GetSaveFileNameA(&m_openFileName);

  owner.Release();
  if (focus && IsWindow(focus)) SetFocus(focus);
  return chosen ? IDOK : IDCANCEL;
}
