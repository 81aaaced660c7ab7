// Per-disk registry configuration: loading at START, saving value by value,
// survival across a reboot, and what wrong-typed or missing values give.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <memory>
#include <string>

#include "tolvarn.h"
#include "config.h"
#include "disks.h"
#include "entry.h"
#include "identity.h"
#include "pool.h"

namespace {

using emu::Disk;
using emu::DiskConfig;
using emu::Machine;
namespace reg = emu::reg;

class DiskConfigTest : public ::testing::Test {
public:
    Disk& AddConfigDisk(bool identify = true)
    {
        DiskConfig config;
        config.model = "CFGDISK";
        config.serial = "S1";
        config.identifySupported = identify;
        return machine().AddDisk(config);
    }
    Machine& machine() { return *machine_; }
    // A new machine starts with an empty registry.
    void NewMachine()
    {
        machine_.reset();
        machine_.reset(new Machine());
    }
    std::u16string KeyPath() { return machine().RegistryPath() + u"\\" + DiskKeyName(u"CFGDISK", u"S1"); }

    void StoreRaw(std::u16string_view name, ULONG type, const void* data, size_t size)
    {
        reg::SetValue(KeyPath(), name, type, data, size);
    }
    void StoreDword(std::u16string_view name, ULONG value) { reg::SetDword(KeyPath(), name, value); }
    void StoreQword(std::u16string_view name, ULONG64 value) { reg::SetQword(KeyPath(), name, value); }

private:
    std::unique_ptr<Machine> machine_{new Machine()};
};

TEST_F(DiskConfigTest, EveryValueSurvivesAReboot)
{
    Disk& master = AddConfigDisk();
    DiskConfig ssdConfig;
    ssdConfig.model = "CFGSSD";
    ssdConfig.serial = "S2";
    Disk& ssd = machine().AddDisk(ssdConfig);
    ASSERT_EQ(STATUS_SUCCESS, machine().Boot(DriverEntry));

    FilterExtension* m = Ext(master);
    ASSERT_EQ(1u, m->KeyPathValid);
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskQword(m, ValueDiskId, 0x1111222233334444ull));
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskDword(m, ValueConfigType, RoleMaster));
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskQword(m, ValueTimeStamp, 0x01DA000012345678ull));
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskQword(m, ValueSsdDiskId, 0x5555666677778888ull));
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskDword(m, ValueSsdMode, 2));
    m->Master.SsdCacheMinBoot = 4096;
    m->Master.SsdCacheWriteMode = 3;
    m->Master.MasterStart = 1;
    EXPECT_EQ(STATUS_SUCCESS, SaveMasterSettings(m));

    FilterExtension* s = Ext(ssd);
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskQword(s, ValueDiskId, 0x5555666677778888ull));
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskDword(s, ValueConfigType, RoleSsd));
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskQword(s, ValueSsdCacheStart, 1ull << 20));
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskQword(s, ValueSsdCacheEnd, 0x123456789000ull));
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskQword(s, ValueMasterDiskId, 0x1111222233334444ull));

    ASSERT_EQ(STATUS_SUCCESS, machine().Reboot());
    ASSERT_EQ(STATUS_SUCCESS, machine().AddAndStartAll());
    m = Ext(master);
    EXPECT_EQ(0x1111222233334444ull, m->DiskId);
    EXPECT_EQ(RoleMaster, m->Role);
    EXPECT_EQ(0x01DA000012345678ull, m->TimeStamp);
    EXPECT_EQ(1u, m->Master.MasterStart);
    EXPECT_EQ(0x5555666677778888ull, m->Master.SsdCacheDiskId);
    EXPECT_EQ(2, m->Master.SsdCacheMode);
    EXPECT_EQ(4096u, m->Master.SsdCacheMinBoot);
    EXPECT_EQ(3, m->Master.SsdCacheWriteMode);
    s = Ext(ssd);
    EXPECT_EQ(0x5555666677778888ull, s->DiskId);
    EXPECT_EQ(RoleSsd, s->Role);
    EXPECT_EQ(1ull << 20, s->Area.SsdCacheStart);
    EXPECT_EQ(0x123456789000ull, s->Area.SsdCacheEnd);
    EXPECT_EQ(0x1111222233334444ull, s->Area.MasterDiskId);
}

