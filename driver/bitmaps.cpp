// Valid and clean bitmaps of a cache map: bit-run primitives, slot runs,
// sector conversions, dirty-run searches and range invalidation.
#include "kernel.h"
#include "bitmaps.h"
#include "cachemap.h"
#include "pool.h"

// ---------------------------------------------------------------------------
// Words
// ---------------------------------------------------------------------------

// Runs are scanned a machine word at a time where they cover whole words.
// Bit i of a little-endian word is bit i & 7 of its byte i >> 3, the bitmap's
// own order. Words are read through a type that may alias the bytes and need
// not be aligned.
typedef ULONG_PTR BitWord;
typedef BitWord __attribute__((may_alias, aligned(1))) LooseWord;
static const ULONG WordBits = sizeof(BitWord) * 8;
static const BitWord AllOnes = ~(BitWord)0;
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "bitmap words are little-endian");

static inline ULONG LowestSetBit(BitWord word)
{
#if __SIZEOF_POINTER__ == 8
    return (ULONG)__builtin_ctzll((unsigned long long)word);
#else
    return (ULONG)__builtin_ctz((unsigned int)word);
#endif
}

// Counted without a library call (the kernel images link no compiler runtime).
static inline ULONG PopCount(BitWord word)
{
    word = word - ((word >> 1) & (AllOnes / 3));
    word = (word & (AllOnes / 15 * 3)) + ((word >> 2) & (AllOnes / 15 * 3));
    word = (word + (word >> 4)) & (AllOnes / 255 * 15);
    return (ULONG)((word * (AllOnes / 255)) >> (WordBits - 8));
}

static inline BitWord LoadWord(const UCHAR* bits, ULONGLONG bit)
{
    return *(const LooseWord*)(bits + (ULONG)(bit >> 3));
}

static inline void StoreWord(UCHAR* bits, ULONGLONG bit, BitWord word)
{
    *(LooseWord*)(bits + (ULONG)(bit >> 3)) = word;
}

static inline bool AtWord(ULONGLONG bit, ULONGLONG left)
{
    return (bit & (WordBits - 1)) == 0 && left >= WordBits;
}

// The n bits of one byte from bit "first" (first + n <= 8).
static inline UCHAR ByteMask(ULONG first, ULONG n)
{
    return (UCHAR)(((1u << n) - 1) << first);
}

// Bits of the byte that holds bit "pos" that a run of "left" more bits covers.
static inline ULONG BitsInByte(ULONGLONG pos, ULONGLONG left)
{
    ULONG n = 8 - ((ULONG)pos & 7);
    return left < n ? (ULONG)left : n;
}

// ---------------------------------------------------------------------------
// Bit-run primitives
// ---------------------------------------------------------------------------

UCHAR ByteOneRun(UCHAR byte, ULONG firstBit, ULONG n)
{
    if (firstBit >= 8 || n == 0)
        return 0;
    if (n > 8 - firstBit)
        n = 8 - firstBit;
    if (byte == 0xFF)
        return (UCHAR)n;
    if (byte == 0x00)
        return 0;
    ULONG run = LowestSetBit(~((BitWord)byte >> firstBit));
    return (UCHAR)(run < n ? run : n);
}

UCHAR ByteZeroRun(UCHAR byte, ULONG firstBit, ULONG n)
{
    return ByteOneRun((UCHAR)~byte, firstBit, n);
}

static void FillBitRun(UCHAR* bits, ULONGLONG start, ULONGLONG count, bool set)
{
    ULONGLONG done = 0;
    while (done < count) {
        ULONGLONG pos = start + done;
        ULONGLONG left = count - done;
        if (AtWord(pos, left)) {
            StoreWord(bits, pos, set ? AllOnes : 0);
            done += WordBits;
            continue;
        }
        ULONG n = BitsInByte(pos, left);
        UCHAR mask = ByteMask((ULONG)pos & 7, n);
        UCHAR* byte = bits + (ULONG)(pos >> 3);
        *byte = set ? (UCHAR)(*byte | mask) : (UCHAR)(*byte & ~mask);
        done += n;
    }
}

