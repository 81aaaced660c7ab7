// Driver entry, control device and dispatch: counted strings, load failures
// without leftovers, the control device's names and version query, the
// routing of every request, the phases, and reads and writes passed through
// intact with their statistics.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <string.h>
#include <string>
#include <vector>

#include "tolvarn.h"
#include "countedstring.h"
#include "entry.h"
#include "pool.h"

namespace {

using emu::Client;
using emu::CompletionMode;
using emu::Disk;
using emu::DiskConfig;
using emu::IoResult;
using emu::Machine;
using emu::MachineConfig;
using emu::Resource;

const ULONG IoctlGetVersion = 0x222000;
const char16_t Service[] = u"DORQPELKZEMK";

UNICODE_STRING Counted(const std::u16string& text, USHORT lengthBytes, USHORT maxBytes)
{
    UNICODE_STRING s;
    s.Buffer = (PWSTR)text.data();
    s.Length = lengthBytes;
    s.MaximumLength = maxBytes;
    return s;
}

std::u16string Text(const UNICODE_STRING& s)
{
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

ULONGLONG DriverPool()
{
    return emu::PoolUsage(PoolTag).bytes;
}

MachineConfig Named(const char16_t* service)
{
    MachineConfig config;
    config.serviceName = service;
    return config;
}

// ---- Counted strings ----------------------------------------------------------

TEST(CountedString, CharsStopAtTheFirstNulWithinTheSmallerLength)
{
    struct Case {
        std::u16string text;
        USHORT length, max;
        ULONG chars;
        const char* what;
    };
    const Case cases[] = {
        {u"abc", 6, 8, 3, "plain"},
        {std::u16string(u"abc\0", 4), 8, 6, 3, "MaximumLength below Length"},
        {std::u16string(u"ab\0cd", 5), 10, 10, 2, "embedded NUL"},
        {u"abc", 5, 8, 2, "odd byte length drops the half unit"},
        {u"", 0, 2, 0, "empty"},
    };
    for (const Case& c : cases) {
        UNICODE_STRING s = Counted(c.text, c.length, c.max);
        EXPECT_EQ(c.chars, CountedStringChars(&s)) << c.what;
    }
    UNICODE_STRING noBuffer = {6, 8, NULL};
    EXPECT_EQ(0u, CountedStringChars(&noBuffer));
    EXPECT_EQ(0u, CountedStringChars(NULL));
}

TEST(CountedString, CopyHoldsTheTextBeforeTheNulAndIsTerminated)
{
    struct Case {
        std::u16string text;
        USHORT length;
        std::u16string copy;
    };
    const Case cases[] = {
        {u"\\REGISTRY\\X", 22, u"\\REGISTRY\\X"},
        {std::u16string(u"ab\0cd", 5), 10, u"ab"},  // Length never counts the NUL
    };
    for (const Case& c : cases) {
        UNICODE_STRING source = Counted(c.text, c.length, c.length);
        UNICODE_STRING copy;
        InitCountedString(&copy);
        ASSERT_EQ(STATUS_SUCCESS, CopyCountedString(&copy, &source));
        EXPECT_EQ(c.copy, Text(copy));
        EXPECT_EQ((c.copy.size() + 1) * 2, copy.MaximumLength);
        EXPECT_EQ(0, copy.Buffer[c.copy.size()]) << "NUL-terminated";
        FreeCountedString(&copy);
        EXPECT_EQ(nullptr, copy.Buffer);
        EXPECT_EQ(0, copy.Length);
    }
    EXPECT_EQ(0u, DriverPool());
}

TEST(CountedString, CopyAndConcatRefuseBadInputAndReportShortPool)
{
    std::u16string text = u"abc";
    UNICODE_STRING source = Counted(text, 6, 6);
    UNICODE_STRING empty = Counted(text, 0, 6);
    UNICODE_STRING dest;
    InitCountedString(&dest);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, CopyCountedString(NULL, &source));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, CopyCountedString(&dest, &empty));

