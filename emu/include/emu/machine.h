// The test harness of the emulated kernel: a simulated Windows machine with
// disks, a driver to load, a user-mode client, power, PnP, a virtual clock and
// verifier checks. Tests include this header; driver code never does.
//
// Model in brief:
// - Every kernel call runs on real threads. Driver system threads and the
//   disks' completion threads are "machine threads"; the test thread is
//   counted as one while it is inside a Machine call.
// - The virtual clock moves only when the test says so (AdvanceClock) or
//   while a Machine call (or any thread outside the machine) is blocked in a
//   kernel wait and every machine thread is blocked too: then the clock jumps
//   to the next wait deadline. No test sleeps on real time.
// - Disks whose timing model runs in virtual time (TimingClock::Virtual)
//   spend each request's service on that clock: a request completes when
//   the clock reaches the end of its service, and the clock moves to the
//   next such end only when every machine thread is blocked (for a waiting
//   Machine call, and for WaitUntilQuiet and AdvanceClock too, since a disk
//   in service is work still to be done). The driver's CPU takes no virtual
//   time, so the elapsed virtual time of a run is what the model gives for
//   the driver's I/O pattern, the same on every host and every run.
// - A verifier fault fails the running test (gtest ADD_FAILURE) unless a
//   FaultCatcher is alive, which collects it instead.
#pragma once

#include <emu/kernel.h>

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

// ---------------------------------------------------------------------------
// Verifier faults
// ---------------------------------------------------------------------------

enum class Fault {
    DoubleCompletion,          // an IRP completed again after its completion reached the top
    CompletedWithPending,      // IofCompleteRequest with IoStatus.Status == STATUS_PENDING
    PendingNotMarked,          // a dispatch routine returned STATUS_PENDING without IoMarkIrpPending
    MarkedPendingNotReturned,  // IoMarkIrpPending, then a status other than STATUS_PENDING returned
    IrpNeverCompleted,         // a request sent by the harness still open at teardown
    IrpLeak,                   // an IRP of the driver neither freed nor completed at unload
    BadIrp,                    // a pointer that is no live IRP, an IRP freed while in use below, ...
    StackOverflow,             // IofCallDriver with no stack location left
    OwnIrpCompletedToTop,      // an IRP from IoAllocateIrp completed past its last completion routine
    WaitAtRaisedIrql,          // a blocking wait above APC_LEVEL
    ZwAtRaisedIrql,            // a Zw call above PASSIVE_LEVEL
    PassiveOnlyAtRaisedIrql,   // PAGED_CODE, thread creation, synchronous IRP building above their level
    IrqlMismatch,              // bad raise/lower, or a routine returned at another IRQL than it was called
    SpinLockMisuse,            // release of a lock not held, recursive acquire, lock held at thread end
    WrongPoolTag,              // free with a tag other than the allocation's
    BadPoolFree,               // free of a pointer that is not a live pool block
    PoolOverrun,               // the guard bytes after a pool block were overwritten
    PoolLeak,                  // pool left at unload
    DeviceLeak,                // devices of the driver left at unload
    LinkLeak,                  // symbolic links left at unload
    ReferenceLeak,             // object references taken by the driver and not dropped at unload
    HandleLeak,                // kernel handles opened by the driver and not closed at unload
    ThreadLeak,                // driver threads still running at unload
    MdlLeak,                   // MDLs of the driver not freed at unload
    BadHandle,                 // an unknown handle or a handle of the wrong kind
    BadObject,                 // a pointer that is no live kernel object, an uninitialised event, ...
    DeviceMisuse,              // deleting a device still attached, deleting twice, ...
    BadMdl,                    // an MDL that does not describe the transfer or the buffer
    PnpStatusNotInitialised,   // a PnP request sent down whose status is not STATUS_NOT_SUPPORTED
    AssertionFailed,           // ASSERT in driver code
    BugCheck,                  // KeBugCheckEx
    Deadlock,                  // a Machine call waits and nothing in the machine can run
    OverlappingRequests,       // a read or write the driver sent to a disk overlaps one in flight there
};

const char* FaultName(Fault fault);

