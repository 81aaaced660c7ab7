// Test helpers for the cache map: a map builder, the invariant checker and a
// plain reference model of the slot lists and the eviction rule.
#pragma once

#include "kernel.h"
#include "bitmaps.h"
#include "cachemap.h"
#include "printers.h"
#include "testpool.h"

#include <algorithm>
#include <list>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace cachemap_test {

// Test numbers as the map's types.
inline MasterBlock B(ULONG number)
{
    return ToMasterBlock(number);
}
inline SsdSlot S(LONG index)
{
    return ToSsdSlot(index);
}

// The boot time the tests pass to the map: DuringBoot stands for a driver
// whose control device has not been opened yet.
inline BootTime bootTime = AfterBoot;

// The nth next pool allocation fails (1 = the very next one).
inline void FailPoolAllocation(ULONG nth)
{
    testpool::FailNth(nth);
}
inline void StopPoolFailures()
{
    testpool::StopFailures();
}
inline uint64_t LivePoolBlocks()
{
    return testpool::LiveBlocks();
}
// The pool bytes the map's memory counts, as the driver's PoolBytes would.
inline uint64_t MapPoolBytes()
{
    return testpool::Bytes();
}

// Sizes of a small test map; data area at SSD sector DataStart.
struct MapShape {
    ULONG Slots;
    ULONG Blocks;             // block-table count wanted (master length follows)
    ULONG SectorShift;        // 9 or 12
    ULONG BlockShiftSectors;  // at least 3
    UCHAR Mode;
    ULONG MinBoot;
    ULONGLONG DataStart;
};

inline CacheMapLayout LayoutOf(const MapShape& shape)
{
    CacheMapLayout layout = {};
    layout.MasterSectors = (ULONGLONG)(shape.Blocks - 1) << shape.BlockShiftSectors;
    layout.SectorShift = shape.SectorShift;
    layout.BlockShift = shape.BlockShiftSectors + shape.SectorShift;
    layout.SlotCount = shape.Slots;
    layout.DataStart = shape.DataStart;
    layout.DataEnd = shape.DataStart + ((ULONGLONG)shape.Slots << shape.BlockShiftSectors);
    layout.Mode = shape.Mode;
    layout.WriteMode = 1;
    layout.MinBoot = shape.MinBoot;
    return layout;
}

// Pool bytes a populated map of this shape holds.
inline ULONGLONG ExpectedMapBytes(const CacheMap& map)
{
    ULONGLONG bytes = 0;
    if (map.Blocks.Entries)
        bytes += (ULONGLONG)map.Blocks.Count * sizeof(BlockEntry);
    if (map.Slots.Entries)
        bytes += (ULONGLONG)map.Slots.SlotCount * sizeof(SlotEntry);
    if (map.Slots.Links)
        bytes += (ULONGLONG)map.Slots.SlotCount * sizeof(SlotLink);
    if (map.ValidBitmap)
        bytes += map.BitmapSize;
    if (map.CleanBitmap)
        bytes += map.BitmapSize;
    return bytes;
}

// Owns one populated map for a test; frees it at the end.
class TestMap {
public:
    explicit TestMap(const MapShape& shape, PDEVICE_OBJECT ssd = (PDEVICE_OBJECT)&ssdStandIn_)
        : baseline_(MapPoolBytes())
    {
        ResetCacheMap(&map_);
        CacheMapLayout layout = LayoutOf(shape);
        status_ = SizeCacheMap(&map_, &layout);
        if (NT_SUCCESS(status_))
            status_ = shape.Mode == CacheModeWriteBack ? InitEmptyMapWithClean(&map_) : InitEmptyMap(&map_);
        map_.SsdDevice = ssd;
    }
    ~TestMap() { FreeMapTables(&map_); }
    TestMap(const TestMap&) = delete;
    TestMap& operator=(const TestMap&) = delete;

    CacheMap* operator->() { return &map_; }
    CacheMap* get() { return &map_; }
    NTSTATUS status() const { return status_; }
    ULONGLONG baseline() const { return baseline_; }

    // Fills slots 0..n-1 with blocks 0..n-1 (in that LRU order) at the given heats.
    void Fill(const std::vector<ULONGLONG>& heats)
    {
        for (ULONG b = 0; b < heats.size(); b++) {
            AllocateSlot(&map_, B(b), bootTime);
            map_.Blocks.Entries[b].Heat = heats[b];
        }
    }

private:
    static inline int ssdStandIn_ = 0;
    CacheMap map_;
    NTSTATUS status_;
    ULONGLONG baseline_;
};

