// Planning of a master's read: block pieces, the per-piece decision table,
// the master ranges and the merged extents.
#include "tolvarn.h"
#include "bitmaps.h"
#include "pool.h"
#include "readplan.h"

// ---- Block pieces and extents --------------------------------------------------

void StartBlockSplit(BlockSplit* split, const CacheMap* map, ULONGLONG firstSector, ULONG sectors,
                     ULONG byteOffset, ULONG sectorShift)
{
    split->Map = map;
    split->Next = firstSector;
    split->Remaining = sectors;
    split->ByteOffset = byteOffset;
    split->SectorShift = sectorShift;
}

bool NextBlockPiece(BlockSplit* split, BlockPiece* piece)
{
    if (split->Remaining == 0 || !BlockOfSector(split->Map, split->Next, &piece->Block))
        return false;
    ULONGLONG blockSectors = 1ull << split->Map->BlockShiftSectors;
    ULONGLONG within = split->Next & (blockSectors - 1);
    ULONGLONG room = blockSectors - within;
    ULONG sectors = room < split->Remaining ? (ULONG)room : split->Remaining;
    piece->FirstSector = within;
    piece->Sectors = sectors;
    piece->ByteOffset = split->ByteOffset;
    split->Next += sectors;
    split->Remaining -= sectors;
    split->ByteOffset += sectors << split->SectorShift;
    return true;
}

void AppendExtent(IoExtent* extents, ULONG* count, PDEVICE_OBJECT target, ULONGLONG firstSector,
                  ULONG sectors, ULONG byteOffset, ULONG sectorShift)
{
    if (*count > 0) {
        IoExtent* last = &extents[*count - 1];
        if (last->Target == target && last->ByteOffset + last->Bytes == byteOffset &&
            last->FirstSector + last->Sectors == firstSector) {
            last->Sectors += sectors;
            last->Bytes = last->Sectors << sectorShift;
            return;
        }
    }
    IoExtent* extent = &extents[(*count)++];
    extent->Target = target;
    extent->FirstSector = firstSector;
    extent->Sectors = sectors;
    extent->ByteOffset = byteOffset;
    extent->Bytes = sectors << sectorShift;
}

// ---- Growing arrays ---------------------------------------------------------------

bool GrowPoolArray(void** array, LONG* capacity, LONG count, ULONG elementSize, LONG growth)
{
    if (count < *capacity)
        return true;
    LONG wanted = *capacity + growth;
    void* grown = AllocatePool((SIZE_T)wanted * elementSize);
    if (!grown)
        return false;
    if (*array) {
        RtlCopyMemory(grown, *array, (SIZE_T)count * elementSize);
        FreePool(*array);
    }
    *array = grown;
    *capacity = wanted;
    return true;
}

void InitReadPieceVector(ReadPieceVector* vector)
{
    vector->Capacity = 0;
    vector->Count = 0;
    vector->Pieces = NULL;
}

void FreeReadPieceVector(ReadPieceVector* vector)
{
    if (vector->Pieces)
        FreePool(vector->Pieces);
    InitReadPieceVector(vector);
}

static bool AppendReadPiece(ReadPieceVector* vector, CacheMap* map, SsdSlot slot, ULONGLONG firstSector,
                            ULONG sectors, ULONG byteOffset, ULONG clean)
{
    if (!GrowPoolArray((void**)&vector->Pieces, &vector->Capacity, vector->Count, sizeof(ReadPiece),
                       ReadPieceGrowth))
        return false;
    ReadPiece* piece = &vector->Pieces[vector->Count++];
    piece->Map = map;
    piece->Slot = slot;
    piece->FirstSector = firstSector;
    piece->Sectors = sectors;
    piece->ByteOffset = byteOffset;
    piece->Clean = clean;
    return true;
}

bool InitHddRangeList(HddRangeList* list, const DiskRequest* request)
{
    list->Capacity = 0;
    list->Count = 0;
    list->Request = *request;
    list->Ranges = NULL;
    if (!GrowPoolArray((void**)&list->Ranges, &list->Capacity, 0, sizeof(HddRange), HddRangeInitial))
        return false;
    list->Ranges[0].ByteOffset = 0;
    list->Ranges[0].Sectors = request->SectorCount;
    list->Count = 1;
    return true;
}

