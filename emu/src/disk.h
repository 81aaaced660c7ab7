// The simulated disk's state, shared by the disk driver and the machine.
#pragma once

#include "core.h"

#include <deque>
#include <map>
#include <memory>

namespace emu {

struct ErrorRule {
    DiskOp op;
    uint64_t first;
    uint64_t count;
    NTSTATUS status;
    LONG times;  // -1: for ever
};

struct NthFailure {
    DiskOp op;
    ULONG countdown;
    NTSTATUS status;
};

// A request queued for the completion threads, with when it reached the
// queue (nanoseconds of CLOCK_MONOTONIC, or of the virtual clock since the
// disk's origin in virtual time): the timing model serves it from then.
struct QueuedIrp {
    PIRP irp;
    uint64_t arrival;
};

// A read or write the disk has received and not yet completed, for the
// overlap check (checked against later ones while it is in flight).
struct InFlightRequest {
    PIRP irp;
    uint64_t first;  // byte range [first, end)
    uint64_t end;
    bool write;
    IrpOrigin origin;
};

struct IoctlOverride {
    bool hasStatus = false;
    NTSTATUS status = STATUS_SUCCESS;
    bool hasInformation = false;
    ULONG information = 0;
    bool pending = false;
};

}  // namespace emu

struct emu::Disk::State {
    size_t index = 0;
    DiskConfig config;
    ULONG deviceNumber = 0;

    // Backing store: sparse memory chunks, or a file.
    mutable std::mutex dataLock;
    std::map<uint64_t, std::unique_ptr<uint8_t[]>> chunks;
    int fd = -1;

    // Devices of the current boot.
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lowerFilter = nullptr;
    std::vector<_KTHREAD*> completionThreads;  // config.timing.queueDepth of them (at least one)
    KEVENT work;                               // wakes a completion thread
    bool stopThread = false;

    // Everything below is guarded by the dispatcher lock (Sched().lock).
    CompletionMode mode = CompletionMode::Inline;
    std::deque<QueuedIrp> queue;            // for the completion threads, in order
    ULONG waking = 0;                       // completion threads woken for it that have not run yet
    std::deque<PIRP> deferred;              // Reversed: waiting for the machine to stall
    std::deque<PIRP> held;                  // Held: waiting for ReleaseHeld
    std::vector<InFlightRequest> inFlight;  // queued reads and writes not yet completed
    std::vector<ErrorRule> errors;
    std::vector<NthFailure> nth;
    bool gone = false;
    std::map<ULONG, IoctlOverride> ioctls;
    uint8_t identify[512] = {};
    bool identifySupported = true;
    std::vector<uint8_t> lastIdentifyInput;
    ULONG layoutChanges = 0;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> layoutWrites;  // for the next layout request
    bool holdLayout = false;    // keep a layout request unanswered on arrival
    PIRP heldLayout = nullptr;  // the one kept, with the tables it writes
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> heldLayoutWrites;
    NTSTATUS startStatus = STATUS_SUCCESS;
    bool startPending = false;
    NTSTATUS stopStatus = STATUS_SUCCESS;
    bool powerPending = false;
    ULONG counts[IRP_MJ_MAXIMUM_FUNCTION + 1][32] = {};
    ULONG startCount = 0;
    std::vector<DiskRecord> records;
    ULONG largest = 0;
    ULONG inDispatch = 0;
    ULONG maxInDispatch = 0;
    ULONG dispatchPause = 0;  // microseconds
    bool transferOnArrival = false;
    TransferWatch watch;  // sees every transfer's data as it moves
    uint64_t headPosition = 0;  // timing model: where the previous request served ended (bytes)
    LONGLONG clockOrigin = 0;   // virtual-time model: the clock at power-on, nanosecond count 0
    uint64_t interfaceFree = 0;       // virtual-time model: when the disk's interface ends its last transfer (ns)
    std::vector<uint64_t> slotFree;  // virtual-time model: when each slot ends its last request (ns)

    // Writes not yet flushed: the bytes they replaced, oldest first.
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> undo;

    void ReadData(uint64_t offset, void* buffer, size_t length) const;
    void WriteCached(uint64_t offset, const void* buffer, size_t length, bool writeThrough);
    void Flush();
    size_t DropUnflushed();
    void WriteData(uint64_t offset, const void* buffer, size_t length);
};

namespace emu {

void BuildIdentify(uint8_t out[512], const std::string& model, const std::string& serial);
void PowerOnDisk(Disk::State& disk, PDRIVER_OBJECT diskDriver, PDRIVER_OBJECT filterDriver);
// Queues a request for the completion threads (the dispatcher lock held).
void QueueForCompletionLocked(Disk::State& disk, PIRP irp);
void PowerOffDisk(Disk::State& disk);  // deletes the devices and ends the completion thread
// The overlap check: a read or write arriving is checked against those in
// flight (OverlappingRequests), and one that completes later joins them
// until NoteCompleted.
void NoteArrival(Disk::State& disk, PIRP irp, bool completesLater);
void NoteCompleted(Disk::State& disk, PIRP irp);
PDRIVER_OBJECT CreateDiskDriver();
PDRIVER_OBJECT CreateLowerFilterDriver();

}  // namespace emu
