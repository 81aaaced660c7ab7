// The control requests' rules on the disks' configuration and caches: ids,
// roles and the deletion of a disk's configuration, pairing with its
// refusals and the rollback of a failed write, the SSD's area, the pair of a
// cache in use, start and stop with the state and usage they report, requests
// and a disk's removal one after the other, and the registry: written only when a value changes, and always what the next boot
// loads.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "controlrig.h"
#include "cachesetup.h"
#include "eventually.h"

using namespace control_test;

namespace {

const ULONGLONG Ssd2Id = 0x2222222222222222ull;
const ULONG Ssd2Number = 3;
const DiskSpec Ssd2Spec = {"CTLSSDTWO", "S2", 128ull << 20, 512};

// Ids by device number and roles, master and SSD, no area or pairing yet.
void GiveIdsAndRoles(ControlRig& rig)
{
    ControlClient& c = rig.client();
    ASSERT_EQ(STATUS_SUCCESS, c.SetDiskId(MasterNumber, MasterId));
    ASSERT_EQ(STATUS_SUCCESS, c.SetDiskId(SsdNumber, SsdId));
    ASSERT_EQ(STATUS_SUCCESS, c.SetRole(MasterId, RoleMaster));
    ASSERT_EQ(STATUS_SUCCESS, c.SetRole(SsdId, RoleSsd));
}

// ---- Ids --------------------------------------------------------------------------

TEST(ControlIds, IdsAreUniqueGivenOnceAndFoundByNumber)
{
    ControlRig rig;
    rig.Boot();
    ControlClient& c = rig.client();
    ASSERT_EQ(STATUS_SUCCESS, c.SetDiskId(MasterNumber, MasterId));
    reg::ClearCounts();

    struct Case {
        const char* name;
        std::function<NTSTATUS(ControlClient&)> send;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"id 0", [](ControlClient& c) { return c.SetDiskId(SsdNumber, 0); }, STATUS_INVALID_PARAMETER},
        {"another disk's id", [](ControlClient& c) { return c.SetDiskId(SsdNumber, MasterId); },
         STATUS_INVALID_DEVICE_REQUEST},
        {"a disk that has an id", [](ControlClient& c) { return c.SetDiskId(MasterNumber, 0x77); },
         STATUS_INVALID_DEVICE_REQUEST},
        {"no such number", [](ControlClient& c) { return c.SetDiskId(9, 0x77); },
         STATUS_INVALID_DEVICE_REQUEST},
        // Every disk's number was read, so none answers to "not read yet".
        {"set id by the unread number", [](ControlClient& c) { return c.SetDiskId(0xFFFFFFFF, 0x77); },
         STATUS_INVALID_DEVICE_REQUEST},
        {"get id by the unread number",
         [](ControlClient& c) {
             ULONGLONG id;
             return c.GetDiskId(0xFFFFFFFF, &id);
         },
         STATUS_INVALID_PARAMETER},
        {"get id, no such number",
         [](ControlClient& c) {
             ULONGLONG id;
             return c.GetDiskId(9, &id);
         },
         STATUS_INVALID_DEVICE_REQUEST},
        {"stats by the unread number",
         [](ControlClient& c) {
             DiskStatsRecord stats;
             return c.GetDiskStats(0xFFFFFFFF, &stats);
         },
         STATUS_INVALID_DEVICE_REQUEST},
        {"identify, no such number",
         [](ControlClient& c) {
             std::array<UCHAR, 512> data;
             return c.GetIdentify(9, &data);
         },
         STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Case& k : cases)
        EXPECT_EQ(k.status, k.send(c)) << k.name;
    EXPECT_EQ(0u, reg::SetValueCount());
    EXPECT_EQ(0u, rig.ext(1)->DiskId);

    ULONGLONG id = 99;
    ASSERT_EQ(STATUS_SUCCESS, c.GetDiskId(SsdNumber, &id));
    EXPECT_EQ(0u, id) << "a disk without an id answers 0";

    // Id 0 names a disk that has none, then none at all.
    ASSERT_EQ(STATUS_SUCCESS, c.SetDiskId(SpareNumber, SpareId));
    rig.ext(1)->Role = 7;
    UCHAR role = 0;
    ASSERT_EQ(STATUS_SUCCESS, c.GetRole(0, &role));
    EXPECT_EQ(7, role);
    rig.ext(1)->Role = RoleNone;
    ASSERT_EQ(STATUS_SUCCESS, c.SetDiskId(SsdNumber, SsdId));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.GetRole(0, &role));

    // A disk added while the machine runs and not started yet has no number:
    // the requests by number other than the id query find it by 0xFFFFFFFF.
    emu::DiskConfig late;
    late.model = "CTLLATE";
    late.serial = "L1";
    emu::Disk& lateDisk = rig.machine.AddDisk(late);
    ASSERT_EQ(STATUS_SUCCESS, rig.machine.AddDevice(lateDisk));
    DiskStatsRecord stats;
    EXPECT_EQ(STATUS_SUCCESS, c.GetDiskStats(0xFFFFFFFF, &stats));
    EXPECT_EQ(STATUS_SUCCESS, c.SetDiskId(0xFFFFFFFF, 0x77));
    EXPECT_EQ(0x77u, FilterExtensionOf(lateDisk.Top())->DiskId);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, c.GetDiskId(0xFFFFFFFF, &id));
}

