// The write path in the emulated machine: read-your-writes for every write
// mode, map mode, phase and slot kind in several completion orders, failures
// of either disk's writes with and without a worker, resource failures, the
// entry's checks, and the races with fills, evictions and other writes.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <memory>
#include <random>
#include <vector>

#include "cacherig.h"
#include "read.h"
#include "worker.h"
#include "write.h"

using namespace cache_test;
using emu::CompletionMode;
using emu::DiskOp;

namespace {

std::vector<uint8_t> Pattern(ULONG length, uint32_t tag)
{
    std::vector<uint8_t> data(length);
    for (ULONG i = 0; i < length; i++)
        data[i] = (uint8_t)(i * 7 + tag * 13 + (i >> 9));
    return data;
}

// Saves and restores the driver-wide state the tests change.
class WritePathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        phase_ = DriverPhase;
        open_ = OpenSequence;
        hibernate_ = HibernateFlag;
    }
    void TearDown() override
    {
        emu::ClearFailures();
        DriverPhase = phase_;
        OpenSequence = open_;
        HibernateFlag = hibernate_;
    }

    UCHAR phase_;
    ULONG open_, hibernate_;
};

// A started write and the data it carries.
struct Started {
    uint64_t offset;
    std::vector<uint8_t> data;
    std::unique_ptr<emu::PendingIo> io;
};

Started StartWrite(CacheRig& rig, uint64_t offset, ULONG length, uint32_t tag)
{
    Started s{offset, Pattern(length, tag), nullptr};
    s.io.reset(new emu::PendingIo(rig.machine.StartWrite(rig.master, offset, s.data.data(), length)));
    return s;
}

// Waits for a write; the reference follows what the caller may expect: the
// new data after success, the master's bytes after a failure (the content is
// then undefined, but must be stable).
emu::IoResult Finish(CacheRig& rig, Started& s)
{
    emu::IoResult r = s.io->Wait();
    if (NT_SUCCESS(r.status)) {
        EXPECT_EQ(r.information, s.data.size());
        std::copy(s.data.begin(), s.data.end(), rig.reference.begin() + s.offset);
    } else {
        EXPECT_EQ(r.information, 0u);
        std::vector<uint8_t> now = rig.master.Bytes(s.offset, s.data.size());
        std::copy(now.begin(), now.end(), rig.reference.begin() + s.offset);
    }
    return r;
}

emu::IoResult Write(CacheRig& rig, uint64_t offset, ULONG length, uint32_t tag)
{
    Started s = StartWrite(rig, offset, length, tag);
    return Finish(rig, s);
}

// Dirty sectors only where write-back may keep them: in slots taken and hit
// only after boot, when the phase and modes allow it.
std::string CheckDirtyOnlyWhereAllowed(CacheRig& rig, bool writeBackAllowed)
{
    MapView view = rig.View();
    for (ULONG s = 0; s < view.blockOfSlot.size(); s++) {
        bool bootSlot = rig.Map()->Slots.Entries[s].BootFlag != 0;
        for (ULONG i = 0; i < view.sectorsPerSlot; i++) {
            if (view.Valid(s, i) && !view.Clean(s, i) && (!writeBackAllowed || bootSlot))
                return "dirty sector in slot " + std::to_string(s);
        }
    }
    return "";
}

// ---------------------------------------------------------------------------
// Read-your-writes
// ---------------------------------------------------------------------------

