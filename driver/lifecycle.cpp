// The cache lifecycle. Until it is built no master's cache can become active:
// there is nothing to attach, drain, flush, save or protect, and every
// device-control request passes down.
#include "tolvarn.h"
#include "lifecycle.h"
#include "requests.h"

bool AttachCacheAtBoot(PDEVICE_OBJECT master)
{
    return false;
}

NTSTATUS StartCache(PDEVICE_OBJECT master)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS StopCache(PDEVICE_OBJECT master)
{
    FilterExtensionOf(master)->Master.MasterStart = 0;
    return STATUS_SUCCESS;
}

NTSTATUS ShutdownCache(PDEVICE_OBJECT master)
{
    return STATUS_SUCCESS;
}

bool MayRemoveSsd(PDEVICE_OBJECT ssd)
{
    return true;
}

void RemoveSsdFromMaster(PDEVICE_OBJECT ssd) {}

NTSTATUS MasterDeviceControl(PDEVICE_OBJECT master, PIRP irp)
{
    return PassDown(master, irp);
}

NTSTATUS SsdDeviceControl(PDEVICE_OBJECT ssd, PIRP irp)
{
    return PassDown(ssd, irp);
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

void InvalidateLayoutSector(PDEVICE_OBJECT master, PIRP irp) {}
