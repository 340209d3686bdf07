// Drives modal windows from inside their own loops: a thread timer fires in
// whatever loop runs (a message box's, a dialog's, the file dialog's), finds the
// new dialog window of this thread and acts on it. The product needs no seam.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct BoxRecord {
  bool seen = false;
  std::string caption;
  std::string text;          // the static text with id 0xFFFF
  std::vector<int> buttons;  // ids of the visible push buttons
  HICON icon = nullptr;      // the box's icon, or null
  HWND owner = nullptr;
  DWORD helpContext = 0;  // the application's help context while shown
};

// Runs `act` once on the next new visible dialog window (class #32770) of this
// thread. Actions queue up in order: each waits for a window the earlier ones
// have not taken.
void WhenDialogAppears(std::function<void(HWND)> act);

// Drops the actions still waiting (for a window that is not to come).
void ForgetPendingDialogs();

// Answers the next message box with `button` and returns what it showed.
std::shared_ptr<BoxRecord> AnswerMessageBox(int button);

// Clicks a button of a dialog as the user would (BN_CLICKED).
void Click(HWND dialog, int id);

// Runs the thread's messages until `done` holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD milliseconds = 5000);

std::string WindowText(HWND window);
// The primary monitor's work area: where a dialog without an owner is centred.
RECT WorkArea();
bool IsIcon(HICON icon, LPCSTR systemIcon);