TEST_F(WritePathTest, EveryCompletedReadReturnsTheLatestCompletedWrite)
{
    struct Order {
        CompletionMode master, ssd;
        bool heldNewestFirst;
    };
    const Order orders[] = {{CompletionMode::Reversed, CompletionMode::Fifo, false},
                            {CompletionMode::Fifo, CompletionMode::Reversed, false},
                            {CompletionMode::Held, CompletionMode::Held, true}};
    std::mt19937 rng(14);
    for (UCHAR writeMode = 0; writeMode <= 3; writeMode++)
        for (UCHAR mapMode : {(UCHAR)1, CacheModeWriteBack})
            for (UCHAR phase : {(UCHAR)PhaseBoot, (UCHAR)PhaseRunning, (UCHAR)PhaseShutdown})
                for (bool bootSlots : {false, true})
                    for (const Order& order : orders) {
                        SCOPED_TRACE(testing::Message()
                                     << "write mode " << (int)writeMode << ", map mode " << (int)mapMode
                                     << ", phase " << (int)phase << ", boot slots " << bootSlots << ", held "
                                     << (order.master == CompletionMode::Held));
                        RigShape shape;
                        shape.mode = mapMode;
                        shape.masterBytes = 256 * 1024;
                        CacheRig rig(shape);
                        const ULONG block = rig.BlockBytes();
                        DriverPhase = PhaseRunning;
                        OpenSequence = bootSlots ? 0 : 1;
                        for (ULONG b : {2u, 3u, 5u})
                            rig.Warm(b);
                        OpenSequence = 1;
                        rig.Map()->WriteMode = writeMode;
                        DriverPhase = phase;
                        for (int round = 0; round < 2; round++) {
                            rig.master.SetCompletion(order.master);
                            rig.ssd.SetCompletion(order.ssd);
                            // Non-overlapping writes of 1 to 5 sectors over blocks 1 to 7,
                            // cached and not, some across a block boundary: each starts 1 to
                            // 4 sectors into its block and ends at most 1 sector into the next.
                            std::vector<Started> writes;
                            for (ULONG chunk = 0; chunk < 6; chunk++) {
                                uint64_t base = (uint64_t)(chunk + 1) * block + 2048;
                                ULONG length = 512 * (1 + rng() % 5);
                                writes.push_back(StartWrite(rig, base - 512 * (rng() % 4), length, rng()));
                            }
                            if (order.master == CompletionMode::Held) {
                                rig.machine.WaitUntilQuiet();
                                rig.ssd.ReleaseHeld(order.heldNewestFirst);
                                rig.master.ReleaseHeld(!order.heldNewestFirst);
                                rig.machine.WaitUntilQuiet();
                                rig.ssd.ReleaseHeld();
                                rig.master.ReleaseHeld();
                            }
                            for (Started& s : writes)
                                EXPECT_EQ(Finish(rig, s).status, STATUS_SUCCESS);
                            rig.master.SetCompletion(CompletionMode::Inline);
                            rig.ssd.SetCompletion(CompletionMode::Inline);
                            rig.ssd.ReleaseHeld();
                            rig.master.ReleaseHeld();
                            rig.machine.WaitUntilQuiet();
                            for (const Started& s : writes)
                                rig.ExpectRead(s.offset, (ULONG)s.data.size());
                            rig.ExpectRead(0, 8 * block);
                            EXPECT_EQ(rig.CheckCoherence(), "");
                            EXPECT_EQ(CheckDirtyOnlyWhereAllowed(rig, mapMode == CacheModeWriteBack &&
                                                                          phase == PhaseRunning &&
                                                                          writeMode != 0),
                                      "");
                        }
                    }
}

// ---------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------

struct FailCase {
    const char* what;
    UCHAR mapMode;
    uint64_t offsetBlocks8;  // write offset in eighths of a block
    ULONG lengthBlocks8;
    std::vector<ULONG> warm;  // blocks cached first
    bool failSsd, failMaster;
    NTSTATUS expected;  // the caller's status
};

