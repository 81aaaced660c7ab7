// The uninstall entry: which values are read and written, over a key that records every
// call, then one round trip through Wine's registry.
#include "engine/reguninstall.h"
#include "engine/winsetuplist.h"
#include "classlib/exception.h"

#include <windows.h>

#include "../foundation/scratchkey.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

namespace {

// A key in memory: texts ("s:" prefix) and numbers ("i:" prefix) by value name. The log
// lists the writes as "S:name" and "I:name", separated by blanks.
class RecordingKey : public UninstallEntryKey {
public:
    bool Open(const std::string& path) override
    {
        openedPath = path;
        return opens;
    }
    std::string ReadString(const std::string& name) override
    {
        auto found = values.find(name);
        if (found == values.end())
            return std::string();
        if (found->second.compare(0, 2, "s:") != 0)
            throw ERegistryException("Invalid data type for '" + name + "'");
        return found->second.substr(2);
    }
    void WriteString(const std::string& name, const std::string& value) override
    {
        Write("S", name);
        values[name] = "s:" + value;
    }
    void WriteInteger(const std::string& name, int32_t value) override
    {
        Write("I", name);
        values[name] = "i:" + std::to_string(value);
    }

    bool opens = true;
    std::string refusedWrite;
    std::string openedPath;
    std::map<std::string, std::string> values;
    std::string log;

private:
    void Write(const char* kind, const std::string& name)
    {
        if (name == refusedWrite)
            throw ERegistryException("Failed to set data for '" + name + "'");
        log += (log.empty() ? "" : " ") + std::string(kind) + ":" + name;
    }
};

const std::map<std::string, std::string> FirstEntry = {
    {"DisplayName", "s:JyxBrimvault"},
    {"UninstallString", "s:C:\\Program Files\\JyxBrimvault\\Uninstall.exe"},
    {"DisplayIcon", "s:C:\\Program Files\\JyxBrimvault\\Brimvault.exe"},
    {"Publisher", "s:DORQ"},
    {"Comments", "s:JYX"},
    {"DisplayVersion", "s:2.04.02"},
    {"VersionMajor", "i:2"},
    {"VersionMinor", "i:4"},
    {"EstimatedSize", "i:1234"},
    {"NoModify", "i:1"},
    {"NoRepair", "i:1"},
};

const char AllWrites[] =
    "S:DisplayName S:UninstallString S:DisplayIcon S:Publisher S:Comments S:DisplayVersion "
    "I:VersionMajor I:VersionMinor I:EstimatedSize I:NoModify I:NoRepair";

// A new item as the product's install list makes it.
clWinSetupRegUninstall* ProductItem()
{
    clWinSetupRegUninstall* item = new clWinSetupRegUninstall;
    item->productKey = "JyxBrimvault";
    item->uninstallCommand = "C:\\Program Files\\JyxBrimvault\\Uninstall.exe";
    item->iconPath = "C:\\Program Files\\JyxBrimvault\\Brimvault.exe";
    item->estimatedSize = 1234;
    return item;
}

std::map<std::string, std::string> With(std::map<std::string, std::string> values,
                                        const std::map<std::string, std::string>& changes)
{
    for (const auto& [name, value] : changes) {
        if (value.empty())
            values.erase(name);
        else
            values[name] = value;
    }
    return values;
}

}  // namespace

