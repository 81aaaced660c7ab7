// The control device "\Device\<service>" with its link "\DosDevices\<service>",
// through which the product's application configures the driver.
#pragma once

#include "kernel.h"

// At load (DriverEntry, PASSIVE_LEVEL): creates the device and its link; on
// a failure nothing is left and the status is returned.
NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver);
// At unload (PASSIVE_LEVEL): removes the link, then deletes the device with
// its names. Both do nothing when there is nothing to remove.
void UnlinkControlDevice();
void DeleteControlDevice();

// The control device's requests, on the application's thread at PASSIVE_LEVEL;
// each completes the request.
NTSTATUS ControlCreate(PIRP irp);
NTSTATUS ControlClose(PIRP irp);
NTSTATUS DispatchControlIoctl(PIRP irp);

// Held by each request after the version query and by a filter device's
// removal (PASSIVE_LEVEL): a request uses the disks its lookups found until
// it ends, so a disk goes only between requests.
void AcquireControlLock();
void ReleaseControlLock();
