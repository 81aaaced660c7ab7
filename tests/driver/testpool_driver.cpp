// The test pool's view of the driver's own pool memory (driver/pool.cpp over
// the kernel stand-in), for tests that share the map helpers but link the
// whole driver.
#include "testpool.h"

#include <emu/machine.h>

#include "tolvarn.h"
#include "pool.h"

namespace testpool {

void FailNth(uint32_t nth)
{
    emu::FailNth(emu::Resource::Pool, nth);
}

void StopFailures()
{
    emu::ClearFailures();
}

uint64_t LiveBlocks()
{
    return emu::PoolUsage(PoolTag).blocks;
}

uint64_t Bytes()
{
    return PoolBytes;
}

}  // namespace testpool