TEST(UninstallEntry, WritesOnlyWhatDiffers)
{
    struct Case {
        const char* what;
        std::map<std::string, std::string> stored;
        void (*change)(clWinSetupRegUninstall&, RecordingKey&);
        std::string writes;
        std::map<std::string, std::string> after;
    };
    auto none = [](clWinSetupRegUninstall&, RecordingKey&) {};
    const Case cases[] = {
        {"a first run writes everything", {}, none, AllWrites, FirstEntry},
        {"a second run with the same data writes only the numbers", FirstEntry, none,
         "I:EstimatedSize I:NoModify I:NoRepair", FirstEntry},
        {"a stored version of 2.04.02 keeps its major and minor numbers",
         With(FirstEntry, {{"VersionMajor", "i:7"}, {"VersionMinor", ""}}), none,
         "I:EstimatedSize I:NoModify I:NoRepair",
         With(FirstEntry, {{"VersionMajor", "i:7"}, {"VersionMinor", ""}})},
        {"another stored version is replaced with its numbers",
         With(FirstEntry, {{"DisplayVersion", "s:2.04.01"}, {"VersionMinor", "i:3"}}), none,
         "S:DisplayVersion I:VersionMajor I:VersionMinor I:EstimatedSize I:NoModify I:NoRepair", FirstEntry},
        {"an estimated size of 0 leaves the stored one", With(FirstEntry, {{"EstimatedSize", "i:99"}}),
         [](clWinSetupRegUninstall& item, RecordingKey&) { item.estimatedSize = 0; }, "I:NoModify I:NoRepair",
         With(FirstEntry, {{"EstimatedSize", "i:99"}})},
        {"an empty icon path is not written", With(FirstEntry, {{"DisplayIcon", "s:C:\\Old\\Brimvault.exe"}}),
         [](clWinSetupRegUninstall& item, RecordingKey&) { item.iconPath = ""; },
         "I:EstimatedSize I:NoModify I:NoRepair",
         With(FirstEntry, {{"DisplayIcon", "s:C:\\Old\\Brimvault.exe"}})},
        {"a name stored as a number: its read is refused and nothing is written",
         With(FirstEntry, {{"DisplayName", "i:5"}, {"NoRepair", ""}}), none, "",
         With(FirstEntry, {{"DisplayName", "i:5"}, {"NoRepair", ""}})},
        {"a refused write ends the entry there, keeping what was written",
         {},
         [](clWinSetupRegUninstall&, RecordingKey& key) { key.refusedWrite = "Comments"; },
         "S:DisplayName S:UninstallString S:DisplayIcon S:Publisher",
         {{"DisplayName", "s:JyxBrimvault"},
          {"UninstallString", "s:C:\\Program Files\\JyxBrimvault\\Uninstall.exe"},
          {"DisplayIcon", "s:C:\\Program Files\\JyxBrimvault\\Brimvault.exe"},
          {"Publisher", "s:DORQ"}}},
        {"a key that cannot be opened",
         {},
         [](clWinSetupRegUninstall&, RecordingKey& key) { key.opens = false; },
         "",
         {}},
    };
    for (const Case& c : cases) {
        std::unique_ptr<clWinSetupRegUninstall> owned(ProductItem());
        clWinSetupRegUninstall& item = *owned;
        RecordingKey key;
        key.values = c.stored;
        c.change(item, key);
        item.WriteUninstallEntryTo(key);
        EXPECT_EQ(key.openedPath, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\JyxBrimvault")
            << c.what;
        EXPECT_EQ(key.log, c.writes) << c.what;
        EXPECT_EQ(key.values, c.after) << c.what;
    }
}

TEST(UninstallEntry, ItemAndDuplicates)
{
    clWinSetupList list;
    clWinSetupRegUninstall* first = ProductItem();
    AddSetupItem(&list, first);
    clWinSetupRegUninstall* other = ProductItem();
    other->uninstallCommand = "D:\\Uninstall.exe";
    AddSetupItem(&list, other);  // same product key: dropped
    clWinSetupRegUninstall* second = ProductItem();
    second->productKey = "jyxbrimvault";
    AddSetupItem(&list, second);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(first->typeCode, SETUP_TYPE_REG_UNINSTALL);
    EXPECT_EQ(first->targetStep, 1);
    EXPECT_EQ(static_cast<clWinSetupRegUninstall*>(list.First())->uninstallCommand,
              "C:\\Program Files\\JyxBrimvault\\Uninstall.exe");

    // At step 1 nothing more is done.
    clWinSetupRegUninstall done;
    done.productKey = "TolvarnEngineNever";
    done.currentStep = 1;
    EXPECT_EQ(done.ExecuteStep(), 0);
    EXPECT_FALSE(KeyExistsAt(HKEY_LOCAL_MACHINE, UninstallEntryPath("TolvarnEngineNever")));
}

namespace {

std::string Text(const ScratchKey& key, const char* name)
{
    DWORD type = 0;
    std::string bytes;
    if (!key.Get(name, &type, &bytes))
        return "<missing>";
    if (type != REG_SZ)
        return "<type " + std::to_string(type) + ">";
    return std::string(bytes.c_str());
}

int64_t Number(const ScratchKey& key, const char* name)
{
    DWORD type = 0;
    std::string bytes;
    if (!key.Get(name, &type, &bytes) || type != REG_DWORD || bytes.size() != 4)
        return -1;
    return *reinterpret_cast<const DWORD*>(bytes.data());
}

std::string Dword(DWORD value)
{
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

}  // namespace

TEST(UninstallEntryOnWine, RoundTripThroughTheRegistry)
{
    const char ProductKey[] = "TolvarnEngineTest";
    ScratchKey key(HKEY_LOCAL_MACHINE, UninstallEntryPath(ProductKey));
    clWinSetupList list;
    clWinSetupRegUninstall* item = ProductItem();
    item->productKey = ProductKey;
    AddSetupItem(&list, item);
    EXPECT_EQ(RunSetupList(&list), 0);
    EXPECT_EQ(item->currentStep, 1);
    EXPECT_EQ(list.reboot, 0);

    EXPECT_EQ(Text(key, "DisplayName"), ProductKey);
    EXPECT_EQ(Text(key, "UninstallString"), "C:\\Program Files\\JyxBrimvault\\Uninstall.exe")
        << "unquoted, blanks and all";
    EXPECT_EQ(Text(key, "DisplayIcon"), "C:\\Program Files\\JyxBrimvault\\Brimvault.exe");
    EXPECT_EQ(Text(key, "Publisher"), "DORQ");
    EXPECT_EQ(Text(key, "Comments"), "JYX");
    EXPECT_EQ(Text(key, "DisplayVersion"), "2.04.02");
    EXPECT_EQ(Number(key, "VersionMajor"), 2);
    EXPECT_EQ(Number(key, "VersionMinor"), 4);
    EXPECT_EQ(Number(key, "EstimatedSize"), 1234);
    EXPECT_EQ(Number(key, "NoModify"), 1);
    EXPECT_EQ(Number(key, "NoRepair"), 1);
    for (const char* empty :
         {"HelpTelephone", "Contact", "Readme", "HelpLink", "URLInfoAbout", "URLUpdateInfo"})
        EXPECT_EQ(Text(key, empty), "<missing>") << empty;

    // A display name stored as a number: the entry is left as it is and the item is done.
    key.Set("DisplayName", REG_DWORD, Dword(5));
    key.Set("UninstallString", REG_SZ, std::string("C:\\Old\\Uninstall.exe", 21));
    key.Set("NoModify", REG_DWORD, Dword(0));
    clWinSetupList again;
    item = ProductItem();
    item->productKey = ProductKey;
    AddSetupItem(&again, item);
    EXPECT_EQ(RunSetupList(&again), 0);
    EXPECT_EQ(item->currentStep, 1);
    EXPECT_EQ(Text(key, "UninstallString"), "C:\\Old\\Uninstall.exe");
    EXPECT_EQ(Number(key, "NoModify"), 0);
}
