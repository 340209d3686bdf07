#include "UpdateApp.h"

#include "ApplyPatch.h"
#include "Dialog.h"
#include "PatchCallback.h"
#include "ReleaseUpdateDlg.h"

CUpdateApp theApp;

CUpdateApp::~CUpdateApp() = default;

int CUpdateApp::StartUp() {
  SetDialogColors(RGB(192, 192, 192), RGB(0, 0, 0));
  g_patchCallback = &PatchCallback;
  m_dialog = new CReleaseUpdateDlg;
  // Every end (update done, Cancel, no window) ends the program alike.
  m_dialog->RunModal();
  return 0;
}

int CUpdateApp::ShutDown() {
  delete m_dialog;
  m_dialog = nullptr;
  return CWinApp::ShutDown();
}
