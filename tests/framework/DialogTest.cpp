#include <gtest/gtest.h>

#include "Dialog.h"
#include "WindowDriver.h"
#include "resource.h"

namespace {

// A dialog over the update dialog's template with its two exchanged members.
class DirectoryDialog : public CDialog {
 public:
  explicit DirectoryDialog(CWnd* parent = nullptr, UINT id = IDD_UPDATE) : CDialog(id, parent) {}
  void ExchangeData(ExchangeContext& context) override {
    ExchangeText(context, IDC_DIRECTORY, directory);
    ExchangeCheck(context, IDC_BACKUP, backup);
  }
  CText directory;
  int backup = 0;
};

class DialogTest : public testing::Test {
 protected:
  static RECT WindowRect(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    return rect;
  }
  static void ExpectCentredIn(HWND window, const RECT& centre) {
    const RECT rect = WindowRect(window);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    EXPECT_EQ(rect.left, (centre.left + centre.right) / 2 - width / 2);
    EXPECT_EQ(rect.top, (centre.top + centre.bottom) / 2 - height / 2);
  }
};

int g_windowsCreated = 0;
LRESULT CALLBACK CountCreations(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) ++g_windowsCreated;
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(DialogTest, MissingTemplateReturnsMinusOneAndShowsNothing) {
  HHOOK hook = SetWindowsHookExA(WH_CBT, &CountCreations, nullptr, GetCurrentThreadId());
  g_windowsCreated = 0;
  DirectoryDialog dialog(nullptr, 4321);
  EXPECT_EQ(dialog.RunModal(), -1);
  UnhookWindowsHookEx(hook);
  EXPECT_EQ(g_windowsCreated, 0);
  EXPECT_EQ(dialog.m_hWnd, nullptr);
}

TEST_F(DialogTest, OkStoresTheControlsLastContentAndReturnsOne) {
  DirectoryDialog dialog;
  dialog.directory = "C:\\Old\\";
  WhenDialogAppears([](HWND window) {
    SetDlgItemTextA(window, IDC_DIRECTORY, "D:\\Typed");
    CheckDlgButton(window, IDC_BACKUP, BST_CHECKED);
    Click(window, IDOK);
  });
  EXPECT_EQ(dialog.RunModal(), IDOK);
  EXPECT_STREQ(dialog.directory, "D:\\Typed");
  EXPECT_EQ(dialog.backup, 1);
  EXPECT_EQ(dialog.m_hWnd, nullptr);  // the object outlives its window
}

TEST_F(DialogTest, CancelAndCloseKeepWhatTheLastExchangeStored) {
  for (UINT how : {UINT(IDCANCEL), UINT(WM_CLOSE)}) {
    DirectoryDialog dialog;
    dialog.directory = "C:\\Old\\";
    WhenDialogAppears([how](HWND window) {
      SetDlgItemTextA(window, IDC_DIRECTORY, "D:\\Typed");
      if (how == WM_CLOSE)
        PostMessageA(window, WM_CLOSE, 0, 0);
      else
        Click(window, IDCANCEL);
    });
    EXPECT_EQ(dialog.RunModal(), IDCANCEL);
    EXPECT_STREQ(dialog.directory, "C:\\Old\\");
  }
}

TEST_F(DialogTest, EnterInTheEditFieldPressesTheDefaultButtonCancel) {
  DirectoryDialog dialog;
  WhenDialogAppears([](HWND window) {
    HWND edit = GetDlgItem(window, IDC_DIRECTORY);
    SetFocus(edit);
    PostMessageA(edit, WM_KEYDOWN, VK_RETURN, 0);
  });
  EXPECT_EQ(dialog.RunModal(), IDCANCEL);
}

TEST_F(DialogTest, LoadingACheckValueOutOfRangeClearsTheBoxAndTheMember) {
  DirectoryDialog dialog;
  dialog.backup = 5;
  UINT shown = 99;
  WhenDialogAppears([&shown](HWND window) {
    shown = IsDlgButtonChecked(window, IDC_BACKUP);
    Click(window, IDCANCEL);
  });
  dialog.RunModal();
  EXPECT_EQ(shown, UINT(BST_UNCHECKED));
  EXPECT_EQ(dialog.backup, 0);
}

// A dialog whose exchange names a control the template lacks.
class BrokenExchangeDialog : public CDialog {
 public:
  BrokenExchangeDialog() : CDialog(IDD_PROGRESS) {}
  void ExchangeData(ExchangeContext& context) override { ExchangeText(context, 1000, text); }
  CText text;
};

TEST_F(DialogTest, AMissingControlIsReportedAndEndsTheDialogWithMinusOne) {
  BrokenExchangeDialog dialog;
  auto box = AnswerMessageBox(IDOK);
  EXPECT_EQ(dialog.RunModal(), -1);
  EXPECT_TRUE(box->seen);
  EXPECT_TRUE(IsIcon(box->icon, IDI_HAND));
}

// A dialog whose initialisation throws, and which tells whether the framework
// still takes it for one being created: then the exception of any later
// handler would pass for a creation failure and go unreported.
class ThrowingInitDialog : public DirectoryDialog {
 public:
  int OnDialogInit() override { throw CNotSupportedException(); }
  bool Creating() const { return m_creating; }
};

TEST_F(DialogTest, AnInitialisationThatThrowsFailsTheCreationQuietlyAndEndsIt) {
  ThrowingInitDialog dialog;
  auto box = AnswerMessageBox(IDOK);
  EXPECT_EQ(dialog.RunModal(), -1);
  EXPECT_FALSE(dialog.Creating());
  EXPECT_EQ(dialog.CreateModeless(IDD_UPDATE, nullptr), 0);
  EXPECT_FALSE(dialog.Creating());
  ForgetPendingDialogs();
  EXPECT_FALSE(box->seen);
  EXPECT_EQ(dialog.m_hWnd, nullptr);
}

// Routing: derived tables first, the virtual OK command, notifications
// ignored while values are exchanged, WM_PAINT entries, and exceptions.
class RoutingDialog : public DirectoryDialog {
 public:
  const MessageTable* GetMessageTable() const override { return &s_messageTable; }
  void OnOkCommand() override { ++okCommands; }
  void OnEditChanged() { ++editChanges; }
  void OnReadme() { throw thrown; }
  void OnBrowse() { throw CUserException(); }
  void OnMoreInfo() { throw CMemoryException(); }

