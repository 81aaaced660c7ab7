// The cache map's pool memory for its unit tests that link no kernel stand-in:
// the rules of driver/pool.cpp (sizes of 0 or beyond SIZE_T fail) over the
// heap, counted.
#include "testpool.h"

#include <stdlib.h>

#include "kernel.h"
#include "pool.h"

namespace {

uint32_t failCountdown;
uint64_t liveBlocks;
uint64_t countedBytes;

}  // namespace

void* AllocMapMemory(ULONGLONG bytes)
{
    if (bytes == 0 || bytes > (ULONGLONG)(SIZE_T) ~(SIZE_T)0)
        return NULL;
    if (failCountdown != 0 && --failCountdown == 0)
        return NULL;
    void* memory = malloc((size_t)bytes);
    if (memory) {
        liveBlocks++;
        countedBytes += bytes;
    }
    return memory;
}

void FreeMapMemory(void* memory, ULONGLONG bytes)
{
    if (!memory)
        return;
    free(memory);
    liveBlocks--;
    countedBytes -= bytes;
}

namespace testpool {

void FailNth(uint32_t nth)
{
    failCountdown = nth;
}

void StopFailures()
{
    failCountdown = 0;
}

uint64_t LiveBlocks()
{
    return liveBlocks;
}

uint64_t Bytes()
{
    return countedBytes;
}

}  // namespace testpool
