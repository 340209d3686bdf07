// The update as the user runs it, with the real PATCHW32.dll and the release's
// patch files beside the program: the release dialog in this process, then
// the shipped program as a child process.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "AppPathsKey.h"
#include "ApplyPatch.h"
#include "Dialog.h"
#include "PatchCallback.h"
#include "ProgressDlg.h"
#include "ReleaseTrees.h"
#include "ReleaseUpdateDlg.h"
#include "UpdateLog.h"
#include "WindowDriver.h"
#include "resource.h"

namespace {

using namespace e2e;

const char* const kPatches[] = {"r7r8s", "r7r8p", "postpatch", "taxtbl"};
const char kUpdated[] = "Velmora is updated!";
const char kCouldNotApply[] = "Error:  Could not apply patch";
const char kNotSuccessful[] = "The update was not successful.";

bool IsDialog(HWND window) {
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  return strcmp(name, "#32770") == 0 && IsWindowVisible(window);
}

// Plays the user in this thread's windows: once the update dialog takes
// input, sets the backup box and presses Update; answers every message box
// with OK, recording its text (onBox runs just before the answer).
class UserDriver {
 public:
  explicit UserDriver(bool backup) : m_backup(backup) {
    s_self = this;
    m_timer = SetTimer(nullptr, 0, 40, &OnTimer);
  }
  ~UserDriver() {
    KillTimer(nullptr, m_timer);
    s_self = nullptr;
  }
  HWND dialog = nullptr;
  std::vector<std::string> boxes;  // shown after Update was pressed
  std::function<void(const std::string&)> onBox;

 private:
  static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (s_self) EnumThreadWindows(GetCurrentThreadId(), &Visit, 0);
  }
  static BOOL CALLBACK Visit(HWND window, LPARAM) {
    UserDriver& self = *s_self;
    if (!IsDialog(window)) return TRUE;
    if (GetDlgItem(window, IDC_DIRECTORY)) {
      // A box over the dialog disables it.
      if (!self.dialog && IsWindowEnabled(window)) {
        self.dialog = window;
        CheckDlgButton(window, IDC_BACKUP, self.m_backup ? BST_CHECKED : BST_UNCHECKED);
        Click(window, IDOK);
        return FALSE;
      }
      return TRUE;
    }
    if (!GetDlgItem(window, 0xFFFF) || !self.m_answered.insert(window).second) return TRUE;
    const std::string text = WindowText(GetDlgItem(window, 0xFFFF));
    if (self.dialog) {
      self.boxes.push_back(text);
      if (self.onBox) self.onBox(text);
    }
    Click(window, IDOK);
    return FALSE;
  }
  static UserDriver* s_self;
  bool m_backup;
  UINT_PTR m_timer = 0;
  std::set<HWND> m_answered;
};
UserDriver* UserDriver::s_self = nullptr;

