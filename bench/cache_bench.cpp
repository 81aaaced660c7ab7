// Reads through the cache against the same reads sent to the disks directly,
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
//   BM_ReadCpu/hit          inline completion, no timing: CPU per 4 KiB read
//                           served from the cache
//   BM_ReadCpu/passthrough  the same for a disk without a role (both through the worker)
//
// Build it in a Release tree without sanitizers (see the README).
#include <benchmark/benchmark.h>
#include <emu/machine.h>

#include <memory>
#include <random>
#include <vector>

#include "tolvarn.h"
#include "entry.h"
#include "../tests/driver/cachesetup.h"

namespace {

using cache_test::CacheShape;
using emu::CompletionMode;

const ULONG ReadBytes = 4096;
const ULONG InFlight = 8;

NTSTATUS NTAPI NoDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

enum class Route { Filter, Direct };

// A master and an SSD, behind the driver with the master's cache active, or
// with no driver at all.
struct Rig {
    Rig(Route route, uint64_t masterBytes, const CacheShape& shape, CompletionMode mode, bool timing)
    {
        emu::DiskConfig hdd = {.lengthBytes = masterBytes, .serial = "MASTER01", .completion = mode};
        emu::DiskConfig ssdConfig = {.lengthBytes = cache_test::SsdBytesFor(shape, 512), .serial = "SSD00001",
                                     .completion = mode};
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

// Keeps `depth` reads in flight on the disk, one new read per iteration.
template <typename NextOffset>
void ReadLoop(benchmark::State& state, Rig& rig, emu::Disk& disk, ULONG depth, NextOffset next)
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
        slot.reset(new emu::PendingIo(
            rig.machine.StartRead(disk, next(), &buffers[(i % depth) * ReadBytes], ReadBytes)));
        i++;
    }
    for (std::unique_ptr<emu::PendingIo>& slot : pending)
        if (slot)
            failed += slot->Wait().status != STATUS_SUCCESS;
    if (failed)
        state.SkipWithError("a read failed");
    state.SetItemsProcessed((int64_t)state.iterations());
}

// ---- Hot reads: a working set that the cache holds whole ---------------------------

const ULONG BlockShiftSectors = 8;              // 128 KiB blocks
const ULONG BlockBytes = 512u << BlockShiftSectors;
const ULONG HotSlots = 64;                      // 8 MiB of cache
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
    ReadLoop(state, rig, *rig.master, InFlight, [&] { return rng() % (HotBytes / ReadBytes) * ReadBytes; });
}

void BM_ReadSsdDirect(benchmark::State& state)
{
    CacheShape shape = HotShape();
    Rig rig(Route::Direct, 1ull << 30, shape, CompletionMode::Fifo, true);
    std::mt19937_64 rng(1);
    uint64_t data = shape.dataStart * 512;
    ReadLoop(state, rig, *rig.ssd, InFlight, [&] { return data + rng() % (HotBytes / ReadBytes) * ReadBytes; });
}

// ---- Cold reads: first reads of data the cache does not hold ------------------------

const uint64_t ColdMasterBytes = 64ull << 30;

CacheShape ColdShape()
{
    CacheShape shape;
    shape.blockShiftSectors = BlockShiftSectors;
    shape.slots = 4096;                         // 512 MiB of cache
    shape.dataStart = 2048;
    return shape;
}

uint64_t RandomOffset(std::mt19937_64& rng) { return rng() % (ColdMasterBytes / ReadBytes) * ReadBytes; }

void BM_ReadColdRandom(benchmark::State& state)
{
    Rig rig(Route::Filter, ColdMasterBytes, ColdShape(), CompletionMode::Fifo, true);
    std::mt19937_64 rng(2);
    ReadLoop(state, rig, *rig.master, 1, [&] { return RandomOffset(rng); });
}

void BM_ReadHddRandom(benchmark::State& state)
{
    Rig rig(Route::Direct, ColdMasterBytes, ColdShape(), CompletionMode::Fifo, true);
    std::mt19937_64 rng(2);
    ReadLoop(state, rig, *rig.master, 1, [&] { return RandomOffset(rng); });
}

void BM_ReadColdSequential(benchmark::State& state)
{
    Rig rig(Route::Filter, ColdMasterBytes, ColdShape(), CompletionMode::Fifo, true);
    uint64_t at = ColdMasterBytes / 2;
    ReadLoop(state, rig, *rig.master, 1, [&] { return (at += ReadBytes); });
}

void BM_ReadHddSequential(benchmark::State& state)
{
    Rig rig(Route::Direct, ColdMasterBytes, ColdShape(), CompletionMode::Fifo, true);
    uint64_t at = ColdMasterBytes / 2;
    ReadLoop(state, rig, *rig.master, 1, [&] { return (at += ReadBytes); });
}

// ---- CPU per read, no timing --------------------------------------------------------

void BM_ReadCpuHit(benchmark::State& state)
{
    Rig rig(Route::Filter, 1ull << 30, HotShape(), CompletionMode::Inline, false);
    rig.Warm(0, HotBytes, BlockBytes);
    std::mt19937_64 rng(3);
    ReadLoop(state, rig, *rig.master, 1, [&] { return rng() % (HotBytes / ReadBytes) * ReadBytes; });
}

void BM_ReadCpuPassthrough(benchmark::State& state)
{
    Rig rig(Route::Filter, 1ull << 30, HotShape(), CompletionMode::Inline, false);
    cache_test::Ext(*rig.master)->Cache.Active = 0;
    cache_test::Ext(*rig.master)->Role = RoleNone;
    std::mt19937_64 rng(3);
    ReadLoop(state, rig, *rig.master, 1, [&] { return rng() % (HotBytes / ReadBytes) * ReadBytes; });
}

}  // namespace

BENCHMARK(BM_ReadHotCached)->Name("BM_Read/hot_cached")->UseRealTime();
BENCHMARK(BM_ReadSsdDirect)->Name("BM_Read/ssd_direct")->UseRealTime();
BENCHMARK(BM_ReadColdRandom)->Name("BM_Read/cold_random")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadHddRandom)->Name("BM_Read/hdd_random")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadColdSequential)->Name("BM_Read/cold_sequential")->UseRealTime();
BENCHMARK(BM_ReadHddSequential)->Name("BM_Read/hdd_sequential")->UseRealTime();
BENCHMARK(BM_ReadCpuHit)->Name("BM_ReadCpu/hit")->MeasureProcessCPUTime();
BENCHMARK(BM_ReadCpuPassthrough)->Name("BM_ReadCpu/passthrough")->MeasureProcessCPUTime();

BENCHMARK_MAIN();
