// CUpdateApp: the updater's application object. The program's whole life is
// the modal run of the release update dialog inside StartUp.
#pragma once

#include "WinApp.h"

class CReleaseUpdateDlg;

class CUpdateApp : public CWinApp {
 public:
  // No name: the title comes from the string table.
  CUpdateApp() : CWinApp(nullptr) {}
  ~CUpdateApp() override;

  // Runs the dialog and returns 0, so no message loop follows.
  int StartUp() override;
  // Deletes the dialog; the base's exit code.
  int ShutDown() override;

  CReleaseUpdateDlg* m_dialog = nullptr;
};
