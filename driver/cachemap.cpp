// Cache map: block table, slot table, LRU list, free stack and eviction.
#include "kernel.h"
#include "cachemap.h"

// The driver's one pool tag (the same value as PoolTag in tolvarn.h, which
// this file cannot include).
static const ULONG MapPoolTag = 0xFD5D4F2D;

// ---------------------------------------------------------------------------
// Counted pool memory
// ---------------------------------------------------------------------------

// Sizes are computed in 64 bits and refused when they do not fit SIZE_T, so a
// huge table on the x86 image fails instead of wrapping to a small buffer.
void* AllocMapMemory(ULONGLONG bytes)
{
    if (bytes == 0 || bytes > (ULONGLONG)(SIZE_T)~(SIZE_T)0)
        return NULL;
    void* memory = ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)bytes, MapPoolTag);
    if (memory)
        PoolBytes += bytes;
    return memory;
}

void FreeMapMemory(void* memory, ULONGLONG bytes)
{
    if (!memory)
        return;
    ExFreePoolWithTag(memory, MapPoolTag);
    PoolBytes -= bytes;
}

// ---------------------------------------------------------------------------
// Sizing
// ---------------------------------------------------------------------------

NTSTATUS CheckCacheMapLayout(const CacheMapLayout* layout)
{
    if (layout->SectorShift > 16 || layout->BlockShift > 31 ||
        layout->BlockShift < layout->SectorShift + 3)
        return STATUS_INVALID_PARAMETER;
    ULONG blockShiftSectors = layout->BlockShift - layout->SectorShift;
    if ((layout->MasterSectors >> blockShiftSectors) + 1 > MaxBlockCount)
        return STATUS_INVALID_PARAMETER;
    if (layout->SlotCount == 0 || layout->SlotCount > MaxSlotCount)
        return STATUS_INVALID_PARAMETER;
    ULONGLONG dataSectors = (ULONGLONG)layout->SlotCount << blockShiftSectors;
    if (layout->DataStart > ~0ull - dataSectors ||
        layout->DataEnd != layout->DataStart + dataSectors)
        return STATUS_INVALID_PARAMETER;
    if (BitmapBytes(layout->BlockShift, layout->SectorShift, layout->SlotCount) == 0)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS SizeCacheMap(CacheMap* map, const CacheMapLayout* layout)
{
    if (map->Blocks.Entries || map->Slots.Entries || map->Slots.Links ||
        map->ValidBitmap || map->CleanBitmap)
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

LONG GetBlockSlot(const BlockTable* table, ULONG block)
{
    if (block >= table->Count || !table->Entries)
        return NoSlot;
    return table->Entries[block].Slot;
}

bool SetBlockSlot(BlockTable* table, ULONG block, LONG slot)
{
    if (block >= table->Count || !table->Entries)
        return false;
    table->Entries[block].Slot = slot;
    return true;
}

bool ClearBlockSlot(BlockTable* table, ULONG block, LONG slot)
{
    if (block >= table->Count || !table->Entries || table->Entries[block].Slot != slot)
        return false;
    table->Entries[block].Slot = NoSlot;
    return true;
}

bool AllocBlockTable(BlockTable* table)
{
    if (table->Entries)
        return true;
    BlockEntry* entries =
        (BlockEntry*)AllocMapMemory((ULONGLONG)table->Count * sizeof(BlockEntry));
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
        ULONG block = slots->Entries[s].Block;
        if (block >= table->Count)
            continue;
        LONG holder = table->Entries[block].Slot;
        if (holder == NoSlot || (ULONG)holder >= slots->SlotCount ||
            slots->Entries[holder].Block != block)
            table->Entries[block].Slot = (LONG)s;
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

void AppendMru(SlotTable* table, LONG slot)
{
    SlotLink* links = table->Links;
    links[slot].Next = NoSlot;
    links[slot].Prev = table->MruTail;
    if (table->MruTail != NoSlot)
        links[table->MruTail].Next = slot;
    else
        table->LruHead = slot;
    table->MruTail = slot;
    for (ULONG group = 0; group < 2; group++) {
        if (table->GroupStart[group] == NoSlot)
            table->GroupStart[group] = slot;
    }
    table->Changes++;
}

void UnlinkSlot(SlotTable* table, LONG slot)
{
    SlotLink* links = table->Links;
    if (!links)
        return;
    LONG next = links[slot].Next;
    LONG prev = links[slot].Prev;
    for (ULONG group = 0; group < 2; group++) {
        if (table->GroupStart[group] == slot)
            table->GroupStart[group] = next;
    }
    if (prev != NoSlot)
        links[prev].Next = next;
    if (next != NoSlot)
        links[next].Prev = prev;
    if (table->MruTail == slot)
        table->MruTail = prev;
    if (table->LruHead == slot)
        table->LruHead = next;
    links[slot].Next = NoSlot;
    links[slot].Prev = NoSlot;
    table->Changes++;
}

void MoveToMru(SlotTable* table, LONG slot)
{
    if (table->MruTail == slot)
        return;
    UnlinkSlot(table, slot);
    AppendMru(table, slot);
}

void PushFreeSlot(SlotTable* table, LONG slot)
{
    SlotLink* links = table->Links;
    links[slot].Next = NoSlot;
    links[slot].Prev = table->FreeTop;
    if (table->FreeTop != NoSlot)
        links[table->FreeTop].Next = slot;
    table->FreeTop = slot;
}

LONG PopFreeSlot(SlotTable* table)
{
    LONG slot = table->FreeTop;
    if (slot == NoSlot)
        return NoSlot;
    SlotLink* links = table->Links;
    LONG below = links[slot].Prev;
    if (below != NoSlot)
        links[below].Next = NoSlot;
    table->FreeTop = below;
    links[slot].Prev = NoSlot;
    return slot;
}

void ReleaseSlot(SlotTable* table, LONG slot)
{
    SlotEntry* entry = &table->Entries[slot];
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

void MarkBootSlot(SlotTable* table, LONG slot)
{
    SlotEntry* entry = &table->Entries[slot];
    if (entry->BootFlag || entry->Block == NoBlock)
        return;
    table->OtherSlots--;
    table->BootSlots++;
    entry->BootFlag = 1;
    table->HeatFloor[1] = 0;   // the joining slot's heat is not known here
    table->GroupStart[1] = table->LruHead;   // the slot may lie before it
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
        LONG s = (LONG)i;
        table->Entries[s].BootFlag = 0;
        if (table->Entries[s].Block == NoBlock) {
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

bool SlotsFromRecords(CacheMap* map, const SlotRecord* records, ULONG recordCount,
                      ULONG* dropped)
{
    SlotTable* slots = &map->Slots;
    BlockTable* blocks = &map->Blocks;
    ULONG refused = 0;
    if (dropped)
        *dropped = 0;
    if (!slots->Entries || !blocks->Entries || slots->LruHead != NoSlot ||
        slots->FreeTop != NoSlot)
        return false;
    for (ULONG s = 0; s < slots->SlotCount; s++) {
        SlotEntry* entry = &slots->Entries[s];
        entry->Block = NoBlock;
        entry->BootFlag = 0;
        if (s >= recordCount || records[s].State == SlotStateFree)
            continue;
        ULONG block = records[s].Block;
        if (block >= blocks->Count || blocks->Entries[block].Slot != NoSlot) {
            refused++;
            continue;
        }
        entry->Block = block;
        blocks->Entries[block].Slot = (LONG)s;
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
            records[s].Block = NoBlock;
        } else {
            records[s].State = entry->BootFlag ? SlotStateBoot : SlotStateOther;
            records[s].Block = entry->Block;
        }
    }
}

// ---------------------------------------------------------------------------
// Map
// ---------------------------------------------------------------------------

static bool IsSlotIndex(const CacheMap* map, LONG slot)
{
    return slot >= 0 && (ULONG)slot < map->Slots.SlotCount && map->Slots.Entries &&
           map->Slots.Links;
}

LONG LookupSlot(CacheMap* map, ULONG block)
{
    LONG slot = GetBlockSlot(&map->Blocks, block);
    if (slot == NoSlot)
        return NoSlot;
    if (OpenSequence == 0)
        MarkBootSlot(&map->Slots, slot);
    MoveToMru(&map->Slots, slot);
    return slot;
}

// One walk from the LRU head over the slots of one group (boot flag 0 or 1).
// The first slot whose block is colder than the missing one decides: it is
// the victim unless it holds dirty data, which ends the walk.
static LONG WalkForVictim(CacheMap* map, ULONG bootFlag, ULONGLONG heat)
{
    SlotTable* slots = &map->Slots;
    const BlockTable* blocks = &map->Blocks;
    if (!slots->Entries || !slots->Links || !blocks->Entries)
        return NoSlot;
    ULONG members = bootFlag ? slots->BootSlots : slots->OtherSlots;
    if (members == 0 || heat <= slots->HeatFloor[bootFlag])
        return NoSlot;
    ULONGLONG coldest = ~0ull;
    for (LONG s = slots->GroupStart[bootFlag]; s != NoSlot; s = slots->Links[s].Next) {
        const SlotEntry* entry = &slots->Entries[s];
        if (entry->BootFlag != bootFlag) {
            // Slots of the other group at the walk start are skipped from now on.
            if (s == slots->GroupStart[bootFlag])
                slots->GroupStart[bootFlag] = slots->Links[s].Next;
            continue;
        }
        if (entry->Block >= blocks->Count)
            continue;
        ULONGLONG slotHeat = blocks->Entries[entry->Block].Heat;
        if (slotHeat < heat)
            return FindDirtyRun(map, s, NULL, NULL) ? NoSlot : s;
        if (slotHeat < coldest)
            coldest = slotHeat;
    }
    // The whole group was seen: none is colder than "coldest".
    slots->HeatFloor[bootFlag] = coldest;
    return NoSlot;
}

LONG FindVictimSlot(CacheMap* map, ULONGLONG heat)
{
    LONG victim = WalkForVictim(map, 0, heat);
    if (victim == NoSlot && map->Slots.BootSlots > map->MinBoot)
        victim = WalkForVictim(map, 1, heat);
    return victim;
}

bool AssignSlot(CacheMap* map, LONG slot, ULONG block)
{
    if (!IsSlotIndex(map, slot) || map->Slots.Entries[slot].Block != NoBlock)
        return false;
    SlotTable* slots = &map->Slots;
    if (GetBlockSlot(&map->Blocks, block) != NoSlot || block >= map->Blocks.Count ||
        !map->Blocks.Entries) {
        PushFreeSlot(slots, slot);
        return false;
    }
    ULONGLONG firstBit = (ULONGLONG)slot << map->BlockShiftSectors;
    ULONGLONG slotBits = 1ull << map->BlockShiftSectors;
    if (map->ValidBitmap)
        ClearBitRun(map->ValidBitmap, firstBit, slotBits);
    if (map->Mode == CacheModeWriteBack && map->CleanBitmap)
        ClearBitRun(map->CleanBitmap, firstBit, slotBits);

    SlotEntry* entry = &slots->Entries[slot];
    entry->Block = block;
    entry->BootFlag = OpenSequence == 0 ? 1 : 0;
    if (entry->BootFlag)
        slots->BootSlots++;
    else
        slots->OtherSlots++;
    ULONGLONG heat = map->Blocks.Entries[block].Heat;
    if (heat < slots->HeatFloor[entry->BootFlag])
        slots->HeatFloor[entry->BootFlag] = heat;
    AppendMru(slots, slot);
    map->Blocks.Entries[block].Slot = slot;
    return true;
}

LONG AllocateSlot(CacheMap* map, ULONG block)
{
    if (block >= map->Blocks.Count || !map->Blocks.Entries || !map->Slots.Links)
        return NoSlot;
    // A block never gets a second slot: that would leave an orphan copy.
    LONG held = map->Blocks.Entries[block].Slot;
    if (held != NoSlot)
        return held;
    LONG slot = PopFreeSlot(&map->Slots);
    if (slot == NoSlot) {
        LONG victim = FindVictimSlot(map, map->Blocks.Entries[block].Heat);
        if (victim == NoSlot)
            return NoSlot;
        ClearBlockSlot(&map->Blocks, map->Slots.Entries[victim].Block, victim);
        ReleaseSlot(&map->Slots, victim);
        slot = PopFreeSlot(&map->Slots);
        if (slot == NoSlot)
            return NoSlot;
    }
    return AssignSlot(map, slot, block) ? slot : NoSlot;
}

void EvictSlot(CacheMap* map, LONG slot)
{
    if (!IsSlotIndex(map, slot))
        return;
    ClearBlockSlot(&map->Blocks, map->Slots.Entries[slot].Block, slot);
    ReleaseSlot(&map->Slots, slot);
}

void AddHeat(CacheMap* map, ULONG block, ULONG sectors)
{
    if (block >= map->Blocks.Count || !map->Blocks.Entries)
        return;
    ULONGLONG* heat = &map->Blocks.Entries[block].Heat;
    // Heat never wraps: the eviction floors rely on it only growing.
    *heat = *heat > ~0ull - sectors ? ~0ull : *heat + sectors;
}

// Write-back only in the running phase (1) and only for slots taken or hit
// after the control device was first opened.
bool IsWriteThrough(const CacheMap* map, LONG slot)
{
    if (map->Mode != CacheModeWriteBack || DriverPhase != 1 || !IsSlotIndex(map, slot))
        return true;
    const SlotEntry* entry = &map->Slots.Entries[slot];
    return entry->Block == NoBlock || entry->BootFlag != 0;
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
            sectors += CountSetBits(map->ValidBitmap, (ULONGLONG)s << map->BlockShiftSectors,
                                    slotBits);
    }
    return sectors;
}

ULONG SlotGeneration(const CacheMap* map, LONG slot)
{
    return IsSlotIndex(map, slot) ? map->Slots.Entries[slot].Generation : 0;
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

// Phases 0 (boot) and 1 (running) cache; shutdown and unload do not.
bool IsCachingAllowed(ULONG active, ULONG stopRequested, ULONG removing)
{
    UCHAR phase = DriverPhase;
    return !HibernateFlag && active && !stopRequested && !removing && phase <= 1;
}