// ---- Roles and deletion -------------------------------------------------------------

TEST(ControlRoles, AnyRoleIsStoredAndOnlyADiskWithoutOneIsDeleted)
{
    ControlRig rig;
    rig.spare().SetIdentifySupported(false);  // no key path
    rig.Boot();
    ControlClient& c = rig.client();
    GiveIdsAndRoles(rig);

    // 1. Any role value is stored; values other than 1 and 2 act as none.
    ASSERT_EQ(STATUS_SUCCESS, c.SetRole(MasterId, 7));
    UCHAR role = 0;
    ASSERT_EQ(STATUS_SUCCESS, c.GetRole(MasterId, &role));
    EXPECT_EQ(7, role);
    EXPECT_EQ(7u, rig.Dword(0, u"ConfigType"));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.GetRole(0x4242, &role));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.SetRole(0x4242, 1));

    // 2. A disk with any role other than 0 keeps its configuration.
    for (UCHAR r : {1, 2, 7}) {
        ASSERT_EQ(STATUS_SUCCESS, c.SetRole(MasterId, r));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, c.DeleteDiskConfig(MasterId)) << int(r);
        EXPECT_TRUE(reg::KeyExists(rig.KeyPath(0)));
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, c.DeleteDiskConfig(SsdId));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.DeleteDiskConfig(0x4242));

    // 3. With role 0 its key goes and every value in memory is cleared.
    rig.ext(0)->TimeStamp = 0x55;
    rig.ext(0)->Master.SsdCacheDiskId = SsdId;
    rig.ext(0)->Master.SsdCacheMinBoot = 9;
    ASSERT_EQ(STATUS_SUCCESS, c.SetRole(MasterId, 0));
    ASSERT_EQ(STATUS_SUCCESS, c.DeleteDiskConfig(MasterId));
    EXPECT_FALSE(reg::KeyExists(rig.KeyPath(0)));
    EXPECT_EQ(0u, rig.ext(0)->DiskId);
    EXPECT_EQ(0u, rig.ext(0)->TimeStamp);
    EXPECT_EQ(0u, rig.ext(0)->Master.SsdCacheDiskId);
    EXPECT_EQ(0u, rig.ext(0)->Master.SsdCacheMinBoot);
    ULONGLONG id = 1;
    ASSERT_EQ(STATUS_SUCCESS, c.GetDiskId(MasterNumber, &id));
    EXPECT_EQ(0u, id);
    ASSERT_EQ(STATUS_SUCCESS, c.SetDiskId(MasterNumber, MasterId)) << "a deleted disk takes a new id";

    // 4. A disk without a key path takes an id (nothing stored) but its
    //    configuration cannot be deleted.
    ASSERT_EQ(STATUS_SUCCESS, c.SetDiskId(SpareNumber, SpareId));
    EXPECT_EQ(SpareId, rig.ext(2)->DiskId);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.DeleteDiskConfig(SpareId));
    EXPECT_EQ(SpareId, rig.ext(2)->DiskId);
}

// ---- A pair whose cache is in use ----------------------------------------------------

// The cache states in which a master's configuration must stay: an active
// cache with its map on the SSD, and one whose SSD went away.
enum class Busy { Attached, Detached };

void MakeBusy(ControlRig& rig, Busy state)
{
    if (state == Busy::Attached) {
        ASSERT_EQ(STATUS_SUCCESS,
                  cache_test::ActivateCache(rig.master(), rig.ssd(), cache_test::CacheShape()));
    } else {
        rig.ext(0)->Cache.Active = 1;  // no map: detached
    }
}

// A master's role, its pairing and its SSD's role and area stay while its
// cache is in use: reads would bypass dirty SSD data, shutdown would skip the
// master, and an SSD no longer known as the master's could be removed under
// the map. Setting a value a disk already has is still accepted.
TEST(ControlBusyPair, ConfigurationOfACacheInUseStays)
{
    struct Change {
        const char* name;
        std::function<NTSTATUS(ControlClient&)> send;
        bool refusedWhenDetached;  // detached, the map no longer uses the SSD
    };
    const Change changes[] = {
        {"master role 0", [](ControlClient& c) { return c.SetRole(MasterId, 0); }, true},
        {"master role 2", [](ControlClient& c) { return c.SetRole(MasterId, 2); }, true},
        {"SSD role 0", [](ControlClient& c) { return c.SetRole(SsdId, 0); }, false},
        {"unpair", [](ControlClient& c) { return c.Unpair(MasterId); }, false},
        {"pair again", [](ControlClient& c) { return c.Pair(MasterId, SsdId, 1); }, true},
        {"new area", [](ControlClient& c) { return c.SetSsdArea(SsdId, 2ull << 20, 66ull << 20); }, false},
        {"clear area", [](ControlClient& c) { return c.ClearSsdArea(SsdId); }, false},
    };
    for (Busy state : {Busy::Attached, Busy::Detached}) {
        for (const Change& change : changes) {
            SCOPED_TRACE(std::string(state == Busy::Attached ? "attached: " : "detached: ") + change.name);
            ControlRig rig;
            rig.Boot();
            rig.ConfigurePair();
            MakeBusy(rig, state);
            const std::vector<std::string> before = Snapshot(rig);
            reg::ClearCounts();
            NTSTATUS status = change.send(rig.client());
            if (state == Busy::Attached || change.refusedWhenDetached) {
                EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, status);
                EXPECT_EQ(0u, reg::SetValueCount());
                EXPECT_EQ(before, Snapshot(rig));
            } else {
                EXPECT_EQ(STATUS_SUCCESS, status) << "no map uses the SSD";
            }
            EXPECT_EQ(STATUS_SUCCESS, rig.client().SetRole(MasterId, RoleMaster)) << "the role it has";
            EXPECT_EQ(STATUS_SUCCESS, rig.client().SetRole(SsdId, RoleSsd));
        }
    }
}

