// The simulated disk as a driver below it sees it: geometry, checks on
// transfers, errors, control requests, the IDENTIFY pass-through and PnP.
#include <emu/machine.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drivers/filter.h"

namespace {

emu::IoResult Ioctl(emu::Machine& m, emu::Disk& d, ULONG code, void* out, ULONG outLength)
{
    return m.DiskIoControl(d, code, nullptr, 0, out, outLength);
}

TEST(SimDisk, GeometryAndLengthFollowTheConfiguredSectorSize)
{
    for (ULONG sector : {512u, 4096u, 520u}) {
        emu::Machine machine;
        emu::Disk& disk =
            machine.AddDisk({.lengthBytes = 1040ull << 20, .sectorSize = sector, .deviceNumber = 7});
        ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
        DISK_GEOMETRY g = {};
        emu::IoResult r = Ioctl(machine, disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, &g, sizeof g);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, sizeof g);
        EXPECT_EQ(g.BytesPerSector, sector);
        EXPECT_EQ(g.MediaType, FixedMedia);
        GET_LENGTH_INFORMATION l = {};
        EXPECT_EQ(Ioctl(machine, disk, IOCTL_DISK_GET_LENGTH_INFO, &l, sizeof l).status, STATUS_SUCCESS);
        EXPECT_EQ(l.Length.QuadPart, 1040ll << 20);
        STORAGE_DEVICE_NUMBER n = {};
        EXPECT_EQ(Ioctl(machine, disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, &n, sizeof n).information, 12u);
        EXPECT_EQ(n.DeviceNumber, 7u);
        EXPECT_EQ(n.DeviceType, (ULONG)FILE_DEVICE_DISK);
        EXPECT_EQ(Ioctl(machine, disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, &g, sizeof g - 1).status,
                  STATUS_BUFFER_TOO_SMALL);
    }
}

struct TransferCase {
    uint64_t offset;
    ULONG length;
    NTSTATUS expected;
};

TEST(SimDisk, TransfersMustBeAlignedAndInRange)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk({.lengthBytes = 1 << 20, .sectorSize = 4096});
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    const TransferCase cases[] = {
        {0, 4096, STATUS_SUCCESS},
        {(1 << 20) - 4096, 4096, STATUS_SUCCESS},
        {(1 << 20) - 4096, 8192, STATUS_INVALID_PARAMETER},  // runs past the end
        {1 << 20, 4096, STATUS_INVALID_PARAMETER},
        {512, 4096, STATUS_INVALID_PARAMETER},  // misaligned offset
        {0, 512, STATUS_INVALID_PARAMETER},     // partial sector
        {0, 0, STATUS_SUCCESS},
    };
    std::vector<uint8_t> buffer(8192);
    for (const TransferCase& c : cases) {
        emu::IoResult r = machine.Read(disk, c.offset, buffer.data(), c.length);
        EXPECT_EQ(r.status, c.expected) << c.offset << "+" << c.length;
        EXPECT_EQ(r.information, NT_SUCCESS(c.expected) ? c.length : 0u);
    }
    auto records = disk.Requests();
    ASSERT_EQ(records.size(), std::size(cases));
    EXPECT_EQ(records[1].offset, (1u << 20) - 4096);
    EXPECT_EQ(records[1].major, IRP_MJ_READ);
    EXPECT_EQ(records[1].irql, PASSIVE_LEVEL);
    EXPECT_EQ(records[2].status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(disk.LargestTransfer(), 8192u);
}