TEST_F(DiskConfigTest, AValueAlreadyStoredIsNotWrittenAgain)
{
    Disk& disk = AddConfigDisk();
    ASSERT_EQ(STATUS_SUCCESS, machine().Boot(DriverEntry));
    FilterExtension* ext = Ext(disk);
    ASSERT_EQ(STATUS_SUCCESS, SaveDiskQword(ext, ValueDiskId, 42));
    ASSERT_EQ(STATUS_SUCCESS, SaveDiskDword(ext, ValueConfigType, 1));
    ext->Master = MasterConfig{1, 0, 10, 0, 2};
    ASSERT_EQ(STATUS_SUCCESS, SaveMasterSettings(ext));

    reg::ClearCounts();
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskQword(ext, ValueDiskId, 42));
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskDword(ext, ValueConfigType, 1));
    EXPECT_EQ(STATUS_SUCCESS, SaveMasterSettings(ext));
    EXPECT_EQ(0u, reg::SetValueCount()) << "unchanged values are not rewritten";

    EXPECT_EQ(STATUS_SUCCESS, SaveDiskQword(ext, ValueDiskId, 43));
    EXPECT_EQ(1u, reg::SetValueCount());
    EXPECT_EQ(43u, *reg::GetQword(KeyPath(), u"DorqBrimvaultId"));
}

TEST_F(DiskConfigTest, MasterStartIsSavedAsZeroOrOne)
{
    Disk& disk = AddConfigDisk();
    ASSERT_EQ(STATUS_SUCCESS, machine().Boot(DriverEntry));
    FilterExtension* ext = Ext(disk);
    ext->Master.MasterStart = 7;
    ASSERT_EQ(STATUS_SUCCESS, SaveMasterSettings(ext));
    EXPECT_EQ(1u, *reg::GetDword(KeyPath(), u"MasterStart"));
    EXPECT_EQ(REG_DWORD, reg::GetValue(KeyPath(), u"SsdCacheWriteMode")->type);
}

struct Bytes16 {
    ULONGLONG a, b;
};

