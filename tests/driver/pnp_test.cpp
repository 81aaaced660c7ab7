// Filter devices on simulated disks: creation, PnP start, stop and removal,
// the boot-time pairing of a master with its SSD and the late start, power,
// the shutdown sweep, and the device walks with their references.
//
// The cache lifecycle calls are replaced here by recording fakes, through the
// PnP code's lifecycle table (seams.h).
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <functional>
#include <string>
#include <vector>

#include "tolvarn.h"
#include "disks.h"
#include "entry.h"
#include "pnp.h"
#include "pool.h"
#include "seams.h"

namespace {

using emu::Disk;
using emu::DiskConfig;
using emu::Machine;
using emu::Resource;

// What the fake lifecycle calls saw; reset by every test's fixture.
struct Hooks {
    std::vector<PDEVICE_OBJECT> attached;
    std::vector<PDEVICE_OBJECT> shutDown;
    std::vector<PDEVICE_OBJECT> flushed;
    std::vector<PDEVICE_OBJECT> ssdsRemoved;
    bool mayRemoveSsd = true;
    std::function<void(PDEVICE_OBJECT)> onShutdown;
    std::function<void(PDEVICE_OBJECT)> onFlush;
};
Hooks hooks;

// The PnP code calls these through its lifecycle table while a test runs.
bool FakeAttachCacheAtBoot(PDEVICE_OBJECT master)
{
    hooks.attached.push_back(master);
    return true;
}

NTSTATUS FakeShutdownCache(PDEVICE_OBJECT master)
{
    hooks.shutDown.push_back(master);
    if (hooks.onShutdown)
        hooks.onShutdown(master);
    return STATUS_SUCCESS;
}

bool FakeMayRemoveSsd(PDEVICE_OBJECT ssd)
{
    return hooks.mayRemoveSsd;
}

void FakeRemoveSsdFromMaster(PDEVICE_OBJECT ssd)
{
    hooks.ssdsRemoved.push_back(ssd);
}

void FakeFlushMaster(PDEVICE_OBJECT master)
{
    hooks.flushed.push_back(master);
    if (hooks.onFlush)
        hooks.onFlush(master);
}

const LifecycleCalls FakeLifecycleCalls = {
    FakeAttachCacheAtBoot, FakeShutdownCache,       FakeShutdownCache,
    FakeMayRemoveSsd,      FakeRemoveSsdFromMaster, FakeFlushMaster,
};

class Pnp : public ::testing::Test {
protected:
    void SetUp() override
    {
        hooks = Hooks();
        Lifecycle = &FakeLifecycleCalls;
    }
    void TearDown() override
    {
        Lifecycle = &ProductionLifecycleCalls;
        hooks = Hooks();
    }
};

ULONGLONG DriverPool()
{
    return emu::PoolUsage(PoolTag).bytes;
}

ULONG Count(const std::vector<PDEVICE_OBJECT>& calls, PDEVICE_OBJECT device)
{
    ULONG n = 0;
    for (PDEVICE_OBJECT d : calls)
        n += d == device;
    return n;
}

// ---- Creation -------------------------------------------------------------------

TEST_F(Pnp, AddDeviceTakesTheLowerDevicesTypeCharacteristicsAndFlags)
{
    for (bool lowerFilter : {false, true}) {
        Machine machine;
        DiskConfig config;
        config.characteristics = FILE_REMOVABLE_MEDIA;
        config.lowerFilter = lowerFilter;
        Disk& disk = machine.AddDisk(config);
        ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
        ASSERT_EQ(STATUS_SUCCESS, machine.AddDevice(disk));
        PDEVICE_OBJECT filter = disk.Top();
        PDEVICE_OBJECT lower = Ext(disk)->LowerDevice;
        ASSERT_NE(filter, disk.Pdo());
        EXPECT_EQ(filter->AttachedDevice, nullptr);
        EXPECT_EQ(lower->AttachedDevice, filter);
        EXPECT_EQ(lowerFilter, lower != disk.Pdo()) << "a lower filter sits between";
        EXPECT_EQ(lower, Ext(disk)->Pdo) << "the device AddDevice was given";
        EXPECT_EQ(lower->StackSize + 1, filter->StackSize);
        EXPECT_EQ(ULONG(FILE_DEVICE_DISK), filter->DeviceType);
        EXPECT_EQ(lower->Characteristics, filter->Characteristics);
        EXPECT_EQ(lower->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_POWER_INRUSH),
                  filter->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_POWER_INRUSH));
        EXPECT_EQ(0u, filter->Flags & DO_DEVICE_INITIALIZING);

