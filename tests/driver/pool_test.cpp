// The counted pool memory of cache structures: every byte is in PoolBytes
// while it is held, under the driver's one pool tag.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include "tolvarn.h"
#include "pool.h"

namespace {

TEST(Pool, MapMemoryIsCountedWhileHeldUnderTheDriversTag)
{
    ULONGLONG before = PoolBytes;
    uint64_t blocks = emu::PoolUsage(PoolTag).blocks;
    void* memory = AllocMapMemory(4096);
    ASSERT_NE(nullptr, memory);
    EXPECT_EQ(before + 4096, PoolBytes);
    EXPECT_EQ(blocks + 1, emu::PoolUsage(PoolTag).blocks);
    FreeMapMemory(memory, 4096);
    EXPECT_EQ(before, PoolBytes);
    EXPECT_EQ(blocks, emu::PoolUsage(PoolTag).blocks);
    FreeMapMemory(NULL, 4096);
    EXPECT_EQ(before, PoolBytes) << "freeing nothing subtracts nothing";
}

TEST(Pool, EmptyOrFailedAllocationsCountNothing)
{
    ULONGLONG before = PoolBytes;
    EXPECT_EQ(nullptr, AllocMapMemory(0));
    emu::FailNth(emu::Resource::Pool, 1);
    EXPECT_EQ(nullptr, AllocMapMemory(64));
    emu::ClearFailures();
    EXPECT_EQ(before, PoolBytes);
}

}  // namespace
