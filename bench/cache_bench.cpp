// Reads and writes through the cache against the same reads sent to the disks directly,
// with the disk timing model of the emulated disks (a 7200 rpm hard disk as
// the master, a SATA SSD as its cache), and the CPU the driver spends per
// read without any timing. Each case reports requests per second.
//
//   BM_Read/hot_cached      random 4 KiB reads, 8 in flight, over a working
//                           set that is fully cached
//   BM_Read/ssd_direct      the same reads sent to the SSD itself
//   BM_Read/cold_random     first reads of uncached data, one at a time, with
//                           the fill running
//   BM_Read/cold_sequential the same in sequence
//   BM_Read/hdd_random, BM_Read/hdd_sequential: those reads sent to the hard disk itself
//   BM_Write/through_cached random 4 KiB writes, 8 in flight, into the cached
//                           working set in write-through mode (SSD and hard disk)
//   BM_Write/hdd_direct     the same writes sent to the hard disk itself
//   BM_Write/back_cached    those writes in write-back mode, running phase (SSD only)
//   BM_Write/ssd_direct     the same writes sent to the SSD itself
//   BM_ReadCpu/hit          inline completion, no timing: CPU per 4 KiB read
//                           served from the cache
//   BM_ReadCpu/passthrough  the same for a disk without a role (both through the worker)
//   BM_Pool/per_GiB_cache   nonpaged pool the driver holds for each further GiB of
//                           cache (1 TiB master, 1 and 2 GiB of write-back cache)
//   BM_Pool/per_TiB_master  the same for each further TiB of master (1 and 2 TiB,
//                           1 GiB of cache)
//   Each pool case reports, per unit: the pool of the driver's tag (pool), the
//   driver's own count that GET_POOL_USAGE reports (pool_bytes), the bytes of the
//   fields of the map's records and of its bitmaps (records), and pool / records
//   (ratio, target <= 1.05).
//
//   BM_Virtual/...          the figures of cachefigures.h in virtual time, one
//                           run each: ratio (the rate through the cache over the
//                           disk's own), its target, and both virtual times in ms.
//                           Unlike every case above they do not depend on the host.
//
// Build it in a Release tree without sanitizers (see the README).
#include <benchmark/benchmark.h>
#include <emu/machine.h>

#include <memory>
#include <random>
#include <vector>

#include "cachefigures.h"
#include "tolvarn.h"
#include "entry.h"
#include "pool.h"
#include "../tests/driver/cachesetup.h"
#include "controlclient.h"

namespace {

using cache_test::CacheShape;
using emu::CompletionMode;

const ULONG ReadBytes = 4096;
const ULONG InFlight = 8;

NTSTATUS NTAPI NoDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}

enum class Route { Filter, Direct };

// A master and an SSD, behind the driver with the master's cache active, or
// with no driver at all.
struct Rig {
    Rig(Route route, uint64_t masterBytes, const CacheShape& shape, CompletionMode mode, bool timing)
    {
        emu::DiskConfig hdd = {.lengthBytes = masterBytes, .serial = "MASTER01", .completion = mode};
        emu::DiskConfig ssdConfig = {
            .lengthBytes = cache_test::SsdBytesFor(shape, 512), .serial = "SSD00001", .completion = mode};
        if (timing) {
            hdd.timing = emu::HardDiskTiming();
            ssdConfig.timing = emu::SsdTiming();
        }
        master = &machine.AddDisk(hdd);
        ssd = &machine.AddDisk(ssdConfig);
        if (route == Route::Direct) {
            ok = NT_SUCCESS(machine.Load(NoDriverEntry));
            return;
        }
        ok = NT_SUCCESS(machine.Boot(DriverEntry));
        machine.WaitUntilQuiet();
        ok = ok && NT_SUCCESS(cache_test::ActivateCache(*master, *ssd, shape));
    }

    // Reads [first, first + bytes) of the master whole, block by block, and
    // waits for the fills.
    void Warm(uint64_t first, uint64_t bytes, ULONG blockBytes)
    {
        std::vector<uint8_t> buffer(blockBytes);
        for (uint64_t at = first; at < first + bytes; at += blockBytes)
            ok = ok && machine.Read(*master, at, buffer.data(), blockBytes).status == STATUS_SUCCESS;
        machine.WaitUntilQuiet();
    }