        const FilterExtension* ext = Ext(disk);
        EXPECT_EQ(sizeof(FilterExtension), ext->Size);
        EXPECT_EQ(0xFFFFFFFFu, ext->DeviceNumber);
        EXPECT_EQ(1u, ext->PowerState);
        EXPECT_EQ(0u, ext->IdentityRead);
        EXPECT_EQ(0u, ext->Worker.Running);
        EXPECT_EQ(1u, ext->Cache.DestageIdle);
        EXPECT_EQ(nullptr, ext->Cache.Map.SsdDevice);
    }
}

TEST_F(Pnp, AddDeviceFailuresLeaveNoDevice)
{
    struct Case {
        Resource resource;
        NTSTATUS status;
    };
    const Case cases[] = {
        {Resource::Device, STATUS_INSUFFICIENT_RESOURCES},
        {Resource::Attach, STATUS_NO_SUCH_DEVICE},
    };
    for (const Case& c : cases) {
        Machine machine;
        Disk& disk = machine.AddDisk();
        ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
        ULONG devices = emu::Live().devices;
        emu::FailNth(c.resource, 1);
        EXPECT_EQ(c.status, machine.AddDevice(disk));
        emu::ClearFailures();
        EXPECT_EQ(devices, emu::Live().devices);
        EXPECT_EQ(disk.Pdo(), disk.Top());
    }
}

// ---- Start and stop ----------------------------------------------------------------

// A START that fails below (a warning included) is completed with the lower
// status and leaves the device unstarted; a later START tries again.
TEST_F(Pnp, StartFailureBelowLeavesTheDeviceUnstarted)
{
    for (NTSTATUS failure : {STATUS_DEVICE_NOT_READY, STATUS_BUFFER_OVERFLOW}) {
        for (bool pend : {false, true}) {
            Machine machine;
            Disk& disk = machine.AddDisk({.deviceNumber = 5});
            ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
            ASSERT_EQ(STATUS_SUCCESS, machine.AddDevice(disk));
            disk.Pdo()->Characteristics |= FILE_READ_ONLY_DEVICE;
            disk.SetStartResult(failure, pend);
            EXPECT_EQ(failure, machine.Start(disk));
            EXPECT_EQ(0u, Ext(disk)->IdentityRead);
            EXPECT_EQ(0u, Ext(disk)->Worker.Running);
            EXPECT_EQ(nullptr, Ext(disk)->Identify);
            EXPECT_EQ(0xFFFFFFFFu, Ext(disk)->DeviceNumber);
            EXPECT_EQ(0u, disk.Top()->Characteristics & FILE_READ_ONLY_DEVICE);

            disk.SetStartResult(STATUS_SUCCESS, pend);
            EXPECT_EQ(STATUS_SUCCESS, machine.Start(disk));
            EXPECT_EQ(2u, disk.StartCount());
            EXPECT_EQ(1u, Ext(disk)->IdentityRead);
            EXPECT_EQ(1u, Ext(disk)->Worker.Running);
            EXPECT_NE(nullptr, Ext(disk)->Identify);
            EXPECT_EQ(5u, Ext(disk)->DeviceNumber);
            EXPECT_NE(0u, disk.Top()->Characteristics & FILE_READ_ONLY_DEVICE)
                << "media characteristics follow a successful START";
        }
    }
}

// A STOP that the disk answers with any status but an error (a warning or an
// informational one too) stopped it: the next START goes down.
TEST_F(Pnp, StopThenStartReadsTheIdentityAgainWithOneWorker)
{
    for (NTSTATUS answer :
         {STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, (NTSTATUS)0x40000000 /* informational */}) {
        SCOPED_TRACE(testing::Message() << "STOP answered 0x" << std::hex << (ULONG)answer);
        Machine machine;
        Disk& disk = machine.AddDisk();
        ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
        ULONG threads = emu::Live().threads;
        ULONGLONG pool = DriverPool();
        disk.SetStopResult(answer);
        ASSERT_EQ(answer, machine.Stop(disk));
        EXPECT_EQ(0u, Ext(disk)->IdentityRead);
        EXPECT_EQ(1u, Ext(disk)->Worker.Running) << "STOP leaves the worker running";
        Ext(disk)->DeviceNumber = 99;
        ASSERT_EQ(STATUS_SUCCESS, machine.Start(disk));
        EXPECT_EQ(2u, disk.StartCount()) << "the second START is passed down";
        EXPECT_EQ(1u, Ext(disk)->IdentityRead);
        EXPECT_EQ(0u, Ext(disk)->DeviceNumber) << "identity read again";
        EXPECT_EQ(threads, emu::Live().threads) << "no second worker";
        EXPECT_EQ(pool, DriverPool()) << "one copy of the identity";
    }
}

