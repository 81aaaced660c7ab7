// The life of a master's cache. Every change of a map runs on the master's
// worker while it runs (the caller waits for it there), so that it is ordered
// against the master's requests and the map keeps its one thread; only a
// master without a running worker has them run on the caller's thread. The
// changes made from outside the worker (attach, start, shutdown, removal)
// also hold the master's lifecycle lock, so that two of them never overlap
// when there is no worker to order them.
#include "tolvarn.h"
#include "bitmaps.h"
#include "cachestate.h"
#include "config.h"
#include "destage.h"
#include "lifecycle.h"
#include "metadata.h"
#include "pnp.h"
#include "read.h"
#include "requests.h"
#include "worker.h"
#include "write.h"

// ---------------------------------------------------------------------------
// Lifecycle lock and helpers
// ---------------------------------------------------------------------------

static void LockLifecycle(CacheState* cache)
{
    KeWaitForSingleObject(&cache->LifecycleLock, Executive, KernelMode, FALSE, NULL);
}

static void UnlockLifecycle(CacheState* cache)
{
    KeSetEvent(&cache->LifecycleLock, IO_NO_INCREMENT, FALSE);
}

// Runs the routine on the master's worker, or here when it has none.
static void RunOnMasterThread(PDEVICE_OBJECT master, WORKER_CALL_ROUTINE* routine, PVOID context)
{
    if (!RunOnWorker(master, routine, context))
        routine(master, context);
}

// Every slot of a new map starts at a generation that no map of this driver
// has handed out lately, so that a fill or set-valid item posted for an
// earlier map of the master cannot match a slot of the new one.
static volatile LONG MapGenerationSeed;

static void SeedSlotGenerations(CacheMap* map)
{
    if (!map->Slots.Entries)
        return;
    ULONG seed = (ULONG)InterlockedIncrement(&MapGenerationSeed) << 20;
    for (ULONG s = 0; s < map->Slots.SlotCount; s++)
        map->Slots.Entries[s].Generation = seed;
}

ULONGLONG CountDirtySectors(const CacheMap* map)
{
    if (!map->SsdDevice || !map->ValidBitmap || !map->CleanBitmap)
        return 0;
    ULONGLONG dirty = 0;
    for (ULONG i = 0; i < map->BitmapSize; i++) {
        UCHAR bits = map->ValidBitmap[i] & (UCHAR)~map->CleanBitmap[i];
        for (; bits; bits &= (UCHAR)(bits - 1))
            dirty++;
    }
    return dirty;
}

static void NoteDirtyLost(CacheState* cache, ULONGLONG sectors)
{
    if (sectors == 0)
        return;
    StatAdd64(&cache->DirtySectorsLost, sectors);
    DbgPrint("Tolvarn: %I64u dirty sectors could not be written back to the hard disk\n", sectors);
}

// Own writes still in flight settle, and the SSD ranges of failed ones lose
// their valid bits, before the tables are saved or freed.
static void SettleOwnIo(PDEVICE_OBJECT master)
{
    WaitForOwnCacheIo(&FilterExtensionOf(master)->Cache.Map);
    ApplyPendingInvalidations(master);
}

// The master lets go of its map whatever is left in it; dirty sectors that
// never reached the master are counted as lost.
static void UnbindMap(PDEVICE_OBJECT master)
{
    CacheState* cache = &FilterExtensionOf(master)->Cache;
    if (!cache->Map.SsdDevice)
        return;
    SettleOwnIo(master);
    NoteDirtyLost(cache, CountDirtySectors(&cache->Map));
    FreeCacheMap(cache);
}

// ---------------------------------------------------------------------------
// Attach at boot
// ---------------------------------------------------------------------------

static void AttachOnWorker(PDEVICE_OBJECT master, PVOID attached)
{
    FilterExtension* ext = FilterExtensionOf(master);
    bool* result = (bool*)attached;
    *result = LoadMetadata(master);
    if (!*result)
        return;
    SeedSlotGenerations(&ext->Cache.Map);
    // The stamp is renewed only after the load has compared the old one.
    ext->TimeStamp = ReadSystemTime();
    ext->Cache.SavedMapVoided = 1;  // the load cleared the header's stamp
    ext->Cache.Active = 1;
}

bool AttachCacheAtBoot(PDEVICE_OBJECT master)
{
    PAGED_CODE();
    FilterExtension* ext = FilterExtensionOf(master);
    if (!ext->Master.MasterStart)
        return false;
    LockLifecycle(&ext->Cache);
    bool attached = ext->Cache.Active != 0;
    if (!attached)
        RunOnMasterThread(master, AttachOnWorker, &attached);
    UnlockLifecycle(&ext->Cache);
    return attached;
}

// ---------------------------------------------------------------------------
// Start and stop
// ---------------------------------------------------------------------------

