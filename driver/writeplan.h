// Planning of a master's write: the request is cut into block pieces, the
// write mode decides for each piece whether it goes to its slot on the SSD,
// to the master, or to both, and the plan lists the transfers (IoExtents).
// The valid and clean bits of the SSD sectors written change here, at plan
// time, before any write is sent. Plain computation on the map; it runs on
// the master's worker (or on the caller's thread for a master without a
// worker), which owns the map.
#pragma once

#include "tolvarn.h"
#include "cachemap.h"
#include "readplan.h"

// Write modes: 0 only drops cached copies of what is written, 1 updates
// valid cached sectors, 2 updates cached blocks whole, 3 also caches missed
// blocks.
enum : UCHAR { WriteModeNone = 0, WriteModeValidOnly = 1, WriteModeCached = 2, WriteModeAllocate = 3 };

// One run of a write with one destination.
struct WritePiece {
    CacheMap* Map;
    ULONGLONG FirstSector;  // within the block
    ULONG Sectors;
    ULONG ByteOffset;    // in the caller's buffer
    SsdSlot Slot;        // NoSlot: to the master only
    ULONG WriteThrough;  // 1: the master receives the run (always for NoSlot)
};

struct WritePieceVector {
    LONG Capacity;
    LONG Count;
    WritePiece* Pieces;
};

const LONG WritePieceGrowth = 8;

void InitWritePieceVector(WritePieceVector* vector);
void FreeWritePieceVector(WritePieceVector* vector);

// Master extents first (only when WholeRequest is 0), then the SSD extents.
// WholeRequest 1: the master receives the caller's whole request in one
// write. An empty plan (Count 0, WholeRequest 1, no array) means: pass the
// request down.
// On a map with an SSD, the master ranges no slot receives (Uncached, master
// sectors) follow the Count extents in the same array, with the map's
// FillsPlanned when the plan was made: a read planned after may fill the
// master's old data of them while the write is on its way.
struct WritePlan {
    ULONG Count;
    ULONG WholeRequest;
    IoExtent* Extents;
    ULONG UncachedCount;
    LONG FillsAtPlan;
};

void FreeWritePlan(WritePlan* plan);

// The mode the map's write mode acts as: 0 while the system hibernates or a
// stop of the cache is pending, and for any value other than 1 to 3.
UCHAR EffectiveWriteMode(const CacheMap* map, ULONG hibernating, ULONG stopRequested);

// Appends the runs of one piece by the write-mode table. A slot is allocated
// for a missed block only in mode 3 and only while caching is allowed; the
// piece's sectors are added to the block's heat in every mode. Mode 0 clears
// the valid bits of a hit at once. False only when the vector cannot grow.
bool PlanWritePiece(WritePieceVector* vector, CacheMap* map, UCHAR writeMode, const BlockPiece* piece,
                    bool allowed, BootTime boot);

// The plan of a write of request->SectorCount sectors from request->StartSector
// on the master request->Device, whose map and sector shift are given, with
// the effective write mode, caching permission and boot time sampled once by
// the caller. On success the SSD sectors the plan writes are valid, and in
// write-back mode clean when the master also receives them and dirty when
// not. STATUS_INSUFFICIENT_RESOURCES when memory is short: no bit has been
// set then (slots taken and mode-0 clears stay).
NTSTATUS PlanWriteOnMap(CacheMap* map, const DiskRequest* request, ULONG sectorShift, UCHAR writeMode,
                        bool allowed, BootTime boot, WritePlan* plan);