// OverlappingRequests: a disk with a command queue gives no order between two
// requests in flight that overlap, so the driver must not send a read or
// write that overlaps one it sent there before and that has not completed,
// when at least one of the two is a write and at least one is the driver's
// own request (an IRP it allocated or built). Two reads may overlap; callers'
// requests that the driver passed down are checked against its own but not
// against each other (their order is the callers' business); requests sent
// to a disk below the driver's filter are not checked at all. On by default,
// in every test; a new Machine turns it on again.
void CheckOverlappingRequests(bool on);

// A fatal fault (a deadlock, a bug check) ends the process at once; the
// function given here runs first, so that a test can print what it was doing
// (it must not call into the machine). nullptr: none.
void OnFatalFault(void (*report)());

struct FaultRecord {
    Fault kind;
    std::string message;
};

// Collects the faults raised while it lives (on any thread) instead of
// failing the test. One catcher at a time.
class FaultCatcher {
public:
    FaultCatcher();
    ~FaultCatcher();
    FaultCatcher(const FaultCatcher&) = delete;
    FaultCatcher& operator=(const FaultCatcher&) = delete;

    bool Saw(Fault kind) const;
    size_t Count(Fault kind) const;
    std::vector<FaultRecord> Records() const;
    void Clear();
};

// ---------------------------------------------------------------------------
// Resource failure injection and live counts (usable without a Machine)
// ---------------------------------------------------------------------------

enum class Resource {
    Pool,       // ExAllocatePoolWithTag
    Irp,        // IoAllocateIrp, IoBuild*Request
    Mdl,        // IoAllocateMdl
    Map,        // MmMapLockedPagesSpecifyCache
    Device,     // IoCreateDevice
    Link,       // IoCreateSymbolicLink
    Attach,     // IoAttachDeviceToDeviceStack
    Enumerate,  // IoEnumerateDeviceObjectList (fails with STATUS_INSUFFICIENT_RESOURCES)
    Thread,     // PsCreateSystemThread
    Reference,  // ObReferenceObjectByHandle
};

// The nth next request for the resource fails (1 = the very next one), and
// then count-1 more in a row (count -1: every one from then on). nth 0 disarms.
void FailNth(Resource resource, ULONG nth, LONG count = 1);
// The next device count that IoEnumerateDeviceObjectList gives (a call with
// no array) leaves out this many devices, as if they were created just after
// it; the call that follows with an array of that size then gets, as on
// Windows, STATUS_BUFFER_TOO_SMALL with as many referenced pointers as fit.
void UndercountNextEnumeration(ULONG devices);
// Disarms every failure, the undercount included.
void ClearFailures();

struct PoolStats {
    uint64_t bytes = 0;
    uint64_t blocks = 0;
};
PoolStats PoolUsage();           // every tag
PoolStats PoolUsage(ULONG tag);  // one tag
uint64_t PoolAllocationCount();  // successful allocations since start

struct LiveObjects {
    ULONG irps = 0;  // IRPs allocated and not yet freed (driver's and harness's)
    ULONG mdls = 0;
    ULONG devices = 0;    // devices of the loaded driver
    ULONG links = 0;      // symbolic links
    ULONG handles = 0;    // kernel handles opened by the driver
    ULONG threads = 0;    // driver system threads still running
    LONG references = 0;  // object references the driver took and has not dropped
};
LiveObjects Live();

// Raises a leak fault for each kind of driver resource still held (pool,
// IRPs, MDLs, devices, links, handles, threads, references). Unload runs it.
void CheckNothingLeft(const char* when);

// Reference count of a kernel object (device or thread), for tests that
// compare before and after an operation.
LONG ReferenceCount(PVOID object);

// The priority last set with KeSetPriorityThread (8 for a new thread).
KPRIORITY ThreadPriority(PVOID thread);

// While on, a new driver thread begins its routine only when someone waits
// for the machine (WaitUntilQuiet, AdvanceClock, a caller's kernel wait) and
// every other machine thread is blocked: the creator runs on well past
// PsCreateSystemThread (a late start, for start-up races).
void HoldThreadStarts(bool hold);

// What the driver printed with DbgPrint, one entry a call, oldest first.
std::vector<std::string> DebugOutput();
void ClearDebugOutput();

