// Own requests and synchronous transfers on simulated disks: splitting into
// pieces, which failure is reported, what is counted, and that nothing is
// left behind.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string.h>
#include <thread>
#include <vector>

#include "eventually.h"
#include "tolvarn.h"
#include "entry.h"
#include "pool.h"
#include "requests.h"

// A completion that touched the waiter's counter after the waiter returned
// would be a use of a dead stack frame.
extern "C" const char* __asan_default_options()
{
    return "detect_stack_use_after_return=1";
}

namespace {

using emu::Disk;
using emu::DiskConfig;
using emu::Machine;

struct Piece {
    uint64_t offset;
    ULONG length;
    bool operator==(const Piece& other) const { return offset == other.offset && length == other.length; }
};

std::ostream& operator<<(std::ostream& out, const Piece& p)
{
    return out << "{" << p.offset << ", " << p.length << "}";
}

// Live kernel objects and pool of the driver's tag, to compare with a baseline.
struct Snapshot {
    ULONG irps, mdls;
    uint64_t poolBlocks;
    static Snapshot Take()
    {
        emu::LiveObjects live = emu::Live();
        return {live.irps, live.mdls, emu::PoolUsage(PoolTag).blocks};
    }
};

void ExpectBaseline(const Snapshot& before, const char* when)
{
    Snapshot now = Snapshot::Take();
    EXPECT_EQ(before.irps, now.irps) << "IRPs " << when;
    EXPECT_EQ(before.mdls, now.mdls) << "MDLs " << when;
    EXPECT_EQ(before.poolBlocks, now.poolBlocks) << "pool " << when;
}

// An own request with its completion routine, as the cache paths send them.
struct OwnCompletion {
    KEVENT done;
    NTSTATUS status;
};

NTSTATUS NTAPI TestOwnCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    OwnCompletion* own = (OwnCompletion*)context;
    own->status = FreeOwnIrp(irp);
    KeSetEvent(&own->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class OwnRequests : public ::testing::Test {
public:
    void Boot(ULONG sectorSize = 512, emu::CompletionMode completion = emu::CompletionMode::Inline)
    {
        DiskConfig config;
        config.sectorSize = sectorSize;
        config.lengthBytes = 64ull << 20;
        config.completion = completion;
        disk_ = &machine_.AddDisk(config);
        ASSERT_EQ(STATUS_SUCCESS, machine_.Boot(DriverEntry));
        filter_ = disk_->Top();
        ext_ = FilterExtensionOf(filter_);
        disk_->ClearRequests();
    }

    UCHAR* NewBuffer(size_t bytes)
    {
        UCHAR* buffer = (UCHAR*)AllocatePool(bytes);
        buffers_.push_back(buffer);
        return buffer;
    }
    void TearDown() override
    {
        for (UCHAR* buffer : buffers_)
            FreePool(buffer);
    }

    DiskRequest Range(ULONGLONG start, ULONG count) { return DiskRequest{filter_, start, count, nullptr}; }

    // Sends an own request of 8 sectors at the sector, counting the given
    // number of sectors, and waits for its completion.
    void SendOwn(bool write, ULONGLONG sector, ULONG countedSectors, UCHAR* buffer)
    {
        OwnCompletion own;
        KeInitializeEvent(&own.done, NotificationEvent, FALSE);
        own.status = STATUS_PENDING;
        ULONGLONG offset = sector << ext_->SectorShift;
        ULONG bytes = 8u << ext_->SectorShift;
        PIRP irp = write ? BuildOwnWriteIrp(filter_, offset, bytes, buffer)
                         : BuildOwnReadIrp(filter_, offset, bytes, buffer);
        ASSERT_NE(nullptr, irp);
        if (write)
            SendOwnWriteIrp(filter_, irp, countedSectors, TestOwnCompletion, &own);
        else
            SendOwnReadIrp(filter_, irp, countedSectors, TestOwnCompletion, &own);
        KeWaitForSingleObject(&own.done, Executive, KernelMode, FALSE, NULL);
        EXPECT_EQ(STATUS_SUCCESS, own.status);
    }

    std::vector<Piece> PiecesSeen(UCHAR major)
    {
        std::vector<Piece> pieces;
        for (const emu::DiskRecord& r : disk_->Requests())
            if (r.major == major)
                pieces.push_back({r.offset, r.length});
        return pieces;
    }

    Machine machine_;
    Disk* disk_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    FilterExtension* ext_ = nullptr;
    std::vector<UCHAR*> buffers_;
};

TEST_F(OwnRequests, InitDiskRequestDropsPartialSectors)
{
    Boot(4096);
    DiskRequest request;
    InitDiskRequest(filter_, 8192 + 100, 3 * 4096 + 4095, &request);
    EXPECT_EQ(filter_, request.Device);
    EXPECT_EQ(2u, request.StartSector);
    EXPECT_EQ(3u, request.SectorCount);
}

// Pieces as (first sector, sectors) relative to the start of the range.
struct SplitCase {
    const char* what;
    ULONG sectorSize;
    ULONG count;
    bool noGeometry;  // MaxTransfer 0: one piece
    std::vector<std::pair<ULONG, ULONG>> pieces;
};

class SyncSplit : public OwnRequests, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SyncSplit, ReadAndWriteGoInPiecesOfAtMostOneMib)
{
    const SplitCase& c = GetParam();
    Boot(c.sectorSize);
    if (c.noGeometry)
        ext_->MaxTransfer = 0;
    const ULONGLONG start = 8;
    const size_t bytes = (size_t)c.count * c.sectorSize;
    std::vector<Piece> expected;
    for (auto& p : c.pieces)
        expected.push_back({(start + p.first) * c.sectorSize, p.second * c.sectorSize});

