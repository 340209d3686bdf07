#include "WindowDriver.h"

#include <algorithm>
#include <deque>
#include <set>

#include "WinApp.h"

namespace {

struct Pending {
  std::function<void(HWND)> act;
};

std::deque<Pending> g_pending;
std::set<HWND> g_taken;
UINT_PTR g_timer = 0;

bool IsDialogClass(HWND window) {
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  return strcmp(name, "#32770") == 0;
}

BOOL CALLBACK FindNew(HWND window, LPARAM found) {
  if (IsWindowVisible(window) && IsDialogClass(window) && !g_taken.count(window)) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK TakeExisting(HWND window, LPARAM) {
  if (IsDialogClass(window) && IsWindowVisible(window)) g_taken.insert(window);
  return TRUE;
}

void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
  if (g_pending.empty()) return;
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), &FindNew, reinterpret_cast<LPARAM>(&found));
  if (!found) return;
  g_taken.insert(found);
  Pending next = std::move(g_pending.front());
  g_pending.pop_front();
  if (g_pending.empty()) {
    KillTimer(nullptr, g_timer);
    g_timer = 0;
  }
  next.act(found);
}

BOOL CALLBACK CollectButton(HWND child, LPARAM record) {
  char name[16] = {};
  GetClassNameA(child, name, sizeof name);
  if (lstrcmpiA(name, "Button") == 0 && IsWindowVisible(child))
    reinterpret_cast<BoxRecord*>(record)->buttons.push_back(GetDlgCtrlID(child));
  return TRUE;
}

}  // namespace

std::string WindowText(HWND window) {
  const int length = GetWindowTextLengthA(window);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  GetWindowTextA(window, &text[0], length + 1);
  text.resize(static_cast<size_t>(length));
  return text;
}

RECT WorkArea() {
  MONITORINFO info = {};
  info.cbSize = sizeof info;
  GetMonitorInfoA(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info);
  return info.rcWork;
}

bool IsIcon(HICON icon, LPCSTR systemIcon) {
  return icon && icon == LoadIconA(nullptr, systemIcon);
}

void WhenDialogAppears(std::function<void(HWND)> act) {
  // Windows that exist already are not the one we wait for; handles of
  // destroyed windows may come back for new ones.
  for (auto it = g_taken.begin(); it != g_taken.end();)
    it = IsWindow(*it) ? std::next(it) : g_taken.erase(it);
  EnumThreadWindows(GetCurrentThreadId(), &TakeExisting, 0);
  g_pending.push_back({std::move(act)});
  if (!g_timer) g_timer = SetTimer(nullptr, 0, 40, &OnTimer);
}

void ForgetPendingDialogs() {
  g_pending.clear();
  if (g_timer) KillTimer(nullptr, g_timer);
  g_timer = 0;
}

std::shared_ptr<BoxRecord> AnswerMessageBox(int button) {
  auto record = std::make_shared<BoxRecord>();
  WhenDialogAppears([record, button](HWND box) {
    record->seen = true;
    record->caption = WindowText(box);
    record->text = WindowText(GetDlgItem(box, 0xFFFF));
    EnumChildWindows(box, &CollectButton, reinterpret_cast<LPARAM>(record.get()));
    std::sort(record->buttons.begin(), record->buttons.end());
    // The platform keeps the icon in the static control 0x440.
    record->icon = reinterpret_cast<HICON>(SendDlgItemMessageA(box, 0x440, STM_GETICON, 0, 0));
    record->owner = GetWindow(box, GW_OWNER);
    if (CWinApp* app = GetApp()) record->helpContext = app->m_helpContext;
    Click(box, button);
  });
  return record;
}

void Click(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

bool PumpUntil(const std::function<bool()>& done, DWORD milliseconds) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > milliseconds) return false;
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    Sleep(5);
  }
  return true;
}
