// The test executables' application object: StartUp and ShutDown record their
// calls, so the start-up protocol can be watched.
#pragma once

#include <functional>

#include "WinApp.h"

class TestApp : public CWinApp {
 public:
  int StartUp() override {
    ++startUps;
    return startUp ? startUp() : 0;
  }
  int ShutDown() override {
    ++shutDowns;
    return shutDown ? shutDown() : CWinApp::ShutDown();
  }
  int RunMessageLoop() override {
    ++messageLoops;
    return CWinApp::RunMessageLoop();
  }

  std::function<int()> startUp;
  std::function<int()> shutDown;
  int startUps = 0;
  int shutDowns = 0;
  int messageLoops = 0;
};

TestApp& TheTestApp();
