// Write planning on small maps, without I/O: the write-mode table, the
// whole-request flag, the merged extents and the bits changed at plan time.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cachemap_model.h"
#include "tolvarn.h"
#include "writeplan.h"

using namespace cachemap_test;

namespace {

int masterStandIn = 0;
const PDEVICE_OBJECT Master = (PDEVICE_OBJECT)&masterStandIn;

const ULONG Shift = 9;
const ULONG Per = 16;  // sectors per block
const ULONGLONG Data = 64;

MapShape SmallMap(UCHAR mode)
{
    return {.Slots = 4,
            .Blocks = 16,
            .SectorShift = Shift,
            .BlockShiftSectors = 4,
            .Mode = mode,
            .MinBoot = 0,
            .DataStart = Data};
}

// An extent as the table writes it: ssdBlock -1 for the master (first is a
// master sector), else the block whose slot is written (first is the sector
// within the block).
struct Extent {
    int ssdBlock;
    ULONGLONG first;
    ULONG sectors;
    ULONG offset;  // in sectors of the buffer
    bool operator==(const Extent& o) const
    {
        return ssdBlock == o.ssdBlock && first == o.first && sectors == o.sectors && offset == o.offset;
    }
};

std::ostream& operator<<(std::ostream& out, const Extent& e)
{
    if (e.ssdBlock < 0)
        out << "master " << e.first;
    else
        out << "ssd(block " << e.ssdBlock << ") " << e.first;
    return out << "+" << e.sectors << " @" << e.offset;
}

// Gives a block a slot whose bits are a string of the slot's sectors: 'v'
// valid and clean, 'd' valid and dirty, '.' invalid.
void Cache(TestMap& map, ULONG block, const std::string& bits, BootTime boot)
{
    SsdSlot slot = AllocateSlot(map.get(), B(block), boot);
    ASSERT_NE(slot, NoSlot);
    for (ULONG i = 0; i < bits.size(); i++) {
        if (bits[i] == '.')
            continue;
        SetValidRun(map.get(), slot, i, 1);
        if (bits[i] == 'v')
            SetCleanRun(map.get(), slot, i, 1);
    }
}

// The bits of a block's slot in the same letters; "" when it has none.
std::string Bits(TestMap& map, ULONG block)
{
    SsdSlot slot = map->Blocks.Entries[block].Slot;
    if (slot == NoSlot)
        return "";
    std::string out;
    for (ULONG i = 0; i < Per; i++) {
        ULONG bit = (ULONG)FromSsdSlot(slot) * Per + i;
        bool valid = (map->ValidBitmap[bit >> 3] >> (bit & 7)) & 1;
        out += !valid ? '.' : Dirty(*map.get(), bit) ? 'd' : 'v';
    }
    return out;
}

std::vector<Extent> Extents(TestMap& map, const WritePlan& plan)
{
    std::vector<Extent> out;
    for (ULONG i = 0; i < plan.Count; i++) {
        const IoExtent& e = plan.Extents[i];
        EXPECT_EQ(e.Bytes, e.Sectors << Shift);
        if (e.Target == Master) {
            out.push_back({-1, e.FirstSector, e.Sectors, e.ByteOffset >> Shift});
            continue;
        }
        EXPECT_EQ(e.Target, map->SsdDevice);
        SsdSlot slot;
        ULONGLONG within;
        EXPECT_TRUE(SsdSectorToSlot(map.get(), e.FirstSector, &slot, &within));
        int block = (int)FromMasterBlock(map->Slots.Entries[FromSsdSlot(slot)].Block);
        out.push_back({block, within, e.Sectors, e.ByteOffset >> Shift});
    }
    return out;
}

class WritePlanTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        StopPoolFailures();
        DriverPhase = PhaseBoot;
        HibernateFlag = 0;
    }
};

const std::string Full(Per, 'v');
const std::string Dirty16(Per, 'd');

struct Row {
    const char* what;
    UCHAR writeMode;  // the map's
    UCHAR cacheMode;  // 2 write-back
    UCHAR phase;
    ULONG hibernate, stop;
    bool allowed;
    BootTime boot;        // at planning
    const char* block2;   // bits of block 2's slot before, or null for a miss
    BootTime block2Boot;  // when block 2 was cached
    bool fillCache;       // the other slots hold hot blocks: no free slot, no victim
    ULONGLONG first;
    ULONG sectors;
    ULONG whole;
    std::vector<Extent> extents;
    const char* block2After;  // "" when block 2 has no slot afterwards
};

