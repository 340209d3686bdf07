#include "Wnd.h"

#include <new>
#include <vector>

#include "WinApp.h"

namespace {

const char kObjectProperty[] = "VelmoraFrameworkWindow";
thread_local CWnd* t_windowToHook = nullptr;
thread_local HHOOK t_creationHook = nullptr;

}  // namespace

const MessageTable CWnd::s_messageTable = {&CCmdTarget::s_messageTable, nullptr};

CWnd::~CWnd() {
  if (m_hWnd) DestroyWindow(m_hWnd);
}

CWnd* CWnd::FromHandle(HWND window) {
  return window ? static_cast<CWnd*>(GetPropA(window, kObjectProperty)) : nullptr;
}

void CWnd::Attach(HWND window) {
  m_hWnd = window;
  SetPropA(window, kObjectProperty, this);
  m_defaultProcedure = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
      window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FrameworkWindowProcedure)));
}

void CWnd::Detach() {
  if (!m_hWnd) return;
  SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_defaultProcedure));
  RemovePropA(m_hWnd, kObjectProperty);
  m_hWnd = nullptr;
}

LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND && t_windowToHook) {
    CWnd* window = t_windowToHook;
    t_windowToHook = nullptr;  // the first window is ours; its controls are not
    window->Attach(reinterpret_cast<HWND>(wParam));
  }
  return CallNextHookEx(t_creationHook, code, wParam, lParam);
}

void CWnd::HookNextWindow() {
  t_windowToHook = this;
  if (!t_creationHook)
    t_creationHook = SetWindowsHookExA(WH_CBT, &CreationHook, nullptr, GetCurrentThreadId());
  if (!t_creationHook) throw CResourceException();
}

void CWnd::Unhook() {
  t_windowToHook = nullptr;
  if (t_creationHook) UnhookWindowsHookEx(t_creationHook);
  t_creationHook = nullptr;
}

int CWnd::Destroy() {
  if (!m_hWnd) return 0;
  return DestroyWindow(m_hWnd);
}

void CWnd::ExchangeData(ExchangeContext&) {}

void CWnd::OnWindowDestroyed() {}

