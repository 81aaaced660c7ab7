// Access rights for the local users group on what Setup writes, and the process's privileges.
#pragma once

#include <windows.h>
#include <cstdint>

// Results of the grant besides Win32 error codes.
const int ErrorGrantNoMemory = ERROR_INSUFFICIENT_BUFFER;  // 122: a block cannot be allocated
const int ErrorGrantNoCode = -1;                           // a step failed without a code

// Gives the local users group (BUILTIN\Users, S-1-5-32-545, found by its SID so
// that localized systems work too) GENERIC_ALL on path. 0 on success and
// outside the NT family. The file's DACL is rewritten in one call at the end,
// so a failure leaves it as it was.
int GrantUsersAccess(const char* path);

// The same for a named account of the local system (1332 when it has none).
int GrantAccountAccess(const char* path, const char* account, uint32_t accessMask);

// Enables every privilege of Setup's fixed list in the process token; privileges
// the token lacks or the system does not know are skipped. False only when the
// token cannot be opened.
bool EnableProcessPrivileges();

// The steps, usable on their own. Blocks handed out come from AllocZeroed and
// are freed with FreeIfSet.

// The SID of a named account of the local system.
int GetAccountSid(const char* account, PSID* outSid);

// The SID S-1-5-32-545 of the local users group, written into buffer.
PSID BuildUsersSid(BYTE (&buffer)[SECURITY_MAX_SID_SIZE]);

// The file's security descriptor holding its DACL (self-relative).
int ReadFileSecurity(const char* path, PSECURITY_DESCRIPTOR* outDescriptor);

// A new DACL: the old DACL's explicit entries without the ones for sid, then one
// allow entry (no inheritance flags) for sid with accessMask, then the old
// inherited entries unchanged. No DACL, or a null one, gives just the new entry.
int BuildGrantDacl(bool present, PACL oldDacl, PSID sid, uint32_t accessMask, PACL* outDacl);

// Carries the DACL's inheritance marks over: auto-inherited becomes
// auto-inherited with the request bit (0x0500), else protected stays protected.
int CopyDaclControl(PSECURITY_DESCRIPTOR oldDescriptor, PSECURITY_DESCRIPTOR newDescriptor);

// Initialises the absolute descriptor newDescriptor with the granted DACL
// (*outDacl, which the caller frees after the descriptor's last use).
int BuildGrantSecurityDescriptor(SECURITY_DESCRIPTOR* newDescriptor, PSECURITY_DESCRIPTOR oldDescriptor,
                                 PSID sid, uint32_t accessMask, PACL* outDacl);

// Enables one named privilege in token; unknown names are skipped.
void EnablePrivilege(HANDLE token, const char* name);
