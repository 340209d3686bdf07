// The patch library PATCHW32.dll as the updater sees it.
//
// The DLL exports a single entry, by ordinal 1 and without a name; the
// program links it through the import library built from PatchW32.def.in
// (target patchw32_import).
#ifndef VELMORA_PATCH_LIBRARY_H
#define VELMORA_PATCH_LIBRARY_H

#ifdef __cplusplus
extern "C" {
#endif

// Called by the library while it works: messageId says what happened and
// parameter carries its detail (its meaning depends on the id).  A non-null
// answer lets the library go on; null makes it abandon the patch.
typedef void* (__stdcall* PatchCallbackFn)(int messageId, void* parameter);

// Applies the patch named on commandLine.  The third argument is always 1.
// Returns the library's result code.
int __stdcall PatchEntry(const char* commandLine, PatchCallbackFn callback, int always1);

#ifdef __cplusplus
}
#endif

#endif
