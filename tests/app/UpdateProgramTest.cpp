// The real VelmoraUpdate.exe, run as a child process beside the scripted
// patch library and driven from here as a user would.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "AppPathsKey.h"
#include "PatchScript.h"
#include "TempDir.h"
#include "UpdateLog.h"

namespace {

using testsupport::TempDir;

std::string WindowsPath(std::string unixPath) {
  for (char& c : unixPath)
    if (c == '/') c = '\\';
  return "Z:" + unixPath;
}

const std::string kMedium = WindowsPath(VELMORA_MEDIUM);

std::string TestExeDirectory() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string text = path;
  return text.substr(0, text.rfind('\\'));
}

bool WaitFor(const std::function<bool()>& done, DWORD milliseconds = 15000) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > milliseconds) return false;
    Sleep(20);
  }
  return true;
}

std::string TextOf(HWND window) {
  char text[1024] = {};
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 2000, &ignored);
  return text;
}

struct Search {
  DWORD process;
  const char* title;
  HWND found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM param) {
  Search* search = reinterpret_cast<Search*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  if (process == search->process && IsWindowVisible(window) && strcmp(name, "#32770") == 0 &&
      TextOf(window) == search->title) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// A medium of its own: the program beside the scripted library, so these
// tests do not depend on which library the build ships.
class UpdateProgram : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyFileA((kMedium + "\\VelmoraUpdate.exe").c_str(),
                          m_medium.File("VelmoraUpdate.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((TestExeDirectory() + "\\PATCHW32.dll").c_str(),
                          m_medium.File("PATCHW32.dll").c_str(), FALSE));
    WriteWholeFile(m_product.File("vlw32.exe"), "MZ");
    m_key.Set(m_product.File("vlw32.exe"));
  }
  void TearDown() override {
    if (m_process.hProcess) {
      if (WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(m_process.hProcess, 1);
      CloseHandle(m_process.hProcess);
      CloseHandle(m_process.hThread);
    }
  }

  void Start() {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string command = "\"" + m_medium.File("VelmoraUpdate.exe") + "\"";
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               m_medium.Path().c_str(), &startup, &m_process))
        << GetLastError();
  }
  HWND Find(const char* title) {
    Search search = {m_process.dwProcessId, title, nullptr};
    EnumWindows(&FindTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
  }
  HWND WaitForWindow(const char* title) {
    HWND found = nullptr;
    WaitFor([&] { return (found = Find(title)) != nullptr; });
    return found;
  }
  HWND WaitForDialog() { return WaitForWindow("Velmora Update"); }
  // The next message box's text, answered with `button`; empty when none came.
  std::string AnswerBox(int button) {
    HWND box = WaitForWindow("Velmora Patch");
    if (!box) return "";
    const std::string text = TextOf(GetDlgItem(box, 0xFFFF));
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    WaitFor([&] { return !IsWindow(box); });
    return text;
  }
  static void Press(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
  }
  // Waits for the end of the program; false when a message box came first.
  bool EndsWithoutAMessage() {
    bool boxSeen = false;
    WaitFor([&] {
      boxSeen = boxSeen || Find("Velmora Patch") != nullptr;
      return WaitForSingleObject(m_process.hProcess, 0) == WAIT_OBJECT_0;
    });
    return !boxSeen && Ended();
  }
  bool Ended(DWORD milliseconds = 15000) {
    return WaitForSingleObject(m_process.hProcess, milliseconds) == WAIT_OBJECT_0;
  }

  TempDir m_medium;
  TempDir m_product;
  AppPathsKey m_key;
  PROCESS_INFORMATION m_process = {};
};