    // 32767 characters: the copy's NUL would not fit a 16-bit byte size.
    std::u16string longest(32767, u'x');
    UNICODE_STRING huge = Counted(longest, 65534, 65534);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CopyCountedString(&dest, &huge));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ConcatToCountedString(&dest, longest.c_str(), u"y"));

    emu::FailNth(Resource::Pool, 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, CopyCountedString(&dest, &source));
    emu::FailNth(Resource::Pool, 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ConcatToCountedString(&dest, u"\\Device\\", u"X"));
    emu::ClearFailures();
    EXPECT_EQ(nullptr, dest.Buffer);

    ASSERT_EQ(STATUS_SUCCESS, ConcatToCountedString(&dest, u"\\Device\\", u"X"));
    EXPECT_EQ(u"\\Device\\X", Text(dest));
    EXPECT_EQ(20, dest.MaximumLength);
    EXPECT_EQ(0, dest.Buffer[9]);
    FreeCountedString(&dest);
    FreeCountedString(NULL);
    EXPECT_EQ(0u, DriverPool());
}

// ---- Loading ------------------------------------------------------------------

// DriverEntry called with a registry path of the test's choice.
std::u16string EntryPath;
NTSTATUS NTAPI EntryWithPath(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING path = Counted(EntryPath, (USHORT)(EntryPath.size() * 2), (USHORT)(EntryPath.size() * 2));
    return DriverEntry(driver, &path);
}

// Every failed load returns its status and leaves no device, link or pool:
// the machine's own leak check after a failed DriverEntry fails the test too.
TEST(DriverLoad, FailuresLeaveNothingBehind)
{
    const std::u16string key = u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\DORQPELKZEMK";
    struct Case {
        const char* what;
        UCHAR wdmMajor, wdmMinor;
        std::u16string path;
        Resource resource;
        ULONG nth;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"no WDM level", 0, 0, key, Resource::Pool, 0, STATUS_UNSUCCESSFUL},
        {"path without a backslash", 6, 0, u"DORQPELKZEMK", Resource::Pool, 0, STATUS_UNSUCCESSFUL},
        {"path ending in a backslash", 6, 0, key + u"\\", Resource::Pool, 0, STATUS_UNSUCCESSFUL},
        {"empty path", 6, 0, u"", Resource::Pool, 0, STATUS_UNSUCCESSFUL},
        {"registry path copy", 6, 0, key, Resource::Pool, 1, STATUS_INSUFFICIENT_RESOURCES},
        {"device name", 6, 0, key, Resource::Pool, 2, STATUS_INSUFFICIENT_RESOURCES},
        {"device name copy", 6, 0, key, Resource::Pool, 3, STATUS_INSUFFICIENT_RESOURCES},
        {"link name", 6, 0, key, Resource::Pool, 4, STATUS_INSUFFICIENT_RESOURCES},
        {"IoCreateDevice", 6, 0, key, Resource::Device, 1, STATUS_INSUFFICIENT_RESOURCES},
        {"IoCreateSymbolicLink", 6, 0, key, Resource::Link, 1, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Case& c : cases) {
        MachineConfig config = Named(Service);
        config.wdmMajor = c.wdmMajor;
        config.wdmMinor = c.wdmMinor;
        Machine machine(config);
        EntryPath = c.path;
        if (c.nth)
            emu::FailNth(c.resource, c.nth);
        EXPECT_EQ(c.status, machine.Load(EntryWithPath)) << c.what;
        emu::ClearFailures();
        EXPECT_FALSE(machine.Loaded()) << c.what;
        EXPECT_EQ(0u, emu::Live().devices) << c.what;
        EXPECT_EQ(0u, emu::Live().links) << c.what;
        EXPECT_EQ(0u, DriverPool()) << c.what;
        EXPECT_EQ(nullptr, ControlDevice) << c.what;
    }
}

TEST(DriverLoad, TheOldestWdmLevelIsEnough)
{
    MachineConfig config = Named(Service);
    config.wdmMajor = 1;
    config.wdmMinor = 0;
    Machine machine(config);
    EXPECT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
}

TEST(DriverLoad, ControlDeviceAndLinkFollowTheServiceName)
{
    Machine machine(Named(Service));
    ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
    PDEVICE_OBJECT device = machine.FindDevice(u"\\Device\\DORQPELKZEMK");
    ASSERT_NE(nullptr, device);
    EXPECT_EQ(device, ControlDevice);
    EXPECT_EQ(std::u16string(u"\\Device\\DORQPELKZEMK"), machine.LinkTarget(u"\\DosDevices\\DORQPELKZEMK"));
    EXPECT_EQ(std::u16string(u"DORQPELKZEMK"), std::u16string(ServiceName));
    EXPECT_EQ(ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE),
              device->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING));

    // Unload: device, link and every pool block go (the machine checks for leaks).
    machine.Unload();
    EXPECT_EQ(nullptr, machine.FindDevice(u"\\Device\\DORQPELKZEMK"));
    EXPECT_FALSE(machine.LinkTarget(u"\\DosDevices\\DORQPELKZEMK").has_value());
    EXPECT_EQ(0u, DriverPool());
    EXPECT_EQ(nullptr, RegistryPath.Buffer);
    EXPECT_EQ(nullptr, DriverObject);
}

