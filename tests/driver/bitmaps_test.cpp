// Valid and clean bitmaps: the bit-run primitives against a naive reference,
// sizes, conversions, dirty-run searches, the drain step and invalidation.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "cachemap_model.h"

using namespace cachemap_test;

namespace {

class BitmapTest : public ::testing::Test {
protected:
    void SetUp() override { bootTime = AfterBoot; }
    void TearDown() override { bootTime = AfterBoot; }
};

// ---------------------------------------------------------------------------
// Primitives
// ---------------------------------------------------------------------------

std::vector<bool> Bits(const std::vector<UCHAR>& bytes)
{
    std::vector<bool> bits;
    for (UCHAR b : bytes)
        for (int i = 0; i < 8; i++)
            bits.push_back((b >> i) & 1);
    return bits;
}

// Buffers with short runs (random), long runs of ones and long runs of zeros.
std::vector<UCHAR> Pattern(int kind, std::mt19937& rng, size_t size)
{
    std::vector<UCHAR> bytes(size);
    for (UCHAR& b : bytes) {
        UCHAR r = (UCHAR)rng();
        if (kind == 0)
            b = r;
        else if (kind == 1)
            b = (rng() % 6) ? 0xFF : r;
        else
            b = (rng() % 6) ? 0x00 : r;
    }
    return bytes;
}

TEST_F(BitmapTest, PrimitivesMatchANaiveBitVector)
{
    std::mt19937 rng(7);
    const size_t size = 48;
    // Bytes 0..7 of an aligned buffer, then the same data one and three bytes
    // off alignment, so word reads at odd addresses are covered too.
    for (int kind = 0; kind < 3; kind++) {
        for (size_t misalign : {0, 1, 3}) {
            std::vector<UCHAR> original = Pattern(kind, rng, size);
            std::vector<bool> naive = Bits(original);
            std::vector<UCHAR> storage(size + 8);
            UCHAR* bits = storage.data() + misalign;
            for (ULONG start = 0; start < 72; start++) {
                for (ULONG count = 0; count <= 140; count++) {
                    SCOPED_TRACE(testing::Message() << "kind " << kind << " misalign " << misalign
                                                    << " start " << start << " count " << count);
                    std::copy(original.begin(), original.end(), bits);
                    ULONGLONG ones = 0, set = 0, zeros = 0;
                    while (ones < count && naive[start + ones])
                        ones++;
                    while (zeros < count && !naive[start + zeros])
                        zeros++;
                    for (ULONG i = 0; i < count; i++)
                        set += naive[start + i];
                    ASSERT_EQ(CountOneRun(bits, start, count), ones);
                    ASSERT_EQ(CountZeroRun(bits, start, count), zeros);
                    ASSERT_EQ(CountSetBits(bits, start, count), set);

                    SetBitRun(bits, start, count);
                    std::vector<bool> expect = naive;
                    for (ULONG i = 0; i < count; i++)
                        expect[start + i] = true;
                    ASSERT_EQ(Bits(std::vector<UCHAR>(bits, bits + size)), expect) << "set";

                    std::copy(original.begin(), original.end(), bits);
                    ClearBitRun(bits, start, count);
                    expect = naive;
                    for (ULONG i = 0; i < count; i++)
                        expect[start + i] = false;
                    ASSERT_EQ(Bits(std::vector<UCHAR>(bits, bits + size)), expect) << "clear";
                }
            }
        }
    }
}

TEST_F(BitmapTest, ByteRunsMatchANaiveCountForEveryByte)
{
    for (ULONG byte = 0; byte < 256; byte++) {
        for (ULONG first = 0; first < 8; first++) {
            for (ULONG n = 0; n <= 8 - first; n++) {
                UCHAR ones = 0, zeros = 0;
                while (ones < n && ((byte >> (first + ones)) & 1))
                    ones++;
                while (zeros < n && !((byte >> (first + zeros)) & 1))
                    zeros++;
                ASSERT_EQ(ByteOneRun((UCHAR)byte, first, n), ones) << byte << " " << first << " " << n;
                ASSERT_EQ(ByteZeroRun((UCHAR)byte, first, n), zeros) << byte << " " << first << " " << n;
            }
        }
    }
}

TEST_F(BitmapTest, PrimitiveFixtures)
{
    UCHAR bytes[3] = {0, 0, 0};
    SetBitRun(bytes, 5, 6);
    EXPECT_EQ(bytes[0], 0xE0);
    EXPECT_EQ(bytes[1], 0x07);
    EXPECT_EQ(bytes[2], 0x00);

    const struct {
        UCHAR byte;
        ULONGLONG set;
    } counts[] = {{0x0F, 4}, {0x10, 1}, {0xAA, 4}};
    for (auto c : counts)
        EXPECT_EQ(CountSetBits(&c.byte, 0, 8), c.set) << int(c.byte);

    UCHAR full[16];
    for (UCHAR& b : full)
        b = 0xFF;
    EXPECT_EQ(CountOneRun(full, 3, 120), 120u);
    EXPECT_EQ(CountZeroRun(full, 3, 0), 0u);
    EXPECT_EQ(CountOneRun(full, 3, 0), 0u);
    EXPECT_EQ(ByteZeroRun(0x00, 2, 5), 5);
    EXPECT_EQ(ByteOneRun(0xFF, 2, 5), 5);
}

// ---------------------------------------------------------------------------
// Sizes and conversions
// ---------------------------------------------------------------------------

TEST_F(BitmapTest, BitmapBytesRoundsUpToAWholeSector)
{
    const struct {
        ULONG blockShift, sectorShift, slots, bytes;
    } cases[] = {
        {17, 9, 1000, 32256},  // 32000 rounded up
        {12, 9, 512, 512},     // exact
        {12, 9, 1, 512},         {12, 9, 513, 1024},
        {15, 12, 100, 4096},  // 4096-byte sectors
        {15, 12, 4096, 4096},    {15, 12, 4097, 8192},
        {16, 12, 1000, 4096},    {31, 9, 8191, 0xFFF80000u},  // largest that fits
        {31, 9, 8192, 0},                                     // 4 GiB does not fit u32
        {12, 9, 0xFFFFFFFFu, 0},                              // rounding would pass 4 GiB
        {11, 9, 100, 0},                                      // blocks of 4 sectors: no whole byte per slot
        {12, 12, 100, 0},
    };
    for (auto c : cases)
        EXPECT_EQ(BitmapBytes(c.blockShift, c.sectorShift, c.slots), c.bytes)
            << c.blockShift << " " << c.sectorShift << " " << c.slots;
}

TEST_F(BitmapTest, ConversionsAtTheEdgesOfTheDataArea)
{
    TestMap map(MapShape{4, 16, 9, 3, 1, 0, 100});  // data area [100, 132)
    map.Fill({1, 1, 1});                            // slots 0..2 hold blocks 0..2
    ASSERT_EQ(map->Slots.Entries[1].Block, B(1u));
    const struct {
        ULONGLONG sector;
        bool inside;
        LONG slot;
        ULONGLONG bit;
        ULONGLONG master;
    } cases[] = {
        {0, false, 0, 0, ~0ull},  {99, false, 0, 0, ~0ull},  {100, true, 0, 0, 0},
        {107, true, 0, 7, 7},     {108, true, 1, 0, 8},      {123, true, 2, 7, 23},
        {124, true, 3, 0, ~0ull},  // slot 3 is free
        {131, true, 3, 7, ~0ull}, {132, false, 0, 0, ~0ull}, {~0ull, false, 0, 0, ~0ull},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.sector);
        SsdSlot slot = S(-7);
        ULONGLONG bit = 77;
        EXPECT_EQ(SsdSectorToSlot(map.get(), c.sector, &slot, &bit), c.inside);
        if (c.inside) {
            EXPECT_EQ(slot, S(c.slot));
            EXPECT_EQ(bit, c.bit);
            EXPECT_EQ(SlotFirstSsdSector(map.get(), slot) + bit, c.sector);
        }
        EXPECT_EQ(SsdToMasterSector(map.get(), c.sector), c.master);
    }
    EXPECT_EQ(SlotBitmapOffset(map.get(), S(3)), 3u);
}

