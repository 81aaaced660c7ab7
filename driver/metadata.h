// Placeholder until the on-SSD metadata is built; its owner completes this header.
#pragma once
#include "kernel.h"

// A master's layout of its SSD cache area (offsets in bytes, absolute on the SSD).
struct CacheGeometry {
    ULONG SlotCount;
    ULONG BlockShift;
    ULONGLONG SlotTableOffset;
    ULONGLONG ValidBitmapOffset;
    ULONGLONG CleanBitmapOffset;
    ULONGLONG DataStart;
    ULONGLONG DataEnd;
};
