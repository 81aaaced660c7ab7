// Cache map of one master: block table, slot table with its LRU list and
// free stack, the eviction rule, and the valid and clean bitmaps.
//
// Everything here is plain computation on nonpaged memory. The map has no
// lock: every change runs on the master's worker thread, or on a thread that
// owns the map while the worker is stopped or not yet using it.
#pragma once

#include "kernel.h"

// ---------------------------------------------------------------------------
// Driver globals read here (defined in entry.cpp).
// ---------------------------------------------------------------------------
extern volatile UCHAR DriverPhase;
extern volatile ULONG HibernateFlag;
extern volatile ULONG OpenSequence;
extern volatile ULONGLONG PoolBytes;

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------
const LONG NoSlot = -1;
const ULONG NoBlock = 0xFFFFFFFF;   // a slot's block when the slot is free

// Largest widths the records can carry: block numbers are u32 with
// 0xFFFFFFFF for "none", slot indexes are i32 with -1 for "none".
const ULONGLONG MaxBlockCount = 0xFFFFFFFFull;
const ULONG MaxSlotCount = 0x7FFFFFFF;

const UCHAR CacheModeWriteBack = 2;   // the map has a clean bitmap

struct BlockEntry {
    LONG Slot;            // slot holding the block, or NoSlot
    ULONGLONG Heat;       // sectors of every piece that touched the block
};

struct BlockTable {
    ULONG Count;
    BlockEntry* Entries;
};

struct SlotEntry {
    ULONG Block;          // master block held, or NoBlock for a free slot
    ULONG BootFlag;       // 1: taken or hit before the control device was first opened
    ULONG Generation;     // changes each time the slot is freed, so queued work can tell it was reused
};

// The same links serve the LRU list (Next toward the MRU tail) and the free
// stack (Next toward the top).
struct SlotLink {
    LONG Next;
    LONG Prev;
};

struct SlotTable {
    ULONG SlotCount;
    ULONG BootSlots;
    ULONG OtherSlots;
    SlotEntry* Entries;
    SlotLink* Links;
    LONG FreeTop;
    LONG MruTail;
    LONG LruHead;
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
    LONG GroupStart[2];
    // Counts every change of the LRU order, of a boot flag and every bit
    // change that can make a slot dirty; only ResetCacheMap sets it back.
    ULONGLONG Changes;
};

// Where a dirty-run search may resume: while nothing has changed since the
// last search (Changes), no slot before Start (in LRU order, of the search's
// group) holds a dirty run. A flush that only cleans runs thus walks the list
// once instead of once per run. Code that writes bitmap bytes other than
// through the run operations below (a load from the SSD) calls
// ForgetDirtyHints afterwards.
struct DirtySearchHint {
    bool Valid;
    LONG Start;            // NoSlot: the search found nothing at all
    ULONGLONG Changes;
};

struct CacheMap {
    PDEVICE_OBJECT SsdDevice;     // null: no SSD bound (detached)
    ULONG BlockShiftBytes;
    ULONG BlockShiftSectors;      // at least 3: a slot owns whole bitmap bytes
    ULONG MinBoot;
    UCHAR Mode;                   // CacheModeWriteBack or write-through
    UCHAR WriteMode;
    BlockTable Blocks;
    SlotTable Slots;
    ULONGLONG DataStart;          // SSD sector where slot 0 begins
    ULONGLONG DataEnd;            // SSD sector just past the last slot
    ULONG BitmapSize;             // bytes of each bitmap
    UCHAR* ValidBitmap;
    UCHAR* CleanBitmap;           // only in CacheModeWriteBack
    DirtySearchHint DirtyHints[3];   // non-boot, boot, any slot
};

// A run of SSD sectors found by the dirty-run searches.
struct SsdRun {
    PDEVICE_OBJECT SsdDevice;
    ULONGLONG FirstSector;        // absolute SSD sector
    ULONG Sectors;
};

// One slot as saved in the SSD's slot table (little-endian, 8 bytes).
const ULONG SlotStateFree = 0;
const ULONG SlotStateBoot = 2;
const ULONG SlotStateOther = 3;

struct SlotRecord {
    ULONG State;
    ULONG Block;                  // 0xFFFFFFFF for a free slot
};
static_assert(sizeof(SlotRecord) == 8, "SlotRecord is 8 bytes on the SSD");

// What a map is sized from before its tables are allocated.
struct CacheMapLayout {
    ULONGLONG MasterSectors;      // master length in sectors
    ULONG SectorShift;            // log2 of the sector size (master and SSD alike)
    ULONG BlockShift;             // log2 of the block size in bytes
    ULONG SlotCount;
    ULONGLONG DataStart;          // SSD sectors
    ULONGLONG DataEnd;
    UCHAR Mode;
    UCHAR WriteMode;
    ULONG MinBoot;
};

// ---------------------------------------------------------------------------
// Pool memory of the tables and bitmaps, counted in PoolBytes. Sizes that do
// not fit SIZE_T fail like a short pool.
// ---------------------------------------------------------------------------
void* AllocMapMemory(ULONGLONG bytes);
void FreeMapMemory(void* memory, ULONGLONG bytes);

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
LONG GetBlockSlot(const BlockTable* table, ULONG block);
bool SetBlockSlot(BlockTable* table, ULONG block, LONG slot);
bool ClearBlockSlot(BlockTable* table, ULONG block, LONG slot);
bool AllocBlockTable(BlockTable* table);
void ResetBlockTable(BlockTable* table);
void RebuildBlockTable(BlockTable* table, const SlotTable* slots);
void FreeBlockTable(BlockTable* table);

