// Planning of a master's read: the request is cut into block pieces, each
// piece is looked up in the cache map, and the plan lists the transfers
// (IoExtents) that serve it: valid sectors from the SSD, the rest from the
// master. Plain computation on the map; it runs on the master's worker (or on
// the caller's thread for a master without a worker), which owns the map.
#pragma once

#include "kernel.h"
#include "tolvarn.h"

// One block's share of a sector range.
struct BlockPiece {
    MasterBlock Block;
    ULONGLONG FirstSector;  // within the block
    ULONG Sectors;
    ULONG ByteOffset;  // in the caller's (or the fill's) buffer
};

// The block pieces of a range, one after another: the first piece starts
// where the range does and ends at its block's end or the range's end; every
// later one starts at sector 0 of its block. Byte offsets accumulate.
struct BlockSplit {
    const CacheMap* Map;  // gives the block size and the blocks there are
    ULONGLONG Next;       // master sector of the next piece
    ULONG Remaining;
    ULONG ByteOffset;
    ULONG SectorShift;
};

void StartBlockSplit(BlockSplit* split, const CacheMap* map, ULONGLONG firstSector, ULONG sectors,
                     ULONG byteOffset, ULONG sectorShift);
// False when the range is used up, or when it runs on past the map's last
// block (Remaining then tells what is left).
bool NextBlockPiece(BlockSplit* split, BlockPiece* piece);

// One transfer of a plan (read path, fill, write path).
struct IoExtent {
    PDEVICE_OBJECT Target;  // the master's or the SSD's filter device
    ULONGLONG FirstSector;  // on the target
    ULONG Sectors;
    ULONG ByteOffset;  // in the caller's (or the fill's) buffer
    ULONG Bytes;       // Sectors << sector shift
};

// Appends an extent to extents[*count], or merges it into the last one when
// it has the same target and continues it both on the target and in the
// buffer. The array must have room for one more.
void AppendExtent(IoExtent* extents, ULONG* count, PDEVICE_OBJECT target, ULONGLONG firstSector,
                  ULONG sectors, ULONG byteOffset, ULONG sectorShift);

// One run of a piece with one source.
struct ReadPiece {
    CacheMap* Map;
    SsdSlot Slot;           // NoSlot: read from the master
    ULONGLONG FirstSector;  // within the block
    ULONG Sectors;
    ULONG ByteOffset;
    ULONG Clean;  // 0 only for a slot run holding a dirty sector
};

// Makes room for one more element in a pool array: a full one is replaced by
// one of capacity + growth elements holding the old ones. False when short.
bool GrowPoolArray(void** array, LONG* capacity, LONG count, ULONG elementSize, LONG growth);

struct ReadPieceVector {
    LONG Capacity;
    LONG Count;
    ReadPiece* Pieces;
};

const LONG ReadPieceGrowth = 8;

void InitReadPieceVector(ReadPieceVector* vector);
void FreeReadPieceVector(ReadPieceVector* vector);

// The parts of the request the master serves, in buffer order.
struct HddRange {
    ULONG ByteOffset;
    ULONG Sectors;
};

struct HddRangeList {
    LONG Capacity;
    LONG Count;
    DiskRequest Request;
    HddRange* Ranges;
};

const LONG HddRangeInitial = 4;
const LONG HddRangeGrowth = 4;

// A list holding the whole request as one range; false when memory is short.
bool InitHddRangeList(HddRangeList* list, const DiskRequest* request);
void FreeHddRangeList(HddRangeList* list);
// Appends a range, or grows the last one when the new one begins in the
// buffer where it ends; false when the list cannot grow.
bool AppendHddRange(HddRangeList* list, ULONG byteOffset, ULONG sectors, ULONG sectorShift);

// SSD extents first (piece order), then the master's (range order). An empty
// plan (Count 0, no array) means: pass the request down. NoDirty is 1 when no
// SSD extent holds dirty data; only then may the request be passed down when
// the driver's own requests cannot be built.
struct ReadPlan {
    ULONG Count;
    ULONG NoDirty;
    IoExtent* Extents;
};

void FreeReadPlan(ReadPlan* plan);

// What a read is planned with: caching allowed or not (sampled once per
// read) and the boot time the map's lookups are given.
struct ReadPolicy {
    bool Allowed;
    BootTime Boot;
};

// Appends the runs of one piece by the read decision table, allocating a slot
// for a missed block when caching is allowed and adding the piece's sectors to
// the block's heat in every case. False only when the vector cannot grow.
bool PlanReadPiece(ReadPieceVector* vector, CacheMap* map, const BlockPiece* piece, const ReadPolicy* policy);

// The plan of a read of request->SectorCount sectors from request->StartSector
// on the master request->Device, whose map and sector shift are given.
// STATUS_SUCCESS or STATUS_INSUFFICIENT_RESOURCES (nothing allocated then).
// Runs under the map's rules (cachemap.h).
NTSTATUS PlanReadOnMap(CacheMap* map, const DiskRequest* request, ULONG sectorShift, const ReadPolicy* policy,
                       ReadPlan* plan);

// True when a sector of the master range is dirty on the SSD (valid, not
// clean): only the SSD holds its data. Looks, changes nothing, allocates nothing.
bool RangeHoldsDirtyData(const CacheMap* map, ULONGLONG firstSector, ULONG sectors);
