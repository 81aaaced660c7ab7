// The scenarios that run a cache of the hard disk on the SSD: write-through,
// write-back with the drain of a stop, and a cache map kept across a reboot.
// Each step's counters show which disk served it; the host checks the images.
#include "scenarios.h"
#include "cache.h"
#include "report.h"
#include <stdio.h>

namespace {

// Written over part of a block, five whole blocks and part of a seventh, so
// the slots hold valid and invalid sectors side by side.
const ULONGLONG WrittenOffset = (4u << 20) + (24u << 10);
const DWORD WrittenBytes = (256u + 16u) << 10;
const ULONGLONG WrittenSectors = WrittenBytes / SectorBytes;
const DWORD BufferBytes = 512u << 10;

// The master's handle for raw transfers and two buffers; the steps below
// report every transfer and the counters around it.
class MasterTransfers {
public:
    MasterTransfers()
        : handle(INVALID_HANDLE_VALUE), expected(AllocateTransferBuffer(BufferBytes)),
          actual(AllocateTransferBuffer(BufferBytes))
    {
    }
    ~MasterTransfers()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        FreeTransferBuffer(expected);
        FreeTransferBuffer(actual);
    }
    bool Open()
    {
        DWORD error = 0;
        if (expected && actual)
            handle = OpenDisk(MasterDisk, true, &error);
        if (handle == INVALID_HANDLE_VALUE)
            Fail("master open for transfers: error %lu", expected && actual ? error : GetLastError());
        return handle != INVALID_HANDLE_VALUE;
    }
    bool Write() { return WritePatternAt(handle, MasterDisk, WrittenOffset, WrittenBytes, expected); }
    bool ReadWritten(const char* step)
    {
        return ReadPatternAt(handle, MasterDisk, "WRITE", WrittenOffset, WrittenBytes, expected, actual, step);
    }
    bool ReadSeed(const char* step)
    {
        return ReadPatternAt(handle, MasterDisk, "SEED", SeedOffset, SeedBytes, expected, actual, step);
    }

private:
    HANDLE handle;
    BYTE* expected;
    BYTE* actual;
};

// The written range twice: the SSD serves both reads.
void ReadWrittenTwice(MasterTransfers& transfers, PairCounters& counters)
{
    StatsDelta master, ssd;
    const char* steps[] = {"read 1", "read 2"};
    for (const char* step : steps) {
        if (!counters.Mark() || !transfers.ReadWritten(step) || !counters.Since(step, &master, &ssd))
            return;
        ExpectServedBySsd(step, master, ssd, WrittenSectors);
    }
}

}  // namespace

void RunWriteThrough()
{
    ControlDevice control;
    CachePair pair;
    if (!OpenAndStart(control, pair, CacheModeWriteThrough))
        return;
    MasterTransfers transfers;
    if (!transfers.Open())
        return;
    PairCounters counters(control, pair);
    StatsDelta master, ssd;
    // A write that misses gets slots: it goes to both disks.
    if (!counters.Mark() || !transfers.Write() || !counters.Since("write", &master, &ssd))
        return;
    ExpectAtLeast("write master sectors-written-down", master.SectorsWrittenDown, WrittenSectors);
    ExpectAtLeast("write ssd sectors-written-down", ssd.SectorsWrittenDown, WrittenSectors);
    ReadWrittenTwice(transfers, counters);
    // A read miss comes from the master; the worker then fills the cache, and
    // the same read comes from the SSD.
    if (!counters.Mark() || !transfers.ReadSeed("seed read 1") || !counters.Since("seed read 1", &master, &ssd))
        return;
    ExpectAtLeast("seed read 1 master sectors-read-down", master.SectorsReadDown, SeedBytes / SectorBytes);
    if (!WaitForCachedBytes(control, WrittenBytes + SeedBytes, 30000))
        return;
    if (!counters.Mark() || !transfers.ReadSeed("seed read 2") || !counters.Since("seed read 2", &master, &ssd))
        return;
    ExpectServedBySsd("seed read 2", master, ssd, SeedBytes / SectorBytes);
}

