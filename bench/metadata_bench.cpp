// Cost of the on-SSD metadata: saving and loading a master's map for areas of
// 1, 16 and 256 GiB (64 KiB blocks, an empty map) against plain synchronous
// writes and reads of the same bytes, on the same simulated SSD (the SSD
// timing model, queued completion).
#include <benchmark/benchmark.h>

#include <emu/machine.h>

#include <memory>
#include <string>
#include <vector>

#include "tolvarn.h"
#include "../tests/driver/disks.h"
#include "bitmaps.h"
#include "entry.h"
#include "metadata.h"
#include "pool.h"
#include "requests.h"

namespace {

const ULONGLONG GiB = 1ull << 30;
const ULONGLONG MasterId = 0x1111, SsdId = 0x2222;
const ULONGLONG AreaStart = 1ull << 20;
const ULONG BlockShift = 16;
const ULONGLONG Stamp = 0x5EED;

// A master and an SSD large enough for the largest area, booted once.
struct Rig {
    std::unique_ptr<emu::Machine> machine;
    emu::Disk* master = nullptr;
    emu::Disk* ssd = nullptr;

    Rig()
    {
        machine.reset(new emu::Machine());
        emu::DiskConfig m;
        m.model = "MASTERDISK";
        m.serial = "M1";
        m.lengthBytes = 64 * GiB;
        master = &machine->AddDisk(m);
        emu::DiskConfig s;
        s.model = "SSDDISK";
        s.serial = "S1";
        s.lengthBytes = 257 * GiB;
        s.completion = emu::CompletionMode::Fifo;
        s.timing = emu::SsdTiming();
        ssd = &machine->AddDisk(s);
        std::u16string key = machine->RegistryPath() + u"\\" + DiskKeyName(u"MASTERDISK", u"M1");
        emu::reg::SetQword(key, u"DorqBrimvaultId", MasterId);
        emu::reg::SetDword(key, u"ConfigType", 1);
        emu::reg::SetQword(key, u"TimeStamp", Stamp);
        emu::reg::SetQword(key, u"SsdCacheDiskId", SsdId);
        emu::reg::SetDword(key, u"SsdCacheMode", CacheModeWriteBack);
        key = machine->RegistryPath() + u"\\" + DiskKeyName(u"SSDDISK", u"S1");
        emu::reg::SetQword(key, u"DorqBrimvaultId", SsdId);
        emu::reg::SetDword(key, u"ConfigType", 2);
        emu::reg::SetQword(key, u"MasterDiskId", MasterId);
        machine->Boot(DriverEntry);
    }
    FilterExtension* Master() { return FilterExtensionOf(master->Top()); }
    FilterExtension* Ssd() { return FilterExtensionOf(ssd->Top()); }

    // A started, empty write-back cache over an area of the given size.
    bool Start(ULONGLONG areaBytes)
    {
        FreeCacheMap(&Master()->Cache);
        Ssd()->Area.SsdCacheStart = AreaStart;
        Ssd()->Area.SsdCacheEnd = AreaStart + areaBytes;
        Master()->Geometry.BlockShift = BlockShift;
        if (!NT_SUCCESS(InitCacheOnSsd(master->Top())))
            return false;
        Master()->Cache.Persist = 1;
        return true;
    }

