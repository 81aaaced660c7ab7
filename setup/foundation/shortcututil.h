// Shell shortcut files (.LNK) through the shell's link object.
#pragma once

#include <windows.h>

// Makes folder (with its parents), gives the users group access to it, writes
// "<folder>\<linkName>.LNK" pointing to target with the target's folder as
// working folder, and gives the users group access to the link. 0, the
// folder's Win32 error, or the link's HRESULT. A link path that does not fit
// MAX_PATH gives HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) (0x800700CE), not
// the plain 206: the path is the link step's input, so this is a failure of the
// link step and comes, like all of that step's failures, as an HRESULT; a caller
// can tell it from the folder step's Win32 errors (the setup actions pass it on).
int CreateShortcutFile(const char* target, const char* linkName, const char* folder);

// Saves a shell link at linkPath for target. 0 (S_OK) or the first failing HRESULT.
HRESULT CreateShellLink(const wchar_t* linkPath, const char* target, const char* workingDir);