class UpdateProgram : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(IsFile(PatchFile("r7r8s"))) << ReleaseDir();
    // As the program's start-up does.
    SetDialogColors(RGB(192, 192, 192), RGB(0, 0, 0));
    g_patchCallback = &PatchCallback;
    GetCurrentDirectoryA(sizeof m_savedDirectory, m_savedDirectory);
    // The release medium keeps the patch files beside the program.
    for (const char* patch : kPatches)
      ASSERT_TRUE(CopyFileA(PatchFile(patch).c_str(), Beside(patch).c_str(), FALSE));
  }
  void TearDown() override {
    SetCurrentDirectoryA(m_savedDirectory);
    for (const char* patch : kPatches) DeleteFileA(Beside(patch).c_str());
    g_patchCallback = &PatchCallback;
  }
  static std::string Beside(const std::string& patch) {
    return ModuleDir() + "\\" + patch + ".rtp";
  }

  struct Outcome {
    int modal = -1;
    std::vector<std::string> boxes;
    bool openAtFailure = false;      // the dialog was still up when the failure was told
    bool progressAtOutcome = false;  // a progress window existed at the outcome
  };

  // Presses Update in the release dialog found through the App Paths entry,
  // answers every box with OK and, after a failure, closes the dialog.
  Outcome RunUpdate(const Installation& install, bool backup) {
    Outcome outcome;
    EXPECT_TRUE(m_appPaths.Set(install.File("vlw32.exe")));
    CReleaseUpdateDlg dialog;
    UserDriver user(backup);
    user.onBox = [&](const std::string& text) {
      // The error of the sequence comes while the progress window is up; the outcome after it.
      if (g_progress && text != kCouldNotApply) outcome.progressAtOutcome = true;
      if (text == kNotSuccessful) {
        outcome.openAtFailure = IsWindowVisible(user.dialog);
        Click(user.dialog, IDCANCEL);
      }
    };
    s_driver = &user;
    // Nothing here should take long; a hang ends the dialog instead of the run.
    const UINT_PTR watchdog = SetTimer(nullptr, 0, 60000, &OnWatchdog);
    outcome.modal = dialog.RunModal();
    KillTimer(nullptr, watchdog);
    outcome.boxes = user.boxes;
    s_driver = nullptr;
    SetCurrentDirectoryA(m_savedDirectory);
    return outcome;
  }

  static void CALLBACK OnWatchdog(HWND, UINT, UINT_PTR, DWORD) {
    ADD_FAILURE() << "the update did not end";
    if (s_driver && s_driver->dialog) PostMessageA(s_driver->dialog, WM_COMMAND, IDCANCEL, 0);
  }

  char m_savedDirectory[MAX_PATH] = {};
  AppPathsKey m_appPaths;
  static UserDriver* s_driver;  // of the run under way
};
UserDriver* UpdateProgram::s_driver = nullptr;

std::set<std::string> AllFileLines(const UpdateLog& log) {
  std::set<std::string> names;
  for (const auto& lines : log.fileLines) names.insert(lines.begin(), lines.end());
  return names;
}

TEST_F(UpdateProgram, StandardEditionIsUpdatedAndTheLogListsEachFile) {
  Installation install("r7-standard");
  ASSERT_TRUE(install.Copied());
  const Tree r7 = install.Read();
  const Outcome outcome = RunUpdate(install, false);
  EXPECT_EQ(outcome.modal, IDOK);
  EXPECT_EQ(outcome.boxes, std::vector<std::string>{kUpdated});
  EXPECT_FALSE(outcome.progressAtOutcome);

  const Tree r8 = ReadTree(TreeDir("r8-standard"));
  EXPECT_EQ(Differences(r8, install.Read({"update.txt"})), "") << "no backup folder either";
  const UpdateLog log = ReadUpdateLog(install.File("update.txt"));
  EXPECT_TRUE(log.wellFormed);
  EXPECT_EQ(log.headers, (std::vector<std::string>{"r7r8s", "postpatch", "taxtbl"}));
  size_t lines = 0;
  for (const auto& block : log.fileLines) lines += block.size();
  EXPECT_EQ(AllFileLines(log), ChangedFiles(r7, r8));
  EXPECT_EQ(lines, ChangedFiles(r7, r8).size()) << "one line per file";
  ASSERT_EQ(log.fileLines.size(), 3u);
  EXPECT_EQ(log.fileLines[1], std::vector<std::string>{kPostPatchFile});
  EXPECT_EQ(log.fileLines[2], std::vector<std::string>{kTaxTableFile});
}