TEST_F(WritePlanTest, WriteModeTable)
{
    const ULONGLONG b2 = 2 * Per, b3 = 3 * Per;
    // clang-format off
    const Row rows[] = {
        // Mode 0 and everything acting as mode 0: hits lose the written sectors.
        {"mode 0 hit", 0, 1, PhaseRunning, 0, 0, true, AfterBoot, "vvvvvvvvvvvvvvvv", AfterBoot, false, b2 + 4, 8, 1, {}, "vvvv........vvvv"},
        {"mode 0 drops dirty data", 0, 2, PhaseRunning, 0, 0, true, AfterBoot, "dddddddddddddddd", AfterBoot, false, b2 + 4, 8, 1, {}, "dddd........dddd"},
        {"mode 0 miss", 0, 1, PhaseRunning, 0, 0, true, AfterBoot, nullptr, AfterBoot, false, b2, 16, 1, {}, ""},
        {"mode 2 while hibernating", 2, 2, PhaseRunning, 1, 0, true, AfterBoot, "dddddddddddddddd", AfterBoot, false, b2, 4, 1, {}, "....dddddddddddd"},
        {"mode 3 while a stop is pending", 3, 1, PhaseRunning, 0, 1, true, AfterBoot, "vvvvvvvvvvvvvvvv", AfterBoot, false, b2 + 12, 4, 1, {}, "vvvvvvvvvvvv...."},
        {"mode 7 acts as 0", 7, 1, PhaseRunning, 0, 0, true, AfterBoot, "vvvvvvvvvvvvvvvv", AfterBoot, false, b2, 16, 1, {}, "................"},
        // Mode 1: only valid sectors are updated in the cache.
        {"mode 1 splits by valid runs", 1, 1, PhaseRunning, 0, 0, true, AfterBoot, "vvvv....vvvvvvvv", AfterBoot, false, b2, 16, 1, {{2, 0, 4, 0}, {2, 8, 8, 8}}, "vvvv....vvvvvvvv"},
        {"mode 1 miss", 1, 1, PhaseRunning, 0, 0, true, AfterBoot, nullptr, AfterBoot, false, b2, 16, 1, {}, ""},
        {"mode 1 write-back keeps dirty runs on the SSD", 1, 2, PhaseRunning, 0, 0, true, AfterBoot, "dddd....dddddddd", AfterBoot, false, b2, 16, 0, {{-1, b2 + 4, 4, 4}, {2, 0, 4, 0}, {2, 8, 8, 8}}, "dddd....dddddddd"},
        // Mode 2: cached blocks are updated whole.
        {"mode 2 hit", 2, 1, PhaseRunning, 0, 0, true, AfterBoot, "vvvv............", AfterBoot, false, b2 + 2, 8, 1, {{2, 2, 8, 0}}, "vvvvvvvvvv......"},
        {"mode 2 miss", 2, 1, PhaseRunning, 0, 0, true, AfterBoot, nullptr, AfterBoot, false, b2, 16, 1, {}, ""},
        {"mode 2 hit and miss", 2, 1, PhaseRunning, 0, 0, true, AfterBoot, "................", AfterBoot, false, b2 + 8, 16, 1, {{2, 8, 8, 0}}, "........vvvvvvvv"},
        // Mode 3: missed blocks get a slot while caching is allowed.
        {"mode 3 miss takes a slot", 3, 1, PhaseRunning, 0, 0, true, AfterBoot, nullptr, AfterBoot, false, b2 + 1, 3, 1, {{2, 1, 3, 0}}, ".vvv............"},
        {"mode 3 miss on a full cache without a victim", 3, 1, PhaseRunning, 0, 0, true, AfterBoot, nullptr, AfterBoot, true, b2, 16, 1, {}, ""},
        {"mode 3 takes no slot when caching is not allowed", 3, 1, PhaseShutdown, 0, 0, false, AfterBoot, nullptr, AfterBoot, false, b2, 16, 1, {}, ""},
        {"mode 3 hit in the shutdown phase goes through", 3, 2, PhaseShutdown, 0, 0, false, AfterBoot, "dddd............", AfterBoot, false, b2, 8, 1, {{2, 0, 8, 0}}, "vvvvvvvv........"},
        // Write-back: SSD only for non-boot slots in the running phase.
        {"write-back in the running phase", 2, 2, PhaseRunning, 0, 0, true, AfterBoot, "vvvvvvvvvvvvvvvv", AfterBoot, false, b2 + 4, 8, 0, {{2, 4, 8, 0}}, "vvvvddddddddvvvv"},
        {"write-back in the boot phase goes through", 2, 2, PhaseBoot, 0, 0, true, AfterBoot, "dddddddddddddddd", AfterBoot, false, b2 + 4, 8, 1, {{2, 4, 8, 0}}, "ddddvvvvvvvvdddd"},
        {"write-back to a boot slot goes through", 2, 2, PhaseRunning, 0, 0, true, AfterBoot, "................", DuringBoot, false, b2, 16, 1, {{2, 0, 16, 0}}, "vvvvvvvvvvvvvvvv"},
        {"a hit before the first open makes a boot slot", 2, 2, PhaseRunning, 0, 0, true, DuringBoot, "................", AfterBoot, false, b2, 16, 1, {{2, 0, 16, 0}}, "vvvvvvvvvvvvvvvv"},
        {"write-back with a missed block", 2, 2, PhaseRunning, 0, 0, true, AfterBoot, "................", AfterBoot, false, b2 + 8, 16, 0, {{-1, b3, 8, 8}, {2, 8, 8, 0}}, "........dddddddd"},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        TestMap map(SmallMap(r.cacheMode));
        ASSERT_EQ(map.status(), STATUS_SUCCESS);
        map->WriteMode = r.writeMode;
        for (ULONG b = 4; r.fillCache && b < 8; b++) {
            AllocateSlot(map.get(), B(b), AfterBoot);
            map->Blocks.Entries[b].Heat = 100;
        }
        if (r.block2)
            Cache(map, 2, r.block2, r.block2Boot);
        DriverPhase = r.phase;
        HibernateFlag = r.hibernate;
        DiskRequest request = {Master, r.first, r.sectors, NULL};
        WritePlan plan;
        UCHAR mode = EffectiveWriteMode(map.get(), HibernateFlag, r.stop);
        ASSERT_EQ(PlanWriteOnMap(map.get(), &request, Shift, mode, r.allowed, r.boot, &plan), STATUS_SUCCESS);
        EXPECT_EQ(plan.WholeRequest, r.whole);
        EXPECT_EQ(Extents(map, plan), r.extents);
        EXPECT_EQ(plan.Count + plan.UncachedCount == 0, plan.Extents == NULL);
        // Every sector goes to a slot or is listed as one no slot receives.
        ULONG toSsd = 0, uncached = 0;
        for (ULONG i = 0; i < plan.Count; i++)
            toSsd += plan.Extents[i].Target != Master ? plan.Extents[i].Sectors : 0;
        for (ULONG i = plan.Count; i < plan.Count + plan.UncachedCount; i++) {
            EXPECT_EQ(plan.Extents[i].Target, Master);
            uncached += plan.Extents[i].Sectors;
        }
        EXPECT_EQ(toSsd + uncached, r.sectors);
        EXPECT_EQ(Bits(map, 2), r.block2After);
        ULONGLONG end = std::min(r.first + r.sectors, b3);
        EXPECT_EQ(ULONGLONG(map->Blocks.Entries[2].Heat), end - r.first) << "every mode heats the block";
        EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
        FreeWritePlan(&plan);
    }
}

