// The driver's pool memory: one tag for every allocation, and the counted
// allocations of cache structures whose bytes a control request reports.
#pragma once

#include "kernel.h"

// Every allocation of the driver is nonpaged pool with this tag (bytes in
// memory 2D 4F 5D FD). The top bit marks the blocks protected: a free must
// name the tag.
const ULONG PoolTag = 0xFD5D4F2D;
// The tag a free passes. Windows compares a protected block's tag without
// the protected bit on both sides; ReactOS keeps the tag without that bit and
// stops the system when a free passes it set. Without the bit both accept.
const ULONG PoolFreeTag = PoolTag & ~PROTECTED_POOL;

// Any thread, IRQL <= DISPATCH_LEVEL.
inline PVOID AllocatePool(SIZE_T bytes)
{
    return ExAllocatePoolWithTag(NonPagedPool, bytes, PoolTag);
}

inline void FreePool(PVOID block)
{
    ExFreePoolWithTag(block, PoolFreeTag);
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
