#include <gtest/gtest.h>

#include <cstring>

#include "Fixtures.h"
#include "ProbeDialog.h"
#include "WinApp.h"
#include "WindowDriver.h"
#include "resource.h"

namespace {

TEST(UpdateDialog, StartsCentredWithTheMembersShownAndTheFocusOnReadme) {
  ProbeDialog dialog;
  dialog.m_directory = "D:\\Apps\\Velmora\\";
  std::string shown;
  UINT checked = 99;
  bool focusOnReadme = false;
  RECT rect = {};
  WhenDialogAppears([&](HWND window) {
    shown = ControlText(window, IDC_DIRECTORY);
    checked = IsDlgButtonChecked(window, IDC_BACKUP);
    focusOnReadme = GetFocus() == GetDlgItem(window, IDC_README);
    GetWindowRect(window, &rect);
    Click(window, IDCANCEL);
  });
  EXPECT_EQ(dialog.RunModal(), IDCANCEL);
  EXPECT_EQ(shown, "D:\\Apps\\Velmora\\");
  EXPECT_EQ(checked, UINT(BST_UNCHECKED));
  EXPECT_TRUE(focusOnReadme);
  const RECT work = WorkArea();
  EXPECT_EQ(rect.left, (work.left + work.right) / 2 - (rect.right - rect.left) / 2);
  EXPECT_EQ(rect.top, (work.top + work.bottom) / 2 - (rect.bottom - rect.top) / 2);
  EXPECT_EQ(dialog.checks, 0);  // Cancel runs no update
  EXPECT_EQ(dialog.cancels, 1);
}

TEST(UpdateDialog, BrowseFillsTheFileRequest) {
  ProbeDialog dialog;
  dialog.m_directory = "C:\\Program Files\\Brennock\\Velmora\\";
  WhenDialogAppears([](HWND window) {
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDC_BROWSE)));
    Click(window, IDCANCEL);
  });
  dialog.RunModal();
  const FileRequest& r = dialog.request;
  ASSERT_EQ(r.runs, 1);
  EXPECT_EQ(r.file, "vlw32.exe");
  EXPECT_EQ(r.maxFile, 260u);
  EXPECT_EQ(r.title, "Where is Velmora?");
  EXPECT_EQ(r.filter, std::string("Program Files (*.exe)\0*.exe", 27));
  EXPECT_TRUE(r.hasInitialDirectory);
  EXPECT_EQ(r.initialDirectory, "C:\\Program Files\\Brennock\\Velmora");
  const DWORD framework = CFileDialog(1).m_openFileName.Flags;
  EXPECT_EQ(r.flags, framework | 0x1808);
  EXPECT_EQ(r.flags, DWORD(0x0088182E));
  EXPECT_EQ(dialog.m_directory, CText("C:\\Program Files\\Brennock\\Velmora\\"));
}

TEST(UpdateDialog, BrowseStartsFromTheTypedDirectoryAndACancelChangesNothingShown) {
  struct Case {
    const char* typed;
    bool hasInitial;
    const char* initial;
  };
  const Case cases[] = {
      {"", false, ""},
      {"vlw32.exe", false, ""},
      {"\\", true, ""},
      {"D:\\Velmora", true, "D:"},
      {"D:\\Apps\\Velmora\\", true, "D:\\Apps\\Velmora"},
  };
  ProbeDialog dialog;
  dialog.m_directory = "C:\\Start\\";
  std::vector<FileRequest> requests;
  std::vector<std::string> shownAfter, membersAfter;
  WhenDialogAppears([&](HWND window) {
    for (const Case& c : cases) {
      SetDlgItemTextA(window, IDC_DIRECTORY, c.typed);
      SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(window, IDC_BROWSE)));
      requests.push_back(dialog.request);
      shownAfter.push_back(ControlText(window, IDC_DIRECTORY));
      membersAfter.push_back(dialog.m_directory.GetText());
    }
    Click(window, IDCANCEL);
  });
  dialog.RunModal();
  ASSERT_EQ(requests.size(), std::size(cases));
  for (size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(cases[i].typed);
    EXPECT_EQ(requests[i].hasInitialDirectory, cases[i].hasInitial);
    EXPECT_EQ(requests[i].initialDirectory, cases[i].initial);
    EXPECT_EQ(shownAfter[i], cases[i].typed);
    EXPECT_EQ(membersAfter[i], cases[i].typed);  // read before the file dialog ran
  }
}

