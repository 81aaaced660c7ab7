// Cache map: block table, slot table, LRU list, free stack and eviction.
#include "kernel.h"
#include "bitmaps.h"
#include "cachemap.h"
#include "pool.h"

// ---------------------------------------------------------------------------
// Sizing
// ---------------------------------------------------------------------------

NTSTATUS CheckCacheMapLayout(const CacheMapLayout* layout)
{
    if (layout->SectorShift > 16 || layout->BlockShift > 31 || layout->BlockShift < layout->SectorShift + 3)
        return STATUS_INVALID_PARAMETER;
    ULONG blockShiftSectors = layout->BlockShift - layout->SectorShift;
    if ((layout->MasterSectors >> blockShiftSectors) + 1 > MaxBlockCount)
        return STATUS_INVALID_PARAMETER;
    if (layout->SlotCount == 0 || layout->SlotCount > MaxSlotCount)
        return STATUS_INVALID_PARAMETER;
    ULONGLONG dataSectors = (ULONGLONG)layout->SlotCount << blockShiftSectors;
    if (layout->DataStart > ~0ull - dataSectors || layout->DataEnd != layout->DataStart + dataSectors)
        return STATUS_INVALID_PARAMETER;
    if (BitmapBytes(layout->BlockShift, layout->SectorShift, layout->SlotCount) == 0)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS SizeCacheMap(CacheMap* map, const CacheMapLayout* layout)
{
    if (map->Blocks.Entries || map->Slots.Entries || map->Slots.Links || map->ValidBitmap || map->CleanBitmap)
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = CheckCacheMapLayout(layout);
    if (!NT_SUCCESS(status))
        return status;
    map->BlockShiftBytes = layout->BlockShift;
    map->BlockShiftSectors = layout->BlockShift - layout->SectorShift;
    map->MinBoot = layout->MinBoot;
    map->Mode = layout->Mode;
    map->WriteMode = layout->WriteMode;
    map->Blocks.Count = (ULONG)((layout->MasterSectors >> map->BlockShiftSectors) + 1);
    map->Slots.SlotCount = layout->SlotCount;
    map->DataStart = layout->DataStart;
    map->DataEnd = layout->DataEnd;
    map->BitmapSize = BitmapBytes(layout->BlockShift, layout->SectorShift, layout->SlotCount);
    return STATUS_SUCCESS;
}

bool HasUsableSizes(const CacheMap* map)
{
    ULONG shift = map->BlockShiftSectors;
    ULONG slots = map->Slots.SlotCount;
    if (shift < 3 || shift > 31 || slots == 0 || slots > MaxSlotCount)
        return false;
    return map->BitmapSize >= ((ULONGLONG)slots << (shift - 3));
}

// ---------------------------------------------------------------------------
// Block table
// ---------------------------------------------------------------------------

static BlockEntry* BlockEntryOf(const BlockTable* table, MasterBlock block)
{
    if (FromMasterBlock(block) >= table->Count || !table->Entries)
        return NULL;
    return &table->Entries[FromMasterBlock(block)];
}

SsdSlot GetBlockSlot(const BlockTable* table, MasterBlock block)
{
    const BlockEntry* entry = BlockEntryOf(table, block);
    return entry ? entry->Slot : NoSlot;
}

bool SetBlockSlot(BlockTable* table, MasterBlock block, SsdSlot slot)
{
    BlockEntry* entry = BlockEntryOf(table, block);
    if (!entry)
        return false;
    entry->Slot = slot;
    return true;
}

bool ClearBlockSlot(BlockTable* table, MasterBlock block, SsdSlot slot)
{
    BlockEntry* entry = BlockEntryOf(table, block);
    if (!entry || entry->Slot != slot)
        return false;
    entry->Slot = NoSlot;
    return true;
}

bool AllocBlockTable(BlockTable* table)
{
    if (table->Entries)
        return true;
    BlockEntry* entries = (BlockEntry*)AllocMapMemory((ULONGLONG)table->Count * sizeof(BlockEntry));
    if (!entries)
        return false;
    for (ULONG b = 0; b < table->Count; b++) {
        entries[b].Slot = NoSlot;
        entries[b].Heat = 0;
    }
    table->Entries = entries;
    return true;
}

void ResetBlockTable(BlockTable* table)
{
    table->Count = 0;
    table->Entries = NULL;
}

// A slot is entered only where the entry is still free or already names it,
// so a block can never end up named by two slots.
void RebuildBlockTable(BlockTable* table, const SlotTable* slots)
{
    if (!slots->Entries || !table->Entries)
        return;
    for (ULONG s = 0; s < slots->SlotCount; s++) {
        MasterBlock block = slots->Entries[s].Block;
        BlockEntry* entry = BlockEntryOf(table, block);
        if (!entry)
            continue;
        LONG holder = FromSsdSlot(entry->Slot);
        if (holder == FromSsdSlot(NoSlot) || (ULONG)holder >= slots->SlotCount ||
            slots->Entries[holder].Block != block)
            entry->Slot = ToSsdSlot((LONG)s);
    }
}

void FreeBlockTable(BlockTable* table)
{
    FreeMapMemory(table->Entries, (ULONGLONG)table->Count * sizeof(BlockEntry));
    table->Entries = NULL;
    table->Count = 0;
}

// ---------------------------------------------------------------------------
// Slot lists
// ---------------------------------------------------------------------------

static SlotLink* LinkOf(const SlotTable* table, SsdSlot slot)
{
    return &table->Links[FromSsdSlot(slot)];
}

static SlotEntry* EntryOf(const SlotTable* table, SsdSlot slot)
{
    return &table->Entries[FromSsdSlot(slot)];
}

void AppendMru(SlotTable* table, SsdSlot slot)
{
    LinkOf(table, slot)->Next = NoSlot;
    LinkOf(table, slot)->Prev = table->MruTail;
    if (table->MruTail != NoSlot)
        LinkOf(table, table->MruTail)->Next = slot;
    else
        table->LruHead = slot;
    table->MruTail = slot;
    for (ULONG group = 0; group < 2; group++) {
        if (table->GroupStart[group] == NoSlot)
            table->GroupStart[group] = slot;
    }
    table->Changes++;
}

void UnlinkSlot(SlotTable* table, SsdSlot slot)
{
    if (!table->Links)
        return;
    SsdSlot next = LinkOf(table, slot)->Next;
    SsdSlot prev = LinkOf(table, slot)->Prev;
    for (ULONG group = 0; group < 2; group++) {
        if (table->GroupStart[group] == slot)
            table->GroupStart[group] = next;
    }
    if (prev != NoSlot)
        LinkOf(table, prev)->Next = next;
    if (next != NoSlot)
        LinkOf(table, next)->Prev = prev;
    if (table->MruTail == slot)
        table->MruTail = prev;
    if (table->LruHead == slot)
        table->LruHead = next;
    LinkOf(table, slot)->Next = NoSlot;
    LinkOf(table, slot)->Prev = NoSlot;
    table->Changes++;
}

void MoveToMru(SlotTable* table, SsdSlot slot)
{
    if (table->MruTail == slot)
        return;
    UnlinkSlot(table, slot);
    AppendMru(table, slot);
}

void PushFreeSlot(SlotTable* table, SsdSlot slot)
{
    LinkOf(table, slot)->Next = NoSlot;
    LinkOf(table, slot)->Prev = table->FreeTop;
    if (table->FreeTop != NoSlot)
        LinkOf(table, table->FreeTop)->Next = slot;
    table->FreeTop = slot;
}

SsdSlot PopFreeSlot(SlotTable* table)
{
    SsdSlot slot = table->FreeTop;
    if (slot == NoSlot)
        return NoSlot;
    SsdSlot below = LinkOf(table, slot)->Prev;
    if (below != NoSlot)
        LinkOf(table, below)->Next = NoSlot;
    table->FreeTop = below;
    LinkOf(table, slot)->Prev = NoSlot;
    return slot;
}

void ReleaseSlot(SlotTable* table, SsdSlot slot)
{
    SlotEntry* entry = EntryOf(table, slot);
    if (entry->Block == NoBlock) {
        entry->BootFlag = 0;
        return;
    }
    UnlinkSlot(table, slot);
    if (entry->BootFlag)
        table->BootSlots--;
    else
        table->OtherSlots--;
    entry->BootFlag = 0;
    entry->Block = NoBlock;
    entry->Generation++;
    PushFreeSlot(table, slot);
}

void MarkBootSlot(SlotTable* table, SsdSlot slot)
{
    SlotEntry* entry = EntryOf(table, slot);
    if (entry->BootFlag || entry->Block == NoBlock)
        return;
    table->OtherSlots--;
    table->BootSlots++;
    entry->BootFlag = 1;
    table->HeatFloor[1] = 0;                // the joining slot's heat is not known here
    table->GroupStart[1] = table->LruHead;  // the slot may lie before it
    table->Changes++;
}

// Free slots are pushed from the highest index down, so a fresh map hands
// out 0, 1, 2 ...; used slots are appended in the same order, so after a load
// the highest used index is the LRU head. Every used slot starts as "other".
void BuildSlotLists(SlotTable* table)
{
    if (!table->Entries || !table->Links || table->SlotCount == 0)
        return;
    table->BootSlots = 0;
    table->OtherSlots = 0;
    table->FreeTop = NoSlot;
    table->MruTail = NoSlot;
    table->LruHead = NoSlot;
    table->HeatFloor[0] = 0;
    table->HeatFloor[1] = 0;
    table->GroupStart[0] = NoSlot;
    table->GroupStart[1] = NoSlot;
    table->Changes++;
    for (ULONG i = table->SlotCount; i-- > 0;) {
        SsdSlot s = ToSsdSlot((LONG)i);
        EntryOf(table, s)->BootFlag = 0;
        if (EntryOf(table, s)->Block == NoBlock) {
            PushFreeSlot(table, s);
        } else {
            table->OtherSlots++;
            AppendMru(table, s);
        }
    }
}

bool AllocSlotTable(SlotTable* table)
{
    ULONG count = table->SlotCount;
    if (count == 0 || count > MaxSlotCount)
        return false;
    SlotEntry* entries = (SlotEntry*)AllocMapMemory((ULONGLONG)count * sizeof(SlotEntry));
    if (!entries)
        return false;
    SlotLink* links = (SlotLink*)AllocMapMemory((ULONGLONG)count * sizeof(SlotLink));
    if (!links) {
        FreeMapMemory(entries, (ULONGLONG)count * sizeof(SlotEntry));
        return false;
    }
    for (ULONG s = 0; s < count; s++) {
        entries[s].Block = NoBlock;
        entries[s].BootFlag = 0;
        entries[s].Generation = 0;
        entries[s].IoInFlight = 0;
        entries[s].AssignedAt = 0;
        links[s].Next = NoSlot;
        links[s].Prev = NoSlot;
    }
    table->Entries = entries;
    table->Links = links;
    table->FreeTop = NoSlot;
    table->MruTail = NoSlot;
    table->LruHead = NoSlot;
    table->BootSlots = 0;
    table->OtherSlots = 0;
    table->HeatFloor[0] = 0;
    table->HeatFloor[1] = 0;
    table->GroupStart[0] = NoSlot;
    table->GroupStart[1] = NoSlot;
    table->Changes++;
    return true;
}

// Changes is not reset here, so hints taken before stay stale.
void ResetSlotTable(SlotTable* table)
{
    table->Changes++;
    table->Assignments = 0;
    table->SlotCount = 0;
    table->BootSlots = 0;
    table->OtherSlots = 0;
    table->Entries = NULL;
    table->Links = NULL;
    table->FreeTop = NoSlot;
    table->MruTail = NoSlot;
    table->LruHead = NoSlot;
    table->HeatFloor[0] = 0;
    table->HeatFloor[1] = 0;
    table->GroupStart[0] = NoSlot;
    table->GroupStart[1] = NoSlot;
}

void FreeSlotTable(SlotTable* table)
{
    FreeMapMemory(table->Entries, (ULONGLONG)table->SlotCount * sizeof(SlotEntry));
    FreeMapMemory(table->Links, (ULONGLONG)table->SlotCount * sizeof(SlotLink));
    ResetSlotTable(table);
}

bool SlotsFromRecords(CacheMap* map, const SlotRecord* records, ULONG recordCount, ULONG* dropped)
{
    SlotTable* slots = &map->Slots;
    BlockTable* blocks = &map->Blocks;
    ULONG refused = 0;
    if (dropped)
        *dropped = 0;
    if (!slots->Entries || !blocks->Entries || slots->LruHead != NoSlot || slots->FreeTop != NoSlot)
        return false;
    for (ULONG s = 0; s < slots->SlotCount; s++) {
        SlotEntry* entry = &slots->Entries[s];
        entry->Block = NoBlock;
        entry->BootFlag = 0;
        if (s >= recordCount || records[s].State == SlotStateFree)
            continue;
        MasterBlock block = ToMasterBlock(records[s].Block);
        BlockEntry* blockEntry = BlockEntryOf(blocks, block);
        if (!blockEntry || blockEntry->Slot != NoSlot) {
            refused++;
            continue;
        }
        entry->Block = block;
        blockEntry->Slot = ToSsdSlot((LONG)s);
    }
    if (dropped)
        *dropped = refused;
    return true;
}

void SlotsToRecords(const SlotTable* table, SlotRecord* records, ULONG recordCount)
{
    if (!table->Entries)
        return;
    for (ULONG s = 0; s < table->SlotCount && s < recordCount; s++) {
        const SlotEntry* entry = &table->Entries[s];
        if (entry->Block == NoBlock) {
            records[s].State = SlotStateFree;
            records[s].Block = FromMasterBlock(NoBlock);
        } else {
            records[s].State = entry->BootFlag ? SlotStateBoot : SlotStateOther;
            records[s].Block = FromMasterBlock(entry->Block);
        }
    }
}

// ---------------------------------------------------------------------------
// Map
// ---------------------------------------------------------------------------

static bool IsSlotIndex(const CacheMap* map, SsdSlot slot)
{
    return FromSsdSlot(slot) >= 0 && (ULONG)FromSsdSlot(slot) < map->Slots.SlotCount && map->Slots.Entries &&
           map->Slots.Links;
}

SsdSlot LookupSlot(CacheMap* map, MasterBlock block, BootTime boot)
{
    SsdSlot slot = GetBlockSlot(&map->Blocks, block);
    if (slot == NoSlot)
        return NoSlot;
    if (boot == DuringBoot)
        MarkBootSlot(&map->Slots, slot);
    MoveToMru(&map->Slots, slot);
    return slot;
}

// One walk from the LRU head over the slots of one group (boot flag 0 or 1).
// The first slot whose block is colder than the missing one decides: it is
// the victim unless it holds dirty data, which ends the walk.
static SsdSlot WalkForVictim(CacheMap* map, ULONG bootFlag, ULONGLONG heat)
{
    SlotTable* slots = &map->Slots;
    const BlockTable* blocks = &map->Blocks;
    if (!slots->Entries || !slots->Links || !blocks->Entries)
        return NoSlot;
    ULONG members = bootFlag ? slots->BootSlots : slots->OtherSlots;
    if (members == 0 || heat <= slots->HeatFloor[bootFlag])
        return NoSlot;
    ULONGLONG coldest = ~0ull;
    for (SsdSlot s = slots->GroupStart[bootFlag]; s != NoSlot; s = LinkOf(slots, s)->Next) {
        const SlotEntry* entry = EntryOf(slots, s);
        if (entry->BootFlag != bootFlag) {
            // Slots of the other group at the walk start are skipped from now on.
            if (s == slots->GroupStart[bootFlag])
                slots->GroupStart[bootFlag] = LinkOf(slots, s)->Next;
            continue;
        }
        const BlockEntry* blockEntry = BlockEntryOf(blocks, entry->Block);
        if (!blockEntry)
            continue;
        ULONGLONG slotHeat = blockEntry->Heat;
        if (slotHeat < heat && !entry->IoInFlight)
            return FindDirtyRun(map, s, NULL, NULL) ? NoSlot : s;
        if (slotHeat < coldest)
            coldest = slotHeat;
    }
    // The whole group was seen: none is colder than "coldest".
    slots->HeatFloor[bootFlag] = coldest;
    return NoSlot;
}

SsdSlot FindVictimSlot(CacheMap* map, ULONGLONG heat)
{
    SsdSlot victim = WalkForVictim(map, 0, heat);
    if (victim == NoSlot && map->Slots.BootSlots > map->MinBoot)
        victim = WalkForVictim(map, 1, heat);
    return victim;
}

bool AssignSlot(CacheMap* map, SsdSlot slot, MasterBlock block, BootTime boot)
{
    if (!IsSlotIndex(map, slot) || EntryOf(&map->Slots, slot)->Block != NoBlock)
        return false;
    SlotTable* slots = &map->Slots;
    BlockEntry* blockEntry = BlockEntryOf(&map->Blocks, block);
    if (!blockEntry || blockEntry->Slot != NoSlot) {
        PushFreeSlot(slots, slot);
        return false;
    }
    ULONGLONG firstBit = (ULONGLONG)FromSsdSlot(slot) << map->BlockShiftSectors;
    ULONGLONG slotBits = 1ull << map->BlockShiftSectors;
    if (map->ValidBitmap)
        ClearBitRun(map->ValidBitmap, firstBit, slotBits);
    if (map->Mode == CacheModeWriteBack && map->CleanBitmap)
        ClearBitRun(map->CleanBitmap, firstBit, slotBits);

    SlotEntry* entry = EntryOf(slots, slot);
    entry->Block = block;
    entry->Generation++;
    entry->AssignedAt = ++slots->Assignments;
    entry->BootFlag = boot == DuringBoot ? 1 : 0;
    if (entry->BootFlag)
        slots->BootSlots++;
    else
        slots->OtherSlots++;
    ULONGLONG heat = blockEntry->Heat;
    if (heat < slots->HeatFloor[entry->BootFlag])
        slots->HeatFloor[entry->BootFlag] = heat;
    AppendMru(slots, slot);
    blockEntry->Slot = slot;
    return true;
}

SsdSlot AllocateSlot(CacheMap* map, MasterBlock block, BootTime boot)
{
    BlockEntry* blockEntry = BlockEntryOf(&map->Blocks, block);
    if (!blockEntry || !map->Slots.Links)
        return NoSlot;
    // A block never gets a second slot: that would leave an orphan copy.
    if (blockEntry->Slot != NoSlot)
        return blockEntry->Slot;
    SsdSlot slot = PopFreeSlot(&map->Slots);
    if (slot == NoSlot) {
        SsdSlot victim = FindVictimSlot(map, blockEntry->Heat);
        if (victim == NoSlot)
            return NoSlot;
        ClearBlockSlot(&map->Blocks, EntryOf(&map->Slots, victim)->Block, victim);
        ReleaseSlot(&map->Slots, victim);
        slot = PopFreeSlot(&map->Slots);
        if (slot == NoSlot)
            return NoSlot;
    }
    return AssignSlot(map, slot, block, boot) ? slot : NoSlot;
}

void EvictSlot(CacheMap* map, SsdSlot slot)
{
    if (!IsSlotIndex(map, slot))
        return;
    ClearBlockSlot(&map->Blocks, EntryOf(&map->Slots, slot)->Block, slot);
    ReleaseSlot(&map->Slots, slot);
}

void AddHeat(CacheMap* map, MasterBlock block, ULONG sectors)
{
    BlockEntry* entry = BlockEntryOf(&map->Blocks, block);
    if (!entry)
        return;
    // Heat never wraps: the eviction floors rely on it only growing.
    entry->Heat = entry->Heat > ~0ull - sectors ? ~0ull : entry->Heat + sectors;
}

bool IsWriteBackSlot(const CacheMap* map, SsdSlot slot)
{
    if (map->Mode != CacheModeWriteBack || !IsSlotIndex(map, slot))
        return false;
    const SlotEntry* entry = EntryOf(&map->Slots, slot);
    return entry->Block != NoBlock && entry->BootFlag == 0;
}

// Block numbers stay 64-bit until they are known to fit.
bool SectorToBlock(ULONGLONG sector, ULONG blockShiftSectors, MasterBlock* block)
{
    ULONGLONG number = sector >> blockShiftSectors;
    if (number > 0xFFFFFFFFull)
        return false;
    *block = ToMasterBlock((ULONG)number);
    return true;
}

bool BlockOfSector(const CacheMap* map, ULONGLONG sector, MasterBlock* block)
{
    MasterBlock found;
    if (!SectorToBlock(sector, map->BlockShiftSectors, &found) || FromMasterBlock(found) >= map->Blocks.Count)
        return false;
    *block = found;
    return true;
}

ULONGLONG CountCachedSectors(const CacheMap* map)
{
    const SlotTable* slots = &map->Slots;
    if (!map->ValidBitmap || !slots->Entries)
        return 0;
    ULONGLONG sectors = 0;
    ULONGLONG slotBits = 1ull << map->BlockShiftSectors;
    for (ULONG s = 0; s < slots->SlotCount; s++) {
        if (slots->Entries[s].Block != NoBlock)
            sectors += CountSetBits(map->ValidBitmap, (ULONGLONG)s << map->BlockShiftSectors, slotBits);
    }
    return sectors;
}

ULONG SlotGeneration(const CacheMap* map, SsdSlot slot)
{
    return IsSlotIndex(map, slot) ? EntryOf(&map->Slots, slot)->Generation : 0;
}

// The slots [*first, *last] an SSD range inside the data area touches; false
// when it touches none.
static bool SlotsOfSsdRange(const CacheMap* map, ULONGLONG ssdSector, ULONG count, ULONG* first, ULONG* last)
{
    if (count == 0 || !map->Slots.Entries || ssdSector < map->DataStart || ssdSector >= map->DataEnd)
        return false;
    ULONGLONG end = ssdSector + count - 1;
    if (end >= map->DataEnd)
        end = map->DataEnd - 1;
    ULONGLONG lastSlot = (end - map->DataStart) >> map->BlockShiftSectors;
    if (lastSlot >= map->Slots.SlotCount)
        lastSlot = map->Slots.SlotCount - 1;
    ULONGLONG firstSlot = (ssdSector - map->DataStart) >> map->BlockShiftSectors;
    if (firstSlot > lastSlot)
        return false;
    *first = (ULONG)firstSlot;
    *last = (ULONG)lastSlot;
    return true;
}

void RaiseSsdRangeGeneration(CacheMap* map, ULONGLONG ssdSector, ULONG count)
{
    ULONG first, last;
    if (SlotsOfSsdRange(map, ssdSector, count, &first, &last)) {
        for (ULONG s = first; s <= last; s++)
            map->Slots.Entries[s].Generation++;
    }
}

void HoldSsdRange(CacheMap* map, ULONGLONG ssdSector, ULONG count)
{
    ULONG first, last;
    if (SlotsOfSsdRange(map, ssdSector, count, &first, &last)) {
        for (ULONG s = first; s <= last; s++)
            InterlockedIncrement(&map->Slots.Entries[s].IoInFlight);
    }
    InterlockedIncrement(&map->OwnIo);
}

// The map-wide count goes last: once it is 0 the tables may go.
void ReleaseSsdRange(CacheMap* map, ULONGLONG ssdSector, ULONG count)
{
    ULONG first, last;
    if (SlotsOfSsdRange(map, ssdSector, count, &first, &last)) {
        for (ULONG s = first; s <= last; s++)
            InterlockedDecrement(&map->Slots.Entries[s].IoInFlight);
    }
    InterlockedDecrement(&map->OwnIo);
}

void HoldPlannedSlot(CacheMap* map, SsdSlot slot)
{
    if (IsSlotIndex(map, slot))
        InterlockedIncrement(&EntryOf(&map->Slots, slot)->IoInFlight);
}

void ReleasePlannedSlot(CacheMap* map, SsdSlot slot)
{
    if (IsSlotIndex(map, slot))
        InterlockedDecrement(&EntryOf(&map->Slots, slot)->IoInFlight);
}

ULONG SlotAssignments(const CacheMap* map)
{
    return map->Slots.Assignments;
}

bool SlotAssignedSince(const CacheMap* map, SsdSlot slot, ULONG assignments)
{
    return IsSlotIndex(map, slot) && (LONG)(EntryOf(&map->Slots, slot)->AssignedAt - assignments) > 0;
}

bool IsSlotBusy(const CacheMap* map, SsdSlot slot)
{
    return IsSlotIndex(map, slot) && EntryOf(&map->Slots, slot)->IoInFlight != 0;
}

LONG OwnIoInFlight(const CacheMap* map)
{
    return map->OwnIo;
}

void ResetCacheMap(CacheMap* map)
{
    map->SsdDevice = NULL;
    map->BlockShiftBytes = 0;
    map->BlockShiftSectors = 0;
    map->MinBoot = 0;
    map->Mode = 0;
    map->WriteMode = 0;
    ResetBlockTable(&map->Blocks);
    ResetSlotTable(&map->Slots);
    map->DataStart = 0;
    map->DataEnd = 0;
    map->BitmapSize = 0;
    map->ValidBitmap = NULL;
    map->CleanBitmap = NULL;
    map->Slots.Changes = 0;
    map->OwnIo = 0;
    ForgetDirtyHints(map);
}

static NTSTATUS InitFreshMap(CacheMap* map, bool withClean)
{
    if (!HasUsableSizes(map))
        return STATUS_INVALID_PARAMETER;
    if (!AllocValidBitmap(map))
        return STATUS_INSUFFICIENT_RESOURCES;
    ClearBitRun(map->ValidBitmap, 0, (ULONGLONG)map->BitmapSize * 8);
    if (withClean) {
        if (!AllocCleanBitmap(map))
            return STATUS_INSUFFICIENT_RESOURCES;
        ClearBitRun(map->CleanBitmap, 0, (ULONGLONG)map->BitmapSize * 8);
    }
    if (!AllocBlockTable(&map->Blocks) || !AllocSlotTable(&map->Slots))
        return STATUS_INSUFFICIENT_RESOURCES;
    BuildSlotLists(&map->Slots);
    ForgetDirtyHints(map);
    return STATUS_SUCCESS;
}

NTSTATUS InitEmptyMap(CacheMap* map)
{
    return InitFreshMap(map, false);
}

NTSTATUS InitEmptyMapWithClean(CacheMap* map)
{
    return InitFreshMap(map, true);
}

void ForgetDirtyHints(CacheMap* map)
{
    for (ULONG i = 0; i < 3; i++) {
        map->DirtyHints[i].Valid = false;
        map->DirtyHints[i].Start = NoSlot;
        map->DirtyHints[i].Changes = 0;
    }
}

void FreeMapTables(CacheMap* map)
{
    ForgetDirtyHints(map);
    map->Mode = 0;
    map->WriteMode = 0;
    FreeBlockTable(&map->Blocks);
    FreeSlotTable(&map->Slots);
    FreeCleanBitmap(map);
    FreeValidBitmap(map);
    map->BitmapSize = 0;
    map->MinBoot = 0;
    map->BlockShiftBytes = 0;
    map->BlockShiftSectors = 0;
}