TEST_F(UpdateProgram, ProEditionRefusedByTheStandardPatchIsUpdatedByItsOwnWithBackup) {
  Installation install("r7-pro");
  ASSERT_TRUE(install.Copied());
  const Tree r7 = install.Read();
  const Outcome outcome = RunUpdate(install, true);
  EXPECT_EQ(outcome.modal, IDOK);
  EXPECT_EQ(outcome.boxes, std::vector<std::string>{kUpdated});

  const Tree r8 = ReadTree(TreeDir("r8-pro"));
  EXPECT_EQ(Differences(r8, install.Read({"update.txt", "backup"})), "");
  const UpdateLog log = ReadUpdateLog(install.File("update.txt"));
  EXPECT_EQ(log.headers, (std::vector<std::string>{"r7r8s", "r7r8p", "postpatch", "taxtbl"}));
  ASSERT_EQ(log.fileLines.size(), 4u);
  EXPECT_TRUE(log.fileLines[0].empty()) << "r7r8s was refused before any file";
  EXPECT_EQ(AllFileLines(log), ChangedFiles(r7, r8));

  // The originals of every changed file that existed, at their paths.
  Tree expected;
  for (const std::string& changed : ChangedFiles(r7, r8)) {
    if (!r7.count(changed)) continue;
    expected[changed] = r7.at(changed);
    for (size_t slash = changed.find('\\'); slash != std::string::npos;
         slash = changed.find('\\', slash + 1))
      expected[changed.substr(0, slash)] = kFolder;
  }
  EXPECT_EQ(Differences(expected, ReadTree(install.File("backup"))), "");
}

