// Tolvarn's chief header: the device extensions with every record they hold,
// the records shared between files, and the driver-wide state. Routines are
// declared in the header named after the file that defines them.
#pragma once

#include "kernel.h"
#include "cachemap.h"
#include "inflight.h"

// ---- Driver-wide state --------------------------------------------------------
// Defined in entry.cpp, set to their load values by DriverEntry.

enum : UCHAR { PhaseBoot = 0, PhaseRunning = 1, PhaseShutdown = 2, PhaseUnload = 3 };
enum DiskRole : UCHAR { RoleNone = 0, RoleMaster = 1, RoleSsd = 2 };

extern PDRIVER_OBJECT DriverObject;   // null while the driver is not loaded
extern PDEVICE_OBJECT ControlDevice;  // null when it does not exist
extern volatile UCHAR DriverPhase;    // PhaseBoot .. PhaseUnload
extern volatile ULONG HibernateFlag;  // 1 from an S4 request until every disk is back at S0
extern volatile ULONGLONG PoolBytes;  // pool held by cache structures
extern UNICODE_STRING RegistryPath;   // owned copy of the service key path
extern WCHAR* ServiceName;            // text after the last backslash of RegistryPath, or null
extern volatile ULONG OpenSequence;   // opens of the control device since load
extern volatile ULONG OpenCount;      // opens minus closes of the control device

// Statistics are plain adds: nothing relies on their exactness, and the x86
// kernel headers offer no 64-bit interlocked add.
inline void StatAdd32(volatile ULONG* counter, ULONG amount)
{
    *counter = *counter + amount;
}

inline void StatAdd64(volatile ULONGLONG* counter, ULONGLONG amount)
{
    *counter = *counter + amount;
}

// ---- Worker records (worker.cpp) ------------------------------------------------

enum WorkKind {
    WorkInvalidate = 1,  // clear the valid bits of an SSD range
    WorkSetValid = 2,    // set the valid bits of an SSD range
    WorkFill = 3,        // write data read from the master into the cache
    WorkCall = 4,        // run a routine for a caller that waits for it
    WorkLayoutDone = 5,  // a layout request the disk below has answered
};

struct WorkItem {
    LIST_ENTRY Links;
    ULONG Kind;
    ULONGLONG Sector;  // SSD sector for kinds 1 and 2, master sector for kind 3
    ULONG Count;
    PVOID Buffer;      // kind 3: pool owned by the item once posted; kind 4: the WorkerCall;
                       // kind 5: the request
    ULONG Stamp;       // kind 1: the slot table's assignments when the write was planned
                       // (slots given to another block since keep their bits);
                       // kind 2: the slot generation the data was written for
};

struct WorkerContext {
    PVOID Thread;      // referenced thread object, null when none
    KEVENT ExitEvent;  // signalled by the worker just before it ends
    KEVENT WorkEvent;  // signalled by every post and by a stop
    // 1 from StartWorkerThread until the stopping worker closes its queues
    // (under both queue locks); posts and queued requests are taken only
    // while it is 1.
    volatile UCHAR Running;
    volatile ULONG Stop;  // 1 asks the worker to end
    KSPIN_LOCK RequestLock;
    LIST_ENTRY RequestQueue;  // IRPs, linked through Tail.Overlay.ListEntry
    KSPIN_LOCK ItemLock;
    LIST_ENTRY ItemQueue;  // WorkItem records
};

// ---- Per-disk configuration records (config.cpp) -----------------------------------

struct MasterConfig {
    ULONG MasterStart;         // 0 or 1: attach the cache at boot
    ULONGLONG SsdCacheDiskId;  // the master's SSD, 0 = none
    ULONG SsdCacheMinBoot;     // boot slots kept from eviction
    UCHAR SsdCacheMode;        // 2 write-back, any other write-through
    UCHAR SsdCacheWriteMode;   // 0 to 3
};

struct CacheAreaConfig {
    ULONGLONG SsdCacheStart;  // byte offset on the SSD
    ULONGLONG SsdCacheEnd;
    ULONGLONG MasterDiskId;  // the master this SSD caches, 0 = none
};