// ---------------------------------------------------------------------------
// Virtual clock (100 ns units since 1601, as KeQuerySystemTime)
// ---------------------------------------------------------------------------

constexpr LONGLONG kMicrosecond = 10;
constexpr LONGLONG kMillisecond = 10000;
constexpr LONGLONG kSecond = 10000000;

LONGLONG Now();

// ---------------------------------------------------------------------------
// Registry (kept across Machine::Reboot; reset by a new Machine)
// ---------------------------------------------------------------------------

namespace reg {

struct Value {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// Key paths are full paths such as u"\\REGISTRY\\MACHINE\\SYSTEM\\...";
// Set* create missing keys along the path. Names compare case-insensitively.
void CreateKey(std::u16string_view path);
bool KeyExists(std::u16string_view path);
bool DeleteTree(std::u16string_view path);
void SetValue(std::u16string_view path, std::u16string_view name, ULONG type, const void* data, size_t size);
void SetDword(std::u16string_view path, std::u16string_view name, ULONG value);
void SetQword(std::u16string_view path, std::u16string_view name, ULONG64 value);
void SetString(std::u16string_view path, std::u16string_view name,
               std::u16string_view value);  // REG_SZ with NUL
bool DeleteValue(std::u16string_view path, std::u16string_view name);
std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name);
std::optional<ULONG> GetDword(std::u16string_view path, std::u16string_view name);    // REG_DWORD only
std::optional<ULONG64> GetQword(std::u16string_view path, std::u16string_view name);  // REG_QWORD only
std::vector<std::u16string> SubKeys(std::u16string_view path);
std::vector<std::u16string> ValueNames(std::u16string_view path);

// Successful ZwSetValueKey calls since the registry was reset or the count cleared.
ULONG SetValueCount();
void ClearCounts();
// The nth next ZwSetValueKey fails with the status (and count-1 more; -1 all).
void FailSetValue(ULONG nth, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES, LONG count = 1);
// Runs the hook once, on the caller's thread, as the next ZwSetValueKey begins
// (outside the registry's lock): a test's way into the middle of a request.
void BeforeNextSetValue(std::function<void()> hook);

// Empties the registry (a new Machine does this).
void Reset();

}  // namespace reg

// ---------------------------------------------------------------------------
// Simulated disks
// ---------------------------------------------------------------------------

// A queued read or write moves its data when it completes (unless
// SetTransferOnArrival): a write reaches the medium then, and a read returns
// what the medium holds then. So two overlapping writes completed in reverse
// order leave the older data, and a read overlapping a write returns either
// version, as on a disk with a command queue. An Inline request moves its
// data inside IofCallDriver.
enum class CompletionMode {
    Inline,    // completed inside IofCallDriver, on the caller's thread
    Fifo,      // completed later on the disk's completion thread (DISPATCH_LEVEL), in arrival order
    Reversed,  // as Fifo, but each batch that piles up while the machine runs completes newest first
    Held,      // kept until ReleaseHeld
};

enum class DiskOp { Read, Write, Any };

// The clock a disk's timing model spends service time on.
enum class TimingClock {
    Real,     // the host's: the completion thread sleeps (for looking at the host)
    Virtual,  // the machine's virtual clock (see the model at the top): deterministic
};

// Timing model for benchmarks: time that a read or write spends on the
// disk's completion threads before it completes, in every queued completion
// mode (Fifo, Reversed, Held after its release; Inline requests take none),
// on the clock chosen (real time unless told). All zero (the default) means
// no timing: requests complete as soon as a completion thread takes them.
//
// - queueDepth: requests in service at once, one completion thread each (an
//   SSD serves many in parallel; a rotating disk has one head: keep 1). With
//   more than one, queued requests complete in the order their service ends.
//   In virtual time only the command parts run in parallel: the transfers of
//   one disk share its interface at bytesPerSecond, one after another in the
//   order the disk took the requests (in real time each slot transfers at the
//   full rate, so requests split into pieces would look faster than one).
// - Each request pays bytes / bytesPerSecond for its transfer, plus the fixed
//   command cost of its kind (readMicroseconds, writeMicroseconds).
// - A rotating disk (rotationMicroseconds > 0) also pays positioning, unless
//   the request begins where the previous one served ended (a sequential run
//   pays the transfer only): a seek that grows with the square root of the
//   distance from the end of the previous request, from trackToTrack (next
//   track) to fullStroke (across the whole disk), and the average rotational
//   wait of half a revolution. The fixed command costs are then part of it
//   and usually stay 0.
// DiskServiceNanoseconds gives the cost of one request; HardDiskTiming and
// SsdTiming are the two reference configurations.
struct DiskTiming {
    ULONG queueDepth = 1;
    uint64_t bytesPerSecond = 0;
    ULONG readMicroseconds = 0;
    ULONG writeMicroseconds = 0;
    ULONG rotationMicroseconds = 0;  // one revolution; 0: not a rotating disk
    ULONG trackToTrackMicroseconds = 0;
    ULONG fullStrokeMicroseconds = 0;
    TimingClock clock = TimingClock::Real;
};

