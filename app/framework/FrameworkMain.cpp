#include "WinApp.h"
#include "Wnd.h"

int FrameworkMain(HINSTANCE instance, const char* commandLine) {
  // An empty or unreadable drive makes calls fail instead of raising boxes.
  const UINT mode = SetErrorMode(0);
  SetErrorMode(mode | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

  CWinApp* app = GetApp();
  if (!app || !app->Initialize(instance, commandLine)) return -1;
  if (app->StartUp()) return app->RunMessageLoop();
  if (app->m_mainWindow) app->m_mainWindow->Destroy();
  return app->ShutDown();
}
