// Registry wrappers and the product's records against Wine's registry: round trips, wrong
// types, the exceptions that pass, key deletion guards, the Run value and component users.
#include "classlib/exception.h"
#include "foundation/appregutil.h"
#include "foundation/osinfo.h"
#include "foundation/registryutil.h"
#include "scratchkey.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;

const char UserKey[] = "Software\\TolvarnTest\\registryutil";
const char Component[] = "TolvarnTestComponent";
const char ComponentPath[] = "Software\\DORQ\\TolvarnTestComponent";
const char UsersPath[] = "Software\\DORQ\\TolvarnTestComponent\\Used";
const char RunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char RunName[] = "TolvarnTestRun";

std::string Dword(DWORD value)
{
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

TEST(RegistryWrappers, ValuesRoundTrip)
{
    ScratchKey key(HKEY_CURRENT_USER, UserKey);
    std::string sub = key.path() + "\\made\\here";

    // Writes create the key only when asked.
    EXPECT_FALSE(WriteRegString(HKEY_CURRENT_USER, sub.c_str(), "text", "x", false));
    ASSERT_TRUE(WriteRegInteger(HKEY_CURRENT_USER, sub.c_str(), "number", -5, true));
    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, sub.c_str(), "text", "hello", true));
    const unsigned char blob[8] = {0, 1, 2, 0xFF, 0, 9, 8, 7};
    ASSERT_TRUE(WriteRegBinary(HKEY_CURRENT_USER, sub.c_str(), "blob", blob, 8, true));

    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(ReadValueAt(HKEY_CURRENT_USER, sub, "number", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(bytes, Dword(static_cast<DWORD>(-5)));
    ASSERT_TRUE(ReadValueAt(HKEY_CURRENT_USER, sub, "text", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, "hello\0"s);
    ASSERT_TRUE(ReadValueAt(HKEY_CURRENT_USER, sub, "blob", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(blob), 8));

    int32_t value = 7;
    EXPECT_TRUE(ReadRegInteger(HKEY_CURRENT_USER, sub.c_str(), "number", &value));
    EXPECT_EQ(value, -5);
    EXPECT_TRUE(ReadRegInteger(HKEY_CURRENT_USER, sub.c_str(), "missing", &value));
    EXPECT_EQ(value, 0) << "a missing value reads as 0";
    EXPECT_FALSE(ReadRegInteger(HKEY_CURRENT_USER, (sub + "\\absent").c_str(), "number", &value));
    EXPECT_THROW(ReadRegInteger(HKEY_CURRENT_USER, sub.c_str(), "text", &value), ERegistryException)
        << "another type passes the exception";
    EXPECT_EQ(OpenRegKey(HKEY_CURRENT_USER, nullptr, true), nullptr);
}

TEST(RegistryWrappers, FailedWritesRaiseOnlyThroughTheIntegerWrite)
{
    ScratchKey key(HKEY_CURRENT_USER, UserKey);
    std::string tooLong(20000, 'v');  // beyond the longest value name the registry takes
    EXPECT_FALSE(WriteRegString(HKEY_CURRENT_USER, UserKey, tooLong.c_str(), "x", false));
    EXPECT_FALSE(WriteRegBinary(HKEY_CURRENT_USER, UserKey, tooLong.c_str(), "x", 1, false));
    EXPECT_THROW(WriteRegInteger(HKEY_CURRENT_USER, UserKey, tooLong.c_str(), 1, false), ERegistryException);
}

TEST(RegistryWrappers, KeyDeletion)
{
    ScratchKey key(HKEY_CURRENT_USER, UserKey);
    std::string tree = key.path() + "\\tree";
    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, (tree + "\\a\\b").c_str(), "v", "x", true));
    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, (tree + "\\c").c_str(), "v", "x", true));
    EXPECT_TRUE(DeleteRegKey(HKEY_CURRENT_USER, tree.c_str()));
    EXPECT_FALSE(KeyExistsAt(HKEY_CURRENT_USER, tree));
    EXPECT_TRUE(DeleteRegKey(HKEY_CURRENT_USER, tree.c_str())) << "already gone";

    // An empty key would be the root: refused, and the root keeps its keys.
    EXPECT_FALSE(DeleteRegKey(HKEY_CURRENT_USER, ""));
    EXPECT_FALSE(DeleteRegKey(HKEY_CURRENT_USER, nullptr));
    EXPECT_TRUE(KeyExistsAt(HKEY_CURRENT_USER, "Software"));
}

