// The cache's figures in virtual time (see cachefigures.h).
#include "cachefigures.h"

#include <emu/machine.h>

#include <functional>
#include <memory>
#include <random>

#include "tolvarn.h"
#include "../tests/driver/cachesetup.h"
#include "../tests/driver/disks.h"
#include "entry.h"
#include "bitmaps.h"
#include "metadata.h"
#include "pool.h"
#include "requests.h"

namespace cache_figures {
namespace {

using cache_test::CacheShape;

const double Target = 0.98;
const double MetadataTarget = 0.95;
const ULONG SmallBytes = 4096;
const ULONG LargeBytes = 1u << 20;
const ULONG BlockShiftSectors = 8;  // 128 KiB blocks
const ULONG BlockBytes = 512u << BlockShiftSectors;
const ULONG HotSlots = 64;  // 8 MiB of cache
const uint64_t HotBytes = (uint64_t)HotSlots * BlockBytes;
const uint64_t ColdMasterBytes = 64ull << 30;
const uint64_t GiB = 1ull << 30;

double Seconds(LONGLONG hundredNanoseconds)
{
    return (double)hundredNanoseconds / (double)emu::kSecond;
}

NTSTATUS NTAPI NoDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}

CacheShape HotShape(UCHAR mode = 1)
{
    CacheShape shape;
    shape.blockShiftSectors = BlockShiftSectors;
    shape.slots = HotSlots;
    shape.dataStart = 2048;
    shape.mode = mode;
    return shape;
}

CacheShape ColdShape()
{
    CacheShape shape = HotShape();
    shape.slots = 4096;  // 512 MiB of cache
    return shape;
}

enum class Route { Filter, Direct };

// A hard disk as the master and an SSD, both on the virtual clock, behind the
// driver with the master's cache active, or with no driver at all.
struct Rig {
    Rig(Route route, uint64_t masterBytes, const CacheShape& shape)
    {
        emu::DiskConfig hdd = {.lengthBytes = masterBytes,
                               .serial = "MASTER01",
                               .completion = emu::CompletionMode::Fifo,
                               .timing = emu::InVirtualTime(emu::HardDiskTiming())};
        emu::DiskConfig ssdConfig = {.lengthBytes = cache_test::SsdBytesFor(shape, 512),
                                     .serial = "SSD00001",
                                     .completion = emu::CompletionMode::Fifo,
                                     .timing = emu::InVirtualTime(emu::SsdTiming())};
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

    // Reads [0, bytes) of the master whole, block by block, and waits for the
    // fills: the blocks take slots in order, so they lie in sequence on the SSD.
    void Warm(uint64_t bytes)
    {
        std::vector<uint8_t> buffer(BlockBytes);
        for (uint64_t at = 0; at < bytes; at += BlockBytes)
            ok = ok && machine.Read(*master, at, buffer.data(), BlockBytes).status == STATUS_SUCCESS;
        machine.WaitUntilQuiet();
    }

    emu::Machine machine;
    emu::Disk* master = nullptr;
    emu::Disk* ssd = nullptr;
    bool ok = false;
};

// Runs `count` requests of `bytes` at the offsets next() gives, keeping
// `depth` in flight, and gives the virtual time from the first one sent to
// the last one completed (-1 when one failed).
LONGLONG RunRequests(emu::Machine& machine, emu::Disk& disk, ULONG depth, ULONG count, ULONG bytes,
                     const std::function<uint64_t()>& next, bool write)
{
    std::vector<uint8_t> buffers((size_t)depth * bytes, 0x5A);
    std::vector<std::unique_ptr<emu::PendingIo>> pending(depth);
    bool failed = false;
    LONGLONG start = machine.Now();
    for (ULONG i = 0; i < count + depth; ++i) {
        std::unique_ptr<emu::PendingIo>& slot = pending[i % depth];
        if (slot)
            failed |= slot->Wait().status != STATUS_SUCCESS;
        slot.reset();
        if (i >= count)
            continue;
        uint8_t* buffer = &buffers[(size_t)(i % depth) * bytes];
        slot.reset(new emu::PendingIo(write ? machine.StartWrite(disk, next(), buffer, bytes)
                                            : machine.StartRead(disk, next(), buffer, bytes)));
    }
    return failed ? -1 : machine.Now() - start;
}

struct Workload {
    ULONG depth;
    ULONG count;
    ULONG bytes;
    bool write;
    std::function<std::function<uint64_t()>()> offsets;  // a fresh generator for each run
};

// One side of a figure: the elapsed virtual time of the workload on a rig.
bool Measure(Rig& rig, emu::Disk& disk, const Workload& w, double* seconds)
{
    if (!rig.ok)
        return false;
    LONGLONG elapsed = RunRequests(rig.machine, disk, w.depth, w.count, w.bytes, w.offsets(), w.write);
    *seconds = Seconds(elapsed);
    return elapsed > 0;
}

Figure Finish(Figure f, bool cachedOk, bool directOk)
{
    f.ok = cachedOk && directOk;
    if (!cachedOk)
        f.error = "a request through the driver failed";
    else if (!directOk)
        f.error = "a request to the disk failed";
    return f;
}

// Hot set: offsets inside the cached 8 MiB; on the SSD the same offsets
// inside its data area.
std::function<uint64_t()> RandomIn(uint64_t base, uint64_t bytes, ULONG size, uint64_t seed)
{
    auto rng = std::make_shared<std::mt19937_64>(seed);
    return [=] { return base + (*rng)() % (bytes / size) * size; };
}

std::function<uint64_t()> Sequence(uint64_t base, uint64_t wrap, ULONG size)
{
    auto at = std::make_shared<uint64_t>(0);
    return [=] {
        uint64_t offset = base + *at;
        *at = (*at + size) % wrap;
        return offset;
    };
}

uint64_t SsdData(const CacheShape& shape)
{
    return shape.dataStart * 512;
}

Figure HotFigure(const std::string& name, const Workload& cachedLoad, const Workload& directLoad)
{
    Figure f;
    f.name = name;
    f.target = Target;
    bool cachedOk, directOk;
    {
        Rig rig(Route::Filter, GiB, HotShape());
        rig.Warm(HotBytes);
        cachedOk = Measure(rig, *rig.master, cachedLoad, &f.cachedSeconds);
    }
    {
        Rig rig(Route::Direct, GiB, HotShape());
        directOk = Measure(rig, *rig.ssd, directLoad, &f.directSeconds);
    }
    return Finish(f, cachedOk, directOk);
}

// Writes into the hot set, every one a hit (write mode 2, the slots taken
// after boot): write-through sends each to the SSD and the hard disk,
// write-back in the running phase to the SSD alone.
bool MeasureHotWrites(UCHAR mode, const Workload& load, double* seconds)
{
    Rig rig(Route::Filter, GiB, HotShape(mode));
    UCHAR phase = DriverPhase;
    ULONG opens = OpenSequence;
    DriverPhase = PhaseRunning;
    OpenSequence = 1;
    rig.Warm(HotBytes);
    bool ok = rig.ok;
    if (ok) {
        cache_test::Ext(*rig.master)->Cache.Map.WriteMode = 2;
        ok = Measure(rig, *rig.master, load, seconds);
        rig.machine.WaitUntilQuiet();
    }
    DriverPhase = phase;
    OpenSequence = opens;
    return ok;
}

Figure WriteFigure(const std::string& name, UCHAR mode, bool toSsd)
{
    Figure f;
    f.name = name;
    f.target = Target;
    const uint64_t seed = 4;
    Workload cachedLoad = {8, 1024, SmallBytes, true, [] { return RandomIn(0, HotBytes, SmallBytes, seed); }};
    bool cachedOk = MeasureHotWrites(mode, cachedLoad, &f.cachedSeconds);
    uint64_t base = toSsd ? SsdData(HotShape()) : 0;
    Workload directLoad = {8, 1024, SmallBytes, true,
                           [=] { return RandomIn(base, HotBytes, SmallBytes, seed); }};
    Rig rig(Route::Direct, GiB, HotShape());
    bool directOk = Measure(rig, toSsd ? *rig.ssd : *rig.master, directLoad, &f.directSeconds);
    return Finish(f, cachedOk, directOk);
}

Figure ColdFigure(const std::string& name, ULONG count,
                  const std::function<std::function<uint64_t()>()>& offsets)
{
    Figure f;
    f.name = name;
    f.target = Target;
    Workload load = {1, count, SmallBytes, false, offsets};
    bool cachedOk, directOk;
    {
        Rig rig(Route::Filter, ColdMasterBytes, ColdShape());
        cachedOk = Measure(rig, *rig.master, load, &f.cachedSeconds);
    }
    {
        Rig rig(Route::Direct, ColdMasterBytes, ColdShape());
        directOk = Measure(rig, *rig.master, load, &f.directSeconds);
    }
    return Finish(f, cachedOk, directOk);
}

// ---- Metadata: a master's map saved to and loaded from the SSD -----------------------

const ULONGLONG MasterId = 0x1111, SsdId = 0x2222;
const ULONGLONG AreaStart = 1ull << 20;
const ULONG MetadataBlockShift = 16;  // 64 KiB blocks
const ULONGLONG Stamp = 0x5EED;

// A master and a write-back cache over an area of the SSD, empty and started,
// the SSD on the virtual clock.
struct MetadataRig {
    emu::Machine machine;
    emu::Disk* master = nullptr;
    emu::Disk* ssd = nullptr;
    bool ok = false;