void FreeHddRangeList(HddRangeList* list)
{
    if (list->Ranges)
        FreePool(list->Ranges);
    list->Ranges = NULL;
    list->Capacity = 0;
    list->Count = 0;
}

bool AppendHddRange(HddRangeList* list, ULONG byteOffset, ULONG sectors, ULONG sectorShift)
{
    if (list->Count > 0) {
        HddRange* last = &list->Ranges[list->Count - 1];
        if (last->ByteOffset + (last->Sectors << sectorShift) == byteOffset) {
            last->Sectors += sectors;
            return true;
        }
    }
    if (!GrowPoolArray((void**)&list->Ranges, &list->Capacity, list->Count, sizeof(HddRange), HddRangeGrowth))
        return false;
    list->Ranges[list->Count].ByteOffset = byteOffset;
    list->Ranges[list->Count].Sectors = sectors;
    list->Count++;
    return true;
}

void FreeReadPlan(ReadPlan* plan)
{
    if (plan->Extents)
        FreePool(plan->Extents);
    plan->Extents = NULL;
    plan->Count = 0;
    plan->NoDirty = 1;
}

// ---- One piece ----------------------------------------------------------------

// The source of one run of set valid bits, by the map's mode and caching
// permission: from the slot (and whether it is clean) or from the master.
static bool ValidRunFromSlot(const CacheMap* map, ULONGLONG firstBit, ULONG sectors, bool allowed,
                             ULONG* clean)
{
    *clean = 1;
    if (map->Mode != CacheModeWriteBack)
        return allowed;
    ULONGLONG cleanPrefix = map->CleanBitmap ? CountOneRun(map->CleanBitmap, firstBit, sectors) : 0;
    bool dirty = cleanPrefix < sectors;
    if (!allowed && !dirty)
        return false;
    *clean = dirty ? 0 : 1;
    return true;
}

// The piece split into runs of the slot's valid bits.
static bool AppendSlotRuns(ReadPieceVector* vector, CacheMap* map, SsdSlot slot, const BlockPiece* piece,
                           bool allowed)
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
        ULONG clean = 1;
        bool fromSlot = valid && ValidRunFromSlot(map, slotBit + position, run, allowed, &clean);
        if (!AppendReadPiece(vector, map, fromSlot ? slot : NoSlot, position, run, byteOffset, clean))
            return false;
        position += run;
    }
    return true;
}

bool PlanReadPiece(ReadPieceVector* vector, CacheMap* map, const BlockPiece* piece, const ReadPolicy* policy)
{
    bool allowed = policy->Allowed;
    SsdSlot slot = LookupSlot(map, piece->Block, policy->Boot);
    bool ok;
    if (slot != NoSlot && map->ValidBitmap && (allowed || map->Mode == CacheModeWriteBack)) {
        ok = AppendSlotRuns(vector, map, slot, piece, allowed);
    } else {
        if (slot == NoSlot && allowed)
            AllocateSlot(map, piece->Block, policy->Boot);
        ok = AppendReadPiece(vector, map, NoSlot, piece->FirstSector, piece->Sectors, piece->ByteOffset, 1);
    }
    AddHeat(map, piece->Block, piece->Sectors);
    return ok;
}

// ---- The whole read -----------------------------------------------------------

// Cuts the request into pieces, plans each, and rebuilds the range list from
// the pieces the master serves.
static bool PlanPieces(CacheMap* map, const DiskRequest* request, ULONG sectorShift, const ReadPolicy* policy,
                       ReadPieceVector* pieces, HddRangeList* ranges)
{
    BlockSplit split;
    StartBlockSplit(&split, map, request->StartSector, request->SectorCount, 0, sectorShift);
    BlockPiece piece;
    while (NextBlockPiece(&split, &piece)) {
        LONG planned = pieces->Count;
        bool ok = PlanReadPiece(pieces, map, &piece, policy);
        for (LONG i = planned; i < pieces->Count; i++)
            HoldPlannedSlot(map, pieces->Pieces[i].Slot);
        if (!ok)
            return false;
    }
    if (split.Remaining != 0)
        return false;  // beyond the map's blocks: the range check lets no such read through
    ranges->Count = 0;
    for (LONG i = 0; i < pieces->Count; i++) {
        const ReadPiece* p = &pieces->Pieces[i];
        if (p->Slot == NoSlot && !AppendHddRange(ranges, p->ByteOffset, p->Sectors, sectorShift))
            return false;
    }
    return true;
}