    emu::Machine machine;
    emu::Disk* master = nullptr;
    emu::Disk* ssd = nullptr;
    bool ok = false;
};

// Keeps `depth` reads (or writes) in flight on the disk, one new request per
// iteration.
template <typename NextOffset>
void IoLoop(benchmark::State& state, Rig& rig, emu::Disk& disk, ULONG depth, NextOffset next,
            emu::DiskOp op = emu::DiskOp::Read)
{
    if (!rig.ok) {
        state.SkipWithError("the machine did not come up");
        return;
    }
    std::vector<uint8_t> buffers((size_t)depth * ReadBytes);
    std::vector<std::unique_ptr<emu::PendingIo>> pending(depth);
    uint64_t failed = 0;
    size_t i = 0;
    for (auto _ : state) {
        std::unique_ptr<emu::PendingIo>& slot = pending[i % depth];
        if (slot)
            failed += slot->Wait().status != STATUS_SUCCESS;
        uint8_t* buffer = &buffers[(i % depth) * ReadBytes];
        slot.reset(new emu::PendingIo(op == emu::DiskOp::Write
                                          ? rig.machine.StartWrite(disk, next(), buffer, ReadBytes)
                                          : rig.machine.StartRead(disk, next(), buffer, ReadBytes)));
        i++;
    }
    for (std::unique_ptr<emu::PendingIo>& slot : pending)
        if (slot)
            failed += slot->Wait().status != STATUS_SUCCESS;
    if (failed)
        state.SkipWithError("a request failed");
    state.SetItemsProcessed((int64_t)state.iterations());
}

// ---- Hot reads: a working set that the cache holds whole ---------------------------

const ULONG BlockShiftSectors = 8;  // 128 KiB blocks
const ULONG BlockBytes = 512u << BlockShiftSectors;
const ULONG HotSlots = 64;  // 8 MiB of cache
const uint64_t HotBytes = (uint64_t)HotSlots * BlockBytes;

CacheShape HotShape()
{
    CacheShape shape;
    shape.blockShiftSectors = BlockShiftSectors;
    shape.slots = HotSlots;
    shape.dataStart = 2048;
    return shape;
}

void BM_ReadHotCached(benchmark::State& state)
{
    Rig rig(Route::Filter, 1ull << 30, HotShape(), CompletionMode::Fifo, true);
    rig.Warm(0, HotBytes, BlockBytes);
    std::mt19937_64 rng(1);
    IoLoop(state, rig, *rig.master, InFlight, [&] { return rng() % (HotBytes / ReadBytes) * ReadBytes; });
}

void BM_ReadSsdDirect(benchmark::State& state)
{
    CacheShape shape = HotShape();
    Rig rig(Route::Direct, 1ull << 30, shape, CompletionMode::Fifo, true);
    std::mt19937_64 rng(1);
    uint64_t data = shape.dataStart * 512;
    IoLoop(state, rig, *rig.ssd, InFlight, [&] { return data + rng() % (HotBytes / ReadBytes) * ReadBytes; });
}

// ---- Writes into the hot working set ------------------------------------------------

// The hot set cached (slots taken after boot) with write mode 2, so every
// write hits: write-through sends each to the SSD and the hard disk, write-back
// in the running phase to the SSD alone.
void HotWriteLoop(benchmark::State& state, UCHAR cacheMode)
{
    CacheShape shape = HotShape();
    shape.mode = cacheMode;
    Rig rig(Route::Filter, 1ull << 30, shape, CompletionMode::Fifo, true);
    UCHAR phase = DriverPhase;
    ULONG opens = OpenSequence;
    DriverPhase = PhaseRunning;
    OpenSequence = 1;
    rig.Warm(0, HotBytes, BlockBytes);
    cache_test::Ext(*rig.master)->Cache.Map.WriteMode = 2;
    std::mt19937_64 rng(4);
    IoLoop(
        state, rig, *rig.master, InFlight, [&] { return rng() % (HotBytes / ReadBytes) * ReadBytes; },
        emu::DiskOp::Write);
    rig.machine.WaitUntilQuiet();
    DriverPhase = phase;
    OpenSequence = opens;
}

