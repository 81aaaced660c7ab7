// A master and its SSD in the emulated machine with the master's cache made
// active by hand, a reference image of what the master should hold, a
// white-box view of the master's cache map and the coherence oracle.
#pragma once

#include <gtest/gtest.h>

#include <emu/machine.h>

#include <sstream>
#include <string>
#include <vector>

#include "tolvarn.h"
#include "bitmaps.h"
#include "entry.h"
#include "cachesetup.h"

namespace cache_test {

struct RigShape {
    ULONG sectorSize = 512;
    ULONG blockShiftSectors = 3;
    ULONG slots = 8;
    UCHAR mode = 1;  // CacheModeWriteBack for a clean bitmap
    uint64_t masterBytes = 1ull << 20;
    emu::CompletionMode completion = emu::CompletionMode::Inline;
    emu::DiskTiming masterTiming = {};
    emu::DiskTiming ssdTiming = {};
    bool writeCache = false;  // both disks keep completed writes in a volatile cache
};

// What a test sees of a master's map, read behind the driver's back at a
// quiet point: the block of every slot and the valid and clean bits.
struct MapView {
    ULONG sectorsPerSlot = 0;
    ULONG sectorShift = 0;
    ULONGLONG dataStart = 0;
    bool hasClean = false;
    std::vector<ULONG> blockOfSlot;  // FromMasterBlock(NoBlock) for a free slot
    std::vector<bool> valid, clean;  // per slot sector

    bool Valid(ULONG slot, ULONG sector) const { return valid[slot * sectorsPerSlot + sector]; }
    bool Clean(ULONG slot, ULONG sector) const { return !hasClean || clean[slot * sectorsPerSlot + sector]; }
    // The slot index holding a block, or -1.
    LONG SlotOf(ULONG block) const
    {
        for (ULONG s = 0; s < blockOfSlot.size(); s++)
            if (blockOfSlot[s] == block)
                return (LONG)s;
        return -1;
    }
    SsdSlot Slot(ULONG block) const { return ToSsdSlot(SlotOf(block)); }
    ULONG ValidCount(ULONG slot) const
    {
        ULONG n = 0;
        for (ULONG i = 0; i < sectorsPerSlot; i++)
            n += Valid(slot, i);
        return n;
    }
};

inline bool Bit(const UCHAR* bits, ULONGLONG i)
{
    return (bits[i >> 3] >> (i & 7)) & 1;
}

inline MapView ViewMap(const CacheMap* map, ULONG sectorShift)
{
    MapView view;
    view.sectorsPerSlot = 1u << map->BlockShiftSectors;
    view.sectorShift = sectorShift;
    view.dataStart = map->DataStart;
    view.hasClean = map->CleanBitmap != NULL;
    for (ULONG s = 0; s < map->Slots.SlotCount; s++) {
        view.blockOfSlot.push_back(FromMasterBlock(map->Slots.Entries[s].Block));
        for (ULONG i = 0; i < view.sectorsPerSlot; i++) {
            ULONGLONG bit = ((ULONGLONG)s << map->BlockShiftSectors) + i;
            view.valid.push_back(Bit(map->ValidBitmap, bit));
            view.clean.push_back(map->CleanBitmap && Bit(map->CleanBitmap, bit));
        }
    }
    return view;
}

// Requests of one major function the disk has received since its request
// log was last cleared.
inline ULONG CountRequests(emu::Disk& disk, UCHAR major)
{
    ULONG n = 0;
    for (const emu::DiskRecord& r : disk.Requests())
        n += r.major == major;
    return n;
}

class CacheRig {
public:
    explicit CacheRig(const RigShape& shape = {})
        : shape_(shape), master(machine.AddDisk({.lengthBytes = shape.masterBytes,
                                                 .sectorSize = shape.sectorSize,
                                                 .serial = "MASTER01",
                                                 .completion = shape.completion,
                                                 .timing = shape.masterTiming,
                                                 .writeCache = shape.writeCache})),
          ssd(machine.AddDisk({.lengthBytes = SsdBytes(shape),
                               .sectorSize = shape.sectorSize,
                               .serial = "SSD00001",
                               .completion = shape.completion,
                               .timing = shape.ssdTiming,
                               .writeCache = shape.writeCache}))
    {
        EXPECT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
        machine.WaitUntilQuiet();
        CacheShape cache;
        cache.blockShiftSectors = shape.blockShiftSectors;
        cache.slots = shape.slots;
        cache.mode = shape.mode;
        cache.dataStart = DataStart;
        EXPECT_EQ(STATUS_SUCCESS, ActivateCache(master, ssd, cache));
        Seed(0, shape.masterBytes, 1);
        master.ClearRequests();
        ssd.ClearRequests();
    }

