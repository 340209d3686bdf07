// Windows: CWnd (a window object bound to one platform window, its message
// routing and destruction, centring, data exchange), ExchangeContext, and the
// device contexts CDC and CPaintDC.
#pragma once

#include <windows.h>

#include "Object.h"
#include "Text.h"

class CWnd;

LRESULT CALLBACK FrameworkWindowProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK CreationHook(int, WPARAM, LPARAM);

struct ExchangeContext {
  int save;      // non-zero: controls to members
  CWnd* window;  // whose controls are exchanged
};

class CWnd : public CCmdTarget {
 public:
  CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;
  // A window that still exists is destroyed without the derived class's
  // OnWindowDestroyed.
  ~CWnd() override;

  const MessageTable* GetMessageTable() const override { return &s_messageTable; }

  // Destroys the platform window; OnWindowDestroyed follows its last message.
  // Returns the platform's result, 0 when there is no window.
  virtual int Destroy();
  virtual void ExchangeData(ExchangeContext& context);
  // Dispatches through the message tables, else to the default procedure.
  virtual LRESULT WindowProcedure(UINT message, WPARAM wParam, LPARAM lParam);
  virtual void OnWindowDestroyed();

  // Moves all values between controls and members; 1 on success, 0 on failure.
  int TransferData(int save);
  void CenterOnOwner();
  LRESULT DefaultProcedure(UINT message, WPARAM wParam, LPARAM lParam);

  static CWnd* FromHandle(HWND window);

  HWND m_hWnd = nullptr;
  static const MessageTable s_messageTable;

 protected:
  // Binds the next window created on this thread to this object (CBT hook);
  // Unhook after the creating call.
  void HookNextWindow();
  static void Unhook();

  // Set while a window procedure runs for the platform's creation messages.
  bool m_creating = false;
  bool m_creationFailed = false;

 private:
  friend LRESULT CALLBACK FrameworkWindowProcedure(HWND, UINT, WPARAM, LPARAM);
  friend LRESULT CALLBACK CreationHook(int, WPARAM, LPARAM);
  void Attach(HWND window);
  void Detach();

  WNDPROC m_defaultProcedure = nullptr;
  bool m_inTransfer = false;
};

void ExchangeText(ExchangeContext& context, int controlId, CText& text);
void ExchangeCheck(ExchangeContext& context, int controlId, int& value);

class CDC : public CObject {
 public:
  HDC m_hDC = nullptr;
};

class CPaintDC : public CDC {
 public:
  explicit CPaintDC(CWnd* window);  // throws CResourceException
  ~CPaintDC() override;
  CPaintDC(const CPaintDC&) = delete;
  CPaintDC& operator=(const CPaintDC&) = delete;

 private:
  HWND m_window;
  PAINTSTRUCT m_paint = {};
};
