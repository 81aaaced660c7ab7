// Destage: copying dirty data of a write-back cache from the SSD to the master.
#pragma once

#include "kernel.h"
#include "cachemap.h"

// One piece of a dirty run: at most MaxDestageBytes, inside one slot.
struct DestageRequest {
    PDEVICE_OBJECT Master;
    CacheMap* Map;
    ULONGLONG FirstSsdSector;
    ULONG Sectors;
};

const ULONG MaxDestageBytes = 1u << 20;

// PASSIVE_LEVEL, under the map's rules (cachemap.h): reads the run from the
// SSD, writes it to the master and sets its clean bits only once the master
// holds it. A piece that finds the master's DestageIdle flag back at 1 (another
// piece ended meanwhile) stops with success and leaves its run dirty.
NTSTATUS DestageRun(const DestageRequest* request);

// Destages every dirty run of the master's cache in pieces, on the calling
// thread under the map's rules; the first failing piece ends it with its
// status, the remaining runs stay dirty. Success at once for a cache without
// dirty data (no SSD, or a mode without a clean bitmap).
NTSTATUS FlushAllDirty(PDEVICE_OBJECT master);

// On the master's worker, when it has been idle: destages one piece of the
// next dirty run. True when it found a dirty run and attempted a piece, whose
// status goes to *pieceStatus (STATUS_SUCCESS when none failed), so that the
// worker can hold back the next attempt after a failure.
bool IdleDestage(PDEVICE_OBJECT master, NTSTATUS* pieceStatus);
// PASSIVE_LEVEL (the hibernation's power thread): destages every dirty run of
// the master's cache on its worker, waiting for it; on the calling thread
// when the master has no running worker.
void FlushMaster(PDEVICE_OBJECT master);

// A flush request to a filter device (PASSIVE_LEVEL; the master's worker
// while it runs): it promises that every write completed before it is on the
// medium, and a write-back cache's dirty data is only on the SSD, in a map
// that no power cut keeps. So a master's dirty runs are destaged first, and
// the request then goes down to the master (a failed destage fails it).
NTSTATUS HandleFlushBuffers(PDEVICE_OBJECT device, PIRP irp);
// Whether the flush request must wait for a destage (the master holds dirty
// data), so that the dispatch routine queues it to the worker.
bool FlushNeedsDestage(PDEVICE_OBJECT device);

// Bytes of valid data the master's cache holds; 0 without an SSD. Any thread;
// a snapshot read without the map's rule.
ULONGLONG CachedBytes(PDEVICE_OBJECT master);