NTSTATUS PlanReadOnMap(CacheMap* map, const DiskRequest* request, ULONG sectorShift, const ReadPolicy* policy,
                       ReadPlan* plan)
{
    bool allowed = policy->Allowed;
    plan->Count = 0;
    plan->NoDirty = 1;
    plan->Extents = NULL;
    HddRangeList ranges;
    if (!InitHddRangeList(&ranges, request))
        return STATUS_INSUFFICIENT_RESOURCES;
    ReadPieceVector pieces;
    InitReadPieceVector(&pieces);
    bool planned = !map->SsdDevice || PlanPieces(map, request, sectorShift, policy, &pieces, &ranges);
    for (LONG i = 0; i < pieces.Count; i++)
        ReleasePlannedSlot(map, pieces.Pieces[i].Slot);
    if (!planned) {
        FreeReadPieceVector(&pieces);
        FreeHddRangeList(&ranges);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG fromSsd = 0;
    for (LONG i = 0; i < pieces.Count; i++)
        fromSsd += pieces.Pieces[i].Slot != NoSlot;
    if ((fromSsd == 0 && !allowed) ||
        !(plan->Extents = (IoExtent*)AllocatePool(((SIZE_T)fromSsd + ranges.Count) * sizeof(IoExtent)))) {
        FreeReadPieceVector(&pieces);
        FreeHddRangeList(&ranges);
        return fromSsd == 0 && !allowed ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    for (LONG i = 0; i < pieces.Count; i++) {
        const ReadPiece* p = &pieces.Pieces[i];
        if (p->Slot == NoSlot)
            continue;
        if (!p->Clean)
            plan->NoDirty = 0;
        AppendExtent(plan->Extents, &plan->Count, map->SsdDevice,
                     SlotFirstSsdSector(map, p->Slot) + p->FirstSector, p->Sectors, p->ByteOffset,
                     sectorShift);
    }
    FreeReadPieceVector(&pieces);
    for (LONG i = 0; i < ranges.Count; i++) {
        const HddRange* r = &ranges.Ranges[i];
        if (r->Sectors == 0)
            continue;
        AppendExtent(plan->Extents, &plan->Count, request->Device,
                     request->StartSector + (r->ByteOffset >> sectorShift), r->Sectors, r->ByteOffset,
                     sectorShift);
    }
    FreeHddRangeList(&ranges);
    if (plan->Count == 0)
        FreeReadPlan(plan);
    return STATUS_SUCCESS;
}

bool RangeHoldsDirtyData(const CacheMap* map, ULONGLONG firstSector, ULONG sectors)
{
    if (!map->SsdDevice || !map->CleanBitmap || !map->ValidBitmap)
        return false;
    BlockSplit split;
    StartBlockSplit(&split, map, firstSector, sectors, 0, 0);
    BlockPiece piece;
    while (NextBlockPiece(&split, &piece)) {
        SsdSlot slot = GetBlockSlot(&map->Blocks, piece.Block);
        if (slot == NoSlot)
            continue;
        ULONGLONG bit = ((ULONGLONG)FromSsdSlot(slot) << map->BlockShiftSectors) + piece.FirstSector;
        for (ULONG i = 0; i < piece.Sectors;) {
            ULONG valid = (ULONG)CountOneRun(map->ValidBitmap, bit + i, piece.Sectors - i);
            if (valid && CountOneRun(map->CleanBitmap, bit + i, valid) < valid)
                return true;
            i += valid;
            if (i < piece.Sectors)
                i += (ULONG)CountZeroRun(map->ValidBitmap, bit + i, piece.Sectors - i);
        }
    }
    return false;
}
