#include <gtest/gtest.h>

#include "ApplyPatch.h"
#include "Fixtures.h"
#include "PatchCallback.h"
#include "ProgressDlg.h"
#include "ReleaseUpdateDlg.h"
#include "WindowDriver.h"

namespace {

using Names = std::vector<std::string>;

class PatchSequence : public testing::Test {
 protected:
  void SetUp() override {
    g_patchCallback = &PatchCallback;
    GetCurrentDirectoryA(sizeof m_savedDirectory, m_savedDirectory);
    m_dialog.m_directory = (m_product.Path() + "\\").c_str();
  }
  void TearDown() override {
    ForgetPendingDialogs();
    if (g_progress) delete g_progress;
    g_progress = nullptr;
    SetCurrentDirectoryA(m_savedDirectory);
  }
  std::string Log() const { return m_product.File("update.txt"); }

  char m_savedDirectory[MAX_PATH] = {};
  TempDir m_product;
  CReleaseUpdateDlg m_dialog;
};

struct Order {
  const char* script;
  Names logged;
  int result;
  bool message;
};

TEST_F(PatchSequence, TheMainPatchDecidesWhatFollows) {
  const Order orders[] = {
      {"", {"r7r8s", "postpatch", "taxtbl"}, 1, false},
      {"patch r7r8s.rtp\nreturn 1\n", {"r7r8s", "r7r8p", "postpatch", "taxtbl"}, 1, false},
      {"patch r7r8s.rtp\nreturn 1\npatch r7r8p.rtp\nreturn -3\n", {"r7r8s", "r7r8p"}, 0, true},
      {"patch postpatch.rtp\nreturn 1\npatch taxtbl.rtp\nreturn 2\n",
       {"r7r8s", "postpatch", "taxtbl"},
       1,
       false},
  };
  for (const Order& order : orders) {
    SCOPED_TRACE(order.script);
    DeleteFileA(Log().c_str());
    PatchScript script(order.script);
    auto box = AnswerMessageBox(IDOK);
    EXPECT_EQ(m_dialog.ApplyPatches(), order.result);
    EXPECT_EQ(ReadUpdateLog(Log()).headers, order.logged);
    EXPECT_EQ(box->seen, order.message);
    if (order.message) {
      EXPECT_EQ(box->text, "Error:  Could not apply patch");
      EXPECT_EQ(box->caption, "Velmora Patch");
      EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
    }
    ForgetPendingDialogs();
    EXPECT_STREQ(m_dialog.m_directory, (m_product.Path() + "\\").c_str());  // not changed
  }
}

TEST_F(PatchSequence, EveryCommandLineCarriesTheBackupChoiceAndTheDirectory) {
  for (int backup : {1, 0}) {
    SCOPED_TRACE(backup);
    PatchScript script("patch r7r8s.rtp\nreturn 1\n");
    m_dialog.m_backup = backup;
    EXPECT_EQ(m_dialog.ApplyPatches(), 1);
    EXPECT_EQ(g_backupFlag, backup);
    const Names lines = script.CommandLines();
    const Names patches = {"r7r8s", "r7r8p", "postpatch", "taxtbl"};
    ASSERT_EQ(lines.size(), patches.size());
    for (size_t i = 0; i < lines.size(); ++i)
      EXPECT_EQ(lines[i], "\"" + patches[i] + ".rtp\" \"" + m_product.Path() + "\" " +
                              (backup ? "/b " : "/nob ") + "/nop /nos ");
    for (const std::string& directory : script.Directories())
      EXPECT_EQ(lstrcmpiA(directory.c_str(), m_product.Path().c_str()), 0) << directory;
  }
}

TEST_F(PatchSequence, ADriveRootIsPassedAsItsDesignatorAndMadeCurrentAsTheRoot) {
  const std::string rootLog = "C:\\update.txt";
  DeleteFileA(rootLog.c_str());
  // A current directory elsewhere on the same drive, which "C:" alone would keep.
  SetCurrentDirectoryA(m_product.Path().c_str());
  m_dialog.m_directory = "C:\\";
  PatchScript script;
  EXPECT_EQ(m_dialog.ApplyPatches(), 1);
  const Names lines = script.CommandLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "\"r7r8s.rtp\" \"C:\" /nob /nop /nos ");
  for (const std::string& directory : script.Directories()) EXPECT_EQ(directory, "C:\\");
  EXPECT_EQ(ReadUpdateLog(rootLog).headers, (Names{"r7r8s", "postpatch", "taxtbl"}));
  DeleteFileA(rootLog.c_str());
}

TEST_F(PatchSequence, ACancelDuringTheFirstPatchLeavesTheRestWithoutAProgressWindow) {
  PatchScript script(
      "patch r7r8s.rtp\nabandon-return 1\nevent 7 before.dll\npump-until-null 100\n"
      "patch r7r8p.rtp\nevent 7 after.dll\nevent 5 32700\nreturn 0\n");
  g_progress = new CProgressDlg(nullptr);
  HWND progress = g_progress->m_hWnd;
  // The user's cancel, dispatched by the callback's pump.
  PostMessageA(progress, WM_COMMAND, IDCANCEL, 0);
  EXPECT_EQ(m_dialog.ApplyPatches(), 1);
  EXPECT_EQ(g_progress, nullptr);
  EXPECT_FALSE(IsWindow(progress));
  EXPECT_EQ(ReadUpdateLog(Log()).headers, (Names{"r7r8s", "r7r8p", "postpatch", "taxtbl"}));
  // The second patch ran through the callback without a window; its file is logged.
  EXPECT_NE(ReadFile(Log()).find("Updating file \"after.dll\"\r\n"), std::string::npos);
  const std::string record = script.Record();
  EXPECT_NE(record.find("abandoned"), std::string::npos);
}

}  // namespace