inline bool Dirty(const CacheMap& map, ULONG bit)
{
    bool valid = (map.ValidBitmap[bit >> 3] >> (bit & 7)) & 1;
    bool clean = map.CleanBitmap && ((map.CleanBitmap[bit >> 3] >> (bit & 7)) & 1);
    return map.CleanBitmap && valid && !clean;
}

// Every structural rule of a populated map. Returns "" or the first broken
// rule. poolBaseline: MapPoolBytes() before the map was built.
inline std::string CheckMapInvariants(const CacheMap& map, ULONGLONG poolBaseline)
{
    std::ostringstream err;
    const SlotTable& t = map.Slots;
    const ULONG n = t.SlotCount;
    if (MapPoolBytes() != poolBaseline + ExpectedMapBytes(map)) {
        err << "pool bytes " << MapPoolBytes() << " != " << poolBaseline + ExpectedMapBytes(map);
        return err.str();
    }
    if (!t.Entries || !t.Links)
        return "";
    std::vector<int> seen(n, 0);

    // LRU list: head to tail along Next, Prev pointing back.
    ULONG used = 0;
    SsdSlot prev = NoSlot;
    for (SsdSlot slot = t.LruHead; slot != NoSlot; slot = t.Links[FromSsdSlot(slot)].Next) {
        LONG s = FromSsdSlot(slot);
        if (s < 0 || (ULONG)s >= n || ++seen[s] > 1)
            return "LRU list has a bad index or a cycle at " + std::to_string(s);
        if (t.Links[s].Prev != prev)
            return "LRU prev link broken at slot " + std::to_string(s);
        if (t.Entries[s].Block == NoBlock)
            return "free slot on the LRU list: " + std::to_string(s);
        prev = slot;
        used++;
    }
    if (t.MruTail != prev)
        return "MRU tail is not the last slot of the LRU list";
    for (ULONG group = 0; group < 2; group++) {
        bool reached = false;
        for (SsdSlot slot = t.LruHead; slot != NoSlot && !reached; slot = t.Links[FromSsdSlot(slot)].Next) {
            reached = slot == t.GroupStart[group];
            if (!reached && t.Entries[FromSsdSlot(slot)].BootFlag == group)
                return "a slot of group " + std::to_string(group) + " lies before its walk start";
        }
        if (!reached && t.GroupStart[group] != NoSlot)
            return "walk start of group " + std::to_string(group) + " is not on the LRU list";
    }

    // Free stack: top down along Prev, Next pointing up.
    SsdSlot above = NoSlot;
    for (SsdSlot slot = t.FreeTop; slot != NoSlot; slot = t.Links[FromSsdSlot(slot)].Prev) {
        LONG s = FromSsdSlot(slot);
        if (s < 0 || (ULONG)s >= n || ++seen[s] > 1)
            return "free stack has a bad index, a cycle or a listed slot at " + std::to_string(s);
        if (t.Links[s].Next != above)
            return "free stack next link broken at slot " + std::to_string(s);
        if (t.Entries[s].Block != NoBlock)
            return "used slot on the free stack: " + std::to_string(s);
        if (t.Entries[s].BootFlag != 0)
            return "free slot with a boot flag: " + std::to_string(s);
        above = slot;
    }
    for (ULONG s = 0; s < n; s++)
        if (seen[s] != 1)
            return "slot on no list: " + std::to_string(s);

    // Counters and the two-way mapping.
    ULONG boot = 0;
    for (ULONG s = 0; s < n; s++) {
        const SlotEntry& e = t.Entries[s];
        if (e.Block == NoBlock)
            continue;
        boot += e.BootFlag ? 1 : 0;
        if (e.BootFlag > 1)
            return "boot flag not 0 or 1 in slot " + std::to_string(s);
        ULONG block = FromMasterBlock(e.Block);
        if (block >= map.Blocks.Count || map.Blocks.Entries[block].Slot != S((LONG)s))
            return "slot " + std::to_string(s) + " names a block that does not name it";
        if (map.Blocks.Entries[block].Heat < t.HeatFloor[e.BootFlag])
            return "heat floor above the heat of slot " + std::to_string(s);
    }
    if (boot != t.BootSlots || used - boot != t.OtherSlots)
        return "boot/other counters do not match the flags";
    for (ULONG b = 0; b < map.Blocks.Count; b++) {
        LONG s = FromSsdSlot(map.Blocks.Entries[b].Slot);
        if (s == FromSsdSlot(NoSlot))
            continue;
        if (s < 0 || (ULONG)s >= n || t.Entries[s].Block != B(b))
            return "block " + std::to_string(b) + " names a slot that does not hold it";
    }

    // Dirty data exists only in a write-back map.
    if (map.Mode != CacheModeWriteBack && map.CleanBitmap)
        return "clean bitmap outside write-back mode";
    return "";
}

