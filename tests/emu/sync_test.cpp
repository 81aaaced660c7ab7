// Events, waits and system threads on the virtual clock: time-outs need no
// real sleep.
#include <emu/machine.h>
#include <gtest/gtest.h>

#include <chrono>

namespace {

struct Waiter {
    KEVENT* event;
    LONGLONG timeout;  // relative, 100 ns units; 0 for none
    volatile LONG result;
    volatile LONG done;
};

KSTART_ROUTINE WaitOnce;
VOID NTAPI WaitOnce(PVOID context)
{
    Waiter* w = (Waiter*)context;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -w->timeout;
    w->result = KeWaitForSingleObject(w->event, Executive, KernelMode, FALSE, w->timeout ? &timeout : NULL);
    InterlockedExchange(&w->done, 1);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

PKTHREAD StartThread(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE handle;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, routine, context),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &thread, NULL),
              STATUS_SUCCESS);
    ZwClose(handle);
    return (PKTHREAD)thread;
}

void Join(PKTHREAD thread)
{
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);
    ObDereferenceObject(thread);
}

TEST(Clock, AnHourWaitTimesOutWhenTheTestAdvancesTheClock)
{
    emu::Machine machine;
    auto start = std::chrono::steady_clock::now();
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    const LONGLONG hour = 3600 * emu::kSecond;
    Waiter w = {&event, hour, -1, 0};
    LONGLONG before = machine.Now();
    PKTHREAD thread = StartThread(WaitOnce, &w);
    machine.WaitUntilQuiet();
    EXPECT_EQ(w.done, 0) << "time stands still while the test does not advance it";
    machine.AdvanceClock(hour - emu::kMillisecond);
    EXPECT_EQ(w.done, 0);
    machine.AdvanceMs(1);
    EXPECT_EQ(w.done, 1);
    EXPECT_EQ(w.result, STATUS_TIMEOUT);
    Join(thread);
    EXPECT_EQ(machine.Now() - before, hour);
    // A real sleep would take the hour; a loaded host takes seconds at most.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::minutes(1)) << "no real sleep";
}

KSTART_ROUTINE Ticker;
VOID NTAPI Ticker(PVOID context)
{
    LONG* ticks = (LONG*)context;
    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -100 * emu::kMillisecond;
    while (InterlockedIncrement(ticks) <= 10)
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
}

TEST(Clock, AdvancingWakesEachDeadlineInOrder)
{
    emu::Machine machine;
    LONG ticks = 0;
    PKTHREAD thread = StartThread(Ticker, &ticks);
    machine.AdvanceMs(450);
    EXPECT_EQ(ticks, 5) << "one pass at 0, then one per 100 ms";
    machine.AdvanceMs(600);
    EXPECT_EQ(ticks, 11);
    Join(thread);
}

TEST(Clock, AWaitingCallerMovesTheClockWhenNothingElseCanRun)
{
    emu::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -250 * emu::kMillisecond;
    LONGLONG before = machine.Now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(machine.Now() - before, 250 * emu::kMillisecond);
    LARGE_INTEGER delay;
    delay.QuadPart = -emu::kSecond;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart - before, 1250 * emu::kMillisecond);
}

TEST(Events, SynchronizationWakesOneAndResetsNotificationWakesAll)
{
    emu::Machine machine;
    for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        Waiter a = {&event, 0, -1, 0}, b = {&event, 0, -1, 0};
        PKTHREAD ta = StartThread(WaitOnce, &a);
        PKTHREAD tb = StartThread(WaitOnce, &b);
        machine.WaitUntilQuiet();
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        machine.WaitUntilQuiet();
        if (type == SynchronizationEvent) {
            EXPECT_EQ(a.done + b.done, 1) << "one waiter released";
            EXPECT_EQ(KeReadStateEvent(&event), 0) << "and the event reset";
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        } else {
            EXPECT_EQ(a.done + b.done, 2);
            EXPECT_EQ(KeReadStateEvent(&event), 1);
        }
        Join(ta);
        Join(tb);
        EXPECT_EQ(a.result, STATUS_SUCCESS);
        EXPECT_EQ(b.result, STATUS_SUCCESS);
    }
}

TEST(Events, SignalledSynchronizationEventSatisfiesOneWaitWithoutBlocking)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST(Threads, ThreadObjectIsSignalledWhenTheThreadEnds)
{
    emu::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Waiter w = {&event, 0, -1, 0};
    PKTHREAD thread = StartThread(WaitOnce, &w);
    EXPECT_EQ(KeSetPriorityThread(thread, 31), 8);
    EXPECT_EQ(emu::Live().threads, 1u);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    Join(thread);
    EXPECT_EQ(emu::Live().threads, 0u);
    EXPECT_EQ(emu::Live().handles, 0u);
    EXPECT_EQ(emu::Live().references, 0);
}

KSTART_ROUTINE SetFlag;
VOID NTAPI SetFlag(PVOID context)
{
    InterlockedExchange((LONG*)context, 1);
}

TEST(Threads, HeldStartsBeginOnlyWhenTheMachineIsOtherwiseIdle)
{
    emu::Machine machine;
    emu::HoldThreadStarts(true);
    LONG ran = 0;
    PKTHREAD thread = StartThread(SetFlag, &ran);
    EXPECT_EQ(ran, 0) << "the creator runs on first";
    EXPECT_EQ(emu::ThreadPriority(thread), 8);
    KeSetPriorityThread(thread, 31);
    EXPECT_EQ(emu::ThreadPriority(thread), 31);
    machine.WaitUntilQuiet();
    EXPECT_EQ(ran, 1);
    Join(thread);
    emu::HoldThreadStarts(false);
}

TEST(Threads, CreationCanBeMadeToFail)
{
    emu::FailNth(emu::Resource::Thread, 1);
    HANDLE handle;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, WaitOnce, NULL),
              STATUS_INSUFFICIENT_RESOURCES);
}

TEST(Irql, SpinLocksRaiseToDispatchAndRestore)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL oldA, oldB;
    KeAcquireSpinLock(&a, &oldA);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeAcquireSpinLock(&b, &oldB);
    EXPECT_EQ(oldB, DISPATCH_LEVEL);
    KeReleaseSpinLock(&b, oldB);
    KeReleaseSpinLock(&a, oldA);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    emu::FaultCatcher catcher;
    KeReleaseSpinLock(&a, PASSIVE_LEVEL);
    EXPECT_TRUE(catcher.Saw(emu::Fault::SpinLockMisuse)) << "release of a lock not held";
}

}  // namespace
