// Steps shared by the scenarios that run a cache: the two disks as the driver
// knows them, their configuration through the control device, the driver's
// counters around each transfer, and waits for the worker's background work.
#pragma once
#include "control.h"
#include "rawdisk.h"

// The kit's hard disk is the master, its SSD the cache.
const int MasterDisk = 1;
const int SsdDisk = 2;
const ULONGLONG MasterDiskId = 0x544F4C5641524E31ull;  // "TOLVARN1"
const ULONGLONG SsdDiskId = 0x544F4C5641524E32ull;     // "TOLVARN2"

// The SSD's cache area (below the host's seed, which must stay as it is) and
// the cache's blocks (64 KiB). The host reads the area's header sector at
// CacheAreaStart.
const ULONGLONG CacheAreaStart = 1u << 20;
const ULONGLONG CacheAreaEnd = 8u << 20;
const DWORD CacheBlockShift = 16;

// SsdCacheMode: 2 write-back, any other write-through. WriteMode 3 gives a
// write that misses the cache a slot, so writes reach the SSD.
const BYTE CacheModeWriteThrough = 1;
const BYTE CacheModeWriteBack = 2;
const BYTE WriteModeAllocate = 3;

struct CachePair {
    DiskFacts Master;
    DiskFacts Ssd;
};

// Size, number and identity of both disks (reported); false after a failure.
bool ReadDiskFacts(int disk, DiskFacts* facts);
bool ReadCachePair(CachePair* pair);

// A request that must succeed: reported, a failure counted. True on success.
bool Expect(const char* what, Status status);

// Ids, roles, the SSD's area and the pairing in the given SsdCacheMode, each
// request checked; then START with the given write mode and the cache's state
// checked. True when the cache runs.
bool ConfigurePair(ControlDevice& control, const CachePair& pair, BYTE cacheMode);
bool StartPairCache(ControlDevice& control, BYTE writeMode);
// Opens the control device, reads both disks' facts, pairs them in the given
// SsdCacheMode and starts the cache with a slot for every write.
bool OpenAndStart(ControlDevice& control, CachePair& pair, BYTE cacheMode);
// Opens the control device and reads both disks' facts, for a boot whose
// cache attached at boot from a saved map: checks that it is active with the
// scenarios' block size and holds at least the given bytes.
bool OpenAttachedAtBoot(ControlDevice& control, CachePair& pair, ULONGLONG cachedBytes);
// A request that names only the master (SAVE_TIMESTAMP, STOP...), checked.
bool SendForMaster(ControlDevice& control, DWORD code, const char* what);
// The driver's values under its service key, one line each, so that the host
// can give them to the next boot (a live CD forgets registry writes).
void ReportDriverKeys();

// The driver's counters of one disk; false (and a failure) when they cannot be read.
bool ReadCounters(ControlDevice& control, int disk, DWORD deviceNumber, DiskStatsRecord* stats);

// What the driver counted on one disk between two readings.
struct StatsDelta {
    DWORD ReadsIn, WritesIn, ReadsDown, WritesDown;
    ULONGLONG SectorsReadIn, SectorsWrittenIn, SectorsReadDown, SectorsWrittenDown;
};

// Both disks' counters around one step of a scenario.
class PairCounters {
public:
    PairCounters(ControlDevice& control, const CachePair& pair) : control(control), pair(pair) {}
    // Reads both disks' counters; false after a failure.
    bool Mark();
    // Reads them again and reports what each disk counted since Mark, under
    // the step's name; false after a failure.
    bool Since(const char* step, StatsDelta* master, StatsDelta* ssd);

private:
    ControlDevice& control;
    const CachePair& pair;
    DiskStatsRecord master, ssd;
};

// A checked figure: "<what> <actual> <relation> <limit>" is reported, and a
// failure counted when the relation does not hold.
void ExpectAtLeast(const char* what, ULONGLONG actual, ULONGLONG least);
void ExpectAtMost(const char* what, ULONGLONG actual, ULONGLONG most);
// A step that the master must not see: the SSD served all of its sectors.
void ExpectServedBySsd(const char* step, const StatsDelta& master, const StatsDelta& ssd, ULONGLONG sectors);

// The cache's state and usage; false (and a failure) when they cannot be read.
bool ReadState(ControlDevice& control, StateRecord* state);
bool ReadUsage(ControlDevice& control, UsageRecord* usage);
// Waits until the master's cache holds at least the given bytes (the worker
// fills read misses in the background); false when it did not in time.
bool WaitForCachedBytes(ControlDevice& control, ULONGLONG bytes, DWORD timeoutMs);
// Waits until the master's cache is no longer active (a stop has drained it).
bool WaitForInactive(ControlDevice& control, DWORD timeoutMs);

// Raw transfers of the client's pattern on one disk: write, or read and
// compare. Reported; false (and a failure) when the transfer failed or the
// data differs.
bool WritePatternAt(HANDLE disk, int number, ULONGLONG offset, DWORD bytes, BYTE* buffer);
bool ReadPatternAt(HANDLE disk, int number, const char* kind, ULONGLONG offset, DWORD bytes, BYTE* expected,
                   BYTE* actual, const char* step);