    // The bytes a save writes: clean bitmap, valid bitmap, slot table.
    struct Range {
        ULONGLONG offset;
        ULONG bytes;
    };
    std::vector<Range> MapRanges()
    {
        const CacheGeometry& g = Master()->Geometry;
        ULONG bitmap = BitmapBytes(g.BlockShift, Ssd()->SectorShift, g.SlotCount);
        ULONG table = (ULONG)SlotTableBytes(g.SlotCount, Ssd()->SectorShift);
        return {{g.CleanBitmapOffset, bitmap}, {g.ValidBitmapOffset, bitmap}, {g.SlotTableOffset, table}};
    }
};

Rig& TheRig()
{
    static Rig rig;
    return rig;
}

ULONGLONG AreaOf(const benchmark::State& state)
{
    return (ULONGLONG)state.range(0) * GiB;
}

void Report(benchmark::State& state, const std::vector<Rig::Range>& ranges)
{
    ULONGLONG bytes = 0;
    for (const Rig::Range& r : ranges)
        bytes += r.bytes;
    state.SetBytesProcessed((int64_t)(bytes * state.iterations()));
}

void BM_MetadataSave(benchmark::State& state)
{
    Rig& rig = TheRig();
    if (!rig.Start(AreaOf(state)))
        return state.SkipWithError("start failed");
    std::vector<Rig::Range> ranges = rig.MapRanges();
    for (auto _ : state) {
        if (!NT_SUCCESS(SaveMetadata(rig.master->Top())))
            return state.SkipWithError("save failed");
        state.PauseTiming();
        rig.Start(AreaOf(state));
        state.ResumeTiming();
    }
    FreeCacheMap(&rig.Master()->Cache);
    Report(state, ranges);
}

void BM_MetadataLoad(benchmark::State& state)
{
    Rig& rig = TheRig();
    if (!rig.Start(AreaOf(state)) || !NT_SUCCESS(SaveMetadata(rig.master->Top())))
        return state.SkipWithError("save failed");
    std::vector<Rig::Range> ranges = rig.MapRanges();
    std::vector<UCHAR> header = rig.ssd->Bytes(AreaStart, 512);
    for (auto _ : state) {
        if (!LoadMetadata(rig.master->Top()) || !rig.Master()->Cache.MetadataValid)
            return state.SkipWithError("load failed");
        state.PauseTiming();
        FreeCacheMap(&rig.Master()->Cache);
        rig.ssd->WriteBytes(AreaStart, header.data(), header.size());  // the stamp again
        state.ResumeTiming();
    }
    Report(state, ranges);
}

// The same bytes as one save or load, as plain synchronous transfers.
void RawTransfer(benchmark::State& state, bool write)
{
    Rig& rig = TheRig();
    if (!rig.Start(AreaOf(state)))
        return state.SkipWithError("start failed");
    std::vector<Rig::Range> ranges = rig.MapRanges();
    FreeCacheMap(&rig.Master()->Cache);
    std::vector<UCHAR*> buffers;  // nonpaged pool, as the driver's own
    for (const Rig::Range& r : ranges)
        buffers.push_back((UCHAR*)AllocatePool(r.bytes));
    for (auto _ : state) {
        for (size_t i = 0; i < ranges.size(); i++) {
            DiskRequest request;
            InitDiskRequest(rig.ssd->Top(), ranges[i].offset, ranges[i].bytes, &request);
            request.Irp = NULL;
            NTSTATUS status =
                write ? WriteSectorsSync(&request, buffers[i]) : ReadSectorsSync(&request, buffers[i]);
            if (!NT_SUCCESS(status))
                state.SkipWithError("transfer failed");
        }
    }
    for (UCHAR* buffer : buffers)
        FreePool(buffer);
    Report(state, ranges);
}

void BM_MetadataRawWrite(benchmark::State& state)
{
    RawTransfer(state, true);
}
void BM_MetadataRawRead(benchmark::State& state)
{
    RawTransfer(state, false);
}

void Areas(benchmark::internal::Benchmark* b)
{
    b->Arg(1)->Arg(16)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_MetadataSave)->Name("BM_Metadata/save")->Apply(Areas);
BENCHMARK(BM_MetadataRawWrite)->Name("BM_Metadata/raw_write")->Apply(Areas);
BENCHMARK(BM_MetadataLoad)->Name("BM_Metadata/load")->Apply(Areas);
BENCHMARK(BM_MetadataRawRead)->Name("BM_Metadata/raw_read")->Apply(Areas);

}  // namespace

BENCHMARK_MAIN();
