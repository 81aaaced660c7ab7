// Planning of a master's write: the write-mode table per block piece, the
// master ranges, the merged extents and the bit updates.
#include "tolvarn.h"
#include "bitmaps.h"
#include "cachestate.h"
#include "pool.h"
#include "writeplan.h"

void InitWritePieceVector(WritePieceVector* vector)
{
    vector->Capacity = 0;
    vector->Count = 0;
    vector->Pieces = NULL;
}

void FreeWritePieceVector(WritePieceVector* vector)
{
    if (vector->Pieces)
        FreePool(vector->Pieces);
    InitWritePieceVector(vector);
}

void FreeWritePlan(WritePlan* plan)
{
    if (plan->Extents)
        FreePool(plan->Extents);
    plan->Extents = NULL;
    plan->Count = 0;
    plan->WholeRequest = 1;
    plan->UncachedCount = 0;
}

static bool AppendWritePiece(WritePieceVector* vector, CacheMap* map, SsdSlot slot, ULONGLONG firstSector,
                             ULONG sectors, ULONG byteOffset)
{
    if (!GrowPoolArray((void**)&vector->Pieces, &vector->Capacity, vector->Count, sizeof(WritePiece),
                       WritePieceGrowth))
        return false;
    WritePiece* piece = &vector->Pieces[vector->Count++];
    piece->Map = map;
    piece->Slot = slot;
    piece->FirstSector = firstSector;
    piece->Sectors = sectors;
    piece->ByteOffset = byteOffset;
    piece->WriteThrough = slot == NoSlot || IsWriteThrough(map, slot) ? 1 : 0;
    return true;
}

UCHAR EffectiveWriteMode(const CacheMap* map, ULONG hibernating, ULONG stopRequested)
{
    UCHAR mode = map->WriteMode;
    if (hibernating || stopRequested || mode > WriteModeAllocate)
        return WriteModeNone;
    return mode;
}

// ---- One piece ----------------------------------------------------------------

// Mode 1 on a hit: the valid runs of the piece stay cached and are written
// to the slot; the invalid runs go to the master only.
static bool AppendValidRuns(WritePieceVector* vector, CacheMap* map, SsdSlot slot, const BlockPiece* piece)
{
    ULONG sectorShift = map->BlockShiftBytes - map->BlockShiftSectors;
    ULONGLONG slotBit = (ULONGLONG)FromSsdSlot(slot) << map->BlockShiftSectors;
    ULONGLONG position = piece->FirstSector;
    ULONGLONG end = piece->FirstSector + piece->Sectors;
    while (position < end) {
        ULONGLONG left = end - position;
        ULONG run = (ULONG)CountOneRun(map->ValidBitmap, slotBit + position, left);
        bool valid = run > 0;
        if (!valid)
            run = (ULONG)CountZeroRun(map->ValidBitmap, slotBit + position, left);
        ULONG byteOffset = piece->ByteOffset + (ULONG)((position - piece->FirstSector) << sectorShift);
        if (!AppendWritePiece(vector, map, valid ? slot : NoSlot, position, run, byteOffset))
            return false;
        position += run;
    }
    return true;
}

bool PlanWritePiece(WritePieceVector* vector, CacheMap* map, UCHAR writeMode, const BlockPiece* piece,
                    bool allowed, BootTime boot)
{
    SsdSlot slot = LookupSlot(map, piece->Block, boot);
    // The slot's contents change with this write, whatever the mode does with
    // it: a fill planned before it must neither overwrite it nor mark the
    // data it read valid.
    if (slot != NoSlot)
        RaiseSsdRangeGeneration(map, SlotFirstSsdSector(map, slot) + piece->FirstSector, piece->Sectors);
    bool ok = true;
    switch (writeMode) {
    case WriteModeValidOnly:
        if (slot != NoSlot)
            ok = AppendValidRuns(vector, map, slot, piece);
        else
            ok = AppendWritePiece(vector, map, NoSlot, piece->FirstSector, piece->Sectors, piece->ByteOffset);
        break;
    case WriteModeAllocate:
        // Slots are taken only while caching is allowed, as for reads: none
        // in the shutdown phase or at removal, where the map is about to be
        // saved or dropped. The write goes through to the master either way.
        if (slot == NoSlot && allowed)
            slot = AllocateSlot(map, piece->Block, boot);
        // fall through
    case WriteModeCached:
        ok = AppendWritePiece(vector, map, slot, piece->FirstSector, piece->Sectors, piece->ByteOffset);
        break;
    default:
        if (slot != NoSlot)
            ClearValidRun(map, slot, piece->FirstSector, piece->Sectors);
        break;
    }
    AddHeat(map, piece->Block, piece->Sectors);
    return ok;
}