    std::vector<uint8_t> pattern(bytes);
    for (size_t i = 0; i < bytes; i++)
        pattern[i] = (uint8_t)(i * 7 + i / 4096);
    disk_->WriteBytes(start * c.sectorSize, pattern.data(), bytes);
    DiskStats statsBefore = ext_->Stats;
    UCHAR* buffer = NewBuffer(bytes);
    Snapshot before = Snapshot::Take();
    DiskRequest request = Range(start, c.count);
    ASSERT_EQ(STATUS_SUCCESS, ReadSectorsSync(&request, buffer));
    EXPECT_EQ(expected, PiecesSeen(IRP_MJ_READ));
    EXPECT_EQ(0, memcmp(pattern.data(), buffer, bytes)) << "each piece lands at its buffer offset";

    for (size_t i = 0; i < bytes; i++)
        buffer[i] = (UCHAR)~pattern[i];
    ASSERT_EQ(STATUS_SUCCESS, WriteSectorsSync(&request, buffer));
    EXPECT_EQ(expected, PiecesSeen(IRP_MJ_WRITE));
    EXPECT_EQ(0, memcmp(buffer, disk_->Bytes(start * c.sectorSize, bytes).data(), bytes));

    EXPECT_EQ(statsBefore.ReadsDown, ext_->Stats.ReadsDown) << "pieces are not counted";
    EXPECT_EQ(statsBefore.WritesDown, ext_->Stats.WritesDown);
    ExpectBaseline(before, "after the transfers");
}

INSTANTIATE_TEST_SUITE_P(
    Table, SyncSplit,
    ::testing::Values(
        SplitCase{"1.25 MiB", 512, 2560, false, {{0, 2048}, {2048, 512}}},
        SplitCase{"exactly 1 MiB", 512, 2048, false, {{0, 2048}}},
        SplitCase{"one sector", 512, 1, false, {{0, 1}}},
        SplitCase{"4 KiB sectors", 4096, 300, false, {{0, 256}, {256, 44}}},
        SplitCase{
            "5 MiB", 512, 10240, false, {{0, 2048}, {2048, 2048}, {4096, 2048}, {6144, 2048}, {8192, 2048}}},
        SplitCase{"geometry unknown", 512, 3000, true, {{0, 3000}}}));

// Runs a synchronous transfer on its own thread, so that the test can hold
// and release the disk's completions meanwhile.
class TransferThread {
public:
    TransferThread(const DiskRequest& request, UCHAR* buffer, bool write)
        : request_(request), thread_([this, buffer, write] {
              status_ = write ? WriteSectorsSync(&request_, buffer) : ReadSectorsSync(&request_, buffer);
              done_ = true;
          })
    {}
    ~TransferThread() { Join(); }
    bool Done() const { return done_; }
    NTSTATUS Join()
    {
        if (thread_.joinable())
            thread_.join();
        return status_;
    }

private:
    DiskRequest request_;
    std::atomic<bool> done_{false};
    NTSTATUS status_ = STATUS_PENDING;
    std::thread thread_;
};

TEST_F(OwnRequests, AllPiecesAreInFlightBeforeTheWait)
{
    Boot(512, emu::CompletionMode::Held);
    UCHAR* buffer = NewBuffer(5u << 20);
    Snapshot before = Snapshot::Take();
    TransferThread transfer(Range(0, 10240), buffer, false);
    ASSERT_TRUE(Eventually([&] { return disk_->HeldCount() == 5; }));
    EXPECT_FALSE(transfer.Done()) << "the waiter stays blocked while pieces are out";
    disk_->ReleaseHeld();
    EXPECT_EQ(STATUS_SUCCESS, transfer.Join());
    ExpectBaseline(before, "after the transfer");
}

TEST_F(OwnRequests, TheFirstFailingCompletionIsReported)
{
    struct Case {
        bool newestFirst;
        NTSTATUS expected;
    };
    const Case cases[] = {{false, STATUS_IO_DEVICE_ERROR}, {true, STATUS_DEVICE_NOT_READY}};
    Boot(512, emu::CompletionMode::Held);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.newestFirst ? "newest first" : "oldest first");
        disk_->ClearErrors();
        disk_->InjectError(emu::DiskOp::Read, 2048, 1, STATUS_IO_DEVICE_ERROR);   // piece 2 of 3
        disk_->InjectError(emu::DiskOp::Read, 4096, 1, STATUS_DEVICE_NOT_READY);  // piece 3 of 3
        UCHAR* buffer = NewBuffer(3u << 20);
        Snapshot before = Snapshot::Take();
        TransferThread transfer(Range(0, 6144), buffer, false);
        ASSERT_TRUE(Eventually([&] { return disk_->HeldCount() == 3; }));
        disk_->ReleaseHeld(c.newestFirst);
        EXPECT_EQ(c.expected, transfer.Join());
        ExpectBaseline(before, "after the failed transfer");
    }
}

