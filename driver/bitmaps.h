// Valid and clean bitmaps of a cache map (bitmaps.cpp): bit-run primitives,
// slot runs, sector conversions, dirty-run searches and range invalidation.
// Plain computation under the map's rules (cachemap.h): no lock, no driver
// state.
#pragma once

#include "kernel.h"
#include "cachemap.h"

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
ULONG SlotBitmapOffset(const CacheMap* map, SsdSlot slot);
bool AllocValidBitmap(CacheMap* map);
bool AllocCleanBitmap(CacheMap* map);
void FreeValidBitmap(CacheMap* map);
void FreeCleanBitmap(CacheMap* map);

// Runs are counted from the first bit of the slot and may go on into the next
// slots; they are cut at the end of the data area.
void SetValidRun(CacheMap* map, SsdSlot slot, ULONGLONG firstBit, ULONG count);
void ClearValidRun(CacheMap* map, SsdSlot slot, ULONGLONG firstBit, ULONG count);
NTSTATUS SetCleanRun(CacheMap* map, SsdSlot slot, ULONGLONG firstBit, ULONG count);
NTSTATUS ClearCleanRun(CacheMap* map, SsdSlot slot, ULONGLONG firstBit, ULONG count);
NTSTATUS MarkSsdRangeValid(CacheMap* map, ULONGLONG ssdSector, ULONG count);

bool SsdSectorToSlot(const CacheMap* map, ULONGLONG ssdSector, SsdSlot* slot, ULONGLONG* slotBit);
void InvalidatePlannedSsdRange(CacheMap* map, ULONGLONG ssdSector, ULONG count, ULONG assignments);
ULONGLONG SlotFirstSsdSector(const CacheMap* map, SsdSlot slot);
// All ones outside the data area and for a free slot.
ULONGLONG SsdToMasterSector(const CacheMap* map, ULONGLONG ssdSector);

// The first dirty sector of the slot (valid and not clean) and the sectors
// from it to the end of its valid run. Either out pointer may be null.
bool FindDirtyRun(const CacheMap* map, SsdSlot slot, ULONGLONG* firstBit, ULONG* count);
bool FindDirtyRunNonBoot(CacheMap* map, SsdRun* run);
bool FindDirtyRunBoot(CacheMap* map, SsdRun* run);
bool FindIdleDestageRun(CacheMap* map, SsdRun* run);
bool FindAnyDirtyRun(CacheMap* map, SsdRun* run);
bool DrainLruHead(CacheMap* map, SsdRun* run);

// Clears the valid bits of every cached sector of [first, first + sectors)
// and raises the generation of their slots, so that no fill planned before
// marks them valid again; looked-up slots move to the MRU end (see
// LookupSlot). Never allocates, so it cannot fail.
NTSTATUS InvalidateMasterRange(CacheMap* map, ULONGLONG firstSector, ULONG sectors, BootTime boot);