    static const ULONGLONG DataStart = 64;
    static uint64_t SsdBytes(const RigShape& shape)
    {
        return (DataStart + ((uint64_t)shape.slots << shape.blockShiftSectors) + 64) * shape.sectorSize;
    }

    static FilterExtension* Ext(emu::Disk& disk) { return cache_test::Ext(disk); }
    CacheMap* Map() { return &Ext(master)->Cache.Map; }
    ULONG SectorsPerBlock() const { return 1u << shape_.blockShiftSectors; }
    ULONG BlockBytes() const { return shape_.sectorSize << shape_.blockShiftSectors; }
    MapView View()
    {
        machine.WaitUntilQuiet();
        return ViewMap(Map(), Ext(master)->SectorShift);
    }

    // Writes a fresh pattern into the master, behind the driver, and into the reference.
    void Seed(uint64_t offset, uint64_t bytes, uint32_t tag)
    {
        if (reference.size() < shape_.masterBytes)
            reference.resize(shape_.masterBytes);
        for (uint64_t i = 0; i < bytes; i += 4) {
            uint32_t word = (uint32_t)((offset + i) / 4) * 2654435761u ^ (tag * 40503u);
            memcpy(&reference[offset + i], &word, 4);
        }
        master.WriteBytes(offset, &reference[offset], bytes);
    }

    // Reads through the filter and checks status and data against the
    // reference; returns once the machine is quiet again (the read's
    // completions have ended, its fill has run unless held).
    void ExpectRead(uint64_t offset, ULONG length, ULONG irpFlags = 0)
    {
        std::vector<uint8_t> buffer(length, 0xEE);
        emu::IoResult r = machine.StartRead(master, offset, buffer.data(), length, true, irpFlags).Wait();
        machine.WaitUntilQuiet();
        ASSERT_EQ(r.status, STATUS_SUCCESS) << "read at " << offset;
        EXPECT_EQ(r.information, length);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), reference.begin() + offset))
            << "data of the read at " << offset << "+" << length;
    }

    // Caches a block by reading it whole and letting the fill run.
    void Warm(ULONG block) { ExpectRead((uint64_t)block * BlockBytes(), BlockBytes()); }

    // At a quiet point: every valid sector of a used slot holds, on the SSD,
    // the block's current data (the reference), and every clean valid sector
    // equals the master's bytes. Returns "" or the first broken rule.
    std::string CheckCoherence()
    {
        MapView view = View();
        ULONG sector = shape_.sectorSize;
        for (ULONG s = 0; s < view.blockOfSlot.size(); s++) {
            ULONG block = view.blockOfSlot[s];
            if (block == FromMasterBlock(NoBlock))
                continue;
            for (ULONG i = 0; i < view.sectorsPerSlot; i++) {
                if (!view.Valid(s, i))
                    continue;
                uint64_t masterOffset = ((uint64_t)block * view.sectorsPerSlot + i) * sector;
                uint64_t ssdOffset = (view.dataStart + (uint64_t)s * view.sectorsPerSlot + i) * sector;
                std::vector<uint8_t> onSsd = ssd.Bytes(ssdOffset, sector);
                std::ostringstream where;
                where << "slot " << s << " (block " << block << ") sector " << i;
                if (masterOffset + sector > reference.size())
                    return where.str() + ": a valid sector beyond the master";
                if (!std::equal(onSsd.begin(), onSsd.end(), reference.begin() + masterOffset))
                    return where.str() + ": the SSD does not hold the block's current data";
                if (view.Clean(s, i) && onSsd != master.Bytes(masterOffset, sector))
                    return where.str() + ": clean, yet the master holds other data";
            }
        }
        return "";
    }

    emu::Machine machine;
    RigShape shape_;
    emu::Disk& master;
    emu::Disk& ssd;
    std::vector<uint8_t> reference;
};

}  // namespace cache_test