TEST_F(UpdateProgram, AWholeUpdateShowsProgressThenTheOutcomeAndEnds) {
  PatchScript script(
      "patch r7r8s.rtp\nevent 7 vlw32.exe\nevent 5 16350\nsleep 1500\nevent 8\nreturn 0\n");
  Start();
  HWND dialog = WaitForDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(TextOf(GetDlgItem(dialog, 1000)), m_product.Path() + "\\");
  EXPECT_EQ(SendMessageA(GetDlgItem(dialog, 1004), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  // The program's own light grey, painted by the dialog: on a busy machine
  // the dialog can be found before it first paints.
  COLORREF background = CLR_INVALID;
  for (int tries = 0; tries < 100 && background != RGB(192, 192, 192); ++tries) {
    if (tries > 0) Sleep(20);
    HDC dc = GetDC(dialog);
    background = GetPixel(dc, 2, 2);
    ReleaseDC(dialog, dc);
  }
  EXPECT_EQ(background, RGB(192, 192, 192));

  SendMessageA(GetDlgItem(dialog, 1004), BM_SETCHECK, BST_CHECKED, 0);
  Press(dialog, IDOK);
  HWND progress = WaitForWindow("Updating ...");
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(GetWindow(progress, GW_OWNER), dialog);

  EXPECT_EQ(AnswerBox(IDOK), "Velmora is updated!");
  EXPECT_FALSE(IsWindow(progress));
  EXPECT_TRUE(Ended());

  EXPECT_EQ(ReadUpdateLog(m_product.File("update.txt")).headers,
            (std::vector<std::string>{"r7r8s", "postpatch", "taxtbl"}));
  EXPECT_NE(ReadFile(m_product.File("update.txt")).find("Updating file \"vlw32.exe\"\r\n"),
            std::string::npos);
  const auto lines = script.CommandLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "\"r7r8s.rtp\" \"" + m_product.Path() + "\" /b /nop /nos ");
}

TEST_F(UpdateProgram, AFailedUpdateTellsWhyAndLeavesTheDialogOpen) {
  PatchScript script("patch r7r8s.rtp\nreturn 1\npatch r7r8p.rtp\nreturn 1\n");
  Start();
  HWND dialog = WaitForDialog();
  ASSERT_NE(dialog, nullptr);
  Press(dialog, IDOK);
  EXPECT_EQ(AnswerBox(IDOK), "Error:  Could not apply patch");
  EXPECT_EQ(AnswerBox(IDOK), "The update was not successful.");
  EXPECT_FALSE(Ended(1000));
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_EQ(
      script.CommandLines(),
      (std::vector<std::string>{"\"r7r8s.rtp\" \"" + m_product.Path() + "\" /nob /nop /nos ",
                                "\"r7r8p.rtp\" \"" + m_product.Path() + "\" /nob /nop /nos "}));
  Press(dialog, IDCANCEL);
  EXPECT_TRUE(EndsWithoutAMessage());
}

TEST_F(UpdateProgram, ARefusedInstallationLeavesTheDialogOpen) {
  PatchScript script;
  DeleteFileA(m_product.File("vlw32.exe").c_str());
  Start();
  HWND dialog = WaitForDialog();
  ASSERT_NE(dialog, nullptr);
  Press(dialog, IDOK);
  EXPECT_EQ(AnswerBox(IDOK),
            "Error:  Velmora does not appear to be installed in this directory.  Please select "
            "another.");
  EXPECT_FALSE(Ended(1000));
  EXPECT_TRUE(script.CommandLines().empty());
  Press(dialog, IDCANCEL);
  EXPECT_TRUE(EndsWithoutAMessage());
}

TEST_F(UpdateProgram, CancelEndsTheProgramWithoutAMessage) {
  PatchScript script;
  Start();
  HWND dialog = WaitForDialog();
  ASSERT_NE(dialog, nullptr);
  Press(dialog, IDCANCEL);
  EXPECT_TRUE(EndsWithoutAMessage());
  EXPECT_TRUE(script.CommandLines().empty());
}

TEST_F(UpdateProgram, EnterInTheDirectoryFieldCancels) {
  PatchScript script;
  Start();
  HWND dialog = WaitForDialog();
  ASSERT_NE(dialog, nullptr);
  HWND edit = GetDlgItem(dialog, 1000);
  PostMessageA(edit, WM_KEYDOWN, VK_RETURN, 1);
  PostMessageA(edit, WM_KEYUP, VK_RETURN, 0xC0000001);
  EXPECT_TRUE(EndsWithoutAMessage());
  EXPECT_TRUE(script.CommandLines().empty());
}

TEST(ReleaseMedium, HoldsTheProgramItsLibraryAndTheReadme) {
  for (const char* name : {"VelmoraUpdate.exe", "PATCHW32.dll", "readme.txt"})
    EXPECT_NE(GetFileAttributesA((kMedium + "\\" + name).c_str()), INVALID_FILE_ATTRIBUTES) << name;
  EXPECT_NE(ReadFile(kMedium + "\\readme.txt").find("Backup"), std::string::npos);

  const std::string program = kMedium + "\\VelmoraUpdate.exe";
  HMODULE module = LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  HRSRC manifest = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(manifest, nullptr);
  const std::string text(static_cast<const char*>(LockResource(LoadResource(module, manifest))),
                         SizeofResource(module, manifest));
  EXPECT_NE(text.find("level=\"requireAdministrator\""), std::string::npos);
  FreeLibrary(module);

  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(program.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::string data(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoA(program.c_str(), 0, size, &data[0]));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), 8u);
  char* description = nullptr;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\040904E4\\FileDescription",
                             reinterpret_cast<void**>(&description), &length));
  EXPECT_STREQ(description, "Velmora Update");
}

}  // namespace