// One stored state per row, loaded at the disk's first START.
TEST_F(DiskConfigTest, LoadTable)
{
    struct Expected {
        ULONGLONG id;
        UCHAR role;
        ULONGLONG stamp;
        ULONG masterStart;
        UCHAR mode;
        ULONGLONG areaEnd;
    };
    struct Case {
        const char* what;
        void (*store)(DiskConfigTest*);
        Expected expected;
    };
    static const Case cases[] = {
        {"no key", [](DiskConfigTest*) {}, {0, RoleNone, 0, 0, 0, 0}},
        {"id missing", [](DiskConfigTest* t) { t->StoreDword(u"ConfigType", 1); }, {0, RoleNone, 0, 0, 0, 0}},
        {"id stored as a string",
         [](DiskConfigTest* t) {
             reg::SetString(t->KeyPath(), u"DorqBrimvaultId", u"12");
             t->StoreDword(u"ConfigType", 1);
         },
         {0, RoleNone, 0, 0, 0, 0}},
        {"id as binary data of 8 bytes",
         [](DiskConfigTest* t) {
             ULONGLONG id = 9;
             t->StoreRaw(u"DorqBrimvaultId", REG_BINARY, &id, sizeof id);
             t->StoreDword(u"ConfigType", 1);
         },
         {0, RoleNone, 0, 0, 0, 0}},
        {"id of 16 bytes",
         [](DiskConfigTest* t) {
             Bytes16 big = {5, 6};
             t->StoreRaw(u"DorqBrimvaultId", REG_QWORD, &big, sizeof big);
             t->StoreDword(u"ConfigType", 1);
         },
         {0, RoleNone, 0, 0, 0, 0}},
        {"ConfigType missing: stamp not read",
         [](DiskConfigTest* t) {
             t->StoreQword(u"DorqBrimvaultId", 9);
             t->StoreQword(u"TimeStamp", 77);
         },
         {9, RoleNone, 0, 0, 0, 0}},
        {"ConfigType as a DWORD of 8 bytes",
         [](DiskConfigTest* t) {
             t->StoreQword(u"DorqBrimvaultId", 9);
             ULONGLONG wide = 1;
             t->StoreRaw(u"ConfigType", REG_DWORD, &wide, sizeof wide);
         },
         {9, RoleNone, 0, 0, 0, 0}},
        {"master, MasterStart 7, mode 0x102",
         [](DiskConfigTest* t) {
             t->StoreQword(u"DorqBrimvaultId", 9);
             t->StoreDword(u"ConfigType", 1);
             t->StoreQword(u"TimeStamp", 77);
             t->StoreDword(u"MasterStart", 7);
             t->StoreDword(u"SsdCacheMode", 0x102);
             t->StoreQword(u"SsdCacheDiskId", 5);  // not there: no attach renews the stamp
         },
         {9, RoleMaster, 77, 1, 2, 0}},
        {"SSD",
         [](DiskConfigTest* t) {
             t->StoreQword(u"DorqBrimvaultId", 9);
             t->StoreDword(u"ConfigType", 2);
             t->StoreQword(u"SsdCacheEnd", 1ull << 30);
             t->StoreDword(u"MasterStart", 1);  // not a value of an SSD
         },
         {9, RoleSsd, 0, 0, 0, 1ull << 30}},
        {"ConfigType 3: no role, stamp still read",
         [](DiskConfigTest* t) {
             t->StoreQword(u"DorqBrimvaultId", 9);
             t->StoreDword(u"ConfigType", 3);
             t->StoreQword(u"TimeStamp", 77);
             t->StoreDword(u"MasterStart", 1);
         },
         {9, RoleNone, 77, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NewMachine();
        Disk& disk = AddConfigDisk();
        c.store(this);
        ASSERT_EQ(STATUS_SUCCESS, machine().Boot(DriverEntry));
        const FilterExtension* ext = Ext(disk);
        EXPECT_EQ(c.expected.id, ext->DiskId);
        EXPECT_EQ(c.expected.role, ext->Role);
        EXPECT_EQ(c.expected.stamp, ext->TimeStamp);
        EXPECT_EQ(c.expected.masterStart, ext->Master.MasterStart);
        EXPECT_EQ(c.expected.mode, ext->Master.SsdCacheMode);
        EXPECT_EQ(c.expected.areaEnd, ext->Area.SsdCacheEnd);
    }
}

// A later START loads again over the fields held: stored values replace the
// in-memory ones, missing values leave them.
TEST_F(DiskConfigTest, SecondStartLoadsOverTheFieldsHeld)
{
    Disk& disk = AddConfigDisk();
    StoreQword(u"DorqBrimvaultId", 9);
    StoreDword(u"ConfigType", 1);
    StoreDword(u"MasterStart", 1);
    StoreDword(u"SsdCacheMinBoot", 100);
    StoreQword(u"SsdCacheDiskId", 55);
    ASSERT_EQ(STATUS_SUCCESS, machine().Boot(DriverEntry));
    FilterExtension* ext = Ext(disk);
    ASSERT_EQ(RoleMaster, ext->Role);

    ext->Master.MasterStart = 0;  // changed in memory only, as a cache stop does
    ext->Master.SsdCacheWriteMode = 3;
    reg::DeleteValue(KeyPath(), u"SsdCacheDiskId");
    reg::DeleteValue(KeyPath(), u"SsdCacheMinBoot");
    ASSERT_EQ(STATUS_SUCCESS, machine().Stop(disk));
    ASSERT_EQ(STATUS_SUCCESS, machine().Start(disk));

    EXPECT_EQ(1u, ext->Master.MasterStart) << "stored value loaded again";
    EXPECT_EQ(55u, ext->Master.SsdCacheDiskId) << "missing value keeps the field";
    EXPECT_EQ(100u, ext->Master.SsdCacheMinBoot);
    EXPECT_EQ(3, ext->Master.SsdCacheWriteMode);

    reg::DeleteValue(KeyPath(), u"DorqBrimvaultId");
    reg::SetDword(KeyPath(), u"ConfigType", 0);
    ASSERT_EQ(STATUS_SUCCESS, machine().Stop(disk));
    ASSERT_EQ(STATUS_SUCCESS, machine().Start(disk));
    EXPECT_EQ(9u, ext->DiskId) << "without an id nothing is read";
    EXPECT_EQ(RoleMaster, ext->Role);

    StoreQword(u"DorqBrimvaultId", 9);
    reg::DeleteValue(KeyPath(), u"ConfigType");
    ASSERT_EQ(STATUS_SUCCESS, machine().Stop(disk));
    ASSERT_EQ(STATUS_SUCCESS, machine().Start(disk));
    EXPECT_EQ(RoleNone, ext->Role) << "a removed ConfigType takes the role away";
}

TEST_F(DiskConfigTest, SavesReplaceOtherTypesAndStopAtTheFirstFailure)
{
    Disk& disk = AddConfigDisk();
    reg::SetString(KeyPath(), u"DorqBrimvaultId", u"not a number");
    ASSERT_EQ(STATUS_SUCCESS, machine().Boot(DriverEntry));
    FilterExtension* ext = Ext(disk);
    EXPECT_EQ(RoleNone, ext->Role);
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskQword(ext, ValueDiskId, 12));
    EXPECT_EQ(REG_QWORD, reg::GetValue(KeyPath(), u"DorqBrimvaultId")->type);
    EXPECT_EQ(12u, *reg::GetQword(KeyPath(), u"DorqBrimvaultId"));

    // The write that fails: none of the three is stored from there on.
    for (ULONG failing = 1; failing <= 3; failing++) {
        SCOPED_TRACE("write " + std::to_string(failing) + " fails");
        for (const char16_t* name : {u"SsdCacheMinBoot", u"SsdCacheWriteMode", u"MasterStart"})
            reg::DeleteValue(KeyPath(), name);
        ext->Master = MasterConfig{1, 0, 10, 0, 2};
        reg::FailSetValue(failing, STATUS_ACCESS_DENIED);
        EXPECT_EQ(STATUS_ACCESS_DENIED, SaveMasterSettings(ext));
        EXPECT_EQ(failing > 1, reg::GetValue(KeyPath(), u"SsdCacheMinBoot").has_value());
        EXPECT_EQ(failing > 2, reg::GetValue(KeyPath(), u"SsdCacheWriteMode").has_value());
        EXPECT_FALSE(reg::GetValue(KeyPath(), u"MasterStart").has_value()) << "nothing after the failure";
    }
}

TEST_F(DiskConfigTest, DiskWithoutKeyPath)
{
    Disk& disk = AddConfigDisk(false);
    ASSERT_EQ(STATUS_SUCCESS, machine().Boot(DriverEntry));
    FilterExtension* ext = Ext(disk);
    ASSERT_EQ(0u, ext->KeyPathValid);
    reg::ClearCounts();
    // Kept as the control interface expects: the save succeeds, nothing is stored.
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskQword(ext, ValueDiskId, 5));
    EXPECT_EQ(STATUS_SUCCESS, SaveDiskDword(ext, ValueConfigType, 1));
    EXPECT_EQ(STATUS_SUCCESS, SaveMasterSettings(ext));
    EXPECT_EQ(0u, reg::SetValueCount());
    EXPECT_TRUE(reg::SubKeys(machine().RegistryPath()).empty());
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, DeleteDiskKey(ext));
}

