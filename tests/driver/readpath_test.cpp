// The read path and the fill in the emulated machine: data served from the
// SSD and the master in every completion order, failures of children and of
// resources, the IRP flags of own master reads, the background fill and its
// bitmap work, and the races between a read and the eviction of its slot.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <vector>

#include "cacherig.h"
#include "fill.h"
#include "worker.h"

using namespace cache_test;
using emu::CompletionMode;
using emu::DiskOp;

namespace {

TEST(ReadPath, AMissIsFilledInTheBackgroundAndThenServedFromTheSsd)
{
    for (ULONG sectorSize : {512u, 4096u}) {
        RigShape shape;
        shape.sectorSize = sectorSize;
        shape.masterBytes = 4ull << 20;
        CacheRig rig(shape);
        const ULONG block = rig.BlockBytes();
        rig.ExpectRead(3 * block + sectorSize, 2 * block);  // blocks 3, 4 and 5
        MapView view = rig.View();
        for (ULONG b : {3u, 4u, 5u})
            ASSERT_NE(view.SlotOf(b), -1) << b;
        EXPECT_EQ(view.ValidCount(view.SlotOf(3)), rig.SectorsPerBlock() - 1) << "only what was read";
        EXPECT_EQ(view.ValidCount(view.SlotOf(4)), rig.SectorsPerBlock());
        EXPECT_EQ(view.ValidCount(view.SlotOf(5)), 1u);
        EXPECT_EQ(rig.CheckCoherence(), "");
        EXPECT_EQ(CountRequests(rig.ssd, IRP_MJ_WRITE), 1u) << "blocks in adjacent slots: one SSD write";

        rig.master.ClearRequests();
        rig.ssd.ClearRequests();
        rig.ExpectRead(3 * block + sectorSize, 2 * block);
        EXPECT_EQ(CountRequests(rig.master, IRP_MJ_READ), 0u) << "served from the SSD";
        EXPECT_EQ(CountRequests(rig.ssd, IRP_MJ_READ), 1u);
        rig.ExpectRead(3 * block, block);  // sector 0 of block 3 was never read
        EXPECT_EQ(CountRequests(rig.master, IRP_MJ_READ), 1u);
        EXPECT_EQ(rig.CheckCoherence(), "");
    }
}

TEST(ReadPath, OwnMasterReadsCarryTheCallersPagingAndNoCacheFlags)
{
    CacheRig rig;
    const ULONG block = rig.BlockBytes();
    const ULONG flags = IRP_PAGING_IO | IRP_NOCACHE;
    rig.ExpectRead(0, block, flags);  // single master read
    rig.Warm(2);
    rig.master.ClearRequests();
    rig.ssd.ClearRequests();
    rig.ExpectRead(2 * block, 2 * block, flags);  // SSD child and master child
    std::vector<emu::DiskRecord> master = rig.master.Requests(), ssd = rig.ssd.Requests();
    ASSERT_EQ(master.size(), 1u);
    EXPECT_EQ(master[0].irpFlags & flags, flags);
    ASSERT_EQ(CountRequests(rig.ssd, IRP_MJ_READ), 1u);
    EXPECT_EQ(ssd[0].irpFlags & flags, 0u) << "SSD reads are the driver's own business";
}

TEST(ReadPath, RangeChecksWhileTheCacheIsActive)
{
    CacheRig rig;
    const uint64_t length = rig.shape_.masterBytes;
    rig.ExpectRead(length - 512, 512);
    std::vector<uint8_t> buffer(1024);
    emu::IoResult beyond = rig.machine.Read(rig.master, length - 512, buffer.data(), 1024);
    EXPECT_EQ(beyond.status, STATUS_NONEXISTENT_SECTOR);
    EXPECT_EQ(beyond.information, 0u);
    EXPECT_EQ(rig.machine.Read(rig.master, 0, buffer.data(), 0).status, STATUS_INVALID_PARAMETER);
    CacheRig::Ext(rig.master)->Cache.Active = 0;
    rig.master.ClearRequests();
    EXPECT_EQ(rig.machine.Read(rig.master, length - 512, buffer.data(), 1024).status,
              STATUS_INVALID_PARAMETER)
        << "an inactive cache passes it down: the disk refuses it";
    EXPECT_EQ(CountRequests(rig.master, IRP_MJ_READ), 1u);
}

// The same mixed read (an SSD run between master runs, over three blocks) in
// every completion order, with and without a failing child.
TEST(ReadPath, EveryCompletionOrderCompletesTheCallerOnceWithTheFirstFailure)
{
    const CompletionMode modes[] = {CompletionMode::Inline, CompletionMode::Fifo, CompletionMode::Reversed,
                                    CompletionMode::Held};
    for (CompletionMode mode : modes) {
        for (int failing = 0; failing < 3; failing++) {  // none, the SSD child, a master child
            SCOPED_TRACE(testing::Message() << "mode " << (int)mode << ", failing " << failing);
            CacheRig rig;
            const ULONG block = rig.BlockBytes();
            rig.Warm(5);
            rig.master.SetCompletion(mode);
            rig.ssd.SetCompletion(mode);
            rig.master.ClearRequests();
            if (failing == 1)
                rig.ssd.InjectError(DiskOp::Read, 0, 1 << 20, STATUS_IO_DEVICE_ERROR, 1);
            if (failing == 2)
                rig.master.InjectError(DiskOp::Read, 6 * rig.SectorsPerBlock(), 1, STATUS_DEVICE_NOT_READY,
                                       1);
            std::vector<uint8_t> buffer(3 * block);
            emu::PendingIo io = rig.machine.StartRead(rig.master, 4 * block, buffer.data(), 3 * block);
            if (mode == CompletionMode::Held) {
                rig.machine.WaitUntilQuiet();
                EXPECT_FALSE(io.Done());
                rig.master.ReleaseHeld(true);
                rig.ssd.ReleaseHeld();
            }
            emu::IoResult r = io.Wait();
            rig.master.SetCompletion(CompletionMode::Inline);
            rig.ssd.SetCompletion(CompletionMode::Inline);
            rig.machine.WaitUntilQuiet();
            rig.ssd.ReleaseHeld();  // the fills' writes
            MapView view = rig.View();
            if (failing == 0) {
                EXPECT_EQ(r.status, STATUS_SUCCESS);
                EXPECT_EQ(r.information, 3u * block);
                EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), rig.reference.begin() + 4 * block));
            } else {
                EXPECT_EQ(r.status, failing == 1 ? STATUS_IO_DEVICE_ERROR : STATUS_DEVICE_NOT_READY);
                EXPECT_EQ(r.information, 0u);
            }
            // Master children post fills only when they succeed.
            EXPECT_EQ(view.ValidCount(view.SlotOf(4)), rig.SectorsPerBlock());
            EXPECT_EQ(view.ValidCount(view.SlotOf(6)), failing == 2 ? 0u : rig.SectorsPerBlock());
            EXPECT_EQ(rig.CheckCoherence(), "");
        }
    }
}

