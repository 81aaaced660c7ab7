// Filter devices: one on every disk's stack, created by AddDevice; their PnP
// requests; the walks over all of them; and the boot-time pairing of masters
// with their SSDs, which may start other disks' stacks early (the late start).
#pragma once

#include "kernel.h"

DRIVER_ADD_DEVICE AddDevice;

// PnP requests of a filter device, on the PnP manager's thread at
// PASSIVE_LEVEL. Removal shuts a master's cache down (or releases the
// master of a removed SSD) and stops the device's worker before it deletes
// the device.
NTSTATUS OnStartDevice(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS OnQueryRemoveDevice(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS OnRemoveDevice(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS OnStopDevice(PDEVICE_OBJECT device, PIRP irp);

// Lookups over the driver's filter devices; null when none matches or the
// device list cannot be had. The result is used without a reference held.
// Any thread at IRQL <= DISPATCH_LEVEL.
PDEVICE_OBJECT FindDeviceByDiskId(ULONGLONG diskId);
PDEVICE_OBJECT FindDeviceByNumber(ULONG deviceNumber);

// On the first shutdown request's thread (a disk's own, before the file
// systems' last writes, or the last-chance one): marks every disk removing,
// so that no cache takes new blocks, then writes every master's dirty data
// back while its worker runs; the maps stay, true to every later write.
void BeginShutdownOfAllMasters();
// On the last-chance shutdown request's thread, after the file systems'
// last writes: flushes and saves every master's cache (each on its worker,
// behind the requests queued before it; the worker keeps running, so that a
// later write voids the saved map at PASSIVE_LEVEL).
void ShutdownAllMasters();
// On an S4 request's thread: flushes every master while its worker runs.
void FlushAllMasters();
// True when every filter device was last set to S0; false also when the
// device list cannot be had. Called from a completion routine (IRQL <=
// DISPATCH_LEVEL).
bool AllDevicesAtS0();
// During a master's boot START (PnP thread): starts every disk stack that has
// not been started yet.
void LateStartDevices();
