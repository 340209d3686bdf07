#include <gtest/gtest.h>

#include "Fixtures.h"
#include "ProbeDialog.h"
#include "WinApp.h"
#include "WindowDriver.h"
#include "resource.h"

namespace {

HWND FindProgressWindow() { return FindWindowA("#32770", "Updating ..."); }

class UpdateCommand : public testing::Test {
 protected:
  void TearDown() override {
    ForgetPendingDialogs();
    EXPECT_EQ(g_progress, nullptr);
    EXPECT_EQ(GetApp()->m_waitCursorCount, 0);  // ended on every path
  }

  // Presses Update once the dialog is up, types the given directory first;
  // `then` runs once the dialog is enabled again after the outcome box.
  void PressUpdate(ProbeDialog& dialog, const char* typed, std::function<void(HWND)> then) {
    WhenDialogAppears([&dialog, typed, then](HWND window) {
      SetDlgItemTextA(window, IDC_DIRECTORY, typed);
      CheckDlgButton(window, IDC_BACKUP, BST_CHECKED);
      Click(window, IDOK);
      WhenReady(
          [&dialog, window] {
            return dialog.checks > 0 && !dialog.Running() && IsWindowEnabled(window) &&
                   !FindProgressWindow();
          },
          [then, window] { then(window); });
    });
  }
};

TEST_F(UpdateCommand, TheBaseDialogsDefaultsDoNothingVisible) {
  ProbeDialog dialog;
  std::shared_ptr<BoxRecord> stray;
  dialog.check = [&] {
    stray = AnswerMessageBox(IDOK);
    return dialog.CUpdateDlg::CheckInstallation();
  };
  PressUpdate(dialog, "C:\\Somewhere\\", [](HWND window) { Click(window, IDCANCEL); });
  EXPECT_EQ(dialog.RunModal(), IDCANCEL);
  EXPECT_EQ(dialog.checks, 1);
  EXPECT_EQ(dialog.applies, 0);
  ASSERT_TRUE(stray);
  EXPECT_FALSE(stray->seen);
}

TEST_F(UpdateCommand, ARefusedCheckShowsNothingMoreAndKeepsTheDialogOpen) {
  ProbeDialog dialog;
  g_abortRequested = 1;  // left over from an earlier run
  int abortSeen = -1;
  std::string directorySeen;
  int backupSeen = -1;
  std::shared_ptr<BoxRecord> stray;
  dialog.check = [&] {
    stray = AnswerMessageBox(IDOK);
    abortSeen = g_abortRequested;
    directorySeen = dialog.m_directory.GetText();
    backupSeen = dialog.m_backup;
    EXPECT_EQ(g_progress, nullptr);
    return 0;
  };
  bool stillOpen = false;
  PressUpdate(dialog, "D:\\Typed", [&](HWND window) {
    stillOpen = IsWindowVisible(window) != FALSE;
    Click(window, IDCANCEL);
  });
  EXPECT_EQ(dialog.RunModal(), IDCANCEL);
  EXPECT_EQ(abortSeen, 0);
  EXPECT_EQ(directorySeen, "D:\\Typed");
  EXPECT_EQ(backupSeen, 1);
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(dialog.applies, 0);
  ASSERT_TRUE(stray);
  EXPECT_FALSE(stray->seen);
}

struct Outcome {
  int applied, afterResult;
  const char* message;
  int afters;
  int modalResult;
};

TEST_F(UpdateCommand, EachOutcomeHasItsMessageShownAfterTheProgressWindowIsGone) {
  const Outcome outcomes[] = {
      {0, 1, "The update was not successful.", 0, IDCANCEL},
      {1, 0, "The Patch was not successful.", 1, IDCANCEL},
      {1, 1, "Velmora is updated!", 1, IDOK},
  };
  for (const Outcome& outcome : outcomes) {
    SCOPED_TRACE(outcome.message);
    ProbeDialog dialog;
    bool progressDuringApply = false, visibleDuringApply = false;
    bool progressDuringAfter = true;
    dialog.check = [] { return 1; };
    auto box = std::make_shared<BoxRecord>();
    bool progressGoneAtBox = false;
    dialog.apply = [&] {
      progressDuringApply = g_progress != nullptr && g_progress->m_hWnd != nullptr;
      visibleDuringApply = FindProgressWindow() != nullptr;
      WhenDialogAppears([&](HWND shown) {
        box->seen = true;
        box->text = WindowText(GetDlgItem(shown, 0xFFFF));
        box->caption = WindowText(shown);
        progressGoneAtBox = g_progress == nullptr && FindProgressWindow() == nullptr;
        Click(shown, IDOK);
      });
      return outcome.applied;
    };
    dialog.after = [&] {
      progressDuringAfter = g_progress != nullptr || FindProgressWindow() != nullptr;
      return outcome.afterResult;
    };
    WhenDialogAppears([&](HWND window) {
      SetDlgItemTextA(window, IDC_DIRECTORY, "D:\\Final");
      Click(window, IDOK);
      if (outcome.modalResult != IDOK)
        WhenReady(
            [&dialog, window] {
              return dialog.checks > 0 && !dialog.Running() && IsWindowEnabled(window) &&
                     !FindProgressWindow();
            },
            [window] { Click(window, IDCANCEL); });
    });
    EXPECT_EQ(dialog.RunModal(), outcome.modalResult);
    EXPECT_TRUE(progressDuringApply);
    EXPECT_TRUE(visibleDuringApply);
    EXPECT_TRUE(box->seen);
    EXPECT_EQ(box->text, outcome.message);
    EXPECT_EQ(box->caption, "Velmora Patch");
    EXPECT_TRUE(progressGoneAtBox);
    EXPECT_EQ(dialog.afters, outcome.afters);
    if (outcome.afters) {
      EXPECT_FALSE(progressDuringAfter);
    }
    if (outcome.modalResult == IDOK) {
      EXPECT_STREQ(dialog.m_directory, "D:\\Final");
    }
    ForgetPendingDialogs();
  }
}

TEST_F(UpdateCommand, ACancelInTheProgressWindowLeavesTheCommandNothingToDelete) {
  ProbeDialog dialog;
  dialog.check = [] { return 1; };
  bool cancelled = false;
  std::shared_ptr<BoxRecord> box;
  dialog.apply = [&] {
    PostMessageA(g_progress->m_hWnd, WM_COMMAND, IDCANCEL, 0);
    PumpUntil([] { return g_progress == nullptr; }, 3000);
    cancelled = g_progress == nullptr && g_abortRequested == 1 && !FindProgressWindow();
    box = AnswerMessageBox(IDOK);
    return 0;
  };
  PressUpdate(dialog, "D:\\Final\\", [](HWND window) { Click(window, IDCANCEL); });
  EXPECT_EQ(dialog.RunModal(), IDCANCEL);
  EXPECT_TRUE(cancelled);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, "The update was not successful.");
}