// ---- Boot pairing ----------------------------------------------------------------

const ULONGLONG MasterId = 0x1111;
const ULONGLONG SsdId = 0x2222;
const ULONGLONG OtherId = 0x3333;

std::u16string KeyPathOf(Machine& machine, const std::u16string& model, const std::u16string& serial)
{
    return machine.RegistryPath() + u"\\" + DiskKeyName(model, serial);
}

struct PairCase {
    bool masterFirst;
    ULONG masterStart;
    ULONGLONG ssdCacheDiskId;  // the SSD id the master names
    bool bootPhase;
    ULONG attaches;  // AttachCacheAtBoot calls for the master
};

// Whichever disk starts second attaches the cache; a master that starts first
// starts its SSD's stack itself, and the SSD's own START then is not passed
// down again. Outside the boot phase nothing is attached at START.
TEST_F(Pnp, BootPairingTable)
{
    const PairCase cases[] = {
        {true, 1, SsdId, true, 2},                          // late start attaches, the SSD's START asks again
        {false, 1, SsdId, true, 1}, {true, 1, 0, true, 1},  // no SSD configured: attach at once
        {false, 1, 0, true, 1},     {true, 1, OtherId, true, 0}, {false, 1, OtherId, true, 0},
        {true, 0, SsdId, true, 0},  {false, 0, SsdId, true, 0},  {true, 0, 0, true, 0},
        {true, 1, SsdId, false, 0}, {false, 1, SsdId, false, 0}, {true, 1, 0, false, 0},
    };
    for (const PairCase& c : cases) {
        std::string what = std::string(c.masterFirst ? "master first" : "SSD first") + ", MasterStart " +
                           std::to_string(c.masterStart) + ", SsdCacheDiskId " +
                           std::to_string(c.ssdCacheDiskId) + (c.bootPhase ? ", boot" : ", running");
        hooks = Hooks();
        Machine machine;
        Disk& master = machine.AddDisk({.model = "MASTER", .serial = "M1"});
        Disk& ssd = machine.AddDisk({.sectorSize = 512, .model = "SSD", .serial = "S1"});
        std::u16string masterKey = KeyPathOf(machine, u"MASTER", u"M1");
        std::u16string ssdKey = KeyPathOf(machine, u"SSD", u"S1");
        emu::reg::SetQword(masterKey, u"DorqBrimvaultId", MasterId);
        emu::reg::SetDword(masterKey, u"ConfigType", 1);
        emu::reg::SetDword(masterKey, u"MasterStart", c.masterStart);
        emu::reg::SetQword(masterKey, u"SsdCacheDiskId", c.ssdCacheDiskId);
        emu::reg::SetQword(ssdKey, u"DorqBrimvaultId", SsdId);
        emu::reg::SetDword(ssdKey, u"ConfigType", 2);
        emu::reg::SetQword(ssdKey, u"MasterDiskId", MasterId);

        ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
        if (!c.bootPhase)
            machine.EndBootPhase();
        ASSERT_EQ(STATUS_SUCCESS, machine.AddDevice(master));
        ASSERT_EQ(STATUS_SUCCESS, machine.AddDevice(ssd));
        Disk& first = c.masterFirst ? master : ssd;
        Disk& second = c.masterFirst ? ssd : master;
        ASSERT_EQ(STATUS_SUCCESS, machine.Start(first)) << what;
        ASSERT_EQ(STATUS_SUCCESS, machine.Start(second)) << what;

        EXPECT_EQ(RoleMaster, Ext(master)->Role) << what;
        EXPECT_EQ(RoleSsd, Ext(ssd)->Role) << what;
        EXPECT_EQ(c.attaches, Count(hooks.attached, master.Top())) << what;
        EXPECT_EQ(hooks.attached.size(), Count(hooks.attached, master.Top()))
            << what << ": only masters attach";
        EXPECT_EQ(1u, ssd.StartCount()) << what << ": the SSD's stack saw exactly one START";
        EXPECT_EQ(1u, master.StartCount()) << what;
        EXPECT_EQ(1u, Ext(ssd)->Worker.Running) << what << ": the SSD's own START starts its worker";
        EXPECT_EQ(1u, Ext(master)->Worker.Running) << what;
    }
}

