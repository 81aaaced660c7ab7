// Cache map of one master: block table, slot table with its LRU list and
// free stack, the eviction rule, and the valid and clean bitmaps.
//
// Everything here is plain computation on nonpaged memory: the map reads no
// driver state (what it depends on is passed in) and allocates only through
// AllocMapMemory (pool.h). The map has no lock: every change runs on the
// master's worker thread, or on a thread that owns the map while the worker
// is stopped or not yet using it (a start request, the hibernation flush,
// shutdown and removal). The bitmaps' routines are in bitmaps.h.
#pragma once

#include "kernel.h"

// ---------------------------------------------------------------------------
// Block numbers and slot indexes
// ---------------------------------------------------------------------------

// A master's block number (its sector >> the block shift) and a slot index of
// the SSD cache area are distinct types, so that passing one for the other
// does not compile. Conversions are explicit; each type compares only with
// its own kind.
struct MasterBlock {
    ULONG Value;
};

struct SsdSlot {
    LONG Value;
};

inline MasterBlock ToMasterBlock(ULONG number)
{
    MasterBlock block = {number};
    return block;
}

inline ULONG FromMasterBlock(MasterBlock block)
{
    return block.Value;
}

inline SsdSlot ToSsdSlot(LONG index)
{
    SsdSlot slot = {index};
    return slot;
}

inline LONG FromSsdSlot(SsdSlot slot)
{
    return slot.Value;
}

inline bool operator==(MasterBlock a, MasterBlock b)
{
    return a.Value == b.Value;
}

inline bool operator!=(MasterBlock a, MasterBlock b)
{
    return a.Value != b.Value;
}

inline bool operator==(SsdSlot a, SsdSlot b)
{
    return a.Value == b.Value;
}

inline bool operator!=(SsdSlot a, SsdSlot b)
{
    return a.Value != b.Value;
}

const SsdSlot NoSlot = {-1};
const MasterBlock NoBlock = {0xFFFFFFFF};  // a slot's block when the slot is free

// Whether the system is still booting (the control device has never been
// opened): a slot taken or hit then becomes a boot slot. The caller passes
// it in (cachestate.h has the driver's current answer).
enum BootTime : UCHAR { AfterBoot = 0, DuringBoot = 1 };

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------
// Largest widths the records can carry: block numbers are u32 with
// 0xFFFFFFFF for "none", slot indexes are i32 with -1 for "none".
const ULONGLONG MaxBlockCount = 0xFFFFFFFFull;
const ULONG MaxSlotCount = 0x7FFFFFFF;

const UCHAR CacheModeWriteBack = 2;  // the map has a clean bitmap

// One entry per master block, so the table is most of a large master's map:
// packed to 4 bytes it carries no hole after the slot index (a quarter of the
// table otherwise). The heat is read and written as a plain field only.
#pragma pack(push, 4)
struct BlockEntry {
    SsdSlot Slot;    // slot holding the block, or NoSlot
    ULONGLONG Heat;  // sectors of every piece that touched the block
};
#pragma pack(pop)
static_assert(sizeof(BlockEntry) == sizeof(SsdSlot) + sizeof(ULONGLONG), "BlockEntry has no padding");

struct BlockTable {
    ULONG Count;
    BlockEntry* Entries;
};

struct SlotEntry {
    MasterBlock Block;         // master block held, or NoBlock for a free slot
    ULONG BootFlag;            // 1: taken or hit before the control device was first opened
    ULONG Generation;          // changes whenever the slot's contents do: assignment, release, invalidation
    volatile LONG IoInFlight;  // own SSD reads and fill writes of the slot not yet completed
    ULONG AssignedAt;          // the table's Assignments once its block took it
};

// The same links serve the LRU list (Next toward the MRU tail) and the free
// stack (Next toward the top).
struct SlotLink {
    SsdSlot Next;
    SsdSlot Prev;
};

struct SlotTable {
    ULONG SlotCount;
    ULONG BootSlots;
    ULONG OtherSlots;
    SlotEntry* Entries;
    SlotLink* Links;
    SsdSlot FreeTop;
    SsdSlot MruTail;
    SsdSlot LruHead;
    // For each group (index = boot flag) a value no used slot of that group
    // has less heat than. A victim needs heat below the missing block's, so a
    // miss whose heat is at or below the floor skips the walk: same decision,
    // no walk. Heat only grows, so the floor stays true until a slot joins.
    ULONGLONG HeatFloor[2];
    // For each group (index = boot flag) a slot of the LRU list before which
    // every slot belongs to the other group, or NoSlot when none of the group
    // is listed. A walk starts there and moves it past the other group's slots
    // it meets first, so a long run of boot slots at the LRU head is walked
    // once, not on every miss.
    SsdSlot GroupStart[2];
    // Counts every change of the LRU order, of a boot flag and every bit
    // change that can make a slot dirty; only ResetCacheMap sets it back.
    ULONGLONG Changes;
    // Counts every assignment of a block to a slot (wraps): what was planned
    // against a slot's block can tell whether the slot changed hands since.
    ULONG Assignments;
};