void RunWriteBack()
{
    ControlDevice control;
    CachePair pair;
    if (!OpenAndStart(control, pair, CacheModeWriteBack))
        return;
    MasterTransfers transfers;
    if (!transfers.Open())
        return;
    PairCounters counters(control, pair);
    StatsDelta master, ssd;
    // Write-back: the write lands on the SSD only.
    if (!counters.Mark() || !transfers.Write() || !counters.Since("write", &master, &ssd))
        return;
    ExpectAtMost("write master writes-down", master.WritesDown, 0);
    ExpectAtLeast("write ssd sectors-written-down", ssd.SectorsWrittenDown, WrittenSectors);
    ReadWrittenTwice(transfers, counters);
    UsageRecord usage;
    if (ReadUsage(control, &usage))
        ExpectAtLeast("cached bytes before the stop", usage.CachedBytes, WrittenBytes);
    // The stop drains the cache: every dirty sector reaches the master, then
    // the cache is inactive and reads go to the master.
    if (!counters.Mark() || !SendForMaster(control, IoctlStop, "stop") || !WaitForInactive(control, 120000) ||
        !counters.Since("drain", &master, &ssd))
        return;
    ExpectAtLeast("drain master sectors-written-down", master.SectorsWrittenDown, WrittenSectors);
    if (!counters.Mark() || !transfers.ReadWritten("read after the drain") ||
        !counters.Since("read after the drain", &master, &ssd))
        return;
    ExpectAtLeast("read after the drain master sectors-read-down", master.SectorsReadDown, WrittenSectors);
    ExpectAtMost("read after the drain ssd reads-down", ssd.ReadsDown, 0);
}

// Boot 1: a write-back cache with persistence, the stamp saved, the settings
// stored so that the cache attaches at the next boot; data written. The
// client then shuts the system down, whatever happened: the driver flushes
// and saves its map.
void RunPersistenceSave()
{
    ShutDownAfterReport();
    ControlDevice control;
    CachePair pair;
    if (!OpenAndStart(control, pair, CacheModeWriteBack))
        return;
    OptionsRecord options;
    ZeroMemory(&options, sizeof options);
    options.MasterId = MasterDiskId;
    options.Persist = 1;
    if (!Expect("set options persist=1", control.Ask(IoctlSetOptions, &options, false)) ||
        !SendForMaster(control, IoctlSaveTimestamp, "save timestamp") ||
        !SendForMaster(control, IoctlSaveMasterConfig, "save master config"))
        return;
    MasterTransfers transfers;
    if (!transfers.Open())
        return;
    PairCounters counters(control, pair);
    StatsDelta master, ssd;
    if (!counters.Mark() || !transfers.Write() || !counters.Since("write", &master, &ssd))
        return;
    ExpectAtMost("write master writes-down", master.WritesDown, 0);
    ExpectAtLeast("write ssd sectors-written-down", ssd.SectorsWrittenDown, WrittenSectors);
    if (!counters.Mark() || !transfers.ReadWritten("read back") || !counters.Since("read back", &master, &ssd))
        return;
    ExpectServedBySsd("read back", master, ssd, WrittenSectors);
    ReportDriverKeys();
}

// Boot 2: the host gave the registry boot 1's values; the cache attached at
// boot from the saved map, so boot 1's data comes from the SSD at once.
void RunPersistenceReuse()
{
    ControlDevice control;
    CachePair pair;
    if (!OpenAttachedAtBoot(control, pair, WrittenBytes))
        return;
    MasterTransfers transfers;
    if (!transfers.Open())
        return;
    PairCounters counters(control, pair);
    StatsDelta master, ssd;
    if (!counters.Mark() || !transfers.ReadWritten("read of boot 1's data") ||
        !counters.Since("read of boot 1's data", &master, &ssd))
        return;
    ExpectServedBySsd("read of boot 1's data", master, ssd, WrittenSectors);
}
