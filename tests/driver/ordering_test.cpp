// Requests the driver has in flight together on one disk: whatever order a
// disk completes them in, the cache never keeps an older copy than the one a
// caller was told is written. Completions are held and released in the order
// that would let an older copy land last.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <memory>
#include <vector>

#include "cacherig.h"
#include "destage.h"
#include "inflight.h"

using namespace cache_test;
using emu::CompletionMode;

namespace {

std::vector<uint8_t> Pattern(ULONG length, uint32_t tag)
{
    std::vector<uint8_t> data(length);
    for (ULONG i = 0; i < length; i++)
        data[i] = (uint8_t)(i * 11 + tag * 29 + (i >> 9));
    return data;
}

class OrderingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        phase_ = DriverPhase;
        open_ = OpenSequence;
    }
    void TearDown() override
    {
        emu::ClearFailures();
        DriverPhase = phase_;
        OpenSequence = open_;
    }

    UCHAR phase_;
    ULONG open_;
};

// After the rig's boot: slots taken from here on may keep write-back data.
void EnterRunningPhase()
{
    DriverPhase = PhaseRunning;
    OpenSequence = 1;
}

// Releases what the disk holds, in the given order, until the request is
// done; the disk completes at once from then on.
emu::IoResult ReleaseUntilDone(CacheRig& rig, emu::Disk& disk, emu::PendingIo& io, bool newestFirst)
{
    disk.SetCompletion(CompletionMode::Inline);
    while (!io.Done() && disk.HeldCount() != 0) {
        disk.ReleaseHeld(newestFirst);
        rig.machine.WaitUntilQuiet();
    }
    return io.Wait();
}

struct FillCase {
    const char* what;
    UCHAR mapMode;
    UCHAR writeMode;
    bool newestFirst;  // the order the SSD completes the fill and the write's copy in
};

// A read of a whole block misses: its data goes to the SSD by a fill, whose
// write the SSD holds. A write of that block comes next and sends its copy to
// the same SSD sectors. Completed newest first, the fill's older data would
// land last over sectors the write marked valid (in write-back mode as the
// only copy of the newest data, which a flush then copies to the master).
TEST_F(OrderingTest, AFillInFlightNeverLandsOverALaterWritesCopy)
{
    const FillCase cases[] = {
        {"write-through, mode 2, fill last", 1, 2, true},
        {"write-through, mode 3, fill last", 1, 3, true},
        {"write-through, mode 2, fill first", 1, 2, false},
        {"write-back, mode 2, fill last", CacheModeWriteBack, 2, true},
        {"write-back, mode 3, fill last", CacheModeWriteBack, 3, true},
    };
    for (const FillCase& c : cases) {
        SCOPED_TRACE(c.what);
        RigShape shape;
        shape.mode = c.mapMode;
        CacheRig rig(shape);
        EnterRunningPhase();
        const ULONG block = rig.BlockBytes();
        rig.Map()->WriteMode = c.writeMode;
        rig.ssd.SetCompletion(CompletionMode::Held);
        rig.ExpectRead(5 * block, block);
        ASSERT_EQ(rig.ssd.HeldCount(), 1u) << "the fill's write";
        std::vector<uint8_t> data = Pattern(block, 7);
        emu::PendingIo write = rig.machine.StartWrite(rig.master, 5 * block, data.data(), block);
        rig.machine.WaitUntilQuiet();
        EXPECT_EQ(rig.ssd.HeldCount(), 1u) << "the write's copy waits for the fill";
        emu::IoResult r = ReleaseUntilDone(rig, rig.ssd, write, c.newestFirst);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        std::copy(data.begin(), data.end(), rig.reference.begin() + 5 * block);
        rig.machine.WaitUntilQuiet();
        rig.ExpectRead(5 * block + 512, block - 1024);
        EXPECT_EQ(rig.CheckCoherence(), "");
        FlushMaster(rig.master.Top());
        EXPECT_EQ(rig.master.Bytes(5 * block, block), data) << "the master after a flush";
    }
}

// Two callers' writes of the same sectors of a cached block in flight
// together: the master may complete them in either order, but the SSD's copy
// must end as the master's does.
TEST_F(OrderingTest, OverlappingCallersWritesLeaveTheCacheAsTheMaster)
{
    for (UCHAR mapMode : {(UCHAR)1, CacheModeWriteBack})
        for (bool ssdNewestFirst : {true, false}) {
            SCOPED_TRACE(testing::Message()
                         << "map mode " << (int)mapMode << ", SSD newest first " << ssdNewestFirst);
            RigShape shape;
            shape.mode = mapMode;
            CacheRig rig(shape);
            EnterRunningPhase();
            EnterRunningPhase();
            const ULONG block = rig.BlockBytes();
            rig.Map()->WriteMode = 2;
            rig.Warm(3);
            rig.master.SetCompletion(CompletionMode::Held);
            rig.ssd.SetCompletion(CompletionMode::Held);
            std::vector<uint8_t> first = Pattern(2048, 1), second = Pattern(2048, 2);
            emu::PendingIo a = rig.machine.StartWrite(rig.master, 3 * block + 1024, first.data(), 2048);
            emu::PendingIo b = rig.machine.StartWrite(rig.master, 3 * block + 1024, second.data(), 2048);
            rig.machine.WaitUntilQuiet();
            rig.master.SetCompletion(CompletionMode::Inline);
            rig.ssd.SetCompletion(CompletionMode::Inline);
            for (int round = 0; round < 4 && !(a.Done() && b.Done()); round++) {
                rig.ssd.ReleaseHeld(ssdNewestFirst);
                rig.master.ReleaseHeld(!ssdNewestFirst);
                rig.machine.WaitUntilQuiet();
            }
            ASSERT_EQ(a.Wait().status, STATUS_SUCCESS);
            ASSERT_EQ(b.Wait().status, STATUS_SUCCESS);
            // Whichever landed last on the master is the block's content.
            FlushMaster(rig.master.Top());
            std::vector<uint8_t> onMaster = rig.master.Bytes(3 * block + 1024, 2048);
            EXPECT_TRUE(onMaster == first || onMaster == second);
            std::copy(onMaster.begin(), onMaster.end(), rig.reference.begin() + 3 * block + 1024);
            rig.ExpectRead(3 * block, block);
            EXPECT_EQ(rig.CheckCoherence(), "");
        }
}

