// IRQL, spin locks, the scheduler bookkeeping behind the virtual clock,
// events, waits and system threads.
#include "core.h"

#include <sched.h>

#include <chrono>
#include <thread>

namespace emu {
namespace {

constexpr LONGLONG kBootTime = 134116992000000000LL;  // 2026-01-01 00:00 UTC
constexpr LONGLONG kForever = INT64_MAX;
constexpr LONGLONG kHarnessPatience = 3600LL * 10000000;  // an hour of virtual time

struct ThreadExitSignal {};

std::atomic<uint64_t> nextThreadId{1};
bool holdThreadStarts = false;    // guarded by the dispatcher lock
std::vector<PKEVENT> startGates;  // threads waiting to begin (HoldThreadStarts)
std::atomic<ULONG> liveDriverThreads{0};

std::mutex& ThreadListLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}
std::vector<_KTHREAD*>& DriverThreads()
{
    static std::vector<_KTHREAD*>* threads = new std::vector<_KTHREAD*>;
    return *threads;
}

}  // namespace

struct Waiter {
    LIST_ENTRY link;
    DISPATCHER_HEADER* object = nullptr;
    std::condition_variable cv;
    bool done = false;
    NTSTATUS result = STATUS_SUCCESS;
    bool timed = false;
    std::multimap<LONGLONG, Waiter*>::iterator timer;
    bool countsRunnable = false;
    bool client = false;
    bool harness = false;
    bool diskService = false;  // a disk completion thread serving a request in virtual time
    _KTHREAD* thread = nullptr;
};

ThreadState& Self()
{
    thread_local ThreadState state;
    if (state.id == 0)
        state.id = nextThreadId++;
    return state;
}

uint64_t ThreadId()
{
    return Self().id;
}

Scheduler& Sched()
{
    static Scheduler* scheduler = [] {
        Scheduler* s = new Scheduler;
        s->now = kBootTime;
        return s;
    }();
    return *scheduler;
}

void ResetClock()
{
    Guard guard(Sched().lock);
    Sched().now = kBootTime;
}

LONGLONG Now()
{
    Guard guard(Sched().lock);
    return Sched().now;
}

void RequireIrqlAtMost(KIRQL level, Fault kind, const char* routine)
{
    KIRQL irql = Self().irql;
    if (irql > level)
        Report(kind, "%s called at IRQL %d (at most %d allowed)", routine, irql, level);
}

// ----- Scheduler ------------------------------------------------------------

namespace {

void WakeLocked(Waiter* w, NTSTATUS result)
{
    Scheduler& s = Sched();
    RemoveEntryList(&w->link);
    if (w->timed)
        s.timers.erase(w->timer);
    w->timed = false;
    w->done = true;
    w->result = result;
    if (w->countsRunnable)
        s.runnable++;
    if (w->client)
        s.blockedClients--;
    if (w->harness)
        s.blockedHarness--;
    w->cv.notify_one();
    s.changed.notify_all();
}

void WakeAllLocked(DISPATCHER_HEADER* object, NTSTATUS result)
{
    while (object->WaitListHead.Flink != &object->WaitListHead)
        WakeLocked(CONTAINING_RECORD(object->WaitListHead.Flink, Waiter, link), result);
}

bool IsInitialised(const DISPATCHER_HEADER* object)
{
    return object->Size != 0 && object->WaitListHead.Flink != NULL;
}

}  // namespace

namespace {

// The earliest deadline of a disk serving a request in virtual time
// (kForever: none).
LONGLONG NextDiskServiceEndLocked()
{
    for (const auto& timer : Sched().timers)
        if (timer.second->diskService)
            return timer.first;
    return kForever;
}

bool IsDiskServiceEndLocked(LONGLONG deadline)
{
    auto range = Sched().timers.equal_range(deadline);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second->diskService)
            return true;
    return false;
}

}  // namespace