TEST(SimDisk, ErrorsByRangeByCountAndGone)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk();
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(4096);
    disk.InjectError(emu::DiskOp::Write, 16, 8, STATUS_IO_DEVICE_ERROR, 2);
    EXPECT_EQ(machine.Read(disk, 16 * 512, buffer.data(), 512).status, STATUS_SUCCESS) << "reads unaffected";
    EXPECT_EQ(machine.Write(disk, 12 * 512, buffer.data(), 4096).status, STATUS_IO_DEVICE_ERROR) << "overlap";
    EXPECT_EQ(machine.Write(disk, 23 * 512, buffer.data(), 512).status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(machine.Write(disk, 23 * 512, buffer.data(), 512).status, STATUS_SUCCESS) << "two times only";
    EXPECT_EQ(machine.Write(disk, 24 * 512, buffer.data(), 512).status, STATUS_SUCCESS);
    disk.FailNth(emu::DiskOp::Read, 2, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(machine.Read(disk, 0, buffer.data(), 512).status, STATUS_SUCCESS);
    EXPECT_EQ(machine.Read(disk, 0, buffer.data(), 512).status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(machine.Read(disk, 0, buffer.data(), 512).status, STATUS_SUCCESS);
    disk.SetGone(true);
    EXPECT_EQ(machine.Read(disk, 0, buffer.data(), 512).status, STATUS_NO_SUCH_DEVICE);
    GET_LENGTH_INFORMATION l;
    EXPECT_EQ(Ioctl(machine, disk, IOCTL_DISK_GET_LENGTH_INFO, &l, sizeof l).status, STATUS_NO_SUCH_DEVICE);
}

TEST(SimDisk, WritesLandInTheBackingBytesAndDirectWritesAreSeen)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk({.lengthBytes = 2ull << 40});  // sparse: 2 TiB costs nothing
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    std::vector<uint8_t> data(131072, 0x3C);
    uint64_t offset = (1ull << 40) + 65536 - 512;  // across chunk boundaries
    ASSERT_EQ(machine.Write(disk, offset, data.data(), (ULONG)data.size()).status, STATUS_SUCCESS);
    EXPECT_EQ(disk.Bytes(offset, data.size()), data);
    EXPECT_EQ(disk.Bytes(offset - 512, 512), std::vector<uint8_t>(512, 0))
        << "untouched sectors read as zeros";
    std::vector<uint8_t> behind(512, 0x77);
    disk.WriteBytes(4096, behind.data(), 512);
    std::vector<uint8_t> back(512);
    ASSERT_EQ(machine.Read(disk, 4096, back.data(), 512).status, STATUS_SUCCESS);
    EXPECT_EQ(back, behind);
}

TEST(SimDisk, ControlRequestOverridesAndLayoutRecording)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk({.portNumber = 2, .pathId = 0, .targetId = 3, .lun = 0});
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    SCSI_ADDRESS a = {};
    EXPECT_EQ(Ioctl(machine, disk, IOCTL_SCSI_GET_ADDRESS, &a, sizeof a).status, STATUS_SUCCESS);
    EXPECT_EQ(a.Length, 8u);
    EXPECT_EQ(a.PortNumber, 2);
    EXPECT_EQ(a.TargetId, 3);
    disk.SetIoctlResult(IOCTL_SCSI_GET_ADDRESS, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Ioctl(machine, disk, IOCTL_SCSI_GET_ADDRESS, &a, sizeof a).status, STATUS_NOT_SUPPORTED);
    STORAGE_DEVICE_NUMBER n;
    disk.SetIoctlInformation(IOCTL_STORAGE_GET_DEVICE_NUMBER, 4);
    emu::IoResult r = Ioctl(machine, disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, &n, sizeof n);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u) << "short answer";
    for (ULONG code : {IOCTL_DISK_SET_DRIVE_LAYOUT, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, IOCTL_DISK_DELETE_DRIVE_LAYOUT,
                       IOCTL_DISK_CREATE_DISK, IOCTL_DISK_SET_PARTITION_INFO, IOCTL_DISK_SET_PARTITION_INFO_EX})
        EXPECT_EQ(Ioctl(machine, disk, code, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(disk.LayoutChanges(), 6u);
    EXPECT_EQ(
        Ioctl(machine, disk, CTL_CODE(FILE_DEVICE_DISK, 0x123, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0)
            .status,
        STATUS_INVALID_DEVICE_REQUEST);
}

// Builds the 60-byte miniport IDENTIFY request for drive number drive.
std::vector<uint8_t> IdentifyRequest(UCHAR drive, const char* signature = "SCSIDISK", ULONG code = 0x1B0501)
{
    std::vector<uint8_t> b(556, 0);
    auto put32 = [&](size_t at, ULONG v) { memcpy(&b[at], &v, 4); };
    put32(0, 28);
    memcpy(&b[4], signature, 8);
    put32(12, 1000);
    put32(16, code);
    put32(24, 528);
    put32(28, 32);
    b[38] = 0xEC;
    b[40] = drive;
    return b;
}

std::string AtaString(const uint8_t* identify, int firstWord, int words)
{
    std::string s;
    for (int w = firstWord; w < firstWord + words; ++w) {
        s += (char)identify[w * 2 + 1];
        s += (char)identify[w * 2];
    }
    return s;
}

TEST(SimDisk, IdentifyPassThroughAnswersTheExactRequest)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk({.targetId = 1, .model = "ACME HD 2000", .serial = "  SN42"});
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    std::vector<uint8_t> request = IdentifyRequest(1);
    std::vector<uint8_t> answer(556, 0xFF);
    emu::IoResult r =
        machine.DiskIoControl(disk, IOCTL_SCSI_MINIPORT, request.data(), 60, answer.data(), 556);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 556u);
    EXPECT_EQ(AtaString(&answer[44], 27, 20), "ACME HD 2000" + std::string(28, ' '));
    EXPECT_EQ(AtaString(&answer[44], 10, 10), "  SN42" + std::string(14, ' '));
    EXPECT_EQ(disk.LastIdentifyInput(), std::vector<uint8_t>(request.begin(), request.begin() + 60));

    struct Bad {
        std::vector<uint8_t> request;
        ULONG outLength;
        NTSTATUS expected;
    };
    const Bad bad[] = {
        {IdentifyRequest(0), 556, STATUS_INVALID_PARAMETER},              // another drive
        {IdentifyRequest(1, "SCSIDISX"), 556, STATUS_INVALID_PARAMETER},  // signature
        {IdentifyRequest(1, "SCSIDISK", 0x1B0502), 556, STATUS_INVALID_DEVICE_REQUEST},
        {IdentifyRequest(1), 555, STATUS_BUFFER_TOO_SMALL},
    };
    for (const Bad& b : bad)
        EXPECT_EQ(
            machine.DiskIoControl(disk, IOCTL_SCSI_MINIPORT, b.request.data(), 60, answer.data(), b.outLength)
                .status,
            b.expected);
    uint8_t raw[512];
    for (int i = 0; i < 512; ++i)
        raw[i] = (uint8_t)(0x80 + i);
    disk.SetIdentifyData(raw);
    ASSERT_EQ(machine.DiskIoControl(disk, IOCTL_SCSI_MINIPORT, request.data(), 60, answer.data(), 556).status,
              STATUS_SUCCESS);
    EXPECT_EQ(memcmp(&answer[44], raw, 512), 0) << "raw bytes, high ones included";
    disk.SetIdentifySupported(false);
    EXPECT_EQ(machine.DiskIoControl(disk, IOCTL_SCSI_MINIPORT, request.data(), 60, answer.data(), 556).status,
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST(SimDisk, StartIsCountedCanFailOrPendAndChecksItsInitialStatus)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk();
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    disk.SetStartResult(STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(machine.Start(disk), STATUS_DEVICE_NOT_READY);
    disk.SetStartResult(STATUS_SUCCESS, true);
    EXPECT_EQ(machine.Start(disk), STATUS_SUCCESS);
    EXPECT_EQ(disk.StartCount(), 2u);
    emu::FaultCatcher catcher;
    machine
        .StartIrp(disk.Pdo(),
                  [](PIRP, PIO_STACK_LOCATION next) {
                      next->MajorFunction = IRP_MJ_PNP;
                      next->MinorFunction = IRP_MN_START_DEVICE;
                  })
        .Wait();
    EXPECT_TRUE(catcher.Saw(emu::Fault::PnpStatusNotInitialised));
}

TEST(SimDisk, SurpriseRemovalMakesTheDiskGoneAndRemovesTheStack)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk();
    ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(machine.SurpriseRemove(disk), STATUS_SUCCESS);
    EXPECT_EQ(disk.Pdo(), nullptr);
    EXPECT_EQ(disk.Count(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL), 1u);
    EXPECT_EQ(disk.Count(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_EQ(machine.Replug(disk), STATUS_SUCCESS);
    EXPECT_EQ(machine.AddDevice(disk), STATUS_SUCCESS);
    EXPECT_EQ(machine.Start(disk), STATUS_SUCCESS);
    uint8_t buffer[512];
    EXPECT_EQ(machine.Read(disk, 0, buffer, 512).status, STATUS_SUCCESS) << "a replugged disk is not gone";
}

TEST(SimDisk, AMachineThatNeverBootedTearsDownCleanly)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk({.completion = emu::CompletionMode::Held});
    EXPECT_EQ(disk.Pdo(), nullptr);
    disk.ReleaseHeld();
    EXPECT_EQ(machine.AddDevice(disk), STATUS_NO_SUCH_DEVICE);
}

TEST(SimDisk, PowerAndShutdownReachEveryStack)
{
    emu::Machine machine;
    emu::Disk& a = machine.AddDisk();
    emu::Disk& b = machine.AddDisk();
    ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(machine.SetSystemPower(PowerSystemHibernate), STATUS_SUCCESS);
    b.SetPowerPending(true);
    EXPECT_EQ(machine.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(a.Count(IRP_MJ_POWER, IRP_MN_SET_POWER), 2u);
    EXPECT_EQ(b.Count(IRP_MJ_POWER, IRP_MN_SET_POWER), 2u);
    EXPECT_EQ(machine.StartNextPowerIrpCount(), 4u) << "the filter starts the next power IRP each time";
    machine.Shutdown();
    EXPECT_EQ(a.Count(IRP_MJ_SHUTDOWN), 1u);
    EXPECT_EQ(b.Count(IRP_MJ_SHUTDOWN), 1u);
}

// A disk whose stack did not register for shutdown notification gets no
// shutdown request from the machine (ReactOS's disk stack below partmgr).
TEST(SimDisk, ShutdownSkipsAStackThatDidNotRegister)
{
    emu::Machine machine;
    emu::Disk& registered = machine.AddDisk();
    emu::Disk& silent = machine.AddDisk({.shutdownNotification = false});
    ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
    machine.Shutdown();
    EXPECT_EQ(registered.Count(IRP_MJ_SHUTDOWN), 1u);
    EXPECT_EQ(silent.Count(IRP_MJ_SHUTDOWN), 0u);
}

TEST(SimDisk, RequestRecordKeepsTheIrpFlags)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk({.completion = emu::CompletionMode::Fifo});
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(4096);
    EXPECT_EQ(
        machine.StartRead(disk, 0, buffer.data(), 4096, true, IRP_PAGING_IO | IRP_NOCACHE).Wait().status,
        STATUS_SUCCESS);
    EXPECT_EQ(machine.StartWrite(disk, 4096, buffer.data(), 512, true, IRP_NOCACHE).Wait().status,
              STATUS_SUCCESS);
    EXPECT_EQ(machine.Read(disk, 0, buffer.data(), 512).status, STATUS_SUCCESS);
    auto records = disk.Requests();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].irpFlags, (ULONG)(IRP_PAGING_IO | IRP_NOCACHE));
    EXPECT_EQ(records[1].irpFlags, (ULONG)IRP_NOCACHE);
    EXPECT_EQ(records[2].irpFlags, 0u);
}