  int okCommands = 0;
  int editChanges = 0;
  CNotSupportedException thrown;
  static const MessageEntry s_entries[];
  static const MessageTable s_messageTable;
};

const MessageEntry RoutingDialog::s_entries[] = {
    {WM_COMMAND, EN_CHANGE, IDC_DIRECTORY, IDC_DIRECTORY,
     static_cast<AnyHandler>(&RoutingDialog::OnEditChanged), nullptr},
    CommandEntry(IDC_README, &RoutingDialog::OnReadme),
    CommandEntry(IDC_BROWSE, &RoutingDialog::OnBrowse),
    CommandEntry(IDC_MOREINFO, &RoutingDialog::OnMoreInfo),
    EndOfTable(),
};
const MessageTable RoutingDialog::s_messageTable = {&CDialog::s_messageTable,
                                                    RoutingDialog::s_entries};

TEST_F(DialogTest, RoutingReachesOverridesAndIgnoresExchangeEchoes) {
  RoutingDialog dialog;
  dialog.directory = "C:\\Initial\\";  // loading it makes the edit notify
  int changesAfterInit = -1, changesAfterTyping = -1, changesAfterTransfer = -1;
  WhenDialogAppears([&](HWND window) {
    changesAfterInit = dialog.editChanges;
    SetDlgItemTextA(window, IDC_DIRECTORY, "typed");
    changesAfterTyping = dialog.editChanges;
    dialog.directory = "C:\\Again\\";
    dialog.TransferData(0);
    changesAfterTransfer = dialog.editChanges;
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    Click(window, IDCANCEL);
  });
  EXPECT_EQ(dialog.RunModal(), IDCANCEL);
  EXPECT_EQ(changesAfterInit, 0);
  EXPECT_EQ(changesAfterTyping, 1);
  EXPECT_EQ(changesAfterTransfer, 1);
  EXPECT_EQ(dialog.okCommands, 1);
}

TEST_F(DialogTest, ExceptionsLeavingAHandlerAreReportedByKind) {
  RoutingDialog dialog;
  std::shared_ptr<BoxRecord> stop, memory, user;
  WhenDialogAppears([&](HWND window) {
    stop = AnswerMessageBox(IDOK);
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_README, BN_CLICKED), 0);
    memory = AnswerMessageBox(IDOK);
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_MOREINFO, BN_CLICKED), 0);
    user = AnswerMessageBox(IDOK);
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED), 0);
    ForgetPendingDialogs();
    Click(window, IDCANCEL);
  });
  dialog.RunModal();
  EXPECT_TRUE(stop->seen);
  EXPECT_EQ(stop->text, "An unsupported operation was attempted.");
  EXPECT_TRUE(IsIcon(stop->icon, IDI_HAND));
  EXPECT_TRUE(memory->seen);
  EXPECT_TRUE(IsIcon(memory->icon, IDI_EXCLAMATION));
  EXPECT_FALSE(user->seen);
}

// Destruction: Destroy calls the override once; deleting the object does not.
class DestroyCounting : public CDialog {
 public:
  explicit DestroyCounting(int* destroyed) : CDialog(IDD_PROGRESS), m_destroyed(destroyed) {}
  void OnWindowDestroyed() override { ++*m_destroyed; }
  int* m_destroyed;
};

TEST_F(DialogTest, DestroyCallsOnWindowDestroyedOnceAfterTheLastMessage) {
  int destroyed = 0;
  DestroyCounting dialog(&destroyed);
  ASSERT_NE(dialog.CreateModeless(IDD_PROGRESS, nullptr), 0);
  HWND window = dialog.m_hWnd;
  EXPECT_NE(dialog.Destroy(), 0);
  EXPECT_EQ(destroyed, 1);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(dialog.m_hWnd, nullptr);
  EXPECT_EQ(dialog.Destroy(), 0);
  EXPECT_EQ(destroyed, 1);
}

