#include "Owner.h"

namespace {

HWND TopLevelParent(HWND window) {
  while (window && (GetWindowLongA(window, GWL_STYLE) & WS_CHILD)) window = GetParent(window);
  return window;
}

}  // namespace

HWND FindSafeOwner(HWND parent, HWND* topLevel) {
  HWND owner = nullptr;
  if (parent) {
    owner = TopLevelParent(parent);
  } else if (HWND active = GetActiveWindow()) {
    owner = GetLastActivePopup(TopLevelParent(active));
  }
  if (topLevel) *topLevel = owner ? GetAncestor(owner, GA_ROOTOWNER) : nullptr;
  return owner;
}

ModalOwner::ModalOwner(HWND parent) : m_owner(FindSafeOwner(parent, &m_top)) {
  m_ownerDisabled = m_owner && IsWindowEnabled(m_owner);
  m_topDisabled = m_top && m_top != m_owner && IsWindowEnabled(m_top);
  if (m_ownerDisabled) EnableWindow(m_owner, FALSE);
  if (m_topDisabled) EnableWindow(m_top, FALSE);
}

void ModalOwner::Release() {
  if (m_topDisabled) EnableWindow(m_top, TRUE);
  if (m_ownerDisabled) EnableWindow(m_owner, TRUE);
  m_topDisabled = m_ownerDisabled = false;
}
