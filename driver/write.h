// The write path of a filter device.
#pragma once

#include "kernel.h"

struct DiskRequest;
struct WritePlan;

// A write entering the cache: run by the worker for a queued request, or on
// the caller's thread when the disk has no worker (PASSIVE_LEVEL either way).
// Marks the request pending and counts it; a master's write goes through its
// cache, any other disk's passes down whole. The result is not used by its
// callers.
NTSTATUS HandleWrite(PDEVICE_OBJECT device, PIRP irp);

// A write of a master, already marked pending: passed down while the cache is
// not active, otherwise checked, planned and sent. The caller's request is
// completed, passed down, or left to the completions of the own writes, which
// complete it once every own write of it has finished.
NTSTATUS WriteCached(const DiskRequest* request);

// The plan of a master's write with the effective write mode, caching
// permission and boot time sampled once; the bits change here.
NTSTATUS PlanWrite(const DiskRequest* request, WritePlan* plan);

// Sends the plan's writes (and frees its extents). A plan that cannot be sent
// gives back its SSD extents' valid bits and passes the request down.
NTSTATUS ExecuteWrite(const DiskRequest* request, WritePlan* plan);

// Clears the valid bits of [start, start + sectors) when target is the
// master's SSD and start lies in its data area (on into the next slots),
// sparing the slots given to another block since the table's plannedAt
// assignments; any other target changes nothing. The map's thread only.
void InvalidateExtent(PDEVICE_OBJECT master, PDEVICE_OBJECT target, ULONGLONG start, ULONG sectors,
                      ULONG plannedAt);

// Notes that the master was written while its cache had no SSD (or had not
// attached yet) though it is set to attach one at boot: a saved map must
// then not be reused.
void MarkDetachedWrite(PDEVICE_OBJECT master);

// Applies the invalidations of failed writes that the worker could not take
// (no worker, or no memory for a post). The map's thread, before a plan, a
// flush or a save, and before the map is freed.
void ApplyPendingInvalidations(PDEVICE_OBJECT master);