TEST(DriverLoad, PhasesFromBootToUnload)
{
    Machine machine(Named(Service));
    machine.AddDisk();
    ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
    ASSERT_EQ(STATUS_SUCCESS, machine.AddAndStartAll());
    EXPECT_EQ(PhaseBoot, DriverPhase) << "until boot-driver reinitialization";
    machine.EndBootPhase();
    EXPECT_EQ(PhaseRunning, DriverPhase);
    machine.Shutdown();
    EXPECT_EQ(PhaseShutdown, DriverPhase);
    machine.Remove(machine.disk(0));
    machine.Unload();
    EXPECT_EQ(PhaseUnload, DriverPhase);
}

// ---- Control device --------------------------------------------------------------

struct VersionRecord {
    ULONG size, driverVersion, recordVersion, openNumber;
};

TEST(ControlDevice, VersionQueryGivesEachHandleItsOpenNumber)
{
    Machine machine(Named(Service));
    ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
    Client first, second;
    ASSERT_EQ(STATUS_SUCCESS, machine.Open(u"\\\\.\\DORQPELKZEMK", &first));
    ASSERT_EQ(STATUS_SUCCESS, machine.Open(u"\\\\.\\DORQPELKZEMK", &second));
    EXPECT_EQ(2u, OpenCount);

    for (ULONG expected : {2u, 1u}) {  // asked in the other order: the number is the handle's
        Client& client = expected == 1 ? first : second;
        VersionRecord record = {};
        ULONG returned = 0;
        ASSERT_EQ(STATUS_SUCCESS, client.DeviceIoControl(IoctlGetVersion, NULL, 0, &record, 16, &returned));
        EXPECT_EQ(16u, returned);
        EXPECT_EQ(16u, record.size);
        EXPECT_EQ(204u, record.driverVersion);
        EXPECT_EQ(203u, record.recordVersion);
        EXPECT_EQ(expected, record.openNumber);
    }

    first.Close();
    EXPECT_EQ(1u, OpenCount);
    Client third;
    ASSERT_EQ(STATUS_SUCCESS, machine.Open(u"\\\\.\\DORQPELKZEMK", &third));
    VersionRecord record = {};
    ASSERT_EQ(STATUS_SUCCESS, third.DeviceIoControl(IoctlGetVersion, NULL, 0, &record, 16));
    EXPECT_EQ(3u, record.openNumber) << "open numbers keep counting after a close";
    EXPECT_EQ(3u, OpenSequence);
}

TEST(ControlDevice, WrongVersionBufferOrUnknownCodeIsRefused)
{
    Machine machine(Named(Service));
    ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
    Client client;
    ASSERT_EQ(STATUS_SUCCESS, machine.Open(u"\\\\.\\DORQPELKZEMK", &client));
    struct Case {
        ULONG code;
        ULONG outLength;
        NTSTATUS status;
    };
    const Case cases[] = {
        {IoctlGetVersion, 15, STATUS_INVALID_BUFFER_SIZE},
        {IoctlGetVersion, 17, STATUS_INVALID_BUFFER_SIZE},
        {IoctlGetVersion, 0, STATUS_INVALID_BUFFER_SIZE},
        {0x222008, 16, STATUS_NOT_IMPLEMENTED},  // a code between the served ones
        {0x2223FC, 16, STATUS_NOT_IMPLEMENTED},
        {0x70000, 24, STATUS_NOT_IMPLEMENTED},  // a disk's code sent to the control device
    };
    for (const Case& c : cases) {
        UCHAR out[32];
        memset(out, 0xEE, sizeof out);
        ULONG returned = 99;
        EXPECT_EQ(c.status, client.DeviceIoControl(c.code, NULL, 0, out, c.outLength, &returned))
            << std::hex << c.code << " out " << std::dec << c.outLength;
        EXPECT_EQ(0u, returned);
    }
}

// ---- Routing ---------------------------------------------------------------------

struct Route {
    UCHAR major;
    UCHAR minor;
    ULONG ioctl;
};

