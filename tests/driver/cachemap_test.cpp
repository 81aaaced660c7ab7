// Cache map: slot order, the eviction rule, boot marking, records, sizing,
// the shared rules, allocation failures and a randomized run against a model.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "cachemap_model.h"

using namespace cachemap_test;

namespace {

// The map as a running system after the first open uses it; tests change the
// boot time where they need.
class CacheMapTest : public ::testing::Test {
protected:
    void SetUp() override { bootTime = AfterBoot; }
    void TearDown() override { bootTime = AfterBoot; }
};

const MapShape Small = {4, 16, 9, 3, 1, 0, 100};
const MapShape SmallWriteBack = {4, 16, 9, 3, CacheModeWriteBack, 0, 100};

TEST_F(CacheMapTest, FreshMapHandsOutSlotsInOrderAndReusesAReleasedSlotFirst)
{
    TestMap map(Small);
    ASSERT_EQ(map.status(), STATUS_SUCCESS);
    EXPECT_EQ(AllocateSlot(map.get(), B(7), bootTime), S(0));
    EXPECT_EQ(AllocateSlot(map.get(), B(3), bootTime), S(1));
    EXPECT_EQ(AllocateSlot(map.get(), B(9), bootTime), S(2));
    EvictSlot(map.get(), S(1));
    EXPECT_EQ(GetBlockSlot(&map->Blocks, B(3)), NoSlot);
    EXPECT_EQ(AllocateSlot(map.get(), B(5), bootTime), S(1)) << "the released slot comes back first";
    EXPECT_EQ(AllocateSlot(map.get(), B(6), bootTime), S(3));
    EXPECT_EQ(LruBlocks(*map.get()), (std::list<ULONG>{7, 9, 5, 6}));
    EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
}

TEST_F(CacheMapTest, LookupMovesAHitToTheMruEnd)
{
    TestMap map(Small);
    map.Fill({1, 1, 1});
    EXPECT_EQ(LookupSlot(map.get(), B(0), bootTime), S(0));
    EXPECT_EQ(LruBlocks(*map.get()), (std::list<ULONG>{1, 2, 0}));
    EXPECT_EQ(LookupSlot(map.get(), B(5), bootTime), NoSlot);
    EXPECT_EQ(LruBlocks(*map.get()), (std::list<ULONG>{1, 2, 0}));
}

// A full cache of four slots whose blocks 0..3 have the given heats (block 0
// at the LRU head); block 10, with heat h, misses.
struct HeatCase {
    const char* name;
    std::vector<ULONGLONG> heats;
    ULONGLONG missHeat;
    LONG victim;  // slot taken, or NoSlot
};

TEST_F(CacheMapTest, VictimIsTheFirstColderSlotFromTheLruHead)
{
    const HeatCase cases[] = {
        {"head colder", {1, 9, 9, 9}, 5, 0},
        {"first colder one decides", {9, 3, 1, 9}, 5, 1},
        {"equal heat never evicts", {5, 5, 5, 5}, 5, NoSlotIndex},
        {"all hotter", {6, 7, 8, 9}, 5, NoSlotIndex},
        {"untouched block evicts nothing", {0, 0, 0, 0}, 0, NoSlotIndex},
        {"colder at the MRU end", {9, 9, 9, 4}, 5, 3},
        {"unsigned compare at the top", {~0ull, ~0ull - 1, ~0ull, ~0ull}, ~0ull, 1},
    };
    for (const HeatCase& c : cases) {
        SCOPED_TRACE(c.name);
        TestMap map(Small);
        map.Fill(c.heats);
        map->Blocks.Entries[10].Heat = c.missHeat;
        EXPECT_EQ(AllocateSlot(map.get(), B(10), bootTime), S(c.victim));
        if (c.victim != NoSlotIndex) {
            EXPECT_EQ(GetBlockSlot(&map->Blocks, B((ULONG)c.victim)), NoSlot) << "victim unmapped";
            EXPECT_EQ(LruBlocks(*map.get()).back(), 10u);
        }
        EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
    }
}

TEST_F(CacheMapTest, DirtyFirstCandidateEndsTheNonBootWalk)
{
    TestMap map(SmallWriteBack);
    map.Fill({1, 1, 1, 1});
    // Slot 0 (LRU head, colder than the miss) holds one dirty sector; slot 1
    // would qualify too but must not be taken.
    SetValidRun(map.get(), S(0), 2, 1);
    ASSERT_TRUE(FindDirtyRun(map.get(), S(0), NULL, NULL));
    map->Blocks.Entries[10].Heat = 5;
    EXPECT_EQ(AllocateSlot(map.get(), B(10), bootTime), NoSlot);
    EXPECT_EQ(map->Slots.OtherSlots, 4u) << "nothing evicted";

    // A clean copy of the same sector no longer blocks.
    ASSERT_EQ(SetCleanRun(map.get(), S(0), 2, 1), STATUS_SUCCESS);
    EXPECT_EQ(AllocateSlot(map.get(), B(10), bootTime), S(0));
}

TEST_F(CacheMapTest, DirtyNonBootCandidateStillLetsTheBootWalkRun)
{
    TestMap map(SmallWriteBack);
    bootTime = DuringBoot;
    map.Fill({1, 1});  // slots 0, 1: boot
    bootTime = AfterBoot;
    AllocateSlot(map.get(), B(2), bootTime);  // slots 2, 3: other
    AllocateSlot(map.get(), B(3), bootTime);
    map->Blocks.Entries[2].Heat = 1;
    map->Blocks.Entries[3].Heat = 1;
    SetValidRun(map.get(), S(2), 0, 8);  // dirty non-boot candidate
    map->Blocks.Entries[10].Heat = 5;
    EXPECT_EQ(AllocateSlot(map.get(), B(10), bootTime), S(0)) << "boot slots 2 > MinBoot 0";
    EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
}

TEST_F(CacheMapTest, NonBootWalkSkipsTheBootSlotsLeadingTheList)
{
    // LRU: four hot boot slots, then four cold other slots.
    MapShape shape = {8, 32, 9, 3, 1, 8, 100};
    TestMap map(shape);
    for (ULONG b = 0; b < 8; b++) {
        bootTime = b < 4 ? DuringBoot : AfterBoot;
        AllocateSlot(map.get(), B(b), bootTime);
        AddHeat(map.get(), B(b), b < 4 ? 50 : 1);
    }
    bootTime = AfterBoot;
    AddHeat(map.get(), B(20), 5);
    AddHeat(map.get(), B(21), 5);
    EXPECT_EQ(AllocateSlot(map.get(), B(20), bootTime), S(4));
    EXPECT_EQ(map->Slots.GroupStart[0], S(5)) << "the boot slots at the head are not walked again";
    EXPECT_EQ(AllocateSlot(map.get(), B(21), bootTime), S(5));
    EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
}

TEST_F(CacheMapTest, BootWalkSeesTheMruSlotTurnedBootInPlace)
{
    // Four other slots; a boot search runs past all of them; then the MRU
    // slot becomes a boot slot without moving.
    TestMap map(Small);
    map.Fill({9, 9, 9, 1});
    SsdRun run;
    EXPECT_FALSE(FindDirtyRunBoot(map.get(), &run));
    bootTime = DuringBoot;
    ASSERT_EQ(map->Slots.MruTail, S(3));
    LookupSlot(map.get(), B(3), bootTime);
    bootTime = AfterBoot;
    AddHeat(map.get(), B(10), 5);
    EXPECT_EQ(AllocateSlot(map.get(), B(10), bootTime), S(3)) << "only the boot walk can find slot 3";
    EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
}

struct BootQuotaCase {
    ULONG minBoot;
    ULONG bootSlots;  // of four used slots, the first ones from the LRU head
    LONG victim;
};

TEST_F(CacheMapTest, BootSlotsAreEvictableOnlyAboveTheQuota)
{
    // Every non-boot slot is hotter than the miss, so only the boot walk can
    // find a victim.
    const BootQuotaCase cases[] = {
        {0, 0, NoSlotIndex}, {0, 1, 0},           {0, 4, 0}, {1, 1, NoSlotIndex},
        {1, 2, 0},           {2, 2, NoSlotIndex}, {2, 3, 0}, {4, 4, NoSlotIndex},
    };
    for (const BootQuotaCase& c : cases) {
        SCOPED_TRACE("MinBoot " + std::to_string(c.minBoot) + ", boot slots " + std::to_string(c.bootSlots));
        MapShape shape = Small;
        shape.MinBoot = c.minBoot;
        TestMap map(shape);
        for (ULONG b = 0; b < 4; b++) {
            bootTime = b < c.bootSlots ? DuringBoot : AfterBoot;
            AllocateSlot(map.get(), B(b), bootTime);
            map->Blocks.Entries[b].Heat = b < c.bootSlots ? 1 : 9;
        }
        bootTime = AfterBoot;
        ASSERT_EQ(map->Slots.BootSlots, c.bootSlots);
        map->Blocks.Entries[10].Heat = 5;
        EXPECT_EQ(AllocateSlot(map.get(), B(10), bootTime), S(c.victim));
        EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
    }
}

TEST_F(CacheMapTest, BootFlagIsSetOnlyBeforeTheFirstOpen)
{
    TestMap map(Small);
    bootTime = DuringBoot;
    LONG bootSlot = FromSsdSlot(AllocateSlot(map.get(), B(1), bootTime));
    bootTime = AfterBoot;
    LONG otherSlot = FromSsdSlot(AllocateSlot(map.get(), B(2), bootTime));
    EXPECT_EQ(map->Slots.Entries[bootSlot].BootFlag, 1u);
    EXPECT_EQ(map->Slots.Entries[otherSlot].BootFlag, 0u);
    EXPECT_EQ(map->Slots.BootSlots, 1u);
    EXPECT_EQ(map->Slots.OtherSlots, 1u);

    LookupSlot(map.get(), B(2), bootTime);
    EXPECT_EQ(map->Slots.Entries[otherSlot].BootFlag, 0u) << "a hit after the open";
    bootTime = DuringBoot;
    LookupSlot(map.get(), B(2), bootTime);
    EXPECT_EQ(map->Slots.Entries[otherSlot].BootFlag, 1u) << "a hit before the open";
    EXPECT_EQ(map->Slots.BootSlots, 2u);
    EXPECT_EQ(map->Slots.OtherSlots, 0u);
    EvictSlot(map.get(), S(otherSlot));
    EXPECT_EQ(map->Slots.Entries[otherSlot].BootFlag, 0u) << "cleared when freed";
    EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
}

TEST_F(CacheMapTest, RecordsRoundTripTurnsBootSlotsIntoOtherSlots)
{
    MapShape shape = {6, 32, 9, 3, 1, 0, 100};
    std::vector<SlotRecord> records(6);
    {
        TestMap map(shape);
        bootTime = DuringBoot;
        AllocateSlot(map.get(), B(20), bootTime);  // slot 0, boot
        bootTime = AfterBoot;
        AllocateSlot(map.get(), B(4), bootTime);   // slot 1
        AllocateSlot(map.get(), B(17), bootTime);  // slot 2
        AllocateSlot(map.get(), B(9), bootTime);   // slot 3
        EvictSlot(map.get(), S(1));
        SlotsToRecords(&map->Slots, records.data(), 6);
    }
    EXPECT_EQ(records[0].State, SlotStateBoot);
    EXPECT_EQ(records[0].Block, 20u);
    EXPECT_EQ(records[1].State, SlotStateFree);
    EXPECT_EQ(records[1].Block, FromMasterBlock(NoBlock));
    EXPECT_EQ(records[2].State, SlotStateOther);
    EXPECT_EQ(records[5].State, SlotStateFree);

    TestMap loaded(shape);
    FreeSlotTable(&loaded->Slots);  // a load allocates tables without building lists
    loaded->Slots.SlotCount = 6;
    ASSERT_TRUE(AllocSlotTable(&loaded->Slots));
    ULONG dropped = 99;
    ASSERT_TRUE(SlotsFromRecords(loaded.get(), records.data(), 6, &dropped));
    EXPECT_EQ(dropped, 0u);
    BuildSlotLists(&loaded->Slots);
    RebuildBlockTable(&loaded->Blocks, &loaded->Slots);
    EXPECT_EQ(loaded->Slots.BootSlots, 0u);
    EXPECT_EQ(loaded->Slots.OtherSlots, 3u);
    EXPECT_EQ(LruBlocks(*loaded.get()), (std::list<ULONG>{9, 17, 20})) << "highest index at the head";
    EXPECT_EQ(GetBlockSlot(&loaded->Blocks, B(17)), S(2));
    EXPECT_EQ(AllocateSlot(loaded.get(), B(1), bootTime), S(1))
        << "the free slots are handed out lowest first";
    EXPECT_EQ(CheckMapInvariants(*loaded.get(), loaded.baseline()), "");
}

struct RecordCase {
    const char* name;
    std::vector<SlotRecord> records;
    std::vector<ULONG> blocks;  // the slots' blocks after the load
    ULONG dropped;
};

TEST_F(CacheMapTest, SavedRecordsWithBadOrRepeatedBlocksLoadAsFreeSlots)
{
    // Block table of 16 entries; records come from the SSD and may be damaged.
    const ULONG F = FromMasterBlock(NoBlock);
    const RecordCase cases[] = {
        {"valid", {{3, 5}, {2, 6}, {0, F}, {3, 15}}, {5, 6, F, 15}, 0},
        {"at the count", {{3, 16}, {3, 1}, {0, F}, {0, F}}, {F, 1, F, F}, 1},
        {"negative as i32", {{3, 0x80000000}, {3, 0xFFFFFFFE}, {3, 2}, {0, F}}, {F, F, 2, F}, 2},
        {"used with the free marker", {{2, F}, {0, F}, {0, F}, {0, F}}, {F, F, F, F}, 1},
        {"same block twice", {{3, 7}, {3, 7}, {3, 8}, {3, 7}}, {7, F, 8, F}, 2},
        {"unknown state counts as used", {{9, 3}, {0, 4}, {0, F}, {0, F}}, {3, F, F, F}, 0},
    };
    for (const RecordCase& c : cases) {
        SCOPED_TRACE(c.name);
        TestMap map(Small);
        FreeSlotTable(&map->Slots);
        map->Slots.SlotCount = 4;
        ASSERT_TRUE(AllocSlotTable(&map->Slots));
        ULONG dropped = 99;
        ASSERT_TRUE(SlotsFromRecords(map.get(), c.records.data(), 4, &dropped));
        BuildSlotLists(&map->Slots);
        RebuildBlockTable(&map->Blocks, &map->Slots);
        EXPECT_EQ(dropped, c.dropped);
        for (ULONG s = 0; s < 4; s++)
            EXPECT_EQ(map->Slots.Entries[s].Block, B(c.blocks[s])) << "slot " << s;
        EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
        // Nothing the load refused can be reached through a sector conversion.
        for (ULONG s = 0; s < 4; s++) {
            if (c.blocks[s] == F) {
                EXPECT_EQ(SsdToMasterSector(map.get(), SlotFirstSsdSector(map.get(), S(s))), ~0ull);
            }
        }
    }
}

TEST_F(CacheMapTest, DamagedSlotTablesAlwaysLoadIntoAConsistentMap)
{
    // Random record tables (states and blocks partly garbage) against a map
    // of 32 slots and 40 blocks; the loaded map must hold every rule and keep
    // holding them while it is used.
    std::mt19937 rng(99);
    const MapShape shape = {32, 40, 9, 3, 1, 0, 8};
    const ULONG blockChoices[] = {0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu, 40, 41};
    for (int table = 0; table < 200; table++) {
        SCOPED_TRACE(table);
        std::vector<SlotRecord> records(32);
        for (SlotRecord& r : records) {
            const ULONG states[] = {0, 2, 3, 3, 7};
            r.State = states[rng() % 5];
            r.Block = rng() % 4 ? rng() % 40 : blockChoices[rng() % 5];
        }
        TestMap map(shape);
        FreeSlotTable(&map->Slots);
        map->Slots.SlotCount = 32;
        ASSERT_TRUE(AllocSlotTable(&map->Slots));
        ULONG dropped = 0;
        ASSERT_TRUE(SlotsFromRecords(map.get(), records.data(), 32, &dropped));
        BuildSlotLists(&map->Slots);
        RebuildBlockTable(&map->Blocks, &map->Slots);
        ASSERT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
        ULONG used = 0, kept = 0;
        for (ULONG s = 0; s < 32; s++) {
            used += records[s].State != SlotStateFree;
            if (map->Slots.Entries[s].Block != NoBlock) {
                kept++;
                EXPECT_EQ(map->Slots.Entries[s].Block, B(records[s].Block)) << "slot " << s;
            }
        }
        EXPECT_EQ(kept + dropped, used);
        for (int op = 0; op < 200; op++) {
            ULONG block = rng() % 42;
            AddHeat(map.get(), B(block), rng() % 16);
            if (LookupSlot(map.get(), B(block), bootTime) == NoSlot)
                AllocateSlot(map.get(), B(block), bootTime);
            if (rng() % 8 == 0 && map->Slots.LruHead != NoSlot)
                EvictSlot(map.get(), map->Slots.LruHead);
        }
        ASSERT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
    }
}

TEST_F(CacheMapTest, SlotsFromRecordsNeedsFreshTables)
{
    SlotRecord records[4] = {{3, 1}, {3, 2}, {3, 3}, {3, 4}};
    TestMap built(Small);  // lists already built: loading over them would break them
    EXPECT_FALSE(SlotsFromRecords(built.get(), records, 4, NULL));
    EXPECT_EQ(CheckMapInvariants(*built.get(), built.baseline()), "");

    TestMap map(Small);
    FreeSlotTable(&map->Slots);
    map->Slots.SlotCount = 4;
    ASSERT_TRUE(AllocSlotTable(&map->Slots));
    FreeBlockTable(&map->Blocks);
    EXPECT_FALSE(SlotsFromRecords(map.get(), records, 4, NULL));
    for (ULONG s = 0; s < 4; s++)
        EXPECT_EQ(map->Slots.Entries[s].Block, NoBlock);
}

TEST_F(CacheMapTest, BlocksAtOrBeyondTheTableAreNeverCached)
{
    TestMap map(Small);  // 16 blocks
    map.Fill({1, 1, 1, 1});
    for (ULONG block : {16u, 17u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(block);
        AddHeat(map.get(), B(block), 1000);
        EXPECT_EQ(LookupSlot(map.get(), B(block), bootTime), NoSlot);
        EXPECT_EQ(AllocateSlot(map.get(), B(block), bootTime), NoSlot);
        EXPECT_FALSE(SetBlockSlot(&map->Blocks, B(block), S(0)));
        EXPECT_FALSE(ClearBlockSlot(&map->Blocks, B(block), S(0)));
    }
    EXPECT_EQ(map->Slots.OtherSlots, 4u) << "no victim is evicted for a block that cannot be cached";
    EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
}

TEST_F(CacheMapTest, AllocatingACachedBlockReturnsItsSlot)
{
    TestMap map(Small);
    SsdSlot slot = AllocateSlot(map.get(), B(3), bootTime);
    EXPECT_EQ(AllocateSlot(map.get(), B(3), bootTime), slot);
    EXPECT_EQ(map->Slots.OtherSlots, 1u);
    EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
}

TEST_F(CacheMapTest, AssignClearsTheSlotsBitsOfTheOldBlock)
{
    TestMap map(SmallWriteBack);
    map.Fill({1, 1, 1, 1});
    SetValidRun(map.get(), S(0), 0, 8);
    SetCleanRun(map.get(), S(0), 0, 8);
    map->Blocks.Entries[12].Heat = 2;
    ASSERT_EQ(AllocateSlot(map.get(), B(12), bootTime), S(0));
    EXPECT_EQ(map->ValidBitmap[0], 0);
    EXPECT_EQ(map->CleanBitmap[0], 0);
}

TEST_F(CacheMapTest, GenerationChangesWhenASlotChangesHands)
{
    TestMap map(Small);
    map.Fill({1, 1, 1, 1});
    ULONG first = SlotGeneration(map.get(), S(0));
    ULONG second = SlotGeneration(map.get(), S(1));
    LookupSlot(map.get(), B(0), bootTime);
    SetValidRun(map.get(), S(0), 0, 8);
    EXPECT_EQ(SlotGeneration(map.get(), S(0)), first) << "hits and bits keep it";
    AddHeat(map.get(), B(9), 5);
    ASSERT_EQ(AllocateSlot(map.get(), B(9), bootTime), S(1)) << "the LRU head is slot 1";
    EXPECT_NE(SlotGeneration(map.get(), S(1)), second) << "evicted and reassigned";
    ULONG reassigned = SlotGeneration(map.get(), S(1));
    EvictSlot(map.get(), S(1));
    EXPECT_NE(SlotGeneration(map.get(), S(1)), reassigned) << "released";
    EXPECT_EQ(SlotGeneration(map.get(), S(7)), 0u);
}

TEST_F(CacheMapTest, HeatAddsUpAndSaturates)
{
    TestMap map(Small);
    AddHeat(map.get(), B(2), 8);
    AddHeat(map.get(), B(2), 16);
    EXPECT_EQ(ULONGLONG(map->Blocks.Entries[2].Heat), 24u);
    map->Blocks.Entries[2].Heat = ~0ull - 3;
    AddHeat(map.get(), B(2), 8);
    EXPECT_EQ(ULONGLONG(map->Blocks.Entries[2].Heat), ~0ull);
}

TEST_F(CacheMapTest, WriteBackSlotsAreUsedSlotsOfAWriteBackMapTakenAfterBoot)
{
    struct Case {
        UCHAR mode;
        bool boot;
        bool writeBack;
    };
    const Case cases[] = {
        {2, false, true}, {2, true, false}, {1, false, false}, {0, false, false}, {3, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << int(c.mode) << " boot " << c.boot);
        MapShape shape = Small;
        shape.Mode = c.mode;
        TestMap map(shape);
        bootTime = c.boot ? DuringBoot : AfterBoot;
        SsdSlot slot = AllocateSlot(map.get(), B(1), bootTime);
        EXPECT_EQ(IsWriteBackSlot(map.get(), slot), c.writeBack);
    }
    TestMap map(SmallWriteBack);
    EXPECT_FALSE(IsWriteBackSlot(map.get(), NoSlot));
    EXPECT_FALSE(IsWriteBackSlot(map.get(), S(4)));
    EXPECT_FALSE(IsWriteBackSlot(map.get(), S(0))) << "a free slot holds no data of its own";
}

TEST_F(CacheMapTest, CountCachedSectorsCountsOnlyUsedSlots)
{
    TestMap map(Small);
    map.Fill({1, 1, 1});
    SetValidRun(map.get(), S(0), 0, 8);
    SetValidRun(map.get(), S(2), 3, 2);
    SetBitRun(map->ValidBitmap, 3 * 8, 8);  // slot 3 is free: its bits mean nothing
    EXPECT_EQ(CountCachedSectors(map.get()), 10u);
    EvictSlot(map.get(), S(0));
    EXPECT_EQ(CountCachedSectors(map.get()), 2u);
}

// ---------------------------------------------------------------------------
// Sizing
// ---------------------------------------------------------------------------

struct LayoutCase {
    const char* name;
    ULONGLONG masterSectors;
    ULONG sectorShift;
    ULONG blockShift;
    ULONG slots;
    LONGLONG dataEndDelta;  // added to the exact end
    NTSTATUS status;
};

TEST_F(CacheMapTest, LayoutsThatDoNotFitTheRecordsAreRefused)
{
    const LayoutCase cases[] = {
        {"4 KiB blocks of 512-byte sectors", 1 << 20, 9, 12, 100, 0, STATUS_SUCCESS},
        {"4 KiB blocks of 4 KiB sectors", 1 << 20, 12, 12, 100, 0, STATUS_INVALID_PARAMETER},
        {"32 KiB blocks of 4 KiB sectors", 1 << 20, 12, 15, 100, 0, STATUS_SUCCESS},
        {"blocks of 4 sectors", 1 << 20, 9, 11, 100, 0, STATUS_INVALID_PARAMETER},
        {"blocks of 1 sector", 1 << 20, 9, 9, 100, 0, STATUS_INVALID_PARAMETER},
        {"block shift 32", 1 << 20, 9, 32, 1, 0, STATUS_INVALID_PARAMETER},
        {"largest block count", (0xFFFFFFFEull << 3) + 7, 9, 12, 100, 0, STATUS_SUCCESS},
        {"2^32 blocks (16 TiB of 4 KiB)", 0xFFFFFFFFull << 3, 9, 12, 100, 0, STATUS_INVALID_PARAMETER},
        {"no slot", 1 << 20, 9, 12, 0, 0, STATUS_INVALID_PARAMETER},
        {"slot count beyond i32", 1 << 20, 9, 12, 0x80000000u, 0, STATUS_INVALID_PARAMETER},
        {"data area one sector short", 1 << 20, 9, 12, 100, -1, STATUS_INVALID_PARAMETER},
        {"data area one sector long", 1 << 20, 9, 12, 100, 1, STATUS_INVALID_PARAMETER},
        {"bitmap of 4 GiB", 1 << 20, 9, 31, 8192, 0, STATUS_INVALID_PARAMETER},
        {"bitmap just below 4 GiB", 1 << 20, 9, 31, 8191, 0, STATUS_SUCCESS},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        CacheMapLayout layout = {};
        layout.MasterSectors = c.masterSectors;
        layout.SectorShift = c.sectorShift;
        layout.BlockShift = c.blockShift;
        layout.SlotCount = c.slots;
        layout.DataStart = 8;
        ULONG shift = c.blockShift > c.sectorShift ? c.blockShift - c.sectorShift : 0;
        layout.DataEnd = 8 + ((ULONGLONG)c.slots << shift) + c.dataEndDelta;
        CacheMap map;
        ResetCacheMap(&map);
        EXPECT_EQ(SizeCacheMap(&map, &layout), c.status);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(map.Blocks.Count, 0u) << "a refused layout leaves the map unsized";
        }
    }
}

TEST_F(CacheMapTest, SizingFollowsTheLayout)
{
    CacheMapLayout layout = {};
    layout.MasterSectors = 1 << 20;
    layout.SectorShift = 9;
    layout.BlockShift = 17;  // 2^8 sectors
    layout.SlotCount = 1000;
    layout.DataStart = 8;
    layout.DataEnd = 8 + (1000ull << 8);
    layout.Mode = 2;
    layout.WriteMode = 3;
    layout.MinBoot = 5;
    CacheMap map;
    ResetCacheMap(&map);
    ASSERT_EQ(SizeCacheMap(&map, &layout), STATUS_SUCCESS);
    EXPECT_EQ(map.Blocks.Count, 4097u);
    EXPECT_EQ(map.BlockShiftSectors, 8u);
    EXPECT_EQ(map.BitmapSize, 32256u);
    EXPECT_EQ(map.MinBoot, 5u);
    EXPECT_EQ(map.Mode, 2);
    EXPECT_EQ(map.WriteMode, 3);

    ASSERT_EQ(InitEmptyMap(&map), STATUS_SUCCESS);
    EXPECT_EQ(SizeCacheMap(&map, &layout), STATUS_INVALID_DEVICE_STATE)
        << "a populated map is not resized under its tables";
    FreeMapTables(&map);
}

TEST_F(CacheMapTest, UnsizedMapIsNotPopulated)
{
    CacheMap map;
    ResetCacheMap(&map);
    ULONGLONG before = MapPoolBytes();
    map.BlockShiftSectors = 2;  // below the bitmap's whole-byte rule
    map.Slots.SlotCount = 4;
    map.Blocks.Count = 4;
    map.BitmapSize = 512;
    EXPECT_EQ(InitEmptyMap(&map), STATUS_INVALID_PARAMETER);
    map.BlockShiftSectors = 6;
    map.BitmapSize = 31;  // smaller than 4 slots of 8 bytes
    EXPECT_EQ(InitEmptyMapWithClean(&map), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(MapPoolBytes(), before);
    FreeMapTables(&map);
}

// ---------------------------------------------------------------------------
// Allocation failures
// ---------------------------------------------------------------------------

TEST_F(CacheMapTest, EveryFailedAllocationOfAFreshMapIsReportedAndFreed)
{
    // Fresh map with clean bitmap: valid bitmap, clean bitmap, block table,
    // slot entries, slot links.
    for (int withClean = 0; withClean < 2; withClean++) {
        int allocations = withClean ? 5 : 4;
        for (int failing = 1; failing <= allocations; failing++) {
            SCOPED_TRACE(testing::Message() << "clean " << withClean << ", failing " << failing);
            ULONGLONG before = MapPoolBytes();
            uint64_t blocksBefore = LivePoolBlocks();
            CacheMap map;
            ResetCacheMap(&map);
            CacheMapLayout layout = LayoutOf(withClean ? SmallWriteBack : Small);
            ASSERT_EQ(SizeCacheMap(&map, &layout), STATUS_SUCCESS);
            FailPoolAllocation(failing);
            NTSTATUS status = withClean ? InitEmptyMapWithClean(&map) : InitEmptyMap(&map);
            StopPoolFailures();
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(MapPoolBytes(), before + ExpectedMapBytes(map)) << "counted exactly";
            FreeMapTables(&map);
            EXPECT_EQ(MapPoolBytes(), before);
            EXPECT_EQ(LivePoolBlocks(), blocksBefore) << "nothing left in the pool";
            EXPECT_EQ(map.Slots.Entries, nullptr);
            EXPECT_EQ(map.Blocks.Entries, nullptr);
        }
    }
}

TEST_F(CacheMapTest, SlotTableWhoseLinksFailFreesItsEntries)
{
    SlotTable table;
    ResetSlotTable(&table);
    table.SlotCount = 64;
    ULONGLONG before = MapPoolBytes();
    uint64_t blocksBefore = LivePoolBlocks();
    FailPoolAllocation(2);
    EXPECT_FALSE(AllocSlotTable(&table));
    StopPoolFailures();
    EXPECT_EQ(MapPoolBytes(), before);
    EXPECT_EQ(LivePoolBlocks(), blocksBefore);
    EXPECT_EQ(table.Entries, nullptr);
    EXPECT_EQ(table.Links, nullptr);
}

// ---------------------------------------------------------------------------
// Randomized run against the reference model
// ---------------------------------------------------------------------------

struct RandomRun {
    MapShape shape;
    ULONG operations;
};

void RunAgainstModel(const RandomRun& run, ULONG seed)
{
    std::mt19937 rng(seed);
    auto pick = [&](ULONG n) { return (ULONG)(rng() % n); };
    TestMap map(run.shape);
    ASSERT_EQ(map.status(), STATUS_SUCCESS);
    const ULONG slotBits = 1u << run.shape.BlockShiftSectors;
    const bool writeBack = run.shape.Mode == CacheModeWriteBack;
    Model model(run.shape.Slots, run.shape.Blocks, run.shape.MinBoot);
    auto dirty = [&](LONG slot) { return FindDirtyRun(map.get(), S(slot), NULL, NULL); };
    ULONG evictions = 0, refusals = 0, dirtyDrains = 0;

    for (ULONG op = 0; op < run.operations; op++) {
        bool booting = bootTime == DuringBoot;
        ULONG kind = pick(100);
        // Blocks a little beyond the table now and then.
        ULONG block = pick(run.shape.Blocks + 2);
        std::string what;
        if (kind < 35) {
            what = "lookup + allocate + heat";
            LONG slot = FromSsdSlot(LookupSlot(map.get(), B(block), bootTime));
            LONG expected = model.Lookup(block, booting);
            if (slot != expected) {
                FAIL() << "seed " << seed << " op " << op << ": lookup of " << block << " gave " << slot
                       << ", model " << expected;
            }
            if (slot == NoSlotIndex) {
                LONG expectedSlot = model.Allocate(block, booting, dirty);
                bool full = map->Slots.FreeTop == NoSlot;
                slot = FromSsdSlot(AllocateSlot(map.get(), B(block), bootTime));
                if (slot != expectedSlot) {
                    FAIL() << "seed " << seed << " op " << op << ": allocation for " << block << " gave "
                           << slot << ", model " << expectedSlot;
                }
                evictions += full && slot != NoSlotIndex;
                refusals += slot == NoSlotIndex;
            }
            ULONG sectors = 1 + pick(slotBits);
            AddHeat(map.get(), B(block), sectors);
            model.AddHeat(block, sectors);
        } else if (kind < 50) {
            what = "heat only";
            ULONG sectors = pick(3) == 0 ? 0 : 1 + pick(4 * slotBits);
            AddHeat(map.get(), B(block), sectors);
            model.AddHeat(block, sectors);
        } else if (kind < 58) {
            what = "evict";
            if (model.Used() == 0)
                continue;
            auto it = model.Cached().begin();
            std::advance(it, pick((ULONG)model.Used()));
            ULONG victim = it->first;
            EvictSlot(map.get(), S(it->second.Slot));
            model.Evict(victim);
        } else if (kind < 62) {
            what = "boot time";
            bootTime = pick(2) ? DuringBoot : AfterBoot;
        } else if (kind < 90) {
            what = "bits";
            if (model.Used() == 0)
                continue;
            auto it = model.Cached().begin();
            std::advance(it, pick((ULONG)model.Used()));
            LONG slot = it->second.Slot;
            ULONG first = pick(slotBits);
            ULONG count = 1 + pick(slotBits - first);
            switch (pick(4)) {
            case 0: SetValidRun(map.get(), S(slot), first, count); break;
            case 1: ClearValidRun(map.get(), S(slot), first, count); break;
            case 2: SetCleanRun(map.get(), S(slot), first, count); break;
            default: ClearCleanRun(map.get(), S(slot), first, count); break;
            }
        } else if (kind < 95) {
            what = "dirty searches";
            SsdRun found, expected;
            for (ULONG group = 0; group < 3; group++) {
                bool naive = NaiveDirtySearch(*map.get(), group, &expected);
                bool got = group == 0   ? FindDirtyRunNonBoot(map.get(), &found)
                           : group == 1 ? FindDirtyRunBoot(map.get(), &found)
                                        : FindAnyDirtyRun(map.get(), &found);
                if (got != naive || (got && (found.FirstSector != expected.FirstSector ||
                                             found.Sectors != expected.Sectors))) {
                    FAIL() << "seed " << seed << " op " << op << ": dirty search of group " << group
                           << " differs from the naive walk";
                }
            }
            // Now and then a flush: clean each run found until none is left.
            if (pick(4) == 0) {
                ULONG pieces = 0;
                while (FindAnyDirtyRun(map.get(), &found)) {
                    SsdSlot slot;
                    ULONGLONG bit;
                    ASSERT_TRUE(SsdSectorToSlot(map.get(), found.FirstSector, &slot, &bit));
                    ASSERT_EQ(SetCleanRun(map.get(), slot, bit, found.Sectors), STATUS_SUCCESS);
                    ASSERT_LT(++pieces, run.shape.Slots * slotBits) << "seed " << seed;
                }
                if (NaiveDirtySearch(*map.get(), 2, &expected))
                    FAIL() << "seed " << seed << " op " << op << ": flush left a dirty run";
            }
        } else {
            what = "drain step";
            SsdRun drained;
            LONG head = FromSsdSlot(map->Slots.LruHead);
            if (head == NoSlotIndex) {
                EXPECT_FALSE(DrainLruHead(map.get(), &drained));
                continue;
            }
            ULONG headBlock = FromMasterBlock(map->Slots.Entries[head].Block);
            bool headDirty = dirty(head);
            ASSERT_TRUE(DrainLruHead(map.get(), &drained));
            if (headDirty) {
                dirtyDrains++;
                EXPECT_NE(drained.Sectors, 0u);
            } else {
                EXPECT_EQ(drained.Sectors, 0u);
                model.Evict(headBlock);
            }
        }

        std::string broken = CheckMapInvariants(*map.get(), map.baseline());
        if (!broken.empty())
            FAIL() << "seed " << seed << " op " << op << " (" << what << "): " << broken;
        if (LruBlocks(*map.get()) != model.Lru())
            FAIL() << "seed " << seed << " op " << op << " (" << what << "): LRU order differs";
        if (map->Slots.BootSlots != model.BootCount())
            FAIL() << "seed " << seed << " op " << op << ": boot count differs";
        if (!writeBack && map->CleanBitmap)
            FAIL() << "seed " << seed << ": clean bitmap outside write-back";
    }
    // The run must have reached the rule's interesting cases.
    EXPECT_GT(evictions, run.operations / 100);
    EXPECT_GT(refusals, run.operations / 100);
    if (writeBack) {
        EXPECT_GT(dirtyDrains, run.operations / 1000);
    }
}

TEST_F(CacheMapTest, RandomOperationsMatchTheReferenceModel)
{
    const RandomRun runs[] = {
        {{16, 64, 9, 3, 1, 0, 8}, 100000},
        {{16, 40, 9, 4, CacheModeWriteBack, 0, 8}, 100000},
        {{8, 30, 12, 3, CacheModeWriteBack, 2, 8}, 50000},
        {{32, 48, 9, 6, CacheModeWriteBack, 5, 8}, 50000},
    };
    // CACHEMAP_SEED=<n> replays or explores other sequences.
    const char* fromEnv = getenv("CACHEMAP_SEED");
    ULONG seed = fromEnv ? (ULONG)strtoul(fromEnv, NULL, 10) : 20261210u;
    for (const RandomRun& run : runs) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", mode " << int(run.shape.Mode) << ", MinBoot "
                                        << run.shape.MinBoot);
        RunAgainstModel(run, seed);
        if (HasFatalFailure() || HasNonfatalFailure())
            return;
        seed++;
    }
}

}  // namespace
