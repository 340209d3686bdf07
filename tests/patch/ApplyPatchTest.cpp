#include <gtest/gtest.h>

#include "ApplyPatch.h"
#include "PatchCallback.h"
#include "PatchTestSupport.h"
#include "ProgressDlg.h"
#include "resource.h"

namespace {

class ApplyPatchTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    g_backupFlag = 0;
    g_optionDText = "";
    g_patchCallback = &PatchCallback;
    g_progress = nullptr;
  }
  std::string CommandLineFor(const char* patch) const {
    return "cmdline \"" + std::string(patch) + ".rtp\" \"" + dir + "\" ";
  }
};

TEST_F(ApplyPatchTest, CommandLineWithAndWithoutBackupAndTheDOption) {
  EXPECT_EQ(ApplyPatch(dir.c_str(), "r7r8s"), 1);
  g_backupFlag = 1;
  EXPECT_EQ(ApplyPatch(dir.c_str(), "postpatch"), 1);
  g_optionDText = "X:\\data";
  EXPECT_EQ(ApplyPatch(dir.c_str(), "taxtbl"), 1);
  const std::string record = Record();
  EXPECT_NE(record.find(CommandLineFor("r7r8s") + "/nob /nop /nos \n"), std::string::npos)
      << record;
  EXPECT_NE(record.find(CommandLineFor("postpatch") + "/b /nop /nos \n"), std::string::npos)
      << record;
  // "/d" comes last, directly followed by its text, with no blank after.
  EXPECT_NE(record.find(CommandLineFor("taxtbl") + "/b /nop /nos /dX:\\data\n"), std::string::npos)
      << record;
  EXPECT_NE(record.find("arg3 1\n"), std::string::npos);
}

TEST_F(ApplyPatchTest, OnlyALibraryResultOfZeroIsSuccess) {
  Script("patch a.rtp\nreturn 1\npatch b.rtp\nreturn -7\npatch c.rtp\nreturn 0\n");
  EXPECT_EQ(ApplyPatch(dir.c_str(), "a"), 0);
  EXPECT_EQ(ApplyPatch(dir.c_str(), "b"), 0);
  EXPECT_EQ(ApplyPatch(dir.c_str(), "c"), 1);
}

TEST_F(ApplyPatchTest, TheLogKeepsHeadersAndFileLinesByteForByteAcrossRuns) {
  Script(
      "patch r7r8s.rtp\nevent 8\nevent 7 vlw32.exe\nevent 5 16350\nreturn 3\n"
      "patch taxtbl.rtp\nevent 7 tax\\t\xe4"
      "ble.dat\n");
  EXPECT_EQ(ApplyPatch(dir.c_str(), "r7r8s"), 0);
  EXPECT_EQ(ApplyPatch(dir.c_str(), "taxtbl"), 1);
  EXPECT_EQ(Log(),
            "--- Applying patch file \"r7r8s\" ---\r\n"
            "Updating file \"vlw32.exe\"\r\n"
            "--- Applying patch file \"taxtbl\" ---\r\n"
            "Updating file \"tax\\t\xe4"
            "ble.dat\"\r\n");
  EXPECT_EQ(g_logFile, nullptr);
}

TEST_F(ApplyPatchTest, ALogThatCannotBeOpenedDoesNotStopThePatch) {
  // A directory in the log's place makes the open fail for anyone, root included.
  ASSERT_TRUE(CreateDirectoryA((dir + "\\update.txt").c_str(), nullptr));
  Script("event 7 vlw32.exe\n");
  EXPECT_EQ(ApplyPatch(dir.c_str(), "r7r8s"), 1);
  EXPECT_NE(Record().find(CommandLineFor("r7r8s") + "/nob /nop /nos \n"), std::string::npos);
  RemoveDirectoryA((dir + "\\update.txt").c_str());
}

TEST_F(ApplyPatchTest, ADirectoryTooLongForTheBuffersFailsWithoutCallingTheLibrary) {
  // 227 characters fit the command line of the longest name with backup; 228 do not.
  g_backupFlag = 1;
  const std::string fits = "C:\\" + std::string(224, 'd');
  const std::string tooLong = fits + "d";
  EXPECT_EQ(ApplyPatch(tooLong.c_str(), "postpatch"), 0);
  EXPECT_EQ(Record(), "");
  EXPECT_EQ(ApplyPatch(fits.c_str(), "postpatch"), 1);
  EXPECT_NE(Record().find("cmdlen 259\n"), std::string::npos) << Record();
  // The log path holds at most 248 characters of directory: 259 with "\update.txt".
  g_backupFlag = 0;
  EXPECT_EQ(ApplyPatch(std::string(249, 'e').c_str(), "a"), 0);
}

TEST_F(ApplyPatchTest, NamesThePatchInTheWindowAndClearsAnEarlierCancel) {
  CDialog parent(IDD_UPDATE);
  parent.CreateModeless(IDD_UPDATE, nullptr);
  g_progress = new CProgressDlg(&parent);
  g_abortRequested = 1;
  Script("event 0\n");
  EXPECT_EQ(ApplyPatch(dir.c_str(), "postpatch"), 1);
  EXPECT_STREQ(g_progress->m_patchName, "postpatch");
  EXPECT_NE(Record().find("answer 0 go empty"), std::string::npos) << Record();
  delete g_progress;
  g_progress = nullptr;
}

}  // namespace
