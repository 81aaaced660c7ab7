// Cache state: initial values, the derived states, and the range check of
// requests that go through an active cache.
#include <gtest/gtest.h>

#include <string.h>

#include "tolvarn.h"
#include "cachestate.h"
#include "requests.h"

namespace {

TEST(CacheState, InitGivesAnInactiveCacheWithDestageIdle)
{
    CacheState state;
    memset(&state, 0xA5, sizeof state);
    InitCacheState(&state);
    EXPECT_EQ(0u, state.Active);
    EXPECT_EQ(0u, state.StopRequested);
    EXPECT_EQ(0u, state.IdleWriteBack);
    EXPECT_EQ(1u, state.DestageIdle);
    EXPECT_EQ(0u, state.WrittenDetached);
    EXPECT_EQ(0u, state.MetadataValid);
    EXPECT_EQ(0u, state.Persist);
    EXPECT_EQ(nullptr, state.Map.SsdDevice);
    EXPECT_EQ(nullptr, state.Map.ValidBitmap);
    EXPECT_EQ(CacheInactive, CacheStateOf(&state));
}

TEST(CacheState, DerivedStateOverEveryFieldCombination)
{
    DEVICE_OBJECT ssd{};
    struct Case {
        ULONG active, stop;
        bool hasSsd;
        CacheStateKind expected;
    };
    const Case cases[] = {
        {0, 0, false, CacheInactive}, {0, 0, true, CacheInactive},  // bound while a start is still building the map
        {0, 1, false, CacheInactive}, {0, 1, true, CacheInactive},  {1, 0, true, CacheAttached},
        {1, 0, false, CacheDetached},  // boot attach without SSD id, or after shutdown
        {1, 1, true, CacheDraining},  {1, 1, false, CacheDraining},  // stop of a detached cache: the next drain step ends it
    };
    for (const Case& c : cases) {
        CacheState state;
        InitCacheState(&state);
        state.Active = c.active;
        state.StopRequested = c.stop;
        state.Map.SsdDevice = c.hasSsd ? &ssd : nullptr;
        EXPECT_EQ(c.expected, CacheStateOf(&state))
            << "active " << c.active << " stop " << c.stop << " ssd " << c.hasSsd;
    }
}

// A master of 1000 sectors; requests are built the way the dispatch path
// builds them, from the caller's byte offset and length.
class RangeCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        ext_ = new FilterExtension();
        ext_->LengthSectors = 1000;
        ext_->SectorShift = 9;
        device_.DeviceExtension = ext_;
    }
    void TearDown() override { delete ext_; }

    NTSTATUS CheckCaller(UCHAR major, LONGLONG offset, ULONG length)
    {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        location->MajorFunction = major;
        if (major == IRP_MJ_WRITE) {
            location->Parameters.Write.ByteOffset.QuadPart = offset;
            location->Parameters.Write.Length = length;
        } else {
            location->Parameters.Read.ByteOffset.QuadPart = offset;
            location->Parameters.Read.Length = length;
        }
        DiskRequest request;
        InitDiskRequest(&device_, (ULONGLONG)offset, length, &request);
        request.Irp = irp;
        NTSTATUS status = CheckRequestRange(&request);
        IoFreeIrp(irp);
        return status;
    }

    NTSTATUS CheckOwn(ULONGLONG start, ULONG count)
    {
        DiskRequest request = {&device_, start, count, nullptr};
        return CheckRequestRange(&request);
    }

    DEVICE_OBJECT device_{};
    FilterExtension* ext_ = nullptr;
};

TEST_F(RangeCheck, CallerRequests)
{
    struct Case {
        UCHAR major;
        LONGLONG offset;
        ULONG length;
        NTSTATUS expected;
        const char* what;
    };
    const Case cases[] = {
        {IRP_MJ_READ, 0, 0, STATUS_INVALID_PARAMETER, "0 sectors"},
        {IRP_MJ_READ, 0, 512, STATUS_SUCCESS, "first sector"},
        {IRP_MJ_READ, 990 * 512, 10 * 512, STATUS_SUCCESS, "ends exactly at the last sector"},
        {IRP_MJ_WRITE, 990 * 512, 11 * 512, STATUS_NONEXISTENT_SECTOR, "ends one past the last sector"},
        {IRP_MJ_READ, 1000 * 512, 512, STATUS_NONEXISTENT_SECTOR, "starts at the end"},
        {IRP_MJ_WRITE, 100, 512, STATUS_INVALID_PARAMETER, "offset inside a sector"},
        {IRP_MJ_WRITE, 512, 1000, STATUS_INVALID_PARAMETER, "length not whole sectors"},
        {IRP_MJ_READ, 512, 100, STATUS_INVALID_PARAMETER, "less than one sector"},
        {IRP_MJ_READ, -512, 512, STATUS_INVALID_PARAMETER, "negative offset"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, CheckCaller(c.major, c.offset, c.length)) << c.what;
}

TEST_F(RangeCheck, FourKibSectorsNeedFourKibAlignment)
{
    ext_->SectorShift = 12;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CheckCaller(IRP_MJ_WRITE, 512, 4096));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CheckCaller(IRP_MJ_READ, 4096, 512 * 9));
    EXPECT_EQ(STATUS_SUCCESS, CheckCaller(IRP_MJ_WRITE, 4096, 8192));
}