// Where a dirty-run search may resume: while nothing has changed since the
// last search (Changes), no slot before Start (in LRU order, of the search's
// group) holds a dirty run. A flush that only cleans runs thus walks the list
// once instead of once per run. Code that writes bitmap bytes other than
// through the run operations below (a load from the SSD) calls
// ForgetDirtyHints afterwards.
struct DirtySearchHint {
    bool Valid;
    SsdSlot Start;  // NoSlot: the search found nothing at all
    ULONGLONG Changes;
};

struct CacheMap {
    PDEVICE_OBJECT SsdDevice;  // null: no SSD bound (detached)
    ULONG BlockShiftBytes;
    ULONG BlockShiftSectors;  // at least 3: a slot owns whole bitmap bytes
    ULONG MinBoot;
    UCHAR Mode;  // CacheModeWriteBack or write-through
    UCHAR WriteMode;
    BlockTable Blocks;
    SlotTable Slots;
    ULONGLONG DataStart;  // SSD sector where slot 0 begins
    ULONGLONG DataEnd;    // SSD sector just past the last slot
    ULONG BitmapSize;     // bytes of each bitmap
    UCHAR* ValidBitmap;
    UCHAR* CleanBitmap;             // only in CacheModeWriteBack
    DirtySearchHint DirtyHints[3];  // non-boot, boot, any slot
    volatile LONG OwnIo;            // holds of HoldSsdRange not yet released
    volatile LONG FillsPlanned;     // master reads planned with a fill into a slot (wraps)
    volatile LONG UnwatchedWrites;  // master writes in flight that no write context watches
};

// A run of SSD sectors found by the dirty-run searches.
struct SsdRun {
    PDEVICE_OBJECT SsdDevice;
    ULONGLONG FirstSector;  // absolute SSD sector
    ULONG Sectors;
};

// One slot as saved in the SSD's slot table (little-endian, 8 bytes).
const ULONG SlotStateFree = 0;
const ULONG SlotStateBoot = 2;
const ULONG SlotStateOther = 3;

struct SlotRecord {
    ULONG State;
    ULONG Block;  // 0xFFFFFFFF for a free slot
};
static_assert(sizeof(SlotRecord) == 8, "SlotRecord is 8 bytes on the SSD");

// What a map is sized from before its tables are allocated.
struct CacheMapLayout {
    ULONGLONG MasterSectors;  // master length in sectors
    ULONG SectorShift;        // log2 of the sector size (master and SSD alike)
    ULONG BlockShift;         // log2 of the block size in bytes
    ULONG SlotCount;
    ULONGLONG DataStart;  // SSD sectors
    ULONGLONG DataEnd;
    UCHAR Mode;
    UCHAR WriteMode;
    ULONG MinBoot;
};

// ---------------------------------------------------------------------------
// Sizing
// ---------------------------------------------------------------------------

// STATUS_INVALID_PARAMETER unless the layout gives a usable map: blocks of at
// least 8 sectors and at most 2^31 bytes, a block count that fits u32 block
// numbers, 1 to MaxSlotCount slots, a data area of exactly SlotCount blocks,
// and bitmaps below 4 GiB.
NTSTATUS CheckCacheMapLayout(const CacheMapLayout* layout);

// Checks the layout and fills the map's sizes; the map must hold no table.
// STATUS_INVALID_DEVICE_STATE when it does.
NTSTATUS SizeCacheMap(CacheMap* map, const CacheMapLayout* layout);

// The map's sizes can carry tables: 8 to 2^31 sectors per block, 1 to
// MaxSlotCount slots, bitmaps of at least one bit per slot sector.
bool HasUsableSizes(const CacheMap* map);

// ---------------------------------------------------------------------------
// Block table
// ---------------------------------------------------------------------------
SsdSlot GetBlockSlot(const BlockTable* table, MasterBlock block);
bool SetBlockSlot(BlockTable* table, MasterBlock block, SsdSlot slot);
bool ClearBlockSlot(BlockTable* table, MasterBlock block, SsdSlot slot);
bool AllocBlockTable(BlockTable* table);
void ResetBlockTable(BlockTable* table);
void RebuildBlockTable(BlockTable* table, const SlotTable* slots);
void FreeBlockTable(BlockTable* table);