void BM_WriteThroughCached(benchmark::State& state)
{
    HotWriteLoop(state, 1);
}

void BM_WriteBackCached(benchmark::State& state)
{
    HotWriteLoop(state, CacheModeWriteBack);
}

void BM_WriteHddDirect(benchmark::State& state)
{
    Rig rig(Route::Direct, 1ull << 30, HotShape(), CompletionMode::Fifo, true);
    std::mt19937_64 rng(4);
    IoLoop(
        state, rig, *rig.master, InFlight, [&] { return rng() % (HotBytes / ReadBytes) * ReadBytes; },
        emu::DiskOp::Write);
}

void BM_WriteSsdDirect(benchmark::State& state)
{
    CacheShape shape = HotShape();
    Rig rig(Route::Direct, 1ull << 30, shape, CompletionMode::Fifo, true);
    std::mt19937_64 rng(4);
    uint64_t data = shape.dataStart * 512;
    IoLoop(
        state, rig, *rig.ssd, InFlight, [&] { return data + rng() % (HotBytes / ReadBytes) * ReadBytes; },
        emu::DiskOp::Write);
}

// ---- Cold reads: first reads of data the cache does not hold ------------------------

const uint64_t ColdMasterBytes = 64ull << 30;

CacheShape ColdShape()
{
    CacheShape shape;
    shape.blockShiftSectors = BlockShiftSectors;
    shape.slots = 4096;  // 512 MiB of cache
    shape.dataStart = 2048;
    return shape;
}

uint64_t RandomOffset(std::mt19937_64& rng)
{
    return rng() % (ColdMasterBytes / ReadBytes) * ReadBytes;
}

void BM_ReadColdRandom(benchmark::State& state)
{
    Rig rig(Route::Filter, ColdMasterBytes, ColdShape(), CompletionMode::Fifo, true);
    std::mt19937_64 rng(2);
    IoLoop(state, rig, *rig.master, 1, [&] { return RandomOffset(rng); });
}

void BM_ReadHddRandom(benchmark::State& state)
{
    Rig rig(Route::Direct, ColdMasterBytes, ColdShape(), CompletionMode::Fifo, true);
    std::mt19937_64 rng(2);
    IoLoop(state, rig, *rig.master, 1, [&] { return RandomOffset(rng); });
}

void BM_ReadColdSequential(benchmark::State& state)
{
    Rig rig(Route::Filter, ColdMasterBytes, ColdShape(), CompletionMode::Fifo, true);
    uint64_t at = ColdMasterBytes / 2;
    IoLoop(state, rig, *rig.master, 1, [&] { return (at += ReadBytes); });
}

void BM_ReadHddSequential(benchmark::State& state)
{
    Rig rig(Route::Direct, ColdMasterBytes, ColdShape(), CompletionMode::Fifo, true);
    uint64_t at = ColdMasterBytes / 2;
    IoLoop(state, rig, *rig.master, 1, [&] { return (at += ReadBytes); });
}

// ---- CPU per read, no timing --------------------------------------------------------

void BM_ReadCpuHit(benchmark::State& state)
{
    Rig rig(Route::Filter, 1ull << 30, HotShape(), CompletionMode::Inline, false);
    rig.Warm(0, HotBytes, BlockBytes);
    std::mt19937_64 rng(3);
    IoLoop(state, rig, *rig.master, 1, [&] { return rng() % (HotBytes / ReadBytes) * ReadBytes; });
}

void BM_ReadCpuPassthrough(benchmark::State& state)
{
    Rig rig(Route::Filter, 1ull << 30, HotShape(), CompletionMode::Inline, false);
    cache_test::Ext(*rig.master)->Cache.Active = 0;
    cache_test::Ext(*rig.master)->Role = RoleNone;
    std::mt19937_64 rng(3);
    IoLoop(state, rig, *rig.master, 1, [&] { return rng() % (HotBytes / ReadBytes) * ReadBytes; });
}

// ---- Pool held per GiB of cache and per TiB of master ---------------------------------

const uint64_t GiB = 1ull << 30;
const uint64_t TiB = 1ull << 40;