// ---- Pairing ----------------------------------------------------------------------

TEST(ControlPairing, RefusedPairingsWriteNothing)
{
    struct Case {
        const char* name;
        std::function<void(ControlRig&)> prepare;
        ULONGLONG master, ssd;
    };
    const Case cases[] = {
        {"master set to start", [](ControlRig& r) { r.ext(0)->Master.MasterStart = 1; }, MasterId, SsdId},
        // As after a stop while the drain still runs: MasterStart is already 0.
        {"master's cache still active", [](ControlRig& r) { r.ext(0)->Cache.Active = 1; }, MasterId, SsdId},
        {"SSD names a master", [](ControlRig& r) { r.ext(1)->Area.MasterDiskId = 0x42; }, MasterId, SsdId},
        {"SSD with 4096-byte sectors",
         [](ControlRig& r) {
             ASSERT_EQ(STATUS_SUCCESS, r.client().SetDiskId(SpareNumber, SpareId));
             ASSERT_EQ(STATUS_SUCCESS, r.client().SetRole(SpareId, RoleSsd));
         },
         MasterId, SpareId},
        {"sector sizes both unknown",
         [](ControlRig& r) {
             r.ext(0)->SectorShift = 0;
             r.ext(1)->SectorShift = 0;
         },
         MasterId, SsdId},
        {"master is no master", nullptr, SsdId, SsdId},
        {"SSD is no SSD", nullptr, MasterId, MasterId},
        {"unknown master", nullptr, 0x4242, SsdId},
        {"unknown SSD", nullptr, MasterId, 0x4242},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ControlRig rig;
        rig.Boot();
        GiveIdsAndRoles(rig);
        const ULONG shifts[] = {rig.ext(0)->SectorShift, rig.ext(1)->SectorShift};
        if (k.prepare)
            k.prepare(rig);
        const std::vector<std::string> before = Snapshot(rig);
        reg::ClearCounts();
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, rig.client().Pair(k.master, k.ssd, 2));
        EXPECT_EQ(0u, reg::SetValueCount());
        EXPECT_EQ(before, Snapshot(rig));
        rig.ext(0)->SectorShift = shifts[0];
        rig.ext(1)->SectorShift = shifts[1];
        rig.ext(0)->Cache.Active = 0;
    }
}

// A master paired before with another SSD is paired anew; when one of the
// three writes fails, the values written before it are put back, so the
// registry keeps the pairing memory keeps.
TEST(ControlPairing, AFailedWritePutsBackTheEarlierOnes)
{
    for (ULONG failing : {1u, 2u, 3u}) {
        SCOPED_TRACE(failing);
        ControlRig rig({MasterSpec, SsdSpec, SpareSpec, Ssd2Spec});
        rig.Boot();
        GiveIdsAndRoles(rig);
        ControlClient& c = rig.client();
        ASSERT_EQ(STATUS_SUCCESS, c.SetDiskId(Ssd2Number, Ssd2Id));
        ASSERT_EQ(STATUS_SUCCESS, c.SetRole(Ssd2Id, RoleSsd));
        ASSERT_EQ(STATUS_SUCCESS, c.Pair(MasterId, Ssd2Id, 1));
        const std::vector<std::string> before = Snapshot(rig);

        reg::FailSetValue(failing, STATUS_ACCESS_DENIED);
        EXPECT_EQ(STATUS_ACCESS_DENIED, c.Pair(MasterId, SsdId, 2));
        EXPECT_EQ(before, Snapshot(rig)) << "memory unchanged";
        EXPECT_EQ(Ssd2Id, rig.Qword(0, u"SsdCacheDiskId"));
        EXPECT_EQ(1u, rig.Dword(0, u"SsdCacheMode"));
        EXPECT_EQ(failing == 1 ? std::optional<ULONG64>() : 0u, rig.Qword(1, u"MasterDiskId"));

        ASSERT_EQ(STATUS_SUCCESS, c.Pair(MasterId, SsdId, 2)) << "nothing left half done";
        EXPECT_EQ(SsdId, rig.Qword(0, u"SsdCacheDiskId"));
        EXPECT_EQ(MasterId, rig.Qword(1, u"MasterDiskId"));
    }
}

