// A filter on two simulated disks passes reads and writes through in every
// completion order; data and statuses arrive intact.
#include <emu/machine.h>
#include <gtest/gtest.h>

#include <vector>

#include "drivers/filter.h"

namespace {

std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed)
{
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; ++i)
        out[i] = (uint8_t)(seed + i * 7);
    return out;
}

struct Case {
    FilterMode filter;
    emu::CompletionMode completion;
};

class PassThrough : public ::testing::TestWithParam<Case> {};

TEST_P(PassThrough, ReadsAndWritesArriveIntact)
{
    emu::Machine machine;
    emu::Disk& hdd = machine.AddDisk({.lengthBytes = 8 << 20, .sectorSize = 512});
    emu::Disk& ssd = machine.AddDisk({.lengthBytes = 4 << 20, .sectorSize = 4096});
    ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
    FilterState.Mode = GetParam().filter;
    ASSERT_NE(hdd.Top(), hdd.Pdo()) << "the filter is attached";
    hdd.SetCompletion(GetParam().completion);
    ssd.SetCompletion(GetParam().completion);

    // Several requests in flight on both disks at once.
    std::vector<std::vector<uint8_t>> data;
    for (int i = 0; i < 4; ++i)
        data.push_back(Pattern(8192, (uint8_t)i));
    std::vector<emu::PendingIo> writes;
    for (int i = 0; i < 4; ++i) {
        emu::Disk& disk = i % 2 ? ssd : hdd;
        writes.push_back(machine.StartWrite(disk, 8192u * i, data[i].data(), 8192));
    }
    if (GetParam().completion == emu::CompletionMode::Held) {
        machine.WaitUntilQuiet();  // everything queued has reached the disks
        hdd.ReleaseHeld(true);
        ssd.ReleaseHeld(false);
    }
    for (auto& w : writes) {
        emu::IoResult r = w.Wait();
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 8192u);
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ((i % 2 ? ssd : hdd).Bytes(8192u * i, 8192), data[i]) << "write " << i;

    std::vector<std::vector<uint8_t>> back(4, std::vector<uint8_t>(8192));
    std::vector<emu::PendingIo> reads;
    for (int i = 0; i < 4; ++i)
        reads.push_back(machine.StartRead(i % 2 ? ssd : hdd, 8192u * i, back[i].data(), 8192, i < 2));
    if (GetParam().completion == emu::CompletionMode::Held) {
        machine.WaitUntilQuiet();
        hdd.ReleaseHeld(false);
        ssd.ReleaseHeld(true);
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(reads[i].Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(back[i], data[i]) << "read " << i;
    }

    // Errors pass through unchanged.
    hdd.InjectError(emu::DiskOp::Read, 100, 1, STATUS_IO_DEVICE_ERROR);
    std::vector<uint8_t> buffer(512);
    if (GetParam().completion == emu::CompletionMode::Held) {
        hdd.SetCompletion(emu::CompletionMode::Fifo);
        ssd.SetCompletion(emu::CompletionMode::Fifo);
    }
    EXPECT_EQ(machine.Read(hdd, 100 * 512, buffer.data(), 512).status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(machine.Read(ssd, 100, buffer.data(), 512).status, STATUS_INVALID_PARAMETER) << "misaligned";

    const bool completionsSeen = GetParam().filter != FilterSkip && GetParam().filter != FilterQueue;
    if (completionsSeen) {
        EXPECT_GE(FilterState.Completions, 9);
    }
    if (completionsSeen && GetParam().completion != emu::CompletionMode::Inline) {
        EXPECT_GT(FilterState.PendingSeen, 0) << "the disk pended";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Orders, PassThrough,
    ::testing::Values(
        Case{FilterSkip, emu::CompletionMode::Inline}, Case{FilterSkip, emu::CompletionMode::Fifo},
        Case{FilterSkip, emu::CompletionMode::Reversed}, Case{FilterSkip, emu::CompletionMode::Held},
        Case{FilterPropagate, emu::CompletionMode::Inline}, Case{FilterPropagate, emu::CompletionMode::Fifo},
        Case{FilterPropagate, emu::CompletionMode::Reversed},
        Case{FilterPropagate, emu::CompletionMode::Held}, Case{FilterForward, emu::CompletionMode::Inline},
        Case{FilterForward, emu::CompletionMode::Fifo}, Case{FilterForward, emu::CompletionMode::Reversed},
        Case{FilterQueue, emu::CompletionMode::Inline}, Case{FilterQueue, emu::CompletionMode::Fifo},
        Case{FilterQueue, emu::CompletionMode::Reversed}, Case{FilterQueue, emu::CompletionMode::Held}));

TEST(PassThroughWorker, WorkerTicksOnTheVirtualClock)
{
    emu::Machine machine;
    machine.AddDisk();
    ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
    machine.WaitUntilQuiet();
    LONG before = FilterState.WorkerPasses;
    machine.AdvanceMs(1000);
    EXPECT_EQ(FilterState.WorkerPasses - before, 10);
}

TEST(PassThroughOrder, ReversedCompletesNewestFirst)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk();
    ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
    FilterState.Mode = FilterPropagate;
    disk.SetCompletion(emu::CompletionMode::Held);
    std::vector<uint8_t> a(512), b(512);
    emu::PendingIo first = machine.StartRead(disk, 0, a.data(), 512);
    emu::PendingIo second = machine.StartRead(disk, 512, b.data(), 512);
    EXPECT_FALSE(first.Done());
    EXPECT_EQ(disk.HeldCount(), 2u);
    disk.ReleaseHeld(true);
    machine.WaitUntilQuiet();
    EXPECT_TRUE(first.Done() && second.Done());
    auto records = disk.Requests();
    ASSERT_GE(records.size(), 2u);
}

TEST(PassThroughClient, ControlDeviceEchoesThroughItsLink)
{
    emu::Machine machine;
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(machine.LinkTarget(u"\\DosDevices\\EmuFilter"), std::u16string(u"\\Device\\EmuFilter"));
    emu::Client client;
    ASSERT_EQ(machine.Open(u"\\\\.\\EmuFilter", &client), STATUS_SUCCESS);
    EXPECT_EQ(FilterState.Opens, 1);
    char in[5] = "ping", out[8] = {};
    ULONG returned = 0;
    EXPECT_EQ(client.DeviceIoControl(IOCTL_FILTER_ECHO, in, 5, out, sizeof out, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 5u);
    EXPECT_STREQ(out, "ping");
    EXPECT_EQ(client.DeviceIoControl(IOCTL_FILTER_ECHO, in, 5, out, 2, &returned), STATUS_BUFFER_TOO_SMALL);
    client.Close();
    emu::Client none;
    EXPECT_EQ(machine.Open(u"\\\\.\\NoSuchDevice", &none), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