// Every variant, its SSD write or its master write failing, with the worker
// running and stopped: the caller's status follows the Part's rule, and the
// cache never claims data that did not land.
TEST_F(WritePathTest, FailedWritesLeaveNoValidCopyOfDataThatDidNotLand)
{
    const NTSTATUS ssdError = STATUS_IO_DEVICE_ERROR, masterError = STATUS_DEVICE_NOT_READY;
    const FailCase cases[] = {
        {"SSD only, SSD fails: the master takes it",
         CacheModeWriteBack,
         2 * 8 + 1,
         4,
         {2},
         true,
         false,
         STATUS_SUCCESS},
        {"paired, SSD fails: the master decides", 1, 2 * 8 + 1, 4, {2}, true, false, STATUS_SUCCESS},
        {"paired, master fails", 1, 2 * 8 + 1, 4, {2}, false, true, masterError},
        {"master and extents, SSD fails", 1, 2 * 8 + 4, 24, {2, 6, 3}, true, false, STATUS_SUCCESS},
        {"master and extents, master fails", 1, 2 * 8 + 4, 24, {2, 6, 3}, false, true, masterError},
        {"all extents, SSD fails", CacheModeWriteBack, 2 * 8 + 4, 8, {2}, true, false, ssdError},
        {"all extents, master fails", CacheModeWriteBack, 2 * 8 + 4, 8, {2}, false, true, masterError},
    };
    for (const FailCase& c : cases)
        for (bool worker : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.what << (worker ? "" : ", no worker"));
            RigShape shape;
            shape.mode = c.mapMode;
            CacheRig rig(shape);
            const ULONG eighth = rig.BlockBytes() / 8;
            DriverPhase = PhaseRunning;
            OpenSequence = 1;
            for (ULONG b : c.warm)
                rig.Warm(b);
            rig.Map()->WriteMode = 2;
            if (!worker)
                StopWorkerThread(&CacheRig::Ext(rig.master)->Worker);
            if (c.failSsd)
                rig.ssd.InjectError(DiskOp::Write, 0, 1 << 20, ssdError, 1);
            if (c.failMaster)
                rig.master.InjectError(DiskOp::Write, 0, 1 << 20, masterError, 1);
            emu::IoResult r = Write(rig, c.offsetBlocks8 * eighth, c.lengthBlocks8 * eighth, 7);
            EXPECT_EQ(r.status, c.expected);
            rig.master.ClearErrors();
            rig.ssd.ClearErrors();
            rig.machine.WaitUntilQuiet();
            rig.ExpectRead(0, 8 * rig.BlockBytes());
            EXPECT_EQ(rig.CheckCoherence(), "");
        }
}

// A write-back write with a master extent and an SSD extent, both failing
// with different statuses: the caller gets the one that completed first.
TEST_F(WritePathTest, OfTwoFailingChildrenTheOneThatCompletesFirstWins)
{
    for (bool masterFirst : {false, true}) {
        SCOPED_TRACE(masterFirst ? "master first" : "SSD first");
        RigShape shape;
        shape.mode = CacheModeWriteBack;
        CacheRig rig(shape);
        const ULONG eighth = rig.BlockBytes() / 8;
        DriverPhase = PhaseRunning;
        OpenSequence = 1;
        rig.Warm(2);
        rig.Map()->WriteMode = 2;
        rig.master.SetCompletion(CompletionMode::Held);
        rig.ssd.SetCompletion(CompletionMode::Held);
        rig.ssd.InjectError(DiskOp::Write, 0, 1 << 20, STATUS_IO_DEVICE_ERROR, 1);
        rig.master.InjectError(DiskOp::Write, 0, 1 << 20, STATUS_DEVICE_NOT_READY, 1);
        Started s = StartWrite(rig, (2 * 8 + 4) * eighth, 8 * eighth, 9);
        rig.machine.WaitUntilQuiet();
        (masterFirst ? rig.master : rig.ssd).ReleaseHeld();
        rig.machine.WaitUntilQuiet();
        EXPECT_FALSE(s.io->Done());
        (masterFirst ? rig.ssd : rig.master).ReleaseHeld();
        emu::IoResult r = Finish(rig, s);
        EXPECT_EQ(r.status, masterFirst ? STATUS_DEVICE_NOT_READY : STATUS_IO_DEVICE_ERROR);
        rig.master.SetCompletion(CompletionMode::Inline);
        rig.ssd.SetCompletion(CompletionMode::Inline);
        rig.master.ClearErrors();
        rig.ssd.ClearErrors();
        rig.machine.WaitUntilQuiet();
        EXPECT_EQ(rig.CheckCoherence(), "");
    }
}