// ---------------------------------------------------------------------------
// Slot table and its lists (slot indexes must be below SlotCount)
// ---------------------------------------------------------------------------
void AppendMru(SlotTable* table, SsdSlot slot);
void UnlinkSlot(SlotTable* table, SsdSlot slot);
void MoveToMru(SlotTable* table, SsdSlot slot);
void PushFreeSlot(SlotTable* table, SsdSlot slot);
SsdSlot PopFreeSlot(SlotTable* table);
void ReleaseSlot(SlotTable* table, SsdSlot slot);
void MarkBootSlot(SlotTable* table, SsdSlot slot);
void BuildSlotLists(SlotTable* table);
bool AllocSlotTable(SlotTable* table);
void ResetSlotTable(SlotTable* table);
void FreeSlotTable(SlotTable* table);

// Takes the blocks of saved records into freshly allocated tables (lists not
// yet built; BuildSlotLists follows). Records come from the SSD and are not
// trusted: one whose block is at or beyond the block table, or already named
// by an earlier record, leaves its slot free. Each accepted block is entered
// in the block table. Returns false, changing nothing, when a table is missing
// or the slot lists are already built; *dropped (optional) gets the number of
// used records refused.
bool SlotsFromRecords(CacheMap* map, const SlotRecord* records, ULONG recordCount, ULONG* dropped);
// Writes min(recordCount, SlotCount) records; the rest of the array is untouched.
void SlotsToRecords(const SlotTable* table, SlotRecord* records, ULONG recordCount);

// ---------------------------------------------------------------------------
// Map
// ---------------------------------------------------------------------------

// The slot holding a block, moved to the MRU end (and made a boot slot
// during boot); NoSlot when the block has none.
SsdSlot LookupSlot(CacheMap* map, MasterBlock block, BootTime boot);
// The block's slot: the one it holds, else a free one, else a victim's;
// NoSlot when none can be had. A new slot starts with clear bits.
SsdSlot AllocateSlot(CacheMap* map, MasterBlock block, BootTime boot);
SsdSlot FindVictimSlot(CacheMap* map, ULONGLONG heat);
bool AssignSlot(CacheMap* map, SsdSlot slot, MasterBlock block, BootTime boot);
void EvictSlot(CacheMap* map, SsdSlot slot);
void AddHeat(CacheMap* map, MasterBlock block, ULONG sectors);
// A used slot of a write-back map that was taken and hit only after boot: the
// slots whose writes may stay on the SSD in the running phase (see
// IsWriteThrough in cachestate.h).
bool IsWriteBackSlot(const CacheMap* map, SsdSlot slot);
// The block of a master sector with blocks of 2^blockShiftSectors sectors;
// false when its number does not fit a block number.
bool SectorToBlock(ULONGLONG sector, ULONG blockShiftSectors, MasterBlock* block);
// The block that holds a master sector, when the block table has it.
bool BlockOfSector(const CacheMap* map, ULONGLONG sector, MasterBlock* block);
ULONGLONG CountCachedSectors(const CacheMap* map);
void ResetCacheMap(CacheMap* map);
NTSTATUS InitEmptyMap(CacheMap* map);
NTSTATUS InitEmptyMapWithClean(CacheMap* map);
void FreeMapTables(CacheMap* map);
ULONG SlotGeneration(const CacheMap* map, SsdSlot slot);
// Raises the generation of every slot an SSD range touches: their contents
// changed, so work planned on the old contents (a fill, its set-valid item)
// must not apply. Under the map's rules.
void RaiseSsdRangeGeneration(CacheMap* map, ULONGLONG ssdSector, ULONG count);

// Own I/O in flight on the slots of an SSD range: such a slot is never chosen
// as a victim, so its sectors are not given to another block while a read
// from it or a fill into it is on its way. Hold under the map's rules before
// the I/O is sent; release from its completion (any thread, IRQL <=
// DISPATCH_LEVEL: interlocked). The map's tables must stay until every hold
// is released (OwnIoInFlight).
void HoldSsdRange(CacheMap* map, ULONGLONG ssdSector, ULONG count);
void ReleaseSsdRange(CacheMap* map, ULONGLONG ssdSector, ULONG count);
bool IsSlotBusy(const CacheMap* map, SsdSlot slot);
// How many assignments the slot table has made (wraps); a slot given to a
// block after a count was taken is "assigned since" it.
ULONG SlotAssignments(const CacheMap* map);
bool SlotAssignedSince(const CacheMap* map, SsdSlot slot, ULONG assignments);
// A plan gives slots to the pieces of one request one after another; each
// slot a piece was given is held as own I/O until the plan is complete, so no
// later piece of the same request takes it as its victim. Under the map's
// rules; NoSlot is ignored.
void HoldPlannedSlot(CacheMap* map, SsdSlot slot);
void ReleasePlannedSlot(CacheMap* map, SsdSlot slot);
LONG OwnIoInFlight(const CacheMap* map);
void ForgetDirtyHints(CacheMap* map);