IoResult Send(Machine& machine, PDEVICE_OBJECT device, const Route& r)
{
    return machine
        .StartIrp(device,
                  [&](PIRP irp, PIO_STACK_LOCATION next) {
                      irp->IoStatus.Status = r.major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
                      next->MajorFunction = r.major;
                      next->MinorFunction = r.minor;
                      if (r.major == IRP_MJ_DEVICE_CONTROL || r.major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
                          next->Parameters.DeviceIoControl.IoControlCode = r.ioctl;
                      if (r.major == IRP_MJ_POWER) {
                          next->Parameters.Power.Type = DevicePowerState;
                          next->Parameters.Power.State.DeviceState = PowerDeviceD0;
                      }
                  })
        .Wait();
}

// What the control device answers to requests it does not serve.
TEST(Routing, ControlDeviceRefusesWhatItDoesNotServe)
{
    Machine machine(Named(Service));
    ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
    struct Case {
        Route route;
        NTSTATUS status;
    };
    const Case cases[] = {
        {{IRP_MJ_READ, 0, 0}, STATUS_NOT_IMPLEMENTED},
        {{IRP_MJ_WRITE, 0, 0}, STATUS_NOT_IMPLEMENTED},
        {{IRP_MJ_CLEANUP, 0, 0}, STATUS_NOT_IMPLEMENTED},
        {{IRP_MJ_FLUSH_BUFFERS, 0, 0}, STATUS_NOT_IMPLEMENTED},
        {{IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 0x2D1080}, STATUS_NOT_IMPLEMENTED},
        {{IRP_MJ_SYSTEM_CONTROL, 0, 0}, STATUS_NOT_IMPLEMENTED},
        {{IRP_MJ_QUERY_INFORMATION, 0, 0}, STATUS_NOT_IMPLEMENTED},
        {{IRP_MJ_POWER, IRP_MN_SET_POWER, 0}, STATUS_NOT_IMPLEMENTED},
        {{IRP_MJ_PNP, IRP_MN_START_DEVICE, 0}, STATUS_NOT_IMPLEMENTED},
        {{IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, 0}, STATUS_NOT_IMPLEMENTED},
        {{IRP_MJ_CREATE, 0, 0}, STATUS_INVALID_DEVICE_REQUEST},  // no file object
        {{IRP_MJ_SHUTDOWN, 0, 0}, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        IoResult result = Send(machine, ControlDevice, c.route);
        EXPECT_EQ(c.status, result.status)
            << "major " << int(c.route.major) << " minor " << int(c.route.minor);
        EXPECT_EQ(0u, result.information);
    }
}

// Every request a filter device does not handle itself reaches the disk and
// comes back as the disk answered it, whatever the disk's role.
TEST(Routing, FilterPassesEveryOtherRequestDownUnchanged)
{
    Machine machine(Named(Service));
    Disk& disk = machine.AddDisk();
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    ASSERT_NE(disk.Top(), disk.Pdo());
    const Route routes[] = {
        {IRP_MJ_CREATE, 0, 0},
        {IRP_MJ_CLOSE, 0, 0},
        {IRP_MJ_CLEANUP, 0, 0},
        {IRP_MJ_FLUSH_BUFFERS, 0, 0},
        {IRP_MJ_SYSTEM_CONTROL, 0, 0},
        {IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 0x2D1080},
        {IRP_MJ_DEVICE_CONTROL, 0, 0x2D1080},  // storage device number
        {IRP_MJ_DEVICE_CONTROL, 0, 0x7405C},   // disk length
        {IRP_MJ_DEVICE_CONTROL, 0, 0x7C054},   // set drive layout
        {IRP_MJ_DEVICE_CONTROL, 0, 0x2223FC},  // a code the disk does not know
        {IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, 0},
        {IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, 0},
        {IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, 0},
        {IRP_MJ_POWER, IRP_MN_SET_POWER, 0},  // device power passes straight down
        {IRP_MJ_POWER, IRP_MN_QUERY_POWER, 0},
    };
    for (UCHAR role : {RoleNone, RoleMaster, RoleSsd}) {
        FilterExtensionOf(disk.Top())->Role = role;
        for (const Route& r : routes) {
            if (role == RoleSsd && r.ioctl == 0x7C054)
                continue;  // an SSD refuses layout requests (lifecycle_test)
            std::string what = "role " + std::to_string(role) + " major " + std::to_string(r.major) +
                               " minor " + std::to_string(r.minor) + " ioctl " + std::to_string(r.ioctl);
            IoResult direct = Send(machine, disk.Pdo(), r);
            ULONG seen = disk.Count(r.major, r.minor);
            IoResult filtered = Send(machine, disk.Top(), r);
            EXPECT_EQ(seen + 1, disk.Count(r.major, r.minor)) << what << ": the disk saw it";
            EXPECT_EQ(direct.status, filtered.status) << what;
            EXPECT_EQ(direct.information, filtered.information) << what;
        }
    }
    FilterExtensionOf(disk.Top())->Role = RoleNone;
}

// ---- Reads and writes ------------------------------------------------------------

std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed)
{
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; i++)
        out[i] = (uint8_t)(seed * 31 + i * 7 + (i >> 9));
    return out;
}