static void StartOnWorker(PDEVICE_OBJECT master, PVOID result)
{
    FilterExtension* ext = FilterExtensionOf(master);
    CacheState* cache = &ext->Cache;
    NTSTATUS* status = (NTSTATUS*)result;
    *status = STATUS_SUCCESS;
    ext->Master.MasterStart = 1;
    if (cache->StopRequested) {
        // The running map, its layout and its contents stay.
        cache->StopRequested = 0;
        return;
    }
    if (cache->Active) {
        // Rebuilding a running map would drop its dirty data.
        *status = STATUS_INVALID_DEVICE_REQUEST;
        return;
    }
    // A fresh layout takes the requested block shift, even 0, which the
    // layout refuses: an earlier cache's shift is not the client's choice.
    ext->Geometry.BlockShift = cache->StartBlockShift;
    *status = InitCacheOnSsd(master);
    if (!NT_SUCCESS(*status))
        return;
    SeedSlotGenerations(&cache->Map);
    // A master that never attached has no stamp, and a map saved with stamp
    // 0 is never reused: the first start gives it one for the client to save.
    if (ext->TimeStamp == 0)
        ext->TimeStamp = ReadSystemTime();
    cache->SavedMapVoided = 1;  // the start wiped the header
    cache->Active = 1;
}

NTSTATUS StartCache(PDEVICE_OBJECT master)
{
    PAGED_CODE();
    FilterExtension* ext = FilterExtensionOf(master);
    // A map built once the shutdown sweep or the removal has begun would
    // never be saved.
    if (ext->Removing || DriverPhase >= PhaseShutdown)
        return STATUS_INVALID_DEVICE_REQUEST;
    LockLifecycle(&ext->Cache);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (!ext->Removing)
        RunOnMasterThread(master, StartOnWorker, &status);
    UnlockLifecycle(&ext->Cache);
    return status;
}

