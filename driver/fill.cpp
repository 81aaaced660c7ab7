// The background fill and the bitmap work items.
#include "tolvarn.h"
#include "bitmaps.h"
#include "cachestate.h"
#include "fill.h"
#include "pool.h"
#include "readplan.h"
#include "requests.h"
#include "worker.h"

// ---- Fill buffers ---------------------------------------------------------------

// Blocks of [firstSector, firstSector + sectors) on a map of this block size.
static ULONG BlockSpan(ULONG blockShiftSectors, ULONGLONG firstSector, ULONG sectors)
{
    if (sectors == 0)
        return 0;
    ULONGLONG first = firstSector >> blockShiftSectors;
    ULONGLONG last = (firstSector + sectors - 1) >> blockShiftSectors;
    return (ULONG)(last - first + 1);
}

static SIZE_T TicketsBytes(ULONG count)
{
    return FIELD_OFFSET(FillTickets, Ticket) + (SIZE_T)count * sizeof(FillTicket);
}

PVOID AllocateFillBuffer(CacheMap* map, ULONGLONG firstSector, ULONG sectors, ULONG bytes)
{
    ULONG shift = map->BlockShiftSectors;
    ULONG count = shift ? BlockSpan(shift, firstSector, sectors) : 0;
    PVOID buffer = AllocatePool((SIZE_T)bytes + TicketsBytes(count));
    if (!buffer)
        return NULL;
    FillTickets* tickets = (FillTickets*)((UCHAR*)buffer + bytes);
    MasterBlock first = NoBlock;
    if (count && !BlockOfSector(map, firstSector, &first))
        count = 0;
    tickets->FirstBlock = first;
    tickets->BlockShiftSectors = shift;
    tickets->Count = count;
    bool fills = false;
    for (ULONG i = 0; i < count; i++) {
        SsdSlot slot = NoSlot;
        // No fill while a write the cache does not watch may be replacing
        // what the read takes from the master.
        if (map->SsdDevice && map->UnwatchedWrites == 0)
            slot = GetBlockSlot(&map->Blocks, ToMasterBlock(FromMasterBlock(first) + i));
        tickets->Ticket[i].Slot = slot;
        tickets->Ticket[i].Generation = SlotGeneration(map, slot);
        fills = fills || slot != NoSlot;
    }
    // Seen by writes to the master only (WriteCached): such a read may fill
    // data that one of them is replacing.
    if (fills)
        InterlockedIncrement(&map->FillsPlanned);
    return buffer;
}

const FillTickets* FillTicketsOf(PVOID buffer, ULONG bytes, const CacheMap* map, ULONGLONG firstSector,
                                 ULONG sectors)
{
    const FillTickets* tickets = (const FillTickets*)((UCHAR*)buffer + bytes);
    ULONG shift = map->BlockShiftSectors;
    MasterBlock first;
    if (shift == 0 || tickets->BlockShiftSectors != shift || !BlockOfSector(map, firstSector, &first) ||
        tickets->FirstBlock != first || tickets->Count != BlockSpan(shift, firstSector, sectors))
        return NULL;
    return tickets;
}

bool CanFill(PDEVICE_OBJECT master)
{
    const FilterExtension* ext = FilterExtensionOf(master);
    return IsCachingAllowed(ext->Cache.Active, ext->Cache.StopRequested, ext->Removing);
}

// ---- The fill -------------------------------------------------------------------

struct FillContext;

// One SSD write of a fill.
struct FillWrite {
    FillContext* Context;
    PIRP Irp;
    ULONGLONG SsdSector;
    ULONG Sectors;
    ULONG FirstTicket;  // ticket of the block in the write's first slot
};

struct FillContext {
    LONG WriteCount;
    volatile LONG Completed;
    PDEVICE_OBJECT Master;
    PVOID Buffer;  // data, then the tickets
    const FillTickets* Tickets;
    ULONGLONG DataStart;  // of the map: slot boundaries of the writes
    ULONG BlockShiftSectors;
    FillWrite* Writes;
};

