// Cost of the cache map on the request path: lookups, misses and evictions on
// a full cache, and the bit-run scans, at 1K, 64K and 1M slots.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "kernel.h"
#include "bitmaps.h"
#include "cachemap.h"

namespace {

const ULONG SectorShift = 9;
const ULONG BlockShiftSectors = 8;  // 128 KiB blocks: 256 bits per slot

MasterBlock B(ULONG number)
{
    return ToMasterBlock(number);
}
SsdSlot S(LONG index)
{
    return ToSsdSlot(index);
}

// The boot time the map is given: after boot unless a benchmark says otherwise.
BootTime bootTime = AfterBoot;

// A full write-back map: slots hold blocks 0..slots-1 with heat 1; the block
// table has four times as many blocks.
struct FullMap {
    explicit FullMap(ULONG slots, ULONGLONG heat = 1)
    {
        bootTime = AfterBoot;
        ResetCacheMap(&map);
        CacheMapLayout layout = {};
        layout.MasterSectors = ((ULONGLONG)slots * 4) << BlockShiftSectors;
        layout.SectorShift = SectorShift;
        layout.BlockShift = BlockShiftSectors + SectorShift;
        layout.SlotCount = slots;
        layout.DataStart = 8;
        layout.DataEnd = 8 + ((ULONGLONG)slots << BlockShiftSectors);
        layout.Mode = CacheModeWriteBack;
        ok = NT_SUCCESS(SizeCacheMap(&map, &layout)) && NT_SUCCESS(InitEmptyMapWithClean(&map));
        map.SsdDevice = (PDEVICE_OBJECT)this;
        for (ULONG b = 0; ok && b < slots; b++) {
            AllocateSlot(&map, B(b), bootTime);
            AddHeat(&map, B(b), (ULONG)heat);
        }
    }
    ~FullMap() { FreeMapTables(&map); }
    CacheMap map;
    bool ok = false;
};

void SlotCounts(benchmark::internal::Benchmark* b)
{
    b->Arg(1 << 10)->Arg(1 << 16)->Arg(1 << 20);
}

void BM_LookupHit(benchmark::State& state)
{
    FullMap full((ULONG)state.range(0));
    std::mt19937 rng(1);
    std::vector<ULONG> blocks(4096);
    for (ULONG& b : blocks)
        b = rng() % (ULONG)state.range(0);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(LookupSlot(&full.map, B(blocks[i++ & 4095]), bootTime));
    }
}
BENCHMARK(BM_LookupHit)->Apply(SlotCounts);

// A block never touched before (heat 0) on a full cache: no slot can qualify.
void BM_FirstTouchMissOnFullCache(benchmark::State& state)
{
    ULONG slots = (ULONG)state.range(0);
    FullMap full(slots);
    ULONG block = slots;
    for (auto _ : state) {
        if (++block >= full.map.Blocks.Count)
            block = slots;
        benchmark::DoNotOptimize(AllocateSlot(&full.map, B(block), bootTime));
    }
}
BENCHMARK(BM_FirstTouchMissOnFullCache)->Apply(SlotCounts);

// A warm block (heat 50) against a cache whose blocks all have heat 100: no
// slot qualifies; only the first miss walks the list.
void BM_WarmMissNoColderSlot(benchmark::State& state)
{
    ULONG slots = (ULONG)state.range(0);
    FullMap full(slots, 100);
    for (ULONG b = slots; b < full.map.Blocks.Count; b++)
        AddHeat(&full.map, B(b), 50);
    ULONG block = slots;
    for (auto _ : state) {
        if (++block >= full.map.Blocks.Count)
            block = slots;
        benchmark::DoNotOptimize(AllocateSlot(&full.map, B(block), bootTime));
    }
}
BENCHMARK(BM_WarmMissNoColderSlot)->Apply(SlotCounts);

// Gives the next block not cached, made hotter than everything before it, a slot:
// an evicted block is uncached again, so the walk goes round for ever.
SsdSlot AssignNextUncachedBlock(FullMap& full, ULONG& block, ULONG& heat)
{
    do {
        if (++block >= full.map.Blocks.Count)
            block = 0;
    } while (GetBlockSlot(&full.map.Blocks, B(block)) != NoSlot);
    AddHeat(&full.map, B(block), heat++);
    return AllocateSlot(&full.map, B(block), bootTime);
}