bool ResolveStall(LONGLONG clockLimit, bool anyClient)
{
    Scheduler& s = Sched();
    for (auto& hook : s.stallHooks)
        if (hook.second())
            return true;
    if (!anyClient && s.blockedClients == 0)
        return false;
    if (!startGates.empty()) {
        for (PKEVENT gate : startGates)
            SignalEventLocked(gate);
        startGates.clear();
        return true;
    }
    if (s.timers.empty())
        return false;
    LONGLONG next = s.timers.begin()->first;
    if (next > clockLimit) {
        // A disk serving a request in virtual time is work still to be done,
        // not a time-out: the clock runs on to its end even for a wait for quiet.
        next = NextDiskServiceEndLocked();
        if (next == kForever)
            return false;
    }
    if (IsDiskServiceEndLocked(next))
        s.harnessWaitSince = next;  // a completion is progress
    if (!anyClient && s.blockedHarness > 0 && next - s.harnessWaitSince > kHarnessPatience)
        ReportFatal(Fault::Deadlock,
                    "a Machine call has waited an hour of virtual time while only time-outs fired (a held "
                    "completion? a request never completed?); virtual time %lld, waiting since %lld, %zu "
                    "timed waits, %d harness calls blocked",
                    (long long)next, (long long)s.harnessWaitSince, s.timers.size(), (int)s.blockedHarness);
    if (next > s.now)
        s.now = next;
    while (!s.timers.empty() && s.timers.begin()->first <= s.now)
        WakeLocked(s.timers.begin()->second, STATUS_TIMEOUT);
    return true;
}

void OnMaybeStalled(Guard& guard)
{
    Scheduler& s = Sched();
    s.changed.notify_all();
    while (s.runnable == 0) {
        if (!ResolveStall(kForever, false))
            break;
    }
}

namespace {

// A Machine call that has waited a while for nothing: no machine thread can
// run and no wait can time out. (Checked after real time passes, so that a
// test thread outside the machine may still release it.)
bool Deadlocked()
{
    Scheduler& s = Sched();
    return s.runnable == 0 && s.blockedHarness > 0 && s.timers.empty();
}

}  // namespace

HarnessCall::HarnessCall()
{
    ThreadState& self = Self();
    Guard guard(Sched().lock);
    if (self.kind == ThreadKind::Client && self.harnessDepth++ == 0)
        Sched().runnable++;
}

HarnessCall::~HarnessCall()
{
    ThreadState& self = Self();
    Guard guard(Sched().lock);
    if (self.kind == ThreadKind::Client && --self.harnessDepth == 0) {
        Sched().runnable--;
        OnMaybeStalled(guard);
    }
}

namespace {

NTSTATUS WaitAs(Guard& guard, DISPATCHER_HEADER* object, const LONGLONG* deadline, bool diskService);

}  // namespace

NTSTATUS WaitLocked(Guard& guard, DISPATCHER_HEADER* object, const LONGLONG* deadline)
{
    return WaitAs(guard, object, deadline, false);
}

void WaitForDiskServiceLocked(Guard& guard, LONGLONG end)
{
    KEVENT never;
    InitEventRaw(&never, NotificationEvent, false);
    WaitAs(guard, &never.Header, &end, true);
}

namespace {

NTSTATUS WaitAs(Guard& guard, DISPATCHER_HEADER* object, const LONGLONG* deadline, bool diskService)
{
    Scheduler& s = Sched();
    if (object == nullptr || !IsInitialised(object)) {
        Report(Fault::BadObject, "wait on an object that was never initialised (%p)", (void*)object);
        return STATUS_INVALID_PARAMETER;
    }
    if (object->SignalState > 0) {
        if (object->Type == SynchronizationEvent)
            object->SignalState = 0;
        return STATUS_SUCCESS;
    }
    if (deadline != nullptr && *deadline <= s.now)
        return STATUS_TIMEOUT;
    ThreadState& self = Self();
    Waiter w;
    w.object = object;
    w.thread = self.thread;
    w.countsRunnable = CountsAsRunnable(self);
    w.client = self.kind == ThreadKind::Client;
    w.harness = w.client && self.harnessDepth > 0;
    w.diskService = diskService;
    InsertTailList(&object->WaitListHead, &w.link);
    if (deadline != nullptr) {
        w.timed = true;
        w.timer = s.timers.emplace(*deadline, &w);
    }
    if (w.countsRunnable)
        s.runnable--;
    if (w.client)
        s.blockedClients++;
    if (w.harness && s.blockedHarness++ == 0)
        s.harnessWaitSince = s.now;
    OnMaybeStalled(guard);
    while (!w.done) {
        if (!w.harness) {
            w.cv.wait(guard);
            continue;
        }
        if (w.cv.wait_for(guard, std::chrono::seconds(2)) == std::cv_status::timeout && !w.done &&
            Deadlocked())
            ReportFatal(
                Fault::Deadlock,
                "a Machine call waits for the kernel, and no machine thread can run and no wait can time out "
                "(a held completion? a lost event?)");
    }
    if (self.thread != nullptr && self.thread->abandoned) {
        if (w.countsRunnable)
            s.runnable--;
        s.changed.notify_all();
        std::condition_variable never;
        for (;;)
            never.wait(guard);
    }
    return w.result;
}

}  // namespace