// The SSD extents of the fill: the still-invalid sectors of every block that
// holds the slot and generation of its ticket. Extents continuing each other
// on the SSD and in the buffer (consecutive blocks in adjacent slots) merge.
static bool PlanFill(CacheMap* map, ULONGLONG first, ULONG count, const FillTickets* tickets,
                     ULONG sectorShift, IoExtent** extents, LONG* capacity, ULONG* extentCount)
{
    BlockSplit split;
    StartBlockSplit(&split, map, first, count, 0, sectorShift);
    BlockPiece piece;
    while (NextBlockPiece(&split, &piece)) {
        const FillTicket* ticket =
            &tickets->Ticket[FromMasterBlock(piece.Block) - FromMasterBlock(tickets->FirstBlock)];
        if (ticket->Slot == NoSlot)
            continue;
        SsdSlot slot = LookupSlot(map, piece.Block, CurrentBootTime());
        if (slot != ticket->Slot || SlotGeneration(map, slot) != ticket->Generation)
            continue;
        ULONGLONG slotBit = (ULONGLONG)FromSsdSlot(slot) << map->BlockShiftSectors;
        ULONGLONG position = piece.FirstSector;
        ULONGLONG end = piece.FirstSector + piece.Sectors;
        while (position < end) {
            ULONG valid = (ULONG)CountOneRun(map->ValidBitmap, slotBit + position, end - position);
            position += valid;
            if (position >= end)
                break;
            ULONG invalid = (ULONG)CountZeroRun(map->ValidBitmap, slotBit + position, end - position);
            if (!GrowPoolArray((void**)extents, capacity, (LONG)*extentCount, sizeof(IoExtent),
                               ReadPieceGrowth))
                return false;
            ULONG offset = piece.ByteOffset + (ULONG)((position - piece.FirstSector) << sectorShift);
            AppendExtent(*extents, extentCount, map->SsdDevice, SlotFirstSsdSector(map, slot) + position,
                         invalid, offset, sectorShift);
            position += invalid;
        }
    }
    return true;
}

static void FreeFillContext(FillContext* context)
{
    FreePool(context->Buffer);
    FreePool(context->Writes);
    FreePool(context);
}

// Posts one set-valid item per slot the write covered, each with the
// generation of its block's ticket.
static void PostWrittenRanges(const FillContext* context, const FillWrite* write)
{
    ULONGLONG slotSectors = 1ull << context->BlockShiftSectors;
    ULONGLONG sector = write->SsdSector;
    ULONG left = write->Sectors;
    for (ULONG k = 0; left != 0; k++) {
        ULONGLONG within = (sector - context->DataStart) & (slotSectors - 1);
        ULONG sectors = slotSectors - within < left ? (ULONG)(slotSectors - within) : left;
        PostSetValidWork(context->Master, sector, sectors,
                         context->Tickets->Ticket[write->FirstTicket + k].Generation);
        sector += sectors;
        left -= sectors;
    }
}