TEST_F(RangeCheck, OwnRequestsAreCheckedBySectors)
{
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CheckOwn(5, 0));
    EXPECT_EQ(STATUS_SUCCESS, CheckOwn(999, 1));
    EXPECT_EQ(STATUS_NONEXISTENT_SECTOR, CheckOwn(999, 2));
    EXPECT_EQ(STATUS_NONEXISTENT_SECTOR, CheckOwn(1ull << 55, 0xFFFFFFFF));
    EXPECT_EQ(STATUS_NONEXISTENT_SECTOR, CheckOwn(~0ull, 1));
}

// The driver's phase, hibernation flag and first open as the rules below read
// them; each test sets what it needs and gets the load values back.
class PhaseRules : public ::testing::Test {
protected:
    void TearDown() override
    {
        DriverPhase = PhaseBoot;
        HibernateFlag = 0;
        OpenSequence = 0;
        FreeMapTables(&map_);
    }

    // A map of four slots of 8 sectors over 16 blocks, in the given mode.
    void BuildMap(UCHAR mode)
    {
        FreeMapTables(&map_);
        ResetCacheMap(&map_);
        CacheMapLayout layout = {};
        layout.MasterSectors = 15 * 8;
        layout.SectorShift = 9;
        layout.BlockShift = 12;
        layout.SlotCount = 4;
        layout.DataStart = 100;
        layout.DataEnd = 132;
        layout.Mode = mode;
        ASSERT_EQ(STATUS_SUCCESS, SizeCacheMap(&map_, &layout));
        ASSERT_EQ(STATUS_SUCCESS,
                  mode == CacheModeWriteBack ? InitEmptyMapWithClean(&map_) : InitEmptyMap(&map_));
    }

    CacheMap map_ = {};
};

TEST_F(PhaseRules, IsWriteThroughTruthTable)
{
    struct Case {
        UCHAR mode;
        UCHAR phase;
        bool boot;
        bool writeThrough;
    };
    const Case cases[] = {
        {2, 1, false, false}, {2, 1, true, true},  {2, 0, false, true}, {2, 2, false, true},
        {2, 3, false, true},  {1, 1, false, true}, {0, 1, false, true}, {3, 1, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "mode " << int(c.mode) << " phase " << int(c.phase) << " boot " << c.boot);
        BuildMap(c.mode);
        OpenSequence = c.boot ? 0 : 1;
        SsdSlot slot = AllocateSlot(&map_, ToMasterBlock(1), CurrentBootTime());
        DriverPhase = c.phase;
        EXPECT_EQ(IsWriteThrough(&map_, slot), c.writeThrough);
    }
    BuildMap(CacheModeWriteBack);
    DriverPhase = PhaseRunning;
    EXPECT_TRUE(IsWriteThrough(&map_, NoSlot));
    EXPECT_TRUE(IsWriteThrough(&map_, ToSsdSlot(4)));
    EXPECT_TRUE(IsWriteThrough(&map_, ToSsdSlot(0))) << "a free slot holds no data of its own";
}

TEST_F(PhaseRules, IsCachingAllowedTruthTable)
{
    struct Case {
        ULONG hibernate;
        ULONG active;
        ULONG stop;
        ULONG removing;
        UCHAR phase;
        bool allowed;
    };
    const Case cases[] = {
        {0, 1, 0, 0, 0, true},  {0, 1, 0, 0, 1, true},  {0, 1, 0, 0, 2, false}, {0, 1, 0, 0, 3, false},
        {1, 1, 0, 0, 1, false}, {0, 0, 0, 0, 1, false}, {0, 1, 1, 0, 1, false}, {0, 1, 0, 1, 1, false},
    };
    for (const Case& c : cases) {
        HibernateFlag = c.hibernate;
        DriverPhase = c.phase;
        EXPECT_EQ(IsCachingAllowed(c.active, c.stop, c.removing), c.allowed)
            << c.hibernate << c.active << c.stop << c.removing << int(c.phase);
    }
}

TEST_F(PhaseRules, BootTimeLastsUntilTheFirstOpen)
{
    OpenSequence = 0;
    EXPECT_EQ(DuringBoot, CurrentBootTime());
    OpenSequence = 1;
    EXPECT_EQ(AfterBoot, CurrentBootTime());
    OpenSequence = 7;
    EXPECT_EQ(AfterBoot, CurrentBootTime());
}

}  // namespace
