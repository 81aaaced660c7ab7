// Cache fill and bitmap work: the jobs that completion routines post to a
// master's worker (worker.h), run there one at a time. They change the
// master's cache map, which has no lock: only the worker's thread runs them.
// Data read from the master for a read is written into the SSD slots of its
// blocks by the fill, and the valid bits of what was written are set
// afterwards by a further work item.
//
// A fill is bound to the slot assignments it was planned for. The read path
// hands over, with the data, one ticket per block the data touches: the slot
// the block held when the read was planned and that slot's generation (see
// SlotGeneration). The fill writes a block only while the block still holds
// that slot at that generation, and only the sectors that are still invalid;
// the bits are set only if the generation is still the same when the set-
// valid item runs. Anything that gives a slot new contents (a new block, a
// write, an invalidation) raises the generation, so a late fill can neither
// mark stale data valid nor overwrite newer data. While a fill's SSD write is
// in flight its slots cannot be evicted (HoldSsdRange).
#pragma once

#include "kernel.h"
#include "cachemap.h"

struct FillTicket {
    SsdSlot Slot;  // NoSlot: the block had none; nothing to fill
    ULONG Generation;
};

// After the data: which blocks the tickets are for.
struct FillTickets {
    MasterBlock FirstBlock;
    ULONG BlockShiftSectors;
    ULONG Count;
    FillTicket Ticket[1];  // Count of them
};

// A pool buffer for `bytes` of master data followed by the tickets of the
// blocks of [firstSector, firstSector + sectors) as the map holds them now
// (the map's thread only). Null when short of memory. Freed with FreePool.
// A buffer with a ticket for a slot counts in the map's FillsPlanned.
PVOID AllocateFillBuffer(CacheMap* map, ULONGLONG firstSector, ULONG sectors, ULONG bytes);
// The tickets after `bytes` of data, or null when they are not those of the
// range on a map of this block size (the map was rebuilt meanwhile).
const FillTickets* FillTicketsOf(PVOID buffer, ULONG bytes, const CacheMap* map, ULONGLONG firstSector,
                                 ULONG sectors);

// Whether data read from the master may be copied into its cache now (caching
// allowed); asked by PostFillWork on any thread at IRQL <= DISPATCH_LEVEL,
// without a lock.
bool CanFill(PDEVICE_OBJECT master);

// Work item of kind 3 (master's worker): writes the still-invalid sectors of
// the ticketed blocks into the SSD. True when it kept the buffer (its write
// completions free it); false and the caller frees it.
bool FillCache(PDEVICE_OBJECT master, ULONGLONG masterSector, ULONG count, PVOID buffer);

// Work item of kind 2 (master's worker): sets the valid bits (and in write-back
// mode first the clean bits) of an SSD range inside one slot, unless the
// slot's generation has changed since the data was written.
void SetSsdRangeValid(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count, ULONG generation);

// Work item of kind 1 (master's worker): clears the valid bits of an SSD
// range and raises the generation of its slots, in the slots not given to
// another block since the table's "assignments"; clean bits stay.
void InvalidateSsdRange(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count, ULONG assignments);
