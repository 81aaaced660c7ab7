// The life of a master's cache: boot attach, shutdown, SSD removal, and the
// device-control requests that would rewrite a disk's layout under the cache.
#pragma once
#include "kernel.h"

// Attaches a boot-start master's cache; true when it is active afterwards.
bool AttachCacheAtBoot(PDEVICE_OBJECT master);
// Stops the master's worker, flushes and saves its cache.
NTSTATUS ShutdownCache(PDEVICE_OBJECT master);
// False for the SSD of a master that uses it in write-back mode.
bool MayRemoveSsd(PDEVICE_OBJECT ssd);
// Shuts down the cache of the master that uses this SSD.
void RemoveSsdFromMaster(PDEVICE_OBJECT ssd);
NTSTATUS MasterDeviceControl(PDEVICE_OBJECT master, PIRP irp);
NTSTATUS SsdDeviceControl(PDEVICE_OBJECT ssd, PIRP irp);
// Destages every dirty run of the master's cache.
void FlushMaster(PDEVICE_OBJECT master);
