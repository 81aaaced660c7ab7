// Read planning on small maps, without I/O: the block split, the extent merge
// rule, the per-piece decision table and the plans it gives.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <vector>

#include "cachemap_model.h"
#include "pool.h"
#include "readplan.h"

using namespace cachemap_test;

namespace {

// The plan's own memory is the driver's pool (the kernel stand-in's); the
// map's is the test pool.
class ReadPlanTest : public ::testing::Test {
protected:
    void TearDown() override { emu::ClearFailures(); }
};

uint64_t LivePlanBlocks()
{
    return emu::PoolUsage(PoolTag).blocks;
}

const ReadPolicy Allowed = {true, AfterBoot};
const ReadPolicy NotAllowed = {false, AfterBoot};

int masterStandIn = 0;
const PDEVICE_OBJECT Master = (PDEVICE_OBJECT)&masterStandIn;

struct Extent {
    bool ssd;
    ULONGLONG first;
    ULONG sectors;
    ULONG offset;  // in sectors of the buffer
    bool operator==(const Extent& o) const
    {
        return ssd == o.ssd && first == o.first && sectors == o.sectors && offset == o.offset;
    }
};

std::ostream& operator<<(std::ostream& out, const Extent& e)
{
    return out << (e.ssd ? "ssd" : "master") << " " << e.first << "+" << e.sectors << " @" << e.offset;
}

struct Planned {
    NTSTATUS status;
    ULONG noDirty;
    std::vector<Extent> extents;
};

Planned Plan(TestMap& map, ULONGLONG first, ULONG sectors, bool allowed, ULONG sectorShift)
{
    DiskRequest request = {Master, first, sectors, NULL};
    ReadPlan plan;
    Planned out;
    out.status = PlanReadOnMap(map.get(), &request, sectorShift, allowed ? &Allowed : &NotAllowed, &plan);
    out.noDirty = plan.NoDirty;
    for (ULONG i = 0; i < plan.Count; i++) {
        const IoExtent& e = plan.Extents[i];
        EXPECT_EQ(e.Bytes, e.Sectors << sectorShift);
        EXPECT_EQ(e.ByteOffset % (1u << sectorShift), 0u);
        EXPECT_TRUE(e.Target == Master || e.Target == map->SsdDevice);
        out.extents.push_back({e.Target != Master, e.FirstSector, e.Sectors, e.ByteOffset >> sectorShift});
    }
    EXPECT_EQ(plan.Count == 0, plan.Extents == NULL);
    FreeReadPlan(&plan);
    return out;
}

// Gives a block a slot whose valid (and, in write-back mode, clean) bits are
// the given strings of the slot's sectors: 'v' valid, 'd' valid and dirty,
// '.' invalid. Returns the slot.
SsdSlot Cache(TestMap& map, ULONG block, const char* bits)
{
    SsdSlot slot = AllocateSlot(map.get(), B(block), AfterBoot);
    EXPECT_NE(slot, NoSlot);
    for (ULONG i = 0; bits[i]; i++) {
        if (bits[i] == '.')
            continue;
        SetValidRun(map.get(), slot, i, 1);
        if (bits[i] == 'v' && map->CleanBitmap)
            SetCleanRun(map.get(), slot, i, 1);
    }
    return slot;
}

// ---------------------------------------------------------------------------
// Block split and extent merge
// ---------------------------------------------------------------------------

struct SplitCase {
    ULONGLONG first;
    ULONG sectors;
    ULONG blockShiftSectors;
    std::vector<BlockPiece> pieces;
    ULONG left;  // sectors beyond the map's last block
};

TEST(BlockSplit, PiecesFollowTheBlocksTouched)
{
    const ULONG shift = 9;
    const SplitCase cases[] = {
        {0, 8, 3, {{B(0), 0, 8, 0}}, 0},                                           // one whole block
        {3, 2, 3, {{B(0), 3, 2, 0}}, 0},                                           // inside one block
        {6, 12, 3, {{B(0), 6, 2, 0}, {B(1), 0, 8, 1024}, {B(2), 0, 2, 5120}}, 0},  // partial, whole, partial
        {16, 1, 3, {{B(2), 0, 1, 0}}, 0},
        {31, 2, 5, {{B(0), 31, 1, 0}, {B(1), 0, 1, 512}}, 0},
        {(5ull << 32) + 7, 2, 32, {{B(5), 7, 2, 0}}, 0},           // a block number high in u32
        {(7ull << 32) - 1, 3, 32, {{B(6), 0xFFFFFFFF, 1, 0}}, 2},  // runs past the last block
    };
    for (const SplitCase& c : cases) {
        CacheMap map = {};
        map.BlockShiftSectors = c.blockShiftSectors;
        map.Blocks.Count = 7;
        BlockSplit split;
        StartBlockSplit(&split, &map, c.first, c.sectors, 0, shift);
        std::vector<BlockPiece> got;
        BlockPiece piece;
        while (NextBlockPiece(&split, &piece))
            got.push_back(piece);
        EXPECT_EQ(split.Remaining, c.left) << c.first << "+" << c.sectors;
        ASSERT_EQ(got.size(), c.pieces.size()) << c.first << "+" << c.sectors;
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].Block, c.pieces[i].Block) << c.first << " piece " << i;
            EXPECT_EQ(got[i].FirstSector, c.pieces[i].FirstSector) << c.first << " piece " << i;
            EXPECT_EQ(got[i].Sectors, c.pieces[i].Sectors) << c.first << " piece " << i;
            EXPECT_EQ(got[i].ByteOffset, c.pieces[i].ByteOffset) << c.first << " piece " << i;
        }
    }
}