    explicit MetadataRig(ULONGLONG areaBytes)
    {
        emu::DiskConfig m;
        m.model = "MASTERDISK";
        m.serial = "M1";
        m.lengthBytes = 64 * GiB;
        master = &machine.AddDisk(m);
        emu::DiskConfig s;
        s.model = "SSDDISK";
        s.serial = "S1";
        s.lengthBytes = AreaStart + areaBytes + GiB;
        s.completion = emu::CompletionMode::Fifo;
        s.timing = emu::InVirtualTime(emu::SsdTiming());
        ssd = &machine.AddDisk(s);
        std::u16string key = machine.RegistryPath() + u"\\" + DiskKeyName(u"MASTERDISK", u"M1");
        emu::reg::SetQword(key, u"DorqBrimvaultId", MasterId);
        emu::reg::SetDword(key, u"ConfigType", 1);
        emu::reg::SetQword(key, u"TimeStamp", Stamp);
        emu::reg::SetQword(key, u"SsdCacheDiskId", SsdId);
        emu::reg::SetDword(key, u"SsdCacheMode", CacheModeWriteBack);
        key = machine.RegistryPath() + u"\\" + DiskKeyName(u"SSDDISK", u"S1");
        emu::reg::SetQword(key, u"DorqBrimvaultId", SsdId);
        emu::reg::SetDword(key, u"ConfigType", 2);
        emu::reg::SetQword(key, u"MasterDiskId", MasterId);
        if (!NT_SUCCESS(machine.Boot(DriverEntry)))
            return;
        machine.WaitUntilQuiet();
        FreeCacheMap(&Master()->Cache);
        Ssd()->Area.SsdCacheStart = AreaStart;
        Ssd()->Area.SsdCacheEnd = AreaStart + areaBytes;
        Master()->Geometry.BlockShift = MetadataBlockShift;
        ok = NT_SUCCESS(InitCacheOnSsd(master->Top()));
        Master()->Cache.Persist = 1;
    }
    ~MetadataRig()
    {
        if (master->Top() != nullptr)
            FreeCacheMap(&Master()->Cache);
    }
    FilterExtension* Master() { return FilterExtensionOf(master->Top()); }
    FilterExtension* Ssd() { return FilterExtensionOf(ssd->Top()); }

