// A master's cache state flags, the states they define and the range check
// of requests that go through an active cache.
#include "tolvarn.h"
#include "cachestate.h"

void InitCacheState(CacheState* state)
{
    state->Active = 0;
    state->StopRequested = 0;
    state->IdleWriteBack = 0;
    state->DestageIdle = 1;
    state->MetadataValid = 0;
    state->Persist = 0;
    ResetCacheMap(&state->Map);
    state->WrittenDetached = 0;
    state->SavedMapVoided = 0;
    state->DirtySectorsLost = 0;
    KeInitializeEvent(&state->LifecycleLock, SynchronizationEvent, TRUE);
    KeInitializeSpinLock(&state->PendingLock);
    InitializeListHead(&state->PendingInvalidations);
}

CacheStateKind CacheStateOf(const CacheState* state)
{
    if (!state->Active)
        return CacheInactive;
    if (state->StopRequested)
        return CacheDraining;
    return state->Map.SsdDevice ? CacheAttached : CacheDetached;
}

// A caller's byte offset and length must be whole sectors: rounding them
// would read or write other sectors than asked and still report success.
static bool IsSectorAligned(const DiskRequest* request, ULONG shift)
{
    if (!request->Irp)
        return true;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(request->Irp);
    bool write = location->MajorFunction == IRP_MJ_WRITE;
    LONGLONG offset = write ? location->Parameters.Write.ByteOffset.QuadPart
                            : location->Parameters.Read.ByteOffset.QuadPart;
    ULONG length = write ? location->Parameters.Write.Length : location->Parameters.Read.Length;
    ULONGLONG mask = ((ULONGLONG)1 << shift) - 1;
    return offset >= 0 && ((ULONGLONG)offset & mask) == 0 && (length & mask) == 0;
}

NTSTATUS CheckRequestRange(const DiskRequest* request)
{
    const FilterExtension* ext = FilterExtensionOf(request->Device);
    if (request->SectorCount == 0 || !IsSectorAligned(request, ext->SectorShift))
        return STATUS_INVALID_PARAMETER;
    if (request->StartSector > ext->LengthSectors ||
        request->SectorCount > ext->LengthSectors - request->StartSector)
        return STATUS_NONEXISTENT_SECTOR;
    return STATUS_SUCCESS;
}

bool IdleWorkInactive(PDEVICE_OBJECT master)
{
    return false;
}

// Phases boot and running cache; shutdown and unload do not.
bool IsCachingAllowed(ULONG active, ULONG stopRequested, ULONG removing)
{
    UCHAR phase = DriverPhase;
    return !HibernateFlag && active && !stopRequested && !removing && phase <= PhaseRunning;
}

bool IsWriteThrough(const CacheMap* map, SsdSlot slot)
{
    return DriverPhase != PhaseRunning || !IsWriteBackSlot(map, slot);
}

BootTime CurrentBootTime()
{
    return OpenSequence == 0 ? DuringBoot : AfterBoot;
}