TEST(ControlPairing, UnpairingClearsBothSidesOrNeither)
{
    ControlRig rig;
    rig.Boot();
    ControlClient& c = rig.client();
    GiveIdsAndRoles(rig);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.Unpair(MasterId)) << "not paired";
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.Unpair(SsdId)) << "not a master";
    ASSERT_EQ(STATUS_SUCCESS, c.Pair(MasterId, SsdId, 2));

    // The master's value is written first; when the SSD's fails, it is put back.
    const std::vector<std::string> paired = Snapshot(rig);
    reg::FailSetValue(2, STATUS_ACCESS_DENIED);
    EXPECT_EQ(STATUS_ACCESS_DENIED, c.Unpair(MasterId));
    EXPECT_EQ(paired, Snapshot(rig));
    EXPECT_EQ(SsdId, rig.Qword(0, u"SsdCacheDiskId"));
    EXPECT_EQ(MasterId, rig.Qword(1, u"MasterDiskId"));

    // The SSD must still be an SSD.
    rig.ext(1)->Role = RoleNone;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.Unpair(MasterId));
    rig.ext(1)->Role = RoleSsd;

    ASSERT_EQ(STATUS_SUCCESS, c.Unpair(MasterId));
    control_client::MasterConfigAnswer config;
    ASSERT_EQ(STATUS_SUCCESS, c.GetMasterConfig(MasterId, &config));
    EXPECT_EQ(0u, config.ssdCacheDiskId);
    control_client::SsdAreaAnswer area;
    ASSERT_EQ(STATUS_SUCCESS, c.GetSsdArea(SsdId, &area));
    EXPECT_EQ(0u, area.masterDiskId);
    EXPECT_EQ(0u, rig.Qword(0, u"SsdCacheDiskId"));
    EXPECT_EQ(0u, rig.Qword(1, u"MasterDiskId"));
    ASSERT_EQ(STATUS_SUCCESS, c.Pair(MasterId, SsdId, 1)) << "and may be paired again";
}

// ---- The SSD's area ------------------------------------------------------------------

TEST(ControlArea, AnAreaIsWholeSectorsInsideTheSsd)
{
    const ULONGLONG MiB = 1ull << 20;
    struct Case {
        const char* name;
        ULONGLONG ssd;
        ULONGLONG start, end;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"1 to 65 MiB", SsdId, MiB, 65 * MiB, STATUS_SUCCESS},
        {"to the last byte", SsdId, 0, SsdBytes, STATUS_SUCCESS},
        {"4096-byte sectors", SpareId, 4096, 8192, STATUS_SUCCESS},
        {"start equal to end", SsdId, MiB, MiB, STATUS_INVALID_PARAMETER},
        {"start above end", SsdId, 2 * MiB, MiB, STATUS_INVALID_PARAMETER},
        {"start not below end, before the lookup", 0x4242, MiB, MiB, STATUS_INVALID_PARAMETER},
        {"start within a sector", SsdId, MiB + 1, 65 * MiB, STATUS_INVALID_PARAMETER},
        {"end within a sector", SsdId, MiB, 65 * MiB - 256, STATUS_INVALID_PARAMETER},
        {"start within a 4096-byte sector", SpareId, 512, 8192, STATUS_INVALID_PARAMETER},
        {"end past the disk", SsdId, MiB, SsdBytes + 512, STATUS_INVALID_PARAMETER},
        {"end far past the disk", SsdId, MiB, ~0ull - 511, STATUS_INVALID_PARAMETER},
        {"unknown SSD", 0x4242, MiB, 2 * MiB, STATUS_INVALID_DEVICE_REQUEST},
        {"a master", MasterId, MiB, 2 * MiB, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ControlRig rig;
        rig.Boot();
        GiveIdsAndRoles(rig);
        ASSERT_EQ(STATUS_SUCCESS, rig.client().SetDiskId(SpareNumber, SpareId));
        ASSERT_EQ(STATUS_SUCCESS, rig.client().SetRole(SpareId, RoleSsd));
        const std::vector<std::string> before = Snapshot(rig);
        reg::ClearCounts();
        EXPECT_EQ(k.status, rig.client().SetSsdArea(k.ssd, k.start, k.end));
        if (k.status != STATUS_SUCCESS) {
            EXPECT_EQ(0u, reg::SetValueCount());
            EXPECT_EQ(before, Snapshot(rig));
            continue;
        }
        control_client::SsdAreaAnswer area;
        ASSERT_EQ(STATUS_SUCCESS, rig.client().GetSsdArea(k.ssd, &area));
        EXPECT_EQ(k.start, area.start);
        EXPECT_EQ(k.end, area.end);
        size_t disk = k.ssd == SsdId ? 1 : 2;
        EXPECT_EQ(k.start, rig.Qword(disk, u"SsdCacheStart"));
        EXPECT_EQ(k.end, rig.Qword(disk, u"SsdCacheEnd"));
    }

    // An SSD whose sector size is not known takes no area.
    ControlRig rig;
    rig.Boot();
    GiveIdsAndRoles(rig);
    rig.ext(1)->SectorShift = 0;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, rig.client().SetSsdArea(SsdId, MiB, 2 * MiB));
    rig.ext(1)->SectorShift = 9;
}