void SetBitRun(UCHAR* bits, ULONGLONG start, ULONGLONG count)
{
    FillBitRun(bits, start, count, true);
}

void ClearBitRun(UCHAR* bits, ULONGLONG start, ULONGLONG count)
{
    FillBitRun(bits, start, count, false);
}

// Consecutive bits from start that are set in (bits XOR flip), at most limit.
static ULONGLONG CountRun(const UCHAR* bits, ULONGLONG start, ULONGLONG limit, BitWord flip)
{
    ULONGLONG done = 0;
    while (done < limit) {
        ULONGLONG pos = start + done;
        ULONGLONG left = limit - done;
        if (AtWord(pos, left)) {
            BitWord word = LoadWord(bits, pos) ^ flip;
            if (word != AllOnes)
                return done + LowestSetBit(~word);
            done += WordBits;
            continue;
        }
        ULONG n = BitsInByte(pos, left);
        ULONG run = ByteOneRun((UCHAR)(bits[(ULONG)(pos >> 3)] ^ (UCHAR)flip), (ULONG)pos & 7, n);
        done += run;
        if (run < n)
            return done;
    }
    return done;
}

ULONGLONG CountOneRun(const UCHAR* bits, ULONGLONG start, ULONGLONG limit)
{
    return CountRun(bits, start, limit, 0);
}

ULONGLONG CountZeroRun(const UCHAR* bits, ULONGLONG start, ULONGLONG limit)
{
    return CountRun(bits, start, limit, AllOnes);
}

ULONGLONG CountSetBits(const UCHAR* bits, ULONGLONG start, ULONGLONG count)
{
    ULONGLONG done = 0;
    ULONGLONG total = 0;
    while (done < count) {
        ULONGLONG pos = start + done;
        ULONGLONG left = count - done;
        if (AtWord(pos, left)) {
            total += PopCount(LoadWord(bits, pos));
            done += WordBits;
            continue;
        }
        ULONG n = BitsInByte(pos, left);
        total += PopCount(bits[(ULONG)(pos >> 3)] & ByteMask((ULONG)pos & 7, n));
        done += n;
    }
    return total;
}

// Offset from start of the first bit set in "valid" and clear in "clean",
// or count when there is none.
static ULONGLONG FirstDirtyBit(const UCHAR* valid, const UCHAR* clean, ULONGLONG start, ULONGLONG count)
{
    ULONGLONG done = 0;
    while (done < count) {
        ULONGLONG pos = start + done;
        ULONGLONG left = count - done;
        if (AtWord(pos, left)) {
            BitWord dirty = LoadWord(valid, pos) & ~LoadWord(clean, pos);
            if (dirty)
                return done + LowestSetBit(dirty);
            done += WordBits;
            continue;
        }
        ULONG n = BitsInByte(pos, left);
        ULONG index = (ULONG)(pos >> 3);
        UCHAR dirty = (UCHAR)(valid[index] & ~clean[index] & ByteMask((ULONG)pos & 7, n));
        if (dirty) {
            ULONG bit = LowestSetBit(dirty);
            return done + (bit - ((ULONG)pos & 7));
        }
        done += n;
    }
    return count;
}

// ---------------------------------------------------------------------------
// Bitmaps of a map
// ---------------------------------------------------------------------------

ULONG BitmapBytes(ULONG blockShift, ULONG sectorShift, ULONG slots)
{
    if (sectorShift > 16 || blockShift < sectorShift + 3 || blockShift - sectorShift - 3 > 31)
        return 0;
    ULONGLONG bytes = (ULONGLONG)slots << (blockShift - sectorShift - 3);
    ULONGLONG sector = 1ull << sectorShift;
    ULONGLONG rounded = (bytes + sector - 1) & ~(sector - 1);
    return rounded > 0xFFFFFFFFull ? 0 : (ULONG)rounded;
}

ULONG SlotBitmapOffset(const CacheMap* map, SsdSlot slot)
{
    return (ULONG)FromSsdSlot(slot) << (map->BlockShiftSectors - 3);
}

