#include <gtest/gtest.h>

#include "TestApp.h"
#include "Wnd.h"

namespace {

class StartUp : public testing::Test {
 protected:
  void SetUp() override {
    app.startUps = app.shutDowns = app.messageLoops = 0;
    app.startUp = nullptr;
    app.shutDown = nullptr;
  }
  void TearDown() override { app.Initialize(GetModuleHandleA(nullptr), ""); }
  TestApp& app = TheTestApp();
};

TEST_F(StartUp, ZeroFromStartUpShutsDownOnceWithoutALoop) {
  app.startUp = [] { return 0; };
  app.shutDown = [] { return 42; };
  EXPECT_EQ(FrameworkMain(GetModuleHandleA(nullptr), "ignored"), 42);
  EXPECT_EQ(app.startUps, 1);
  EXPECT_EQ(app.messageLoops, 0);
  EXPECT_EQ(app.shutDowns, 1);
}

TEST_F(StartUp, NonZeroRunsTheMessageLoopUntilQuit) {
  app.startUp = [] {
    PostQuitMessage(7);
    return 1;
  };
  EXPECT_EQ(FrameworkMain(GetModuleHandleA(nullptr), ""), 7);
  EXPECT_EQ(app.messageLoops, 1);
  EXPECT_EQ(app.shutDowns, 0);
}

TEST_F(StartUp, DefaultShutDownReturnsTheLastMessagesWordParameter) {
  app.startUp = [] {
    PostMessageA(nullptr, WM_USER, 5, 0);
    MSG& last = TheTestApp().m_message;
    GetMessageA(&last, nullptr, 0, 0);
    return 0;
  };
  EXPECT_EQ(FrameworkMain(GetModuleHandleA(nullptr), ""), 5);
}

TEST_F(StartUp, AddsTheErrorModeBitsToThoseAlreadySet) {
  SetErrorMode(SEM_NOGPFAULTERRORBOX);
  app.startUp = [] { return 0; };
  FrameworkMain(GetModuleHandleA(nullptr), "");
  const UINT mode = SetErrorMode(0);
  EXPECT_EQ(mode & (SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX),
            UINT(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX));
}

TEST_F(StartUp, TitleComesFromTheStringTableElseTheExecutableName) {
  app.startUp = [] { return 0; };
  FrameworkMain(GetModuleHandleA(nullptr), "");
  EXPECT_STREQ(app.m_title, "Velmora Patch");
  EXPECT_EQ(app.m_instance, GetModuleHandleA(nullptr));

  // A module without the title string: its file name, no directory or extension.
  ASSERT_TRUE(app.Initialize(GetModuleHandleA("kernel32.dll"), ""));
  EXPECT_STREQ(app.m_title, "kernel32");
}

TEST_F(StartUp, TheApplicationObjectIsFoundWithoutBeingTold) {
  EXPECT_EQ(GetApp(), &app);
  EXPECT_EQ(app.m_threadId, GetCurrentThreadId());
}

}  // namespace
