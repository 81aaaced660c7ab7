// The driver's pool memory: one tag for every allocation, and the counted
// allocations of cache structures whose bytes a control request reports.
#pragma once

#include "kernel.h"

// Every allocation of the driver is nonpaged pool with this tag (bytes in
// memory 2D 4F 5D FD). The top bit marks it protected: every free passes it.
const ULONG PoolTag = 0xFD5D4F2D;

// Any thread, IRQL <= DISPATCH_LEVEL.
inline PVOID AllocatePool(SIZE_T bytes)
{
    return ExAllocatePoolWithTag(NonPagedPool, bytes, PoolTag);
}

inline void FreePool(PVOID block)
{
    ExFreePoolWithTag(block, PoolTag);
}

// Adds (or, with a negative delta, subtracts) the size of a cache structure
// to the driver's PoolBytes. Any thread; a plain add like the statistics.
void PoolBytesAdd(LONGLONG delta);

// Memory of the cache map's tables and bitmaps, counted in PoolBytes. Sizes of
// 0 or beyond SIZE_T fail like a short pool, so a huge table on the x86 image
// fails instead of wrapping to a small buffer. The map calls these on the
// thread that changes it (see cachemap.h); its unit tests link their own
// definitions in place of pool.cpp.
void* AllocMapMemory(ULONGLONG bytes);
void FreeMapMemory(void* memory, ULONGLONG bytes);
