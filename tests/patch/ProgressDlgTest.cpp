#include <gtest/gtest.h>

#include "ProgressDlg.h"
#include "WindowDriver.h"
#include "resource.h"

namespace {

int g_paints = 0;
HWND g_watched = nullptr;
LRESULT CALLBACK CountPaints(int code, WPARAM wParam, LPARAM lParam) {
  const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && sent->hwnd == g_watched && sent->message == WM_PAINT) ++g_paints;
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Counts its deletions and watches the order of the cancel's effects.
class WatchedProgress : public CProgressDlg {
 public:
  WatchedProgress(CWnd* parent, int* deletions) : CProgressDlg(parent), m_deletions(deletions) {}
  ~WatchedProgress() override { ++*m_deletions; }
  int Destroy() override {
    progressAtDestroy = g_progress;
    abortAtDestroy = g_abortRequested;
    return CProgressDlg::Destroy();
  }
  static CProgressDlg* progressAtDestroy;
  static int abortAtDestroy;
  int* m_deletions;
};
CProgressDlg* WatchedProgress::progressAtDestroy = nullptr;
int WatchedProgress::abortAtDestroy = 0;

class ProgressWindow : public testing::Test {
 protected:
  void SetUp() override {
    SetDialogColors(RGB(192, 192, 192), 0);
    parent = new CDialog(IDD_UPDATE);
    parent->CreateModeless(IDD_UPDATE, nullptr);
    g_progress = nullptr;
    g_abortRequested = 0;
  }
  void TearDown() override { delete parent; }
  CDialog* parent = nullptr;
};

TEST_F(ProgressWindow, AFreshWindowIsVisibleCentredAndShowsUpdating) {
  CProgressDlg progress(parent);
  ASSERT_NE(progress.m_hWnd, nullptr);
  EXPECT_TRUE(IsWindowVisible(progress.m_hWnd));
  EXPECT_EQ(GetWindow(progress.m_hWnd, GW_OWNER), parent->m_hWnd);
  EXPECT_EQ(WindowText(progress.m_hWnd), "Updating ...");
  EXPECT_STREQ(progress.ShownText(), "\n ... updating ...");
  RECT owner, own;
  GetWindowRect(parent->m_hWnd, &owner);
  GetWindowRect(progress.m_hWnd, &own);
  EXPECT_EQ(own.left, (owner.left + owner.right) / 2 - (own.right - own.left) / 2);
}

TEST_F(ProgressWindow, TheTwoLayouts) {
  CProgressDlg progress(parent);
  progress.SetPercent(42);
  EXPECT_STREQ(progress.ShownText(), "\n:  42%");  // a percentage before any name
  progress.SetPatchName("r7r8s");
  progress.SetFileName("vlw32.exe");
  EXPECT_STREQ(progress.ShownText(), "r7r8s\nvlw32.exe:  42%");
  progress.SetPercent(200);
  EXPECT_STREQ(progress.ShownText(), "r7r8s\nvlw32.exe:  200%");
  progress.SetPercent(-1);  // hides the stored name
  EXPECT_STREQ(progress.ShownText(), "r7r8s\n ... updating ...");
  EXPECT_STREQ(progress.m_fileName, "vlw32.exe");
}

TEST_F(ProgressWindow, PaintsTheTextOnTheLightGreyBackground) {
  CProgressDlg progress(parent);
  progress.SetPatchName("r7r8s");
  progress.SetPercent(7);
  RECT client;
  GetClientRect(progress.m_hWnd, &client);
  EXPECT_TRUE(EqualRect(&client, &progress.m_clientRect));
  HDC dc = GetDC(progress.m_hWnd);
  int dark = 0, grey = 0;
  for (int y = 0; y < client.bottom; ++y)
    for (int x = 0; x < client.right; x += 2) {
      const COLORREF pixel = GetPixel(dc, x, y);
      if (pixel == RGB(192, 192, 192)) ++grey;
      if (GetRValue(pixel) < 64 && GetGValue(pixel) < 64 && GetBValue(pixel) < 64) ++dark;
    }
  ReleaseDC(progress.m_hWnd, dc);
  EXPECT_GT(dark, 10);  // black text
  EXPECT_GT(grey, dark);
}

TEST_F(ProgressWindow, SettersRepaintOnlyOnChangeAndCompareCaseSensitively) {
  CProgressDlg progress(parent);
  PumpUntil([] { return false; }, 100);
  g_watched = progress.m_hWnd;
  HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, &CountPaints, nullptr, GetCurrentThreadId());
  g_paints = 0;
  progress.SetPatchName("r7r8s");
  progress.SetPatchName("r7r8s");
  EXPECT_EQ(g_paints, 1);
  progress.SetFileName("VLW32.EXE");
  progress.SetFileName("vlw32.exe");
  progress.SetFileName("vlw32.exe");
  EXPECT_EQ(g_paints, 3);
  progress.SetPercent(5);
  progress.SetPercent(5);
  progress.SetPercent(-1);
  progress.SetPercent(-1);
  EXPECT_EQ(g_paints, 5);
  UnhookWindowsHookEx(hook);
}

TEST_F(ProgressWindow, CancelClearsTheGlobalAndSetsTheFlagBeforeTheWindowGoesThenDeletesItself) {
  int deletions = 0;
  auto* progress = new WatchedProgress(parent, &deletions);
  g_progress = progress;
  HWND window = progress->m_hWnd;
  // The platform turns its close request into a posted cancel command.
  SendMessageA(window, WM_CLOSE, 0, 0);
  PumpUntil([window] { return !IsWindow(window); });
  EXPECT_EQ(WatchedProgress::progressAtDestroy, nullptr);
  EXPECT_EQ(WatchedProgress::abortAtDestroy, 1);
  EXPECT_EQ(g_progress, nullptr);
  EXPECT_EQ(g_abortRequested, 1);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(deletions, 1);
}

TEST_F(ProgressWindow, TheOwnersDeleteDestroysTheWindowAndDeletesOnce) {
  int deletions = 0;
  auto* progress = new WatchedProgress(parent, &deletions);
  HWND window = progress->m_hWnd;
  delete progress;
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(deletions, 1);
  EXPECT_EQ(g_abortRequested, 0);
}

TEST_F(ProgressWindow, HasNoCloseBox) {
  CProgressDlg progress(parent);
  EXPECT_EQ(GetWindowLongA(progress.m_hWnd, GWL_STYLE) & WS_SYSMENU, 0);
}

}  // namespace