// A caller reads sectors of a cached block while its write of them is still
// on its way to the SSD: the read from the SSD goes after the write's copy
// has landed, so it returns the written data, as the master would.
TEST_F(OrderingTest, AReadOfACachedBlockFollowsAWriteInFlight)
{
    for (UCHAR mapMode : {(UCHAR)1, CacheModeWriteBack}) {
        SCOPED_TRACE(testing::Message() << "map mode " << (int)mapMode);
        RigShape shape;
        shape.mode = mapMode;
        CacheRig rig(shape);
        EnterRunningPhase();
        const ULONG block = rig.BlockBytes();
        rig.Map()->WriteMode = 2;
        rig.Warm(4);
        rig.ssd.SetCompletion(CompletionMode::Held);
        std::vector<uint8_t> data = Pattern(1024, 3), buffer(1024, 0xEE);
        emu::PendingIo write = rig.machine.StartWrite(rig.master, 4 * block + 512, data.data(), 1024);
        rig.machine.WaitUntilQuiet();
        emu::PendingIo read = rig.machine.StartRead(rig.master, 4 * block + 512, buffer.data(), 1024);
        rig.machine.WaitUntilQuiet();
        EXPECT_EQ(rig.ssd.HeldCount(), 1u) << "the read waits for the write's copy";
        ASSERT_EQ(ReleaseUntilDone(rig, rig.ssd, read, true).status, STATUS_SUCCESS);
        ASSERT_EQ(write.Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(buffer, data);
        std::copy(data.begin(), data.end(), rig.reference.begin() + 4 * block + 512);
        EXPECT_EQ(rig.CheckCoherence(), "");
    }
}

// The request path's record of what is in flight goes with the requests.
TEST_F(OrderingTest, NothingStaysRecordedInFlightOnceTheDisksHaveAnswered)
{
    CacheRig rig;
    const ULONG block = rig.BlockBytes();
    rig.master.SetCompletion(CompletionMode::Held);
    rig.ssd.SetCompletion(CompletionMode::Held);
    std::vector<uint8_t> buffer(block);
    emu::PendingIo read = rig.machine.StartRead(rig.master, 2 * block, buffer.data(), block);
    rig.machine.WaitUntilQuiet();
    EXPECT_EQ(CountInFlight(rig.master.Top()), 1);
    rig.master.SetCompletion(CompletionMode::Inline);
    rig.ssd.SetCompletion(CompletionMode::Inline);
    rig.master.ReleaseHeld();
    EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
    rig.machine.WaitUntilQuiet();
    EXPECT_EQ(CountInFlight(rig.master.Top()), 0);
    EXPECT_EQ(CountInFlight(rig.ssd.Top()), 0);
}

// A write-through write of a block's last sector goes to the SSD and the
// master; its SSD copy completes at once and lets the slot go, its master
// write fails later. Meanwhile a hotter block takes that slot by a write-back
// write. The failed write's invalidation must not clear the new block's
// sector, the only copy of acknowledged data, which a flush would then skip.
TEST_F(OrderingTest, AFailedWritesInvalidationSparesTheBlockThatTookItsSlot)
{
    RigShape shape;
    shape.mode = CacheModeWriteBack;
    shape.slots = 1;
    CacheRig rig(shape);
    EnterRunningPhase();
    const ULONG block = rig.BlockBytes();
    const uint64_t lastSector = 2 * block + block - 512;
    rig.Map()->WriteMode = 3;
    std::vector<uint8_t> failing = Pattern(512, 3);
    rig.master.InjectError(emu::DiskOp::Write, lastSector / 512, 1, STATUS_IO_DEVICE_ERROR);
    rig.master.SetCompletion(CompletionMode::Held);
    emu::PendingIo through =
        rig.machine.StartWrite(rig.master, lastSector, failing.data(), 512, true, 0, SL_WRITE_THROUGH);
    rig.machine.WaitUntilQuiet();
    rig.master.SetCompletion(CompletionMode::Inline);
    std::vector<uint8_t> buffer(block);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(rig.machine.Read(rig.master, 5 * block, buffer.data(), block).status, STATUS_SUCCESS);
    std::vector<uint8_t> data = Pattern(block, 9);
    ASSERT_EQ(rig.machine.Write(rig.master, 5 * block, data.data(), block).status, STATUS_SUCCESS);
    rig.machine.WaitUntilQuiet();
    ASSERT_EQ(rig.View().SlotOf(5), 0) << "block 5 took block 2's slot";
    rig.master.ReleaseHeld();
    EXPECT_NE(through.Wait().status, STATUS_SUCCESS);
    rig.machine.WaitUntilQuiet();
    FlushMaster(rig.master.Top());
    rig.machine.WaitUntilQuiet();
    EXPECT_EQ(rig.master.Bytes(5 * block, block), data) << "the master after a flush";
}

}  // namespace
