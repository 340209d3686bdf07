#include "Dialog.h"

#include "Owner.h"
#include "WinApp.h"

namespace {

HBRUSH g_dialogBrush = nullptr;
COLORREF g_dialogBackground = 0;
COLORREF g_dialogText = 0;

// Every message goes through the framework's window procedure first, so the
// platform's dialog procedure only supplies default handling.
INT_PTR CALLBACK FrameworkDialogProcedure(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

}  // namespace

const MessageEntry CDialog::s_entries[] = {
    CommandEntry(IDOK, &CDialog::HandleOk),
    CommandEntry(IDCANCEL, &CDialog::HandleCancel),
    MessageResultEntry(WM_INITDIALOG, &CDialog::HandleInitDialog),
    MessageResultEntry(WM_CTLCOLORDLG, &CDialog::HandleControlColor),
    MessageResultEntry(WM_CTLCOLORSTATIC, &CDialog::HandleControlColor),
    MessageResultEntry(WM_CTLCOLORBTN, &CDialog::HandleControlColor),
    MessageResultEntry(WM_CTLCOLOREDIT, &CDialog::HandleControlColor),
    EndOfTable(),
};

namespace {

struct TemplateFacts {
  const DLGTEMPLATE* data = nullptr;
  DWORD style = 0;
  short x = 0, y = 0;
};

bool FindTemplate(UINT id, TemplateFacts& facts) {
  HINSTANCE module = GetResourceModule();
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data || SizeofResource(module, found) < sizeof(DLGTEMPLATE)) return false;
  const WORD* words = static_cast<const WORD*>(data);
  facts.data = static_cast<const DLGTEMPLATE*>(data);
  if (words[0] == 1 && words[1] == 0xFFFF) {  // extended form
    const DWORD* dwords = static_cast<const DWORD*>(data);
    facts.style = dwords[3];
    const short* shorts = static_cast<const short*>(data);
    facts.x = shorts[9];
    facts.y = shorts[10];
  } else {
    facts.style = facts.data->style;
    facts.x = facts.data->x;
    facts.y = facts.data->y;
  }
  return true;
}

}  // namespace

const MessageTable CDialog::s_messageTable = {&CWnd::s_messageTable, CDialog::s_entries};

CDialog::CDialog(UINT templateId, CWnd* parent) : m_templateId(templateId), m_parent(parent) {}

CDialog::~CDialog() {
  if (m_hWnd) DestroyWindow(m_hWnd);
}

bool CDialog::CreateFromTemplate(HWND owner) {
  TemplateFacts facts;
  if (!FindTemplate(m_templateId, facts)) return false;
  m_centreByFramework = facts.x == 0 && facts.y == 0 && !(facts.style & DS_CENTER);
  m_creationFailed = false;
  HookNextWindow();
  HWND window = CreateDialogIndirectParamA(GetResourceModule(), facts.data, owner,
                                           &FrameworkDialogProcedure, 0);
  Unhook();
  // An initialisation that threw left the flag set for the window procedure to
  // see; a later handler's exception is no creation failure.
  m_creating = false;
  if (window && m_creationFailed) DestroyWindow(window);
  return m_hWnd != nullptr;
}

int CDialog::CreateModeless(UINT templateId, CWnd* parent) {
  m_templateId = templateId;
  m_parent = parent;
  HWND owner = parent ? parent->m_hWnd : GetActiveWindow();
  return CreateFromTemplate(owner) ? 1 : 0;
}

int CDialog::RunModal() {
  TemplateFacts facts;
  if (!FindTemplate(m_templateId, facts)) return -1;

  ModalOwner owner(m_parent ? m_parent->m_hWnd : nullptr);

  m_modalResult = -1;
  m_endModal = false;
  m_inModalLoop = true;
  if (CreateFromTemplate(owner.m_owner)) {
    CWinApp* app = GetApp();
    MSG local = {};
    MSG& message = app ? app->m_message : local;
    bool showPending = !(GetWindowLongA(m_hWnd, GWL_STYLE) & WS_VISIBLE);
    while (!m_endModal && m_hWnd) {
      if (showPending && !PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE)) {
        ShowWindow(m_hWnd, SW_SHOWNORMAL);
        showPending = false;
      }
      const BOOL got = GetMessageA(&message, nullptr, 0, 0);
      if (got <= 0) {
        if (got == 0) PostQuitMessage(static_cast<int>(message.wParam));
        m_modalResult = -1;
        break;
      }
      if (!m_hWnd || !IsDialogMessageA(m_hWnd, &message)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
    }
    if (m_hWnd) {
      const bool wasActive = GetActiveWindow() == m_hWnd;
      SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                   SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOZORDER);
      owner.Release();
      if (wasActive && owner.m_owner) SetActiveWindow(owner.m_owner);
      Destroy();
    }
  }
  m_inModalLoop = false;
  return m_modalResult;
}

void CDialog::EndModal(int code) {
  m_modalResult = code;
  if (m_inModalLoop) m_endModal = true;
  if (m_hWnd) EndDialog(m_hWnd, code);
}

int CDialog::OnDialogInit() {
  if (!TransferData(0)) {
    EndModal(-1);
    return 0;
  }
  return 1;
}

void CDialog::OnOkCommand() {
  if (TransferData(1)) EndModal(IDOK);
}

void CDialog::OnCancelCommand() { EndModal(IDCANCEL); }

LRESULT CDialog::HandleInitDialog(UINT, WPARAM, LPARAM) {
  RECT before;
  GetWindowRect(m_hWnd, &before);
  m_creating = true;
  const int result = OnDialogInit();
  m_creating = false;
  RECT after;
  GetWindowRect(m_hWnd, &after);
  if (m_centreByFramework && EqualRect(&before, &after)) CenterOnOwner();
  return result;
}

LRESULT CDialog::HandleControlColor(UINT message, WPARAM wParam, LPARAM lParam) {
  // Only dialogs, statics, buttons and the edit gap of a drop-down combo box
  // take the colours; editors, lists and scroll bars keep the platform's.
  bool ours = g_dialogBrush != nullptr;
  if (ours && message == WM_CTLCOLOREDIT) {
    HWND combo = GetParent(reinterpret_cast<HWND>(lParam));
    char className[16] = {};
    ours = combo && GetClassNameA(combo, className, sizeof className) &&
           lstrcmpiA(className, "ComboBox") == 0 &&
           (GetWindowLongA(combo, GWL_STYLE) & 3) == CBS_DROPDOWN;
  }
  if (!ours) return DefaultProcedure(message, wParam, lParam);
  HDC dc = reinterpret_cast<HDC>(wParam);
  SetBkColor(dc, g_dialogBackground);
  SetTextColor(
      dc, g_dialogText == static_cast<COLORREF>(-1) ? GetSysColor(COLOR_WINDOWTEXT) : g_dialogText);
  return reinterpret_cast<LRESULT>(g_dialogBrush);
}

void SetDialogColors(COLORREF background, COLORREF text) {
  HBRUSH brush = CreateSolidBrush(background);
  if (!brush) throw CResourceException();
  if (g_dialogBrush) DeleteObject(g_dialogBrush);
  g_dialogBrush = brush;
  g_dialogBackground = background;
  g_dialogText = text;
}
