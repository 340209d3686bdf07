// Common dialogs: CCommonDialog and CFileDialog, a thin wrapper that keeps the
// platform's OPENFILENAME record and its fixed buffers in plain view.
#pragma once

#include <windows.h>

#include <commdlg.h>

#include <string>

#include "Dialog.h"

class CCommonDialog : public CDialog {
 public:
  explicit CCommonDialog(CWnd* parent) : CDialog(0, parent) {}
};

class CFileDialog : public CCommonDialog {
 public:
  // filter: description and pattern pairs separated by '|'.
  explicit CFileDialog(int open, const char* defaultExtension = nullptr,
                       const char* fileName = nullptr,
                       DWORD flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                       const char* filter = nullptr, CWnd* parent = nullptr);

  // 1 when the user chose a file, 2 otherwise (a failing dialog looks like Cancel).
  int RunModal() override;
  CText GetChosenPath() const { return CText(m_openFileName.lpstrFile); }

  // Sized as the record without its later extension, which is all we fill.
  OPENFILENAMEA m_openFileName;

 private:
  int m_open;
  char m_fileName[260];
  char m_fileTitle[64];
  std::string m_defaultExtension;
  std::string m_filter;
};
