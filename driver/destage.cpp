// Destage of dirty data: a piece is a synchronous SSD read into a buffer of its
// own, a synchronous write of that buffer to the master, and then the clean
// bits of the copied sectors.
#include "tolvarn.h"
#include "bitmaps.h"
#include "destage.h"
#include "pool.h"
#include "read.h"
#include "requests.h"
#include "worker.h"
#include "write.h"

// Another piece on the same master ended while this one ran.
static bool AnotherPieceEnded(const CacheState* state)
{
    return state->DestageIdle != 0;
}

static NTSTATUS WriteToMasterCounted(PDEVICE_OBJECT master, ULONGLONG sector, ULONG sectors, PVOID buffer)
{
    DiskStats* stats = &FilterExtensionOf(master)->Stats;
    StatAdd32(&stats->WritesDown, 1);
    StatAdd64(&stats->SectorsWrittenDown, sectors);
    // Through the master's own cache: the run turns clean, and a saved map
    // may say so, only once the master's medium holds it.
    DiskRequest request = {master, sector, sectors, NULL};
    return WriteSectorsSyncThrough(&request, buffer);
}

static NTSTATUS CopyRunToMaster(const DestageRequest* request, const CacheState* state)
{
    CacheMap* map = request->Map;
    PDEVICE_OBJECT ssd = map->SsdDevice;
    ULONG shift = FilterExtensionOf(request->Master)->SectorShift;
    // A master sector is addressed in SSD sectors: both disks must use one size.
    if (!ssd || FilterExtensionOf(ssd)->SectorShift != shift)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (request->Sectors == 0 || ((ULONGLONG)request->Sectors << shift) > MaxDestageBytes)
        return STATUS_INVALID_PARAMETER;
    ULONG bytes = request->Sectors << shift;
    PVOID buffer = AllocMapMemory(bytes);
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;

    NTSTATUS status = STATUS_SUCCESS;
    if (!AnotherPieceEnded(state)) {
        DiskRequest read = {ssd, request->FirstSsdSector, request->Sectors, NULL};
        status = ReadSectorsSyncCounted(&read, buffer);
    }
    ULONGLONG masterSector = SsdToMasterSector(map, request->FirstSsdSector);
    if (NT_SUCCESS(status) && !AnotherPieceEnded(state)) {
        status = masterSector == ~0ull
                     ? STATUS_NONEXISTENT_SECTOR
                     : WriteToMasterCounted(request->Master, masterSector, request->Sectors, buffer);
    }
    if (NT_SUCCESS(status) && !AnotherPieceEnded(state)) {
        SsdSlot slot;
        ULONGLONG slotBit;
        status = SsdSectorToSlot(map, request->FirstSsdSector, &slot, &slotBit)
                     ? SetCleanRun(map, slot, slotBit, request->Sectors)
                     : STATUS_NONEXISTENT_SECTOR;
    }
    FreeMapMemory(buffer, bytes);
    return status;
}

NTSTATUS DestageRun(const DestageRequest* request)
{
    PAGED_CODE();
    CacheState* state = &FilterExtensionOf(request->Master)->Cache;
    state->DestageIdle = 0;
    NTSTATUS status = CopyRunToMaster(request, state);
    state->DestageIdle = 1;
    return status;
}

// The first piece of a run: at most 1 MiB of it.
static DestageRequest FirstPiece(PDEVICE_OBJECT master, const SsdRun* run)
{
    FilterExtension* ext = FilterExtensionOf(master);
    ULONG limit = MaxDestageBytes >> ext->SectorShift;
    DestageRequest piece = {master, &ext->Cache.Map, run->FirstSector,
                            run->Sectors < limit ? run->Sectors : limit};
    return piece;
}

NTSTATUS FlushAllDirty(PDEVICE_OBJECT master)
{
    PAGED_CODE();
    CacheMap* map = &FilterExtensionOf(master)->Cache.Map;
    // Writes still in flight settle first, and the SSD ranges of failed ones
    // lose their valid bits: no piece may copy sectors whose write did not land.
    WaitForOwnCacheIo(map);
    ApplyPendingInvalidations(master);
    SsdRun run;
    // The map's search hints resume each search where the last one ended.
    while (FindAnyDirtyRun(map, &run)) {
        DestageRequest piece = FirstPiece(master, &run);
        NTSTATUS status = DestageRun(&piece);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

bool IdleDestage(PDEVICE_OBJECT master, NTSTATUS* pieceStatus)
{
    PAGED_CODE();
    *pieceStatus = STATUS_SUCCESS;
    CacheMap* map = &FilterExtensionOf(master)->Cache.Map;
    ApplyPendingInvalidations(master);
    SsdRun run;
    // A run whose slot has an own write in flight waits: its sectors may not
    // hold the written data yet.
    SsdSlot slot;
    ULONGLONG slotBit;
    if (!FindIdleDestageRun(map, &run) ||
        (SsdSectorToSlot(map, run.FirstSector, &slot, &slotBit) && IsSlotBusy(map, slot)))
        return false;
    DestageRequest piece = FirstPiece(master, &run);
    *pieceStatus = DestageRun(&piece);
    return true;
}

static void FlushOnWorker(PDEVICE_OBJECT master, PVOID status)
{
    *(NTSTATUS*)status = FlushAllDirty(master);
}

// The flush runs on the master's worker while it runs, so that no piece
// overlaps a write to the same sectors and the map keeps its one thread.
void FlushMaster(PDEVICE_OBJECT master)
{
    NTSTATUS status;
    if (!RunOnWorker(master, FlushOnWorker, &status))
        FlushOnWorker(master, &status);
}

bool FlushNeedsDestage(PDEVICE_OBJECT device)
{
    const FilterExtension* ext = FilterExtensionOf(device);
    return ext->Role == RoleMaster && ext->Cache.Map.SsdDevice && ext->Cache.Map.CleanBitmap;
}

NTSTATUS HandleFlushBuffers(PDEVICE_OBJECT device, PIRP irp)
{
    if (FlushNeedsDestage(device) && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        NTSTATUS status = FlushAllDirty(device);
        if (!NT_SUCCESS(status))
            return CompleteRequest(irp, status);
    }
    return PassDown(device, irp);
}

ULONGLONG CachedBytes(PDEVICE_OBJECT master)
{
    const FilterExtension* ext = FilterExtensionOf(master);
    if (!ext->Cache.Map.SsdDevice)
        return 0;
    return CountCachedSectors(&ext->Cache.Map) << ext->SectorShift;
}