static NTSTATUS NTAPI FillWriteDone(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    FillWrite* write = (FillWrite*)context;
    FillContext* fill = write->Context;
    CacheMap* map = &FilterExtensionOf(fill->Master)->Cache.Map;
    ULONGLONG ssdSector = write->SsdSector;
    ULONG sectors = write->Sectors;
    // Read before the count goes up: once it has, the last write may free the context.
    LONG writeCount = fill->WriteCount;
    NTSTATUS status = FreeOwnIrp(irp);
    if (NT_SUCCESS(status))
        PostWrittenRanges(fill, write);
    if (InterlockedIncrement(&fill->Completed) == writeCount)
        FreeFillContext(fill);
    ReleaseSsdRange(map, ssdSector, sectors);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Builds one write per extent; false (everything built freed) when short.
static bool BuildFillWrites(FillContext* fill, CacheMap* map, const IoExtent* extents, ULONG count,
                            ULONG sectorShift)
{
    for (ULONG i = 0; i < count; i++) {
        const IoExtent* e = &extents[i];
        FillWrite* write = &fill->Writes[i];
        write->Irp = BuildOwnWriteIrp(map->SsdDevice, e->FirstSector << sectorShift, e->Bytes,
                                      (UCHAR*)fill->Buffer + e->ByteOffset);
        if (!write->Irp) {
            for (ULONG j = 0; j < i; j++)
                FreeOwnIrp(fill->Writes[j].Irp);
            return false;
        }
        SsdSlot slot;
        ULONGLONG bit;
        SsdSectorToSlot(map, e->FirstSector, &slot, &bit);
        write->Context = fill;
        write->SsdSector = e->FirstSector;
        write->Sectors = e->Sectors;
        // The slot holds the block of its ticket: the fill checked it.
        write->FirstTicket = FromMasterBlock(map->Slots.Entries[FromSsdSlot(slot)].Block) -
                             FromMasterBlock(fill->Tickets->FirstBlock);
    }
    return true;
}

bool FillCache(PDEVICE_OBJECT master, ULONGLONG masterSector, ULONG count, PVOID buffer)
{
    FilterExtension* ext = FilterExtensionOf(master);
    CacheMap* map = &ext->Cache.Map;
    if (!CanFill(master) || !map->SsdDevice || !map->ValidBitmap || count == 0)
        return false;
    ULONG shift = ext->SectorShift;
    ULONG bytes = count << shift;
    const FillTickets* tickets = FillTicketsOf(buffer, bytes, map, masterSector, count);
    if (!tickets)
        return false;
    IoExtent* extents = NULL;
    LONG capacity = 0;
    ULONG extentCount = 0;
    bool planned = PlanFill(map, masterSector, count, tickets, shift, &extents, &capacity, &extentCount);
    FillContext* fill = NULL;
    if (planned && extentCount != 0) {
        fill = (FillContext*)AllocatePool(sizeof(FillContext));
        FillWrite* writes = (FillWrite*)AllocatePool((SIZE_T)extentCount * sizeof(FillWrite));
        if (fill && writes) {
            fill->WriteCount = (LONG)extentCount;
            fill->Completed = 0;
            fill->Master = master;
            fill->Buffer = buffer;
            fill->Tickets = tickets;
            fill->DataStart = map->DataStart;
            fill->BlockShiftSectors = map->BlockShiftSectors;
            fill->Writes = writes;
        }
        if (!fill || !writes || !BuildFillWrites(fill, map, extents, extentCount, shift)) {
            if (writes)
                FreePool(writes);
            if (fill)
                FreePool(fill);
            fill = NULL;
        }
    }
    if (extents)
        FreePool(extents);
    if (!fill)
        return false;
    // The context may be freed by the last completion: nothing of it is read
    // after the last write is sent.
    LONG writes = fill->WriteCount;
    FillWrite* write = fill->Writes;
    PDEVICE_OBJECT ssd = map->SsdDevice;
    for (LONG i = 0; i < writes; i++)
        HoldSsdRange(map, write[i].SsdSector, write[i].Sectors);
    for (LONG i = 0; i < writes; i++)
        SendOwnWriteIrp(ssd, write[i].Irp, write[i].Sectors, FillWriteDone, &write[i]);
    return true;
}

// ---- Bitmap work items -------------------------------------------------------------

void SetSsdRangeValid(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count, ULONG generation)
{
    CacheMap* map = &FilterExtensionOf(master)->Cache.Map;
    SsdSlot slot;
    ULONGLONG bit;
    if (SsdSectorToSlot(map, ssdSector, &slot, &bit) && SlotGeneration(map, slot) == generation)
        MarkSsdRangeValid(map, ssdSector, count);
}

void InvalidateSsdRange(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count, ULONG assignments)
{
    InvalidatePlannedSsdRange(&FilterExtensionOf(master)->Cache.Map, ssdSector, count, assignments);
}