TEST(ExtentMerge, OnlyAContinuationOnTheTargetAndInTheBufferMerges)
{
    int a = 0, b = 0;
    struct Case {
        const char* what;
        PDEVICE_OBJECT target;
        ULONGLONG first;
        ULONG offset;
        ULONG count;
    };
    const Case cases[] = {
        {"continues both", (PDEVICE_OBJECT)&a, 108, 4096, 1},
        {"other target", (PDEVICE_OBJECT)&b, 108, 4096, 2},
        {"gap on the target", (PDEVICE_OBJECT)&a, 109, 4096, 2},
        {"gap in the buffer", (PDEVICE_OBJECT)&a, 108, 4608, 2},
        {"target behind", (PDEVICE_OBJECT)&a, 92, 4096, 2},
    };
    for (const Case& c : cases) {
        IoExtent extents[2];
        ULONG count = 0;
        AppendExtent(extents, &count, (PDEVICE_OBJECT)&a, 100, 8, 0, 9);
        AppendExtent(extents, &count, c.target, c.first, 4, c.offset, 9);
        EXPECT_EQ(count, c.count) << c.what;
        if (count == 1) {
            EXPECT_EQ(extents[0].Sectors, 12u);
            EXPECT_EQ(extents[0].Bytes, 12u * 512);
        }
    }
}

// ---------------------------------------------------------------------------
// Plans
// ---------------------------------------------------------------------------

struct Shape {
    ULONG sectorShift;
    ULONG blockShiftSectors;
};

const Shape Shapes[] = {{9, 3}, {12, 3}, {9, 5}, {12, 4}};

MapShape SmallMap(const Shape& s, UCHAR mode)
{
    return {.Slots = 4,
            .Blocks = 16,
            .SectorShift = s.sectorShift,
            .BlockShiftSectors = s.blockShiftSectors,
            .Mode = mode,
            .MinBoot = 0,
            .DataStart = 64};
}

