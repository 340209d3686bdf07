#include "PatchCallback.h"

#include <windows.h>

#include <cstdio>

#include "ApplyPatch.h"
#include "ProgressDlg.h"

namespace {

// The go-on answer, and the empty file name of a new file.
char g_emptyText[1] = "";

// At most ten messages: the library's pace decides how often the interface is
// serviced, and each event must stay short.
void Pump() {
  MSG message;
  for (int i = 0; i < 10 && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE); ++i) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace

void* __stdcall PatchCallback(int messageId, void* parameter) {
  Pump();
  switch (messageId) {
    case PATCHW32_EVENT_PROGRESS:
      if (g_progress)
        g_progress->SetPercent(*static_cast<const unsigned short*>(parameter) /
                               PATCHW32_PERCENT_SCALE);
      break;
    case PATCHW32_EVENT_FILE_NAME: {
      const char* name = static_cast<const char*>(parameter);
      if (g_progress) g_progress->SetFileName(name);
      // Every file the library updates is logged, with or without a window. A
      // file named in the call whose pump took the cancel is not: this very
      // answer tells the library to leave it alone.
      if (g_logFile && !g_abortRequested) fprintf(g_logFile, "Updating file \"%s\"\r\n", name);
      break;
    }
    case PATCHW32_EVENT_NEXT_FILE:
      if (g_progress) {
        g_progress->SetPercent(-1);
        g_progress->SetFileName(g_emptyText);
      }
      break;
    default:
      break;
  }
  Pump();
  return g_abortRequested ? nullptr : g_emptyText;
}