static bool AllocBitmap(CacheMap* map, UCHAR** bitmap)
{
    if (*bitmap)
        return true;
    if (!HasUsableSizes(map))
        return false;
    *bitmap = (UCHAR*)AllocMapMemory(map->BitmapSize);
    return *bitmap != NULL;
}

bool AllocValidBitmap(CacheMap* map)
{
    return AllocBitmap(map, &map->ValidBitmap);
}

bool AllocCleanBitmap(CacheMap* map)
{
    return AllocBitmap(map, &map->CleanBitmap);
}

void FreeValidBitmap(CacheMap* map)
{
    FreeMapMemory(map->ValidBitmap, map->BitmapSize);
    map->ValidBitmap = NULL;
}

void FreeCleanBitmap(CacheMap* map)
{
    FreeMapMemory(map->CleanBitmap, map->BitmapSize);
    map->CleanBitmap = NULL;
}

static bool IsSlot(const CacheMap* map, SsdSlot slot)
{
    return FromSsdSlot(slot) >= 0 && (ULONG)FromSsdSlot(slot) < map->Slots.SlotCount;
}

static bool IsUsedSlot(const CacheMap* map, SsdSlot slot)
{
    return IsSlot(map, slot) && map->Slots.Entries && map->Slots.Entries[FromSsdSlot(slot)].Block != NoBlock;
}

// The first bit of a slot in the bitmaps.
static ULONGLONG SlotFirstBit(const CacheMap* map, SsdSlot slot)
{
    return (ULONGLONG)FromSsdSlot(slot) << map->BlockShiftSectors;
}

// Sets or clears a run that starts at a slot bit; cut at the end of the data
// area so that no caller can reach past the bitmap.
static void ApplySlotRun(CacheMap* map, UCHAR* bitmap, SsdSlot slot, ULONGLONG firstBit, ULONG count,
                         bool set)
{
    if (!bitmap || !IsSlot(map, slot))
        return;
    // Setting valid bits or clearing clean bits can make a slot dirty.
    if (set == (bitmap == map->ValidBitmap))
        map->Slots.Changes++;
    ULONGLONG areaBits = (ULONGLONG)map->Slots.SlotCount << map->BlockShiftSectors;
    ULONGLONG first = SlotFirstBit(map, slot);
    if (firstBit >= areaBits - first)
        return;
    first += firstBit;
    ULONGLONG n = count;
    if (n > areaBits - first)
        n = areaBits - first;
    FillBitRun(bitmap, first, n, set);
}

void SetValidRun(CacheMap* map, SsdSlot slot, ULONGLONG firstBit, ULONG count)
{
    ApplySlotRun(map, map->ValidBitmap, slot, firstBit, count, true);
}

void ClearValidRun(CacheMap* map, SsdSlot slot, ULONGLONG firstBit, ULONG count)
{
    ApplySlotRun(map, map->ValidBitmap, slot, firstBit, count, false);
}

static NTSTATUS ApplyCleanRun(CacheMap* map, SsdSlot slot, ULONGLONG firstBit, ULONG count, bool set)
{
    if (map->Mode != CacheModeWriteBack)
        return STATUS_SUCCESS;
    if (!map->CleanBitmap)
        return STATUS_INVALID_DEVICE_REQUEST;
    ApplySlotRun(map, map->CleanBitmap, slot, firstBit, count, set);
    return STATUS_SUCCESS;
}

NTSTATUS SetCleanRun(CacheMap* map, SsdSlot slot, ULONGLONG firstBit, ULONG count)
{
    return ApplyCleanRun(map, slot, firstBit, count, true);
}

NTSTATUS ClearCleanRun(CacheMap* map, SsdSlot slot, ULONGLONG firstBit, ULONG count)
{
    return ApplyCleanRun(map, slot, firstBit, count, false);
}