// A typical 3.5" 7200 rpm desktop disk (data sheets of the 1 TB class, such as
// Seagate Barracuda ST1000DM003 and WD Blue WD10EZEX): 7200 rpm, so 8.33 ms a
// revolution and 4.17 ms average rotational latency; average read seek
// 8.5 ms and track-to-track about 1 ms, which with the square-root curve
// (the mean of sqrt(distance) over random pairs is 0.53 of a full stroke)
// gives a full stroke of 15 ms; sustained transfer 150 MB/s (the WD figure;
// Seagate gives up to 210 MB/s at the outer tracks). A random 4 KiB read
// then takes about 12.7 ms (some 80 per second), a sequential one 27 us.
DiskTiming HardDiskTiming();
// A typical SATA SSD (data sheet of a Samsung 860 EVO 500 GB): sequential
// read 550 MB/s; random 4 KiB reads 10,000 IOPS at queue depth 1 (100 us
// each: 93 us of command and flash latency plus 7 us of transfer) and
// 98,000 at queue depth 32; random 4 KiB writes 42,000 IOPS at queue depth
// 1 (24 us: 17 us plus transfer at the 520 MB/s sequential write rate,
// rounded to one rate here). Queue depth 32 as NCQ allows.
DiskTiming SsdTiming();
// A timing on the virtual clock: InVirtualTime(SsdTiming()).
DiskTiming InVirtualTime(DiskTiming timing);

// Nanoseconds one request of `bytes` at `offset` takes on a disk of
// diskBytes whose previous request ended at headPosition (a byte offset).
uint64_t DiskServiceNanoseconds(const DiskTiming& timing, uint64_t diskBytes, uint64_t headPosition,
                                bool write, uint64_t offset, ULONG bytes);

struct DiskConfig {
    uint64_t lengthBytes = 64ull << 20;  // fixed for the disk's life
    ULONG sectorSize = 512;              // 512, 4096, or anything else to test refusal
    std::string backingFile;             // empty: sparse memory; else a sparse file (created, kept)
    ULONG deviceNumber = MAXULONG;       // MAXULONG: the index of the disk in the machine
    ULONG characteristics = 0;           // FILE_REMOVABLE_MEDIA ...
    bool lowerFilter = false;            // a pass-through device between PDO and filter: StackSize 2
    UCHAR portNumber = 0, pathId = 0, targetId = 0, lun = 0;
    std::string model = "EMU SIMULATED DISK";  // IDENTIFY words 27-46, blank padded to 40 bytes
    std::string serial = "EMU0000001";         // IDENTIFY words 10-19, blank padded to 20 bytes
    bool identifySupported = true;             // the miniport IDENTIFY pass-through
    CompletionMode completion = CompletionMode::Inline;
    DiskTiming timing;
    // A volatile write cache: completed writes are lost at a power cut until a
    // FLUSH_BUFFERS or SHUTDOWN request reaches the disk (or the write carries
    // SL_WRITE_THROUGH).
    bool writeCache = false;
    // The disk's PDO registers for shutdown notification, so Shutdown() sends
    // IRP_MJ_SHUTDOWN through the filter on top of it. ReactOS's disk stack
    // sends a filter below partmgr none.
    bool shutdownNotification = true;
};