// ---- The whole write ------------------------------------------------------------

// Cuts the request into pieces and plans each. What lies beyond the map's
// last block (the range check lets none through) goes to the master.
static bool PlanPieces(CacheMap* map, const DiskRequest* request, ULONG sectorShift, UCHAR writeMode,
                       bool allowed, BootTime boot, WritePieceVector* pieces)
{
    BlockSplit split;
    StartBlockSplit(&split, map, request->StartSector, request->SectorCount, 0, sectorShift);
    BlockPiece piece;
    while (NextBlockPiece(&split, &piece)) {
        LONG planned = pieces->Count;
        bool ok = PlanWritePiece(pieces, map, writeMode, &piece, allowed, boot);
        for (LONG i = planned; i < pieces->Count; i++)
            HoldPlannedSlot(map, pieces->Pieces[i].Slot);
        if (!ok)
            return false;
    }
    if (split.Remaining == 0)
        return true;
    ULONGLONG within = split.Next & ((1ull << map->BlockShiftSectors) - 1);
    return AppendWritePiece(pieces, map, NoSlot, within, split.Remaining, split.ByteOffset);
}

// The master's share of the write: the whole request while every piece goes
// through (also when there is none), else the write-through pieces in order.
static bool CollectMasterRanges(const WritePieceVector* pieces, ULONG sectorShift, HddRangeList* ranges)
{
    bool allThrough = true;
    for (LONG i = 0; i < pieces->Count; i++)
        allThrough = allThrough && pieces->Pieces[i].WriteThrough;
    if (allThrough)
        return true;
    ranges->Count = 0;
    for (LONG i = 0; i < pieces->Count; i++) {
        const WritePiece* p = &pieces->Pieces[i];
        if (p->WriteThrough && !AppendHddRange(ranges, p->ByteOffset, p->Sectors, sectorShift))
            return false;
    }
    return true;
}

static void AppendMasterExtents(WritePlan* plan, const HddRangeList* ranges, ULONG sectorShift)
{
    const DiskRequest* request = &ranges->Request;
    bool whole = ranges->Count == 1 && ranges->Ranges[0].ByteOffset == 0 &&
                 ranges->Ranges[0].Sectors == request->SectorCount;
    plan->WholeRequest = whole ? 1 : 0;
    if (whole)
        return;
    for (LONG i = 0; i < ranges->Count; i++) {
        const HddRange* r = &ranges->Ranges[i];
        AppendExtent(plan->Extents, &plan->Count, request->Device,
                     request->StartSector + (r->ByteOffset >> sectorShift), r->Sectors, r->ByteOffset,
                     sectorShift);
    }
}

// The SSD extent of every piece with a slot, and its bits: valid, and in
// write-back mode clean when the master receives the piece too, dirty when
// not. The bits change before any write is sent, so a read planned after
// this one never takes the master's older copy of a sector being written.
static void AppendSsdExtents(WritePlan* plan, CacheMap* map, const WritePieceVector* pieces,
                             ULONG sectorShift)
{
    for (LONG i = 0; i < pieces->Count; i++) {
        const WritePiece* p = &pieces->Pieces[i];
        if (p->Slot == NoSlot)
            continue;
        AppendExtent(plan->Extents, &plan->Count, map->SsdDevice,
                     SlotFirstSsdSector(map, p->Slot) + p->FirstSector, p->Sectors, p->ByteOffset,
                     sectorShift);
        if (map->Mode == CacheModeWriteBack) {
            // A write-back map without its clean bitmap has no dirty data to
            // keep apart; the status says only that.
            if (p->WriteThrough)
                SetCleanRun(map, p->Slot, p->FirstSector, p->Sectors);
            else
                ClearCleanRun(map, p->Slot, p->FirstSector, p->Sectors);
        }
        SetValidRun(map, p->Slot, p->FirstSector, p->Sectors);
    }
}