TEST_F(ReadPlanTest, DecisionTableInWriteThroughMode)
{
    for (const Shape& shape : Shapes) {
        SCOPED_TRACE(testing::Message()
                     << "sector shift " << shape.sectorShift << ", block shift " << shape.blockShiftSectors);
        const ULONG per = 1u << shape.blockShiftSectors;  // sectors per block
        const ULONG shift = shape.sectorShift;
        const ULONGLONG data = 64;
        std::string full(per, 'v'), half(per / 2, 'v');
        half.append(per / 2, '.');

        {  // fully valid block: one SSD extent, straight from the slot
            TestMap map(SmallMap(shape, 1));
            LONG s = FromSsdSlot(Cache(map, 2, full.c_str()));
            Planned p = Plan(map, 2 * per + 1, per - 2, true, shift);
            EXPECT_EQ(p.extents, (std::vector<Extent>{{true, data + s * per + 1, per - 2, 0}}));
            EXPECT_EQ(p.noDirty, 1u);
        }
        {  // two consecutive blocks in adjacent slots: one merged SSD extent
            TestMap map(SmallMap(shape, 1));
            Cache(map, 2, full.c_str());
            Cache(map, 3, full.c_str());
            Planned p = Plan(map, 2 * per + per / 2, per, true, shift);
            EXPECT_EQ(p.extents, (std::vector<Extent>{{true, data + per / 2, per, 0}}));
        }
        {  // first half valid: SSD for it, master for the rest
            TestMap map(SmallMap(shape, 1));
            LONG s = FromSsdSlot(Cache(map, 5, half.c_str()));
            Planned p = Plan(map, 5 * per, per, true, shift);
            EXPECT_EQ(p.extents, (std::vector<Extent>{{true, data + s * per, per / 2, 0},
                                                      {false, 5 * per + per / 2, per / 2, per / 2}}));
            EXPECT_EQ(AllocateSlot(map.get(), B(5), AfterBoot), S(s)) << "the block keeps its slot";
        }
        {  // the same with caching not allowed: all from the master, one extent
            TestMap map(SmallMap(shape, 1));
            Cache(map, 5, half.c_str());
            Planned p = Plan(map, 5 * per, per, false, shift);
            EXPECT_EQ(p.status, STATUS_SUCCESS);
            EXPECT_TRUE(p.extents.empty()) << "nothing from the SSD: passed down";
        }
        {  // uncached, allowed: slots for every block, one master extent
            TestMap map(SmallMap(shape, 1));
            Planned p = Plan(map, 7 * per + 2, 2 * per, true, shift);
            EXPECT_EQ(p.extents, (std::vector<Extent>{{false, 7 * per + 2, 2 * per, 0}}));
            for (ULONG block : {7u, 8u, 9u})
                EXPECT_NE(GetBlockSlot(&map->Blocks, B(block)), NoSlot) << block;
            EXPECT_EQ(ULONGLONG(map->Blocks.Entries[7].Heat), per - 2);
            EXPECT_EQ(ULONGLONG(map->Blocks.Entries[8].Heat), per);
            EXPECT_EQ(ULONGLONG(map->Blocks.Entries[9].Heat), 2u);
        }
        {  // uncached, not allowed: passed down, nothing allocated, heat grows
            TestMap map(SmallMap(shape, 1));
            Planned p = Plan(map, 7 * per, per + 1, false, shift);
            EXPECT_EQ(p.status, STATUS_SUCCESS);
            EXPECT_TRUE(p.extents.empty());
            EXPECT_EQ(GetBlockSlot(&map->Blocks, B(7)), NoSlot);
            EXPECT_EQ(GetBlockSlot(&map->Blocks, B(8)), NoSlot);
            EXPECT_EQ(map->Slots.OtherSlots + map->Slots.BootSlots, 0u);
            EXPECT_EQ(ULONGLONG(map->Blocks.Entries[7].Heat), per);
            EXPECT_EQ(ULONGLONG(map->Blocks.Entries[8].Heat), 1u);
        }
        {  // a read that crosses into the table's last block and ends with it
            TestMap map(SmallMap(shape, 1));
            ULONGLONG last = 15ull * per;  // the last block starts here
            Cache(map, 15, full.c_str());
            Planned p = Plan(map, last - 1, per + 1, true, shift);
            ASSERT_EQ(p.extents.size(), 2u);
            EXPECT_EQ(p.extents[0].ssd, true);
            EXPECT_EQ(p.extents[0].sectors, per);
            EXPECT_EQ(p.extents[0].offset, 1u);
            EXPECT_EQ(p.extents[1], (Extent{false, last - 1, 1, 0}));
        }
    }
}

TEST_F(ReadPlanTest, DecisionTableInWriteBackMode)
{
    for (const Shape& shape : Shapes) {
        SCOPED_TRACE(testing::Message()
                     << "sector shift " << shape.sectorShift << ", block shift " << shape.blockShiftSectors);
        const ULONG per = 1u << shape.blockShiftSectors;
        const ULONG shift = shape.sectorShift;
        const ULONGLONG data = 64;
        // Block 1: valid and clean. Block 2: first quarter dirty, second
        // quarter clean, the rest invalid. Both in adjacent slots.
        std::string clean(per, 'v');
        std::string mixed(per / 4, 'd');
        mixed.append(per / 4, 'v');
        mixed.append(per / 2, '.');
        TestMap map(SmallMap(shape, CacheModeWriteBack));
        LONG s1 = FromSsdSlot(Cache(map, 1, clean.c_str()));
        LONG s2 = FromSsdSlot(Cache(map, 2, mixed.c_str()));

        // Allowed: each valid run from the SSD, clean only when wholly clean.
        Planned allowed = Plan(map, per, 2 * per, true, shift);
        EXPECT_EQ(allowed.extents, (std::vector<Extent>{{true, data + s1 * per, per + per / 2, 0},
                                                        {false, 2 * per + per / 2, per / 2, per + per / 2}}));
        EXPECT_EQ(allowed.noDirty, 0u);

        // A stop requested: only the valid run holding dirty data from the SSD.
        Planned stopping = Plan(map, per, 2 * per, false, shift);
        EXPECT_EQ(stopping.extents,
                  (std::vector<Extent>{{true, data + s2 * per, per / 2, per},
                                       {false, per, per, 0},
                                       {false, 2 * per + per / 2, per / 2, per + per / 2}}));
        EXPECT_EQ(stopping.noDirty, 0u);

        // No dirty run touched: passed down.
        Planned cleanOnly = Plan(map, per, per, false, shift);
        EXPECT_TRUE(cleanOnly.extents.empty());
        EXPECT_EQ(cleanOnly.noDirty, 1u);

        // A run with a dirty sector anywhere in it is dirty.
        Planned tail = Plan(map, 2 * per + per / 4 - 1, 2, true, shift);
        EXPECT_EQ(tail.extents, (std::vector<Extent>{{true, data + s2 * per + per / 4 - 1, 2, 0}}));
        EXPECT_EQ(tail.noDirty, 0u);
    }
}

