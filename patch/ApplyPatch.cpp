#include "ApplyPatch.h"

#include <cstring>

#include "ProgressDlg.h"

int g_optionL = 0;
int g_backupFlag = 0;
int g_optionC = 1;
int g_optionE = 0;
int g_optionI = 0;
int g_optionM = 1;
int g_optionP = 0;
int g_optionQ = 0;
int g_optionA = 1;
int g_optionS = 0;
int g_optionNoT = 0;
int g_optionU = 0;
CText g_optionDText;

PatchCallbackFn g_patchCallback = nullptr;
FILE* g_logFile = nullptr;

namespace {

// Appends to a fixed buffer; false, with the buffer untouched, when it would not fit.
bool Append(char (&buffer)[260], const char* text) {
  const size_t used = strlen(buffer);
  const size_t length = strlen(text);
  if (length >= sizeof buffer - used) return false;
  memcpy(buffer + used, text, length + 1);
  return true;
}

bool ComposeCommandLine(char (&line)[260], const char* directory, const char* patchName) {
  line[0] = '\0';
  bool fits = Append(line, "\"") && Append(line, patchName) && Append(line, ".rtp") &&
              Append(line, "\" \"") && Append(line, directory) && Append(line, "\" ");
  const struct {
    bool present;
    const char* token;
  } options[] = {
      {g_optionL != 0, "/l "},   {g_backupFlag != 0, "/b "}, {g_backupFlag == 0, "/nob "},
      {g_optionC == 0, "/noc "}, {g_optionE != 0, "/e "},    {g_optionI != 0, "/i "},
      {g_optionM == 0, "/nom "}, {g_optionP == 0, "/nop "},  {g_optionQ != 0, "/q "},
      {g_optionA == 0, "/noa "}, {g_optionS == 0, "/nos "},  {g_optionNoT != 0, "/not "},
      {g_optionU != 0, "/u "},
  };
  for (const auto& option : options)
    if (option.present) fits = fits && Append(line, option.token);
  if (!g_optionDText.IsEmpty()) fits = fits && Append(line, "/d") && Append(line, g_optionDText);
  return fits;
}

}  // namespace

int ApplyPatch(const char* directory, const char* patchName) {
  if (g_progress) g_progress->SetPatchName(patchName);

  char commandLine[260];
  char logPath[260] = "";
  // A directory too long for either buffer fails the patch before anything runs.
  if (!ComposeCommandLine(commandLine, directory, patchName) || !Append(logPath, directory) ||
      !Append(logPath, "\\update.txt"))
    return 0;

  g_abortRequested = 0;
  g_logFile = fopen(logPath, "a+b");
  if (g_logFile) fprintf(g_logFile, "--- Applying patch file \"%s\" ---\r\n", patchName);

  const int result = PatchEntry(commandLine, g_patchCallback, 1);

  if (g_logFile) {
    fclose(g_logFile);
    g_logFile = nullptr;
  }
  return result == 0 ? 1 : 0;
}
