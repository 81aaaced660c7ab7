// The registry and ini wrappers and the path helper: values round-trip, wrong
// types and failed writes raise the library's exceptions, deletes take whole
// subtrees and never the base key.
#include "classlib/exception.h"
#include "classlib/inifile.h"
#include "classlib/registry.h"
#include "classlib/sysutils.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

const char TestKey[] = "Software\\TolvarnClasslibTest";

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, TestKey);
        ASSERT_TRUE(reg.OpenKey(TestKey, true));
    }
    void TearDown() override
    {
        reg.CloseKey();
        RegDeleteTreeA(HKEY_CURRENT_USER, TestKey);
    }
    TRegistry reg;
};

TEST_F(Registry, ValuesRoundTrip)
{
    reg.WriteString("Text", "C:\\Program Files\\JyxBrimvault");
    reg.WriteInteger("Version", 20402);
    reg.WriteInteger("Negative", -5);
    const uint8_t stamp[] = {1, 2, 3, 0, 5};
    reg.WriteBinaryData("Stamp", stamp, sizeof stamp);

    EXPECT_EQ(reg.ReadString("Text"), "C:\\Program Files\\JyxBrimvault");
    EXPECT_EQ(reg.ReadInteger("Version"), 20402);
    EXPECT_EQ(reg.ReadInteger("Negative"), -5);
    EXPECT_TRUE(reg.ValueExists("Stamp"));
    EXPECT_FALSE(reg.ValueExists("Missing"));
    EXPECT_EQ(reg.ReadString("Missing"), "");
    TRegKeyInfo info;
    ASSERT_TRUE(reg.GetKeyInfo(info));
    EXPECT_EQ(info.NumValues, 4u);
    EXPECT_TRUE(reg.DeleteValue("Text"));
    EXPECT_FALSE(reg.DeleteValue("Text"));
}

TEST_F(Registry, WrongTypesRaise)
{
    reg.WriteInteger("Number", 7);
    reg.WriteString("Text", "7");
    const uint8_t two[] = {1, 2};
    reg.WriteBinaryData("Short", two, sizeof two);
    RegSetValueExA(reg.CurrentKey(), "Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>("%TEMP%\\x"),
                   9);

    EXPECT_THROW(reg.ReadString("Number"), ERegistryException);
    EXPECT_THROW(reg.ReadInteger("Text"), ERegistryException);
    EXPECT_THROW(reg.ReadInteger("Short"), ERegistryException);
    EXPECT_THROW(reg.ReadInteger("Missing"), ERegistryException);
    EXPECT_EQ(reg.ReadString("Expand"), "%TEMP%\\x");  // not expanded
    try {
        reg.ReadInteger("Text");
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("Text"), std::string::npos);
    }
}

TEST_F(Registry, FailedWritesRaise)
{
    TRegistry readOnly;
    ASSERT_TRUE(readOnly.OpenKeyReadOnly(TestKey));
    EXPECT_THROW(readOnly.WriteString("A", "b"), ERegistryException);
    EXPECT_THROW(readOnly.WriteInteger("A", 1), ERegistryException);
    EXPECT_THROW(readOnly.WriteBinaryData("A", "x", 1), ERegistryException);
    EXPECT_THROW(reg.WriteBinaryData("A", nullptr, 4), ERegistryException);
}

TEST_F(Registry, KeysOpenRelativeToTheOpenKeyOrTheRoot)
{
    EXPECT_FALSE(reg.OpenKey("Sub\\Deeper", false));  // missing, no create
    EXPECT_EQ(reg.CurrentPath(), TestKey);            // the old key stays open
    ASSERT_TRUE(reg.OpenKey("Sub\\Deeper", true));
    EXPECT_EQ(reg.CurrentPath(), std::string(TestKey) + "\\Sub\\Deeper");
    reg.WriteInteger("Here", 1);
    ASSERT_TRUE(reg.OpenKey(std::string("\\") + TestKey + "\\Sub", false));  // from the root
    EXPECT_TRUE(reg.KeyExists("Deeper"));
    EXPECT_FALSE(reg.ValueExists("Here"));
    reg.CloseKey();
    EXPECT_TRUE(reg.KeyExists(std::string(TestKey) + "\\Sub\\Deeper"));
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(reg.KeyExists(std::string(TestKey) + "\\Sub"));
}

TEST_F(Registry, DeleteKeyTakesTheSubtreeButNeverTheBase)
{
    ASSERT_TRUE(reg.OpenKey("Service\\Enum\\Deep", true));
    reg.WriteString("V", "x");
    reg.CloseKey();
    ASSERT_TRUE(reg.OpenKey(TestKey, false));
    reg.WriteString("Keep", "y");

    EXPECT_FALSE(reg.DeleteKey(""));
    EXPECT_FALSE(reg.DeleteKey("\\"));
    EXPECT_TRUE(reg.DeleteKey("Service"));
    EXPECT_FALSE(reg.KeyExists("Service"));
    EXPECT_EQ(reg.ReadString("Keep"), "y");
    EXPECT_FALSE(reg.DeleteKey("Service"));
}

TEST(IniFile, ReadsDefaultsWritesAndRaisesWhenUnwritable)
{
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    std::string path = std::string(folder) + "classlib_test.ini";
    DeleteFileA(path.c_str());
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("Setup", "Language", "ENU"), "ENU");
    ini.WriteString("Setup", "Language", "FRA");
    EXPECT_EQ(TIniFile(path).ReadString("Setup", "Language", ""), "FRA");
    DeleteFileA(path.c_str());

    TIniFile unwritable(std::string(folder) + "no-such-folder\\deeper\\x.ini");
    EXPECT_THROW(unwritable.WriteString("Setup", "Language", "FRA"), EIniFileException);
}

TEST(Paths, ExtractFileDir)
{
    struct {
        const char *path, *dir;
    } cases[] = {
        {"C:\\a\\b.exe", "C:\\a"},  // the folder without its closing backslash
        {"C:\\b.exe", "C:\\"},      // a root keeps it
        {"C:b.exe", "C:"},
        {"b.exe", ""},
        {"", ""},
        {"C:\\a\\", "C:\\a"},
        {"\\\\server\\share\\x.exe", "\\\\server\\share"},
        {"\\x.exe", "\\"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExtractFileDir(c.path), c.dir) << c.path;
}

}  // namespace