TEST(ReadPath, OfTwoFailingChildrenTheOneThatCompletesFirstWins)
{
    for (bool masterFirst : {false, true}) {
        CacheRig rig;
        const ULONG block = rig.BlockBytes();
        rig.Warm(1);
        rig.master.SetCompletion(CompletionMode::Held);
        rig.ssd.SetCompletion(CompletionMode::Held);
        rig.ssd.InjectError(DiskOp::Read, 0, 1 << 20, STATUS_IO_DEVICE_ERROR, 1);
        rig.master.InjectError(DiskOp::Read, 0, 1 << 20, STATUS_DEVICE_NOT_READY, 1);
        std::vector<uint8_t> buffer(2 * block);
        emu::PendingIo io = rig.machine.StartRead(rig.master, block, buffer.data(), 2 * block);
        rig.machine.WaitUntilQuiet();
        (masterFirst ? rig.master : rig.ssd).ReleaseHeld();
        rig.machine.WaitUntilQuiet();
        EXPECT_FALSE(io.Done());
        (masterFirst ? rig.ssd : rig.master).ReleaseHeld();
        emu::IoResult r = io.Wait();
        EXPECT_EQ(r.status, masterFirst ? STATUS_DEVICE_NOT_READY : STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(r.information, 0u);
        rig.master.SetCompletion(CompletionMode::Inline);
        rig.ssd.SetCompletion(CompletionMode::Inline);
    }
}

// Every pool, IRP, MDL and mapping failure on the way: a clean read is passed
// down, a read that needs dirty SSD data fails; nothing leaks (the machine's
// teardown checks).
TEST(ReadPath, ResourceFailuresPassDownCleanReadsAndFailDirtyOnes)
{
    const emu::Resource resources[] = {emu::Resource::Pool, emu::Resource::Irp, emu::Resource::Mdl,
                                       emu::Resource::Map};
    for (bool dirty : {false, true}) {
        for (emu::Resource resource : resources) {
            for (ULONG nth = 1; nth <= 6; nth++) {
                SCOPED_TRACE(testing::Message()
                             << "dirty " << dirty << ", resource " << (int)resource << ", nth " << nth);
                RigShape shape;
                shape.mode = CacheModeWriteBack;
                CacheRig rig(shape);
                const ULONG block = rig.BlockBytes();
                rig.Warm(1);
                if (dirty) {
                    // Sector 0 of block 1 dirty on the SSD: new data the master lacks.
                    MapView view = rig.View();
                    LONG slot = view.SlotOf(1);
                    ClearCleanRun(rig.Map(), ToSsdSlot(slot), 0, 1);
                    std::vector<uint8_t> fresh(512, 0x5A);
                    rig.ssd.WriteBytes((CacheRig::DataStart + (uint64_t)slot * rig.SectorsPerBlock()) * 512,
                                       fresh.data(), 512);
                    memcpy(&rig.reference[block], fresh.data(), 512);
                    CacheRig::Ext(rig.master)->Cache.StopRequested = 1;  // dirty runs from the SSD only
                }
                std::vector<uint8_t> buffer(2 * block);
                emu::FailNth(resource, nth);
                emu::IoResult r = rig.machine.Read(rig.master, block, buffer.data(), 2 * block);
                emu::ClearFailures();
                rig.machine.WaitUntilQuiet();
                if (r.status == STATUS_SUCCESS) {
                    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), rig.reference.begin() + block));
                    EXPECT_FALSE(dirty && CountRequests(rig.ssd, IRP_MJ_READ) == 0) << "dirty data can only come from the SSD";
                } else {
                    EXPECT_TRUE(dirty);
                    EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
                    EXPECT_EQ(r.information, 0u);
                }
                CacheRig::Ext(rig.master)->Cache.StopRequested = 0;
                EXPECT_EQ(rig.CheckCoherence(), "");
            }
        }
    }
}

