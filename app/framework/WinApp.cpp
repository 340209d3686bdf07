#include "WinApp.h"

#include <cstring>
#include <string>

#include "Owner.h"

namespace {

CWinApp* g_app = nullptr;

// Guards the application's global state (the wait-cursor count).
struct GlobalLock {
  GlobalLock() { InitializeCriticalSection(&section); }
  CRITICAL_SECTION section;
};

CRITICAL_SECTION& Lock() {
  static GlobalLock lock;
  return lock.section;
}

}  // namespace

const MessageTable CCmdTarget::s_messageTable = {nullptr, nullptr};

CWinApp::CWinApp(const char* appName) : m_appName(appName) {
  g_app = this;
  m_threadId = GetCurrentThreadId();
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

CWinApp* GetApp() { return g_app; }

HINSTANCE GetResourceModule() {
  return g_app && g_app->m_instance ? g_app->m_instance : GetModuleHandleA(nullptr);
}

bool CWinApp::Initialize(HINSTANCE instance, const char* commandLine) {
  m_instance = instance;
  m_commandLine = commandLine ? commandLine : "";
  if (m_appName) {
    lstrcpynA(m_title, m_appName, sizeof m_title);
  } else if (LoadStringA(instance, 57344, m_title, sizeof m_title) <= 0) {
    // No title string: the executable's name without directory and extension.
    char path[MAX_PATH] = {};
    if (!GetModuleFileNameA(instance, path, sizeof path)) return false;
    const char* name = path;
    for (const char* p = path; *p; p = CharNextA(p))
      if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
    lstrcpynA(m_title, name, sizeof m_title);
    if (char* dot = strrchr(m_title, '.')) *dot = '\0';
  }
  return true;
}

int CWinApp::StartUp() { return 1; }

int CWinApp::RunMessageLoop() {
  while (GetMessageA(&m_message, nullptr, 0, 0) > 0) {
    TranslateMessage(&m_message);
    DispatchMessageA(&m_message);
  }
  return static_cast<int>(m_message.wParam);
}

int CWinApp::ShutDown() { return static_cast<int>(m_message.wParam); }

void CWinApp::AdjustWaitCursor(int step) {
  EnterCriticalSection(&Lock());
  m_waitCursorCount += step;
  if (m_waitCursorCount > 0) {
    HCURSOR previous = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    if (step > 0 && m_waitCursorCount == 1) m_waitCursorRestore = previous;
  } else {
    m_waitCursorCount = 0;
    // Before any wait cursor there is nothing remembered: show the arrow
    // rather than hiding the cursor.
    SetCursor(m_waitCursorRestore ? m_waitCursorRestore : LoadCursorA(nullptr, IDC_ARROW));
  }
  LeaveCriticalSection(&Lock());
}

void CException::Report() const { ShowMessage(GetErrorMessage(), GetReportType(), 0); }

int ShowMessage(const char* text, UINT type, int helpId) {
  CWinApp* app = GetApp();
  HWND top = nullptr;
  HWND owner = FindSafeOwner(nullptr, &top);
  const bool disableTop = top && top != owner && IsWindowEnabled(top);
  if (disableTop) EnableWindow(top, FALSE);

  if ((type & MB_ICONMASK) == 0) {
    switch (type & MB_TYPEMASK) {
      case MB_OK:
      case MB_OKCANCEL:
      case MB_YESNOCANCEL:
      case MB_YESNO:
        type |= MB_ICONEXCLAMATION;
        break;
      default:
        break;
    }
  }

  DWORD savedContext = 0;
  if (app) {
    savedContext = app->m_helpContext;
    if (helpId != 0) app->m_helpContext = 0x30000 + static_cast<DWORD>(helpId);
  }
  const int result = MessageBoxA(owner, text, app ? app->m_title : nullptr, type);
  if (app) app->m_helpContext = savedContext;

  if (disableTop) EnableWindow(top, TRUE);
  return result;
}

namespace {

// The string of the string table, whatever its length; empty when missing.
std::string LoadWholeString(UINT id) {
  HINSTANCE module = GetResourceModule();
  HRSRC block = FindResourceA(module, MAKEINTRESOURCEA((id >> 4) + 1), MAKEINTRESOURCEA(6));
  if (!block) return {};
  const DWORD size = SizeofResource(module, block);
  HGLOBAL loaded = LoadResource(module, block);
  const WORD* words = loaded ? static_cast<const WORD*>(LockResource(loaded)) : nullptr;
  if (!words) return {};
  const DWORD count = size / sizeof(WORD);
  DWORD pos = 0;
  for (UINT index = 0; index < (id & 15); ++index) {
    if (pos >= count) return {};
    pos += 1u + words[pos];
  }
  if (pos >= count || words[pos] > count - pos - 1) return {};
  const int length = words[pos];
  const auto* wide = reinterpret_cast<const wchar_t*>(words + pos + 1);
  const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(bytes), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, wide, length, &text[0], bytes, nullptr, nullptr);
  return text;
}

}  // namespace

int ShowMessage(UINT stringId, UINT type, int helpId) {
  const std::string text = LoadWholeString(stringId);
  return ShowMessage(text.c_str(), type, helpId == -1 ? static_cast<int>(stringId) : helpId);
}
