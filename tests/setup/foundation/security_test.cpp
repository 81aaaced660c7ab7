// The users-group grant over real in-memory ACLs and descriptors, and the privilege list.
#include "foundation/fileutil.h"
#include "foundation/osinfo.h"
#include "foundation/securityutil.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

enum Who { Users, Everyone, System };

struct Entry {
    BYTE type;  // ACCESS_ALLOWED_ACE_TYPE or ACCESS_DENIED_ACE_TYPE
    BYTE flags;
    Who who;
    DWORD mask;
    bool operator==(const Entry& other) const
    {
        return type == other.type && flags == other.flags && who == other.who && mask == other.mask;
    }
};

std::ostream& operator<<(std::ostream& out, const Entry& e)
{
    const char* names[] = {"Users", "Everyone", "System"};
    return out << "{" << (e.type == ACCESS_ALLOWED_ACE_TYPE ? "allow" : "deny") << " flags 0x" << std::hex
               << int(e.flags) << " " << names[e.who] << " mask 0x" << e.mask << std::dec << "}";
}

const BYTE Inherited = INHERITED_ACE;
const Entry NewEntry = {ACCESS_ALLOWED_ACE_TYPE, 0, Users, GENERIC_ALL};

// Well-known SIDs in fixed storage.
struct Sids {
    BYTE users[SECURITY_MAX_SID_SIZE];
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
    Sids()
    {
        DWORD size = sizeof users;
        CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size);
        size = sizeof everyone;
        CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size);
        size = sizeof system;
        CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size);
    }
    PSID of(Who who) { return who == Users ? PSID(users) : who == Everyone ? PSID(everyone) : PSID(system); }
    Who whoIs(PSID sid)
    {
        if (EqualSid(sid, users))
            return Users;
        return EqualSid(sid, everyone) ? Everyone : System;
    }
};

Sids& KnownSids()
{
    static Sids sids;
    return sids;
}

std::vector<BYTE> BuildAcl(const std::vector<Entry>& entries)
{
    std::vector<BYTE> storage(1024);
    PACL acl = reinterpret_cast<PACL>(storage.data());
    InitializeAcl(acl, static_cast<DWORD>(storage.size()), ACL_REVISION);
    for (const Entry& e : entries) {
        PSID sid = KnownSids().of(e.who);
        if (e.type == ACCESS_ALLOWED_ACE_TYPE)
            AddAccessAllowedAceEx(acl, ACL_REVISION, e.flags, e.mask, sid);
        else
            AddAccessDeniedAceEx(acl, ACL_REVISION, e.flags, e.mask, sid);
    }
    return storage;
}

std::vector<Entry> ReadAcl(PACL acl)
{
    std::vector<Entry> entries;
    ACL_SIZE_INFORMATION info = {};
    GetAclInformation(acl, &info, sizeof info, AclSizeInformation);
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* p = nullptr;
        GetAce(acl, i, &p);
        ACCESS_ALLOWED_ACE* ace = static_cast<ACCESS_ALLOWED_ACE*>(p);
        entries.push_back(
            {ace->Header.AceType, ace->Header.AceFlags, KnownSids().whoIs(&ace->SidStart), ace->Mask});
    }
    return entries;
}

std::vector<Entry> Grant(bool present, PACL old)
{
    PACL dacl = nullptr;
    EXPECT_EQ(BuildGrantDacl(present, old, KnownSids().of(Users), GENERIC_ALL, &dacl), 0);
    if (!dacl)
        return {};
    std::vector<Entry> entries = ReadAcl(dacl);
    FreeIfSet(dacl);
    return entries;
}

