// Nonpaged pool: accounting, tag checks, guard bytes, failure injection.
#include <emu/machine.h>
#include <gtest/gtest.h>

namespace {

constexpr ULONG kTag = 0xFD5D4F2D;                  // protected bit set
constexpr ULONG kFreeTag = kTag & ~PROTECTED_POOL;  // what a free of it passes
constexpr ULONG kOtherTag = 0x6b736944;

TEST(Pool, AccountsBytesAndBlocksPerTag)
{
    emu::PoolStats before = emu::PoolUsage(kTag);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 28, kTag);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 7, kOtherTag);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(emu::PoolUsage(kTag).bytes, before.bytes + 128);
    EXPECT_EQ(emu::PoolUsage(kTag).blocks, before.blocks + 2);
    EXPECT_EQ((uintptr_t)a % 16, 0u) << "blocks are 16-byte aligned";
    ExFreePoolWithTag(a, kFreeTag);
    ExFreePoolWithTag(b, kFreeTag);
    ExFreePoolWithTag(c, kOtherTag);
    EXPECT_EQ(emu::PoolUsage(kTag).bytes, before.bytes);
    EXPECT_EQ(emu::PoolUsage(kOtherTag).blocks, 0u);
}

struct BadFree {
    const char* what;
    ULONG freeTag;
    bool freeTwice;
    emu::Fault expected;
};

TEST(Pool, BadFreesAreCaught)
{
    const BadFree cases[] = {
        {"other tag", kOtherTag, false, emu::Fault::WrongPoolTag},
        {"protected tag freed without tag", 0, false, emu::Fault::WrongPoolTag},
        {"protected tag with its protected bit (ReactOS stops)", kTag, false, emu::Fault::WrongPoolTag},
        {"double free", kFreeTag, true, emu::Fault::BadPoolFree},
    };
    for (const BadFree& c : cases) {
        emu::FaultCatcher catcher;
        void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
        ExFreePoolWithTag(p, c.freeTag);
        if (c.freeTwice)
            ExFreePoolWithTag(p, c.freeTag);
        EXPECT_TRUE(catcher.Saw(c.expected)) << c.what;
        if (!c.freeTwice)
            ExFreePoolWithTag(p, kFreeTag);  // the refused free left the block allocated
    }
    emu::FaultCatcher catcher;
    ExFreePoolWithTag(nullptr, kFreeTag);
    EXPECT_TRUE(catcher.Saw(emu::Fault::BadPoolFree)) << "NULL";
}

TEST(Pool, UnprotectedTagMayBeFreedWithoutTag)
{
    void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kOtherTag);
    ExFreePool(p);
    EXPECT_EQ(emu::PoolUsage(kOtherTag).blocks, 0u);
}

TEST(Pool, WritingPastTheEndIsCaughtAtFree)
{
    emu::FaultCatcher catcher;
    uint8_t* p = (uint8_t*)ExAllocatePoolWithTag(NonPagedPool, 10, kTag);
    p[10] = 0;
    ExFreePoolWithTag(p, kFreeTag);
    EXPECT_TRUE(catcher.Saw(emu::Fault::PoolOverrun));
}

TEST(Pool, NthAllocationFails)
{
    emu::FailNth(emu::Resource::Pool, 2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr) << "one failure only";
    ExFreePoolWithTag(first, kFreeTag);
    ExFreePoolWithTag(third, kFreeTag);

    emu::FailNth(emu::Resource::Pool, 1, -1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
    emu::ClearFailures();
    void* again = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(again, nullptr);
    ExFreePoolWithTag(again, kFreeTag);
}

TEST(Pool, AllocationAtDispatchIsAllowedOnlyForNonPagedPool)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    {
        emu::FaultCatcher catcher;
        void* q = ExAllocatePoolWithTag(PagedPool, 8, kTag);
        EXPECT_TRUE(catcher.Saw(emu::Fault::IrqlMismatch));
        ExFreePoolWithTag(q, kFreeTag);
    }
    ExFreePoolWithTag(p, kFreeTag);
    KeLowerIrql(old);
}

}  // namespace
