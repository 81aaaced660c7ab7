// Makes a master's cache active by hand on a booted machine, with an empty
// map on its SSD, the way the cache lifecycle will once it exists. Shared by
// the cache tests and the cache benchmark.
#pragma once

#include <emu/machine.h>

#include "tolvarn.h"

namespace cache_test {

struct CacheShape {
    ULONG blockShiftSectors = 3;
    ULONG slots = 8;
    UCHAR mode = 1;            // CacheModeWriteBack for a clean bitmap
    ULONGLONG dataStart = 64;  // SSD sector of slot 0
};

inline FilterExtension* Ext(emu::Disk& disk)
{
    return FilterExtensionOf(disk.Top());
}

// SSD bytes the shape needs: the data area and a little after it.
inline uint64_t SsdBytesFor(const CacheShape& shape, ULONG sectorSize)
{
    return (shape.dataStart + ((uint64_t)shape.slots << shape.blockShiftSectors) + 64) * sectorSize;
}

inline NTSTATUS ActivateCache(emu::Disk& master, emu::Disk& ssd, const CacheShape& shape)
{
    FilterExtension* m = Ext(master);
    Ext(ssd)->Role = RoleSsd;
    m->Role = RoleMaster;
    CacheMapLayout layout = {};
    layout.MasterSectors = m->LengthSectors;
    layout.SectorShift = m->SectorShift;
    layout.BlockShift = shape.blockShiftSectors + m->SectorShift;
    layout.SlotCount = shape.slots;
    layout.DataStart = shape.dataStart;
    layout.DataEnd = shape.dataStart + ((ULONGLONG)shape.slots << shape.blockShiftSectors);
    layout.Mode = shape.mode;
    layout.WriteMode = 1;
    CacheMap* map = &m->Cache.Map;
    NTSTATUS status = SizeCacheMap(map, &layout);
    if (NT_SUCCESS(status))
        status = shape.mode == CacheModeWriteBack ? InitEmptyMapWithClean(map) : InitEmptyMap(map);
    if (!NT_SUCCESS(status))
        return status;
    map->SsdDevice = ssd.Top();
    m->Cache.Active = 1;
    return STATUS_SUCCESS;
}

}  // namespace cache_test