// One request seen by a disk (every major function).
struct DiskRecord {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioctl = 0;      // IoControlCode for device-control requests
    uint64_t offset = 0;  // ByteOffset for reads and writes
    ULONG length = 0;     // Length for reads and writes
    uint64_t thread = 0;  // id of the calling thread (ThreadId())
    KIRQL irql = 0;
    NTSTATUS status = 0;   // status it was completed with
    ULONG irpFlags = 0;    // the IRP's Flags (IRP_PAGING_IO, IRP_NOCACHE, ...) as the disk received it
    UCHAR stackFlags = 0;  // its stack location's Flags (SL_WRITE_THROUGH, ...)
};

uint64_t ThreadId();  // id of the current thread as recorded in DiskRecord

// Sees a read's data once the disk has put it into the buffer and a write's
// data as the disk takes it (for tests that trace where data went).
using TransferWatch = std::function<void(bool write, uint64_t offset, const uint8_t* data, ULONG length)>;

class Disk {
public:
    const DiskConfig& Config() const;
    PDEVICE_OBJECT Pdo() const;  // null while the machine is off
    PDEVICE_OBJECT Top() const;  // top of the disk's stack (the driver's filter once attached)

    // Completion of reads, writes and pending control requests.
    void SetCompletion(CompletionMode mode);
    size_t HeldCount() const;
    void ReleaseHeld(bool newestFirst = false);  // hands every held request to the completion thread
    // Queued reads and writes move their data when the disk receives them
    // instead of when they complete (a real disk may do either): a held read
    // then returns what the disk held when it was sent.
    void SetTransferOnArrival(bool onArrival);
    void SetTransferWatch(TransferWatch watch);  // empty: none

    // Errors: a read/write touching [firstSector, firstSector + sectors) fails
    // with status, times times (-1 for ever). FailNth: the nth next request of op.
    void InjectError(DiskOp op, uint64_t firstSector, uint64_t sectors, NTSTATUS status, LONG times = -1);
    void FailNth(DiskOp op, ULONG nth, NTSTATUS status);
    void ClearErrors();
    void SetGone(bool gone);  // every request fails with STATUS_NO_SUCH_DEVICE

    // Control requests.
    void SetIoctlResult(ULONG code, NTSTATUS status);         // answer status, Information 0
    void SetIoctlInformation(ULONG code, ULONG information);  // success but Information cut to this
    void SetIoctlPending(ULONG code, bool pending);           // complete it on the completion thread
    void ClearIoctlOverrides();
    void SetIdentify(const std::string& model, const std::string& serial);
    void SetIdentifyData(const uint8_t data[512]);  // the raw 512 bytes
    void SetIdentifySupported(bool supported);
    std::vector<uint8_t> LastIdentifyInput() const;  // input bytes of the last IDENTIFY pass-through
    // Layout requests seen (set or delete drive layout, create disk, set
    // partition info), and the bytes the next one writes when it arrives (as
    // the disk's class driver writes the new tables), replacing any set before.
    ULONG LayoutChanges() const;
    void SetLayoutWrites(std::vector<std::pair<uint64_t, std::vector<uint8_t>>> writes);
    // While held, the next layout request is kept on arrival, its tables not
    // yet written, until ReleaseLayoutRequest writes them and hands it to the
    // completion thread (a class driver that takes its time).
    void HoldLayoutRequests(bool hold);
    bool LayoutRequestHeld() const;
    void ReleaseLayoutRequest();

    // PnP: how START is answered (status, and whether it pends).
    void SetStartResult(NTSTATUS status, bool pend = false);
    // PnP: the status STOP is answered with.
    void SetStopResult(NTSTATUS status);
    void SetPowerPending(bool pend);
    ULONG StartCount() const;
    ULONG Count(UCHAR major) const;
    ULONG Count(UCHAR major, UCHAR minor) const;

    // Backing bytes, behind every driver's back.
    void ReadBytes(uint64_t offset, void* buffer, size_t length) const;
    void WriteBytes(uint64_t offset, const void* buffer, size_t length);
    std::vector<uint8_t> Bytes(uint64_t offset, size_t length) const;
    // Undoes every write not yet flushed (with writeCache); returns how many.
    size_t DropUnflushedWrites();