TEST_F(ReadPlanTest, MapWithoutAnSsdLooksNothingUp)
{
    const Shape shape = {9, 3};
    TestMap map(SmallMap(shape, 1), NULL);
    Planned allowed = Plan(map, 10, 20, true, 9);
    EXPECT_EQ(allowed.extents, (std::vector<Extent>{{false, 10, 20, 0}}));
    Planned notAllowed = Plan(map, 10, 20, false, 9);
    EXPECT_TRUE(notAllowed.extents.empty());
    for (ULONG b = 0; b < 16; b++) {
        EXPECT_EQ(ULONGLONG(map->Blocks.Entries[b].Heat), 0u) << b;
        EXPECT_EQ(GetBlockSlot(&map->Blocks, B(b)), NoSlot) << b;
    }
}

// A read over several blocks plans them piece by piece: a slot that an
// earlier piece reads from is no victim for a later piece's miss, else the
// fill of the later block overwrites what the earlier piece is reading.
TEST_F(ReadPlanTest, ASlotReadByOnePieceIsNoVictimForTheNext)
{
    const Shape shape = {9, 3};
    const ULONG per = 8;
    const ULONGLONG data = 64;
    TestMap map(SmallMap(shape, 1));
    for (ULONG b : {5u, 6u, 7u}) {
        Cache(map, b, "vvvvvvvv");
        map->Blocks.Entries[b].Heat = 100;
    }
    SsdSlot s2 = Cache(map, 2, "vvvvvvvv");
    map->Blocks.Entries[3].Heat = 50;
    Planned read = Plan(map, 2 * per + 6, 2 + per, true, 9);
    EXPECT_EQ(read.extents, (std::vector<Extent>{{true, data + FromSsdSlot(s2) * per + 6, 2, 0},
                                                 {false, 3 * per, per, 2}}));
    EXPECT_EQ(GetBlockSlot(&map->Blocks, B(2)), s2) << "block 2 keeps the slot it is read from";
    EXPECT_EQ(GetBlockSlot(&map->Blocks, B(3)), NoSlot);
    EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
}

// Many alternating runs make the piece vector and the range list grow; every
// failed allocation along the way fails the plan and leaks nothing.
TEST_F(ReadPlanTest, GrowingAndFailingAllocations)
{
    const Shape shape = {9, 5};
    std::string alternate;
    for (int i = 0; i < 16; i++)
        alternate += "v.";
    std::vector<Extent> expected;
    for (ULONG i = 0; i < 32; i += 2)
        expected.push_back({true, 64 + i, 1, i});
    for (ULONG i = 1; i < 32; i += 2)
        expected.push_back({false, 32 + i, 1, i});
    {
        TestMap map(SmallMap(shape, 1));
        Cache(map, 1, alternate.c_str());
        Planned p = Plan(map, 32, 32, true, 9);
        EXPECT_EQ(p.extents, expected);
    }
    for (ULONG nth = 1;; nth++) {
        TestMap map(SmallMap(shape, 1));
        Cache(map, 1, alternate.c_str());
        uint64_t before = LivePlanBlocks();
        emu::FailNth(emu::Resource::Pool, nth);
        Planned p = Plan(map, 32, 32, true, 9);
        emu::ClearFailures();
        EXPECT_EQ(LivePlanBlocks(), before) << "allocation " << nth;
        if (p.status == STATUS_SUCCESS) {
            EXPECT_EQ(p.extents, expected);
            EXPECT_GT(nth, 4u) << "the vector grew and the range list too";
            break;
        }
        EXPECT_EQ(p.status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << nth;
        EXPECT_TRUE(p.extents.empty());
    }
}

}  // namespace