// The cost of one request under the timing model, in microseconds.
double ServiceMicroseconds(const emu::DiskTiming& timing, uint64_t head, bool write, uint64_t offset,
                           ULONG bytes)
{
    return emu::DiskServiceNanoseconds(timing, 1ull << 40, head, write, offset, bytes) / 1000.0;
}

struct ServiceCase {
    const char* what;
    emu::DiskTiming timing;
    uint64_t head;
    bool write;
    uint64_t offset;
    ULONG bytes;
    double low, high;  // microseconds
};

TEST(SimDiskTiming, ServiceTimeFollowsTheModel)
{
    const emu::DiskTiming hdd = emu::HardDiskTiming();
    const emu::DiskTiming ssd = emu::SsdTiming();
    const uint64_t tb = 1ull << 40;
    const ServiceCase cases[] = {
        {"no timing", {}, 0, false, 12345 * 512, 4096, 0, 0},
        {"hdd sequential 4 KiB: transfer only", hdd, 1 << 20, false, 1 << 20, 4096, 27.3, 27.4},
        {"hdd sequential 1 MiB", hdd, 0, false, 0, 1 << 20, 6990, 6991},
        {"hdd next track: track-to-track, half a turn, transfer", hdd, 1 << 20, false, (1 << 20) + 4096, 4096,
         5194, 5195},
        {"hdd at the mean random seek: 8.5 ms", hdd, 0, false, tb / 225 * 64, 4096, 12650, 12670},
        {"hdd full stroke backwards", hdd, tb, true, 0, 4096, 19193, 19194},
        {"ssd read: command and transfer, wherever it is", ssd, 0, false, tb / 2, 4096, 100.4, 100.5},
        {"ssd write", ssd, 0, true, 4096, 4096, 24.4, 24.5},
    };
    for (const ServiceCase& c : cases) {
        double us = ServiceMicroseconds(c.timing, c.head, c.write, c.offset, c.bytes);
        EXPECT_GE(us, c.low) << c.what;
        EXPECT_LE(us, c.high) << c.what;
    }
    double previous = 0;
    for (uint64_t distance = 4096; distance <= tb; distance *= 4) {
        double us = ServiceMicroseconds(hdd, 0, false, distance, 4096);
        EXPECT_GT(us, previous) << "a longer seek costs more: " << distance;
        previous = us;
    }
}