struct PoolFigures {
    uint64_t pool = 0;       // pool of the driver's tag the cache added
    uint64_t poolBytes = 0;  // the driver's own count (GET_POOL_USAGE)
    uint64_t records = 0;    // the map's tables and bitmaps
};

// The bytes of the records' fields, without any padding between them: what
// the map cannot do without.
const uint64_t BlockEntryFields = sizeof(BlockEntry::Slot) + sizeof(BlockEntry::Heat);
const uint64_t SlotEntryFields = sizeof(SlotEntry::Block) + sizeof(SlotEntry::BootFlag) +
                                 sizeof(SlotEntry::Generation) + sizeof(SlotEntry::IoInFlight);
const uint64_t SlotLinkFields = sizeof(SlotLink::Next) + sizeof(SlotLink::Prev);

uint64_t MapRecordBytes(const CacheMap& map)
{
    uint64_t bitmaps = (uint64_t)map.BitmapSize * (map.CleanBitmap ? 2 : 1);
    return (uint64_t)map.Blocks.Count * BlockEntryFields +
           (uint64_t)map.Slots.SlotCount * (SlotEntryFields + SlotLinkFields) + bitmaps;
}

// A master of masterBytes with a write-back cache of cacheBytes, after a few
// reads have been cached: what the cache holds beyond the booted machine.
bool MeasurePool(uint64_t masterBytes, uint64_t cacheBytes, PoolFigures* figures)
{
    CacheShape shape;
    shape.blockShiftSectors = BlockShiftSectors;
    shape.slots = (ULONG)(cacheBytes / BlockBytes);
    shape.dataStart = 2048;
    shape.mode = CacheModeWriteBack;
    emu::Machine machine;
    emu::Disk& master = machine.AddDisk({.lengthBytes = masterBytes, .serial = "MASTER01"});
    emu::Disk& ssd = machine.AddDisk({.lengthBytes = cache_test::SsdBytesFor(shape, 512), .serial = "SSD00001"});
    if (!NT_SUCCESS(machine.Boot(DriverEntry)))
        return false;
    machine.WaitUntilQuiet();
    control_client::ControlClient client(machine);
    ULONGLONG poolBytesBefore = 0, poolBytesAfter = 0;
    if (!NT_SUCCESS(client.OpenStatus()) || !NT_SUCCESS(client.GetPoolUsage(&poolBytesBefore)))
        return false;
    uint64_t before = emu::PoolUsage(PoolTag).bytes;
    if (!NT_SUCCESS(cache_test::ActivateCache(master, ssd, shape)))
        return false;
    std::vector<uint8_t> buffer(BlockBytes);
    for (uint64_t at = 0; at < 64 * (uint64_t)BlockBytes; at += BlockBytes)
        if (machine.Read(master, at, buffer.data(), BlockBytes).status != STATUS_SUCCESS)
            return false;
    machine.WaitUntilQuiet();
    figures->pool = emu::PoolUsage(PoolTag).bytes - before;
    if (!NT_SUCCESS(client.GetPoolUsage(&poolBytesAfter)))
        return false;
    figures->poolBytes = poolBytesAfter - poolBytesBefore;
    figures->records = MapRecordBytes(cache_test::Ext(master)->Cache.Map);
    return true;
}

// The pool one more unit adds: the difference between two caches.
void PoolPerUnit(benchmark::State& state, uint64_t masterBytes, uint64_t cacheBytes, uint64_t moreMaster,
                 uint64_t moreCache)
{
    PoolFigures base, larger;
    for (auto _ : state) {
        if (!MeasurePool(masterBytes, cacheBytes, &base) ||
            !MeasurePool(masterBytes + moreMaster, cacheBytes + moreCache, &larger)) {
            state.SkipWithError("the cache did not come up");
            return;
        }
    }
    double pool = (double)(larger.pool - base.pool);
    double records = (double)(larger.records - base.records);
    state.counters["pool"] = pool;
    state.counters["pool_bytes"] = (double)(larger.poolBytes - base.poolBytes);
    state.counters["records"] = records;
    state.counters["ratio"] = pool / records;
    state.counters["pool_at_base"] = (double)base.pool;
    state.counters["ratio_at_base"] = (double)base.pool / (double)base.records;
}