TEST(ReadPath, AMapWithoutAnSsdReadsTheMasterAndFillsNothing)
{
    CacheRig rig;
    rig.Map()->SsdDevice = NULL;
    rig.ExpectRead(0, 3 * rig.BlockBytes());
    rig.machine.WaitUntilQuiet();
    EXPECT_EQ(CountRequests(rig.master, IRP_MJ_READ), 1u);
    EXPECT_EQ(CountRequests(rig.ssd, IRP_MJ_WRITE), 0u);
    EXPECT_EQ(rig.View().SlotOf(0), -1);
    rig.Map()->SsdDevice = rig.ssd.Top();
}

// ---- Fill and bitmap work items ------------------------------------------------

TEST(Fill, ACachedBlockThatLostItsSlotIsSkippedAndAStopWritesNothing)
{
    CacheRig rig;
    const ULONG block = rig.BlockBytes();
    // Block 2's fill is held while the block loses its slot; block 3 keeps its.
    rig.ssd.SetCompletion(CompletionMode::Held);
    std::vector<uint8_t> buffer(2 * block);
    rig.master.SetCompletion(CompletionMode::Held);
    emu::PendingIo io = rig.machine.StartRead(rig.master, 2 * block, buffer.data(), 2 * block);
    rig.machine.WaitUntilQuiet();
    EvictSlot(rig.Map(), rig.View().Slot(2));
    rig.master.ReleaseHeld();
    ASSERT_EQ(io.Wait().status, STATUS_SUCCESS);
    rig.machine.WaitUntilQuiet();
    std::vector<emu::DiskRecord> writes;
    for (const emu::DiskRecord& r : rig.ssd.Requests())
        if (r.major == IRP_MJ_WRITE)
            writes.push_back(r);
    ASSERT_EQ(writes.size(), 1u);
    MapView before = rig.View();
    EXPECT_EQ(writes[0].offset,
              (CacheRig::DataStart + (uint64_t)before.SlotOf(3) * rig.SectorsPerBlock()) * 512);
    EXPECT_EQ(writes[0].length, block);
    rig.ssd.ReleaseHeld();
    rig.master.SetCompletion(CompletionMode::Inline);
    rig.ssd.SetCompletion(CompletionMode::Inline);
    EXPECT_EQ(rig.View().ValidCount(before.SlotOf(3)), rig.SectorsPerBlock());
    EXPECT_EQ(rig.CheckCoherence(), "");

    // A stop requested after the read: the fill writes nothing.
    rig.ssd.ClearRequests();
    rig.master.SetCompletion(CompletionMode::Held);
    io = rig.machine.StartRead(rig.master, 6 * block, buffer.data(), block);
    rig.machine.WaitUntilQuiet();
    CacheRig::Ext(rig.master)->Cache.StopRequested = 1;
    rig.master.ReleaseHeld();
    ASSERT_EQ(io.Wait().status, STATUS_SUCCESS);
    rig.machine.WaitUntilQuiet();
    EXPECT_EQ(CountRequests(rig.ssd, IRP_MJ_WRITE), 0u);
    CacheRig::Ext(rig.master)->Cache.StopRequested = 0;
    rig.master.SetCompletion(CompletionMode::Inline);
}