// The late start sends a START of the driver's own: it starts every stack
// that is not started yet, once, and leaves the worker to the disk's START.
TEST_F(Pnp, LateStartStartsEveryUnstartedStackOnce)
{
    Machine machine;
    Disk& master = machine.AddDisk({.model = "MASTER", .serial = "M1"});
    Disk& other = machine.AddDisk({.lowerFilter = true, .model = "OTHER", .serial = "O1"});
    Disk& late = machine.AddDisk({.model = "LATE", .serial = "L1"});
    std::u16string masterKey = KeyPathOf(machine, u"MASTER", u"M1");
    emu::reg::SetQword(masterKey, u"DorqBrimvaultId", MasterId);
    emu::reg::SetDword(masterKey, u"ConfigType", 1);
    emu::reg::SetDword(masterKey, u"MasterStart", 1);
    emu::reg::SetQword(masterKey, u"SsdCacheDiskId", SsdId);  // an SSD that never shows up
    ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
    for (Disk* d : {&master, &other, &late})
        ASSERT_EQ(STATUS_SUCCESS, machine.AddDevice(*d));
    late.SetStartResult(STATUS_DEVICE_NOT_READY);

    ASSERT_EQ(STATUS_SUCCESS, machine.Start(master));
    EXPECT_EQ(1u, other.StartCount());
    EXPECT_EQ(1u, Ext(other)->IdentityRead);
    EXPECT_EQ(0u, Ext(other)->Worker.Running) << "the late start starts no worker";
    EXPECT_NE(0xFFFFFFFFu, Ext(other)->DeviceNumber);
    EXPECT_EQ(1u, late.StartCount());
    EXPECT_EQ(0u, Ext(late)->IdentityRead) << "a failed late start leaves the device as it was";
    EXPECT_TRUE(hooks.attached.empty());

    ASSERT_EQ(STATUS_SUCCESS, machine.Start(other));
    EXPECT_EQ(1u, other.StartCount()) << "not passed down again";
    EXPECT_EQ(1u, Ext(other)->Worker.Running);
    late.SetStartResult(STATUS_SUCCESS);
    ASSERT_EQ(STATUS_SUCCESS, machine.Start(late));
    EXPECT_EQ(2u, late.StartCount()) << "its own START goes down as usual";
    EXPECT_EQ(1u, Ext(late)->Worker.Running);
}

// ---- Removal ---------------------------------------------------------------------

TEST_F(Pnp, QueryRemoveIsRefusedOnlyWhenTheCacheForbidsIt)
{
    for (bool allowed : {true, false}) {
        hooks = Hooks();
        hooks.mayRemoveSsd = allowed;
        Machine machine;
        Disk& disk = machine.AddDisk();
        ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
        Ext(disk)->Role = RoleSsd;
        NTSTATUS status = machine.QueryRemove(disk);
        EXPECT_EQ(allowed ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, status);
        EXPECT_EQ(allowed ? 1u : 0u, disk.Count(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE));
    }
}

