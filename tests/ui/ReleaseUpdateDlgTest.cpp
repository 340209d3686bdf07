#include <gtest/gtest.h>

#include <climits>

#include "Fixtures.h"
#include "ReleaseUpdateDlg.h"
#include "WinApp.h"
#include "WindowDriver.h"
#include "resource.h"

namespace {

const char kDefaultDirectory[] = "C:\\Program Files\\Brennock\\Velmora\\";
const char kNotInstalled[] =
    "Error:  Velmora does not appear to be installed in this directory.  Please select another.";
const char kNoSpace[] =
    "Error:  Not enough disk space for backup.  Please unselect the option or free some disk "
    "space.";
const char kRunning[] =
    "Error:  Velmora is currently running.  Please close Velmora before continuing with the "
    "patch.";

TEST(ReleaseDialog, FindsTheInstallationFromTheRegistryOrTheDefault) {
  AppPathsKey key;
  EXPECT_STREQ(CReleaseUpdateDlg().m_directory, kDefaultDirectory) << "no key";
  key.Create();
  EXPECT_STREQ(CReleaseUpdateDlg().m_directory, kDefaultDirectory) << "key without value";

  struct Case {
    std::string bytes;
    const char* directory;
  };
  const Case cases[] = {
      {std::string("D:\\Apps\\Velmora\\vlw32.exe", 26), "D:\\Apps\\Velmora\\"},
      {std::string("vlw32.exe", 10), "vlw32.exe"},
      {std::string("\\vlw32.exe", 11), "\\vlw32.exe"},  // backslash first: kept whole
      {std::string("\"E:\\Quoted Dir\\vlw32.exe\"", 26), "\"E:\\Quoted Dir\\"},
      {std::string("", 1), ""},
      {"C:\\" + std::string(252, 'a') + std::string(1, '\0'), "C:\\"},  // 256 bytes: fits
      {"C:\\" + std::string(253, 'a') + std::string(1, '\0'), kDefaultDirectory},  // 257
      // Stored without the zero: the text ends where the value does...
      {std::string("D:\\Apps\\Velmora\\vlw32.exe", 25), "D:\\Apps\\Velmora\\"},
      {"C:\\" + std::string(252, 'a'), "C:\\"},  // 255 bytes
      {std::string(), ""},
      // ...unless it fills the buffer: 256 bytes without a zero, never read past it.
      {"C:\\" + std::string(253, 'a'), kDefaultDirectory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    key.SetBytes(c.bytes);
    const CReleaseUpdateDlg dialog;
    EXPECT_STREQ(dialog.m_directory, c.directory);
    EXPECT_EQ(dialog.m_backup, 0);
    EXPECT_EQ(dialog.m_minFreeMB, 9);
  }
  key.SetBytes(std::string("\x01\x02\x03\x04", 4), REG_DWORD);
  EXPECT_STREQ(CReleaseUpdateDlg().m_directory, kDefaultDirectory) << "not text";
}

TEST(ReleaseDialog, FileExistsOnlyForFiles) {
  TempDir folder;
  WriteWholeFile(folder.File("vlw32.exe"), "MZ");
  CreateDirectoryA(folder.File("sub").c_str(), nullptr);
  EXPECT_TRUE(CReleaseUpdateDlg::FileExists(folder.File("vlw32.exe").c_str()));
  EXPECT_FALSE(CReleaseUpdateDlg::FileExists(folder.File("sub").c_str()));
  EXPECT_FALSE(CReleaseUpdateDlg::FileExists(folder.File("missing.exe").c_str()));
  EXPECT_FALSE(CReleaseUpdateDlg::FileExists(folder.File("vlw32.ex?").c_str()));
  EXPECT_FALSE(CReleaseUpdateDlg::FileExists("C:\\"));
}

// A release dialog whose disk query the test decides.
class DiskDialog : public CReleaseUpdateDlg {
 public:
  BOOL answer = TRUE;
  DWORD sectorsPerCluster = 8, bytesPerSector = 512, freeClusters = 0;
  int queries = 0;
  std::string root;

 protected:
  BOOL QueryDiskFreeSpace(const char* rootPath, DWORD* spc, DWORD* bps, DWORD* freeCount,
                          DWORD* total) override {
    ++queries;
    root = rootPath;
    *spc = sectorsPerCluster;
    *bps = bytesPerSector;
    *freeCount = freeClusters;
    *total = freeClusters;
    return answer;
  }
};

TEST(ReleaseDialog, FreeMegabytesUseSixtyFourBitArithmetic) {
  DiskDialog dialog;
  dialog.m_directory = "C:\\Program Files\\x\\";
  dialog.freeClusters = 9 * 256;  // 4 KB clusters
  EXPECT_EQ(dialog.GetFreeMegabytes(), 9);
  EXPECT_EQ(dialog.root, "C:\\");
  dialog.freeClusters = 9 * 256 - 1;
  EXPECT_EQ(dialog.GetFreeMegabytes(), 8);
  dialog.sectorsPerCluster = 1;
  dialog.bytesPerSector = 4096;
  dialog.freeClusters = 1048576 + 256;  // 4 GB + 1 MB: 1 MB in 32 bits
  EXPECT_EQ(dialog.GetFreeMegabytes(), 4097);
  dialog.sectorsPerCluster = dialog.bytesPerSector = dialog.freeClusters = 0xFFFFFFFF;
  EXPECT_EQ(dialog.GetFreeMegabytes(), INT_MAX);
  dialog.answer = FALSE;
  EXPECT_EQ(dialog.GetFreeMegabytes(), -1);
  dialog.m_directory = "\\";
  dialog.GetFreeMegabytes();
  EXPECT_EQ(dialog.root, "\\");

  CReleaseUpdateDlg real;
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  real.m_directory = temp;
  EXPECT_GT(real.GetFreeMegabytes(), 0);
}

class Installation : public testing::Test {
 protected:
  void SetUp() override {
    WriteWholeFile(m_folder.File("vlw32.exe"), "MZ");
    m_dialog.m_directory = (m_folder.Path() + "\\").c_str();
  }
  void TearDown() override { ForgetPendingDialogs(); }

  TempDir m_folder;
  DiskDialog m_dialog;
};

TEST_F(Installation, ADirectoryWithoutTheProgramIsRefused) {
  TempDir empty;
  CreateDirectoryA(empty.File("vlw32.exe").c_str(), nullptr);  // a folder of that name
  for (const std::string& directory : {m_folder.File("nothing") + "\\", empty.Path() + "\\"}) {
    m_dialog.m_directory = directory.c_str();
    auto box = AnswerMessageBox(IDOK);
    EXPECT_EQ(m_dialog.CheckInstallation(), 0) << directory;
    EXPECT_EQ(box->text, kNotInstalled);
    EXPECT_EQ(box->caption, "Velmora Patch");
    EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
    EXPECT_EQ(box->helpContext, DWORD(0x30000 + IDS_ERR_NOTINSTALLED));
  }
}

TEST_F(Installation, TheTrailingBackslashIsAddedToTheMember) {
  m_dialog.m_directory = m_folder.Path().c_str();
  EXPECT_EQ(m_dialog.CheckInstallation(), 1);
  EXPECT_EQ(std::string(m_dialog.m_directory), m_folder.Path() + "\\");
  EXPECT_EQ(m_dialog.CheckInstallation(), 1);  // never a second one
  EXPECT_EQ(std::string(m_dialog.m_directory), m_folder.Path() + "\\");

  // Empty: the root of the current drive.
  const std::string rootFile = "C:\\vlw32.exe";
  char saved[MAX_PATH];
  GetCurrentDirectoryA(sizeof saved, saved);
  SetCurrentDirectoryA(m_folder.Path().c_str());
  WriteWholeFile(rootFile, "MZ");
  m_dialog.m_directory = "";
  EXPECT_EQ(m_dialog.CheckInstallation(), 1);
  EXPECT_STREQ(m_dialog.m_directory, "\\");
  DeleteFileA(rootFile.c_str());
  SetCurrentDirectoryA(saved);
}

TEST_F(Installation, FreeSpaceIsTestedOnlyForABackup) {
  struct Case {
    int backup;
    BOOL answer;
    DWORD freeClusters;  // of 4 KB
    int result;
  };
  const Case cases[] = {
      {1, TRUE, 9 * 256, 1},  {1, TRUE, 9 * 256 - 1, 0}, {1, TRUE, 1048576 + 256, 1},
      {1, FALSE, 9 * 256, 0}, {0, TRUE, 1, 1},           {0, FALSE, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.backup << " " << c.answer << " " << c.freeClusters);
    m_dialog.m_backup = c.backup;
    m_dialog.answer = c.answer;
    m_dialog.freeClusters = c.freeClusters;
    m_dialog.queries = 0;
    auto box = AnswerMessageBox(IDOK);
    EXPECT_EQ(m_dialog.CheckInstallation(), c.result);
    EXPECT_EQ(m_dialog.queries, c.backup);
    EXPECT_EQ(box->seen, c.result == 0);
    if (c.result == 0) {
      EXPECT_EQ(box->text, kNoSpace);
    }
    ForgetPendingDialogs();
  }
}

// The running product, as far as the updater can tell.
class RunningProduct {
 public:
  RunningProduct() {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "TernFrame";
    RegisterClassA(&windowClass);
    m_window = CreateWindowA("TernFrame", "Velmora", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                             nullptr, GetModuleHandleA(nullptr), nullptr);
  }
  ~RunningProduct() {
    Close();
    UnregisterClassA("TernFrame", GetModuleHandleA(nullptr));
  }
  void Close() {
    if (m_window) DestroyWindow(m_window);
    m_window = nullptr;
  }
  HWND m_window;
};

TEST_F(Installation, WhileTheProductRunsEachOkSearchesAgain) {
  RunningProduct product;
  ASSERT_NE(product.m_window, nullptr);
  std::vector<std::string> texts;
  std::vector<std::vector<int>> buttons;
  auto note = [&](HWND box) {
    texts.push_back(WindowText(GetDlgItem(box, 0xFFFF)));
    std::vector<int> ids;
    for (int id : {IDOK, IDCANCEL})
      if (GetDlgItem(box, id)) ids.push_back(id);
    buttons.push_back(ids);
  };
  WhenDialogAppears([&](HWND box) {
    note(box);
    Click(box, IDOK);
  });
  WhenDialogAppears([&](HWND box) {
    note(box);
    Click(box, IDOK);
  });
  WhenDialogAppears([&](HWND box) {
    note(box);
    product.Close();
    Click(box, IDOK);
  });
  EXPECT_EQ(m_dialog.CheckInstallation(), 1);
  ASSERT_EQ(texts.size(), 3u);
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(texts[i], kRunning);
    EXPECT_EQ(buttons[i], (std::vector<int>{IDOK, IDCANCEL}));
  }
}

TEST_F(Installation, CancelWhileTheProductRunsRefuses) {
  RunningProduct product;
  auto first = AnswerMessageBox(IDOK);
  auto second = AnswerMessageBox(IDCANCEL);
  EXPECT_EQ(m_dialog.CheckInstallation(), 0);
  EXPECT_EQ(first->text, kRunning);
  EXPECT_EQ(second->text, kRunning);
  EXPECT_EQ(second->helpContext, DWORD(0x30000 + IDS_ERR_RUNNING));
}

TEST_F(Installation, ARefusalLeavesTheDialogOpenWithTheFieldAsTyped) {
  std::vector<std::string> texts;
  std::string fieldAfter;
  m_dialog.answer = FALSE;
  WhenDialogAppears([&](HWND window) {
    // Typed without the backslash, then with the backup that cannot be made.
    SetDlgItemTextA(window, IDC_DIRECTORY, m_folder.Path().c_str());
    CheckDlgButton(window, IDC_BACKUP, BST_CHECKED);
    Click(window, IDOK);
    WhenDialogAppears([&, window](HWND box) {
      texts.push_back(WindowText(GetDlgItem(box, 0xFFFF)));
      Click(box, IDOK);
      WhenReady([window] { return IsWindowEnabled(window) != FALSE; },
                [&, window] {
                  fieldAfter = WindowText(GetDlgItem(window, IDC_DIRECTORY));
                  Click(window, IDCANCEL);
                });
    });
  });
  EXPECT_EQ(m_dialog.RunModal(), IDCANCEL);
  EXPECT_EQ(texts, std::vector<std::string>{kNoSpace});
  EXPECT_EQ(fieldAfter, m_folder.Path());
  EXPECT_EQ(std::string(m_dialog.m_directory), m_folder.Path() + "\\");
  EXPECT_EQ(GetApp()->m_waitCursorCount, 0);
}

}  // namespace
