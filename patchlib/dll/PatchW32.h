// PATCHW32.dll, the patch library: its whole contract with its callers.
//
// The DLL exports one entry, by ordinal 1 and without a name (PatchW32.def.in);
// callers link the import library made from that definition (target
// patchw32_import, ImportLibrary.cmake).
#ifndef PATCHW32_H
#define PATCHW32_H

#ifdef __cplusplus
extern "C" {
#endif

// Events the library sends to the callback, with what their parameter is.
enum PatchW32Event {
  // Percentage of the current file: points at an unsigned 16-bit value, in
  // steps of PATCHW32_PERCENT_SCALE (PATCHW32_PROGRESS_FULL is 100 %).
  PATCHW32_EVENT_PROGRESS = 5,
  // Points at the file's name relative to the product folder ('\' separated).
  PATCHW32_EVENT_FILE_NAME = 7,
  // A new file starts; the parameter is null.
  PATCHW32_EVENT_NEXT_FILE = 8,
};

#define PATCHW32_PERCENT_SCALE 327
#define PATCHW32_PROGRESS_FULL (100 * PATCHW32_PERCENT_SCALE)

// Results of PatchEntry. Whatever the result, the product folder is at its
// old or at its new state, never between (8: the next call finishes the undo).
enum PatchW32Result {
  PATCHW32_OK = 0,
  PATCHW32_BAD_ARGUMENTS = 1,        // command line unusable
  PATCHW32_PATCH_UNREADABLE = 2,     // patch file missing or unreadable
  PATCHW32_PATCH_CORRUPT = 3,        // structure, limits, hashes or paths of the patch are wrong
  PATCHW32_UNSUPPORTED_VERSION = 4,  // a format version this library does not read
  PATCHW32_WRONG_INSTALLATION = 5,   // a file is at neither its old nor its new content
  PATCHW32_IO_ERROR = 6,             // the product could not be changed; rolled back
  PATCHW32_CANCELLED = 7,            // the callback answered null; rolled back
  PATCHW32_ROLLBACK_FAILED = 8,      // undo failed; the next call finishes it first
  PATCHW32_INTERNAL_ERROR = 9,       // out of memory or an unexpected fault
  PATCHW32_NOT_SIGNED = 10,          // not signed by the release key, or altered since
  PATCHW32_WRONG_PATCH = 11,         // signed for another product, release or patch name
};

// Called while the library works. A non-null answer lets it go on; null makes
// it abandon the patch and roll the product back.
typedef void*(__stdcall* PatchCallbackFn)(int messageId, void* parameter);

// Applies the patch named on commandLine: `"patch" "product folder" /b ...`
// (quoted or bare; "/b" keeps originals below backup\, "/nob" does not, other
// switches are ignored). A relative patch name is looked for in the current
// folder, then beside the running program. Only a patch signed by the release
// key the library was built with is applied (PATCHW32_NOT_SIGNED otherwise), and only when it
// is signed for this product, for the release this medium brings, and under the name it was
// asked for (the file name as passed, without case and without ".rtp"; PATCHW32_WRONG_PATCH
// otherwise). The third argument is reserved and always 1. Returns a PatchW32Result.
int __stdcall PatchEntry(const char* commandLine, PatchCallbackFn callback, int always1);

#ifdef __cplusplus
}
#endif

#endif