TEST_F(DialogTest, DeletingAnObjectDestroysItsWindowWithoutTheOverride) {
  int destroyed = 0;
  auto* dialog = new DestroyCounting(&destroyed);
  ASSERT_NE(dialog->CreateModeless(IDD_PROGRESS, nullptr), 0);
  HWND window = dialog->m_hWnd;
  delete dialog;
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(destroyed, 0);
}

TEST_F(DialogTest, ModelessWindowIsOwnedShownInitialisedAndCentredOverItsOwner) {
  DirectoryDialog owner;
  bool checked = false;
  WhenDialogAppears([&](HWND window) {
    SetWindowPos(window, nullptr, 37, 23, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    CDialog progress(IDD_PROGRESS, &owner);
    EXPECT_NE(progress.CreateModeless(IDD_PROGRESS, &owner), 0);
    EXPECT_EQ(GetWindow(progress.m_hWnd, GW_OWNER), window);
    EXPECT_TRUE(IsWindowVisible(progress.m_hWnd));
    ExpectCentredIn(progress.m_hWnd, WindowRect(window));
    checked = true;
    Click(window, IDCANCEL);
  });
  owner.RunModal();
  EXPECT_TRUE(checked);
}

TEST_F(DialogTest, AnOwnerlessDialogAndOneOverAMinimisedOwnerAreCentredInTheWorkArea) {
  DirectoryDialog owner;
  bool checked = false;
  WhenDialogAppears([&](HWND window) {
    ExpectCentredIn(window, WorkArea());
    ShowWindow(window, SW_MINIMIZE);
    CDialog progress(IDD_PROGRESS, &owner);
    progress.CreateModeless(IDD_PROGRESS, &owner);
    ExpectCentredIn(progress.m_hWnd, WorkArea());
    checked = true;
    Click(window, IDCANCEL);
  });
  owner.RunModal();
  EXPECT_TRUE(checked);
}

TEST_F(DialogTest, CentringKeepsTheWindowInsideTheBounds) {
  DirectoryDialog owner;
  WhenDialogAppears([&](HWND window) {
    const RECT work = WorkArea();
    SetWindowPos(window, nullptr, work.right - 30, work.bottom - 20, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER);
    CDialog progress(IDD_PROGRESS, &owner);
    progress.CreateModeless(IDD_PROGRESS, &owner);
    const RECT rect = WindowRect(progress.m_hWnd);
    EXPECT_EQ(rect.right, work.right);
    EXPECT_EQ(rect.bottom, work.bottom);
    Click(window, IDCANCEL);
  });
  owner.RunModal();
}

TEST_F(DialogTest, RunModalDisablesItsOwnerForTheRun) {
  DirectoryDialog owner;
  WhenDialogAppears([&](HWND window) {
    DirectoryDialog inner(&owner);
    BOOL enabledDuring = TRUE;
    WhenDialogAppears([&](HWND innerWindow) {
      enabledDuring = IsWindowEnabled(window);
      EXPECT_EQ(GetWindow(innerWindow, GW_OWNER), window);
      Click(innerWindow, IDCANCEL);
    });
    inner.RunModal();
    EXPECT_FALSE(enabledDuring);
    EXPECT_TRUE(IsWindowEnabled(window));
    Click(window, IDCANCEL);
  });
  owner.RunModal();
}

TEST_F(DialogTest, DialogColoursApplyToDialogsStaticsAndButtonsNotEditors) {
  SetDialogColors(RGB(192, 192, 192), 0);
  DirectoryDialog dialog;
  WhenDialogAppears([](HWND window) {
    HDC dc = GetDC(window);
    HWND edit = GetDlgItem(window, IDC_DIRECTORY);
    HWND check = GetDlgItem(window, IDC_BACKUP);
    auto brush = [&](UINT message, HWND control) {
      return reinterpret_cast<HBRUSH>(SendMessageA(window, message, reinterpret_cast<WPARAM>(dc),
                                                   reinterpret_cast<LPARAM>(control)));
    };
    HBRUSH ours = brush(WM_CTLCOLORDLG, window);
    LOGBRUSH info = {};
    ASSERT_TRUE(GetObjectA(ours, sizeof info, &info));
    EXPECT_EQ(info.lbColor, RGB(192, 192, 192));
    EXPECT_EQ(brush(WM_CTLCOLORSTATIC, check), ours);
    EXPECT_EQ(brush(WM_CTLCOLORBTN, check), ours);
    EXPECT_EQ(GetBkColor(dc), RGB(192, 192, 192));
    EXPECT_NE(brush(WM_CTLCOLOREDIT, edit), ours);
    ReleaseDC(window, dc);
    Click(window, IDCANCEL);
  });
  dialog.RunModal();
}

}  // namespace
