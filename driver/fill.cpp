// Cache fill and bitmap work. Until the cache's read path exists no map is
// ever bound to an SSD: there are no bits to change and nothing to fill.
#include "tolvarn.h"
#include "fill.h"

void InvalidateSsdRange(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count)
{
}

void SetSsdRangeValid(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count)
{
}

bool CanFill(PDEVICE_OBJECT master)
{
    return false;
}

bool FillCache(PDEVICE_OBJECT master, ULONGLONG masterSector, ULONG count, PVOID buffer)
{
    return false;
}
