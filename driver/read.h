// The read path of a filter device: a master's reads go through its cache.
#pragma once

#include "kernel.h"
#include "readplan.h"

// A read entering the cache: run by the worker for a queued request, or on
// the caller's thread when the disk has no worker (PASSIVE_LEVEL either way).
// Marks the request pending and counts it; a master's read goes to
// ReadCached, every other disk's passes down whole. The result is not used by
// its callers.
NTSTATUS HandleRead(PDEVICE_OBJECT device, PIRP irp);

// A master's read (same threads; the map's rules of cachemap.h apply):
// passed down while the cache is not active, otherwise checked, planned and
// served. The caller's request is completed, passed down, or left to the
// completions of the own reads, which run on any thread at IRQL <=
// DISPATCH_LEVEL, touch the map only to release their slots (HoldSsdRange)
// and hand data for the cache to the worker (PostFillWork).
NTSTATUS ReadCached(const DiskRequest* request);

// Waits (PASSIVE_LEVEL) until no own read or fill write of the master's cache
// is in flight, so that the map's tables and the device may go: their
// completions release their holds on the map last (HoldSsdRange).
void WaitForOwnCacheIo(CacheMap* map);

// The plan of a master's read, with caching permission sampled once.
NTSTATUS PlanRead(const DiskRequest* request, ReadPlan* plan);

// Sends the plan's reads and frees its extents: none passes the request down,
// one reads straight into the caller's buffer (SSD, through a partial MDL) or
// into a fill buffer (master), more read into buffers of their own. Own reads
// of the master take over the caller's paging and no-cache flags.
NTSTATUS ExecuteRead(const DiskRequest* request, ReadPlan* plan);