    // Request record.
    std::vector<DiskRecord> Requests() const;
    void ClearRequests();
    ULONG LargestTransfer() const;
    ULONG MaxConcurrentDispatch() const;  // most reads/writes inside the disk's dispatch at once
    // Real time each read/write spends inside the disk's dispatch routine, so
    // that requests from several threads overlap there when nothing serialises
    // them (for MaxConcurrentDispatch tests only; 0 = none).
    void SetDispatchPause(ULONG microseconds);

    struct State;
    explicit Disk(std::unique_ptr<State> state);
    ~Disk();
    State& state() const { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// ---------------------------------------------------------------------------
// Requests sent by the harness
// ---------------------------------------------------------------------------

struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// A request the harness sent and that may still be pending.
class PendingIo {
public:
    bool Done() const;
    IoResult Wait();  // blocks (the clock may jump, see the model above)
    struct State;
    explicit PendingIo(std::shared_ptr<State> state);

private:
    std::shared_ptr<State> state_;
};

class Machine;

// An open handle on a named device, as a user-mode program holds one.
class Client {
public:
    Client() = default;
    Client(Client&& other) noexcept;
    Client& operator=(Client&& other) noexcept;
    ~Client();  // closes when still open

    bool IsOpen() const { return file_ != nullptr; }
    PFILE_OBJECT FileObject() const { return file_; }
    // METHOD_BUFFERED: one system buffer of max(in, out) bytes carries the input
    // in; Information bytes (at most out) are copied back. returned may be null.
    NTSTATUS DeviceIoControl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                             ULONG* returned = nullptr);
    IoResult Read(void* buffer, ULONG length, uint64_t offset = 0);
    IoResult Write(const void* buffer, ULONG length, uint64_t offset = 0);
    void Close();  // IRP_MJ_CLEANUP (status ignored), then IRP_MJ_CLOSE

private:
    friend class Machine;
    Client(Machine* machine, PFILE_OBJECT file) : machine_(machine), file_(file) {}
    Machine* machine_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

// ---------------------------------------------------------------------------
// The machine
// ---------------------------------------------------------------------------

struct MachineConfig {
    std::u16string serviceName = u"Tolvarn";
    UCHAR wdmMajor = 6;  // highest WDM level IoIsWdmVersionAvailable accepts; 0/0: none
    UCHAR wdmMinor = 0;
};

class Machine {
public:
    explicit Machine(MachineConfig config = {});
    ~Machine();  // PowerOff(), then the disks go
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Disks persist across reboots. Added while on, a disk's PDO appears at once
    // (a hot plug); the driver's AddDevice is still the test's call.
    Disk& AddDisk(DiskConfig config = {});
    Disk& disk(size_t index);
    size_t DiskCount() const;

    // Boot. Load creates the disks' PDOs and calls DriverEntry with
    // "\REGISTRY\MACHINE\SYSTEM\ControlSet001\Services\<service>".
    NTSTATUS Load(PDRIVER_INITIALIZE entry);
    NTSTATUS AddDevice(Disk& disk);           // the driver's AddDevice on the disk's PDO
    NTSTATUS Start(Disk& disk);               // IRP_MN_START_DEVICE (status STATUS_NOT_SUPPORTED) to the top
    NTSTATUS AddAndStartAll();                // AddDevice for every disk, then START each in order
    void EndBootPhase();                      // runs the boot-driver reinitialization routines
    NTSTATUS Boot(PDRIVER_INITIALIZE entry);  // Load, AddAndStartAll, EndBootPhase
    bool Loaded() const;
    PDRIVER_OBJECT Driver() const;
    std::u16string RegistryPath() const;  // the service key
    std::u16string ServiceName() const;

    // PnP on one disk's stack; each sends the request to the top and waits.
    NTSTATUS SendPnp(Disk& disk, UCHAR minor);
    NTSTATUS QueryRemove(Disk& disk);     // a failure is a veto, followed by CANCEL_REMOVE_DEVICE
    NTSTATUS Remove(Disk& disk);          // REMOVE, then the PDO goes (the disk stays, unplugged)
    NTSTATUS SurpriseRemove(Disk& disk);  // the disk goes gone, SURPRISE_REMOVAL, then Remove
    NTSTATUS QueryStop(Disk& disk);       // a veto is followed by CANCEL_STOP_DEVICE
    NTSTATUS Stop(Disk& disk);            // IRP_MN_STOP_DEVICE
    NTSTATUS Replug(Disk& disk);  // a removed disk comes back: new PDO, not gone (AddDevice is the test's)

    // Power: IRP_MN_SET_POWER of a system state to every disk stack, one after
    // another, each waited for. S4 then S0 is hibernate and resume.
    NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);
    NTSTATUS SetSystemPower(Disk& disk, SYSTEM_POWER_STATE state);
    ULONG StartNextPowerIrpCount() const;  // PoStartNextPowerIrp calls

    // Windows' shutdown order: IRP_MJ_SHUTDOWN to the top of each device
    // registered for shutdown notification, newest registration first, one
    // after another; then the file systems' flush, in which fileSystems (when
    // given) plays the file systems' last writes and their shutdown requests
    // down the disks' stacks; then the same request to each device registered
    // for last-chance notification.
    void Shutdown(const std::function<void()>& fileSystems = {});

    // DriverUnload (the driver's devices must be gone), then CheckNothingLeft.
    void Unload();
    // Shutdown, REMOVE of every stack, Unload (leak-checked), the clock moves on
    // a minute, Load(entry) again: registry and disk bytes survive, nothing
    // else. The disks are then waiting for AddDevice/Start.
    NTSTATUS Reboot();
    // As Reboot, but the power fails: no shutdown request is sent, unflushed
    // writes are lost, and the disks answer nothing while the old driver's
    // stacks are torn down (REMOVE, Unload; leak-checked).
    NTSTATUS PowerCut();
    // Everything off: Shutdown (unless sent since the last boot), held requests
    // released, stacks removed, driver unloaded (leak-checked), PDOs deleted.
    // The destructor runs it, so every test ends with a leak check.
    void PowerOff();

    // Requests through the top of a disk's stack, as a file system sends them
    // (MDL over the buffer; mappedMdl false gives an MDL not yet mapped).
    IoResult Read(Disk& disk, uint64_t offset, void* buffer, ULONG length);
    IoResult Write(Disk& disk, uint64_t offset, const void* buffer, ULONG length);
    // irpFlags: the IRP's Flags (IRP_PAGING_IO | IRP_NOCACHE for a pager's read, ...);
    // stackFlags: the Flags of the stack location the top device receives
    // (SL_WRITE_THROUGH for a file system's log write, ...).
    PendingIo StartRead(Disk& disk, uint64_t offset, void* buffer, ULONG length, bool mappedMdl = true,
                        ULONG irpFlags = 0, UCHAR stackFlags = 0);
    PendingIo StartWrite(Disk& disk, uint64_t offset, const void* buffer, ULONG length, bool mappedMdl = true,
                         ULONG irpFlags = 0, UCHAR stackFlags = 0);
    IoResult DiskIoControl(Disk& disk, ULONG code, const void* in, ULONG inLength, void* out,
                           ULONG outLength);
    IoResult SendMajor(Disk& disk, UCHAR major);  // FLUSH_BUFFERS, SHUTDOWN, ... with no parameters
    // Any request: setup fills the stack location the device receives.
    PendingIo StartIrp(PDEVICE_OBJECT device, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup);

    // User-mode view: "\\.\Name" opens the device behind "\DosDevices\Name";
    // a "\Device\..." path opens that device directly.
    NTSTATUS Open(std::u16string_view path, Client* client);

    // Object name space.
    PDEVICE_OBJECT FindDevice(std::u16string_view deviceName) const;
    std::optional<std::u16string> LinkTarget(std::u16string_view linkName) const;

    // Clock and quiet.
    LONGLONG Now() const;
    void AdvanceClock(LONGLONG hundredNanoseconds);  // wakes each deadline in order, then waits until quiet
    void AdvanceMs(ULONG milliseconds) { AdvanceClock(LONGLONG(milliseconds) * kMillisecond); }
    void WaitUntilQuiet();  // every machine thread blocked, no completion due, no disk in virtual-time service

    struct State;
    State& state() const { return *state_; }

private:
    std::unique_ptr<State> state_;
};

}  // namespace emu