TEST(RegistryWrappers, ServiceKeys)
{
    struct Case {
        const char* name;
        std::string expected;
    };
    const Case cases[] = {
        {"Tolvarn", "System\\CurrentControlSet\\Services\\Tolvarn"},
        {nullptr, ""},
        {"", ""},      // would name the Services key itself
        {"a\\b", ""},  // would name a key further down
    };
    for (const Case& c : cases)
        EXPECT_EQ(ServiceKeyPath(c.name), c.expected) << (c.name ? c.name : "null");

    std::string path = ServiceKeyPath("TolvarnHelperKey");
    ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, (path + "\\Instance").c_str(), "v", "x", true));
    DeleteServiceKey("TolvarnHelperKey");
    EXPECT_FALSE(KeyExistsAt(HKEY_LOCAL_MACHINE, path));

    DeleteServiceKey("");
    HKEY services = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services", 0, KEY_READ, &services),
        ERROR_SUCCESS);
    DWORD subkeys = 0;
    RegQueryInfoKeyA(services, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    EXPECT_GT(subkeys, 10u) << "the services are still there";
    RegCloseKey(services);
}

class ComponentTest : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, ComponentPath); }
    void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, ComponentPath); }
};

TEST_F(ComponentTest, VersionAndValues)
{
    EXPECT_EQ(ReadComponentVersion(Component), 0) << "no record";
    ASSERT_TRUE(WriteComponentVersion(Component, 20402));
    EXPECT_EQ(ReadComponentVersion(Component), 20402);
    ASSERT_TRUE(WriteComponentValue(Component, "OEM", "ZEMK"));
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(ReadValueAt(HKEY_LOCAL_MACHINE, ComponentPath, "Version", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    ASSERT_TRUE(ReadValueAt(HKEY_LOCAL_MACHINE, ComponentPath, "OEM", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, "ZEMK\0"s);

    WriteValueAt(HKEY_LOCAL_MACHINE, ComponentPath, "Version", REG_SZ, "204\0"s);
    EXPECT_THROW(ReadComponentVersion(Component), ERegistryException)
        << "a version of another type passes the exception";
    EXPECT_FALSE(WriteComponentVersion("", 1)) << "an empty component names no record";
}

TEST_F(ComponentTest, OtherUsers)
{
    struct Case {
        const char* comment;
        bool keyExists;
        std::vector<const char*> users;
        bool expected;
    };
    const Case cases[] = {
        {"no users key", false, {}, false},
        {"an empty users key", true, {}, false},
        {"only this product", true, {"JyxBrimvault"}, false},
        {"one other product", true, {"OtherProduct"}, true},
        {"this and another product", true, {"JyxBrimvault", "OtherProduct"}, true},
        {"two other products", true, {"First", "Second"}, true},
    };
    for (const Case& c : cases) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, ComponentPath);
        if (c.keyExists)
            WriteValueAt(HKEY_LOCAL_MACHINE, UsersPath, nullptr, 0, "");
        for (const char* user : c.users)
            ASSERT_TRUE(WriteComponentUser(Component, user, "2026-12-10 09:00:00"));
        EXPECT_EQ(ComponentHasOtherUsers(Component, "JyxBrimvault"), c.expected) << c.comment;
    }
}

TEST_F(ComponentTest, DeleteUser)
{
    EXPECT_TRUE(DeleteComponentUser(Component, "JyxBrimvault")) << "no key";
    ASSERT_TRUE(WriteComponentUser(Component, "OtherProduct", "x"));
    EXPECT_TRUE(DeleteComponentUser(Component, "JyxBrimvault")) << "no such value";
    EXPECT_TRUE(ComponentHasOtherUsers(Component, "JyxBrimvault")) << "the other user stays";
    ASSERT_TRUE(WriteComponentUser(Component, "JyxBrimvault", "x"));
    EXPECT_TRUE(DeleteComponentUser(Component, "JyxBrimvault"));
    DWORD type = 0;
    std::string bytes;
    EXPECT_FALSE(ReadValueAt(HKEY_LOCAL_MACHINE, UsersPath, "JyxBrimvault", &type, &bytes));
    EXPECT_TRUE(ReadValueAt(HKEY_LOCAL_MACHINE, UsersPath, "OtherProduct", &type, &bytes));
}

TEST(UninstallString, ReadFromTheUninstallEntry)
{
    const char path[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TolvarnTestProduct";
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
    EXPECT_EQ(ReadUninstallString("TolvarnTestProduct"), "") << "no entry";
    ScratchKey entry(HKEY_LOCAL_MACHINE, path);
    EXPECT_EQ(ReadUninstallString("TolvarnTestProduct"), "") << "no value";
    entry.Set("UninstallString", REG_SZ, "C:\\Program Files\\B\\Uninstall.exe\0"s);
    EXPECT_EQ(ReadUninstallString("TolvarnTestProduct"), "C:\\Program Files\\B\\Uninstall.exe");
    entry.Set("UninstallString", REG_DWORD, Dword(1));
    EXPECT_THROW(ReadUninstallString("TolvarnTestProduct"), ERegistryException);
}

// The values of a key, put back as they were found (the Run keys hold no subkeys).
class SavedRunKey {
public:
    explicit SavedRunKey(HKEY root) : root_(root)
    {
        HKEY key = nullptr;
        existed_ = RegOpenKeyExA(root_, RunKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (!existed_)
            return;
        for (DWORD i = 0;; ++i) {
            char name[256];
            BYTE data[2048];
            DWORD nameSize = sizeof name;
            DWORD dataSize = sizeof data;
            DWORD type = 0;
            if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
                break;
            values_.push_back({name, {type, std::string(reinterpret_cast<char*>(data), dataSize)}});
        }
        RegCloseKey(key);
    }
    ~SavedRunKey()
    {
        RegDeleteTreeA(root_, RunKey);
        if (!existed_)
            return;
        HKEY key = nullptr;
        RegCreateKeyExA(root_, RunKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        for (const auto& value : values_)
            RegSetValueExA(key, value.first.c_str(), 0, value.second.first,
                           reinterpret_cast<const BYTE*>(value.second.second.data()),
                           static_cast<DWORD>(value.second.second.size()));
        RegCloseKey(key);
    }

private:
    HKEY root_;
    bool existed_ = false;
    std::vector<std::pair<std::string, std::pair<DWORD, std::string>>> values_;
};

bool RunValue(HKEY root, DWORD* type, std::string* bytes)
{
    return ReadValueAt(root, RunKey, RunName, type, bytes);
}

TEST(RunValue, WrittenOnlyWhenItDiffers)
{
    SavedRunKey saved(HKEY_CURRENT_USER);
    // A stored expandable text reads back equal; a rewrite would store REG_SZ.
    WriteValueAt(HKEY_CURRENT_USER, RunKey, RunName, REG_EXPAND_SZ, "\"C:\\B\\Brimvault.exe\"\0"s);
    DWORD type = 0;
    std::string bytes;

    EXPECT_TRUE(WriteRunValue(HKEY_CURRENT_USER, RunName, "\"C:\\B\\Brimvault.exe\""));
    ASSERT_TRUE(RunValue(HKEY_CURRENT_USER, &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ)) << "the same command is not written";

    EXPECT_TRUE(WriteRunValue(HKEY_CURRENT_USER, RunName, "\"C:\\b\\brimvault.exe\""));
    ASSERT_TRUE(RunValue(HKEY_CURRENT_USER, &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << "a change of letter case is written";
    EXPECT_EQ(bytes, "\"C:\\b\\brimvault.exe\"\0"s);
}

TEST(RunValue, FallsBackToTheUserAndNeverCreatesTheRunKey)
{
    SavedRunKey machine(HKEY_LOCAL_MACHINE);
    SavedRunKey user(HKEY_CURRENT_USER);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, RunKey);
    ASSERT_FALSE(KeyExistsAt(HKEY_LOCAL_MACHINE, RunKey));

    EXPECT_TRUE(RegisterStartRun(RunName, "\"C:\\B\\Brimvault.exe\""));
    DWORD type = 0;
    std::string bytes;
    EXPECT_TRUE(RunValue(HKEY_CURRENT_USER, &type, &bytes));
    EXPECT_FALSE(KeyExistsAt(HKEY_LOCAL_MACHINE, RunKey)) << "the Run key is never created";

    RegDeleteTreeA(HKEY_CURRENT_USER, RunKey);
    EXPECT_FALSE(RegisterStartRun(RunName, "\"C:\\B\\Brimvault.exe\"")) << "neither Run key opens";
}

TEST(RunValue, AnExceptionEndsWithoutTryingTheUser)
{
    SavedRunKey machine(HKEY_LOCAL_MACHINE);
    SavedRunKey user(HKEY_CURRENT_USER);
    WriteValueAt(HKEY_LOCAL_MACHINE, RunKey, RunName, REG_DWORD, Dword(1));  // read as text: raises
    WriteValueAt(HKEY_CURRENT_USER, RunKey, nullptr, 0, "");

    EXPECT_FALSE(RegisterStartRun(RunName, "\"C:\\B\\Brimvault.exe\""));
    DWORD type = 0;
    std::string bytes;
    EXPECT_FALSE(RunValue(HKEY_CURRENT_USER, &type, &bytes)) << "no second try";
}

}  // namespace