// Reference model: the slot lists as a std::list of blocks (front = LRU head)
// and a std::map, the eviction rule as written, without any shortcut. It
// works in plain numbers; NoSlotIndex stands for NoSlot.
const LONG NoSlotIndex = -1;

struct ModelSlot {
    LONG Slot;
    bool Boot;
};

class Model {
public:
    Model(ULONG slots, ULONG blocks, ULONG minBoot) : blocks_(blocks), minBoot_(minBoot), heat_(blocks, 0)
    {
        for (ULONG s = slots; s-- > 0;)
            free_.push_back((LONG)s);
    }

    LONG Lookup(ULONG block, bool booting)
    {
        auto it = cached_.find(block);
        if (it == cached_.end())
            return NoSlotIndex;
        if (booting)
            it->second.Boot = true;
        lru_.remove(block);
        lru_.push_back(block);
        return it->second.Slot;
    }

    // dirty(slot) answers whether the map's slot holds a dirty run.
    template <class DirtyFn>
    LONG Allocate(ULONG block, bool booting, DirtyFn dirty)
    {
        if (block >= blocks_)
            return NoSlotIndex;
        if (cached_.count(block))
            return cached_[block].Slot;
        if (free_.empty()) {
            ULONG victim;
            if (!FindVictim(heat_[block], dirty, &victim))
                return NoSlotIndex;
            Evict(victim);
        }
        LONG slot = free_.back();
        free_.pop_back();
        cached_[block] = ModelSlot{slot, booting};
        lru_.push_back(block);
        return slot;
    }

    void Evict(ULONG block)
    {
        free_.push_back(cached_[block].Slot);
        cached_.erase(block);
        lru_.remove(block);
    }

    void AddHeat(ULONG block, ULONG sectors)
    {
        if (block < blocks_)
            heat_[block] += sectors;
    }

    bool Holds(ULONG block) const { return cached_.count(block) != 0; }
    LONG SlotOf(ULONG block) const { return cached_.at(block).Slot; }
    size_t Used() const { return cached_.size(); }
    ULONG BootCount() const
    {
        ULONG n = 0;
        for (auto& kv : cached_)
            n += kv.second.Boot ? 1 : 0;
        return n;
    }
    const std::list<ULONG>& Lru() const { return lru_; }
    const std::map<ULONG, ModelSlot>& Cached() const { return cached_; }
    ULONGLONG Heat(ULONG block) const { return heat_[block]; }

private:
    template <class DirtyFn>
    bool FindVictim(ULONGLONG h, DirtyFn dirty, ULONG* victim)
    {
        if (Walk(false, h, dirty, victim))
            return true;
        return BootCount() > minBoot_ && Walk(true, h, dirty, victim);
    }

    template <class DirtyFn>
    bool Walk(bool boot, ULONGLONG h, DirtyFn dirty, ULONG* victim)
    {
        for (ULONG block : lru_) {
            const ModelSlot& m = cached_[block];
            if (m.Boot != boot || heat_[block] >= h)
                continue;
            if (dirty(m.Slot))
                return false;
            *victim = block;
            return true;
        }
        return false;
    }

    ULONG blocks_;
    ULONG minBoot_;
    std::vector<ULONGLONG> heat_;
    std::vector<LONG> free_;  // back = top
    std::list<ULONG> lru_;
    std::map<ULONG, ModelSlot> cached_;
};

// The first dirty run in LRU order, found the slow way: group 0 or 1 looks
// only at slots with that boot flag, 2 at every used slot.
inline bool NaiveDirtySearch(CacheMap& map, ULONG group, SsdRun* run)
{
    for (SsdSlot s = map.Slots.LruHead; s != NoSlot; s = map.Slots.Links[FromSsdSlot(s)].Next) {
        if (group < 2 && map.Slots.Entries[FromSsdSlot(s)].BootFlag != group)
            continue;
        ULONGLONG first;
        ULONG count;
        if (FindDirtyRun(&map, s, &first, &count)) {
            run->SsdDevice = map.SsdDevice;
            run->FirstSector = SlotFirstSsdSector(&map, s) + first;
            run->Sectors = count;
            return true;
        }
    }
    return false;
}

// The map's LRU order as block numbers, head first.
inline std::list<ULONG> LruBlocks(const CacheMap& map)
{
    std::list<ULONG> blocks;
    for (SsdSlot s = map.Slots.LruHead; s != NoSlot; s = map.Slots.Links[FromSsdSlot(s)].Next)
        blocks.push_back(FromMasterBlock(map.Slots.Entries[FromSsdSlot(s)].Block));
    return blocks;
}

}  // namespace cachemap_test
