// State flags of a master's cache and its map, the states they define, and
// the range check applied to every request of an active cache.
#pragma once

#include "kernel.h"
#include "cachemap.h"
#include "requests.h"

struct CacheState {
    ULONG Active;             // the master's requests go through the cache
    ULONG StopRequested;      // a stop is pending; the worker drains the map
    ULONG IdleWriteBack;      // destage dirty data when the disk is idle
    ULONG DestageIdle;        // 1 while no destage piece runs
    ULONG WrittenDetached;    // the master was written while its map had no SSD
    ULONG MetadataValid;      // the map saved on the SSD may be reused
    ULONG Persist;            // save the map with a stamp at shutdown
    CacheMap Map;
};

enum CacheStateKind {
    CacheInactive,            // Active 0
    CacheAttached,            // Active 1, no stop pending, the map has an SSD
    CacheDetached,            // Active 1, no stop pending, no SSD: requests pass through
    CacheDraining,            // Active 1, stop pending (with or without an SSD)
};

void InitCacheState(CacheState* state);
CacheStateKind CacheStateOf(const CacheState* state);

// For a master whose cache is active: STATUS_INVALID_PARAMETER for 0 sectors
// or for a caller's request whose byte offset or length is not a whole number
// of sectors, STATUS_NONEXISTENT_SECTOR for a range that ends past the disk.
NTSTATUS CheckRequestRange(const DiskRequest* request);

// The worker's hook for a master whose cache is not active: nothing to do.
bool IdleWorkInactive(PDEVICE_OBJECT master);
