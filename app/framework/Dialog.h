// Dialogs: CDialog (modal runs and modeless windows from a dialog template,
// the OK and cancel commands) and the process-wide dialog colours.
#pragma once

#include <windows.h>

#include "Wnd.h"

class CDialog : public CWnd {
 public:
  // No window yet: the template id and the parent are recorded.
  explicit CDialog(UINT templateId, CWnd* parent = nullptr);
  // Destroys a window that still exists (see CWnd).
  ~CDialog() override;

  const MessageTable* GetMessageTable() const override { return &s_messageTable; }

  // Runs the dialog to its end: the code given to EndModal, -1 when the
  // template is missing or the window cannot be created.
  virtual int RunModal();
  // Fills the controls from the members; 1 lets the platform set the focus.
  virtual int OnDialogInit();
  virtual void OnOkCommand();
  virtual void OnCancelCommand();

  // Creates the window without a modal loop; non-zero when it exists.
  int CreateModeless(UINT templateId, CWnd* parent);
  void EndModal(int code);

  static const MessageTable s_messageTable;

 protected:
  UINT m_templateId;
  CWnd* m_parent;

 private:
  bool CreateFromTemplate(HWND owner);
  void HandleOk() { OnOkCommand(); }
  void HandleCancel() { OnCancelCommand(); }
  LRESULT HandleInitDialog(UINT, WPARAM, LPARAM);
  LRESULT HandleControlColor(UINT message, WPARAM wParam, LPARAM lParam);
  static const MessageEntry s_entries[];

  int m_modalResult = -1;
  bool m_inModalLoop = false;
  bool m_endModal = false;
  // Where the template places the window; 0,0 without centring style means
  // the framework centres it.
  bool m_centreByFramework = false;
};

// From now on the framework's dialogs paint their background, static texts and
// buttons in these colours. text -1 means the platform's window-text colour.
void SetDialogColors(COLORREF background, COLORREF text);