TEST_F(UpdateProgram, RefusedMainPatchesGiveBothFailureMessagesAndChangeNothing) {
  std::string standard = ReadFile(PatchFile("r7r8s"));
  standard[standard.size() / 2] = static_cast<char>(standard[standard.size() / 2] ^ 0x10);
  const std::string pro = ReadFile(PatchFile("r7r8p"));
  // Damaged, or sound and signed but in the main patches' places.
  const struct {
    const char* what;
    std::string r7r8s, r7r8p;
    // An altered patch is found out while its files are staged, which the
    // log may list; a cut or misplaced one is refused before it reaches any.
    bool mainMayLogFiles;
  } cases[] = {
      {"damaged", standard, pro.substr(0, pro.size() * 2 / 3), true},
      {"the shared patches swapped in", ReadFile(PatchFile("postpatch")),
       ReadFile(PatchFile("taxtbl")), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteWholeFile(Beside("r7r8s"), c.r7r8s);
    WriteWholeFile(Beside("r7r8p"), c.r7r8p);
    Installation install("r7-standard");
    ASSERT_TRUE(install.Copied());
    const Tree r7 = install.Read();
    const Outcome outcome = RunUpdate(install, true);
    EXPECT_EQ(outcome.boxes, (std::vector<std::string>{kCouldNotApply, kNotSuccessful}));
    EXPECT_TRUE(outcome.openAtFailure);
    EXPECT_EQ(outcome.modal, IDCANCEL) << "the dialog stayed until it was closed";
    EXPECT_FALSE(outcome.progressAtOutcome);
    EXPECT_EQ(Differences(r7, install.Read({"update.txt"})), "") << "not even a backup folder";
    const UpdateLog log = ReadUpdateLog(install.File("update.txt"));
    EXPECT_EQ(log.headers, (std::vector<std::string>{"r7r8s", "r7r8p"}));
    ASSERT_EQ(log.fileLines.size(), 2u);
    if (!c.mainMayLogFiles) {
      EXPECT_TRUE(log.fileLines[0].empty());
    }
    EXPECT_TRUE(log.fileLines[1].empty());
  }
}

// Closes the progress window as its second file is named, as a user would.
int g_namedFiles = 0;
void* __stdcall CancellingCallback(int id, void* parameter) {
  if (id == PATCHW32_EVENT_FILE_NAME && ++g_namedFiles == 2 && g_progress)
    PostMessageA(g_progress->m_hWnd, WM_CLOSE, 0, 0);
  return PatchCallback(id, parameter);
}

TEST_F(UpdateProgram, ACancelDuringThePatchLeavesTheInstallationAsItWas) {
  g_patchCallback = &CancellingCallback;
  g_namedFiles = 0;
  Installation install("r7-standard");
  ASSERT_TRUE(install.Copied());
  const Tree r7 = install.Read();
  const Outcome outcome = RunUpdate(install, false);
  ASSERT_GE(g_namedFiles, 2) << "the patch reached its second file";
  EXPECT_EQ(g_progress, nullptr);
  // "r7r8s" is abandoned and rolled back; "r7r8p" then does not fit.
  EXPECT_EQ(outcome.boxes, (std::vector<std::string>{kCouldNotApply, kNotSuccessful}));
  EXPECT_TRUE(outcome.openAtFailure);
  EXPECT_EQ(Differences(r7, install.Read({"update.txt"})), "");
  const UpdateLog log = ReadUpdateLog(install.File("update.txt"));
  EXPECT_EQ(log.headers, (std::vector<std::string>{"r7r8s", "r7r8p"}));
  ASSERT_EQ(log.fileLines.size(), 2u);
  EXPECT_EQ(log.fileLines[0].size(), 1u) << "the file named with the cancel is left and not logged";
}

#ifdef VELMORA_E2E_PROGRAM
// The medium as shipped: program, library, readme, and the four patch files.
TEST_F(UpdateProgram, TheShippedProgramUpdatesTheStandardEdition) {
  const std::string medium = Backslashed(VELMORA_E2E_MEDIUM);
  TempDir copy("velmora-medium");
  for (const char* name : {"VelmoraUpdate.exe", "PATCHW32.dll", "readme.txt"})
    ASSERT_TRUE(CopyFileA((medium + "\\" + name).c_str(), copy.File(name).c_str(), FALSE)) << name;
  for (const char* patch : kPatches)
    ASSERT_TRUE(
        CopyFileA(PatchFile(patch).c_str(), copy.File(std::string(patch) + ".rtp").c_str(), FALSE));
  Installation install("r7-standard");
  ASSERT_TRUE(install.Copied());
  ASSERT_TRUE(m_appPaths.Set(install.File("vlw32.exe")));

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::string commandLine = "\"" + copy.File("VelmoraUpdate.exe") + "\"";
  ASSERT_TRUE(CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                             copy.Path().c_str(), &startup, &process));
  struct Reap {
    PROCESS_INFORMATION& p;
    ~Reap() {
      if (WaitForSingleObject(p.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(p.hProcess, 99);
      CloseHandle(p.hThread);
      CloseHandle(p.hProcess);
    }
  } reap{process};

  HWND dialog = nullptr;
  // Shown once initialised, and enabled once its start-up box (if any) is gone.
  EXPECT_TRUE(PumpUntil(
      [&] {
        dialog = FindWindowA("#32770", "Velmora Update");
        return dialog && IsWindowVisible(dialog) && IsWindowEnabled(dialog);
      },
      20000));
  ASSERT_NE(dialog, nullptr);
  char shown[MAX_PATH] = {};
  SendDlgItemMessageA(dialog, IDC_DIRECTORY, WM_GETTEXT, sizeof shown,
                      reinterpret_cast<LPARAM>(shown));
  EXPECT_EQ(shown, install.Path() + "\\") << "found through the App Paths entry";
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));

  HWND box = nullptr;
  EXPECT_TRUE(
      PumpUntil([&] { return (box = FindWindowA("#32770", "Velmora Patch")) != nullptr; }, 30000));
  ASSERT_NE(box, nullptr);
  char text[256] = {};
  SendMessageA(GetDlgItem(box, 0xFFFF), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, kUpdated);
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));

  ASSERT_EQ(WaitForSingleObject(process.hProcess, 20000), WAIT_OBJECT_0) << "the program ends";
  EXPECT_EQ(Differences(ReadTree(TreeDir("r8-standard")), install.Read({"update.txt"})), "");
  EXPECT_EQ(ReadUpdateLog(install.File("update.txt")).headers,
            (std::vector<std::string>{"r7r8s", "postpatch", "taxtbl"}));
}
#endif

}  // namespace