// A master's cache is shut down before its REMOVE reaches the disk; the
// device goes and so does everything it owned.
TEST_F(Pnp, RemoveOfAMasterShutsTheCacheDownFirst)
{
    Machine machine;
    Disk& master = machine.AddDisk();
    Disk& plain = machine.AddDisk();
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    ULONGLONG pool = DriverPool();
    Ext(master)->Role = RoleMaster;
    PDEVICE_OBJECT filter = master.Top();
    ULONG removesSeen = 99, removing = 0;
    hooks.onShutdown = [&](PDEVICE_OBJECT device) {
        removesSeen = master.Count(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        removing = FilterExtensionOf(device)->Removing;
    };
    ULONG devices = emu::Live().devices;
    ASSERT_EQ(STATUS_SUCCESS, machine.Remove(master));
    hooks.onShutdown = nullptr;
    ASSERT_EQ(1u, hooks.shutDown.size());
    EXPECT_EQ(filter, hooks.shutDown[0]);
    EXPECT_EQ(0u, removesSeen) << "the REMOVE reaches the disk after the shutdown";
    EXPECT_EQ(1u, removing);
    EXPECT_EQ(devices - 1, emu::Live().devices);
    EXPECT_LT(DriverPool(), pool) << "the master's key path and identity are freed";
    EXPECT_TRUE(hooks.ssdsRemoved.empty());

    ASSERT_EQ(STATUS_SUCCESS, machine.Remove(plain));
    EXPECT_EQ(1u, hooks.shutDown.size()) << "a disk without a role has no cache to shut down";
    machine.Unload();
}

// A small empty map of a master, on the given SSD's filter device.
void BindEmptyMap(FilterExtension* master, PDEVICE_OBJECT ssd)
{
    CacheMapLayout layout = {};
    layout.MasterSectors = 1 << 14;
    layout.SectorShift = 9;
    layout.BlockShift = 12;
    layout.SlotCount = 16;
    layout.DataStart = 8;
    layout.DataEnd = 8 + 16 * 8;
    layout.Mode = 2;
    ASSERT_EQ(STATUS_SUCCESS, SizeCacheMap(&master->Cache.Map, &layout));
    ASSERT_EQ(STATUS_SUCCESS, InitEmptyMapWithClean(&master->Cache.Map));
    master->Cache.Map.SsdDevice = ssd;
    master->Cache.Active = 1;
    master->Cache.Persist = 1;
}

// Whatever the master's flush or save achieved (here: nothing, as after a
// surprise removal), no map may keep the removed SSD's device: the master is
// left detached, passes its requests through, and holds no tables.
TEST_F(Pnp, RemovedSsdIsUnboundFromItsMaster)
{
    for (bool surprise : {false, true}) {
        hooks = Hooks();
        Machine machine;
        Disk& master = machine.AddDisk();
        Disk& ssd = machine.AddDisk();
        ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
        // The SSD's own key path and identity go with it; nothing else may stay.
        ULONGLONG pool = DriverPool() - Ext(ssd)->KeyPath.MaximumLength - (Ext(ssd)->Identify ? 512 : 0);
        Ext(master)->Role = RoleMaster;
        Ext(ssd)->Role = RoleSsd;
        PDEVICE_OBJECT ssdFilter = ssd.Top();
        BindEmptyMap(Ext(master), ssdFilter);
        ASSERT_GT(PoolBytes, 0u);

        ASSERT_EQ(STATUS_SUCCESS, surprise ? machine.SurpriseRemove(ssd) : machine.Remove(ssd));
        ASSERT_EQ(1u, hooks.ssdsRemoved.size());
        EXPECT_EQ(ssdFilter, hooks.ssdsRemoved[0]);
        const CacheState& cache = Ext(master)->Cache;
        EXPECT_EQ(nullptr, cache.Map.SsdDevice);
        EXPECT_EQ(nullptr, cache.Map.ValidBitmap);
        EXPECT_EQ(0u, cache.Persist);
        EXPECT_EQ(1u, cache.Active) << "detached, not inactive";
        EXPECT_EQ(0u, PoolBytes);
        EXPECT_EQ(pool, DriverPool());

        std::vector<uint8_t> data(4096, 0x5A), back(4096);
        EXPECT_EQ(STATUS_SUCCESS, machine.Write(master, 0, data.data(), 4096).status);
        EXPECT_EQ(STATUS_SUCCESS, machine.Read(master, 0, back.data(), 4096).status);
        EXPECT_EQ(data, back);
    }
}

// The unbinding does not depend on the device list: when it cannot be had
// (no memory for the array, a failed enumeration) at the SSD's removal, the
// master still loses every pointer to the deleted device.
TEST_F(Pnp, SsdIsUnboundEvenWhenTheDeviceListCannotBeHad)
{
    for (Resource resource : {Resource::Enumerate, Resource::Pool}) {
        for (bool surprise : {false, true}) {
            SCOPED_TRACE(std::string(resource == Resource::Pool ? "pool" : "enumeration") +
                         (surprise ? ", surprise removal" : ", removal"));
            hooks = Hooks();
            Machine machine;
            Disk& master = machine.AddDisk();
            Disk& ssd = machine.AddDisk();
            ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
            Ext(master)->Role = RoleMaster;
            Ext(ssd)->Role = RoleSsd;
            BindEmptyMap(Ext(master), ssd.Top());

            emu::FailNth(resource, 1, -1);
            NTSTATUS status = surprise ? machine.SurpriseRemove(ssd) : machine.Remove(ssd);
            emu::ClearFailures();
            ASSERT_EQ(STATUS_SUCCESS, status);
            const CacheState& cache = Ext(master)->Cache;
            EXPECT_EQ(nullptr, cache.Map.SsdDevice);
            EXPECT_EQ(nullptr, cache.Map.ValidBitmap);
            EXPECT_EQ(0u, cache.Persist);
            EXPECT_EQ(0u, PoolBytes);

            std::vector<uint8_t> data(4096, 0xA5), back(4096);
            EXPECT_EQ(STATUS_SUCCESS, machine.Write(master, 0, data.data(), 4096).status);
            EXPECT_EQ(STATUS_SUCCESS, machine.Read(master, 0, back.data(), 4096).status);
            EXPECT_EQ(data, back);
        }
    }
}

// A master whose flush failed at its removal still holds its map; it goes with
// the device.
TEST_F(Pnp, MapStillHeldAtAMastersRemovalIsFreed)
{
    Machine machine;
    Disk& master = machine.AddDisk();
    Disk& ssd = machine.AddDisk();
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    Ext(master)->Role = RoleMaster;
    BindEmptyMap(Ext(master), ssd.Top());
    ASSERT_EQ(STATUS_SUCCESS, machine.Remove(master));
    EXPECT_EQ(0u, PoolBytes);
    ASSERT_EQ(STATUS_SUCCESS, machine.Remove(ssd));
    machine.Unload();  // leak-checked
}

// ---- Power -----------------------------------------------------------------------

TEST_F(Pnp, HibernationFlushesEveryMasterAndEndsWhenAllDisksAreBack)
{
    for (bool pending : {false, true}) {
        hooks = Hooks();
        Machine machine;
        Disk& a = machine.AddDisk();
        Disk& b = machine.AddDisk();
        ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
        Ext(a)->Role = RoleMaster;
        Ext(b)->Role = RoleMaster;
        a.SetPowerPending(pending);
        b.SetPowerPending(pending);
        ULONG powerSeenAtFlush = 99;
        hooks.onFlush = [&](PDEVICE_OBJECT) { powerSeenAtFlush = a.Count(IRP_MJ_POWER, IRP_MN_SET_POWER); };
        ULONG starts = machine.StartNextPowerIrpCount();

        ASSERT_EQ(STATUS_SUCCESS, machine.SetSystemPower(a, PowerSystemHibernate));
        EXPECT_EQ(1u, HibernateFlag);
        EXPECT_EQ(5u, Ext(a)->PowerState);
        EXPECT_EQ(2u, hooks.flushed.size()) << "every master flushed";
        EXPECT_EQ(1u, Count(hooks.flushed, a.Top()));
        EXPECT_EQ(1u, Count(hooks.flushed, b.Top()));
        EXPECT_EQ(0u, powerSeenAtFlush) << "the flush ends before the request goes down";
        ASSERT_EQ(STATUS_SUCCESS, machine.SetSystemPower(b, PowerSystemHibernate));
        EXPECT_EQ(4u, hooks.flushed.size()) << "each disk's S4 request sweeps again";

        ASSERT_EQ(STATUS_SUCCESS, machine.SetSystemPower(a, PowerSystemWorking));
        EXPECT_EQ(1u, Ext(a)->PowerState);
        EXPECT_EQ(1u, HibernateFlag) << "disk B is still at S4";
        ASSERT_EQ(STATUS_SUCCESS, machine.SetSystemPower(b, PowerSystemWorking));
        EXPECT_EQ(0u, HibernateFlag);
        EXPECT_EQ(starts + 4, machine.StartNextPowerIrpCount());
        EXPECT_EQ(2u, a.Count(IRP_MJ_POWER, IRP_MN_SET_POWER));
        hooks.onFlush = nullptr;
    }
}

TEST_F(Pnp, OtherSleepStatesAreRecordedAndPassedDown)
{
    Machine machine;
    Disk& disk = machine.AddDisk();
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    Ext(disk)->Role = RoleMaster;
    ASSERT_EQ(STATUS_SUCCESS, machine.SetSystemPower(disk, PowerSystemSleeping3));
    EXPECT_EQ(ULONG(PowerSystemSleeping3), Ext(disk)->PowerState);
    EXPECT_EQ(0u, HibernateFlag);
    EXPECT_TRUE(hooks.flushed.empty());
    EXPECT_EQ(1u, disk.Count(IRP_MJ_POWER, IRP_MN_SET_POWER));
    ASSERT_EQ(STATUS_SUCCESS, machine.SetSystemPower(disk, PowerSystemWorking));
    EXPECT_EQ(1u, Ext(disk)->PowerState);
}

// ---- Shutdown --------------------------------------------------------------------

// The first shutdown request (a disk's own, first chance) marks every disk
// removing and flushes every master before it moves on; the save of every
// master comes with the last-chance request, after every disk has had its
// own; later ones sweep nothing.
TEST_F(Pnp, FirstShutdownSweepsEveryMasterOnce)
{
    Machine machine;
    Disk& m1 = machine.AddDisk();
    Disk& ssd = machine.AddDisk();
    Disk& m2 = machine.AddDisk();
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    Ext(m1)->Role = RoleMaster;
    Ext(ssd)->Role = RoleSsd;
    Ext(m2)->Role = RoleMaster;
    std::vector<ULONG> shutdownsSeen, shutdownsAtFlush;
    bool allRemoving = true;
    hooks.onFlush = [&](PDEVICE_OBJECT) {
        shutdownsAtFlush.push_back(m1.Count(IRP_MJ_SHUTDOWN) + ssd.Count(IRP_MJ_SHUTDOWN) +
                                   m2.Count(IRP_MJ_SHUTDOWN));
    };
    hooks.onShutdown = [&](PDEVICE_OBJECT) {
        shutdownsSeen.push_back(m1.Count(IRP_MJ_SHUTDOWN) + ssd.Count(IRP_MJ_SHUTDOWN) +
                                m2.Count(IRP_MJ_SHUTDOWN));
        for (Disk* d : {&m1, &ssd, &m2})
            allRemoving = allRemoving && Ext(*d)->Removing == 1;
    };

    machine.Shutdown();
    EXPECT_EQ(PhaseShutdown, DriverPhase);
    ASSERT_EQ(2u, hooks.shutDown.size());
    EXPECT_EQ(m2.Top(), hooks.shutDown[0]) << "newest device first";
    EXPECT_EQ(m1.Top(), hooks.shutDown[1]);
    EXPECT_EQ(std::vector<ULONG>({0u, 0u}), shutdownsAtFlush) << "the flush ends before the request moves on";
    EXPECT_EQ(std::vector<PDEVICE_OBJECT>({m2.Top(), m1.Top()}), hooks.flushed);
    EXPECT_EQ(std::vector<ULONG>({3u, 3u}), shutdownsSeen) << "the save comes after every disk's request";
    EXPECT_TRUE(allRemoving);
    for (Disk* d : {&m1, &ssd, &m2})
        EXPECT_EQ(1u, d->Count(IRP_MJ_SHUTDOWN)) << "each disk gets its shutdown request";

    machine.Shutdown();
    EXPECT_EQ(2u, hooks.shutDown.size()) << "no second sweep";
    EXPECT_EQ(2u, hooks.flushed.size());
    for (Disk* d : {&m1, &ssd, &m2})
        EXPECT_EQ(2u, d->Count(IRP_MJ_SHUTDOWN));
    hooks.onShutdown = nullptr;  // the machine's power-off removes the masters
    hooks.onFlush = nullptr;
}

// A disk stack may deliver no shutdown request to the filter (ReactOS's
// partition manager above it passes none down): the control device's own
// registration still runs the sweep, once, whether the disks deliver one or not.
TEST_F(Pnp, ShutdownSweepRunsWhetherOrNotTheDiskStacksDeliverIt)
{
    for (bool disksRegistered : {false, true}) {
        SCOPED_TRACE(disksRegistered ? "disks registered" : "disks not registered");
        hooks.shutDown.clear();
        Machine machine;
        Disk& master = machine.AddDisk({.shutdownNotification = disksRegistered});
        Disk& ssd = machine.AddDisk({.shutdownNotification = disksRegistered});
        ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
        Ext(master)->Role = RoleMaster;
        Ext(ssd)->Role = RoleSsd;
        machine.Shutdown();
        EXPECT_EQ(PhaseShutdown, DriverPhase);
        EXPECT_EQ(std::vector<PDEVICE_OBJECT>({master.Top()}), hooks.shutDown);
        EXPECT_EQ(1u, Ext(master)->Removing);
        EXPECT_EQ(1u, Ext(ssd)->Removing);
        EXPECT_EQ(disksRegistered ? 1u : 0u, master.Count(IRP_MJ_SHUTDOWN));
    }
}

// ---- Device walks ----------------------------------------------------------------

// Every lookup drops the reference of every listed device, also when it stops
// at an early match, so every device can still be deleted and the driver
// unloaded.
TEST_F(Pnp, LookupsLeaveEveryReferenceAsTheyFoundIt)
{
    Machine machine;
    Disk& oldest = machine.AddDisk({.deviceNumber = 10});
    Disk& middle = machine.AddDisk({.deviceNumber = 11});
    Disk& newest = machine.AddDisk({.deviceNumber = 12});
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    Ext(oldest)->DiskId = 1;
    Ext(middle)->DiskId = 2;
    Ext(newest)->DiskId = 3;
    std::vector<PDEVICE_OBJECT> devices = {oldest.Top(), middle.Top(), newest.Top(), ControlDevice};
    std::vector<LONG> before;
    for (PDEVICE_OBJECT d : devices)
        before.push_back(emu::ReferenceCount(d));

    struct Case {
        ULONGLONG id;
        ULONG number;
        PDEVICE_OBJECT expected;
    };
    const Case cases[] = {
        {3, 12, newest.Top()},  // the first device listed
        {2, 11, middle.Top()},
        {1, 10, oldest.Top()},  // the last filter device listed
        {9, 99, nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, FindDeviceByDiskId(c.id)) << "id " << c.id;
        EXPECT_EQ(c.expected, FindDeviceByNumber(c.number)) << "number " << c.number;
        for (size_t i = 0; i < devices.size(); i++)
            EXPECT_EQ(before[i], emu::ReferenceCount(devices[i])) << "device " << i << " after id " << c.id;
    }
    EXPECT_TRUE(AllDevicesAtS0());
    Ext(middle)->DiskId = 0;
    Ext(newest)->DiskId = 0;
    EXPECT_EQ(newest.Top(), FindDeviceByDiskId(0)) << "id 0 finds the first device without an id";
    for (size_t i = 0; i < devices.size(); i++)
        EXPECT_EQ(before[i], emu::ReferenceCount(devices[i]));
}

// A walk that cannot list the devices or allocate its array finds nothing and
// does nothing.
TEST_F(Pnp, WalkFailuresFindNothingAndSweepNothing)
{
    for (Resource resource : {Resource::Enumerate, Resource::Pool}) {
        hooks = Hooks();
        Machine machine;
        Disk& disk = machine.AddDisk({.deviceNumber = 4});
        ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
        Ext(disk)->DiskId = 7;
        Ext(disk)->Role = RoleMaster;
        struct Step {
            const char* what;
            std::function<void()> run;
        };
        const Step steps[] = {
            {"FindDeviceByDiskId", [] { EXPECT_EQ(nullptr, FindDeviceByDiskId(7)); }},
            {"FindDeviceByNumber", [] { EXPECT_EQ(nullptr, FindDeviceByNumber(4)); }},
            {"AllDevicesAtS0", [] { EXPECT_FALSE(AllDevicesAtS0()); }},
            {"ShutdownAllMasters", [] { ShutdownAllMasters(); }},
            {"FlushAllMasters", [] { FlushAllMasters(); }},
        };
        for (const Step& step : steps) {
            SCOPED_TRACE(step.what);
            emu::FailNth(resource, 1);
            step.run();
            emu::ClearFailures();
        }
        EXPECT_TRUE(hooks.shutDown.empty());
        EXPECT_TRUE(hooks.flushed.empty());
        EXPECT_EQ(0u, Ext(disk)->Removing);
        EXPECT_EQ(disk.Top(), FindDeviceByDiskId(7)) << "the next walk works again";
    }
}

// A disk added between the count and the listing: the kernel lists, and
// references, as many devices as the array holds and answers that it was too
// small. The walk then finds and does nothing, and lets every device go.
TEST_F(Pnp, AListThatGrewSinceItsCountIsLetGo)
{
    Machine machine;
    Disk& older = machine.AddDisk({.deviceNumber = 4});
    Disk& newer = machine.AddDisk({.deviceNumber = 5});
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    Ext(older)->Role = RoleMaster;
    Ext(newer)->Role = RoleMaster;
    std::vector<PDEVICE_OBJECT> devices = {older.Top(), newer.Top(), ControlDevice};
    std::vector<LONG> before;
    for (PDEVICE_OBJECT d : devices)
        before.push_back(emu::ReferenceCount(d));
    ULONGLONG pool = DriverPool();

    struct Step {
        const char* what;
        std::function<void()> run;
    };
    const Step steps[] = {
        {"FindDeviceByNumber", [] { EXPECT_EQ(nullptr, FindDeviceByNumber(4)); }},
        {"AllDevicesAtS0", [] { EXPECT_FALSE(AllDevicesAtS0()); }},
        {"FlushAllMasters", [] { FlushAllMasters(); }},
        {"ShutdownAllMasters", [] { ShutdownAllMasters(); }},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        emu::UndercountNextEnumeration(1);
        step.run();
        emu::ClearFailures();
        for (size_t i = 0; i < devices.size(); i++)
            EXPECT_EQ(before[i], emu::ReferenceCount(devices[i])) << "device " << i;
        EXPECT_EQ(pool, DriverPool()) << "the array is freed";
    }
    EXPECT_TRUE(hooks.flushed.empty());
    EXPECT_TRUE(hooks.shutDown.empty());
    EXPECT_EQ(0u, Ext(older)->Removing);
    EXPECT_EQ(older.Top(), FindDeviceByNumber(4)) << "the next walk lists every device again";
}

// An S0 completion whose walk fails keeps the flag set until a later S0
// completion finds every disk back.
TEST_F(Pnp, HibernateFlagStaysWhenTheS0WalkFails)
{
    Machine machine;
    Disk& disk = machine.AddDisk();
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    ASSERT_EQ(STATUS_SUCCESS, machine.SetSystemPower(disk, PowerSystemHibernate));
    emu::FailNth(Resource::Enumerate, 1);
    ASSERT_EQ(STATUS_SUCCESS, machine.SetSystemPower(disk, PowerSystemWorking));
    emu::ClearFailures();
    EXPECT_EQ(1u, HibernateFlag);
    ASSERT_EQ(STATUS_SUCCESS, machine.SetSystemPower(disk, PowerSystemWorking));
    EXPECT_EQ(0u, HibernateFlag);
}

}  // namespace
