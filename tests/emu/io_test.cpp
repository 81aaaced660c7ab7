// I/O manager semantics the driver relies on: completion routines and their
// invoke flags, STATUS_MORE_PROCESSING_REQUIRED, the pending flag, device
// enumeration, synchronous device-control requests and MDLs.
#include <emu/machine.h>
#include <gtest/gtest.h>

#include <vector>

#include "drivers/filter.h"

namespace {

struct RoutineLog {
    int calls = 0;
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    BOOLEAN pendingReturned = FALSE;
    KIRQL irql = 0;
    PIRP irp = nullptr;
    NTSTATUS answer = STATUS_SUCCESS;
};

IO_COMPLETION_ROUTINE LogCompletion;
NTSTATUS NTAPI LogCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    RoutineLog* log = (RoutineLog*)context;
    log->calls++;
    log->device = device;
    log->pendingReturned = irp->PendingReturned;
    log->irql = KeGetCurrentIrql();
    log->irp = irp;
    return log->answer;
}

struct InvokeCase {
    UCHAR major;  // FLUSH succeeds on a disk, QUERY_INFORMATION fails
    BOOLEAN cancel;
    BOOLEAN onSuccess, onError, onCancel;
    int expectedCalls;
};

TEST(Completion, RoutineRunsOnlyWhenItsInvokeFlagMatches)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk();
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    const InvokeCase cases[] = {
        {IRP_MJ_FLUSH_BUFFERS, FALSE, TRUE, FALSE, FALSE, 1},
        {IRP_MJ_FLUSH_BUFFERS, FALSE, FALSE, TRUE, TRUE, 0},
        {IRP_MJ_QUERY_INFORMATION, FALSE, FALSE, TRUE, FALSE, 1},
        {IRP_MJ_QUERY_INFORMATION, FALSE, TRUE, FALSE, FALSE, 0},
        {IRP_MJ_FLUSH_BUFFERS, TRUE, FALSE, FALSE, TRUE, 1},
    };
    for (const InvokeCase& c : cases) {
        RoutineLog log;
        emu::IoResult r = machine
                              .StartIrp(disk.Pdo(),
                                        [&](PIRP irp, PIO_STACK_LOCATION next) {
                                            next->MajorFunction = c.major;
                                            irp->Cancel = c.cancel;
                                            next->CompletionRoutine = LogCompletion;
                                            next->Context = &log;
                                            next->Control = (c.onSuccess ? SL_INVOKE_ON_SUCCESS : 0) |
                                                            (c.onError ? SL_INVOKE_ON_ERROR : 0) |
                                                            (c.onCancel ? SL_INVOKE_ON_CANCEL : 0);
                                        })
                              .Wait();
        EXPECT_EQ(log.calls, c.expectedCalls) << "major " << int(c.major) << " cancel " << int(c.cancel);
        EXPECT_EQ(r.status, c.major == IRP_MJ_FLUSH_BUFFERS ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
        if (log.calls) {
            EXPECT_EQ(log.device, nullptr) << "the sender at the top gets no device";
        }
    }
}

TEST(Completion, MoreProcessingRequiredStopsTheWalkUntilCompletedAgain)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk({.completion = emu::CompletionMode::Fifo});
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    RoutineLog log;
    log.answer = STATUS_MORE_PROCESSING_REQUIRED;
    std::vector<uint8_t> buffer(512);
    emu::PendingIo io = machine.StartIrp(disk.Pdo(), [&](PIRP irp, PIO_STACK_LOCATION next) {
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = 512;
        irp->MdlAddress = IoAllocateMdl(buffer.data(), 512, FALSE, FALSE, NULL);
        MmMapLockedPagesSpecifyCache(irp->MdlAddress, KernelMode, MmCached, NULL, FALSE, HighPagePriority);
        IoSetCompletionRoutine(irp, LogCompletion, &log, TRUE, TRUE, TRUE);
    });
    machine.WaitUntilQuiet();
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.irql, DISPATCH_LEVEL) << "completion thread";
    EXPECT_TRUE(log.pendingReturned) << "the disk pended";
    EXPECT_FALSE(io.Done()) << "the walk stopped";
    PMDL mdl = log.irp->MdlAddress;
    IofCompleteRequest(log.irp, IO_NO_INCREMENT);
    EXPECT_TRUE(io.Done());
    EXPECT_EQ(io.Wait().status, STATUS_SUCCESS);
    (void)mdl;  // freed with the harness IRP
}

TEST(Completion, PendingFlagPropagatesThroughSkippedLocations)
{
    for (FilterMode mode : {FilterSkip, FilterPropagate}) {
        emu::Machine machine;
        emu::Disk& disk = machine.AddDisk({.lowerFilter = true, .completion = emu::CompletionMode::Fifo});
        ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
        FilterState.Mode = mode;
        ASSERT_EQ(disk.Top()->StackSize, 3);
        RoutineLog log;
        std::vector<uint8_t> buffer(512);
        emu::IoResult r =
            machine
                .StartIrp(disk.Top(),
                          [&](PIRP irp, PIO_STACK_LOCATION next) {
                              next->MajorFunction = IRP_MJ_READ;
                              next->Parameters.Read.Length = 512;
                              irp->MdlAddress = IoAllocateMdl(buffer.data(), 512, FALSE, FALSE, NULL);
                              MmMapLockedPagesSpecifyCache(irp->MdlAddress, KernelMode, MmCached, NULL, FALSE,
                                                           HighPagePriority);
                              next->CompletionRoutine = LogCompletion;
                              next->Context = &log;
                              next->Control = SL_INVOKE_ON_SUCCESS;
                          })
                .Wait();
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_TRUE(log.pendingReturned) << "mode " << mode;
    }
}