// A write that cannot be sent as planned (no IRP, MDL, mapping or pool for
// its contexts) gives back its SSD extents and goes to the master whole; a
// plan that cannot be made fails the caller. Nothing leaks (the machine's
// power-off checks the pool).
TEST_F(WritePathTest, ResourceFailuresPassTheWriteDownOrFailIt)
{
    const emu::Resource resources[] = {emu::Resource::Pool, emu::Resource::Irp, emu::Resource::Mdl,
                                       emu::Resource::Map};
    for (emu::Resource resource : resources)
        for (UCHAR mapMode : {(UCHAR)1, CacheModeWriteBack})
            for (ULONG nth = 1; nth <= 4; nth++) {
                SCOPED_TRACE(testing::Message() << "resource " << (int)resource << ", map mode "
                                                << (int)mapMode << ", nth " << nth);
                RigShape shape;
                shape.mode = mapMode;
                CacheRig rig(shape);
                const ULONG block = rig.BlockBytes();
                DriverPhase = PhaseRunning;
                OpenSequence = 1;
                rig.Warm(2);
                rig.Warm(4);
                rig.Map()->WriteMode = 3;
                Started s{2 * block + 1024, Pattern(3 * block, 3), nullptr};
                emu::FailNth(resource, nth);
                s.io.reset(new emu::PendingIo(rig.machine.StartWrite(rig.master, s.offset, s.data.data(),
                                                                     (ULONG)s.data.size(),
                                                                     resource != emu::Resource::Map)));
                emu::IoResult r = Finish(rig, s);
                emu::ClearFailures();
                EXPECT_TRUE(r.status == STATUS_SUCCESS || r.status == STATUS_INSUFFICIENT_RESOURCES)
                    << r.status;
                rig.machine.WaitUntilQuiet();
                rig.ExpectRead(0, 8 * block);
                EXPECT_EQ(rig.CheckCoherence(), "");
            }
}

TEST_F(WritePathTest, EntryChecksAndDetachedWrites)
{
    CacheRig rig;
    FilterExtension* ext = CacheRig::Ext(rig.master);
    const uint64_t length = rig.shape_.masterBytes;
    std::vector<uint8_t> data = Pattern(1024, 1);
    rig.master.ClearRequests();
    EXPECT_EQ(rig.machine.Write(rig.master, 0, data.data(), 0).status, STATUS_INVALID_PARAMETER);
    emu::IoResult beyond = rig.machine.Write(rig.master, length - 512, data.data(), 1024);
    EXPECT_EQ(beyond.status, STATUS_NONEXISTENT_SECTOR);
    EXPECT_EQ(beyond.information, 0u);
    EXPECT_EQ(CountRequests(rig.master, IRP_MJ_WRITE) + CountRequests(rig.ssd, IRP_MJ_WRITE), 0u)
        << "refused writes reach no disk";

    struct Case {
        const char* what;
        ULONG active, start;
        ULONGLONG ssdId;
        bool detached;
        ULONG marked;
    };
    const Case cases[] = {
        {"attached", 1, 1, 5, false, 0},
        {"detached, set to attach at boot", 1, 1, 5, true, 1},
        {"detached, no SSD configured", 1, 1, 0, true, 0},
        {"detached, not started with Windows", 1, 0, 5, true, 0},
        {"not attached yet, set to attach at boot", 0, 1, 5, false, 1},
    };
    PDEVICE_OBJECT ssd = rig.Map()->SsdDevice;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ext->Cache.Active = c.active;
        ext->Master.MasterStart = c.start;
        ext->Master.SsdCacheDiskId = c.ssdId;
        ext->Cache.WrittenDetached = 0;
        rig.Map()->SsdDevice = c.detached ? NULL : ssd;
        rig.master.ClearRequests();
        EXPECT_EQ(Write(rig, 4096, 1024, 2).status, STATUS_SUCCESS);
        EXPECT_EQ(ext->Cache.WrittenDetached, c.marked);
        if (c.detached || !c.active) {
            EXPECT_EQ(CountRequests(rig.master, IRP_MJ_WRITE), 1u) << "passed down whole";
            EXPECT_EQ(CountRequests(rig.ssd, IRP_MJ_WRITE), 0u);
        }
    }
    rig.Map()->SsdDevice = ssd;
    ext->Cache.Active = 1;
}

// ---------------------------------------------------------------------------
// Own I/O in flight and races
// ---------------------------------------------------------------------------

TEST_F(WritePathTest, OwnWritesAreCountedUntilTheyComplete)
{
    CacheRig rig;
    DriverPhase = PhaseRunning;
    OpenSequence = 1;
    rig.Warm(2);
    rig.Map()->WriteMode = 2;
    rig.ssd.SetCompletion(CompletionMode::Held);
    rig.master.SetCompletion(CompletionMode::Held);
    Started s = StartWrite(rig, 2 * rig.BlockBytes(), 2048, 4);
    rig.machine.WaitUntilQuiet();
    EXPECT_EQ(OwnIoInFlight(rig.Map()), 2) << "the SSD write and the master write";
    EXPECT_TRUE(IsSlotBusy(rig.Map(), rig.View().Slot(2)));
    rig.ssd.ReleaseHeld();
    rig.master.ReleaseHeld();
    EXPECT_EQ(Finish(rig, s).status, STATUS_SUCCESS);
    rig.machine.WaitUntilQuiet();
    WaitForOwnCacheIo(rig.Map());
    EXPECT_EQ(OwnIoInFlight(rig.Map()), 0);
    EXPECT_FALSE(IsSlotBusy(rig.Map(), rig.View().Slot(2)));
}