struct TransferCase {
    CompletionMode completion;
    bool worker;
};

class PassThrough : public ::testing::TestWithParam<TransferCase> {};

// Several reads and writes in flight on two disks at once, in every completion
// order of the disks, with and without a worker; the verifier checks the
// pending protocol (a request marked pending must return STATUS_PENDING).
TEST_P(PassThrough, DataArrivesIntactAndIsCountedOnce)
{
    const TransferCase param = GetParam();
    Machine machine(Named(Service));
    Disk& small = machine.AddDisk({.lengthBytes = 8 << 20, .sectorSize = 512});
    Disk& large = machine.AddDisk({.lengthBytes = 8 << 20, .sectorSize = 4096});
    ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
    for (Disk* d : {&small, &large}) {
        ASSERT_EQ(STATUS_SUCCESS, machine.AddDevice(*d));
        if (!param.worker)
            emu::FailNth(Resource::Thread, 1);
        ASSERT_EQ(STATUS_SUCCESS, machine.Start(*d));
        emu::ClearFailures();
        EXPECT_EQ(param.worker, FilterExtensionOf(d->Top())->Worker.Running != 0);
        d->SetCompletion(param.completion);
    }
    machine.EndBootPhase();
    FilterExtensionOf(large.Top())->Role = RoleSsd;

    const ULONG bytes = 16384;
    std::vector<std::vector<uint8_t>> data;
    std::vector<emu::PendingIo> writes;
    for (int i = 0; i < 6; i++) {
        data.push_back(Pattern(bytes, (uint8_t)i));
        writes.push_back(machine.StartWrite(i % 2 ? large : small, bytes * i, data[i].data(), bytes));
    }
    if (param.completion == CompletionMode::Held) {
        machine.WaitUntilQuiet();  // the worker has passed every request down
        small.ReleaseHeld(true);
        large.ReleaseHeld(false);
    }
    for (auto& w : writes) {
        IoResult r = w.Wait();
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        EXPECT_EQ(bytes, r.information);
    }
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(data[i], (i % 2 ? large : small).Bytes(bytes * i, bytes)) << "write " << i;

    std::vector<std::vector<uint8_t>> back(6, std::vector<uint8_t>(bytes));
    std::vector<emu::PendingIo> reads;
    for (int i = 0; i < 6; i++)
        reads.push_back(machine.StartRead(i % 2 ? large : small, bytes * i, back[i].data(), bytes, i < 3));
    if (param.completion == CompletionMode::Held) {
        machine.WaitUntilQuiet();
        small.ReleaseHeld(false);
        large.ReleaseHeld(true);
    }
    for (auto& r : reads) {
        IoResult result = r.Wait();
        EXPECT_EQ(STATUS_SUCCESS, result.status);
        EXPECT_EQ(bytes, result.information);
    }
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(data[i], back[i]) << "read " << i;

    // Each request counted once coming in and once going down.
    for (Disk* d : {&small, &large}) {
        const DiskStats& s = FilterExtensionOf(d->Top())->Stats;
        ULONGLONG sectors = 3 * (bytes / d->Config().sectorSize);
        EXPECT_EQ(3u, s.ReadsIn);
        EXPECT_EQ(3u, s.WritesIn);
        EXPECT_EQ(3u, s.ReadsDown);
        EXPECT_EQ(3u, s.WritesDown);
        EXPECT_EQ(sectors, s.SectorsReadIn);
        EXPECT_EQ(sectors, s.SectorsWrittenIn);
        EXPECT_EQ(sectors, s.SectorsReadDown);
        EXPECT_EQ(sectors, s.SectorsWrittenDown);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllCompletionOrders, PassThrough,
    ::testing::Values(TransferCase{CompletionMode::Inline, true}, TransferCase{CompletionMode::Fifo, true},
                      TransferCase{CompletionMode::Reversed, true}, TransferCase{CompletionMode::Held, true},
                      TransferCase{CompletionMode::Inline, false}, TransferCase{CompletionMode::Fifo, false},
                      TransferCase{CompletionMode::Reversed, false},
                      TransferCase{CompletionMode::Held, false}));

// A request's sectors are its whole sectors: a trailing partial sector is not
// counted, a zero-length request counts as one request of no sectors.
TEST(DiskStats, RequestsCountTheirWholeSectors)
{
    struct Case {
        ULONG sectorSize;
        ULONG length;
        ULONGLONG sectors;
    };
    const Case cases[] = {
        {512, 1000, 1}, {512, 0, 0}, {512, 4096, 8}, {4096, 4096, 1}, {4096, 12288, 3},
    };
    for (const Case& c : cases) {
        Machine machine(Named(Service));
        Disk& disk = machine.AddDisk({.lengthBytes = 1 << 20, .sectorSize = c.sectorSize});
        ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
        std::vector<uint8_t> buffer(c.length + 1);
        machine.Read(disk, 0, buffer.data(), c.length);
        machine.Write(disk, 0, buffer.data(), c.length);
        const DiskStats& s = FilterExtensionOf(disk.Top())->Stats;
        std::string what = std::to_string(c.length) + " bytes at " + std::to_string(c.sectorSize);
        EXPECT_EQ(1u, s.ReadsIn) << what;
        EXPECT_EQ(c.sectors, s.SectorsReadIn) << what;
        EXPECT_EQ(1u, s.WritesIn) << what;
        EXPECT_EQ(c.sectors, s.SectorsWrittenIn) << what;
        EXPECT_EQ(s.SectorsReadIn, s.SectorsReadDown) << what;
        EXPECT_EQ(s.SectorsWrittenIn, s.SectorsWrittenDown) << what;
    }
}

// Without a worker the request runs on the caller's thread and still comes back
// with exactly the disk's answer, completed inline or later.
TEST(DiskStats, WithoutWorkerAFailingDiskStatusReachesTheCaller)
{
    for (CompletionMode mode : {CompletionMode::Inline, CompletionMode::Fifo}) {
        Machine machine(Named(Service));
        Disk& disk = machine.AddDisk();
        ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
        ASSERT_EQ(STATUS_SUCCESS, machine.AddDevice(disk));
        emu::FailNth(Resource::Thread, 1);
        ASSERT_EQ(STATUS_SUCCESS, machine.Start(disk));
        emu::ClearFailures();
        disk.SetCompletion(mode);
        disk.FailNth(emu::DiskOp::Read, 1, STATUS_IO_DEVICE_ERROR);
        std::vector<uint8_t> buffer(4096);
        IoResult failed = machine.Read(disk, 0, buffer.data(), 4096);
        EXPECT_EQ(STATUS_IO_DEVICE_ERROR, failed.status);
        IoResult ok = machine.Read(disk, 0, buffer.data(), 4096);
        EXPECT_EQ(STATUS_SUCCESS, ok.status);
        EXPECT_EQ(4096u, ok.information);
        auto records = disk.Requests();
        ULONG reads = 0;
        for (const auto& r : records)
            reads += r.major == IRP_MJ_READ;
        EXPECT_EQ(2u, reads);
    }
}

TEST(DriverUnload, LeavesNothingBehindAfterDisksAndClientsAreGone)
{
    Machine machine(Named(Service));
    Disk& a = machine.AddDisk();
    Disk& b = machine.AddDisk({.sectorSize = 4096});
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    {
        Client client;
        ASSERT_EQ(STATUS_SUCCESS, machine.Open(u"\\\\.\\DORQPELKZEMK", &client));
        std::vector<uint8_t> buffer(8192);
        machine.Write(a, 0, buffer.data(), 8192);
        machine.Read(b, 0, buffer.data(), 8192);
    }
    machine.Remove(a);
    machine.Remove(b);
    machine.Unload();
    emu::LiveObjects live = emu::Live();
    EXPECT_EQ(0u, live.devices);
    EXPECT_EQ(0u, live.links);
    EXPECT_EQ(0u, live.threads);
    EXPECT_EQ(0, live.references);
    EXPECT_EQ(0u, DriverPool());
}

}  // namespace