// The two values of an area change together or not at all; clearing writes
// the end first, and a start that could not be cleared stays in memory as it
// stays in the registry.
TEST(ControlArea, FailedWritesLeaveAWholeArea)
{
    const ULONGLONG MiB = 1ull << 20;
    struct Case {
        const char* name;
        bool clear;
        ULONG failing;
        NTSTATUS status;
        ULONGLONG start, end;  // then in memory and in the registry
    };
    const Case cases[] = {
        {"set, start fails", false, 1, STATUS_ACCESS_DENIED, MiB, 65 * MiB},
        {"set, end fails", false, 2, STATUS_ACCESS_DENIED, MiB, 65 * MiB},
        {"clear, end fails", true, 1, STATUS_ACCESS_DENIED, MiB, 65 * MiB},
        {"clear, start fails", true, 2, STATUS_SUCCESS, MiB, 0},
        {"clear", true, 0, STATUS_SUCCESS, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ControlRig rig;
        rig.Boot();
        GiveIdsAndRoles(rig);
        ASSERT_EQ(STATUS_SUCCESS, rig.client().SetSsdArea(SsdId, MiB, 65 * MiB));
        if (k.failing)
            reg::FailSetValue(k.failing, STATUS_ACCESS_DENIED);
        NTSTATUS status =
            k.clear ? rig.client().ClearSsdArea(SsdId) : rig.client().SetSsdArea(SsdId, 2 * MiB, 66 * MiB);
        EXPECT_EQ(k.status, status);
        control_client::SsdAreaAnswer area;
        ASSERT_EQ(STATUS_SUCCESS, rig.client().GetSsdArea(SsdId, &area));
        EXPECT_EQ(k.start, area.start);
        EXPECT_EQ(k.end, area.end);
        EXPECT_EQ(k.start, rig.Qword(1, u"SsdCacheStart"));
        EXPECT_EQ(k.end, rig.Qword(1, u"SsdCacheEnd"));
    }
}

// ---- Start, stop, state and usage ----------------------------------------------------

TEST(ControlCache, StartStopStateAndUsage)
{
    ControlRig rig;
    rig.Boot();
    GiveIdsAndRoles(rig);
    ControlClient& c = rig.client();

    // 1. An unpaired master: START succeeds and changes nothing at all.
    const std::vector<std::string> before = Snapshot(rig);
    EXPECT_EQ(STATUS_SUCCESS, c.Start(MasterId, 12, 100, 2));
    EXPECT_EQ(before, Snapshot(rig));
    control_client::StateAnswer state;
    ASSERT_EQ(STATUS_SUCCESS, c.GetState(MasterId, &state));
    EXPECT_EQ(0, state.active);
    EXPECT_EQ(0u, state.blockBytes);
    EXPECT_EQ(0u, state.slotCount);

    // 2. Only a master answers these.
    control_client::UsageAnswer usage;
    control_client::MasterConfigAnswer config;
    for (ULONGLONG id : {SsdId, (ULONGLONG)0x4242}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.Start(id, 12, 0, 1));
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.Stop(id));
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.GetState(id, &state));
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.GetUsage(id, &usage));
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.GetMasterConfig(id, &config));
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.SaveMasterConfig(id));
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.SetOptions(id, 1, 1));
    }
    control_client::SsdAreaAnswer area;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.GetSsdArea(MasterId, &area));

    // 3. STOP of an inactive cache only clears MasterStart.
    rig.ext(0)->Master.MasterStart = 1;
    EXPECT_EQ(STATUS_SUCCESS, c.Stop(MasterId));
    EXPECT_EQ(before, Snapshot(rig));

    // 4. A detached cache: active, nothing cached, no capacity.
    rig.ext(0)->Cache.Active = 1;
    ASSERT_EQ(STATUS_SUCCESS, c.GetState(MasterId, &state));
    EXPECT_EQ(1, state.active);
    EXPECT_EQ(0u, state.blockBytes);
    EXPECT_EQ(0u, state.slotCount);
    usage.capacityBytes = 1;
    ASSERT_EQ(STATUS_SUCCESS, c.GetUsage(MasterId, &usage));
    EXPECT_EQ(0u, usage.cachedBytes);
    EXPECT_EQ(0u, usage.capacityBytes);
    EXPECT_EQ(0u, usage.bootBytes);
    EXPECT_EQ(0u, usage.otherBytes);
    rig.ext(0)->Cache.Active = 0;

    // 5. Options are kept in memory only, as given.
    reg::ClearCounts();
    ASSERT_EQ(STATUS_SUCCESS, c.SetOptions(MasterId, 1, 0x80));
    EXPECT_EQ(1u, rig.ext(0)->Cache.Persist);
    EXPECT_EQ(0x80u, rig.ext(0)->Cache.IdleWriteBack);
    EXPECT_EQ(0u, reg::SetValueCount());
}

