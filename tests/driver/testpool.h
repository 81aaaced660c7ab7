// The pool as the cache map's tests see it: armable failures and what is
// held. testpool_heap.cpp gives the map its memory from the heap in place of
// driver/pool.cpp (tests without the kernel stand-in); testpool_driver.cpp
// reads the driver's own pool (tests that link the whole driver).
#pragma once

#include <stdint.h>

namespace testpool {

// The nth next allocation fails (1 = the very next one).
void FailNth(uint32_t nth);
void StopFailures();
// Blocks allocated and not yet freed.
uint64_t LiveBlocks();
// Bytes counted as the driver counts them in PoolBytes.
uint64_t Bytes();

}  // namespace testpool
