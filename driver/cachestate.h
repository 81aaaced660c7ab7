// State flags of a master's cache (the CacheState record in tolvarn.h), the
// states they define, the rules that join them to the driver's phase, and
// the range check applied to every request of an active cache.
#pragma once

#include "kernel.h"
#include "cachemap.h"

struct CacheState;
struct DiskRequest;

enum CacheStateKind {
    CacheInactive,  // Active 0
    CacheAttached,  // Active 1, no stop pending, the map has an SSD
    CacheDetached,  // Active 1, no stop pending, no SSD: requests pass through
    CacheDraining,  // Active 1, stop pending (with or without an SSD)
};

// When the filter device is created: inactive, no map.
void InitCacheState(CacheState* state);
// Any thread; reads the flags without a lock.
CacheStateKind CacheStateOf(const CacheState* state);

// The thread that plans the request (the worker, or the caller's without
// one). For a master whose cache is active: STATUS_INVALID_PARAMETER for 0 sectors
// or for a caller's request whose byte offset or length is not a whole number
// of sectors, STATUS_NONEXISTENT_SECTOR for a range that ends past the disk.
NTSTATUS CheckRequestRange(const DiskRequest* request);

// On the worker's thread, for a master whose cache is not active: nothing to do.
bool IdleWorkInactive(PDEVICE_OBJECT master);

// Caching of new blocks is allowed for an active master with no stop pending
// that is not being removed, while the system is neither hibernating nor
// shutting down. Any thread; reads the flags without a lock.
bool IsCachingAllowed(ULONG active, ULONG stopRequested, ULONG removing);

// Write-back only in the running phase and only for slots taken or hit after
// the control device was first opened; every other write goes through to the
// master. Under the map's rules (cachemap.h).
bool IsWriteThrough(const CacheMap* map, SsdSlot slot);

// DuringBoot until the control device is first opened: the boot time the map's
// lookups and allocations are given.
BootTime CurrentBootTime();
