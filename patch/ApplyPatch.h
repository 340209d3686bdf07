// Applying one patch file through the patch library: the option settings that
// make up the command line, the callback handed to the library, and the log.
#pragma once

#include <cstdio>

#include "PatchW32.h"
#include "Text.h"

// Option settings, in the order their tokens appear on the command line.
extern int g_optionL;        // "/l "   when non-zero
extern int g_backupFlag;     // "/b "   when non-zero, else "/nob "
extern int g_optionC;        // "/noc " when zero
extern int g_optionE;        // "/e "   when non-zero
extern int g_optionI;        // "/i "   when non-zero
extern int g_optionM;        // "/nom " when zero
extern int g_optionP;        // "/nop " when zero
extern int g_optionQ;        // "/q "   when non-zero
extern int g_optionA;        // "/noa " when zero
extern int g_optionS;        // "/nos " when zero
extern int g_optionNoT;      // "/not " when non-zero
extern int g_optionU;        // "/u "   when non-zero
extern CText g_optionDText;  // "/d" and the text, when not empty

// Handed to the library on every call; set at start-up.
extern PatchCallbackFn g_patchCallback;
// The open log of the patch being applied, or null.
extern FILE* g_logFile;

// Applies patchName + ".rtp" to directory (no trailing backslash), logging to
// directory\update.txt. 1 when the library reports success, else 0.
int ApplyPatch(const char* directory, const char* patchName);