// Drives the platform's file dialog: reads what it shows, then picks a file.
void ChooseInFileDialog(const std::string& typedName, std::string& title, std::string& folder,
                        std::string& name, std::string& filterShown) {
  WhenDialogAppears([&, typedName](HWND box) {
    title = WindowText(box);
    char text[MAX_PATH] = {};
    SendMessageA(box, CDM_GETFOLDERPATH, sizeof text, reinterpret_cast<LPARAM>(text));
    folder = text;
    text[0] = 0;
    SendMessageA(box, CDM_GETSPEC, sizeof text, reinterpret_cast<LPARAM>(text));
    name = text;
    text[0] = 0;
    HWND types = GetDlgItem(box, cmb1);
    if (types && SendMessageA(types, CB_GETCOUNT, 0, 0) == 1)
      SendMessageA(types, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
    filterShown = text;
    if (!typedName.empty())
      SendMessageA(box, CDM_SETCONTROLTEXT, edt1, reinterpret_cast<LPARAM>(typedName.c_str()));
    PostMessageA(box, WM_COMMAND, IDOK, 0);
  });
}

TEST(UpdateDialog, BrowseTakesTheChosenFilesDirectoryIntoTheField) {
  TempDir folder;
  WriteWholeFile(folder.File("vlw32.exe"), "MZ");
  ProbeDialog dialog;
  dialog.realFileDialog = true;
  dialog.m_directory = (folder.Path() + "\\").c_str();
  std::string title, shownFolder, name, filterShown, fieldAfter;
  WhenDialogAppears([&](HWND window) {
    ChooseInFileDialog("", title, shownFolder, name, filterShown);
    Click(window, IDC_BROWSE);
    WhenReady([&dialog, window] { return dialog.request.runs == 1 && IsWindowEnabled(window); },
              [&, window] {
                fieldAfter = ControlText(window, IDC_DIRECTORY);
                Click(window, IDCANCEL);
              });
  });
  dialog.RunModal();
  EXPECT_EQ(title, "Where is Velmora?");
  EXPECT_EQ(lstrcmpiA(shownFolder.c_str(), folder.Path().c_str()), 0) << shownFolder;
  EXPECT_EQ(name, "vlw32.exe");
  EXPECT_EQ(filterShown, "Program Files (*.exe)");
  EXPECT_EQ(lstrcmpiA(dialog.m_directory, (folder.Path() + "\\").c_str()), 0)
      << dialog.m_directory.GetText();
  EXPECT_EQ(fieldAfter, dialog.m_directory.GetText());
}

TEST(UpdateDialog, BrowseToAFileInADriveRootGivesTheRoot) {
  const char* rootFile = "C:\\vlw32.exe";
  WriteWholeFile(rootFile, "MZ");
  ProbeDialog dialog;
  dialog.realFileDialog = true;
  dialog.m_directory = "C:\\";
  std::string title, shownFolder, name, filterShown;
  WhenDialogAppears([&](HWND window) {
    ChooseInFileDialog(rootFile, title, shownFolder, name, filterShown);
    Click(window, IDC_BROWSE);
    WhenReady([&dialog, window] { return dialog.request.runs == 1 && IsWindowEnabled(window); },
              [window] { Click(window, IDCANCEL); });
  });
  dialog.RunModal();
  DeleteFileA(rootFile);
  EXPECT_EQ(dialog.request.initialDirectory, "C:");
  EXPECT_STREQ(dialog.m_directory, "C:\\");
}

TEST(UpdateDialog, ReadmeCommandNamesTheReadmeBesideTheProgramUnquoted) {
  char command[260];
  memset(command, 'x', sizeof command);
  ASSERT_TRUE(CUpdateDlg::ComposeReadmeCommand(
      "E:\\Velmora Update CD\\Setup Files\\VelmoraUpdate.exe", command));
  EXPECT_STREQ(command, "notepad.exe E:\\Velmora Update CD\\Setup Files\\readme.txt");

  // "notepad.exe " + a readme path of 247 characters is the longest that fits.
  const std::string fits = "C:\\" + std::string(247 - 3 - 10 - 1, 'd') + "\\";
  ASSERT_EQ(fits.size() + 10, 247u);
  memset(command, 'x', sizeof command);
  ASSERT_TRUE(CUpdateDlg::ComposeReadmeCommand((fits + "u.exe").c_str(), command));
  EXPECT_EQ(strlen(command), 259u);
  EXPECT_EQ(std::string(command), "notepad.exe " + fits + "readme.txt");

  const std::string tooLong = "C:\\" + std::string(247 - 3 - 10, 'd') + "\\";
  memset(command, 'x', sizeof command);
  EXPECT_FALSE(CUpdateDlg::ComposeReadmeCommand((tooLong + "u.exe").c_str(), command));
  EXPECT_STREQ(command, "");
  EXPECT_FALSE(CUpdateDlg::ComposeReadmeCommand("nobackslash.exe", command));
}

BOOL CALLBACK FindEditorOf(HWND window, LPARAM found) {
  char name[32] = {};
  GetClassNameA(window, name, sizeof name);
  if (lstrcmpiA(name, "Notepad") == 0 && IsWindowVisible(window)) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

HWND FindEditor() {
  HWND found = nullptr;
  EnumWindows(&FindEditorOf, reinterpret_cast<LPARAM>(&found));
  return found;
}

TEST(UpdateDialog, ReadmeOpensTheReadmeBesideTheRunningProgramInTheEditor) {
  char module[MAX_PATH];
  GetModuleFileNameA(nullptr, module, sizeof module);
  std::string readme = module;
  readme = readme.substr(0, readme.rfind('\\') + 1) + "readme.txt";
  WriteWholeFile(readme, "Velmora readme\r\n");
  ASSERT_EQ(FindEditor(), nullptr);

  ProbeDialog dialog;
  std::string editorTitle;
  WhenDialogAppears([&](HWND window) {
    Click(window, IDC_README);
    WhenReady([] { return FindEditor() != nullptr; },
              [&, window] {
                HWND editor = FindEditor();
                PumpUntil([&] { return WindowText(editor).find("readme") != std::string::npos; },
                          3000);
                editorTitle = WindowText(editor);
                PostMessageA(editor, WM_CLOSE, 0, 0);
                Click(window, IDCANCEL);
              });
  });
  dialog.RunModal();
  PumpUntil([] { return FindEditor() == nullptr; }, 5000);
  DeleteFileA(readme.c_str());
  EXPECT_NE(editorTitle.find("readme"), std::string::npos) << editorTitle;
}

TEST(UpdateDialog, MoreInfoExplainsTheBackup) {
  ProbeDialog dialog;
  std::shared_ptr<BoxRecord> box;
  WhenDialogAppears([&](HWND window) {
    box = AnswerMessageBox(IDOK);
    Click(window, IDC_MOREINFO);
    WhenReady([&box, window] { return box->seen && IsWindowEnabled(window); },
              [window] { Click(window, IDCANCEL); });
  });
  EXPECT_EQ(dialog.RunModal(), IDCANCEL);
  ASSERT_TRUE(box && box->seen);
  EXPECT_EQ(box->caption, "Velmora Patch");
  EXPECT_EQ(box->text,
            "Select the backup option to make a backup copy of your current Velmora version "
            "before updating.  The backup files will be in the subdirectory \"backup\" of your "
            "Velmora directory.  You can then return to your original unupdated version by "
            "copying the files in the backup directory to your Velmora directory.  The backup "
            "can take up as much as 9MB of hard drive space.");
  EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
  EXPECT_TRUE(IsIcon(box->icon, IDI_EXCLAMATION));
  EXPECT_EQ(box->helpContext, 0u);
}

// A top-level window of this thread that can take the activation.
HWND MakeOtherWindow() {
  return CreateWindowExA(0, "Static", "other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr,
                         nullptr, GetModuleHandleA(nullptr), nullptr);
}

TEST(UpdateDialog, WhileTheProgressWindowIsUpActivationGoesBackToIt) {
  ProbeDialog dialog;
  struct Step {
    const char* what;
    int beeps;
    bool progressActive;
  };
  std::vector<Step> seen;
  WhenDialogAppears([&](HWND window) {
    g_progress = new CProgressDlg(&dialog);
    HWND progress = g_progress->m_hWnd;
    auto note = [&](const char* what) {
      seen.push_back({what, dialog.beeps, GetActiveWindow() == progress});
    };
    // A click on the dialog: the platform activates it, the progress window
    // losing the activation.
    SetActiveWindow(progress);
    dialog.beeps = 0;
    SetActiveWindow(window);
    note("click");
    // The exact conditions, one at a time, from the progress window as the loser.
    HWND other = MakeOtherWindow();
    SetActiveWindow(other);
    dialog.beeps = 0;
    EXPECT_EQ(SendMessageA(window, WM_ACTIVATE, WA_ACTIVE, reinterpret_cast<LPARAM>(progress)), 0);
    note("active");
    SetActiveWindow(other);
    SendMessageA(window, WM_ACTIVATE, WA_CLICKACTIVE, reinterpret_cast<LPARAM>(progress));
    note("clickactive");
    SetActiveWindow(other);
    SendMessageA(window, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 1), reinterpret_cast<LPARAM>(progress));
    note("minimized");
    SendMessageA(window, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(progress));
    note("inactive");
    SendMessageA(window, WM_ACTIVATE, WA_ACTIVE, reinterpret_cast<LPARAM>(other));
    note("other loser");
    // Back from another application.
    SetActiveWindow(other);
    EXPECT_EQ(SendMessageA(window, WM_ACTIVATEAPP, TRUE, 0), 0);
    note("app switch");
    SetActiveWindow(other);
    SendMessageA(window, WM_ACTIVATEAPP, FALSE, 0);
    note("app leaves");
    DestroyWindow(other);
    delete g_progress;
    g_progress = nullptr;
    Click(window, IDCANCEL);
  });
  dialog.RunModal();
  ASSERT_EQ(seen.size(), 8u);
  const Step expected[] = {{"click", 1, true},       {"active", 1, true},
                           {"clickactive", 2, true}, {"minimized", 2, false},
                           {"inactive", 2, false},   {"other loser", 2, false},
                           {"app switch", 2, true},  {"app leaves", 2, false}};
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(expected[i].what);
    EXPECT_STREQ(seen[i].what, expected[i].what);
    EXPECT_EQ(seen[i].beeps, expected[i].beeps);
    EXPECT_EQ(seen[i].progressActive, expected[i].progressActive);
  }
}

TEST(UpdateDialog, WithoutAProgressWindowActivationReturnsToTheLastFocusedControl) {
  ProbeDialog dialog;
  bool focusBack = false;
  WhenDialogAppears([&](HWND window) {
    HWND edit = GetDlgItem(window, IDC_DIRECTORY);
    SetFocus(edit);
    HWND other = MakeOtherWindow();
    SetActiveWindow(other);
    SetActiveWindow(window);
    focusBack = GetActiveWindow() == window && GetFocus() == edit;
    DestroyWindow(other);
    Click(window, IDCANCEL);
  });
  dialog.RunModal();
  EXPECT_TRUE(focusBack);
  EXPECT_EQ(dialog.beeps, 0);
}

}  // namespace