TEST_F(UpdateCommand, TheDialogIgnoresItsOwnCommandsWhilePatchesRun) {
  ProbeDialog dialog;
  dialog.check = [] { return 1; };
  bool runningSeen = false, openAfterCommands = false;
  std::shared_ptr<BoxRecord> stray, outcome;
  dialog.apply = [&] {
    HWND window = dialog.m_hWnd;
    runningSeen = dialog.Running();
    stray = AnswerMessageBox(IDOK);  // More Info's box, were it shown
    for (int id : {IDOK, IDCANCEL, IDC_BROWSE, IDC_MOREINFO})
      SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
    SendMessageA(window, WM_CLOSE, 0, 0);
    SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    // The same after a cancel has taken the progress window away.
    SendMessageA(g_progress->m_hWnd, WM_COMMAND, IDCANCEL, 0);
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    PumpUntil([] { return false; }, 300);
    openAfterCommands = IsWindowVisible(window) != FALSE;
    ForgetPendingDialogs();
    // The outcome box comes once this hook has returned.
    outcome = AnswerMessageBox(IDOK);
    WhenReady([&, window] { return outcome->seen && !dialog.Running() && IsWindowEnabled(window); },
              [&dialog, window] {
                dialog.check = [] { return 0; };
                Click(window, IDCANCEL);
              });
    return 0;
  };
  WhenDialogAppears([](HWND window) { Click(window, IDOK); });
  EXPECT_EQ(dialog.RunModal(), IDCANCEL);
  EXPECT_TRUE(runningSeen);
  EXPECT_TRUE(openAfterCommands);
  ASSERT_TRUE(stray);
  EXPECT_FALSE(stray->seen);
  EXPECT_EQ(dialog.checks, 1);
  EXPECT_EQ(dialog.applies, 1);
  EXPECT_EQ(dialog.request.runs, 0);
  EXPECT_EQ(dialog.cancels, 1);  // only the final Cancel, after the run
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->text, "The update was not successful.");
  EXPECT_FALSE(dialog.Running());
}

}  // namespace