void BM_PoolPerGiBCache(benchmark::State& state)
{
    PoolPerUnit(state, TiB, GiB, 0, GiB);
}

void BM_PoolPerTiBMaster(benchmark::State& state)
{
    PoolPerUnit(state, TiB, GiB, TiB, 0);
}

}  // namespace

BENCHMARK(BM_ReadHotCached)->Name("BM_Read/hot_cached")->UseRealTime();
BENCHMARK(BM_ReadSsdDirect)->Name("BM_Read/ssd_direct")->UseRealTime();
BENCHMARK(BM_ReadColdRandom)->Name("BM_Read/cold_random")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadHddRandom)->Name("BM_Read/hdd_random")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadColdSequential)->Name("BM_Read/cold_sequential")->UseRealTime();
BENCHMARK(BM_ReadHddSequential)->Name("BM_Read/hdd_sequential")->UseRealTime();
BENCHMARK(BM_WriteThroughCached)
    ->Name("BM_Write/through_cached")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteHddDirect)->Name("BM_Write/hdd_direct")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBackCached)->Name("BM_Write/back_cached")->UseRealTime();
BENCHMARK(BM_WriteSsdDirect)->Name("BM_Write/ssd_direct")->UseRealTime();
BENCHMARK(BM_ReadCpuHit)->Name("BM_ReadCpu/hit")->MeasureProcessCPUTime();
BENCHMARK(BM_ReadCpuPassthrough)->Name("BM_ReadCpu/passthrough")->MeasureProcessCPUTime();

BENCHMARK(BM_PoolPerGiBCache)->Name("BM_Pool/per_GiB_cache")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PoolPerTiBMaster)->Name("BM_Pool/per_TiB_master")->Iterations(1)->Unit(benchmark::kMillisecond);

// The virtual-time figures, each computed once and reported as counters.
void RegisterVirtualFigure(const char* name, cache_figures::Figure (*figure)())
{
    benchmark::RegisterBenchmark(name, [figure](benchmark::State& state) {
        cache_figures::Figure f;
        for (auto _ : state)
            f = figure();
        if (!f.ok) {
            state.SkipWithError(f.error.c_str());
            return;
        }
        state.SetLabel(f.name);
        state.counters["ratio"] = f.Ratio();
        state.counters["target"] = f.target;
        state.counters["cached_ms"] = f.cachedSeconds * 1000;
        state.counters["direct_ms"] = f.directSeconds * 1000;
    })->Iterations(1)->Unit(benchmark::kMillisecond);
}

int main(int argc, char** argv)
{
    using namespace cache_figures;
    RegisterVirtualFigure("BM_Virtual/hot_random_qd1", [] { return HotRandomReads(1); });
    RegisterVirtualFigure("BM_Virtual/hot_random_qd32", [] { return HotRandomReads(32); });
    RegisterVirtualFigure("BM_Virtual/hot_sequential_1MiB", HotSequentialReads);
    RegisterVirtualFigure("BM_Virtual/cold_random", ColdRandomReads);
    RegisterVirtualFigure("BM_Virtual/cold_sequential", ColdSequentialReads);
    RegisterVirtualFigure("BM_Virtual/write_through", WriteThroughWrites);
    RegisterVirtualFigure("BM_Virtual/write_back", WriteBackWrites);
    RegisterVirtualFigure("BM_Virtual/metadata_save_1GiB", [] { return MetadataSave(1); });
    RegisterVirtualFigure("BM_Virtual/metadata_save_16GiB", [] { return MetadataSave(16); });
    RegisterVirtualFigure("BM_Virtual/metadata_save_256GiB", [] { return MetadataSave(256); });
    RegisterVirtualFigure("BM_Virtual/metadata_load_1GiB", [] { return MetadataLoad(1); });
    RegisterVirtualFigure("BM_Virtual/metadata_load_16GiB", [] { return MetadataLoad(16); });
    RegisterVirtualFigure("BM_Virtual/metadata_load_256GiB", [] { return MetadataLoad(256); });
    RegisterVirtualFigure("BM_Virtual/drain", Drain);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
