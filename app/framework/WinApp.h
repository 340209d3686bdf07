// The application: CWinThread, CWinApp, the start-up protocol (FrameworkMain,
// in FrameworkMain.cpp) and the application-wide services: message boxes
// (ShowMessage) and the wait cursor (CWinApp::AdjustWaitCursor).
#pragma once

#include <windows.h>

#include "Object.h"

class CWnd;

class CWinThread : public CCmdTarget {
 public:
  DWORD m_threadId = 0;
  // The last message retrieved by the thread's loops, modal ones included.
  MSG m_message = {};
  // The registered main window; the program registers none.
  CWnd* m_mainWindow = nullptr;
};

class CWinApp : public CWinThread {
 public:
  // Becomes the process's current application (GetApp).
  explicit CWinApp(const char* appName = nullptr);
  ~CWinApp() override;

  // Returns non-zero to run the message loop, 0 to shut down at once.
  virtual int StartUp();
  virtual int RunMessageLoop();
  // Returns the process exit code.
  virtual int ShutDown();
  // +1 begins (or nests) the wait cursor, -1 ends it, 0 shows it again.
  virtual void AdjustWaitCursor(int step);

  // Records the module and command line and loads the title; false on failure.
  bool Initialize(HINSTANCE instance, const char* commandLine);

  HINSTANCE m_instance = nullptr;
  const char* m_commandLine = "";
  char m_title[256] = {};
  int m_waitCursorCount = 0;
  HCURSOR m_waitCursorRestore = nullptr;
  // Help context while a message box is shown; the program offers no help.
  DWORD m_helpContext = 0;

 private:
  const char* m_appName;
};

CWinApp* GetApp();
// The module holding the program's resources.
HINSTANCE GetResourceModule();

// The framework's main routine: initialisation, StartUp, then the message loop
// or ShutDown. Returns the process exit code.
int FrameworkMain(HINSTANCE instance, const char* commandLine);

// A message box captioned with the application title, owned by the active
// window. OK and OK/Cancel style boxes without an icon get the exclamation icon.
int ShowMessage(const char* text, UINT type = MB_OK, int helpId = 0);
// The same with a string of the string table, loaded in full; helpId -1 uses
// the string id as help context.
int ShowMessage(UINT stringId, UINT type = MB_OK, int helpId = -1);