    // The bytes a save writes and a load reads: both bitmaps and the slot table.
    ULONG MapBytes()
    {
        const CacheGeometry& g = Master()->Geometry;
        ULONG bitmap = BitmapBytes(g.BlockShift, Ssd()->SectorShift, g.SlotCount);
        return 2 * bitmap + (ULONG)SlotTableBytes(g.SlotCount, Ssd()->SectorShift);
    }

    // One transfer of `bytes` at the start of the map's records, its buffer
    // allocated and freed inside the timing; the virtual time it took.
    LONGLONG RawTransfer(ULONG bytes, bool write)
    {
        LONGLONG start = machine.Now();
        UCHAR* buffer = (UCHAR*)AllocatePool(bytes);
        if (buffer == NULL)
            return -1;
        RtlZeroMemory(buffer, bytes);
        DiskRequest request;
        InitDiskRequest(ssd->Top(), Master()->Geometry.CleanBitmapOffset, bytes, &request);
        request.Irp = NULL;
        NTSTATUS status = write ? WriteSectorsSync(&request, buffer) : ReadSectorsSync(&request, buffer);
        FreePool(buffer);
        return NT_SUCCESS(status) ? machine.Now() - start : -1;
    }
};

Figure MetadataFigure(unsigned areaGiB, bool save)
{
    Figure f;
    f.name = std::string(save ? "metadata save " : "metadata load ") + std::to_string(areaGiB) + " GiB";
    f.target = MetadataTarget;
    MetadataRig rig((ULONGLONG)areaGiB * GiB);
    if (!rig.ok) {
        f.error = "the cache did not start";
        return f;
    }
    ULONG bytes = rig.MapBytes();
    bool cachedOk;
    if (save) {
        LONGLONG start = rig.machine.Now();
        cachedOk = NT_SUCCESS(SaveMetadata(rig.master->Top()));
        f.cachedSeconds = Seconds(rig.machine.Now() - start);
    } else {
        cachedOk = NT_SUCCESS(SaveMetadata(rig.master->Top()));
        FreeCacheMap(&rig.Master()->Cache);
        LONGLONG start = rig.machine.Now();
        cachedOk = cachedOk && LoadMetadata(rig.master->Top()) && rig.Master()->Cache.MetadataValid;
        f.cachedSeconds = Seconds(rig.machine.Now() - start);
    }
    LONGLONG raw = rig.RawTransfer(bytes, save);
    f.directSeconds = Seconds(raw);
    return Finish(f, cachedOk, raw > 0);
}

// ---- Drain of a full write-back cache --------------------------------------------------

Figure DrainFigure()
{
    Figure f;
    f.name = "drain of a full write-back cache";
    bool cachedOk = false;
    {
        Rig rig(Route::Filter, GiB, HotShape(CacheModeWriteBack));
        UCHAR phase = DriverPhase;
        ULONG opens = OpenSequence;
        DriverPhase = PhaseRunning;
        OpenSequence = 1;
        rig.Warm(HotBytes);
        FilterExtension* m = cache_test::Ext(*rig.master);
        m->Cache.Map.WriteMode = 2;
        Workload dirty = {1, (ULONG)(HotBytes / BlockBytes), BlockBytes, true,
                          [] { return Sequence(0, HotBytes, BlockBytes); }};
        double ignored;
        cachedOk = Measure(rig, *rig.master, dirty, &ignored);
        rig.machine.WaitUntilQuiet();
        LONGLONG start = rig.machine.Now();
        m->Cache.StopRequested = 1;
        KeSetEvent(&m->Worker.WorkEvent, IO_NO_INCREMENT, FALSE);
        rig.machine.WaitUntilQuiet();
        f.cachedSeconds = Seconds(rig.machine.Now() - start);
        cachedOk = cachedOk && m->Cache.Active == 0;
        DriverPhase = phase;
        OpenSequence = opens;
    }
    Rig rig(Route::Direct, GiB, HotShape());
    Workload write = {1, (ULONG)(HotBytes / LargeBytes), LargeBytes, true,
                      [] { return Sequence(0, HotBytes, LargeBytes); }};
    bool directOk = Measure(rig, *rig.master, write, &f.directSeconds);
    Figure result = Finish(f, cachedOk, directOk);
    if (!cachedOk)
        result.error = "the drain did not end the cache";
    return result;
}

}  // namespace

Figure HotRandomReads(unsigned inFlight)
{
    const uint64_t seed = 1;
    uint64_t data = SsdData(HotShape());
    return HotFigure("hot random 4 KiB reads, " + std::to_string(inFlight) + " in flight, vs the SSD",
                     {inFlight, 2048, SmallBytes, false, [] { return RandomIn(0, HotBytes, SmallBytes, seed); }},
                     {inFlight, 2048, SmallBytes, false,
                      [=] { return RandomIn(data, HotBytes, SmallBytes, seed); }});
}

Figure HotSequentialReads()
{
    uint64_t data = SsdData(HotShape());
    return HotFigure("hot sequential 1 MiB reads vs the SSD",
                     {1, 64, LargeBytes, false, [] { return Sequence(0, HotBytes, LargeBytes); }},
                     {1, 64, LargeBytes, false, [=] { return Sequence(data, HotBytes, LargeBytes); }});
}

Figure ColdRandomReads()
{
    return ColdFigure("cold random 4 KiB reads with fill vs the hard disk", 200, [] {
        return RandomIn(0, ColdMasterBytes, SmallBytes, 2);
    });
}

Figure ColdSequentialReads()
{
    return ColdFigure("cold sequential 4 KiB reads with fill vs the hard disk", 2048,
                      [] { return Sequence(ColdMasterBytes / 2, ColdMasterBytes / 2, SmallBytes); });
}

Figure WriteThroughWrites()
{
    return WriteFigure("write-through random 4 KiB writes vs the hard disk", 1, false);
}

Figure WriteBackWrites()
{
    return WriteFigure("write-back random 4 KiB writes vs the SSD", CacheModeWriteBack, true);
}

Figure MetadataSave(unsigned areaGiB)
{
    return MetadataFigure(areaGiB, true);
}

Figure MetadataLoad(unsigned areaGiB)
{
    return MetadataFigure(areaGiB, false);
}

Figure Drain()
{
    return DrainFigure();
}

std::vector<Figure> All()
{
    std::vector<Figure> figures = {HotRandomReads(1), HotRandomReads(32), HotSequentialReads(),
                                   ColdRandomReads(), ColdSequentialReads(), WriteThroughWrites(),
                                   WriteBackWrites()};
    for (unsigned gib : {1u, 16u, 256u})
        figures.push_back(MetadataSave(gib));
    for (unsigned gib : {1u, 16u, 256u})
        figures.push_back(MetadataLoad(gib));
    figures.push_back(Drain());
    return figures;
}

}  // namespace cache_figures