// In virtual time: with room for several requests at once their commands run
// side by side, with one they wait in line; the transfers share the disk's
// interface either way, so a long transfer holds up the short ones behind it.
TEST(SimDiskTiming, QueueDepthServesCommandsInParallelAndTransfersInTurn)
{
    const uint64_t ms = 1000000, t = 976562;  // nanoseconds; t: 512 bytes at 512 KiB/s
    struct Case {
        ULONG depth;
        ULONG commandMicroseconds;
        ULONG firstBytes;
        uint64_t quickEnd, firstEnd;  // ns after the start: the last short read's end, the first read's
    };
    const Case cases[] = {
        // 10 ms commands and short transfers: in line, or side by side.
        {1, 10000, 512, 4 * (10 * ms + t), 10 * ms + t},
        {4, 10000, 512, 10 * ms + 4 * t, 10 * ms + t},
        // A 64 KiB transfer (125 ms) ahead of them: depth 4 still waits for it.
        {4, 0, 64 << 10, 125 * ms + 3 * t, 125 * ms},
    };
    auto ticks = [](uint64_t ns) { return (LONGLONG)((ns + 99) / 100); };  // the clock's 100 ns units
    for (const Case& c : cases) {
        emu::Machine machine;
        emu::DiskTiming timing;
        timing.queueDepth = c.depth;
        timing.bytesPerSecond = 512 << 10;
        timing.readMicroseconds = c.commandMicroseconds;
        timing.clock = emu::TimingClock::Virtual;
        emu::Disk& disk = machine.AddDisk({.completion = emu::CompletionMode::Fifo, .timing = timing});
        ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
        std::vector<uint8_t> first(c.firstBytes), small(3 * 512);
        LONGLONG start = machine.Now();
        emu::PendingIo io = machine.StartRead(disk, 0, first.data(), c.firstBytes);
        std::vector<emu::PendingIo> quick;
        for (int i = 0; i < 3; ++i)
            quick.push_back(machine.StartRead(disk, (1 << 20) + i * 512, &small[i * 512], 512));
        for (emu::PendingIo& q : quick)
            EXPECT_EQ(q.Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(machine.Now() - start, ticks(c.quickEnd)) << "depth " << c.depth << ", first " << c.firstBytes;
        EXPECT_EQ(io.Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(machine.Now() - start, ticks(std::max(c.quickEnd, c.firstEnd)));
    }
}

// The virtual clock moves to a completion only when nothing in the machine
// can run, and waiting for quiet waits for the disks' service too.
TEST(SimDiskTiming, VirtualTimeRunsOnlyWhileTheMachineWaits)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk({.lengthBytes = 1ull << 30,
                                       .completion = emu::CompletionMode::Fifo,
                                       .timing = emu::InVirtualTime(emu::HardDiskTiming())});
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(4096);
    LONGLONG start = machine.Now();
    emu::PendingIo io = machine.StartRead(disk, 512 << 20, buffer.data(), 4096);
    EXPECT_EQ(machine.Now(), start) << "no time passes while the test runs";
    EXPECT_FALSE(io.Done());
    machine.WaitUntilQuiet();
    EXPECT_TRUE(io.Done());
    uint64_t ns = emu::DiskServiceNanoseconds(emu::HardDiskTiming(), 1ull << 30, 0, false, 512 << 20, 4096);
    EXPECT_EQ(machine.Now() - start, (LONGLONG)(ns + 99) / 100);
    start = machine.Now();
    EXPECT_EQ(machine.Read(disk, (512 << 20) + 4096, buffer.data(), 4096).status, STATUS_SUCCESS);
    EXPECT_EQ(machine.Now() - start, 274) << "sequential: the transfer alone, 27.3 us";
}

TEST(SimDisk, HeldReadsMoveTheirDataAtArrivalOrAtCompletion)
{
    for (bool onArrival : {false, true}) {
        emu::Machine machine;
        emu::Disk& disk = machine.AddDisk({.completion = emu::CompletionMode::Held});
        ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
        disk.SetTransferOnArrival(onArrival);
        std::vector<uint8_t> before(512, 1), after(512, 2), read(512), written(512, 3);
        disk.WriteBytes(0, before.data(), 512);
        emu::PendingIo r = machine.StartRead(disk, 0, read.data(), 512);
        emu::PendingIo w = machine.StartWrite(disk, 512, written.data(), 512);
        disk.WriteBytes(0, after.data(), 512);
        EXPECT_EQ(disk.Bytes(512, 512), onArrival ? written : std::vector<uint8_t>(512, 0));
        disk.ReleaseHeld();
        EXPECT_EQ(r.Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(w.Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(read, onArrival ? before : after);
        EXPECT_EQ(disk.Bytes(512, 512), written);
    }
}

// ---- Requests in flight together ---------------------------------------------------

enum class Sender { Own, PassedDown, Outside };

NTSTATUS NTAPI FreeOwnRequest(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = NULL;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PMDL MappedMdl(void* buffer, ULONG length)
{
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, NULL);
    MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, NULL, FALSE, HighPagePriority);
    return mdl;
}

// A read or write of the disk: an IRP of the driver's kind (IoAllocateIrp)
// sent to the PDO, a caller's through the filter on top, or a caller's
// straight to the PDO.
void Send(emu::Machine& machine, emu::Disk& disk, Sender sender, UCHAR major, uint64_t offset,
          std::vector<uint8_t>& buffer)
{
    ULONG length = (ULONG)buffer.size();
    if (sender == Sender::Own) {
        PIRP irp = IoAllocateIrp(disk.Pdo()->StackSize, FALSE);
        irp->MdlAddress = MappedMdl(buffer.data(), length);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->Parameters.Read.Length = length;
        next->Parameters.Read.ByteOffset.QuadPart = (LONGLONG)offset;
        IoSetCompletionRoutine(irp, FreeOwnRequest, NULL, TRUE, TRUE, TRUE);
        IofCallDriver(disk.Pdo(), irp);
    } else if (sender == Sender::PassedDown) {
        if (major == IRP_MJ_READ)
            machine.StartRead(disk, offset, buffer.data(), length);
        else
            machine.StartWrite(disk, offset, buffer.data(), length);
    } else {
        machine.StartIrp(disk.Pdo(), [&](PIRP irp, PIO_STACK_LOCATION next) {
            next->MajorFunction = major;
            next->Parameters.Read.Length = length;
            next->Parameters.Read.ByteOffset.QuadPart = (LONGLONG)offset;
            irp->MdlAddress = MappedMdl(buffer.data(), length);
        });
    }
}

struct OverlapCase {
    const char* name;
    Sender firstSender;
    UCHAR firstMajor;
    Sender secondSender;
    UCHAR secondMajor;
    uint64_t secondSector;  // the first covers sectors 0-7, the second 8 sectors from here
    bool firstDoneBefore;   // the first completes before the second is sent
    bool fault;
};

TEST(SimDisk, OverlapCheckFlagsOnlyRequestsWhoseOrderTheDriverNeeds)
{
    const UCHAR R = IRP_MJ_READ, W = IRP_MJ_WRITE;
    const Sender Own = Sender::Own, Down = Sender::PassedDown, Out = Sender::Outside;
    const OverlapCase cases[] = {
        {"own write over own write", Own, W, Own, W, 4, false, true},
        {"own read beside own write", Own, W, Own, R, 7, false, true},
        {"own read beside own read", Own, R, Own, R, 0, false, false},
        {"own read beside a caller's write", Down, W, Own, R, 2, false, true},
        {"a caller's write over own write", Own, W, Down, W, 0, false, true},
        {"two callers' writes", Down, W, Down, W, 0, false, false},
        {"own write over a write below the filter", Out, W, Own, W, 0, false, false},
        {"own writes side by side", Own, W, Own, W, 8, false, false},
        {"own write after the first completed", Own, W, Own, W, 0, true, false},
    };
    for (const OverlapCase& c : cases) {
        emu::FaultCatcher catcher;
        {
            emu::Machine machine;
            emu::Disk& disk = machine.AddDisk({.completion = emu::CompletionMode::Held});
            ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
            std::vector<uint8_t> first(8 * 512, 1), second(8 * 512, 2);
            Send(machine, disk, c.firstSender, c.firstMajor, 0, first);
            if (c.firstDoneBefore) {
                disk.ReleaseHeld();
                machine.WaitUntilQuiet();
            }
            Send(machine, disk, c.secondSender, c.secondMajor, c.secondSector * 512, second);
            disk.ReleaseHeld();
            machine.WaitUntilQuiet();
        }
        EXPECT_EQ(catcher.Count(emu::Fault::OverlappingRequests), c.fault ? 1u : 0u) << c.name;
    }
}

TEST(SimDisk, OverlappingWritesLandInTheOrderTheyComplete)
{
    // Checked off: two callers' writes are not the driver's business.
    for (bool newestFirst : {false, true}) {
        emu::Machine machine;
        emu::Disk& disk = machine.AddDisk({.completion = emu::CompletionMode::Held});
        ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
        std::vector<uint8_t> older(512, 1), newer(512, 2);
        emu::PendingIo a = machine.StartWrite(disk, 0, older.data(), 512);
        emu::PendingIo b = machine.StartWrite(disk, 0, newer.data(), 512);
        EXPECT_EQ(disk.Bytes(0, 512), std::vector<uint8_t>(512, 0)) << "nothing lands before completion";
        disk.ReleaseHeld(newestFirst);
        EXPECT_EQ(a.Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(b.Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(disk.Bytes(0, 512), newestFirst ? older : newer);
    }
}

}  // namespace