TEST(BuildGrantDacl, EntryOrder)
{
    struct Case {
        const char* comment;
        std::vector<Entry> old;
        std::vector<Entry> expected;
    };
    const Case cases[] = {
        {"an empty DACL", {}, {NewEntry}},
        {"own explicit entries replaced, inherited ones kept after the new one",
         {{ACCESS_DENIED_ACE_TYPE, 0, Users, GENERIC_WRITE},
          {ACCESS_ALLOWED_ACE_TYPE, 0, Everyone, GENERIC_READ},
          {ACCESS_ALLOWED_ACE_TYPE, 0, Users, GENERIC_READ},
          {ACCESS_ALLOWED_ACE_TYPE, Inherited, Users, GENERIC_READ},
          {ACCESS_DENIED_ACE_TYPE, Inherited, Users, GENERIC_WRITE}},
         {{ACCESS_ALLOWED_ACE_TYPE, 0, Everyone, GENERIC_READ},
          NewEntry,
          {ACCESS_ALLOWED_ACE_TYPE, Inherited, Users, GENERIC_READ},
          {ACCESS_DENIED_ACE_TYPE, Inherited, Users, GENERIC_WRITE}}},
        {"an explicit entry after the first inherited one stays after the new one",
         {{ACCESS_ALLOWED_ACE_TYPE, 0x03, System, GENERIC_ALL},
          {ACCESS_ALLOWED_ACE_TYPE, Inherited, Everyone, GENERIC_READ},
          {ACCESS_ALLOWED_ACE_TYPE, 0, Users, GENERIC_READ}},
         {{ACCESS_ALLOWED_ACE_TYPE, 0x03, System, GENERIC_ALL},
          NewEntry,
          {ACCESS_ALLOWED_ACE_TYPE, Inherited, Everyone, GENERIC_READ},
          {ACCESS_ALLOWED_ACE_TYPE, 0, Users, GENERIC_READ}}},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> old = BuildAcl(c.old);
        std::vector<Entry> once = Grant(true, reinterpret_cast<PACL>(old.data()));
        EXPECT_EQ(once, c.expected) << c.comment;

        std::vector<BYTE> granted = BuildAcl(once);
        EXPECT_EQ(Grant(true, reinterpret_cast<PACL>(granted.data())), once)
            << c.comment << ": granting twice equals granting once";
    }
}

TEST(BuildGrantDacl, NoDaclOrNullDaclGivesOnlyTheNewEntryInAnExactSize)
{
    const std::vector<Entry> only = {NewEntry};
    EXPECT_EQ(Grant(false, nullptr), only) << "no DACL";
    EXPECT_EQ(Grant(true, nullptr), only) << "a null DACL";

    PACL dacl = nullptr;
    PSID users = KnownSids().of(Users);
    ASSERT_EQ(BuildGrantDacl(false, nullptr, users, GENERIC_ALL, &dacl), 0);
    EXPECT_EQ(dacl->AclSize, GetLengthSid(users) + 8 + 8) << "the header, the entry, the SID";
    ACL_SIZE_INFORMATION info = {};
    GetAclInformation(dacl, &info, sizeof info, AclSizeInformation);
    EXPECT_EQ(info.AclBytesFree, 0u);
    FreeIfSet(dacl);

    std::vector<BYTE> old = BuildAcl({{ACCESS_ALLOWED_ACE_TYPE, 0, Everyone, GENERIC_READ}});
    GetAclInformation(reinterpret_cast<PACL>(old.data()), &info, sizeof info, AclSizeInformation);
    ASSERT_EQ(BuildGrantDacl(true, reinterpret_cast<PACL>(old.data()), users, GENERIC_ALL, &dacl), 0);
    EXPECT_EQ(dacl->AclSize, GetLengthSid(users) + info.AclBytesInUse + 8);
    FreeIfSet(dacl);
}

TEST(CopyDaclControl, InheritanceMarks)
{
    struct Case {
        SECURITY_DESCRIPTOR_CONTROL old;
        SECURITY_DESCRIPTOR_CONTROL expected;
    };
    const Case cases[] = {
        {SE_DACL_AUTO_INHERITED, SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ},
        {SE_DACL_PROTECTED, SE_DACL_PROTECTED},
        {SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED, SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ},
        {0, 0},
    };
    const SECURITY_DESCRIPTOR_CONTROL marks =
        SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ | SE_DACL_PROTECTED;
    for (const Case& c : cases) {
        SECURITY_DESCRIPTOR old;
        SECURITY_DESCRIPTOR fresh;
        InitializeSecurityDescriptor(&old, SECURITY_DESCRIPTOR_REVISION);
        InitializeSecurityDescriptor(&fresh, SECURITY_DESCRIPTOR_REVISION);
        if (c.old)
            ASSERT_TRUE(SetSecurityDescriptorControl(&old, c.old, c.old));
        EXPECT_EQ(CopyDaclControl(&old, &fresh), 0);
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(&fresh, &control, &revision);
        EXPECT_EQ(control & marks, c.expected) << "old control 0x" << std::hex << c.old;
    }
}

class TempFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        CreateDirectoryA("C:\\tolvarn-security", nullptr);
        HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
    }
    void TearDown() override { DeleteFileA(path); }
    const char* path = "C:\\tolvarn-security\\granted.txt";
};

TEST_F(TempFile, DescriptorBuiltForAFileGrantsTheUsersGroup)
{
    // The file's DACL is the one the system reports; the built descriptor is checked in
    // memory (Wine keeps no file ACLs).
    PSECURITY_DESCRIPTOR old = nullptr;
    ASSERT_EQ(ReadFileSecurity(path, &old), 0);
    BYTE sidBuffer[SECURITY_MAX_SID_SIZE];
    PSID users = BuildUsersSid(sidBuffer);
    ASSERT_TRUE(EqualSid(users, KnownSids().of(Users))) << "S-1-5-32-545";
    SECURITY_DESCRIPTOR fresh;
    PACL dacl = nullptr;
    ASSERT_EQ(BuildGrantSecurityDescriptor(&fresh, old, users, GENERIC_ALL, &dacl), 0);

    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL attached = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&fresh, &present, &attached, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    ASSERT_EQ(attached, dacl);
    int usersEntries = 0;
    for (const Entry& e : ReadAcl(attached)) {
        if (e.who == Users) {
            ++usersEntries;
            EXPECT_EQ(e, NewEntry);
        }
    }
    EXPECT_EQ(usersEntries, 1);
    FreeIfSet(dacl);
    FreeIfSet(old);
}

TEST_F(TempFile, GrantResults)
{
    EXPECT_TRUE(IsNtFamily());
    EXPECT_EQ(GrantUsersAccess(path), 0);
    EXPECT_EQ(GrantUsersAccess("C:\\tolvarn-security\\missing.txt"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GrantUsersAccess(nullptr), -1);
    EXPECT_EQ(GrantUsersAccess("C:\\tolvarn-security\\"), 0) << "a folder named with a closing backslash";
    EXPECT_EQ(GrantAccountAccess(path, "users", GENERIC_ALL), 0);
    EXPECT_EQ(GrantAccountAccess(path, "no such account here", GENERIC_ALL), ERROR_NONE_MAPPED);

    PSID sid = nullptr;
    ASSERT_EQ(GetAccountSid("users", &sid), 0);
    EXPECT_TRUE(EqualSid(sid, KnownSids().of(Users)));
    FreeIfSet(sid);
}

TEST(Privileges, EnabledEvenWhenSomeAreMissing)
{
    EXPECT_TRUE(EnableProcessPrivileges());
    // SeShutdownPrivilege is one the process token holds; it is now enabled.
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    LUID shutdown;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &shutdown));
    PRIVILEGE_SET set = {1, PRIVILEGE_SET_ALL_NECESSARY, {{shutdown, 0}}};
    BOOL enabled = FALSE;
    EXPECT_TRUE(PrivilegeCheck(token, &set, &enabled));
    EXPECT_TRUE(enabled);
    CloseHandle(token);
}

TEST(Privileges, EveryCallClosesItsToken)
{
    // Handle slots are reused lowest first: a token left open takes the slot that a
    // probe event had before, and the next probe gets another one.
    HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(probe, nullptr);
    CloseHandle(probe);
    for (int i = 0; i < 20; i++)
        ASSERT_TRUE(EnableProcessPrivileges());
    HANDLE again = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(again, nullptr);
    CloseHandle(again);
    EXPECT_EQ(again, probe) << "a token handle was left open";
}

}  // namespace