// A read of a missed block takes a slot and reads the master; a write to the
// block lands before the read's fill: the fill must neither overwrite the
// write's data on the SSD nor mark the read's older data valid.
TEST_F(WritePathTest, AWriteBetweenAReadsPlanningAndItsFillWins)
{
    for (UCHAR writeMode : {(UCHAR)1, (UCHAR)2, (UCHAR)3, (UCHAR)0}) {
        SCOPED_TRACE((int)writeMode);
        CacheRig rig;
        const ULONG block = rig.BlockBytes();
        DriverPhase = PhaseRunning;
        OpenSequence = 1;
        rig.Map()->WriteMode = writeMode;
        rig.master.SetCompletion(CompletionMode::Held);
        std::vector<uint8_t> buffer(block);
        emu::PendingIo read = rig.machine.StartRead(rig.master, 5 * block, buffer.data(), block);
        rig.machine.WaitUntilQuiet();
        Started s = StartWrite(rig, 5 * block + 1024, 2048, 9);
        rig.machine.WaitUntilQuiet();
        // The read completes with the old data; the write, held back until
        // then, goes after it.
        rig.master.SetCompletion(CompletionMode::Inline);
        rig.master.ReleaseHeld();
        EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(Finish(rig, s).status, STATUS_SUCCESS);
        rig.machine.WaitUntilQuiet();
        rig.ExpectRead(5 * block, block);
        EXPECT_EQ(rig.CheckCoherence(), "");
    }
}

// A write that goes to the master only (write mode 0, the invalid sectors of
// a hit in mode 1, a miss) is held; a read of its block planned meanwhile
// reads the master's old data and fills it in, its set-valid landing before
// the write's completion or, with the fill's SSD write held, after it. Once
// the write has completed, no valid SSD copy may hold the old data.
TEST_F(WritePathTest, AReadPlannedDuringAMasterOnlyWriteLeavesNoStaleCopy)
{
    struct Case {
        const char* what;
        UCHAR writeMode;
        ULONG warmBytes;  // of block 5, read before the write: 0 for a miss
        bool noIrp;       // the write's own IRP cannot be had: it goes down unwatched
        bool ssdFails;    // a write-back map: the write goes to the SSD only, fails there
                          // and is handed to the master
    };
    const Case cases[] = {{"mode 0 on a hit", 0, 4096, false, false},
                          {"mode 1, invalid sectors of a hit", 1, 1024, false, false},
                          {"mode 1 on a miss", 1, 0, false, false},
                          {"mode 2 on a miss", 2, 0, false, false},
                          {"mode 0 on a hit, unwatched", 0, 4096, true, false},
                          {"mode 2 on a hit, unwatched", 2, 4096, true, false},
                          {"mode 2 on a hit, the SSD write fails", 2, 4096, false, true}};
    for (const Case& c : cases)
        for (bool setValidAfterWrite : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << c.what << (setValidAfterWrite ? ", set-valid after" : ", set-valid before"));
            RigShape shape;
            shape.mode = c.ssdFails ? CacheModeWriteBack : 1;
            CacheRig rig(shape);
            const ULONG block = rig.BlockBytes();
            DriverPhase = PhaseRunning;
            OpenSequence = 1;
            if (c.warmBytes) {
                rig.ExpectRead(5 * block, c.warmBytes);
                ASSERT_NE(rig.View().SlotOf(5), -1);
            }
            rig.Map()->WriteMode = c.writeMode;
            rig.master.SetCompletion(CompletionMode::Held);
            if (c.noIrp)
                emu::FailNth(emu::Resource::Irp, 1);
            if (c.ssdFails)
                rig.ssd.InjectError(DiskOp::Write, 0, ~0ull >> 10, STATUS_IO_DEVICE_ERROR);
            Started s = StartWrite(rig, 5 * block + 2048, 2048, 11);
            rig.machine.WaitUntilQuiet();
            emu::ClearFailures();
            rig.ssd.ClearErrors();
            ASSERT_EQ(rig.master.HeldCount(), 1u);
            rig.master.SetCompletion(CompletionMode::Inline);
            if (setValidAfterWrite)
                rig.ssd.SetCompletion(CompletionMode::Held);
            // The read covers the write's sectors only: none of it waits for
            // the SSD. It is held back until the held write has completed.
            std::vector<uint8_t> buffer(2048);
            emu::PendingIo read = rig.machine.StartRead(rig.master, 5 * block + 2048, buffer.data(), 2048);
            rig.machine.WaitUntilQuiet();
            EXPECT_FALSE(read.Done());
            EXPECT_EQ(rig.master.HeldCount(), 1u) << "nothing more reached the master";
            rig.master.ReleaseHeld();
            EXPECT_EQ(Finish(rig, s).status, STATUS_SUCCESS);
            EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
            EXPECT_EQ(buffer, s.data) << "the read follows the write";
            rig.machine.WaitUntilQuiet();
            rig.ssd.SetCompletion(CompletionMode::Inline);
            rig.ssd.ReleaseHeld();
            rig.machine.WaitUntilQuiet();
            rig.ExpectRead(5 * block, block);
            rig.ExpectRead(5 * block, block);
            EXPECT_EQ(rig.CheckCoherence(), "");
        }
}