TEST(Completion, KeepingAnOwnIrpWithMoreProcessingRequiredIsFine)
{
    emu::FaultCatcher catcher;
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk({.completion = emu::CompletionMode::Fifo});
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    // A routine on the disk's location that keeps its IRP without marking the
    // sender's location, while the sender returns what the disk returned.
    RoutineLog log;
    std::vector<uint8_t> buffer(512);
    PIRP irp = IoAllocateIrp(disk.Pdo()->StackSize + 1, FALSE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
    own->MajorFunction = IRP_MJ_READ;
    own->Parameters.Read.Length = 512;
    own->DeviceObject = disk.Pdo();
    irp->MdlAddress =
        IoAllocateMdl(ExAllocatePoolWithTag(NonPagedPool, 512, 'tseT'), 512, FALSE, FALSE, NULL);
    MmBuildMdlForNonPagedPool(irp->MdlAddress);
    IoCopyCurrentIrpStackLocationToNext(irp);
    log.answer = STATUS_MORE_PROCESSING_REQUIRED;
    IoSetCompletionRoutine(irp, LogCompletion, &log, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(disk.Pdo(), irp), STATUS_PENDING);
    machine.WaitUntilQuiet();
    EXPECT_EQ(log.calls, 1);
    EXPECT_TRUE(catcher.Records().empty()) << "keeping an own IRP is fine";
    PVOID data = MmGetMdlVirtualAddress(irp->MdlAddress);
    IoFreeMdl(irp->MdlAddress);
    IoFreeIrp(irp);
    ExFreePoolWithTag(data, 'tseT');
}

TEST(Enumeration, TwoCallProtocolNewestFirstWithAReferenceEach)
{
    emu::Machine machine;
    emu::Disk& first = machine.AddDisk();
    emu::Disk& second = machine.AddDisk();
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    PDRIVER_OBJECT diskDriver = first.Pdo()->DriverObject;
    ULONG count = 0;
    EXPECT_EQ(IoEnumerateDeviceObjectList(diskDriver, NULL, 0, &count), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    LONG before = emu::ReferenceCount(first.Pdo());
    LONG driverReferences = emu::Live().references;
    PDEVICE_OBJECT list[2];
    EXPECT_EQ(IoEnumerateDeviceObjectList(diskDriver, list, sizeof list, &count), STATUS_SUCCESS);
    EXPECT_EQ(list[0], second.Pdo());
    EXPECT_EQ(list[1], first.Pdo());
    EXPECT_EQ(emu::ReferenceCount(first.Pdo()), before + 1);
    EXPECT_EQ(emu::Live().references, driverReferences + 2);
    ObDereferenceObject(list[0]);
    ObDereferenceObject(list[1]);
    EXPECT_EQ(emu::Live().references, driverReferences);
    emu::FailNth(emu::Resource::Enumerate, 1);
    EXPECT_EQ(IoEnumerateDeviceObjectList(diskDriver, NULL, 0, &count), STATUS_INSUFFICIENT_RESOURCES);
}

// A list that grew since its count: as many referenced pointers as the array
// holds, and STATUS_BUFFER_TOO_SMALL.
TEST(Enumeration, ADeviceAddedSinceTheCountLeavesTheArrayFullAndReferenced)
{
    emu::Machine machine;
    emu::Disk& first = machine.AddDisk();
    emu::Disk& second = machine.AddDisk();
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    PDRIVER_OBJECT diskDriver = first.Pdo()->DriverObject;
    ULONG count = 0;
    emu::UndercountNextEnumeration(1);
    EXPECT_EQ(IoEnumerateDeviceObjectList(diskDriver, NULL, 0, &count), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 1u);
    LONG driverReferences = emu::Live().references;
    PDEVICE_OBJECT list[1] = {};
    EXPECT_EQ(IoEnumerateDeviceObjectList(diskDriver, list, sizeof list, &count), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(list[0], second.Pdo());
    EXPECT_EQ(emu::Live().references, driverReferences + 1);
    ObDereferenceObject(list[0]);
    EXPECT_EQ(IoEnumerateDeviceObjectList(diskDriver, NULL, 0, &count), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u) << "the undercount is used once";
}

struct SyncIoctl {
    NTSTATUS status;
    IO_STATUS_BLOCK iosb;
};

SyncIoctl SendSync(PDEVICE_OBJECT device, ULONG code, void* in, ULONG inLength, void* out, ULONG outLength)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    SyncIoctl r = {};
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, device, in, inLength, out, outLength, FALSE, &event, &r.iosb);
    if (irp == NULL) {
        r.status = STATUS_INSUFFICIENT_RESOURCES;
        return r;
    }
    r.status = IoCallDriver(device, irp);
    if (r.status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        r.status = r.iosb.Status;
    }
    return r;
}

TEST(DeviceControl, BufferedOutputIsCopiedBackInlineOrPending)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk({.lengthBytes = 3 << 20});
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    for (bool pending : {false, true}) {
        disk.SetIoctlPending(IOCTL_DISK_GET_LENGTH_INFO, pending);
        GET_LENGTH_INFORMATION length = {};
        SyncIoctl r = SendSync(disk.Pdo(), IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &length, sizeof length);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.iosb.Information, 8u);
        EXPECT_EQ(length.Length.QuadPart, 3 << 20) << "pending " << pending;
    }
    ULONG small = 0xFFFFFFFF;
    SyncIoctl r = SendSync(disk.Pdo(), IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &small, sizeof small);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small, 0xFFFFFFFFu) << "nothing copied back";
    emu::FailNth(emu::Resource::Irp, 1);
    EXPECT_EQ(SendSync(disk.Pdo(), IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &small, 8).status,
              STATUS_INSUFFICIENT_RESOURCES);
}