LRESULT CWnd::DefaultProcedure(UINT message, WPARAM wParam, LPARAM lParam) {
  if (m_defaultProcedure)
    return CallWindowProcA(m_defaultProcedure, m_hWnd, message, wParam, lParam);
  return DefWindowProcA(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::WindowProcedure(UINT message, WPARAM wParam, LPARAM lParam) {
  // Setting a control's value makes it notify; those echoes are not commands.
  if (message == WM_COMMAND && m_inTransfer && lParam != 0) return 0;

  for (const MessageTable* table = GetMessageTable(); table; table = table->base) {
    for (const MessageEntry* entry = table->entries; entry && entry->message; ++entry) {
      if (entry->message != message) continue;
      if (message == WM_COMMAND &&
          (entry->code != HIWORD(wParam) || LOWORD(wParam) < entry->firstId ||
           LOWORD(wParam) > entry->lastId))
        continue;
      if (entry->resultHandler) return (this->*entry->resultHandler)(message, wParam, lParam);
      (this->*entry->handler)();
      return 0;
    }
  }
  return DefaultProcedure(message, wParam, lParam);
}

LRESULT CALLBACK FrameworkWindowProcedure(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CWnd* window = CWnd::FromHandle(hWnd);
  if (!window) return DefWindowProcA(hWnd, message, wParam, lParam);

  if (message == WM_NCDESTROY) {
    const LRESULT result = window->DefaultProcedure(message, wParam, lParam);
    window->Detach();
    window->OnWindowDestroyed();  // may delete the object
    return result;
  }

  const char* failure = nullptr;
  UINT failureType = 0;
  try {
    return window->WindowProcedure(message, wParam, lParam);
  } catch (const CUserException&) {
  } catch (const CException& e) {
    failure = e.GetErrorMessage();
    failureType = e.GetReportType();
  } catch (const std::bad_alloc&) {
    static const CMemoryException memory;
    failure = memory.GetErrorMessage();
    failureType = memory.GetReportType();
  }
  // No exception crosses the platform's frames.
  if (window->m_creating) {
    window->m_creationFailed = true;
    return message == WM_CREATE || message == WM_NCCREATE ? -1 : 0;
  }
  if (message == WM_PAINT) {
    ValidateRect(hWnd, nullptr);
    return 0;
  }
  if (failure) ShowMessage(failure, failureType, 0);
  return 0;
}

int CWnd::TransferData(int save) {
  ExchangeContext context = {save, this};
  const bool outer = m_inTransfer;
  m_inTransfer = true;
  int result = 0;
  try {
    ExchangeData(context);
    result = 1;
  } catch (const CUserException&) {
  } catch (const CException& e) {
    e.Report();
  } catch (const std::bad_alloc&) {
    CMemoryException().Report();
  }
  m_inTransfer = outer;
  return result;
}

void ExchangeText(ExchangeContext& context, int controlId, CText& text) {
  HWND control = GetDlgItem(context.window->m_hWnd, controlId);
  if (!control) throw CNotSupportedException();
  if (context.save) {
    const int length = GetWindowTextLengthA(control);
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    GetWindowTextA(control, buffer.data(), length + 1);
    text = buffer.data();
  } else {
    const int length = GetWindowTextLengthA(control);
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    GetWindowTextA(control, buffer.data(), length + 1);
    if (text != CText(buffer.data())) SetWindowTextA(control, text);
  }
}

void ExchangeCheck(ExchangeContext& context, int controlId, int& value) {
  HWND control = GetDlgItem(context.window->m_hWnd, controlId);
  if (!control) throw CNotSupportedException();
  if (context.save) {
    value = static_cast<int>(SendMessageA(control, BM_GETCHECK, 0, 0));
  } else {
    if (value < 0 || value > 2) value = 0;
    SendMessageA(control, BM_SETCHECK, static_cast<WPARAM>(value), 0);
  }
}

void CWnd::CenterOnOwner() {
  if (!m_hWnd) return;
  const bool child = (GetWindowLongA(m_hWnd, GWL_STYLE) & WS_CHILD) != 0;
  HWND reference = child ? GetParent(m_hWnd) : GetWindow(m_hWnd, GW_OWNER);
  if (reference && (!IsWindowVisible(reference) || IsIconic(reference))) reference = nullptr;

  RECT centre, bounds;
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof monitor;
  if (reference) {
    GetWindowRect(reference, &centre);
    GetMonitorInfoA(MonitorFromWindow(reference, MONITOR_DEFAULTTONEAREST), &monitor);
    bounds = monitor.rcWork;
  } else {
    HWND active = GetActiveWindow();
    HMONITOR shown = active ? MonitorFromWindow(active, MONITOR_DEFAULTTONEAREST)
                            : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    GetMonitorInfoA(shown, &monitor);
    bounds = centre = monitor.rcWork;
  }

  RECT window;
  GetWindowRect(m_hWnd, &window);
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;
  int x = (centre.left + centre.right) / 2 - width / 2;
  int y = (centre.top + centre.bottom) / 2 - height / 2;
  if (x < bounds.left)
    x = bounds.left;
  else if (x + width > bounds.right)
    x = bounds.right - width;
  if (y < bounds.top)
    y = bounds.top;
  else if (y + height > bounds.bottom)
    y = bounds.bottom - height;

  POINT position = {x, y};
  if (child) ScreenToClient(GetParent(m_hWnd), &position);
  SetWindowPos(m_hWnd, nullptr, position.x, position.y, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

CPaintDC::CPaintDC(CWnd* window) : m_window(window->m_hWnd) {
  m_hDC = BeginPaint(m_window, &m_paint);
  if (!m_hDC) throw CResourceException();
}

CPaintDC::~CPaintDC() { EndPaint(m_window, &m_paint); }
