// Owners of modal windows: FindSafeOwner and ModalOwner, shared by message
// boxes, dialogs and the file dialog.
#pragma once

#include <windows.h>

// The owner for a modal window: the parent's top-level window, or without a
// parent the active window's top-level window's last active pop-up.
// topLevel receives the owner's top-level window.
HWND FindSafeOwner(HWND parent, HWND* topLevel);

// The owner of a modal window, and its top-level window, disabled while the
// modal window runs (those that were enabled) and enabled again afterwards.
class ModalOwner {
 public:
  explicit ModalOwner(HWND parent);
  ~ModalOwner() { Release(); }
  ModalOwner(const ModalOwner&) = delete;
  ModalOwner& operator=(const ModalOwner&) = delete;
  void Release();
  HWND m_owner;

 private:
  HWND m_top = nullptr;
  bool m_ownerDisabled;
  bool m_topDisabled;
};