// ---------------------------------------------------------------------------
// Slot table and its lists (slot indexes must be below SlotCount)
// ---------------------------------------------------------------------------
void AppendMru(SlotTable* table, LONG slot);
void UnlinkSlot(SlotTable* table, LONG slot);
void MoveToMru(SlotTable* table, LONG slot);
void PushFreeSlot(SlotTable* table, LONG slot);
LONG PopFreeSlot(SlotTable* table);
void ReleaseSlot(SlotTable* table, LONG slot);
void MarkBootSlot(SlotTable* table, LONG slot);
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
bool SlotsFromRecords(CacheMap* map, const SlotRecord* records, ULONG recordCount,
                      ULONG* dropped);
// Writes min(recordCount, SlotCount) records; the rest of the array is untouched.
void SlotsToRecords(const SlotTable* table, SlotRecord* records, ULONG recordCount);

// ---------------------------------------------------------------------------
// Map
// ---------------------------------------------------------------------------
LONG LookupSlot(CacheMap* map, ULONG block);
LONG AllocateSlot(CacheMap* map, ULONG block);
LONG FindVictimSlot(CacheMap* map, ULONGLONG heat);
bool AssignSlot(CacheMap* map, LONG slot, ULONG block);
void EvictSlot(CacheMap* map, LONG slot);
void AddHeat(CacheMap* map, ULONG block, ULONG sectors);
bool IsWriteThrough(const CacheMap* map, LONG slot);
ULONGLONG CountCachedSectors(const CacheMap* map);
void ResetCacheMap(CacheMap* map);
NTSTATUS InitEmptyMap(CacheMap* map);
NTSTATUS InitEmptyMapWithClean(CacheMap* map);
void FreeMapTables(CacheMap* map);
ULONG SlotGeneration(const CacheMap* map, LONG slot);
void ForgetDirtyHints(CacheMap* map);

// Caching of new blocks is allowed for an active master with no stop pending
// that is not being removed, while the system is neither hibernating nor
// shutting down.
bool IsCachingAllowed(ULONG active, ULONG stopRequested, ULONG removing);

// ---------------------------------------------------------------------------
// Bit-run primitives (bit i is bit i & 7 of byte i >> 3)
// ---------------------------------------------------------------------------
void SetBitRun(UCHAR* bits, ULONGLONG start, ULONGLONG count);
void ClearBitRun(UCHAR* bits, ULONGLONG start, ULONGLONG count);
ULONGLONG CountZeroRun(const UCHAR* bits, ULONGLONG start, ULONGLONG limit);
ULONGLONG CountOneRun(const UCHAR* bits, ULONGLONG start, ULONGLONG limit);
ULONGLONG CountSetBits(const UCHAR* bits, ULONGLONG start, ULONGLONG count);
UCHAR ByteZeroRun(UCHAR byte, ULONG firstBit, ULONG n);
UCHAR ByteOneRun(UCHAR byte, ULONG firstBit, ULONG n);

// ---------------------------------------------------------------------------
// Valid and clean bitmaps
// ---------------------------------------------------------------------------

// slots << (blockShift - sectorShift - 3) rounded up to a whole sector; 0 when
// the shifts give no whole bitmap byte per slot or the size does not fit u32.
ULONG BitmapBytes(ULONG blockShift, ULONG sectorShift, ULONG slots);
ULONG SlotBitmapOffset(const CacheMap* map, LONG slot);
bool AllocValidBitmap(CacheMap* map);
bool AllocCleanBitmap(CacheMap* map);
void FreeValidBitmap(CacheMap* map);
void FreeCleanBitmap(CacheMap* map);

// Runs are counted from the first bit of the slot and may go on into the next
// slots; they are cut at the end of the data area.
void SetValidRun(CacheMap* map, LONG slot, ULONGLONG firstBit, ULONG count);
void ClearValidRun(CacheMap* map, LONG slot, ULONGLONG firstBit, ULONG count);
NTSTATUS SetCleanRun(CacheMap* map, LONG slot, ULONGLONG firstBit, ULONG count);
NTSTATUS ClearCleanRun(CacheMap* map, LONG slot, ULONGLONG firstBit, ULONG count);
NTSTATUS MarkSsdRangeValid(CacheMap* map, ULONGLONG ssdSector, ULONG count);

bool SsdSectorToSlot(const CacheMap* map, ULONGLONG ssdSector, LONG* slot,
                     ULONGLONG* slotBit);
ULONGLONG SlotFirstSsdSector(const CacheMap* map, LONG slot);
// All ones outside the data area and for a free slot.
ULONGLONG SsdToMasterSector(const CacheMap* map, ULONGLONG ssdSector);

// The first dirty sector of the slot (valid and not clean) and the sectors
// from it to the end of its valid run. Either out pointer may be null.
bool FindDirtyRun(const CacheMap* map, LONG slot, ULONGLONG* firstBit, ULONG* count);
bool FindDirtyRunNonBoot(CacheMap* map, SsdRun* run);
bool FindDirtyRunBoot(CacheMap* map, SsdRun* run);
bool FindIdleDestageRun(CacheMap* map, SsdRun* run);
bool FindAnyDirtyRun(CacheMap* map, SsdRun* run);
bool DrainLruHead(CacheMap* map, SsdRun* run);

// Clears the valid bits of every cached sector of [first, first + sectors);
// looked-up slots move to the MRU end. Never allocates, so it cannot fail.
NTSTATUS InvalidateMasterRange(CacheMap* map, ULONGLONG firstSector, ULONG sectors);
