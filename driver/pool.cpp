// Counted pool memory of the cache structures.
#include "tolvarn.h"
#include "pool.h"

void PoolBytesAdd(LONGLONG delta)
{
    PoolBytes += static_cast<ULONGLONG>(delta);
}

void* AllocMapMemory(ULONGLONG bytes)
{
    if (bytes == 0 || bytes > (ULONGLONG)(SIZE_T) ~(SIZE_T)0)
        return NULL;
    void* memory = AllocatePool((SIZE_T)bytes);
    if (memory)
        PoolBytesAdd((LONGLONG)bytes);
    return memory;
}

void FreeMapMemory(void* memory, ULONGLONG bytes)
{
    if (!memory)
        return;
    FreePool(memory);
    PoolBytesAdd(-(LONGLONG)bytes);
}