TEST(Fill, WriteBackSetsCleanBitsAndAFailedWriteLeavesOnlyItsRangeInvalid)
{
    RigShape shape;
    shape.mode = CacheModeWriteBack;
    CacheRig rig(shape);
    const ULONG block = rig.BlockBytes();
    // Blocks 3 and 5 missed around the cached block 4: two master children,
    // two fills, and the first fill write fails.
    rig.Warm(1);
    rig.Warm(4);
    rig.ssd.ClearRequests();
    rig.ssd.InjectError(DiskOp::Write, 0, 1 << 20, STATUS_IO_DEVICE_ERROR, 1);
    rig.ExpectRead(3 * block, 3 * block);
    rig.machine.WaitUntilQuiet();
    EXPECT_EQ(CountRequests(rig.ssd, IRP_MJ_WRITE), 2u);
    MapView view = rig.View();
    ULONG filled = view.ValidCount(view.SlotOf(3)) + view.ValidCount(view.SlotOf(5));
    EXPECT_EQ(filled, rig.SectorsPerBlock()) << "one write failed, the other became valid";
    for (ULONG b : {1u, 3u, 4u, 5u}) {
        LONG s = view.SlotOf(b);
        for (ULONG i = 0; i < rig.SectorsPerBlock(); i++)
            EXPECT_EQ(view.Valid(s, i), view.Clean(s, i)) << "block " << b << " sector " << i;
    }
    EXPECT_EQ(rig.CheckCoherence(), "");
}

TEST(Fill, InvalidationFromTheMiddleOfASlotAndStaleSetValidItems)
{
    CacheRig rig;
    rig.Warm(2);
    CacheMap* map = rig.Map();
    SsdSlot slot = rig.View().Slot(2);
    LONG index = FromSsdSlot(slot);
    ULONGLONG first = SlotFirstSsdSector(map, slot);
    ULONG generation = SlotGeneration(map, slot);
    PDEVICE_OBJECT master = rig.master.Top();
    ASSERT_TRUE(PostInvalidateWork(master, first + 3, 2, SlotAssignments(map)));
    MapView view = rig.View();
    for (ULONG i = 0; i < rig.SectorsPerBlock(); i++)
        EXPECT_EQ(view.Valid(index, i), i < 3 || i >= 5) << i;
    EXPECT_NE(SlotGeneration(map, slot), generation) << "an invalidation is a change of contents";
    ASSERT_TRUE(PostSetValidWork(master, first + 3, 2, generation));
    EXPECT_EQ(rig.View().ValidCount(index), rig.SectorsPerBlock() - 2)
        << "an item of the old generation does nothing";
    ASSERT_TRUE(PostSetValidWork(master, first + 3, 2, SlotGeneration(map, slot)));
    EXPECT_EQ(rig.View().ValidCount(index), rig.SectorsPerBlock());
}

// ---- Races -----------------------------------------------------------------------

// A tiny cache under pressure: every later block is hotter than the first.
RigShape TinyCache()
{
    RigShape shape;
    shape.slots = 2;
    return shape;
}