TEST_F(DiskConfigTest, DeletingTheKey)
{
    Disk& disk = AddConfigDisk();
    ASSERT_EQ(STATUS_SUCCESS, machine().Boot(DriverEntry));
    FilterExtension* ext = Ext(disk);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, DeleteDiskKey(ext)) << "no key yet";

    ASSERT_EQ(STATUS_SUCCESS, SaveDiskQword(ext, ValueDiskId, 5));
    reg::CreateKey(KeyPath() + u"\\Sub");
    EXPECT_FALSE(NT_SUCCESS(DeleteDiskKey(ext)));
    EXPECT_TRUE(reg::KeyExists(KeyPath())) << "a key with a subkey stays";

    reg::DeleteTree(KeyPath() + u"\\Sub");
    EXPECT_EQ(STATUS_SUCCESS, DeleteDiskKey(ext));
    EXPECT_FALSE(reg::KeyExists(KeyPath()));
}

// A model that names one of the service's own subkeys stays in a key of its own.
TEST_F(DiskConfigTest, DeviceBytesCannotChooseTheKeyPath)
{
    DiskConfig config;
    config.model = "Parameters\\Evil";
    config.serial = "X";
    Disk& disk = machine().AddDisk(config);
    ASSERT_EQ(STATUS_SUCCESS, machine().Boot(DriverEntry));
    ASSERT_EQ(STATUS_SUCCESS, SaveDiskQword(Ext(disk), ValueDiskId, 5));
    EXPECT_FALSE(reg::KeyExists(machine().RegistryPath() + u"\\Parameters"));
    std::vector<std::u16string> keys = reg::SubKeys(machine().RegistryPath());
    ASSERT_EQ(1u, keys.size());
    EXPECT_EQ(u"Parameters_Evil", keys[0].substr(0, 15));
}

TEST_F(DiskConfigTest, SystemTimeFollowsTheClock)
{
    ASSERT_EQ(STATUS_SUCCESS, machine().Boot(DriverEntry));
    ULONGLONG before = ReadSystemTime();
    EXPECT_EQ((ULONGLONG)machine().Now(), before);
    machine().AdvanceMs(1500);
    EXPECT_EQ(before + 15000000ull, ReadSystemTime());
}

}  // namespace