// The master ranges of the pieces without a slot, after the plan's extents;
// the whole request when no piece has one.
static void AppendUncachedExtents(WritePlan* plan, const DiskRequest* request, const WritePieceVector* pieces,
                                  ULONG toSsd, ULONG sectorShift)
{
    IoExtent* uncached = plan->Extents + plan->Count;
    if (toSsd == 0) {
        AppendExtent(uncached, &plan->UncachedCount, request->Device, request->StartSector,
                     request->SectorCount, 0, sectorShift);
        return;
    }
    for (LONG i = 0; i < pieces->Count; i++) {
        const WritePiece* p = &pieces->Pieces[i];
        if (p->Slot == NoSlot)
            AppendExtent(uncached, &plan->UncachedCount, request->Device,
                         request->StartSector + (p->ByteOffset >> sectorShift), p->Sectors, p->ByteOffset,
                         sectorShift);
    }
}

static NTSTATUS BuildWritePlan(CacheMap* map, const DiskRequest* request, ULONG sectorShift,
                               const WritePieceVector* pieces, const HddRangeList* ranges, WritePlan* plan)
{
    ULONG toSsd = 0;
    for (LONG i = 0; i < pieces->Count; i++)
        toSsd += pieces->Pieces[i].Slot != NoSlot;
    ULONG uncached = toSsd == 0 ? 1 : (ULONG)pieces->Count - toSsd;
    if (!map->SsdDevice || !map->ValidBitmap)
        uncached = 0;
    if (toSsd + uncached == 0)
        return STATUS_SUCCESS;
    plan->Extents = (IoExtent*)AllocatePool(((SIZE_T)toSsd + ranges->Count + uncached) * sizeof(IoExtent));
    if (!plan->Extents)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (toSsd != 0) {
        AppendMasterExtents(plan, ranges, sectorShift);
        AppendSsdExtents(plan, map, pieces, sectorShift);
    }
    if (uncached != 0)
        AppendUncachedExtents(plan, request, pieces, toSsd, sectorShift);
    plan->FillsAtPlan = map->FillsPlanned;
    return STATUS_SUCCESS;
}

// A write the caller wants on the medium once it completes (SL_WRITE_THROUGH)
// reaches the master whole: a write-back copy on the SSD would outlive a
// power cut only in a map, and none is saved then.
static bool CallerWantsWriteThrough(const DiskRequest* request)
{
    return request->Irp && (IoGetCurrentIrpStackLocation(request->Irp)->Flags & SL_WRITE_THROUGH);
}

static void SendEveryPieceToTheMaster(WritePieceVector* pieces)
{
    for (LONG i = 0; i < pieces->Count; i++)
        pieces->Pieces[i].WriteThrough = 1;
}

NTSTATUS PlanWriteOnMap(CacheMap* map, const DiskRequest* request, ULONG sectorShift, UCHAR writeMode,
                        bool allowed, BootTime boot, WritePlan* plan)
{
    plan->Count = 0;
    plan->WholeRequest = 1;
    plan->Extents = NULL;
    plan->UncachedCount = 0;
    plan->FillsAtPlan = 0;
    HddRangeList ranges;
    if (!InitHddRangeList(&ranges, request))
        return STATUS_INSUFFICIENT_RESOURCES;
    WritePieceVector pieces;
    InitWritePieceVector(&pieces);
    NTSTATUS status = STATUS_SUCCESS;
    if (map->SsdDevice && map->ValidBitmap) {
        bool planned = PlanPieces(map, request, sectorShift, writeMode, allowed, boot, &pieces);
        if (planned && CallerWantsWriteThrough(request))
            SendEveryPieceToTheMaster(&pieces);
        if (!planned || !CollectMasterRanges(&pieces, sectorShift, &ranges))
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status))
        status = BuildWritePlan(map, request, sectorShift, &pieces, &ranges, plan);
    for (LONG i = 0; i < pieces.Count; i++)
        ReleasePlannedSlot(map, pieces.Pieces[i].Slot);
    FreeWritePieceVector(&pieces);
    FreeHddRangeList(&ranges);
    if (!NT_SUCCESS(status))
        FreeWritePlan(plan);
    return status;
}
