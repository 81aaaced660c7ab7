// The cache jobs the worker runs, for as long as the cache's fill, lifecycle
// and destage code is not in the driver: no map is ever bound to an SSD and no
// cache is ever started, so there are no bits to change, nothing can be
// filled, drained or written back. Each definition leaves this file when its
// real one is written.
#include "tolvarn.h"

void InvalidateSsdRange(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count)
{
}

void SetSsdRangeValid(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count)
{
}

bool CanFill(PDEVICE_OBJECT master)
{
    return false;
}

bool FillCache(PDEVICE_OBJECT master, ULONGLONG masterSector, ULONG count, PVOID buffer)
{
    return false;
}

// A map without an SSD ends the drain at once.
bool DrainStep(PDEVICE_OBJECT master, NTSTATUS* pieceStatus)
{
    CacheState* cache = &FilterExtensionOf(master)->Cache;
    cache->Active = 0;
    cache->StopRequested = 0;
    *pieceStatus = STATUS_SUCCESS;
    return true;
}

bool IdleDestage(PDEVICE_OBJECT master, NTSTATUS* pieceStatus)
{
    *pieceStatus = STATUS_SUCCESS;
    return false;
}

void InvalidateLayoutSector(PDEVICE_OBJECT master, PIRP irp)
{
}
