#include "ProgressDlg.h"

#include <cstring>

#include "resource.h"

CProgressDlg* g_progress = nullptr;
int g_abortRequested = 0;

const MessageEntry CProgressDlg::s_entries[] = {
    PaintEntry(&CProgressDlg::OnPaint),
    EndOfTable(),
};
const MessageTable CProgressDlg::s_messageTable = {&CDialog::s_messageTable,
                                                   CProgressDlg::s_entries};

int InitDialogCentred(CDialog& dialog) {
  dialog.CDialog::OnDialogInit();
  dialog.CenterOnOwner();
  return 1;
}

CProgressDlg::CProgressDlg(CWnd* parent) : CDialog(IDD_PROGRESS, parent) {
  CreateModeless(IDD_PROGRESS, parent);
}

CProgressDlg::~CProgressDlg() = default;

void CProgressDlg::ExchangeData(ExchangeContext&) {}

// Only a window destroyed by its own cancel gets here: the owner's delete
// destroys the window from the base destructor, where this override is gone.
void CProgressDlg::OnWindowDestroyed() { delete this; }

int CProgressDlg::OnDialogInit() { return InitDialogCentred(*this); }

void CProgressDlg::OnCancelCommand() {
  g_progress = nullptr;
  g_abortRequested = 1;
  Destroy();
}

void CProgressDlg::SetPercent(int percent) {
  if (percent == m_percent) return;
  m_percent = percent;
  Repaint();
}

void CProgressDlg::SetFileName(const char* name) {
  if (strcmp(name, m_fileName) == 0) return;
  m_fileName = name;
  Repaint();
}

void CProgressDlg::SetPatchName(const char* name) {
  if (strcmp(name, m_patchName) == 0) return;
  m_patchName = name;
  Repaint();
}

void CProgressDlg::Repaint() {
  if (!m_hWnd) return;
  RedrawWindow(m_hWnd, &m_clientRect, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

CText CProgressDlg::ShownText() const {
  CText text = m_patchName;
  if (m_percent == -1) {
    text += "\n ... updating ...";
  } else {
    text += "\n";
    text += m_fileName;
    text += CText::FormatText(":  %d%%", m_percent);
  }
  return text;
}

void CProgressDlg::OnPaint() {
  CPaintDC dc(this);
  SetBkColor(dc.m_hDC, RGB(192, 192, 192));
  GetClientRect(m_hWnd, &m_clientRect);
  const CText text = ShownText();
  DrawTextA(dc.m_hDC, text, text.GetLength(), &m_clientRect, DT_CENTER | DT_WORDBREAK);
}