// A slot with an own write in flight is no victim: with one slot and the
// write held, however hot another block gets, the slot stays its block's.
TEST_F(WritePathTest, ASlotWithAWriteInFlightIsNoVictim)
{
    RigShape shape;
    shape.slots = 1;
    CacheRig rig(shape);
    const ULONG block = rig.BlockBytes();
    DriverPhase = PhaseRunning;
    OpenSequence = 1;
    rig.Map()->WriteMode = 3;
    rig.Warm(1);
    rig.ssd.SetCompletion(CompletionMode::Held);
    Started s = StartWrite(rig, block + 512, 1024, 5);
    rig.machine.WaitUntilQuiet();
    for (int i = 0; i < 6; i++)
        rig.ExpectRead(2 * block, block);  // block 2 grows hotter than block 1
    rig.machine.WaitUntilQuiet();
    EXPECT_EQ(rig.View().SlotOf(1), 0) << "the slot was given away with a write in flight";
    rig.ssd.SetCompletion(CompletionMode::Inline);
    rig.ssd.ReleaseHeld();
    EXPECT_EQ(Finish(rig, s).status, STATUS_SUCCESS);
    rig.machine.WaitUntilQuiet();
    for (int i = 0; i < 6; i++)
        rig.ExpectRead(2 * block, block);  // now the slot may go
    rig.ExpectRead(0, 4 * block);
    EXPECT_EQ(rig.CheckCoherence(), "");
}

// Two writes to one block, each completing in the reverse order of sending,
// in both map modes.
TEST_F(WritePathTest, TwoWritesToOneBlockWithReversedCompletions)
{
    for (UCHAR mapMode : {(UCHAR)1, CacheModeWriteBack}) {
        SCOPED_TRACE((int)mapMode);
        RigShape shape;
        shape.mode = mapMode;
        CacheRig rig(shape);
        const ULONG block = rig.BlockBytes();
        DriverPhase = PhaseRunning;
        OpenSequence = 1;
        rig.Warm(3);
        rig.Map()->WriteMode = 2;
        rig.ssd.SetCompletion(CompletionMode::Held);
        rig.master.SetCompletion(CompletionMode::Held);
        Started a = StartWrite(rig, 3 * block, 1536, 1);
        Started b = StartWrite(rig, 3 * block + 2048, 2048, 2);
        rig.machine.WaitUntilQuiet();
        rig.ssd.ReleaseHeld(true);
        rig.master.ReleaseHeld(true);
        EXPECT_EQ(Finish(rig, b).status, STATUS_SUCCESS);
        EXPECT_EQ(Finish(rig, a).status, STATUS_SUCCESS);
        rig.ssd.SetCompletion(CompletionMode::Inline);
        rig.master.SetCompletion(CompletionMode::Inline);
        rig.machine.WaitUntilQuiet();
        rig.ExpectRead(3 * block, block);
        EXPECT_EQ(rig.CheckCoherence(), "");
    }
}

}  // namespace