NTSTATUS MarkSsdRangeValid(CacheMap* map, ULONGLONG ssdSector, ULONG count)
{
    SsdSlot slot;
    ULONGLONG slotBit;
    if (!SsdSectorToSlot(map, ssdSector, &slot, &slotBit))
        return STATUS_SUCCESS;
    NTSTATUS status = SetCleanRun(map, slot, slotBit, count);
    if (!NT_SUCCESS(status))
        return status;
    SetValidRun(map, slot, slotBit, count);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Conversions
// ---------------------------------------------------------------------------

bool SsdSectorToSlot(const CacheMap* map, ULONGLONG ssdSector, SsdSlot* slot, ULONGLONG* slotBit)
{
    if (ssdSector < map->DataStart || ssdSector >= map->DataEnd)
        return false;
    ULONGLONG offset = ssdSector - map->DataStart;
    ULONGLONG index = offset >> map->BlockShiftSectors;
    if (index >= map->Slots.SlotCount)
        return false;
    *slot = ToSsdSlot((LONG)index);
    *slotBit = offset - (index << map->BlockShiftSectors);
    return true;
}

ULONGLONG SlotFirstSsdSector(const CacheMap* map, SsdSlot slot)
{
    if (FromSsdSlot(slot) < 0)
        return ~0ull;
    return SlotFirstBit(map, slot) + map->DataStart;
}

ULONGLONG SsdToMasterSector(const CacheMap* map, ULONGLONG ssdSector)
{
    SsdSlot slot;
    ULONGLONG slotBit;
    if (!SsdSectorToSlot(map, ssdSector, &slot, &slotBit) || !IsUsedSlot(map, slot))
        return ~0ull;
    ULONG block = FromMasterBlock(map->Slots.Entries[FromSsdSlot(slot)].Block);
    if (block >= map->Blocks.Count)
        return ~0ull;
    return ((ULONGLONG)block << map->BlockShiftSectors) + slotBit;
}

// ---------------------------------------------------------------------------
// Dirty runs
// ---------------------------------------------------------------------------

bool FindDirtyRun(const CacheMap* map, SsdSlot slot, ULONGLONG* firstBit, ULONG* count)
{
    if (!map->ValidBitmap || !map->CleanBitmap || !IsUsedSlot(map, slot))
        return false;
    ULONGLONG slotBits = 1ull << map->BlockShiftSectors;
    ULONGLONG base = SlotFirstBit(map, slot);
    ULONGLONG first = FirstDirtyBit(map->ValidBitmap, map->CleanBitmap, base, slotBits);
    if (first == slotBits)
        return false;
    if (firstBit)
        *firstBit = first;
    if (count)
        *count = (ULONG)CountOneRun(map->ValidBitmap, base + first, slotBits - first);
    return true;
}

static void MakeRun(const CacheMap* map, SsdSlot slot, ULONGLONG firstBit, ULONG count, SsdRun* run)
{
    run->SsdDevice = map->SsdDevice;
    run->FirstSector = SlotFirstSsdSector(map, slot) + firstBit;
    run->Sectors = count;
}

static const ULONG AnyGroup = 2;

// Walks the LRU list from its head (or from where the last search of the same
// group stopped, when nothing has changed since); group 0 or 1 takes only
// slots with that boot flag, AnyGroup every used slot.
static bool FindDirtyInLru(CacheMap* map, ULONG group, SsdRun* run)
{
    SlotTable* slots = &map->Slots;
    if (!slots->Entries || !slots->Links)
        return false;
    DirtySearchHint* hint = &map->DirtyHints[group];
    SsdSlot s = group == AnyGroup ? slots->LruHead : slots->GroupStart[group];
    if (hint->Valid && hint->Changes == slots->Changes)
        s = hint->Start;
    for (; s != NoSlot; s = slots->Links[FromSsdSlot(s)].Next) {
        if (group != AnyGroup && slots->Entries[FromSsdSlot(s)].BootFlag != group) {
            if (s == slots->GroupStart[group])
                slots->GroupStart[group] = slots->Links[FromSsdSlot(s)].Next;
            continue;
        }
        ULONGLONG firstBit;
        ULONG count;
        if (FindDirtyRun(map, s, &firstBit, &count)) {
            MakeRun(map, s, firstBit, count, run);
            break;
        }
    }
    hint->Valid = true;
    hint->Start = s;
    hint->Changes = slots->Changes;
    return s != NoSlot;
}

bool FindDirtyRunNonBoot(CacheMap* map, SsdRun* run)
{
    return FindDirtyInLru(map, 0, run);
}

bool FindDirtyRunBoot(CacheMap* map, SsdRun* run)
{
    return FindDirtyInLru(map, 1, run);
}

static bool CanHoldDirtyData(const CacheMap* map)
{
    return map->SsdDevice && map->ValidBitmap && map->CleanBitmap;
}

bool FindIdleDestageRun(CacheMap* map, SsdRun* run)
{
    if (!CanHoldDirtyData(map))
        return false;
    return FindDirtyRunNonBoot(map, run) || FindDirtyRunBoot(map, run);
}

bool FindAnyDirtyRun(CacheMap* map, SsdRun* run)
{
    if (!CanHoldDirtyData(map))
        return false;
    return FindDirtyInLru(map, AnyGroup, run);
}

bool DrainLruHead(CacheMap* map, SsdRun* run)
{
    if (!map->SsdDevice || !map->Slots.Links || map->Slots.LruHead == NoSlot)
        return false;
    SsdSlot head = map->Slots.LruHead;
    ULONGLONG firstBit;
    ULONG count;
    if (map->Mode == CacheModeWriteBack && FindDirtyRun(map, head, &firstBit, &count)) {
        MakeRun(map, head, firstBit, count, run);
        return true;
    }
    EvictSlot(map, head);
    run->SsdDevice = map->SsdDevice;
    run->FirstSector = ~0ull;
    run->Sectors = 0;
    return true;
}

// ---------------------------------------------------------------------------
// Range invalidation
// ---------------------------------------------------------------------------

// Clears, slot by slot, the valid bits of an SSD range that a request planned
// once the slot table had made "assignments" assignments, and raises each
// slot's generation. A slot given to another block since keeps its bits: the
// request was about the block the slot held then, whose copy went with it.
void InvalidatePlannedSsdRange(CacheMap* map, ULONGLONG ssdSector, ULONG count, ULONG assignments)
{
    ULONGLONG slotSectors = 1ull << map->BlockShiftSectors;
    SsdSlot slot;
    ULONGLONG slotBit;
    while (count != 0 && SsdSectorToSlot(map, ssdSector, &slot, &slotBit)) {
        ULONG sectors = slotSectors - slotBit < count ? (ULONG)(slotSectors - slotBit) : count;
        if (!SlotAssignedSince(map, slot, assignments)) {
            ClearValidRun(map, slot, slotBit, sectors);
            RaiseSsdRangeGeneration(map, ssdSector, sectors);
        }
        ssdSector += sectors;
        count -= sectors;
    }
}

// Clearing bits cannot fail, so each piece is cleared as it is looked up; the
// result is what collecting the runs first and clearing them after would give,
// without a run array that could fail to grow and leave stale sectors valid.
NTSTATUS InvalidateMasterRange(CacheMap* map, ULONGLONG firstSector, ULONG sectors, BootTime boot)
{
    if (sectors == 0 || !map->SsdDevice || !map->ValidBitmap || !map->Blocks.Entries)
        return STATUS_SUCCESS;
    ULONG shift = map->BlockShiftSectors;
    ULONGLONG blockSectors = 1ull << shift;
    ULONGLONG last = firstSector + (sectors - 1);
    if (last < firstSector)
        last = ~0ull;
    ULONGLONG sector = firstSector;
    MasterBlock block;
    while (BlockOfSector(map, sector, &block)) {
        ULONGLONG blockStart = (ULONGLONG)FromMasterBlock(block) << shift;
        ULONGLONG from = sector - blockStart;
        ULONGLONG to = last - blockStart < blockSectors ? last - blockStart + 1 : blockSectors;
        SsdSlot slot = LookupSlot(map, block, boot);
        if (slot != NoSlot) {
            ClearValidRun(map, slot, from, (ULONG)(to - from));
            RaiseSsdRangeGeneration(map, SlotFirstSsdSector(map, slot) + from, (ULONG)(to - from));
        }
        if (last - blockStart < blockSectors)
            break;
        sector = blockStart + blockSectors;
    }
    return STATUS_SUCCESS;
}