// A paired master started through the control device: its state and usage,
// the configuration that stays while its cache runs and while a stop drains
// it, and the end of the drain.
TEST(ControlCache, AStartedCacheRunsUntilItsDrainEnds)
{
    ControlRig rig({MasterSpec, SsdSpec, SpareSpec, Ssd2Spec});
    rig.Boot();
    rig.ConfigurePair(2);  // write-back
    ControlClient& c = rig.client();
    ASSERT_EQ(STATUS_SUCCESS, c.SetDiskId(Ssd2Number, Ssd2Id));
    ASSERT_EQ(STATUS_SUCCESS, c.SetRole(Ssd2Id, RoleSsd));

    // 1. The start: 4 KiB blocks, writes allocate.
    ASSERT_EQ(STATUS_SUCCESS, c.Start(MasterId, 12, 0, 3));
    control_client::StateAnswer state;
    ASSERT_EQ(STATUS_SUCCESS, c.GetState(MasterId, &state));
    EXPECT_EQ(1, state.active);
    EXPECT_EQ(4096u, state.blockBytes);
    EXPECT_GT(state.slotCount, 0u);
    EXPECT_LE(state.slotCount, (64u << 20) / 4096) << "inside the 64 MiB area";
    control_client::UsageAnswer usage;
    ASSERT_EQ(STATUS_SUCCESS, c.GetUsage(MasterId, &usage));
    EXPECT_EQ(0u, usage.cachedBytes);
    EXPECT_EQ((ULONGLONG)state.slotCount * 4096, usage.capacityBytes);
    control_client::MasterConfigAnswer config;
    ASSERT_EQ(STATUS_SUCCESS, c.GetMasterConfig(MasterId, &config));
    EXPECT_EQ(1, config.masterStart);
    EXPECT_FALSE(rig.Dword(0, u"MasterStart").has_value()) << "kept in memory until saved";

    // 2. Dirty data on the SSD; the SSD then holds its completions, so the
    //    drain that a stop begins cannot end.
    std::vector<uint8_t> data(64 << 10, 0x5A);
    ASSERT_EQ(STATUS_SUCCESS, rig.machine.Write(rig.master(), 0, data.data(), (ULONG)data.size()).status);
    rig.machine.WaitUntilQuiet();
    ASSERT_EQ(STATUS_SUCCESS, c.GetUsage(MasterId, &usage));
    EXPECT_EQ(64u << 10, usage.cachedBytes);
    rig.ssd().SetCompletion(emu::CompletionMode::Held);
    ASSERT_EQ(STATUS_SUCCESS, c.Stop(MasterId));
    rig.machine.WaitUntilQuiet();
    ASSERT_EQ(STATUS_SUCCESS, c.GetState(MasterId, &state));
    EXPECT_EQ(1, state.active) << "draining";
    ASSERT_EQ(STATUS_SUCCESS, c.GetMasterConfig(MasterId, &config));
    EXPECT_EQ(0, config.masterStart);

    // 3. While the drain runs, the master's pairing and role and the SSD's
    //    area stay, although MasterStart is already 0.
    reg::ClearCounts();
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.Pair(MasterId, Ssd2Id, 1));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.Unpair(MasterId));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.SetRole(MasterId, RoleNone));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.SetRole(SsdId, RoleNone));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, c.ClearSsdArea(SsdId));
    EXPECT_EQ(0u, reg::SetValueCount());

    // 4. Once the SSD answers, the drain ends: the cache is inactive, the
    //    data on the master, and the master may be paired anew.
    rig.ssd().SetCompletion(emu::CompletionMode::Inline);
    rig.ssd().ReleaseHeld();
    for (int tick = 0; tick < 1000 && state.active; tick++) {
        rig.machine.AdvanceMs(100);  // the worker's passes
        ASSERT_EQ(STATUS_SUCCESS, c.GetState(MasterId, &state));
    }
    EXPECT_EQ(0, state.active);
    EXPECT_EQ(0u, state.blockBytes);
    EXPECT_EQ(0u, state.slotCount);
    EXPECT_EQ(data, rig.master().Bytes(0, data.size()));
    EXPECT_EQ(STATUS_SUCCESS, c.Unpair(MasterId));
    EXPECT_EQ(STATUS_SUCCESS, c.Pair(MasterId, Ssd2Id, 1));
}

// A block shift that gives no usable layout starts nothing, also after an
// earlier cache of the master has ended (its shift is not reused); the
// settings the request carried stay stored.
TEST(ControlCache, AStartWithAnUnusableBlockShiftStartsNothing)
{
    for (bool earlierCache : {false, true})
        for (ULONG shift : {0u, 9u, 11u, 31u, 32u, 200u}) {
            SCOPED_TRACE(testing::Message()
                         << "shift " << shift << (earlierCache ? ", after an earlier cache" : ""));
            ControlRig rig;
            rig.Boot();
            rig.ConfigurePair(1);
            control_client::ControlClient& c = rig.client();
            if (earlierCache) {
                ASSERT_EQ(STATUS_SUCCESS, c.Start(MasterId, 12, 0, 1));
                ASSERT_EQ(STATUS_SUCCESS, c.Stop(MasterId));
                for (int tick = 0; tick < 1000 && rig.ext(0)->Cache.Active; tick++)
                    rig.machine.AdvanceMs(100);  // the worker's drain
                ASSERT_EQ(0u, rig.ext(0)->Cache.Active);
            }
            EXPECT_NE(STATUS_SUCCESS, c.Start(MasterId, shift, 5, 2));
            control_client::StateAnswer state;
            ASSERT_EQ(STATUS_SUCCESS, rig.client().GetState(MasterId, &state));
            EXPECT_EQ(0, state.active);
            EXPECT_EQ(1u, rig.ext(0)->Master.MasterStart);
            EXPECT_EQ(5u, rig.ext(0)->Master.SsdCacheMinBoot);
            EXPECT_EQ(2, rig.ext(0)->Master.SsdCacheWriteMode);
        }
}