void InitEventRaw(PKEVENT event, EVENT_TYPE type, bool state)
{
    event->Header.Type = (UCHAR)type;
    event->Header.Absolute = 0;
    event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    event->Header.Inserted = 0;
    event->Header.SignalState = state ? 1 : 0;
    InitializeListHead(&event->Header.WaitListHead);
}

void SignalEventLocked(PKEVENT event)
{
    DISPATCHER_HEADER* h = &event->Header;
    if (h->Type == NotificationEvent) {
        h->SignalState = 1;
        WakeAllLocked(h, STATUS_SUCCESS);
    } else if (h->WaitListHead.Flink != &h->WaitListHead) {
        WakeLocked(CONTAINING_RECORD(h->WaitListHead.Flink, Waiter, link), STATUS_SUCCESS);
    } else {
        h->SignalState = 1;
    }
}

// ----- Threads ---------------------------------------------------------------

namespace {

void DestroyThread(ObjectHeader* header)
{
    header->magic = 0;
    free(header);
}

_KTHREAD* NewThreadObject(bool driverThread)
{
    _KTHREAD* t = (_KTHREAD*)NewObject(ObjectType::Thread, sizeof(_KTHREAD), DestroyThread);
    t->Header.Type = EMU_THREAD_OBJECT;
    t->Header.Size = sizeof(_KTHREAD) / sizeof(LONG) & 0xFF;
    if (t->Header.Size == 0)
        t->Header.Size = 1;
    t->Header.SignalState = 0;
    InitializeListHead(&t->Header.WaitListHead);
    t->Priority = 8;
    t->driverThread = driverThread;
    return t;
}

void EndThread(_KTHREAD* t)
{
    ThreadState& self = Self();
    if (self.spinLocksHeld != 0)
        Report(Fault::SpinLockMisuse, "thread ends holding %d spin lock(s)", self.spinLocksHeld);
    if (self.irql != PASSIVE_LEVEL)
        Report(Fault::IrqlMismatch, "thread ends at IRQL %d", self.irql);
    Scheduler& s = Sched();
    {
        Guard guard(s.lock);
        t->Header.SignalState = 1;
        WakeAllLocked(&t->Header, STATUS_SUCCESS);
        if (t->driverThread)
            liveDriverThreads--;
        s.runnable--;
        OnMaybeStalled(guard);
    }
    if (t->driverThread) {
        std::lock_guard<std::mutex> guard(ThreadListLock());
        auto& list = DriverThreads();
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i] == t) {
                list.erase(list.begin() + i);
                break;
            }
    }
    DropReference(t, false);
}

}  // namespace

_KTHREAD* StartInternalThread(std::function<void()> body, ThreadKind kind)
{
    _KTHREAD* t = NewThreadObject(false);
    AddReference(t, false);  // the running thread's own reference
    {
        Guard guard(Sched().lock);
        Sched().runnable++;
    }
    std::thread([t, body = std::move(body), kind] {
        ThreadState& self = Self();
        self.kind = kind;
        self.thread = t;
        body();
        self.irql = PASSIVE_LEVEL;
        EndThread(t);
    }).detach();
    return t;
}

ULONG LiveDriverThreads()
{
    return liveDriverThreads;
}

// Leaked threads stay parked for ever: they never return into driver code,
// and no deadline of theirs fires again.
void AbandonDriverThreads()
{
    std::vector<_KTHREAD*> threads;
    {
        std::lock_guard<std::mutex> guard(ThreadListLock());
        threads.swap(DriverThreads());
    }
    Scheduler& s = Sched();
    Guard guard(s.lock);
    for (_KTHREAD* t : threads) {
        t->abandoned = true;
        liveDriverThreads--;
        for (auto it = s.timers.begin(); it != s.timers.end();) {
            if (it->second->thread == t) {
                it->second->timed = false;
                it = s.timers.erase(it);
            } else {
                ++it;
            }
        }
    }
}

}  // namespace emu

using namespace emu;

// ----- IRQL -------------------------------------------------------------------

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return Self().irql;
}

extern "C" KIRQL NTAPI KfRaiseIrql(KIRQL newIrql)
{
    ThreadState& self = Self();
    KIRQL old = self.irql;
    if (newIrql < old)
        Report(Fault::IrqlMismatch, "KeRaiseIrql to %d from the higher %d", newIrql, old);
    self.irql = newIrql;
    return old;
}

extern "C" VOID NTAPI KeLowerIrql(KIRQL newIrql)
{
    ThreadState& self = Self();
    if (newIrql > self.irql)
        Report(Fault::IrqlMismatch, "KeLowerIrql to %d from the lower %d", newIrql, self.irql);
    self.irql = newIrql;
}