TEST_F(OwnRequests, APieceThatCannotBeBuiltFailsTheTransferAfterTheOthers)
{
    const emu::Resource resources[] = {emu::Resource::Irp, emu::Resource::Mdl, emu::Resource::Pool};
    Boot(512, emu::CompletionMode::Held);
    for (emu::Resource resource : resources) {
        SCOPED_TRACE((int)resource);
        UCHAR* buffer = NewBuffer(3u << 20);
        Snapshot before = Snapshot::Take();
        emu::FailNth(resource, 2);
        TransferThread transfer(Range(0, 6144), buffer, true);
        ASSERT_TRUE(Eventually([&] { return disk_->HeldCount() == 2; }));
        EXPECT_FALSE(transfer.Done()) << "returned before the other pieces completed";
        disk_->ReleaseHeld();
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, transfer.Join());
        emu::ClearFailures();
        ExpectBaseline(before, "after the failed transfer");
    }
}

TEST_F(OwnRequests, ManyTransfersCompletedOnTheDisksThread)
{
    Boot(512, emu::CompletionMode::Fifo);
    UCHAR* buffer = NewBuffer(3u << 20);
    Snapshot before = Snapshot::Take();
    for (int i = 0; i < 200; i++) {
        DiskRequest request = Range(i, 4096 + 1 + i % 3);
        ASSERT_EQ(STATUS_SUCCESS,
                  (i & 1) ? WriteSectorsSync(&request, buffer) : ReadSectorsSync(&request, buffer));
    }
    ExpectBaseline(before, "after 200 transfers");
}

TEST_F(OwnRequests, EmptyAndOversizedTransfersSendNothing)
{
    Boot();
    UCHAR* buffer = NewBuffer(512);
    DiskRequest empty = Range(0, 0);
    EXPECT_EQ(STATUS_SUCCESS, ReadSectorsSync(&empty, buffer));
    EXPECT_EQ(STATUS_SUCCESS, WriteSectorsSync(&empty, buffer));
    ext_->MaxTransfer = 0;  // one piece of 8 GiB would not fit a request
    DiskRequest huge = Range(0, 0x1000000);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ReadSectorsSync(&huge, buffer));
    EXPECT_TRUE(disk_->Requests().empty());
}

