// A reboot keeps the registry and the disk bytes; everything of the driver
// goes and comes back fresh.
#include <emu/machine.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <vector>

#include "drivers/broken.h"
#include "drivers/filter.h"

namespace {

TEST(Reboot, KeepsRegistryAndDiskBytesAndEmptiesThePool)
{
    emu::Machine machine;
    char path[] = "/tmp/emu-reboot-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    emu::Disk& fileDisk = machine.AddDisk({.lengthBytes = 1ull << 30, .backingFile = path});
    emu::Disk& memoryDisk = machine.AddDisk({.lengthBytes = 16 << 20, .sectorSize = 4096});
    ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(emu::PoolUsage(FILTER_POOL_TAG).blocks, 1u);

    // 1. Data written through the stacks and a registry value.
    std::vector<uint8_t> data(4096, 0x5A);
    ASSERT_EQ(machine.Write(fileDisk, (1ull << 30) - 4096, data.data(), 4096).status, STATUS_SUCCESS);
    ASSERT_EQ(machine.Write(memoryDisk, 8192, data.data(), 4096).status, STATUS_SUCCESS);
    std::u16string diskKey = machine.RegistryPath() + u"\\Disk0";
    emu::reg::SetQword(diskKey, u"TimeStamp", 0x1122334455667788ull);
    LARGE_INTEGER before;
    KeQuerySystemTime(&before);
    {
        emu::Client client;
        ASSERT_EQ(machine.Open(u"\\\\.\\EmuFilter", &client), STATUS_SUCCESS);
    }
    EXPECT_EQ(FilterState.Opens, 1);

    // 2. Reboot: the unload inside is leak-checked (a fault would fail the test).
    ASSERT_EQ(machine.Reboot(), STATUS_SUCCESS);
    EXPECT_EQ(emu::PoolUsage(FILTER_POOL_TAG).blocks, 1u) << "only the new instance's block";
    EXPECT_EQ(machine.AddAndStartAll(), STATUS_SUCCESS);
    machine.EndBootPhase();
    EXPECT_NE(fileDisk.Top(), fileDisk.Pdo()) << "the filter attached again";
    EXPECT_EQ(FilterState.Opens, 0) << "the driver's globals were set afresh";

    // 3. What survives.
    EXPECT_EQ(emu::reg::GetQword(diskKey, u"TimeStamp"), 0x1122334455667788ull);
    std::vector<uint8_t> back(4096);
    EXPECT_EQ(machine.Read(fileDisk, (1ull << 30) - 4096, back.data(), 4096).status, STATUS_SUCCESS);
    EXPECT_EQ(back, data);
    EXPECT_EQ(memoryDisk.Bytes(8192, 4096), data);
    LARGE_INTEGER after;
    KeQuerySystemTime(&after);
    EXPECT_GT(after.QuadPart, before.QuadPart) << "time moved on across the reboot";
    unlink(path);
}

TEST(Reboot, APowerCutLosesWhatTheWriteCacheHeld)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk({.writeCache = true});
    ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
    std::vector<uint8_t> flushed(512, 0x11), lost(512, 0x22);
    ASSERT_EQ(machine.Write(disk, 0, flushed.data(), 512).status, STATUS_SUCCESS);
    ASSERT_EQ(machine.SendMajor(disk, IRP_MJ_FLUSH_BUFFERS).status, STATUS_SUCCESS);
    ASSERT_EQ(machine.Write(disk, 0, lost.data(), 512).status, STATUS_SUCCESS);
    ASSERT_EQ(machine.Write(disk, 512, lost.data(), 512).status, STATUS_SUCCESS);
    EXPECT_EQ(disk.Bytes(0, 512), lost) << "visible before the cut";
    ASSERT_EQ(machine.PowerCut(), STATUS_SUCCESS);
    EXPECT_EQ(disk.Bytes(0, 512), flushed);
    EXPECT_EQ(disk.Bytes(512, 512), std::vector<uint8_t>(512, 0));
    EXPECT_EQ(disk.Count(IRP_MJ_SHUTDOWN), 0u) << "no shutdown at a power cut";
}

TEST(Reboot, ALeakAtRebootIsCaught)
{
    emu::FaultCatcher catcher;
    {
        emu::Machine machine;
        ASSERT_EQ(machine.Load(BrokenDriverEntry), STATUS_SUCCESS);
        emu::Client client;
        ASSERT_EQ(machine.Open(u"\\\\.\\Broken", &client), STATUS_SUCCESS);
        client.DeviceIoControl(BROKEN_IOCTL(BreakLeakPool), nullptr, 0, nullptr, 0);
        client.Close();
        ASSERT_EQ(machine.Reboot(), STATUS_SUCCESS);
        EXPECT_TRUE(catcher.Saw(emu::Fault::PoolLeak));
        EXPECT_EQ(emu::PoolUsage().blocks, 0u) << "the new boot starts from an empty pool";
    }
}

TEST(Reboot, FailedDriverEntryMustLeaveNothing)
{
    emu::Machine machine({.wdmMajor = 0, .wdmMinor = 0});
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0));
    emu::FailNth(emu::Resource::Link, 1);
    EXPECT_EQ(machine.Load(FilterDriverEntry), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(machine.Loaded());
    EXPECT_EQ(machine.FindDevice(u"\\Device\\EmuFilter"), nullptr);
}

}  // namespace
