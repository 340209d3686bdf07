#include <gtest/gtest.h>

#include <cstdio>

#include "ApplyPatch.h"
#include "PatchCallback.h"
#include "PatchTestSupport.h"
#include "ProgressDlg.h"
#include "resource.h"

namespace {

class Callback : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    parent = new CDialog(IDD_UPDATE);
    parent->CreateModeless(IDD_UPDATE, nullptr);
    g_progress = new CProgressDlg(parent);
    g_abortRequested = 0;
    g_logFile = fopen((dir + "\\update.txt").c_str(), "a+b");
  }
  void TearDown() override {
    if (g_logFile) fclose(g_logFile);
    g_logFile = nullptr;
    delete g_progress;
    g_progress = nullptr;
    delete parent;
  }
  std::string ClosedLog() {
    fclose(g_logFile);
    g_logFile = nullptr;
    return Log();
  }
  void* Progress(unsigned short value) { return PatchCallback(PATCHW32_EVENT_PROGRESS, &value); }
  void* FileName(const char* name) {
    return PatchCallback(PATCHW32_EVENT_FILE_NAME, const_cast<char*>(name));
  }
  void PostCancel() { PostMessageA(g_progress->m_hWnd, WM_CLOSE, 0, 0); }
  CDialog* parent = nullptr;
};

TEST_F(Callback, ProgressIsTheValueOver327NotClamped) {
  const struct {
    unsigned short value;
    int percent;
  } cases[] = {{0, 0}, {326, 0}, {327, 1}, {32700, 100}, {33026, 100}, {65535, 200}};
  for (const auto& c : cases) {
    EXPECT_NE(Progress(c.value), nullptr);
    EXPECT_EQ(g_progress->m_percent, c.percent) << c.value;
  }
}

TEST_F(Callback, FileNamesAreShownAndLoggedAndANewFileClearsBoth) {
  void* answer = FileName("vlw32.exe");
  ASSERT_NE(answer, nullptr);
  EXPECT_STREQ(static_cast<const char*>(answer), "");
  EXPECT_EQ(FileName("data.dat"), answer);  // one static go-on answer
  EXPECT_STREQ(g_progress->m_fileName, "data.dat");
  Progress(32700);
  EXPECT_NE(PatchCallback(PATCHW32_EVENT_NEXT_FILE, nullptr), nullptr);
  EXPECT_EQ(g_progress->m_percent, -1);
  EXPECT_STREQ(g_progress->m_fileName, "");
  EXPECT_EQ(ClosedLog(), "Updating file \"vlw32.exe\"\r\nUpdating file \"data.dat\"\r\n");
}

TEST_F(Callback, WithoutALogTheNameIsStillShown) {
  fclose(g_logFile);
  g_logFile = nullptr;
  EXPECT_NE(FileName("vlw32.exe"), nullptr);
  EXPECT_STREQ(g_progress->m_fileName, "vlw32.exe");
}

TEST_F(Callback, ACancelInTheFirstPumpAbandonsAndTheFileIsNotLogged) {
  EXPECT_NE(FileName("vlw32.exe"), nullptr);
  PostCancel();
  // The same answer tells the library to leave data.dat alone.
  EXPECT_EQ(FileName("data.dat"), nullptr);
  EXPECT_EQ(g_progress, nullptr);
  EXPECT_EQ(g_abortRequested, 1);
  EXPECT_EQ(ClosedLog(), "Updating file \"vlw32.exe\"\r\n");
}

TEST_F(Callback, ACancelInTheSecondPumpFollowsTheEventAndMoreThanTenMessagesWait) {
  for (int i = 0; i < 10; ++i) PostMessageA(parent->m_hWnd, WM_NULL, 0, 0);
  PostCancel();  // the eleventh message: left for the second pump
  const CProgressDlg* shown = g_progress;
  EXPECT_EQ(Progress(3270), nullptr);
  EXPECT_EQ(g_progress, nullptr);
  (void)shown;

  // Twenty-five messages: each call takes at most twenty.
  for (int i = 0; i < 25; ++i) PostMessageA(parent->m_hWnd, WM_USER + 1, 0, 0);
  PatchCallback(0, nullptr);
  MSG left;
  int remaining = 0;
  while (PeekMessageA(&left, nullptr, WM_USER + 1, WM_USER + 1, PM_REMOVE)) ++remaining;
  EXPECT_EQ(remaining, 5);
}

TEST_F(Callback, AfterACancelTheNextPatchRunsWithoutAWindowAndGoesOn) {
  PostCancel();
  EXPECT_EQ(PatchCallback(0, nullptr), nullptr);  // other ids follow the flag
  g_abortRequested = 0;                           // as the next patch's start does
  EXPECT_NE(Progress(100), nullptr);
  EXPECT_NE(FileName("tax.dat"), nullptr);
  EXPECT_NE(PatchCallback(PATCHW32_EVENT_NEXT_FILE, nullptr), nullptr);
  EXPECT_NE(PatchCallback(42, nullptr), nullptr);
  EXPECT_EQ(ClosedLog(), "Updating file \"tax.dat\"\r\n");
}

TEST_F(Callback, ThroughTheLibraryACancelAbandonsOnlyThePatchBeingApplied) {
  g_patchCallback = &PatchCallback;
  fclose(g_logFile);
  g_logFile = nullptr;
  Script(
      "patch r7r8s.rtp\nabandon-return 9\nevent 7 first.dll\nevent 7 late.dll\n"
      "patch r7r8p.rtp\nevent 7 second.dll\n");
  PostCancel();
  EXPECT_EQ(ApplyPatch(dir.c_str(), "r7r8s"), 0);
  EXPECT_EQ(g_progress, nullptr);
  EXPECT_EQ(ApplyPatch(dir.c_str(), "r7r8p"), 1);
  // first.dll came with the cancel, so the library was told to leave it.
  EXPECT_EQ(Log(),
            "--- Applying patch file \"r7r8s\" ---\r\n"
            "--- Applying patch file \"r7r8p\" ---\r\n"
            "Updating file \"second.dll\"\r\n");
}

}  // namespace