extern "C" KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID)
{
    return KfRaiseIrql(DISPATCH_LEVEL);
}

// ----- Spin locks -----------------------------------------------------------------

namespace {

ULONG_PTR OwnerValue()
{
    return (ULONG_PTR)&Self() | 1;
}

void Acquire(PKSPIN_LOCK lock)
{
    ULONG_PTR me = OwnerValue();
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            break;
        if (expected == me)
            ReportFatal(Fault::SpinLockMisuse, "spin lock %p acquired again by its owner", (void*)lock);
        sched_yield();
    }
    Self().spinLocksHeld++;
}

void Release(PKSPIN_LOCK lock)
{
    ULONG_PTR me = OwnerValue();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != me) {
        Report(Fault::SpinLockMisuse, "spin lock %p released by a thread that does not hold it", (void*)lock);
        return;
    }
    Self().spinLocksHeld--;
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK lock)
{
    *lock = 0;
}

extern "C" KIRQL NTAPI KfAcquireSpinLock(PKSPIN_LOCK lock)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "KeAcquireSpinLock");
    KIRQL old = Self().irql;
    Self().irql = DISPATCH_LEVEL;
    Acquire(lock);
    return old;
}

extern "C" VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql)
{
    Release(lock);
    KeLowerIrql(newIrql);
}

extern "C" VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock)
{
    if (Self().irql < DISPATCH_LEVEL)
        Report(Fault::IrqlMismatch, "KeAcquireSpinLockAtDpcLevel at IRQL %d", Self().irql);
    Acquire(lock);
}

extern "C" VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock)
{
    Release(lock);
}

extern "C" PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry,
                                                         PKSPIN_LOCK lock)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "ExInterlockedInsertTailList");
    Acquire(lock);
    PLIST_ENTRY first = IsListEmpty(head) ? NULL : head->Flink;
    InsertTailList(head, entry);
    Release(lock);
    return first;
}

extern "C" PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry,
                                                         PKSPIN_LOCK lock)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "ExInterlockedInsertHeadList");
    Acquire(lock);
    PLIST_ENTRY first = IsListEmpty(head) ? NULL : head->Flink;
    InsertHeadList(head, entry);
    Release(lock);
    return first;
}

extern "C" PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY head, PKSPIN_LOCK lock)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "ExInterlockedRemoveHeadList");
    Acquire(lock);
    PLIST_ENTRY entry = IsListEmpty(head) ? NULL : RemoveHeadList(head);
    Release(lock);
    return entry;
}

// ----- Events and waits -------------------------------------------------------------

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state)
{
    Guard guard(Sched().lock);
    InitEventRaw(event, type, state != 0);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "KeSetEvent");
    Guard guard(Sched().lock);
    if (event == NULL || !IsInitialised(&event->Header)) {
        Report(Fault::BadObject, "KeSetEvent on an event that was never initialised (%p)", (void*)event);
        return 0;
    }
    LONG previous = event->Header.SignalState;
    SignalEventLocked(event);
    return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT event)
{
    Guard guard(Sched().lock);
    event->Header.SignalState = 0;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT event)
{
    Guard guard(Sched().lock);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT event)
{
    Guard guard(Sched().lock);
    return event->Header.SignalState;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                                                BOOLEAN alertable, PLARGE_INTEGER timeout)
{
    Scheduler& s = Sched();
    bool poll = timeout != NULL && timeout->QuadPart == 0;
    if (!poll && Self().irql > APC_LEVEL) {
        Report(Fault::WaitAtRaisedIrql, "KeWaitForSingleObject with a wait at IRQL %d", Self().irql);
        poll = true;
    }
    if (Self().spinLocksHeld > 0 && !poll)
        Report(Fault::WaitAtRaisedIrql, "KeWaitForSingleObject while holding a spin lock");
    Guard guard(s.lock);
    LONGLONG deadline = 0;
    if (poll) {
        deadline = s.now;
    } else if (timeout != NULL) {
        deadline = timeout->QuadPart < 0 ? s.now - timeout->QuadPart : timeout->QuadPart;
    }
    return WaitLocked(guard, (DISPATCHER_HEADER*)object, (timeout != NULL || poll) ? &deadline : nullptr);
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable,
                                                 PLARGE_INTEGER interval)
{
    RequireIrqlAtMost(APC_LEVEL, Fault::WaitAtRaisedIrql, "KeDelayExecutionThread");
    KEVENT never;
    InitEventRaw(&never, NotificationEvent, false);
    Scheduler& s = Sched();
    Guard guard(s.lock);
    LONGLONG deadline = interval->QuadPart < 0 ? s.now - interval->QuadPart : interval->QuadPart;
    WaitLocked(guard, &never.Header, &deadline);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER currentTime)
{
    currentTime->QuadPart = emu::Now();
}