// A master's layout of its SSD cache area (offsets in bytes, absolute on the SSD).
struct CacheGeometry {
    ULONG SlotCount;
    ULONG BlockShift;
    ULONGLONG SlotTableOffset;
    ULONGLONG ValidBitmapOffset;
    ULONGLONG CleanBitmapOffset;
    ULONGLONG DataStart;
    ULONGLONG DataEnd;
};

// ---- Cache state (cachestate.cpp) ---------------------------------------------------

struct CacheState {
    ULONG Active;           // the master's requests go through the cache
    ULONG StopRequested;    // a stop is pending; the worker drains the map
    ULONG IdleWriteBack;    // destage dirty data when the disk is idle
    ULONG DestageIdle;      // 1 while no destage piece runs
    ULONG WrittenDetached;  // the master was written while its map had no SSD
    ULONG MetadataValid;    // the map saved on the SSD may be reused
    ULONG Persist;          // save the map with a stamp at shutdown
    ULONG StartBlockShift;  // START's block shift, for the next fresh layout only
    // 1 while no map of this master saved on its SSD can be reused: writes
    // that do not go through the map then need not void one.
    ULONG SavedMapVoided;
    // Dirty sectors dropped without reaching the master (a shutdown or
    // removal whose flush failed and whose map could not be kept).
    volatile ULONGLONG DirtySectorsLost;
    // Held by attach, start, shutdown and removal while they change the map
    // from outside the worker (a synchronization event used as a lock).
    KEVENT LifecycleLock;
    CacheMap Map;
    // Write contexts whose failed SSD ranges still hold valid bits because
    // the worker took no post (write.cpp): emptied before every plan, flush
    // and save.
    KSPIN_LOCK PendingLock;
    LIST_ENTRY PendingInvalidations;
};

// ---- Requests (requests.cpp) --------------------------------------------------------

// A sector range on one disk, with the caller's request it belongs to (null
// for a transfer of the driver's own).
struct DiskRequest {
    PDEVICE_OBJECT Device;  // the filter device of the disk addressed
    ULONGLONG StartSector;
    ULONG SectorCount;
    PIRP Irp;
};

// ---- Device extensions --------------------------------------------------------

// Request counters of one filter device; the field order is the order in which
// the disk-statistics control request returns them.
struct DiskStats {
    ULONG ReadsIn;
    ULONG WritesIn;
    ULONG ReadsDown;
    ULONG WritesDown;
    ULONGLONG SectorsReadIn;
    ULONGLONG SectorsWrittenIn;
    ULONGLONG SectorsReadDown;
    ULONGLONG SectorsWrittenDown;
};

struct ControlExtension {
    ULONG Size;
    UNICODE_STRING DeviceName;  // owned
    UNICODE_STRING LinkName;    // owned; empty while no link exists
};

// The extension of every filter device, one per disk.
struct FilterExtension {
    ULONG Size;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice;  // every request passed down or sent goes here
    WorkerContext Worker;
    ULONG IdentityRead;  // 1 once the stack below is started and the identity read
    ULONG DeviceNumber;  // 0xFFFFFFFF until known
    ULONG MaxTransfer;
    ULONG SectorShift;
    ULONGLONG LengthSectors;
    ULONG PowerState;  // last system power state: 1 = S0 ... 5 = S4
    DiskStats Stats;
    UCHAR* Identify;         // 512 bytes of ATA IDENTIFY data (owned), or null
    UNICODE_STRING KeyPath;  // owned
    ULONG KeyPathValid;
    ULONGLONG DiskId;
    UCHAR Role;  // a DiskRole
    ULONGLONG TimeStamp;
    MasterConfig Master;
    CacheGeometry Geometry;
    CacheState Cache;
    CacheAreaConfig Area;
    ULONG Removing;          // 1 once REMOVE or the shutdown sweep has begun
    InFlightTable InFlight;  // reads and writes sent below and not yet completed
};

inline FilterExtension* FilterExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<FilterExtension*>(device->DeviceExtension);
}