// A block hotter than everything cached: the LRU head is evicted and reused.
void BM_EvictAndAssignOnFullCache(benchmark::State& state)
{
    ULONG slots = (ULONG)state.range(0);
    FullMap full(slots);
    ULONG block = slots;
    ULONG heat = 2;
    for (auto _ : state)
        benchmark::DoNotOptimize(AssignNextUncachedBlock(full, block, heat));
}
BENCHMARK(BM_EvictAndAssignOnFullCache)->Apply(SlotCounts);

// The same, with nine slots in ten protected boot slots at the LRU head, as
// after a boot that filled most of the cache: the non-boot walk skips them.
void BM_EvictBehindBootSlots(benchmark::State& state)
{
    ULONG slots = (ULONG)state.range(0);
    FullMap full(slots);
    for (ULONG b = 0; b < slots; b++)
        EvictSlot(&full.map, GetBlockSlot(&full.map.Blocks, B(b)));
    full.map.MinBoot = slots;
    for (ULONG b = 0; b < slots; b++) {
        bootTime = b < slots / 10 * 9 ? DuringBoot : AfterBoot;
        AllocateSlot(&full.map, B(b), bootTime);
    }
    bootTime = AfterBoot;
    ULONG block = slots;
    ULONG heat = 2;
    for (auto _ : state)
        benchmark::DoNotOptimize(AssignNextUncachedBlock(full, block, heat));
}
BENCHMARK(BM_EvictBehindBootSlots)->Apply(SlotCounts);

// Run scans over one slot of 256 sectors, as the read path does per piece.
void BM_ValidRunsOfASlot(benchmark::State& state)
{
    FullMap full(1 << 10);
    SetValidRun(&full.map, S(3), 0, 200);
    ULONGLONG base = 3ull << BlockShiftSectors;
    for (auto _ : state) {
        ULONGLONG ones = CountOneRun(full.map.ValidBitmap, base, 256);
        ULONGLONG zeros = CountZeroRun(full.map.ValidBitmap, base + ones, 256 - ones);
        benchmark::DoNotOptimize(ones + zeros);
    }
}
BENCHMARK(BM_ValidRunsOfASlot);

void BM_FindDirtyRunInASlot(benchmark::State& state)
{
    FullMap full(1 << 10);
    SetValidRun(&full.map, S(3), 0, 256);
    SetCleanRun(&full.map, S(3), 0, 250);
    for (auto _ : state) {
        ULONGLONG first;
        ULONG count;
        benchmark::DoNotOptimize(FindDirtyRun(&full.map, S(3), &first, &count));
    }
}
BENCHMARK(BM_FindDirtyRunInASlot);

// A flush of a cache whose every slot holds one dirty run: find the first
// dirty run in LRU order, clean it, again until none is left. Reported per
// slot; it stays flat because each search resumes where the last one ended.
void BM_FlushEveryDirtySlot(benchmark::State& state)
{
    ULONG slots = (ULONG)state.range(0);
    FullMap full(slots);
    for (auto _ : state) {
        state.PauseTiming();
        for (ULONG s = 0; s < slots; s++)
            SetValidRun(&full.map, S((LONG)s), 10, 20);
        state.ResumeTiming();
        SsdRun run;
        while (FindAnyDirtyRun(&full.map, &run)) {
            SsdSlot slot;
            ULONGLONG bit;
            SsdSectorToSlot(&full.map, run.FirstSector, &slot, &bit);
            SetCleanRun(&full.map, slot, bit, run.Sectors);
        }
    }
    state.SetItemsProcessed((int64_t)state.iterations() * slots);
}
BENCHMARK(BM_FlushEveryDirtySlot)->Apply(SlotCounts)->Unit(benchmark::kMillisecond);

// Long scans: one valid run over the whole bitmap, its set bits counted.
void BM_ScanWholeBitmap(benchmark::State& state)
{
    ULONG slots = (ULONG)state.range(0);
    FullMap full(slots);
    ULONGLONG bits = (ULONGLONG)slots << BlockShiftSectors;
    SetBitRun(full.map.ValidBitmap, 0, bits);
    for (auto _ : state) {
        benchmark::DoNotOptimize(CountOneRun(full.map.ValidBitmap, 0, bits));
        benchmark::DoNotOptimize(CountSetBits(full.map.ValidBitmap, 0, bits));
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)(bits / 8) * 2);
}
BENCHMARK(BM_ScanWholeBitmap)->Apply(SlotCounts);

}  // namespace

BENCHMARK_MAIN();