TEST(DeviceControl, BuildingASynchronousRequestAboveApcLevelIsAFault)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk();
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    emu::FaultCatcher catcher;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_DISK_GET_LENGTH_INFO, disk.Pdo(), NULL, 0, NULL, 0, FALSE,
                                             &event, &iosb);
    KeLowerIrql(old);
    EXPECT_TRUE(catcher.Saw(emu::Fault::PassiveOnlyAtRaisedIrql));
    IoCallDriver(disk.Pdo(), irp);
}

TEST(Mdl, PartialMdlDescribesASliceOfItsSource)
{
    uint8_t* buffer = (uint8_t*)ExAllocatePoolWithTag(NonPagedPool, 3 * PAGE_SIZE, 'tseT');
    PMDL source = IoAllocateMdl(buffer, 3 * PAGE_SIZE, FALSE, FALSE, NULL);
    MmBuildMdlForNonPagedPool(source);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(source, HighPagePriority), buffer);
    PMDL part = IoAllocateMdl(buffer + PAGE_SIZE + 100, 1000, FALSE, FALSE, NULL);
    IoBuildPartialMdl(source, part, buffer + PAGE_SIZE + 100, 1000);
    EXPECT_EQ(MmGetMdlByteCount(part), 1000u);
    EXPECT_EQ(MmGetMdlVirtualAddress(part), buffer + PAGE_SIZE + 100);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, HighPagePriority), buffer + PAGE_SIZE + 100);
    EXPECT_TRUE(part->MdlFlags & MDL_PARTIAL);
    {
        emu::FaultCatcher catcher;
        IoBuildPartialMdl(source, part, buffer + 3 * PAGE_SIZE - 10, 100);
        EXPECT_TRUE(catcher.Saw(emu::Fault::BadMdl)) << "slice outside the source";
    }
    IoFreeMdl(part);
    IoFreeMdl(source);
    ExFreePoolWithTag(buffer, 'tseT');
    EXPECT_EQ(emu::Live().mdls, 0u);
}

TEST(Mdl, UnmappedMdlIsMappedOnRequestAndMappingCanFail)
{
    uint8_t stackBuffer[64];
    PMDL mdl = IoAllocateMdl(stackBuffer, sizeof stackBuffer, FALSE, FALSE, NULL);
    emu::FailNth(emu::Resource::Map, 1);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, HighPagePriority), nullptr);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, HighPagePriority), stackBuffer);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    {
        emu::FaultCatcher catcher;
        MmBuildMdlForNonPagedPool(mdl);
        EXPECT_TRUE(catcher.Saw(emu::Fault::BadMdl)) << "a stack buffer is not nonpaged pool";
    }
    IoFreeMdl(mdl);
    emu::FailNth(emu::Resource::Mdl, 1);
    EXPECT_EQ(IoAllocateMdl(stackBuffer, 8, FALSE, FALSE, NULL), nullptr);
}

TEST(Devices, NamesCollideAndDeletionWaitsForTheLastReference)
{
    emu::Machine machine;
    ASSERT_EQ(machine.Load(FilterDriverEntry), STATUS_SUCCESS);
    PDEVICE_OBJECT control = machine.FindDevice(u"\\device\\emufilter");
    ASSERT_NE(control, nullptr);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\EmuFilter");
    PDEVICE_OBJECT second;
    EXPECT_EQ(IoCreateDevice(machine.Driver(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoCreateDevice(machine.Driver(), 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_SUCCESS);
    EXPECT_EQ(machine.Driver()->DeviceObject, second) << "new devices go first";
    ObReferenceObject(second);
    IoDeleteDevice(second);
    EXPECT_EQ(emu::ReferenceCount(second), 1) << "still referenced";
    ObDereferenceObject(second);
    EXPECT_EQ(emu::ReferenceCount(second), 0);
}

}  // namespace
