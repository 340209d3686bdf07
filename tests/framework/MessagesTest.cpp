#include <gtest/gtest.h>

#include "Dialog.h"
#include "TestApp.h"
#include "WindowDriver.h"
#include "resource.h"

namespace {

TEST(ShowMessage, OkAndOkCancelBoxesGetTheExclamationIconAndTheTitle) {
  auto box = AnswerMessageBox(IDOK);
  EXPECT_EQ(ShowMessage("Plain text", MB_OK, 0), IDOK);
  ASSERT_TRUE(box->seen);
  EXPECT_EQ(box->caption, "Velmora Patch");
  EXPECT_EQ(box->text, "Plain text");
  EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
  EXPECT_TRUE(IsIcon(box->icon, IDI_EXCLAMATION));

  box = AnswerMessageBox(IDCANCEL);
  EXPECT_EQ(ShowMessage("Go on?", MB_OKCANCEL, 0), IDCANCEL);
  EXPECT_EQ(box->buttons, (std::vector<int>{IDOK, IDCANCEL}));
  EXPECT_TRUE(IsIcon(box->icon, IDI_EXCLAMATION));
}

TEST(ShowMessage, OtherButtonSetsAndExplicitIconsAreLeftAlone) {
  auto box = AnswerMessageBox(IDABORT);
  EXPECT_EQ(ShowMessage("Abort?", MB_ABORTRETRYIGNORE, 0), IDABORT);
  EXPECT_EQ(box->icon, nullptr);

  box = AnswerMessageBox(IDOK);
  ShowMessage("Stop", MB_OK | MB_ICONSTOP, 0);
  EXPECT_TRUE(IsIcon(box->icon, IDI_HAND));
}

TEST(ShowMessage, StringFormLoadsTheWholeStringAndUsesItsIdAsHelpContext) {
  auto box = AnswerMessageBox(IDOK);
  EXPECT_EQ(ShowMessage(IDS_ERR_DISKSPACE, MB_OK, -1), IDOK);
  EXPECT_EQ(box->text,
            "Error:  Not enough disk space for backup.  Please unselect the option or free "
            "some disk space.");
  EXPECT_EQ(box->helpContext, 0x30000u + IDS_ERR_DISKSPACE);
  EXPECT_EQ(TheTestApp().m_helpContext, 0u);

  box = AnswerMessageBox(IDOK);
  ShowMessage("literal", MB_OK, 0);
  EXPECT_EQ(box->helpContext, 0u);
}

TEST(ShowMessage, AMissingStringGivesAnEmptyText) {
  auto box = AnswerMessageBox(IDOK);
  ShowMessage(12345u, MB_OK, -1);
  ASSERT_TRUE(box->seen);
  EXPECT_EQ(box->text, "");
}

TEST(ShowMessage, TheActiveWindowOwnsTheBox) {
  CDialog dialog(IDD_UPDATE);
  HWND dialogWindow = nullptr;
  std::shared_ptr<BoxRecord> box;
  WhenDialogAppears([&](HWND window) {
    dialogWindow = window;
    SetActiveWindow(window);
    box = AnswerMessageBox(IDOK);
    ShowMessage("owned", MB_OK, 0);
    Click(window, IDCANCEL);
  });
  dialog.RunModal();
  ASSERT_TRUE(box && box->seen);
  EXPECT_EQ(box->owner, dialogWindow);
}

class WaitCursor : public testing::Test {
 protected:
  void SetUp() override {
    app.m_waitCursorCount = 0;
    app.m_waitCursorRestore = nullptr;
    SetCursor(arrow);
  }
  TestApp& app = TheTestApp();
  HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT);
  HCURSOR arrow = LoadCursorA(nullptr, IDC_ARROW);
  HCURSOR cross = LoadCursorA(nullptr, IDC_CROSS);
};

TEST_F(WaitCursor, NestedBeginsKeepItUntilTheLastEndRestoresTheFirstCursor) {
  SetCursor(cross);
  app.AdjustWaitCursor(1);
  EXPECT_EQ(GetCursor(), wait);
  app.AdjustWaitCursor(1);
  app.AdjustWaitCursor(-1);
  EXPECT_EQ(GetCursor(), wait);
  EXPECT_EQ(app.m_waitCursorCount, 1);
  app.AdjustWaitCursor(-1);
  EXPECT_EQ(GetCursor(), cross);
  EXPECT_EQ(app.m_waitCursorCount, 0);
}

TEST_F(WaitCursor, ZeroShowsItAgainOrTheRememberedCursorAndNeverCounts) {
  SetCursor(cross);
  app.AdjustWaitCursor(1);
  SetCursor(arrow);  // as a message box would
  app.AdjustWaitCursor(0);
  EXPECT_EQ(GetCursor(), wait);
  EXPECT_EQ(app.m_waitCursorCount, 1);
  app.AdjustWaitCursor(-1);
  app.AdjustWaitCursor(0);
  EXPECT_EQ(GetCursor(), cross);
  EXPECT_EQ(app.m_waitCursorCount, 0);
}

TEST_F(WaitCursor, EndingAtZeroStaysAtZero) {
  app.AdjustWaitCursor(-1);
  EXPECT_EQ(app.m_waitCursorCount, 0);
  EXPECT_EQ(GetCursor(), arrow);  // nothing remembered yet: the arrow, not no cursor
  app.AdjustWaitCursor(1);
  EXPECT_EQ(app.m_waitCursorCount, 1);
  EXPECT_EQ(GetCursor(), wait);
}

}  // namespace
