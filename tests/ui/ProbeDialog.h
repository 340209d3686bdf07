// An update dialog whose hooks and seams the tests set and watch.
#pragma once

#include <functional>
#include <string>

#include "ProgressDlg.h"
#include "UpdateDlg.h"

// Browse's request as the file dialog would have received it.
struct FileRequest {
  int runs = 0;
  std::string file;
  DWORD maxFile = 0;
  std::string title;
  std::string filter;  // the list with its zeros, up to the closing double zero
  bool hasInitialDirectory = false;
  std::string initialDirectory;
  DWORD flags = 0;
};

class ProbeDialog : public CUpdateDlg {
 public:
  std::function<int()> check, apply, after;
  int checks = 0, applies = 0, afters = 0, cancels = 0, beeps = 0;
  FileRequest request;
  bool realFileDialog = false;
  int fileDialogAnswer = IDCANCEL;

  int CheckInstallation() override {
    ++checks;
    return check ? check() : CUpdateDlg::CheckInstallation();
  }
  int ApplyPatches() override {
    ++applies;
    return apply ? apply() : CUpdateDlg::ApplyPatches();
  }
  int AfterUpdate() override {
    ++afters;
    return after ? after() : CUpdateDlg::AfterUpdate();
  }
  void OnCancelCommand() override {
    ++cancels;
    CUpdateDlg::OnCancelCommand();
  }
  bool Running() const { return m_running; }

 protected:
  int RunFileDialog(CFileDialog& dialog) override {
    const OPENFILENAMEA& r = dialog.m_openFileName;
    ++request.runs;
    request.file = r.lpstrFile ? r.lpstrFile : "(null)";
    request.maxFile = r.nMaxFile;
    request.title = r.lpstrTitle ? r.lpstrTitle : "(null)";
    request.filter.clear();
    for (const char* p = r.lpstrFilter; p && (p[0] || p[1]); ++p) request.filter += *p;
    request.hasInitialDirectory = r.lpstrInitialDir != nullptr;
    request.initialDirectory = r.lpstrInitialDir ? r.lpstrInitialDir : "";
    request.flags = r.Flags;
    return realFileDialog ? CUpdateDlg::RunFileDialog(dialog) : fileDialogAnswer;
  }
  void Beep() override { ++beeps; }
};

inline std::string ControlText(HWND dialog, int id) {
  char text[1024] = {};
  GetDlgItemTextA(dialog, id, text, sizeof text);
  return text;
}
