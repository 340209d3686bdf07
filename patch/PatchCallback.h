// The patch library's callback: services the user interface during a patch,
// follows the library's events in the progress window and the log, and tells
// the library to abandon the patch once the user cancelled.
#pragma once

// Events the library sends.
enum PatchEvent {
  kPatchEventProgress = 5,  // parameter: unsigned 16-bit value, 32700 = 100 %
  kPatchEventFileName = 7,  // parameter: the name of the file being updated
  kPatchEventNextFile = 8,  // parameter unused: clears percentage and name
};

// Null tells the library to abandon the patch.
void* __stdcall PatchCallback(int messageId, void* parameter);
