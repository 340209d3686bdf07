// CUpdateDlg: the four-step update dialog (readme, directory, backup, update)
// and the generic update command, which drives the three hooks a release
// dialog overrides.
#pragma once

#include "Dialog.h"
#include "FileDialog.h"
#include "Text.h"

class CUpdateDlg : public CDialog {
 public:
  explicit CUpdateDlg(CWnd* parent = nullptr);
  ~CUpdateDlg() override;

  const MessageTable* GetMessageTable() const override { return &s_messageTable; }
  void ExchangeData(ExchangeContext& context) override;
  LRESULT WindowProcedure(UINT message, WPARAM wParam, LPARAM lParam) override;
  int OnDialogInit() override;
  // The update: check, apply with the progress window up, report, and close
  // the dialog on success.
  void OnOkCommand() override;

  // Non-zero when the installation may be updated; refusals tell the user why.
  virtual int CheckInstallation();
  // Non-zero when the patches were applied; runs while the progress window exists.
  virtual int ApplyPatches();
  // Non-zero when the update as a whole succeeded.
  virtual int AfterUpdate();

  void OnBrowse();
  void OnReadme();
  void OnMoreInfo();

  // Composes "notepad.exe " and the readme beside modulePath into
  // commandLine (260 bytes). False, leaving commandLine empty, when the result
  // would not fit.
  static bool ComposeReadmeCommand(const char* modulePath, char* commandLine);

  CText m_directory;
  int m_backup = 0;

  static const MessageTable s_messageTable;

 protected:
  // Narrow seams for tests; the program uses the defaults.
  virtual int RunFileDialog(CFileDialog& dialog) { return dialog.RunModal(); }
  virtual void Beep() { MessageBeep(0); }

  // Set while a patch run is under way (the progress window may be gone
  // already after a cancel): the dialog then ignores its own commands.
  bool m_running = false;

 private:
  static const MessageEntry s_entries[];
};
