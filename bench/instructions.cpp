// Runs one request kind many times on simulated disks with inline completion
// and no timing, with valgrind's instrumentation on only around those
// requests, so that callgrind counts what they cost; bench/instructions.sh
// keeps the driver's own functions and divides by the requests.
//
//   instructions <case> <requests>
//   cases: cached_read, miss_fill, write_through_hit, write_back_hit,
//          passthrough, destage_piece
#include <emu/machine.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <valgrind/callgrind.h>

#include <random>
#include <string>
#include <vector>

#include "tolvarn.h"
#include "../tests/driver/cachesetup.h"
#include "entry.h"

namespace {

using cache_test::CacheShape;

const ULONG RequestBytes = 4096;
const ULONG BlockShiftSectors = 8;  // 128 KiB blocks
const ULONG BlockBytes = 512u << BlockShiftSectors;
const ULONG HotSlots = 64;
const uint64_t HotBytes = (uint64_t)HotSlots * BlockBytes;

CacheShape Shape(ULONG slots, UCHAR mode)
{
    CacheShape shape;
    shape.blockShiftSectors = BlockShiftSectors;
    shape.slots = slots;
    shape.dataStart = 2048;
    shape.mode = mode;
    return shape;
}

struct Rig {
    Rig(uint64_t masterBytes, const CacheShape& shape)
    {
        master = &machine.AddDisk({.lengthBytes = masterBytes, .serial = "MASTER01"});
        ssd = &machine.AddDisk({.lengthBytes = cache_test::SsdBytesFor(shape, 512), .serial = "SSD00001"});
        ok = NT_SUCCESS(machine.Boot(DriverEntry));
        machine.WaitUntilQuiet();
        ok = ok && NT_SUCCESS(cache_test::ActivateCache(*master, *ssd, shape));
        DriverPhase = PhaseRunning;
        OpenSequence = 1;
    }
    void Warm()
    {
        std::vector<uint8_t> buffer(BlockBytes);
        for (uint64_t at = 0; at < HotBytes; at += BlockBytes)
            ok = ok && machine.Read(*master, at, buffer.data(), BlockBytes).status == STATUS_SUCCESS;
        machine.WaitUntilQuiet();
    }
    emu::Machine machine;
    emu::Disk* master = nullptr;
    emu::Disk* ssd = nullptr;
    bool ok = false;
};

uint64_t poolCalls = 0;  // pool allocations while measuring

void Start()
{
    poolCalls -= emu::PoolAllocationCount();
    CALLGRIND_START_INSTRUMENTATION;
}

void Stop()
{
    CALLGRIND_STOP_INSTRUMENTATION;
    poolCalls += emu::PoolAllocationCount();
}

bool Requests(Rig& rig, ULONG count, bool write, uint64_t span, uint64_t seed, bool sequential = false)
{
    std::mt19937_64 rng(seed);
    std::vector<uint8_t> buffer(RequestBytes, 0x5A);
    bool ok = true;
    for (ULONG i = 0; i < count; ++i) {
        uint64_t at = sequential ? (uint64_t)i * RequestBytes : rng() % (span / RequestBytes) * RequestBytes;
        emu::IoResult r = write ? rig.machine.Write(*rig.master, at, buffer.data(), RequestBytes)
                                : rig.machine.Read(*rig.master, at, buffer.data(), RequestBytes);
        ok = ok && r.status == STATUS_SUCCESS;
        rig.machine.WaitUntilQuiet();  // the fill and its bitmap work, for a miss
    }
    return ok;
}

// Measures `count` requests of the case; returns how many units ran (requests,
// or for the drain of a dirty cache its pieces), 0 on failure.
ULONG Run(const std::string& what, ULONG count)
{
    if (what == "cached_read" || what == "passthrough") {
        Rig rig(1ull << 30, Shape(HotSlots, 1));
        rig.Warm();
        if (what == "passthrough") {
            cache_test::Ext(*rig.master)->Cache.Active = 0;
            cache_test::Ext(*rig.master)->Role = RoleNone;
        }
        Start();
        bool ok = rig.ok && Requests(rig, count, false, HotBytes, 3);
        Stop();
        return ok ? count : 0;
    }
    if (what == "miss_fill") {
        Rig rig(64ull << 30, Shape(4096, 1));
        Start();
        bool ok = rig.ok && Requests(rig, count, false, 64ull << 30, 2);
        Stop();
        return ok ? count : 0;
    }
    if (what == "write_through_hit" || what == "write_back_hit") {
        Rig rig(1ull << 30, Shape(HotSlots, what == "write_back_hit" ? CacheModeWriteBack : 1));
        rig.Warm();
        cache_test::Ext(*rig.master)->Cache.Map.WriteMode = 2;
        Start();
        bool ok = rig.ok && Requests(rig, count, true, HotBytes, 4);
        Stop();
        return ok ? count : 0;
    }
    if (what == "destage_piece") {
        // The whole hot set dirty, then drained piece by piece to the hard disk.
        Rig rig(1ull << 30, Shape(HotSlots, CacheModeWriteBack));
        rig.Warm();
        FilterExtension* m = cache_test::Ext(*rig.master);
        m->Cache.Map.WriteMode = 2;
        bool ok = rig.ok && Requests(rig, (ULONG)(HotBytes / RequestBytes), true, HotBytes, 5, true);
        rig.master->ClearRequests();
        Start();
        m->Cache.StopRequested = 1;
        KeSetEvent(&m->Worker.WorkEvent, IO_NO_INCREMENT, FALSE);
        rig.machine.WaitUntilQuiet();
        Stop();
        ok = ok && m->Cache.Active == 0;
        // A piece is one write of dirty data to the hard disk.
        ULONG pieces = rig.master->Count(IRP_MJ_WRITE);
        return ok ? pieces : 0;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <case> <requests>\n", argv[0]);
        return 2;
    }
    ULONG units = Run(argv[1], (ULONG)strtoul(argv[2], nullptr, 10));
    if (units == 0) {
        fprintf(stderr, "%s: the case failed or is unknown\n", argv[1]);
        return 1;
    }
    printf("units %u\n", units);
    printf("pool %llu\n", (unsigned long long)poolCalls);
    return 0;
}