TEST_F(WritePlanTest, AdjacentSlotsMergeIntoOneSsdExtent)
{
    TestMap map(SmallMap(1));
    map->WriteMode = 2;
    Cache(map, 2, Full, AfterBoot);
    Cache(map, 3, Full, AfterBoot);
    ASSERT_EQ(FromSsdSlot(map->Blocks.Entries[3].Slot), FromSsdSlot(map->Blocks.Entries[2].Slot) + 1);
    DiskRequest request = {Master, 2 * Per + 8, Per, NULL};
    WritePlan plan;
    ASSERT_EQ(PlanWriteOnMap(map.get(), &request, Shift, 2, true, AfterBoot, &plan), STATUS_SUCCESS);
    EXPECT_EQ(Extents(map, plan), (std::vector<Extent>{{2, 8, Per, 0}}));
    EXPECT_EQ(plan.WholeRequest, 1u);
    FreeWritePlan(&plan);
}

TEST_F(WritePlanTest, MapWithoutAnSsdPlansNothing)
{
    TestMap map(SmallMap(2), NULL);
    map->WriteMode = 3;
    DiskRequest request = {Master, 0, 64, NULL};
    WritePlan plan;
    ASSERT_EQ(PlanWriteOnMap(map.get(), &request, Shift, 3, true, AfterBoot, &plan), STATUS_SUCCESS);
    EXPECT_EQ(plan.Count, 0u);
    EXPECT_EQ(plan.WholeRequest, 1u);
    EXPECT_TRUE(map->Slots.FreeTop != NoSlot);
    EXPECT_EQ(CountCachedSectors(map.get()), 0u);
}

