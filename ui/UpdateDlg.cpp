#include "UpdateDlg.h"

#include <cstring>

#include "ProgressDlg.h"
#include "WinApp.h"
#include "resource.h"

namespace {

const char kMoreInfo[] =
    "Select the backup option to make a backup copy of your current Velmora version before "
    "updating.  The backup files will be in the subdirectory \"backup\" of your Velmora "
    "directory.  You can then return to your original unupdated version by copying the files "
    "in the backup directory to your Velmora directory.  The backup can take up as much as 9MB "
    "of hard drive space.";

const size_t kPathBuffer = 260;

// The wait cursor for the whole command, ended on every way out.
class WaitCursor {
 public:
  WaitCursor() { Adjust(1); }
  ~WaitCursor() { Adjust(-1); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  static void Adjust(int step) {
    if (CWinApp* app = GetApp()) app->AdjustWaitCursor(step);
  }
};

// Marks the patch run and makes sure neither the mark nor the progress window
// outlives it, whatever leaves the command.
class PatchRun {
 public:
  explicit PatchRun(bool& running) : m_running(running) { m_running = true; }
  ~PatchRun() { End(); }
  PatchRun(const PatchRun&) = delete;
  PatchRun& operator=(const PatchRun&) = delete;

  void End() {
    if (g_progress) {
      CProgressDlg* progress = g_progress;
      g_progress = nullptr;
      delete progress;
    }
    m_running = false;
  }

 private:
  bool& m_running;
};

}  // namespace

const MessageEntry CUpdateDlg::s_entries[] = {
    CommandEntry(IDC_BROWSE, &CUpdateDlg::OnBrowse),
    CommandEntry(IDC_README, &CUpdateDlg::OnReadme),
    CommandEntry(IDC_MOREINFO, &CUpdateDlg::OnMoreInfo),
    EndOfTable(),
};
const MessageTable CUpdateDlg::s_messageTable = {&CDialog::s_messageTable, CUpdateDlg::s_entries};

CUpdateDlg::CUpdateDlg(CWnd* parent) : CDialog(IDD_UPDATE, parent) {}

CUpdateDlg::~CUpdateDlg() = default;

void CUpdateDlg::ExchangeData(ExchangeContext& context) {
  ExchangeText(context, IDC_DIRECTORY, m_directory);
  ExchangeCheck(context, IDC_BACKUP, m_backup);
}

int CUpdateDlg::OnDialogInit() { return InitDialogCentred(*this); }

LRESULT CUpdateDlg::WindowProcedure(UINT message, WPARAM wParam, LPARAM lParam) {
  // The patch callback dispatches our messages while patches run: a second
  // update would replace the live progress window, a cancel would end the
  // modal run under the patch, and any box would sit over it.
  if (m_running || g_progress) {
    if (message == WM_COMMAND || message == WM_CLOSE) return 0;
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) return 0;
  }

  if (message == WM_ACTIVATE && g_progress &&
      reinterpret_cast<HWND>(lParam) == g_progress->m_hWnd &&
      (wParam == WA_ACTIVE || wParam == WA_CLICKACTIVE)) {
    Beep();
    SetActiveWindow(g_progress->m_hWnd);
    RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME);
    return 0;
  }
  if (message == WM_ACTIVATEAPP && g_progress && wParam != 0) {
    RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME);
    SetActiveWindow(g_progress->m_hWnd);
    return 0;
  }
  return CDialog::WindowProcedure(message, wParam, lParam);
}

void CUpdateDlg::OnOkCommand() {
  WaitCursor wait;
  TransferData(1);
  g_abortRequested = 0;
  if (!CheckInstallation()) return;

  int applied = 0;
  {
    PatchRun run(m_running);
    g_progress = new CProgressDlg(this);
    applied = ApplyPatches();
    // The outcome is shown only once the progress window is gone.
    run.End();
  }

  if (!applied) {
    ShowMessage("The update was not successful.", MB_OK, 0);
    return;
  }
  if (AfterUpdate()) {
    ShowMessage("Velmora is updated!", MB_OK, 0);
    CDialog::OnOkCommand();
  } else {
    ShowMessage("The Patch was not successful.", MB_OK, 0);
  }
}

int CUpdateDlg::CheckInstallation() { return 0; }
int CUpdateDlg::ApplyPatches() { return 0; }
int CUpdateDlg::AfterUpdate() { return 0; }

void CUpdateDlg::OnBrowse() {
  // A directory the user typed decides where the file dialog opens.
  TransferData(1);

  CFileDialog dialog(1, nullptr, nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, nullptr, nullptr);
  char fileName[kPathBuffer] = "vlw32.exe";
  OPENFILENAMEA& request = dialog.m_openFileName;
  request.lpstrFile = fileName;
  request.nMaxFile = sizeof fileName;
  request.lpstrTitle = "Where is Velmora?";
  // The literal's own terminator ends the list.
  request.lpstrFilter = "Program Files (*.exe)\0*.exe\0";
  CText initialDirectory;
  const int lastBackslash = m_directory.FindLast('\\');
  if (lastBackslash >= 0) {
    initialDirectory = m_directory.Prefix(lastBackslash);
    request.lpstrInitialDir = initialDirectory;
  }
  request.Flags |= OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;

  if (RunFileDialog(dialog) != IDOK) return;
  m_directory = dialog.GetChosenPath();
  const int cut = m_directory.FindLast('\\');
  if (cut > 0) m_directory = m_directory.Prefix(cut + 1);
  TransferData(0);
}

bool CUpdateDlg::ComposeReadmeCommand(const char* modulePath, char* commandLine) {
  static const char kEditor[] = "notepad.exe ";
  static const char kReadme[] = "readme.txt";
  commandLine[0] = '\0';
  const char* lastBackslash = strrchr(modulePath, '\\');
  if (!lastBackslash) return false;
  const size_t directoryLength = static_cast<size_t>(lastBackslash - modulePath) + 1;
  const size_t editorLength = sizeof kEditor - 1;
  if (editorLength + directoryLength + sizeof kReadme > kPathBuffer) return false;
  memcpy(commandLine, kEditor, editorLength);
  memcpy(commandLine + editorLength, modulePath, directoryLength);
  memcpy(commandLine + editorLength + directoryLength, kReadme, sizeof kReadme);
  return true;
}

void CUpdateDlg::OnReadme() {
  CWinApp* app = GetApp();
  char modulePath[kPathBuffer] = {};
  const DWORD length =
      GetModuleFileNameA(app ? app->m_instance : nullptr, modulePath, sizeof modulePath);
  // A truncated path would name some other folder's readme.
  if (length == 0 || length >= sizeof modulePath) return;
  char commandLine[kPathBuffer];
  if (!ComposeReadmeCommand(modulePath, commandLine)) return;
  WinExec(commandLine, SW_SHOWNORMAL);
}

void CUpdateDlg::OnMoreInfo() { ShowMessage(kMoreInfo, MB_OK, 0); }