// ----- Threads --------------------------------------------------------------------

extern "C" PKTHREAD NTAPI KeGetCurrentThread(VOID)
{
    ThreadState& self = Self();
    if (self.thread == nullptr)
        self.thread = NewThreadObject(false);  // a client thread, never ends for the kernel
    return self.thread;
}

extern "C" PETHREAD NTAPI PsGetCurrentThread(VOID)
{
    return KeGetCurrentThread();
}

extern "C" KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority)
{
    if (!IsLiveObject(thread)) {
        Report(Fault::BadObject, "KeSetPriorityThread on %p, not a thread", (void*)thread);
        return 0;
    }
    KPRIORITY old = thread->Priority;
    thread->Priority = priority;
    return old;
}

extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess,
                                               POBJECT_ATTRIBUTES objectAttributes, HANDLE processHandle,
                                               PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                                               PVOID startContext)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::PassiveOnlyAtRaisedIrql, "PsCreateSystemThread");
    if (threadHandle == NULL || startRoutine == NULL)
        return STATUS_INVALID_PARAMETER;
    if (ShouldFail(Resource::Thread))
        return STATUS_INSUFFICIENT_RESOURCES;
    _KTHREAD* t = NewThreadObject(true);  // this reference belongs to the handle
    t->routine = startRoutine;
    t->context = startContext;
    AddReference(t, false);  // the running thread's own reference
    *threadHandle = NewHandle(HandleKind::Object, t, desiredAccess);
    if (clientId != NULL) {
        clientId->UniqueProcess = (HANDLE)4;
        clientId->UniqueThread = (HANDLE)t;
    }
    {
        std::lock_guard<std::mutex> guard(ThreadListLock());
        DriverThreads().push_back(t);
    }
    liveDriverThreads++;
    {
        Guard guard(Sched().lock);
        Sched().runnable++;
    }
    std::thread([t] {
        ThreadState& self = Self();
        self.kind = ThreadKind::System;
        self.thread = t;
        {
            Guard guard(Sched().lock);
            if (holdThreadStarts) {
                KEVENT gate;
                InitEventRaw(&gate, NotificationEvent, false);
                startGates.push_back(&gate);
                WaitLocked(guard, &gate.Header, nullptr);
            }
        }
        try {
            t->routine(t->context);
        } catch (ThreadExitSignal&) {
        }
        EndThread(t);
    }).detach();
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS exitStatus)
{
    if (Self().kind != ThreadKind::System)
        ReportFatal(Fault::BadObject, "PsTerminateSystemThread on a thread the driver did not create");
    throw ThreadExitSignal();
}

namespace emu {

void AdvanceClockBy(LONGLONG delta)
{
    Scheduler& s = Sched();
    Guard guard(s.lock);
    LONGLONG target = s.now + (delta > 0 ? delta : 0);
    for (;;) {
        s.changed.wait(guard, [&] { return s.runnable == 0; });
        if (!ResolveStall(target, true))
            break;
    }
    if (s.now < target)
        s.now = target;
}

void WaitQuiet()
{
    Scheduler& s = Sched();
    Guard guard(s.lock);
    for (;;) {
        s.changed.wait(guard, [&] { return s.runnable == 0; });
        if (!ResolveStall(s.now, true))
            break;
    }
}

void HoldThreadStarts(bool hold)
{
    Guard guard(Sched().lock);
    holdThreadStarts = hold;
}

KPRIORITY ThreadPriority(PVOID thread)
{
    if (!IsLiveObject(thread) || HeaderOf(thread)->type != ObjectType::Thread)
        return 0;
    return ((_KTHREAD*)thread)->Priority;
}

void MoveClock(LONGLONG delta)
{
    Guard guard(Sched().lock);
    Sched().now += delta;
}

void AddStallHook(void* key, std::function<bool()> hook)
{
    Guard guard(Sched().lock);
    Sched().stallHooks.emplace_back(key, std::move(hook));
}

void RemoveStallHook(void* key)
{
    Guard guard(Sched().lock);
    auto& hooks = Sched().stallHooks;
    for (size_t i = 0; i < hooks.size();)
        if (hooks[i].first == key)
            hooks.erase(hooks.begin() + i);
        else
            ++i;
}

}  // namespace emu
