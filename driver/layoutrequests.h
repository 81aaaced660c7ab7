// Device-control requests that rewrite a disk's partition layout. The class
// driver below this filter writes the new tables to the disk itself, past the
// cache, so before such a request goes down to a master, the cached copies of
// every sector it may write lose their valid bits: the first and last sectors
// of the disk (MBR, both GPT copies) and the extended boot records of the
// layout on the disk and of the one the request carries.
#pragma once

#include "kernel.h"

// The six control codes that may rewrite a disk's partition tables.
bool IsLayoutRequest(ULONG code);

// Device-control requests of a master (caller's thread): a layout request to
// an active cache is queued to the master's worker, which drops the sectors,
// passes it down, and drops them again once the disk has answered it (on the
// caller's thread when there is no worker, where nothing is queued behind
// it: dropped once); every other request passes down.
NTSTATUS MasterDeviceControl(PDEVICE_OBJECT master, PIRP irp);
// Device-control requests of an SSD (caller's thread): layout requests are
// refused with STATUS_NOT_IMPLEMENTED, whatever the state of its cache area;
// every other request passes down.
NTSTATUS SsdDeviceControl(PDEVICE_OBJECT ssd, PIRP irp);

// The master's worker (or the caller's thread without one), PASSIVE_LEVEL,
// before a queued device-control request passes down and after the disk has
// answered it: for a layout request
// to an active cache with an SSD, the sectors it may write lose their valid
// bits; dirty data of a write-back cache in those sectors reaches the master
// first. Anything else is left alone. Bad input records and unreadable or
// looping partition tables only narrow what is found; they never fail the
// request.
void InvalidateLayoutSector(PDEVICE_OBJECT master, PIRP irp);
