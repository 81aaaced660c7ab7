// Access rights for the local users group on what Setup writes, and the process's privileges.
#include "foundation/securityutil.h"

#include "foundation/fileutil.h"
#include "foundation/osinfo.h"

namespace {

const char* const PrivilegeNames[] = {
    "SeShutdownPrivilege",
    "SeBackupPrivilege",
    "SeRestorePrivilege",
    "SeSystemtimePrivilege",
    "SeAssignPrimaryTokenPrivilege",
    "SeAuditPrivilege",
    "SeChangeNotifyPrivilege",
    "SeCreatePagefilePrivilege",
    "SeCreatePermanentPrivilege",
    "SeCreateTokenPrivilege",
    "SeDebugPrivilege",
    "SeEnableDelegationPrivilege",
    "SeImpersonatePrivilege",
    "SeIncreaseBasePriorityPrivilege",
    "SeIncreaseQuotaPrivilege",
    "SeLoadDriverPrivilege",
    "SeLockMemoryPrivilege",
    "SeMachineAccountPrivilege",
    "SeManageVolumePrivilege",
    "SeProfileSingleProcessPrivilege",
    "SeRemoteShutdownPrivilege",
    "SeSecurityPrivilege",
    "SeSyncAgentPrivilege",
    "SeSystemEnvironmentPrivilege",
    "SeSystemProfilePrivilege",
    "SeTakeOwnershipPrivilege",
    "SeTcbPrivilege",
    "SeUndockPrivilege",
    "SeUnsolicitedInputPrivilege",
};

const SECURITY_DESCRIPTOR_CONTROL DaclAutoInherited = SE_DACL_AUTO_INHERITED;         // 0x0400
const SECURITY_DESCRIPTOR_CONTROL DaclAutoInheritRequest = SE_DACL_AUTO_INHERIT_REQ;  // 0x0100
const SECURITY_DESCRIPTOR_CONTROL DaclProtected = SE_DACL_PROTECTED;                  // 0x1000

// Some failing calls leave no error code behind.
int LastErrorOrNoCode()
{
    DWORD error = GetLastError();
    return error ? static_cast<int>(error) : ErrorGrantNoCode;
}

// Only allowed and denied entries keep their SID right after header and mask.
PSID SimpleAceSid(ACE_HEADER* ace)
{
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE && ace->AceType != ACCESS_DENIED_ACE_TYPE)
        return nullptr;
    return reinterpret_cast<PSID>(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart);
}

int CopyAce(PACL target, ACE_HEADER* ace)
{
    if (!AddAce(target, target->AclRevision, MAXDWORD, ace, ace->AceSize))
        return LastErrorOrNoCode();
    return 0;
}

// Copies the old explicit entries except sid's, adds the new one, copies the inherited rest.
int FillGrantDacl(PACL newDacl, PACL oldDacl, DWORD aceCount, PSID sid, uint32_t accessMask)
{
    DWORD index = 0;
    for (; index < aceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(oldDacl, index, &entry))
            return LastErrorOrNoCode();
        ACE_HEADER* ace = static_cast<ACE_HEADER*>(entry);
        if (ace->AceFlags & INHERITED_ACE)
            break;
        PSID aceSid = SimpleAceSid(ace);
        if (aceSid && EqualSid(aceSid, sid))
            continue;
        int result = CopyAce(newDacl, ace);
        if (result != 0)
            return result;
    }
    if (!AddAccessAllowedAce(newDacl, newDacl->AclRevision, accessMask, sid))
        return LastErrorOrNoCode();
    for (; index < aceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(oldDacl, index, &entry))
            return LastErrorOrNoCode();
        int result = CopyAce(newDacl, static_cast<ACE_HEADER*>(entry));
        if (result != 0)
            return result;
    }
    return 0;
}

// Reads the file's DACL, builds the granted descriptor and writes it back.
int ApplyGrant(const char* path, PSECURITY_DESCRIPTOR oldDescriptor, PSID sid, uint32_t accessMask)
{
    SECURITY_DESCRIPTOR newDescriptor;
    PACL newDacl = nullptr;
    int result = BuildGrantSecurityDescriptor(&newDescriptor, oldDescriptor, sid, accessMask, &newDacl);
    if (result == 0 && !SetFileSecurityA(path, DACL_SECURITY_INFORMATION, &newDescriptor))
        result = LastErrorOrNoCode();
    FreeIfSet(newDacl);
    return result;
}

}  // namespace

PSID BuildUsersSid(BYTE (&buffer)[SECURITY_MAX_SID_SIZE])
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID sid = reinterpret_cast<PSID>(buffer);
    InitializeSid(sid, &ntAuthority, 2);
    *GetSidSubAuthority(sid, 0) = SECURITY_BUILTIN_DOMAIN_RID;  // 32
    *GetSidSubAuthority(sid, 1) = DOMAIN_ALIAS_RID_USERS;       // 545
    return sid;
}

int GetAccountSid(const char* account, PSID* outSid)
{
    *outSid = nullptr;
    if (!account)
        return ErrorGrantNoCode;
    DWORD sidSize = 0;
    DWORD domainSize = 0;
    SID_NAME_USE use;
    if (LookupAccountNameA(nullptr, account, nullptr, &sidSize, nullptr, &domainSize, &use))
        return ErrorGrantNoCode;
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER)
        return static_cast<int>(error);
    PSID sid = AllocZeroed(static_cast<int>(sidSize));
    char* domain = static_cast<char*>(AllocZeroed(static_cast<int>(domainSize)));
    int result = 0;
    if (!sid || !domain)
        result = ErrorGrantNoMemory;
    else if (!LookupAccountNameA(nullptr, account, sid, &sidSize, domain, &domainSize, &use))
        result = LastErrorOrNoCode();
    FreeIfSet(domain);
    if (result != 0) {
        FreeIfSet(sid);
        return result;
    }
    *outSid = sid;
    return 0;
}

