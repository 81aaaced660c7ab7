// Shared internals of the emulated kernel: faults, the dispatcher lock and
// scheduler bookkeeping, per-thread state, kernel objects and handles.
#pragma once

#include <emu/kernel.h>
#include <emu/machine.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace emu {

// ----- Faults --------------------------------------------------------------

void Report(Fault kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void ReportFatal(Fault kind, const char* format, ...) __attribute__((format(printf, 2, 3)));

// ----- Failure injection ---------------------------------------------------

bool ShouldFail(Resource resource);
// The devices the next count of IoEnumerateDeviceObjectList leaves out (once).
ULONG TakeEnumerationUndercount();

// ----- Threads and IRQL ----------------------------------------------------

enum class ThreadKind { Client, System, Completion };

struct ThreadState {
    struct _KTHREAD* thread = nullptr;  // created on first use for client threads
    KIRQL irql = PASSIVE_LEVEL;
    ThreadKind kind = ThreadKind::Client;
    int harnessDepth = 0;  // > 0 while a client thread is inside a Machine call
    int spinLocksHeld = 0;
    uint64_t id = 0;
};

ThreadState& Self();
// True when the current thread counts as a machine thread (runnable bookkeeping).
inline bool CountsAsRunnable(const ThreadState& t)
{
    return t.kind != ThreadKind::Client || t.harnessDepth > 0;
}

// Checks used at kernel entry points.
void RequireIrqlAtMost(KIRQL level, Fault kind, const char* routine);

// ----- The dispatcher lock and the scheduler --------------------------------

struct Waiter;

struct Scheduler {
    std::mutex lock;                  // the dispatcher lock: events, waits, the clock, completion queues
    std::condition_variable changed;  // runnable or timers changed
    int runnable = 0;                 // machine threads not blocked
    int blockedClients = 0;           // client threads blocked in a kernel wait
    int blockedHarness = 0;           // of those, inside a Machine call
    LONGLONG now = 0;
    LONGLONG harnessWaitSince = 0;  // clock when the first Machine call began to wait
    std::multimap<LONGLONG, Waiter*> timers;
    // Called under the lock when nothing can run; each returns true when it
    // made something runnable (deferred completions).
    std::vector<std::pair<void*, std::function<bool()>>> stallHooks;
};

Scheduler& Sched();
using Guard = std::unique_lock<std::mutex>;

// Called with the lock held whenever runnable may have dropped to 0.
void OnMaybeStalled(Guard& guard);
// Runs stall hooks, releases held thread starts and moves the clock to the
// next deadline (not past clockLimit); returns true if something became
// runnable. anyClient: do so even when no caller waits in the kernel
// (AdvanceClock and WaitUntilQuiet, which wait for the machine themselves).
bool ResolveStall(LONGLONG clockLimit, bool anyClient);

// Waiting on dispatcher objects with the lock held (internal callers).
NTSTATUS WaitLocked(Guard& guard, DISPATCHER_HEADER* object, const LONGLONG* deadline);
// A disk completion thread's wait until the virtual clock reaches the end of
// the request it serves (100 ns units): the clock moves there when nothing
// else can run, even while the harness only waits for quiet.
void WaitForDiskServiceLocked(Guard& guard, LONGLONG end);
void SignalEventLocked(PKEVENT event);
void InitEventRaw(PKEVENT event, EVENT_TYPE type, bool state);

// A machine thread of the emulator itself (disk completion threads).
struct _KTHREAD* StartInternalThread(std::function<void()> body, ThreadKind kind);

// Harness call scope: the calling client thread counts as a machine thread.
class HarnessCall {
public:
    HarnessCall();
    ~HarnessCall();
    HarnessCall(const HarnessCall&) = delete;
    HarnessCall& operator=(const HarnessCall&) = delete;
};

// ----- Kernel objects --------------------------------------------------------

enum class ObjectType : uint32_t { Thread = 1, Device = 2, File = 3 };
constexpr uint64_t kObjectMagic = 0x4f424a454d55ull;  // "OBJEMU"

struct ObjectHeader {
    uint64_t magic;
    ObjectType type;
    std::atomic<LONG> refs;
    void (*destroy)(ObjectHeader*);
    uint64_t pad;
};
static_assert(sizeof(ObjectHeader) % 16 == 0, "object bodies stay 16-byte aligned");

inline ObjectHeader* HeaderOf(const void* body)
{
    return (ObjectHeader*)body - 1;
}
inline void* BodyOf(ObjectHeader* header)
{
    return header + 1;
}
// Allocates header + body (zeroed), one reference.
void* NewObject(ObjectType type, size_t bodySize, void (*destroy)(ObjectHeader*));
bool IsLiveObject(const void* body);
void AddReference(void* body, bool byDriver);
void DropReference(void* body, bool byDriver);

// ----- Handles --------------------------------------------------------------

enum class HandleKind { Key, Object };

struct HandleEntry {
    HandleKind kind;
    void* target;
    ACCESS_MASK access;
};

HANDLE NewHandle(HandleKind kind, void* target, ACCESS_MASK access);
bool LookupHandle(HANDLE handle, HandleEntry* entry);
bool RemoveHandle(HANDLE handle, HandleEntry* entry);
ULONG HandleCount();

// ----- Threads -------------------------------------------------------------

ULONG LiveDriverThreads();

// ----- Bookkeeping for the unload check -------------------------------------

struct Counters {
    std::atomic<LONG> driverReferences{0};
    std::atomic<LONG> irps{0};
    std::atomic<LONG> mdls{0};
};
Counters& Count();

// Pieces implemented per area, used by the machine.
void ResetClock();
void ResetIo();
ULONG LiveDevices();
ULONG LiveLinks();
void ReportLiveIrps(Fault kind);
void ReportLiveMdls();
void ReportPoolLeaks();
void ReportHandles();
void ResetPoolForTest();

bool IsNonPagedPoolRange(const void* address, size_t bytes);
void AbandonDriverThreads();

// ----- I/O manager internals used by the machine and the disks --------------

enum class IrpKind { Driver, Threaded, Harness };

// Who a request reaching a disk comes from: the driver (an IRP it allocated
// or built), a caller whose request went through a device of the driver
// under test, or a caller straight to the disk.
enum class IrpOrigin { Driver, PassedDown, Outside };
IrpOrigin OriginOfIrp(PIRP irp);

// Called when a harness IRP's completion reaches the top (the IRP is freed
// right after it returns).
using HarnessDone = void (*)(PIRP irp, void* context);
PIRP AllocateIrpInternal(CCHAR stackSize, IrpKind kind);
void SetHarnessCompletion(PIRP irp, HarnessDone done, void* context);
void FreeIrpInternal(PIRP irp);
void ReportOpenIrps();    // harness and threaded IRPs not completed: IrpNeverCompleted
void ReportDriverIrps();  // driver IRPs not freed: IrpLeak
PDRIVER_OBJECT CreateDriverObject(std::u16string_view name);
void DeleteDriverObject(PDRIVER_OBJECT driver);
void SetDriverUnderTest(PDRIVER_OBJECT driver);
void SetWdmVersion(UCHAR major, UCHAR minor);
void RunReinitializationRoutines();
// Newest first; the first-chance list, or the last-chance one.
std::vector<PDEVICE_OBJECT> ShutdownRegistrations(bool lastChance);
PDEVICE_OBJECT LookupDeviceByName(std::u16string_view name);
std::optional<std::u16string> LookupLink(std::u16string_view link);
ULONG PowerIrpStarts();
PMDL AllocateMdlInternal(PVOID address, ULONG length);
PVOID MdlAddressForTransfer(PMDL mdl);  // where the bytes of the MDL are

void AdvanceClockBy(LONGLONG delta);
void WaitQuiet();
void MoveClock(LONGLONG delta);
void AddStallHook(void* key, std::function<bool()> hook);
void RemoveStallHook(void* key);
void SetOwnedSystemBuffer(PIRP irp, ULONG bytes, const void* input, ULONG inputBytes);

void DeleteLeftoverDevices(PDRIVER_OBJECT driver);
void IgnoreLiveObjects();

// Name helpers.
std::u16string Upcase(std::u16string_view s);
std::u16string FromCounted(PCUNICODE_STRING s);
std::string Narrow(std::u16string_view s);

}  // namespace emu

// The emulator's thread object.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    KPRIORITY Priority;
    bool driverThread;
    bool abandoned;
    PKSTART_ROUTINE routine;
    PVOID context;
};

#define EMU_THREAD_OBJECT 6