TEST_F(OwnRequests, WhatIsCounted)
{
    Boot();
    UCHAR* buffer = NewBuffer(16 * 512);
    struct Case {
        const char* what;
        std::function<void(OwnRequests*)> send;
        ULONG reads, writes;
        ULONGLONG sectorsRead, sectorsWritten;
    };
    const Case cases[] = {
        {"own read of 0 sectors", [&](OwnRequests* t) { t->SendOwn(false, 8, 0, buffer); }, 0, 0, 0, 0},
        {"own read of 8 sectors", [&](OwnRequests* t) { t->SendOwn(false, 8, 8, buffer); }, 1, 0, 8, 0},
        {"own write of 8 sectors", [&](OwnRequests* t) { t->SendOwn(true, 8, 8, buffer); }, 0, 1, 0, 8},
        {"caller's read passed down",
         [&](OwnRequests* t) {
             ASSERT_EQ(STATUS_SUCCESS, t->machine_.Read(*t->disk_, 4096, buffer, 5 * 512).status);
         },
         1, 0, 5, 0},
        {"caller's write passed down",
         [&](OwnRequests* t) {
             ASSERT_EQ(STATUS_SUCCESS, t->machine_.Write(*t->disk_, 4096, buffer, 3 * 512).status);
         },
         0, 1, 0, 3},
        {"synchronous read",
         [&](OwnRequests* t) {
             DiskRequest r = t->Range(0, 16);
             ASSERT_EQ(STATUS_SUCCESS, ReadSectorsSync(&r, buffer));
         },
         0, 0, 0, 0},
        {"counted synchronous read",
         [&](OwnRequests* t) {
             DiskRequest r = t->Range(0, 16);
             ASSERT_EQ(STATUS_SUCCESS, ReadSectorsSyncCounted(&r, buffer));
         },
         1, 0, 16, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DiskStats before = ext_->Stats;
        c.send(this);
        EXPECT_EQ(before.ReadsDown + c.reads, ext_->Stats.ReadsDown);
        EXPECT_EQ(before.WritesDown + c.writes, ext_->Stats.WritesDown);
        EXPECT_EQ(before.SectorsReadDown + c.sectorsRead, ext_->Stats.SectorsReadDown);
        EXPECT_EQ(before.SectorsWrittenDown + c.sectorsWritten, ext_->Stats.SectorsWrittenDown);
    }
}

TEST_F(OwnRequests, CallerBuffers)
{
    Boot();
    UCHAR* buffer = NewBuffer(4096);
    PIRP irp = IoAllocateIrp(1, FALSE);
    DiskRequest request = {filter_, 0, 8, irp};
    PVOID address = (PVOID)1;

    EXPECT_FALSE(GetCallerBuffer(&request, &address)) << "no MDL";
    EXPECT_EQ(nullptr, address);

    irp->MdlAddress = IoAllocateMdl(buffer, 4096, FALSE, FALSE, NULL);
    emu::FailNth(emu::Resource::Map, 1);
    EXPECT_FALSE(GetCallerBuffer(&request, &address)) << "mapping fails";
    emu::ClearFailures();

    ASSERT_TRUE(GetCallerBuffer(&request, &address)) << "an unmapped MDL is mapped";
    ASSERT_NE(nullptr, address);
    ((UCHAR*)address)[10] = 0x5A;
    EXPECT_EQ(0x5A, buffer[10]) << "the mapping shows the caller's bytes";
    PVOID again = nullptr;
    ASSERT_TRUE(GetCallerBuffer(&request, &again)) << "a mapped MDL gives its system address";
    EXPECT_EQ(address, again);
    MmUnmapLockedPages(address, irp->MdlAddress);
    IoFreeMdl(irp->MdlAddress);

    irp->MdlAddress = BuildMdlForBuffer(buffer, 4096);
    ASSERT_TRUE(GetCallerBuffer(&request, &address)) << "a nonpaged-pool MDL";
    EXPECT_EQ((PVOID)buffer, address);
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = NULL;
    IoFreeIrp(irp);
}

}  // namespace