int ReadFileSecurity(const char* path, PSECURITY_DESCRIPTOR* outDescriptor)
{
    *outDescriptor = nullptr;
    if (!path)
        return ErrorGrantNoCode;
    DWORD needed = 0;
    if (GetFileSecurityA(path, DACL_SECURITY_INFORMATION, nullptr, 0, &needed))
        return ErrorGrantNoCode;
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER)
        return static_cast<int>(error);
    PSECURITY_DESCRIPTOR descriptor = AllocZeroed(static_cast<int>(needed));
    if (!descriptor)
        return ErrorGrantNoMemory;
    if (!GetFileSecurityA(path, DACL_SECURITY_INFORMATION, descriptor, needed, &needed)) {
        int result = LastErrorOrNoCode();
        FreeIfSet(descriptor);
        return result;
    }
    *outDescriptor = descriptor;
    return 0;
}

int BuildGrantDacl(bool present, PACL oldDacl, PSID sid, uint32_t accessMask, PACL* outDacl)
{
    *outDacl = nullptr;
    if (!sid || !IsValidSid(sid))
        return ERROR_INVALID_SID;
    present = present && oldDacl;
    ACL_SIZE_INFORMATION sizes = {};
    sizes.AclBytesInUse = sizeof(ACL);
    BYTE revision = ACL_REVISION;
    if (present) {
        if (!GetAclInformation(oldDacl, &sizes, sizeof sizes, AclSizeInformation))
            return LastErrorOrNoCode();
        if (oldDacl->AclRevision > revision)
            revision = oldDacl->AclRevision;  // keeps object entries acceptable to AddAce
    }
    // The new entry adds its SID and the allow entry without its SidStart field.
    DWORD size = GetLengthSid(sid) + sizes.AclBytesInUse + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
    PACL dacl = static_cast<PACL>(AllocZeroed(static_cast<int>(size)));
    if (!dacl)
        return ErrorGrantNoMemory;
    int result = 0;
    if (!InitializeAcl(dacl, size, revision))
        result = LastErrorOrNoCode();
    else
        result =
            FillGrantDacl(dacl, present ? oldDacl : nullptr, present ? sizes.AceCount : 0, sid, accessMask);
    if (result != 0) {
        FreeIfSet(dacl);
        return result;
    }
    *outDacl = dacl;
    return 0;
}

int CopyDaclControl(PSECURITY_DESCRIPTOR oldDescriptor, PSECURITY_DESCRIPTOR newDescriptor)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(oldDescriptor, &control, &revision))
        return LastErrorOrNoCode();
    SECURITY_DESCRIPTOR_CONTROL bits = 0;
    if (control & DaclAutoInherited)
        bits = DaclAutoInherited | DaclAutoInheritRequest;
    else if (control & DaclProtected)
        bits = DaclProtected;
    if (bits && !DynSetSecurityDescriptorControl(newDescriptor, bits, bits))
        return LastErrorOrNoCode();
    return 0;
}

int BuildGrantSecurityDescriptor(SECURITY_DESCRIPTOR* newDescriptor, PSECURITY_DESCRIPTOR oldDescriptor,
                                 PSID sid, uint32_t accessMask, PACL* outDacl)
{
    *outDacl = nullptr;
    if (!InitializeSecurityDescriptor(newDescriptor, SECURITY_DESCRIPTOR_REVISION))
        return LastErrorOrNoCode();
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL oldDacl = nullptr;
    if (!GetSecurityDescriptorDacl(oldDescriptor, &present, &oldDacl, &defaulted))
        return LastErrorOrNoCode();
    PACL newDacl = nullptr;
    int result = BuildGrantDacl(present && oldDacl, oldDacl, sid, accessMask, &newDacl);
    if (result != 0)
        return result;
    if (!SetSecurityDescriptorDacl(newDescriptor, TRUE, newDacl, FALSE))
        result = LastErrorOrNoCode();
    else
        result = CopyDaclControl(oldDescriptor, newDescriptor);
    if (result != 0) {
        FreeIfSet(newDacl);
        return result;
    }
    *outDacl = newDacl;
    return 0;
}

int GrantAccountAccess(const char* path, const char* account, uint32_t accessMask)
{
    if (!IsNtFamily())
        return 0;
    PSECURITY_DESCRIPTOR oldDescriptor = nullptr;
    int result = ReadFileSecurity(path, &oldDescriptor);
    if (result != 0)
        return result;
    PSID sid = nullptr;
    result = GetAccountSid(account, &sid);
    if (result == 0)
        result = ApplyGrant(path, oldDescriptor, sid, accessMask);
    FreeIfSet(sid);
    FreeIfSet(oldDescriptor);
    return result;
}

int GrantUsersAccess(const char* path)
{
    if (!IsNtFamily())
        return 0;
    PSECURITY_DESCRIPTOR oldDescriptor = nullptr;
    int result = ReadFileSecurity(path, &oldDescriptor);
    if (result != 0)
        return result;
    BYTE sidBuffer[SECURITY_MAX_SID_SIZE];
    result = ApplyGrant(path, oldDescriptor, BuildUsersSid(sidBuffer), GENERIC_ALL);
    FreeIfSet(oldDescriptor);
    return result;
}

void EnablePrivilege(HANDLE token, const char* name)
{
    TOKEN_PRIVILEGES privileges = {};
    if (!LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid))
        return;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
}

bool EnableProcessPrivileges()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    for (const char* name : PrivilegeNames)
        EnablePrivilege(token, name);
    CloseHandle(token);
    return true;
}