// Requests from two clients run one after the other: an unpairing sent while
// a start waits for its write to the SSD runs only once that start has ended,
// and then finds the SSD in use.
TEST(ControlCache, ARequestWaitsForTheOneRunning)
{
    DiskSpec slowSsd = SsdSpec;
    slowSsd.writeMicroseconds = 200000;
    ControlRig rig({MasterSpec, slowSsd, SpareSpec});
    rig.Boot();
    rig.ConfigurePair(1);
    ControlClient second(rig.machine);
    ASSERT_EQ(STATUS_SUCCESS, second.OpenStatus());

    NTSTATUS started = STATUS_PENDING, unpaired = STATUS_PENDING;
    ULONG activeWhenUnpaired = 0;
    std::thread starter([&] { started = rig.client().Start(MasterId, 12, 0, 1); });
    // The start has stored its settings, so it holds the lock and goes on to
    // write to the SSD.
    EXPECT_TRUE(Eventually([&] { return rig.ext(0)->Master.MasterStart == 1; }));
    std::thread unpairer([&] {
        unpaired = second.Unpair(MasterId);
        activeWhenUnpaired = rig.ext(0)->Cache.Active;
    });
    starter.join();
    unpairer.join();
    EXPECT_EQ(1u, activeWhenUnpaired) << "the start had ended";
    EXPECT_EQ(STATUS_SUCCESS, started);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, unpaired);
    EXPECT_EQ(SsdId, rig.ext(0)->Master.SsdCacheDiskId);
    EXPECT_EQ(MasterId, rig.ext(1)->Area.MasterDiskId);
}

// A disk removed while a request uses it goes once that request has ended:
// the id's registry write starts the removal, and the id is then stored in the
// disk's memory.
TEST(ControlCache, ADiskGoesOnlyOnceTheRequestUsingItHasEnded)
{
    ControlRig rig;
    rig.Boot();
    std::atomic<bool> removed(false);
    bool removedDuringRequest = true;
    NTSTATUS removal = STATUS_PENDING;
    std::thread remover;
    emu::reg::BeforeNextSetValue([&] {
        remover = std::thread([&] {
            removal = rig.machine.Remove(rig.spare());
            removed = true;
        });
        // Ample time for a removal that does not wait to end.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        removedDuringRequest = removed;
    });
    EXPECT_EQ(STATUS_SUCCESS, rig.client().SetDiskId(SpareNumber, SpareId));
    remover.join();
    EXPECT_FALSE(removedDuringRequest);
    EXPECT_EQ(STATUS_SUCCESS, removal);
    ULONGLONG id = 0;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, rig.client().GetDiskId(SpareNumber, &id)) << "the disk is gone";
}

// ---- Registry ----------------------------------------------------------------------

// A request that stores what is already stored writes nothing.
TEST(ControlRegistry, AValueIsWrittenOnlyWhenItChanges)
{
    ControlRig rig;
    rig.Boot();
    rig.ConfigurePair();
    rig.ext(0)->TimeStamp = 0x01D9000000000001ull;
    rig.ext(0)->Master.SsdCacheMinBoot = 64;
    struct Case {
        const char* name;
        std::function<NTSTATUS(ControlClient&)> send;
        ULONG firstWrites;
    };
    const Case cases[] = {
        {"role", [](ControlClient& c) { return c.SetRole(MasterId, RoleMaster); }, 0},
        {"area", [](ControlClient& c) { return c.SetSsdArea(SsdId, 1ull << 20, 65ull << 20); }, 0},
        {"stamp", [](ControlClient& c) { return c.SaveTimestamp(MasterId); }, 1},
        {"master config", [](ControlClient& c) { return c.SaveMasterConfig(MasterId); }, 3},
        {"clear area", [](ControlClient& c) { return c.ClearSsdArea(SsdId); }, 2},
        {"unpair", [](ControlClient& c) { return c.Unpair(MasterId); }, 2},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        reg::ClearCounts();
        ASSERT_EQ(STATUS_SUCCESS, k.send(rig.client()));
        EXPECT_EQ(k.firstWrites, reg::SetValueCount());
        reg::ClearCounts();
        if (std::string(k.name) != "unpair") {
            ASSERT_EQ(STATUS_SUCCESS, k.send(rig.client()));
            EXPECT_EQ(0u, reg::SetValueCount()) << "sent again";
        }
    }
}

