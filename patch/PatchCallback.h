// The patch library's callback: services the user interface during a patch,
// follows the library's events in the progress window and the log, and tells
// the library to abandon the patch once the user cancelled.
#pragma once

#include "PatchW32.h"

// Null tells the library to abandon the patch.
void* __stdcall PatchCallback(int messageId, void* parameter);