// Two flags, each written whole: the worker's drain does the rest.
NTSTATUS StopCache(PDEVICE_OBJECT master)
{
    FilterExtension* ext = FilterExtensionOf(master);
    ext->Master.MasterStart = 0;
    if (ext->Cache.Active)
        ext->Cache.StopRequested = 1;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Drain
// ---------------------------------------------------------------------------

// The drain's end: the cache goes inactive, its map is freed and the header
// on the SSD it used is wiped, so that no later boot attaches it.
static void EndDrain(PDEVICE_OBJECT master)
{
    CacheState* cache = &FilterExtensionOf(master)->Cache;
    cache->Active = 0;
    cache->StopRequested = 0;
    PDEVICE_OBJECT ssd = cache->Map.SsdDevice;  // FreeCacheMap clears it
    if (!ssd)
        return;
    UnbindMap(master);
    WipeMetadataHeader(ssd);
    cache->SavedMapVoided = 1;
}

bool DrainStep(PDEVICE_OBJECT master, NTSTATUS* pieceStatus)
{
    PAGED_CODE();
    FilterExtension* ext = FilterExtensionOf(master);
    CacheMap* map = &ext->Cache.Map;
    *pieceStatus = STATUS_SUCCESS;
    ApplyPendingInvalidations(master);
    SsdSlot head = map->SsdDevice && map->Slots.Links ? map->Slots.LruHead : NoSlot;
    if (head == NoSlot) {
        EndDrain(master);
        return true;
    }
    // A slot with an own write in flight may not hold the written data yet:
    // neither copied nor dropped until the write is done. The worker waits a
    // tick before it tries again.
    if (IsSlotBusy(map, head)) {
        *pieceStatus = STATUS_DEVICE_NOT_READY;
        return false;
    }
    SsdRun run;
    if (!DrainLruHead(map, &run) || run.Sectors == 0)
        return false;  // the head slot was clean and is gone
    ULONG limit = MaxDestageBytes >> ext->SectorShift;
    DestageRequest piece = {master, map, run.FirstSector, run.Sectors < limit ? run.Sectors : limit};
    *pieceStatus = DestageRun(&piece);
    return true;
}

// ---------------------------------------------------------------------------
// Shutdown and removal
// ---------------------------------------------------------------------------

// Flushes and saves the master's cache. A flush error is returned, yet the
// map is still saved: with persistence on, the next boot reuses it and
// destages what is dirty instead of losing it. Dirty data that no reusable
// map keeps is counted as lost. Ends the worker it runs on.
struct ShutdownJob {
    bool Unbind;     // the SSD goes: the map is let go whatever the save did
    bool EndWorker;  // removal: the worker ends after this job
    NTSTATUS FlushStatus;
};

static void FlushAndSaveOnWorker(PDEVICE_OBJECT master, PVOID context)
{
    FilterExtension* ext = FilterExtensionOf(master);
    CacheState* cache = &ext->Cache;
    ShutdownJob* job = (ShutdownJob*)context;
    NTSTATUS* flushStatus = &job->FlushStatus;
    *flushStatus = STATUS_SUCCESS;
    // At a removal this is the worker's last job: requests queued after it
    // pass by the saved map, on the worker's way out or on their callers'
    // threads. At system shutdown the worker stays, so that a write after
    // the save, at any IRQL, voids the saved map on this thread.
    if (job->EndWorker)
        ext->Worker.Stop = 1;
    // Requests queued before the save go through the map first.
    ServeQueuedRequests(master);
    if (!cache->Map.SsdDevice)
        return;
    SettleOwnIo(master);
    *flushStatus = FlushAllDirty(master);
    ULONGLONG dirty = CountDirtySectors(&cache->Map);
    ULONGLONG stamp = 0;
    if (NT_SUCCESS(SaveMetadata(master, &stamp))) {
        if (stamp == 0)
            NoteDirtyLost(cache, dirty);
        // A stamped header is on the SSD again: the next write that does not
        // go through this map must void it.
        cache->SavedMapVoided = stamp == 0;
    }
    if (job->Unbind)
        UnbindMap(master);
}

// The flush and the save run as the worker's last job, so that they are
// ordered against every request queued before them; the worker has ended
// when this returns.
static NTSTATUS ShutdownCacheLocked(PDEVICE_OBJECT master, bool unbind)
{
    ShutdownJob job = {unbind, true, STATUS_SUCCESS};
    RunOnMasterThread(master, FlushAndSaveOnWorker, &job);
    StopWorkerThread(&FilterExtensionOf(master)->Worker);
    return job.FlushStatus;
}

NTSTATUS ShutdownCache(PDEVICE_OBJECT master)
{
    PAGED_CODE();
    CacheState* cache = &FilterExtensionOf(master)->Cache;
    LockLifecycle(cache);
    NTSTATUS status = ShutdownCacheLocked(master, false);
    UnlockLifecycle(cache);
    return status;
}

NTSTATUS SaveCacheAtShutdown(PDEVICE_OBJECT master)
{
    PAGED_CODE();
    CacheState* cache = &FilterExtensionOf(master)->Cache;
    LockLifecycle(cache);
    ShutdownJob job = {false, false, STATUS_SUCCESS};
    RunOnMasterThread(master, FlushAndSaveOnWorker, &job);
    UnlockLifecycle(cache);
    return job.FlushStatus;
}

PDEVICE_OBJECT FindMasterOfSsd(PDEVICE_OBJECT ssd)
{
    const FilterExtension* ext = FilterExtensionOf(ssd);
    if (ext->Role != RoleSsd || ext->Area.MasterDiskId == 0)
        return NULL;
    PDEVICE_OBJECT master = FindDeviceByDiskId(ext->Area.MasterDiskId);
    if (!master || FilterExtensionOf(master)->Cache.Map.SsdDevice != ssd)
        return NULL;
    return master;
}

bool MayRemoveSsd(PDEVICE_OBJECT ssd)
{
    PDEVICE_OBJECT master = FindMasterOfSsd(ssd);
    return !master || FilterExtensionOf(master)->Master.SsdCacheMode != CacheModeWriteBack;
}

void RemoveSsdFromMaster(PDEVICE_OBJECT ssd)
{
    PAGED_CODE();
    PDEVICE_OBJECT master = FindMasterOfSsd(ssd);
    if (master)
        DetachMasterFromSsd(master);
}

// The master is left detached whatever the flush or the save achieved: no map
// may keep pointing at the SSD's device once it is deleted. Its worker runs
// again afterwards, so that a stop can end its detached cache and a start
// can bind an SSD again.
void DetachMasterFromSsd(PDEVICE_OBJECT master)
{
    PAGED_CODE();
    FilterExtension* ext = FilterExtensionOf(master);
    LockLifecycle(&ext->Cache);
    ext->Cache.Persist = 0;
    ShutdownCacheLocked(master, true);
    if (!ext->Removing)
        StartWorkerThread(master);
    UnlockLifecycle(&ext->Cache);
}

// ---------------------------------------------------------------------------
// Writes outside the map
// ---------------------------------------------------------------------------

// Clears the stamp of the master's saved map on its SSD, or, when the SSD
// cannot be reached, the stamp kept in the registry (a reuse needs both).
static bool VoidSavedMap(PDEVICE_OBJECT master)
{
    FilterExtension* ext = FilterExtensionOf(master);
    PDEVICE_OBJECT ssd = FindDeviceByDiskId(ext->Master.SsdCacheDiskId);
    if (ssd && FilterExtensionOf(ssd)->Area.MasterDiskId != ext->DiskId)
        return true;  // that SSD keeps no map of this master
    if (ssd && KeGetCurrentIrql() <= APC_LEVEL && NT_SUCCESS(ClearSavedStamp(ssd)))
        return true;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        return false;
    ext->TimeStamp = 0;
    return NT_SUCCESS(SaveDiskQword(ext, ValueTimeStamp, 0));
}

void VoidSavedMapBeforeWrite(PDEVICE_OBJECT master)
{
    FilterExtension* ext = FilterExtensionOf(master);
    CacheState* cache = &ext->Cache;
    if (cache->SavedMapVoided || ext->Master.SsdCacheDiskId == 0 || (cache->Active && cache->Map.SsdDevice))
        return;
    if (VoidSavedMap(master))
        cache->SavedMapVoided = 1;
}
