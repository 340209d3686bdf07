// CProgressDlg: the modeless window shown while patches are applied, with the
// globals through which the patch run reaches it (g_progress) and through
// which its cancel reaches the patch library (g_abortRequested).
#pragma once

#include "Dialog.h"

class CProgressDlg : public CDialog {
 public:
  // Creates the visible window at once, centred over the parent.
  explicit CProgressDlg(CWnd* parent);
  ~CProgressDlg() override;

  const MessageTable* GetMessageTable() const override { return &s_messageTable; }
  void ExchangeData(ExchangeContext& context) override;
  void OnWindowDestroyed() override;
  int OnDialogInit() override;
  void OnCancelCommand() override;

  // Each repaints at once, and only when the value changes. -1: no percentage.
  void SetPercent(int percent);
  void SetFileName(const char* name);
  void SetPatchName(const char* name);

  // The two lines the window shows.
  CText ShownText() const;

  int m_percent = -1;
  CText m_fileName;
  CText m_patchName;
  RECT m_clientRect = {};

  static const MessageTable s_messageTable;

 private:
  void OnPaint();
  void Repaint();
  static const MessageEntry s_entries[];
};

// The live progress window, or null.
extern CProgressDlg* g_progress;
// Non-zero once the user asked to cancel the patch being applied.
extern int g_abortRequested;

// The body of OnDialogInit shared by the program's dialogs: load the
// controls, centre over the owner, let the platform set the focus.
int InitDialogCentred(CDialog& dialog);