// A write over several blocks takes slots piece by piece. A slot that an
// earlier piece of the same write was given (taken from the free stack, or
// hit) is no victim for a later piece: else both pieces' SSD writes land in
// one slot and the block that lost it reads the other's data.
TEST_F(WritePlanTest, ASlotGivenToOnePieceIsNoVictimForTheNext)
{
    DriverPhase = PhaseRunning;
    for (bool hit : {false, true}) {
        SCOPED_TRACE(hit ? "block 2 hit" : "block 2 takes the free slot");
        TestMap map(SmallMap(2));
        map->WriteMode = 3;
        for (ULONG b : {5u, 6u, 7u}) {
            Cache(map, b, Full, AfterBoot);
            map->Blocks.Entries[b].Heat = 100;
        }
        if (hit)
            Cache(map, 2, Full, AfterBoot);
        // Block 3 is hotter than block 2 will be, colder than the others.
        map->Blocks.Entries[3].Heat = 50;
        DiskRequest request = {Master, 2 * Per + 15, 1 + Per, NULL};
        WritePlan plan;
        ASSERT_EQ(PlanWriteOnMap(map.get(), &request, Shift, 3, true, AfterBoot, &plan), STATUS_SUCCESS);
        EXPECT_EQ(Extents(map, plan), (std::vector<Extent>{{-1, 3 * Per, Per, 1}, {2, 15, 1, 0}}));
        EXPECT_EQ(map->Blocks.Entries[3].Slot, NoSlot) << "block 3 goes to the master";
        EXPECT_EQ(Bits(map, 2), hit ? "vvvvvvvvvvvvvvvd" : "...............d");
        EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
        FreeWritePlan(&plan);
    }
}

// Every allocation of a plan may fail: the plan fails with no pool left
// behind, and no valid or clean bit has changed; a slot already taken stays.
TEST_F(WritePlanTest, FailedAllocationsLeaveTheBitsAlone)
{
    DriverPhase = PhaseRunning;
    for (ULONG nth = 1;; nth++) {
        SCOPED_TRACE(nth);
        TestMap map(SmallMap(2));
        map->WriteMode = 3;
        Cache(map, 2, "vvvvvvvvdddddddd", AfterBoot);
        // Many pieces: block 2 by mode 3 hit, blocks 3..12 taken or passed to the master.
        DiskRequest request = {Master, 2 * Per + 4, 10 * Per, NULL};
        uint64_t before = LivePoolBlocks();
        FailPoolAllocation(nth);
        WritePlan plan;
        NTSTATUS status = PlanWriteOnMap(map.get(), &request, Shift, 3, true, AfterBoot, &plan);
        StopPoolFailures();
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(Bits(map, 2), "vvvvdddddddddddd");
            FreeWritePlan(&plan);
            EXPECT_EQ(LivePoolBlocks(), before);
            EXPECT_GT(nth, 2u);
            break;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(plan.Count, 0u);
        EXPECT_EQ(plan.Extents, (IoExtent*)NULL);
        EXPECT_EQ(LivePoolBlocks(), before);
        EXPECT_EQ(Bits(map, 2), "vvvvvvvvdddddddd");
        for (ULONG b = 3; b <= 12; b++) {
            if (map->Blocks.Entries[b].Slot != NoSlot) {
                EXPECT_EQ(Bits(map, b), "................");
            }
        }
        EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
    }
}

}  // namespace