// ---------------------------------------------------------------------------
// Slot runs at block, byte and word edges, 512- and 4096-byte sectors
// ---------------------------------------------------------------------------

struct Geometry {
    ULONG sectorShift;
    ULONG blockShiftSectors;
};
const Geometry Geometries[] = {{9, 3}, {9, 7}, {12, 3}, {12, 8}};

TEST_F(BitmapTest, SlotRunsSetAndClearExactlyTheirSectors)
{
    for (Geometry g : Geometries) {
        const ULONG slotBits = 1u << g.blockShiftSectors;
        SCOPED_TRACE(testing::Message()
                     << "sector shift " << g.sectorShift << ", " << slotBits << " sectors per block");
        // (slot, first slot bit, count): first/last sector, byte and word edges,
        // a run into the next slot, a run cut at the end of the data area.
        const struct {
            LONG slot;
            ULONGLONG first;
            ULONG count;
        } runs[] = {
            {1, 0, 1},
            {1, slotBits - 1, 1},
            {1, 0, slotBits},
            {1, 7, 2},
            {1, slotBits - 1, 2},
            {2, slotBits / 2, slotBits},
            {0, 63 % slotBits, 3},
            {3, slotBits - 2, 1000},
            {3, slotBits, 5},
            {-1, 0, 4},
            {4, 0, 4},
        };
        for (auto r : runs) {
            SCOPED_TRACE(testing::Message()
                         << "slot " << r.slot << " bit " << r.first << " count " << r.count);
            TestMap map(MapShape{4, 16, g.sectorShift, g.blockShiftSectors, CacheModeWriteBack, 0, 64});
            ASSERT_EQ(map.status(), STATUS_SUCCESS);
            const ULONG areaBits = 4 * slotBits;
            std::vector<bool> expect(map->BitmapSize * 8, false);
            if (r.slot >= 0 && r.slot < 4) {
                for (ULONGLONG i = 0; i < r.count; i++) {
                    ULONGLONG bit = r.slot * (ULONGLONG)slotBits + r.first + i;
                    if (bit < areaBits)
                        expect[bit] = true;
                }
            }
            SetValidRun(map.get(), S(r.slot), r.first, r.count);
            EXPECT_EQ(Bits(std::vector<UCHAR>(map->ValidBitmap, map->ValidBitmap + map->BitmapSize)), expect);
            EXPECT_EQ(SetCleanRun(map.get(), S(r.slot), r.first, r.count), STATUS_SUCCESS);
            EXPECT_EQ(Bits(std::vector<UCHAR>(map->CleanBitmap, map->CleanBitmap + map->BitmapSize)), expect);

            SetBitRun(map->ValidBitmap, 0, areaBits);
            ClearValidRun(map.get(), S(r.slot), r.first, r.count);
            for (ULONG i = 0; i < areaBits; i++)
                ASSERT_EQ((bool)((map->ValidBitmap[i >> 3] >> (i & 7)) & 1), !expect[i]) << "bit " << i;
        }
    }
}

