// Each verifier check fires on a test driver made to break its rule, and a
// driver that breaks nothing raises no fault.
#include <emu/machine.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "drivers/broken.h"
#include "drivers/filter.h"

namespace {

struct Breakage {
    BrokenRequest request;
    emu::Fault expected;
    bool async;  // sent without waiting: the driver never completes it
};

class Verifier : public ::testing::TestWithParam<Breakage> {};

TEST_P(Verifier, CheckFires)
{
    const Breakage& b = GetParam();
    emu::FaultCatcher catcher;  // outlives the machine: leak checks run in its destructor
    {
        emu::Machine machine;
        ASSERT_EQ(machine.Load(BrokenDriverEntry), STATUS_SUCCESS);
        ULONG code = BROKEN_IOCTL(b.request);
        if (b.async) {
            machine.StartIrp(machine.FindDevice(u"\\Device\\Broken"), [&](PIRP, PIO_STACK_LOCATION next) {
                next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
                next->Parameters.DeviceIoControl.IoControlCode = code;
            });
        } else {
            emu::Client client;
            ASSERT_EQ(machine.Open(u"\\\\.\\Broken", &client), STATUS_SUCCESS);
            client.DeviceIoControl(code, nullptr, 0, nullptr, 0);
            client.Close();
            machine.WaitUntilQuiet();
        }
    }
    EXPECT_TRUE(catcher.Saw(b.expected)) << emu::FaultName(b.expected) << " for request " << b.request;
}

INSTANTIATE_TEST_SUITE_P(
    Breakages, Verifier,
    ::testing::Values(Breakage{BreakCompleteTwice, emu::Fault::DoubleCompletion, false},
                      Breakage{BreakCompletePending, emu::Fault::CompletedWithPending, false},
                      Breakage{BreakPendingUnmarked, emu::Fault::PendingNotMarked, false},
                      Breakage{BreakMarkedNotPending, emu::Fault::MarkedPendingNotReturned, false},
                      Breakage{BreakNeverComplete, emu::Fault::IrpNeverCompleted, true},
                      Breakage{BreakWaitAtDispatch, emu::Fault::WaitAtRaisedIrql, false},
                      Breakage{BreakZwAtDispatch, emu::Fault::ZwAtRaisedIrql, false},
                      Breakage{BreakWrongTag, emu::Fault::WrongPoolTag, false},
                      Breakage{BreakStackOverrun, emu::Fault::StackOverflow, false},
                      Breakage{BreakLeakPool, emu::Fault::PoolLeak, false},
                      Breakage{BreakLeakThread, emu::Fault::ThreadLeak, false},
                      Breakage{BreakLeakReference, emu::Fault::ReferenceLeak, false},
                      Breakage{BreakLeakHandle, emu::Fault::HandleLeak, false},
                      Breakage{BreakLeakLink, emu::Fault::LinkLeak, false},
                      Breakage{BreakLeakDevice, emu::Fault::DeviceLeak, false},
                      Breakage{BreakLeakIrp, emu::Fault::IrpLeak, false}));

TEST(Verifier, CleanRequestRaisesNothing)
{
    emu::FaultCatcher catcher;
    {
        emu::Machine machine;
        ASSERT_EQ(machine.Load(BrokenDriverEntry), STATUS_SUCCESS);
        emu::Client client;
        ASSERT_EQ(machine.Open(u"\\\\.\\Broken", &client), STATUS_SUCCESS);
        EXPECT_EQ(client.DeviceIoControl(BROKEN_IOCTL(BreakNothing), nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    }
    for (const emu::FaultRecord& r : catcher.Records())
        ADD_FAILURE() << r.message;
}

TEST(Verifier, AFilterThatForgetsThePendingFlagIsCaught)
{
    emu::FaultCatcher catcher;
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk({.completion = emu::CompletionMode::Fifo});
    ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
    FilterState.Mode = FilterForgetPending;
    uint8_t buffer[512];
    EXPECT_EQ(machine.Read(disk, 0, buffer, 512).status, STATUS_SUCCESS);
    EXPECT_TRUE(catcher.Saw(emu::Fault::PendingNotMarked));
}

// Holds the worker inside its pass-down (the disk completes it inline and
// this routine runs at the top of the walk) until the dispatch that queued
// the request has returned.
struct Overlap {
    KEVENT dispatchMayReturn;
    KEVENT dispatchReturned;
};

IO_COMPLETION_ROUTINE HoldWorkerInPassDown;
NTSTATUS NTAPI HoldWorkerInPassDown(PDEVICE_OBJECT, PIRP, PVOID context)
{
    Overlap* overlap = (Overlap*)context;
    KeSetEvent(&overlap->dispatchMayReturn, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&overlap->dispatchReturned, Executive, KernelMode, FALSE, NULL);
    return STATUS_SUCCESS;
}

TEST(Verifier, AQueuedRequestPassedDownWhileItsDispatchRunsIsClean)
{
    // The worker's pass-down enters the location before the dispatch that
    // marked it pending and queued it returns STATUS_PENDING, and leaves it
    // after, with the disk's STATUS_SUCCESS: the dispatch's result stands.
    emu::FaultCatcher catcher;
    {
        emu::Machine machine;
        emu::Disk& disk = machine.AddDisk({.completion = emu::CompletionMode::Inline});
        ASSERT_EQ(machine.Boot(FilterDriverEntry), STATUS_SUCCESS);
        Overlap overlap;
        KeInitializeEvent(&overlap.dispatchMayReturn, NotificationEvent, FALSE);
        KeInitializeEvent(&overlap.dispatchReturned, NotificationEvent, FALSE);
        FilterState.Mode = FilterQueueLateReturn;
        FilterState.ReturnGate = &overlap.dispatchMayReturn;
        uint8_t buffer[512];
        emu::PendingIo io = machine.StartIrp(disk.Top(), [&](PIRP irp, PIO_STACK_LOCATION next) {
            next->MajorFunction = IRP_MJ_READ;
            next->Parameters.Read.Length = sizeof buffer;
            irp->MdlAddress = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, NULL);
            MmMapLockedPagesSpecifyCache(irp->MdlAddress, KernelMode, MmCached, NULL, FALSE,
                                         HighPagePriority);
            next->CompletionRoutine = HoldWorkerInPassDown;
            next->Context = &overlap;
            next->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
        });
        KeSetEvent(&overlap.dispatchReturned, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(io.Wait().status, STATUS_SUCCESS);
        FilterState.ReturnGate = NULL;
    }
    for (const emu::FaultRecord& r : catcher.Records())
        ADD_FAILURE() << r.message;
}

TEST(Verifier, FaultsFailTheTestWithoutACatcher)
{
    // The nonfatal failure a verifier fault raises is what gtest sees.
    EXPECT_NONFATAL_FAILURE(ExFreePoolWithTag(nullptr, 0), "BadPoolFree");
}

}  // namespace