// Reads each block whole four times: its heat passes that of a block read
// twice, so it evicts such a block's slot when it can.
void Pressure(CacheRig& rig, std::initializer_list<ULONG> blocks)
{
    for (ULONG b : blocks) {
        for (int i = 0; i < 4; i++)
            rig.ExpectRead((uint64_t)b * rig.BlockBytes(), rig.BlockBytes());
    }
}

TEST(ReadRace, ASlotWithAnSsdReadInFlightIsNoVictim)
{
    CacheRig rig(TinyCache());
    const ULONG block = rig.BlockBytes();
    rig.Warm(0);
    rig.Warm(1);
    rig.ssd.SetCompletion(CompletionMode::Held);
    std::vector<uint8_t> buffer(block);
    emu::PendingIo io = rig.machine.StartRead(rig.master, 0, buffer.data(), block);
    rig.machine.WaitUntilQuiet();
    ASSERT_EQ(rig.ssd.HeldCount(), 1u);
    LONG held = rig.View().SlotOf(0);
    rig.ssd.SetCompletion(CompletionMode::Inline);
    Pressure(rig, {5, 6, 7});  // would evict block 0's slot first
    EXPECT_EQ(rig.View().blockOfSlot[held], 0u) << "the slot being read keeps its block";
    rig.ssd.ReleaseHeld();
    ASSERT_EQ(io.Wait().status, STATUS_SUCCESS);
    rig.machine.WaitUntilQuiet();  // the completion has let go of the slot
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), rig.reference.begin()));
    Pressure(rig, {8});
    EXPECT_NE(rig.View().blockOfSlot[held], 0u) << "once read, it is a victim like any other";
    EXPECT_EQ(rig.CheckCoherence(), "");
}

TEST(ReadRace, ASlotWithAFillInFlightIsNoVictim)
{
    CacheRig rig(TinyCache());
    const ULONG block = rig.BlockBytes();
    rig.Warm(1);
    rig.ssd.SetCompletion(CompletionMode::Held);
    rig.ExpectRead(0, block);  // block 0: slot taken, fill write held
    rig.machine.WaitUntilQuiet();
    ASSERT_EQ(rig.ssd.HeldCount(), 1u);
    LONG held = rig.View().SlotOf(0);
    rig.ssd.SetCompletion(CompletionMode::Inline);
    Pressure(rig, {5, 6});
    EXPECT_EQ(rig.View().blockOfSlot[held], 0u);
    rig.ssd.ReleaseHeld();
    rig.machine.WaitUntilQuiet();
    EXPECT_EQ(rig.CheckCoherence(), "");
    for (ULONG b : {0u, 5u, 6u})
        rig.ExpectRead((uint64_t)b * block, block);
}

// The slot a read planned for block A is evicted before A's fill runs, and
// the master's data of A changes meanwhile (while A is not cached, so nothing
// cached is stale): the late fill, carrying the old data, must neither write
// into the slot's new contents nor mark them valid.
TEST(ReadRace, AFillWhoseSlotChangedHandsIsDropped)
{
    for (bool toSameBlock : {false, true}) {
        SCOPED_TRACE(toSameBlock ? "the slot comes back to the same block"
                                 : "the slot goes to another block");
        CacheRig rig(TinyCache());
        const ULONG block = rig.BlockBytes();
        rig.Warm(1);
        rig.master.SetTransferOnArrival(true);
        rig.master.SetCompletion(CompletionMode::Held);
        std::vector<uint8_t> buffer(block);
        emu::PendingIo io = rig.machine.StartRead(rig.master, 0, buffer.data(), block);  // old data, held
        rig.machine.WaitUntilQuiet();
        SsdSlot slot = rig.View().Slot(0);
        ASSERT_NE(slot, NoSlot);
        rig.master.SetCompletion(CompletionMode::Inline);
        EvictSlot(rig.Map(), slot);
        rig.Seed(0, block, 7);
        if (toSameBlock)
            rig.ExpectRead(0, block / 2);  // the second half stays invalid
        else
            rig.ExpectRead(9ull * block, block);
        rig.machine.WaitUntilQuiet();
        rig.master.ReleaseHeld();
        EXPECT_EQ(io.Wait().status, STATUS_SUCCESS);
        rig.machine.WaitUntilQuiet();
        EXPECT_EQ(rig.CheckCoherence(), "");
        rig.ExpectRead(0, block);
        rig.ExpectRead(9ull * block, block);
    }
}

}  // namespace