// What a request leaves in memory is what the next boot loads: the values of
// a disk's role (a master's pairing and settings, an SSD's area), its id, its
// role (any value other than 1 and 2 loads as none) and its stamp.
std::vector<std::string> Persisted(ControlRig& rig)
{
    std::vector<std::string> disks;
    for (size_t i = 0; i < rig.DiskCount(); i++) {
        const FilterExtension* e = rig.ext(i);
        UCHAR role = e->Role == RoleMaster || e->Role == RoleSsd ? e->Role : (UCHAR)RoleNone;
        char text[300];
        int n = snprintf(text, sizeof text, "id %llx role %u stamp %llx", (unsigned long long)e->DiskId, role,
                         (unsigned long long)e->TimeStamp);
        if (role == RoleMaster)
            snprintf(text + n, sizeof text - n, " start %u ssd %llx mode %u boot %u write %u",
                     e->Master.MasterStart, (unsigned long long)e->Master.SsdCacheDiskId,
                     e->Master.SsdCacheMode, e->Master.SsdCacheMinBoot, e->Master.SsdCacheWriteMode);
        if (role == RoleSsd)
            snprintf(text + n, sizeof text - n, " area %llx-%llx master %llx",
                     (unsigned long long)e->Area.SsdCacheStart, (unsigned long long)e->Area.SsdCacheEnd,
                     (unsigned long long)e->Area.MasterDiskId);
        disks.push_back(text);
    }
    return disks;
}

TEST(ControlRegistry, MemoryIsWhatTheNextBootLoads)
{
    const ULONGLONG MiB = 1ull << 20;
    struct Step {
        const char* name;
        ULONG failingWrite;  // 0: none
        std::function<NTSTATUS(ControlRig&)> run;
        NTSTATUS status;
    };
    const Step steps[] = {
        {"ids", 0,
         [](ControlRig& r) {
             NTSTATUS s = r.client().SetDiskId(MasterNumber, MasterId);
             return NT_SUCCESS(s) ? r.client().SetDiskId(SsdNumber, SsdId) : s;
         },
         STATUS_SUCCESS},
        {"master role", 0, [](ControlRig& r) { return r.client().SetRole(MasterId, RoleMaster); },
         STATUS_SUCCESS},
        {"SSD role", 0, [](ControlRig& r) { return r.client().SetRole(SsdId, RoleSsd); }, STATUS_SUCCESS},
        {"area", 0, [&](ControlRig& r) { return r.client().SetSsdArea(SsdId, MiB, 65 * MiB); },
         STATUS_SUCCESS},
        {"area, end fails", 2, [&](ControlRig& r) { return r.client().SetSsdArea(SsdId, 2 * MiB, 66 * MiB); },
         STATUS_ACCESS_DENIED},
        {"pair, mode fails", 3, [](ControlRig& r) { return r.client().Pair(MasterId, SsdId, 2); },
         STATUS_ACCESS_DENIED},
        {"pair, master fails", 2, [](ControlRig& r) { return r.client().Pair(MasterId, SsdId, 2); },
         STATUS_ACCESS_DENIED},
        {"pair", 0, [](ControlRig& r) { return r.client().Pair(MasterId, SsdId, 2); }, STATUS_SUCCESS},
        {"stamp", 0,
         [](ControlRig& r) {
             r.ext(0)->TimeStamp = 0x01D9000000000077ull;
             return r.client().SaveTimestamp(MasterId);
         },
         STATUS_SUCCESS},
        {"master settings", 0,
         [](ControlRig& r) {
             r.ext(0)->Master.SsdCacheMinBoot = 300;
             r.ext(0)->Master.SsdCacheWriteMode = 3;
             return r.client().SaveMasterConfig(MasterId);
         },
         STATUS_SUCCESS},
        {"options (memory only)", 0, [](ControlRig& r) { return r.client().SetOptions(MasterId, 1, 1); },
         STATUS_SUCCESS},
        {"unpair, SSD fails", 2, [](ControlRig& r) { return r.client().Unpair(MasterId); },
         STATUS_ACCESS_DENIED},
        {"unpair", 0, [](ControlRig& r) { return r.client().Unpair(MasterId); }, STATUS_SUCCESS},
        {"clear area, start fails", 2, [](ControlRig& r) { return r.client().ClearSsdArea(SsdId); },
         STATUS_SUCCESS},
        {"SSD role 7", 0, [](ControlRig& r) { return r.client().SetRole(SsdId, 7); }, STATUS_SUCCESS},
        {"SSD deleted", 0,
         [](ControlRig& r) {
             NTSTATUS s = r.client().SetRole(SsdId, RoleNone);
             return NT_SUCCESS(s) ? r.client().DeleteDiskConfig(SsdId) : s;
         },
         STATUS_SUCCESS},
    };
    ControlRig rig;
    rig.Boot();
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.failingWrite)
            reg::FailSetValue(step.failingWrite, STATUS_ACCESS_DENIED);
        ASSERT_EQ(step.status, step.run(rig));
        const std::vector<std::string> inMemory = Persisted(rig);
        rig.Boot(true);
        EXPECT_EQ(inMemory, Persisted(rig));
    }
}

}  // namespace
