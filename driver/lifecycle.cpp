// Placeholder until the cache lifecycle and destage are built: no master's
// cache can become active yet, so there is nothing to attach, flush, save or
// protect, and every device-control request passes down.
#include "tolvarn.h"

bool AttachCacheAtBoot(PDEVICE_OBJECT master)
{
    return false;
}

NTSTATUS ShutdownCache(PDEVICE_OBJECT master)
{
    return STATUS_SUCCESS;
}

bool MayRemoveSsd(PDEVICE_OBJECT ssd)
{
    return true;
}

void RemoveSsdFromMaster(PDEVICE_OBJECT ssd)
{
}

NTSTATUS MasterDeviceControl(PDEVICE_OBJECT master, PIRP irp)
{
    return PassDown(master, irp);
}

NTSTATUS SsdDeviceControl(PDEVICE_OBJECT ssd, PIRP irp)
{
    return PassDown(ssd, irp);
}

void FlushMaster(PDEVICE_OBJECT master)
{
}
