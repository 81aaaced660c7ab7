// The life of a master's cache: boot attach, drain, shutdown and SSD removal.
// The device-control requests that would rewrite a disk's layout under the
// cache are in layoutrequests.h.
#pragma once

#include "kernel.h"
#include "cachemap.h"

// At a boot START of the master or its SSD (PnP thread): attaches the master's
// cache; true when it is active afterwards. An attached cache stays as it is.
bool AttachCacheAtBoot(PDEVICE_OBJECT master);
// START and STOP of the control interface (the client's thread, passive
// level). StartCache builds a fresh layout with the block shift in
// CacheState.StartBlockShift, or only withdraws a pending stop; StopCache
// leaves the stop itself to the worker's drain.
NTSTATUS StartCache(PDEVICE_OBJECT master);
NTSTATUS StopCache(PDEVICE_OBJECT master);
// At shutdown or removal (that request's thread): stops the master's worker,
// then flushes and saves its cache. The flush's error is returned, and the
// map is saved all the same, so that with persistence on the next boot
// reuses it and writes its dirty data back.
NTSTATUS ShutdownCache(PDEVICE_OBJECT master);
// At system shutdown, after the file systems' last writes (the last-chance
// request's thread): the same flush and save, on the master's worker behind
// the requests queued before it, but the worker keeps running: a write that
// still comes voids the saved map there, at PASSIVE_LEVEL.
NTSTATUS SaveCacheAtShutdown(PDEVICE_OBJECT master);
// The master whose map uses this SSD (the SSD names it and its map is on
// this device), or null.
PDEVICE_OBJECT FindMasterOfSsd(PDEVICE_OBJECT ssd);
// QUERY_REMOVE of an SSD (PnP thread): false while a master uses it in
// write-back mode.
bool MayRemoveSsd(PDEVICE_OBJECT ssd);
// REMOVE of an SSD (PnP thread): shuts down the cache of the master that
// uses it with persistence off, and leaves the master detached (map freed,
// dirty sectors that could not be written back counted in
// CacheState.DirtySectorsLost) whatever the flush and the save returned.
void RemoveSsdFromMaster(PDEVICE_OBJECT ssd);
// The same for a master already found (the removal's fallback when the device
// list cannot be had): flush, save without persistence, map freed, worker
// running again unless the master itself is being removed.
void DetachMasterFromSsd(PDEVICE_OBJECT master);

// On the master's worker while a stop of its cache is pending: one step of the
// drain. *pieceStatus gets the status of the destage piece it attempted
// (STATUS_SUCCESS when none failed).
bool DrainStep(PDEVICE_OBJECT master, NTSTATUS* pieceStatus);

// Valid sectors of the map that the master does not hold yet (0 without a
// clean bitmap). The map's thread.
ULONGLONG CountDirtySectors(const CacheMap* map);

// Before a write to the master passes by its cache (not active, or without
// an SSD): makes sure that no map of the master saved on its SSD is reused
// over it, by clearing the header's stamp on the SSD or, when the SSD cannot
// be reached, the TimeStamp in memory and in the registry. Once per saved
// map; IRQL <= APC_LEVEL (the registry only at PASSIVE_LEVEL).
void VoidSavedMapBeforeWrite(PDEVICE_OBJECT master);