TEST_F(BitmapTest, CleanRunsNeedACleanBitmapOnlyInWriteBackMode)
{
    TestMap through(MapShape{4, 16, 9, 3, 1, 0, 64});
    EXPECT_EQ(SetCleanRun(through.get(), S(0), 0, 8), STATUS_SUCCESS);
    EXPECT_EQ(ClearCleanRun(through.get(), S(0), 0, 8), STATUS_SUCCESS);

    TestMap back(MapShape{4, 16, 9, 3, CacheModeWriteBack, 0, 64});
    FreeCleanBitmap(back.get());
    EXPECT_EQ(SetCleanRun(back.get(), S(0), 0, 8), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ClearCleanRun(back.get(), S(0), 0, 8), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(BitmapTest, BitmapsAreCountedInPoolBytes)
{
    TestMap map(MapShape{4, 16, 9, 3, 1, 0, 64});
    ULONGLONG before = MapPoolBytes();
    ASSERT_TRUE(AllocCleanBitmap(map.get()));
    EXPECT_EQ(MapPoolBytes(), before + map->BitmapSize);
    ASSERT_TRUE(AllocCleanBitmap(map.get())) << "already there: nothing more";
    EXPECT_EQ(MapPoolBytes(), before + map->BitmapSize);
    FreeCleanBitmap(map.get());
    FreeCleanBitmap(map.get());
    EXPECT_EQ(MapPoolBytes(), before);
}

// ---------------------------------------------------------------------------
// Dirty runs
// ---------------------------------------------------------------------------

struct BitRange {
    ULONG first, count;
};
struct DirtyCase {
    const char* name;
    std::vector<BitRange> valid;
    std::vector<BitRange> clean;
    bool found;
    ULONG first, count;
};

TEST_F(BitmapTest, FindDirtyRunReportsTheFirstDirtySectorToTheEndOfItsValidRun)
{
    // Slot 1 of a map with 128 sectors per block.
    const DirtyCase cases[] = {
        {"all clear", {}, {}, false, 0, 0},
        {"valid and clean", {{0, 128}}, {{0, 128}}, false, 0, 0},
        {"clean prefix, dirty, clean", {{10, 20}}, {{10, 2}, {13, 17}}, true, 12, 18},
        {"second valid run dirty", {{0, 8}, {20, 20}}, {{0, 8}, {25, 15}}, true, 20, 20},
        {"dirty from a word edge", {{60, 10}}, {{60, 4}}, true, 64, 6},
        {"first sector", {{0, 1}}, {}, true, 0, 1},
        {"last sector", {{127, 1}}, {}, true, 127, 1},
        {"whole slot dirty", {{0, 128}}, {}, true, 0, 128},
        {"clean bits under invalid sectors", {{4, 4}}, {{0, 128}}, false, 0, 0},
    };
    for (ULONG sectorShift : {9u, 12u}) {
        for (const DirtyCase& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << ", sector shift " << sectorShift);
            TestMap map(MapShape{4, 16, sectorShift, 7, CacheModeWriteBack, 0, 64});
            map.Fill({1, 1, 1, 1});
            for (BitRange r : c.valid)
                SetValidRun(map.get(), S(1), r.first, r.count);
            for (BitRange r : c.clean)
                SetCleanRun(map.get(), S(1), r.first, r.count);
            // Dirty sectors in the neighbouring slots must not leak in.
            SetValidRun(map.get(), S(0), 127, 1);
            SetValidRun(map.get(), S(2), 0, 1);
            ULONGLONG first = 999;
            ULONG count = 999;
            EXPECT_EQ(FindDirtyRun(map.get(), S(1), &first, &count), c.found);
            if (c.found) {
                EXPECT_EQ(first, c.first);
                EXPECT_EQ(count, c.count);
            }
            EXPECT_EQ(FindDirtyRun(map.get(), S(1), NULL, NULL), c.found);
        }
    }
}

TEST_F(BitmapTest, NoDirtyRunWithoutACleanBitmapOrInAFreeSlot)
{
    TestMap through(MapShape{4, 16, 9, 3, 1, 0, 64});
    through.Fill({1});
    SetValidRun(through.get(), S(0), 0, 8);
    EXPECT_FALSE(FindDirtyRun(through.get(), S(0), NULL, NULL));
    SsdRun run;
    EXPECT_FALSE(FindAnyDirtyRun(through.get(), &run));
    EXPECT_FALSE(FindIdleDestageRun(through.get(), &run));

    TestMap back(MapShape{4, 16, 9, 3, CacheModeWriteBack, 0, 64});
    SetBitRun(back->ValidBitmap, 8, 8);  // slot 1 is free
    EXPECT_FALSE(FindDirtyRun(back.get(), S(1), NULL, NULL));
    EXPECT_FALSE(FindDirtyRun(back.get(), S(9), NULL, NULL));
}

// Four used slots, blocks 0..3, boot flags as given; each slot dirty at bit
// (slot + 1); LRU order from the head as given by the block order.
struct SearchFixture {
    explicit SearchFixture(std::vector<bool> boot, std::vector<ULONG> lruOrder)
        : map(MapShape{4, 16, 9, 3, CacheModeWriteBack, 0, 64})
    {
        for (ULONG b = 0; b < 4; b++) {
            bootTime = boot[b] ? DuringBoot : AfterBoot;
            AllocateSlot(map.get(), B(b), bootTime);
        }
        bootTime = AfterBoot;
        for (ULONG b : lruOrder)
            LookupSlot(map.get(), B(b), bootTime);
    }
    void Dirty(ULONG slot) { SetValidRun(map.get(), S(slot), slot + 1, 1); }
    TestMap map;
};

TEST_F(BitmapTest, SearchesFollowTheLruOrderAndTheBootFilters)
{
    SearchFixture f({true, false, true, false}, {2, 3, 0, 1});
    for (ULONG s = 0; s < 4; s++)
        f.Dirty(s);
    SsdRun run;
    ASSERT_TRUE(FindAnyDirtyRun(f.map.get(), &run));
    EXPECT_EQ(run.FirstSector, 64u + 2 * 8 + 3) << "LRU head: slot 2";
    EXPECT_EQ(run.Sectors, 1u);
    EXPECT_EQ(run.SsdDevice, f.map->SsdDevice);
    ASSERT_TRUE(FindDirtyRunNonBoot(f.map.get(), &run));
    EXPECT_EQ(run.FirstSector, 64u + 3 * 8 + 4) << "first non-boot: slot 3";
    ASSERT_TRUE(FindDirtyRunBoot(f.map.get(), &run));
    EXPECT_EQ(run.FirstSector, 64u + 2 * 8 + 3);
    ASSERT_TRUE(FindIdleDestageRun(f.map.get(), &run));
    EXPECT_EQ(run.FirstSector, 64u + 3 * 8 + 4) << "idle write-back takes non-boot slots first";

    // Non-boot slots clean: idle write-back falls back to the boot slots.
    SetCleanRun(f.map.get(), S(1), 0, 8);
    SetCleanRun(f.map.get(), S(3), 0, 8);
    EXPECT_FALSE(FindDirtyRunNonBoot(f.map.get(), &run));
    ASSERT_TRUE(FindIdleDestageRun(f.map.get(), &run));
    EXPECT_EQ(run.FirstSector, 64u + 2 * 8 + 3);

    // Without an SSD there is nothing to destage to.
    f.map->SsdDevice = NULL;
    EXPECT_FALSE(FindIdleDestageRun(f.map.get(), &run));
    EXPECT_FALSE(FindAnyDirtyRun(f.map.get(), &run));
}

TEST_F(BitmapTest, SearchesSeeChangesMadeSinceTheLastSearch)
{
    // Each change that can put a dirty run where the last search found none.
    SsdRun run;
    {
        SCOPED_TRACE("the MRU slot turns boot");
        SearchFixture f({false, false, false, false}, {});
        f.Dirty(3);
        EXPECT_FALSE(FindDirtyRunBoot(f.map.get(), &run));
        bootTime = DuringBoot;
        LookupSlot(f.map.get(), B(3), bootTime);  // already at the MRU end: only its flag changes
        bootTime = AfterBoot;
        ASSERT_TRUE(FindDirtyRunBoot(f.map.get(), &run));
        EXPECT_EQ(run.FirstSector, 64u + 3 * 8 + 4);
    }
    {
        SCOPED_TRACE("a clean bit cleared");
        SearchFixture f({false, false, false, false}, {});
        SetValidRun(f.map.get(), S(1), 0, 8);
        SetCleanRun(f.map.get(), S(1), 0, 8);
        EXPECT_FALSE(FindAnyDirtyRun(f.map.get(), &run));
        ClearCleanRun(f.map.get(), S(1), 5, 1);
        ASSERT_TRUE(FindAnyDirtyRun(f.map.get(), &run));
        EXPECT_EQ(run.FirstSector, 64u + 8 + 5);
    }
    {
        SCOPED_TRACE("a dirty slot moved before the resume point");
        SearchFixture f({false, false, false, false}, {});
        f.Dirty(2);
        f.Dirty(3);
        ASSERT_TRUE(FindAnyDirtyRun(f.map.get(), &run));  // resumes at slot 2
        SetCleanRun(f.map.get(), S(2), 0, 8);
        EvictSlot(f.map.get(), S(0));
        AllocateSlot(f.map.get(), B(9), bootTime);  // slot 0 again, at the MRU end
        f.Dirty(0);
        LookupSlot(f.map.get(), B(3), bootTime);  // order: 1, 2, 0, 3
        ASSERT_TRUE(FindAnyDirtyRun(f.map.get(), &run));
        EXPECT_EQ(run.FirstSector, 64u + 0 * 8 + 1);
    }
}

TEST_F(BitmapTest, DrainFreesCleanSlotsFromTheLruHead)
{
    TestMap map(MapShape{4, 16, 9, 3, 1, 0, 64});
    map.Fill({1, 1, 1});
    LookupSlot(map.get(), B(0), bootTime);  // LRU: 1, 2, 0
    SsdRun run;
    for (ULONG expected : {1u, 2u, 0u}) {
        ASSERT_TRUE(DrainLruHead(map.get(), &run));
        EXPECT_EQ(run.FirstSector, ~0ull);
        EXPECT_EQ(run.Sectors, 0u);
        EXPECT_EQ(GetBlockSlot(&map->Blocks, B(expected)), NoSlot) << "block " << expected;
        EXPECT_EQ(CheckMapInvariants(*map.get(), map.baseline()), "");
    }
    EXPECT_FALSE(DrainLruHead(map.get(), &run)) << "no used slot left";
}

TEST_F(BitmapTest, DrainReturnsADirtyHeadWithoutMovingIt)
{
    TestMap map(MapShape{4, 16, 9, 3, CacheModeWriteBack, 0, 64});
    map.Fill({1, 1});
    SetValidRun(map.get(), S(0), 2, 3);
    SsdRun run;
    ASSERT_TRUE(DrainLruHead(map.get(), &run));
    EXPECT_EQ(run.FirstSector, 64u + 2);
    EXPECT_EQ(run.Sectors, 3u);
    EXPECT_EQ(map->Slots.LruHead, S(0)) << "the dirty slot stays in place";
    SetCleanRun(map.get(), S(0), 2, 3);
    ASSERT_TRUE(DrainLruHead(map.get(), &run));
    EXPECT_EQ(run.Sectors, 0u);
    EXPECT_EQ(map->Slots.LruHead, S(1));

    map->SsdDevice = NULL;
    EXPECT_FALSE(DrainLruHead(map.get(), &run));
}

// ---------------------------------------------------------------------------
// Range invalidation and fills
// ---------------------------------------------------------------------------

struct InvalidateCase {
    const char* name;
    ULONGLONG first;
    ULONG sectors;
    std::vector<UCHAR> valid;  // valid byte of slots 0..2 (blocks 1, 3, 4) afterwards
};

TEST_F(BitmapTest, InvalidateMasterRangeClearsOnlyCachedSectorsOfTheRange)
{
    // Blocks of 8 sectors; blocks 1, 3 and 4 in slots 0, 1, 2, all valid.
    const InvalidateCase cases[] = {
        {"nothing", 0, 0, {0xFF, 0xFF, 0xFF}},
        {"uncached block", 16, 8, {0xFF, 0xFF, 0xFF}},
        {"middle of a block", 8 + 3, 2, {0xE7, 0xFF, 0xFF}},
        {"from the middle to the end of the block", 8 + 5, 3, {0x1F, 0xFF, 0xFF}},
        {"cached and uncached blocks", 8 + 6, 20, {0x3F, 0x00, 0xFC}},
        {"sector 0 only", 0, 1, {0xFF, 0xFF, 0xFF}},
        {"whole master", 0, 16 * 8, {0x00, 0x00, 0x00}},
        {"beyond the master", 16 * 8, 1000, {0xFF, 0xFF, 0xFF}},
        {"would alias block 1 if narrowed", (1ull << 35) + 8, 8, {0xFF, 0xFF, 0xFF}},
        {"end of the sector numbers", ~0ull - 2, 100, {0xFF, 0xFF, 0xFF}},
    };
    for (const InvalidateCase& c : cases) {
        SCOPED_TRACE(c.name);
        TestMap map(MapShape{4, 16, 9, 3, CacheModeWriteBack, 0, 64});
        for (ULONG b : {1u, 3u, 4u})
            AllocateSlot(map.get(), B(b), bootTime);
        SetValidRun(map.get(), S(0), 0, 24);
        SetCleanRun(map.get(), S(0), 0, 24);
        FailPoolAllocation(1);  // no memory is needed for it
        EXPECT_EQ(InvalidateMasterRange(map.get(), c.first, c.sectors, bootTime), STATUS_SUCCESS);
        StopPoolFailures();
        for (ULONG s = 0; s < 3; s++)
            EXPECT_EQ(map->ValidBitmap[s], c.valid[s]) << "slot " << s;
        for (ULONG s = 0; s < 3; s++)
            EXPECT_EQ(map->CleanBitmap[s], 0xFF) << "clean bits stay";
    }
}

TEST_F(BitmapTest, InvalidateLooksTheBlocksUp)
{
    TestMap map(MapShape{4, 16, 9, 3, 1, 0, 64});
    for (ULONG b : {1u, 3u, 4u})
        AllocateSlot(map.get(), B(b), bootTime);
    bootTime = DuringBoot;
    InvalidateMasterRange(map.get(), 8, 1, bootTime);
    EXPECT_EQ(LruBlocks(*map.get()), (std::list<ULONG>{3, 4, 1})) << "moved to the MRU end";
    EXPECT_EQ(map->Slots.Entries[0].BootFlag, 1u) << "hit before the first open";

    map->SsdDevice = NULL;
    InvalidateMasterRange(map.get(), 24, 1, bootTime);
    EXPECT_EQ(LruBlocks(*map.get()), (std::list<ULONG>{3, 4, 1})) << "no SSD: no lookup";
}

TEST_F(BitmapTest, MarkSsdRangeValid)
{
    // Data area [64, 96): four slots of 8 sectors.
    TestMap back(MapShape{4, 16, 9, 3, CacheModeWriteBack, 0, 64});
    EXPECT_EQ(MarkSsdRangeValid(back.get(), 63, 4), STATUS_SUCCESS);
    EXPECT_EQ(MarkSsdRangeValid(back.get(), 96, 4), STATUS_SUCCESS);
    EXPECT_EQ(CountSetBits(back->ValidBitmap, 0, 32), 0u) << "outside the area: nothing";

    EXPECT_EQ(MarkSsdRangeValid(back.get(), 64 + 6, 4), STATUS_SUCCESS);
    EXPECT_EQ(back->ValidBitmap[0], 0xC0);
    EXPECT_EQ(back->ValidBitmap[1], 0x03) << "runs on into the next slot";
    EXPECT_EQ(back->CleanBitmap[0], 0xC0);
    EXPECT_EQ(back->CleanBitmap[1], 0x03);

    EXPECT_EQ(MarkSsdRangeValid(back.get(), 64 + 30, 50), STATUS_SUCCESS);
    EXPECT_EQ(back->ValidBitmap[3], 0xC0);
    EXPECT_EQ(back->ValidBitmap[4], 0x00) << "cut at the end of the data area";

    FreeCleanBitmap(back.get());
    EXPECT_EQ(MarkSsdRangeValid(back.get(), 64 + 16, 4), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(back->ValidBitmap[2], 0x00) << "valid bits unchanged";

    TestMap through(MapShape{4, 16, 9, 3, 1, 0, 64});
    EXPECT_EQ(MarkSsdRangeValid(through.get(), 64 + 8, 8), STATUS_SUCCESS);
    EXPECT_EQ(through->ValidBitmap[1], 0xFF);
}

}  // namespace
