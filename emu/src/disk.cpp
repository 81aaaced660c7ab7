// The simulated disk: a disk driver whose PDOs serve reads, writes, the
// storage control requests, PnP and power, with configurable completion
// order, errors and a record of every request.
#include "disk.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

namespace emu {
namespace {

constexpr uint64_t kChunk = 64 * 1024;
constexpr ULONG kIdentifyControlCode = 0x1B0501;
constexpr ULONG kIdentifyHeader = sizeof(SRB_IO_CONTROL);                              // 28
constexpr ULONG kIdentifyInput = kIdentifyHeader + sizeof(SENDCMDINPARAMS) - 1;        // 60
constexpr ULONG kIdentifyDataOffset = kIdentifyHeader + sizeof(SENDCMDOUTPARAMS) - 1;  // 44
constexpr ULONG kIdentifyOutput = kIdentifyDataOffset + 512;                           // 556

Disk::State* DiskOf(PDEVICE_OBJECT device)
{
    return *(Disk::State**)device->DeviceExtension;
}

// Puts text into IDENTIFY words as ATA strings: the high byte of each word first.
void PutAtaString(uint8_t* identify, int firstWord, int words, const std::string& text)
{
    for (int i = 0; i < words * 2; ++i) {
        uint8_t c = i < (int)text.size() ? (uint8_t)text[i] : ' ';
        int word = firstWord + i / 2;
        identify[word * 2 + ((i % 2) ? 0 : 1)] = c;
    }
}

void Record(Disk::State& d, PIRP irp, NTSTATUS status)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    DiskRecord r;
    r.major = stack->MajorFunction;
    r.minor = stack->MinorFunction;
    if (r.major == IRP_MJ_DEVICE_CONTROL || r.major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        r.ioctl = stack->Parameters.DeviceIoControl.IoControlCode;
    if (r.major == IRP_MJ_READ || r.major == IRP_MJ_WRITE) {
        r.offset = (uint64_t)stack->Parameters.Read.ByteOffset.QuadPart;
        r.length = stack->Parameters.Read.Length;
    }
    r.thread = ThreadId();
    r.irql = KeGetCurrentIrql();
    r.status = status;
    r.irpFlags = irp->Flags;
    r.stackFlags = stack->Flags;
    Guard guard(Sched().lock);
    d.records.push_back(r);
    d.counts[r.major][r.minor & 31]++;
}

// Completes now, or hands the request to the completion thread.
NTSTATUS Finish(Disk::State& d, PIRP irp, NTSTATUS status, ULONG_PTR information, bool later)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    Record(d, irp, status);
    if (!later) {
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(irp);
    Guard guard(Sched().lock);
    switch (d.mode) {
    case CompletionMode::Held: d.held.push_back(irp); break;
    case CompletionMode::Reversed: d.deferred.push_back(irp); break;
    default: QueueForCompletionLocked(d, irp); break;
    }
    return STATUS_PENDING;
}

bool Touches(const ErrorRule& rule, DiskOp op, uint64_t first, uint64_t count)
{
    if (rule.op != DiskOp::Any && rule.op != op)
        return false;
    return first < rule.first + rule.count && rule.first < first + count;
}

NTSTATUS InjectedStatus(Disk::State& d, DiskOp op, uint64_t first, uint64_t count)
{
    Guard guard(Sched().lock);
    for (NthFailure& n : d.nth) {
        if (n.countdown == 0 || (n.op != DiskOp::Any && n.op != op))
            continue;
        if (--n.countdown == 0)
            return n.status;
    }
    for (ErrorRule& rule : d.errors) {
        if (rule.times == 0 || !Touches(rule, op, first, count))
            continue;
        if (rule.times > 0)
            rule.times--;
        return rule.status;
    }
    return STATUS_SUCCESS;
}

void Transfer(Disk::State& d, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.Read.Length;
    if (length == 0 || irp->MdlAddress == NULL)
        return;
    uint8_t* buffer = (uint8_t*)MdlAddressForTransfer(irp->MdlAddress);
    uint64_t offset = (uint64_t)stack->Parameters.Read.ByteOffset.QuadPart;
    bool write = stack->MajorFunction != IRP_MJ_READ;
    if (write)
        d.WriteCached(offset, buffer, length, (stack->Flags & SL_WRITE_THROUGH) != 0);
    else
        d.ReadData(offset, buffer, length);
    if (d.watch)
        d.watch(write, offset, buffer, length);
}

NTSTATUS NTAPI DiskReadWrite(PDEVICE_OBJECT device, PIRP irp)
{
    Disk::State& d = *DiskOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    DiskOp op = stack->MajorFunction == IRP_MJ_READ ? DiskOp::Read : DiskOp::Write;
    LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
    ULONG length = stack->Parameters.Read.Length;
    ULONG sector = d.config.sectorSize;
    NTSTATUS status = STATUS_SUCCESS;
    bool gone;
    CompletionMode mode;
    ULONG pause;
    bool onArrival;
    {
        Guard guard(Sched().lock);
        d.inDispatch++;
        if (d.inDispatch > d.maxInDispatch)
            d.maxInDispatch = d.inDispatch;
        if (length > d.largest)
            d.largest = length;
        gone = d.gone;
        mode = d.mode;
        pause = d.dispatchPause;
        onArrival = d.transferOnArrival;
    }
    if (pause > 0) {
        timespec t = {(time_t)(pause / 1000000), (long)(pause % 1000000) * 1000};
        nanosleep(&t, nullptr);
    }
    if (gone) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (length > 0 && irp->MdlAddress == NULL) {
        Report(Fault::BadMdl, "disk %zu: %s of %u bytes without an MDL", d.index,
               op == DiskOp::Read ? "read" : "write", length);
        status = STATUS_INVALID_PARAMETER;
    } else if (length > 0 && irp->MdlAddress->ByteCount < length) {
        Report(Fault::BadMdl, "disk %zu: MDL of %u bytes for a transfer of %u", d.index,
               irp->MdlAddress->ByteCount, length);
        status = STATUS_INVALID_PARAMETER;
    } else if (offset < 0 || offset % sector != 0 || length % sector != 0 ||
               (uint64_t)offset + length > d.config.lengthBytes) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = InjectedStatus(d, op, (uint64_t)offset / sector, length / sector);
    }
    ULONG_PTR information = NT_SUCCESS(status) ? length : 0;
    bool later = mode != CompletionMode::Inline;
    NoteArrival(d, irp, later);
    if ((!later || onArrival) && NT_SUCCESS(status))
        Transfer(d, irp);
    // A queued request's data moved already: the completion thread leaves it.
    if (later)
        irp->Tail.Overlay.DriverContext[0] = onArrival ? (PVOID)&d : NULL;
    {
        Guard guard(Sched().lock);
        d.inDispatch--;
    }
    return Finish(d, irp, status, information, later);
}

NTSTATUS AnswerIdentify(Disk::State& d, PIRP irp, ULONG inLength, ULONG outLength, ULONG_PTR* information)
{
    uint8_t* buffer = (uint8_t*)irp->AssociatedIrp.SystemBuffer;
    {
        Guard guard(Sched().lock);
        d.lastIdentifyInput.assign(buffer, buffer + (buffer ? inLength : 0));
        if (!d.identifySupported)
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (buffer == NULL || inLength < kIdentifyInput)
        return STATUS_INVALID_PARAMETER;
    SRB_IO_CONTROL header;
    memcpy(&header, buffer, sizeof header);
    SENDCMDINPARAMS in;
    memcpy(&in, buffer + kIdentifyHeader, sizeof in - 1);
    if (header.HeaderLength != kIdentifyHeader || memcmp(header.Signature, "SCSIDISK", 8) != 0)
        return STATUS_INVALID_PARAMETER;
    if (header.ControlCode != kIdentifyControlCode)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (in.irDriveRegs.bCommandReg != 0xEC || in.bDriveNumber != d.config.targetId ||
        header.Length < sizeof(SENDCMDOUTPARAMS) - 1 + 512)
        return STATUS_INVALID_PARAMETER;
    if (outLength < kIdentifyOutput)
        return STATUS_BUFFER_TOO_SMALL;
    header.ReturnCode = 0;
    memcpy(buffer, &header, sizeof header);
    SENDCMDOUTPARAMS out = {};
    out.cBufferSize = 512;
    memcpy(buffer + kIdentifyHeader, &out, sizeof out - 1);
    {
        Guard guard(Sched().lock);
        memcpy(buffer + kIdentifyDataOffset, d.identify, 512);
    }
    *information = kIdentifyOutput;
    return STATUS_SUCCESS;
}

// Writes a fixed-size answer when the output buffer holds it.
template <typename T>
NTSTATUS Answer(PIRP irp, ULONG outLength, const T& value, ULONG_PTR* information)
{
    if (outLength < sizeof(T) || irp->AssociatedIrp.SystemBuffer == NULL)
        return STATUS_BUFFER_TOO_SMALL;
    memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof(T));
    *information = sizeof(T);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DiskDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    Disk::State& d = *DiskOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    IoctlOverride override;
    bool gone;
    {
        Guard guard(Sched().lock);
        auto it = d.ioctls.find(code);
        if (it != d.ioctls.end())
            override = it->second;
        gone = d.gone;
    }
    ULONG_PTR information = 0;
    NTSTATUS status;
    if (gone) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (override.hasStatus) {
        status = override.status;
    } else {
        switch (code) {
        case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
            STORAGE_DEVICE_NUMBER n = {FILE_DEVICE_DISK, d.deviceNumber, 0};
            status = Answer(irp, outLength, n, &information);
            break;
        }
        case IOCTL_DISK_GET_DRIVE_GEOMETRY: {
            DISK_GEOMETRY g = {};
            g.MediaType = (d.config.characteristics & FILE_REMOVABLE_MEDIA) ? RemovableMedia : FixedMedia;
            g.TracksPerCylinder = 255;
            g.SectorsPerTrack = 63;
            g.BytesPerSector = d.config.sectorSize;
            g.Cylinders.QuadPart = (LONGLONG)(d.config.lengthBytes / (255ull * 63 * d.config.sectorSize));
            status = Answer(irp, outLength, g, &information);
            break;
        }
        case IOCTL_DISK_GET_LENGTH_INFO: {
            GET_LENGTH_INFORMATION l;
            l.Length.QuadPart = (LONGLONG)d.config.lengthBytes;
            status = Answer(irp, outLength, l, &information);
            break;
        }
        case IOCTL_SCSI_GET_ADDRESS: {
            SCSI_ADDRESS a = {sizeof(SCSI_ADDRESS), d.config.portNumber, d.config.pathId, d.config.targetId,
                              d.config.lun};
            status = Answer(irp, outLength, a, &information);
            break;
        }
        case IOCTL_SCSI_MINIPORT: status = AnswerIdentify(d, irp, inLength, outLength, &information); break;
        case IOCTL_DISK_SET_DRIVE_LAYOUT:
        case IOCTL_DISK_SET_DRIVE_LAYOUT_EX:
        case IOCTL_DISK_DELETE_DRIVE_LAYOUT:
        case IOCTL_DISK_CREATE_DISK:
        case IOCTL_DISK_SET_PARTITION_INFO:
        case IOCTL_DISK_SET_PARTITION_INFO_EX: {
            // The new tables land when the request arrives, as a class driver
            // writes them before it completes the request; a held request
            // writes them when it is released.
            std::vector<std::pair<uint64_t, std::vector<uint8_t>>> writes;
            bool hold = false;
            {
                Guard guard(Sched().lock);
                d.layoutChanges++;
                writes.swap(d.layoutWrites);
                hold = d.holdLayout && d.heldLayout == nullptr;
                if (hold) {
                    d.heldLayout = irp;
                    d.heldLayoutWrites.swap(writes);
                }
            }
            if (hold) {
                Record(d, irp, STATUS_SUCCESS);
                IoMarkIrpPending(irp);
                return STATUS_PENDING;
            }
            for (const auto& write : writes)
                d.WriteData(write.first, write.second.data(), write.second.size());
            status = STATUS_SUCCESS;
            break;
        }
        default: status = STATUS_INVALID_DEVICE_REQUEST; break;
        }
    }
    if (override.hasInformation && information > override.information)
        information = override.information;
    return Finish(d, irp, status, information, override.pending);
}

NTSTATUS NTAPI DiskPnp(PDEVICE_OBJECT device, PIRP irp)
{
    Disk::State& d = *DiskOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        if (irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
            Report(
                Fault::PnpStatusNotInitialised,
                "disk %zu: START arrived with status 0x%08x (a PnP request starts as STATUS_NOT_SUPPORTED)",
                d.index, (unsigned)irp->IoStatus.Status);
        NTSTATUS status;
        bool pending;
        {
            Guard guard(Sched().lock);
            d.startCount++;
            status = d.startStatus;
            pending = d.startPending;
        }
        return Finish(d, irp, status, 0, pending);
    }
    case IRP_MN_STOP_DEVICE: {
        NTSTATUS status;
        {
            Guard guard(Sched().lock);
            status = d.stopStatus;
        }
        return Finish(d, irp, status, 0, false);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return Finish(d, irp, STATUS_SUCCESS, 0, false);
    default: return Finish(d, irp, irp->IoStatus.Status, irp->IoStatus.Information, false);
    }
}

NTSTATUS NTAPI DiskPower(PDEVICE_OBJECT device, PIRP irp)
{
    Disk::State& d = *DiskOf(device);
    bool pending;
    {
        Guard guard(Sched().lock);
        pending = d.powerPending;
    }
    return Finish(d, irp, STATUS_SUCCESS, 0, pending);
}

NTSTATUS NTAPI DiskSimple(PDEVICE_OBJECT device, PIRP irp)
{
    Disk::State& d = *DiskOf(device);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    bool gone;
    {
        Guard guard(Sched().lock);
        gone = d.gone;
    }
    if (gone && (major == IRP_MJ_FLUSH_BUFFERS || major == IRP_MJ_SHUTDOWN))
        return Finish(d, irp, STATUS_NO_SUCH_DEVICE, 0, false);
    if (major == IRP_MJ_FLUSH_BUFFERS || major == IRP_MJ_SHUTDOWN)
        d.Flush();
    return Finish(d, irp, STATUS_SUCCESS, 0, false);
}

NTSTATUS NTAPI DiskUnsupported(PDEVICE_OBJECT device, PIRP irp)
{
    return Finish(*DiskOf(device), irp, STATUS_INVALID_DEVICE_REQUEST, 0, false);
}

NTSTATUS NTAPI FilterPassDown(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_OBJECT lower = *(PDEVICE_OBJECT*)device->DeviceExtension;
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

// The transfer part of a request's service time.
uint64_t TransferNanoseconds(const DiskTiming& timing, ULONG bytes)
{
    return timing.bytesPerSecond == 0 ? 0 : bytes * 1000000000ull / timing.bytesPerSecond;
}

bool HasTiming(const DiskTiming& t)
{
    return t.bytesPerSecond != 0 || t.readMicroseconds != 0 || t.writeMicroseconds != 0 ||
           t.rotationMicroseconds != 0;
}

uint64_t MonotonicNanoseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000ull + (uint64_t)now.tv_nsec;
}

bool HasIdleCompletionThread(const Disk::State& d)
{
    return d.work.Header.WaitListHead.Flink != &d.work.Header.WaitListHead;
}

// Wakes up to `count` idle completion threads for queued requests that no
// woken thread will take yet. A wake costs the waker a system call and the
// woken thread a scheduling delay, so the submitter wakes one thread and each
// woken thread up to two more: the threads for a burst of requests start in a
// tree of wakes rather than one after another.
void WakeIdleThreadsLocked(Disk::State& d, ULONG count)
{
    for (; count > 0 && d.queue.size() > d.waking && HasIdleCompletionThread(d); --count) {
        d.waking++;
        SignalEventLocked(&d.work);
    }
}

// The request's service time under the timing model (0 without one); moves
// the head of a rotating disk. Called with the dispatcher lock held, in queue
// order.
uint64_t ServiceNanosecondsLocked(Disk::State& d, PIRP irp)
{
    const DiskTiming& timing = d.config.timing;
    if (!HasTiming(timing))
        return 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    uint64_t offset = (uint64_t)stack->Parameters.Read.ByteOffset.QuadPart;
    ULONG length = stack->Parameters.Read.Length;
    uint64_t ns = DiskServiceNanoseconds(timing, d.config.lengthBytes, d.headPosition,
                                         stack->MajorFunction == IRP_MJ_WRITE, offset, length);
    d.headPosition = offset + length;
    return ns;
}

// Spends a request's service time in real time, as a disk slot busy with it
// would: the slot starts on it when it arrived or, when the slot was still
// busy then, when its previous request ended (slotFree), whatever the delay
// before this thread ran. Returns when the slot is free again.
uint64_t ServeInRealTime(uint64_t arrival, uint64_t slotFree, uint64_t ns)
{
    uint64_t end = std::max(arrival, slotFree) + ns;
    timespec deadline = {(time_t)(end / 1000000000ull), (long)(end % 1000000000ull)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
    return end;
}

// The same on the machine's virtual clock (nanoseconds since the disk's
// clock origin). The slots serve their commands in parallel, but the
// transfers of one disk share its interface (bytesPerSecond is the disk's
// rate, not each slot's): a transfer begins when its command part is done
// and the interface has finished the transfers of the requests taken before
// it. The request goes to the slot that is free first, and its end is fixed
// here, as the disk takes it from the queue under the dispatcher lock: so
// the ends follow the queue's order, whichever completion thread runs first.
// Ends are kept in nanoseconds, so back-to-back requests lose nothing to the
// clock's 100 ns units.
uint64_t ScheduleInVirtualTimeLocked(Disk::State& d, uint64_t arrival, uint64_t ns, ULONG bytes)
{
    uint64_t transfer = TransferNanoseconds(d.config.timing, bytes);
    size_t slot = 0;
    for (size_t i = 1; i < d.slotFree.size(); ++i)
        if (d.slotFree[i] < d.slotFree[slot])
            slot = i;
    uint64_t commandEnd = std::max(arrival, d.slotFree[slot]) + (ns - transfer);
    uint64_t end = std::max(commandEnd, d.interfaceFree) + transfer;
    d.interfaceFree = end;
    d.slotFree[slot] = end;
    return end;
}

// Blocks the completion thread until the virtual clock reaches the end: the
// clock gets there only once every machine thread is blocked, so the host's
// speed and the driver's CPU add nothing to it.
void ServeInVirtualTime(const Disk::State& d, uint64_t end)
{
    Guard guard(Sched().lock);
    WaitForDiskServiceLocked(guard, d.clockOrigin + (LONGLONG)((end + 99) / 100));
}

bool RunsInVirtualTime(const Disk::State& d)
{
    return d.config.timing.clock == TimingClock::Virtual;
}

// When a request reaches the completion queue, on the clock its service
// time is spent on (the dispatcher lock held).
uint64_t ArrivalNanosecondsLocked(const Disk::State& d)
{
    if (RunsInVirtualTime(d))
        return (uint64_t)(Sched().now - d.clockOrigin) * 100;
    return MonotonicNanoseconds();
}

void CompletionLoop(Disk::State* d)
{
    // Sleeps end at their deadline, not up to the default 50 us after it.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    Scheduler& s = Sched();
    uint64_t slotFree = 0;
    for (;;) {
        QueuedIrp next;
        uint64_t ns = 0;
        uint64_t virtualEnd = 0;
        {
            Guard guard(s.lock);
            while (d->queue.empty() && !d->stopThread) {
                WaitLocked(guard, &d->work.Header, nullptr);
                if (d->waking > 0)
                    d->waking--;
            }
            if (d->queue.empty()) {
                SignalEventLocked(&d->work);  // the next thread stops too
                return;
            }
            next = d->queue.front();
            d->queue.pop_front();
            WakeIdleThreadsLocked(*d, 2);
            UCHAR major = IoGetCurrentIrpStackLocation(next.irp)->MajorFunction;
            if (major == IRP_MJ_READ || major == IRP_MJ_WRITE)
                ns = ServiceNanosecondsLocked(*d, next.irp);
            if (ns > 0 && RunsInVirtualTime(*d))
                virtualEnd = ScheduleInVirtualTimeLocked(
                    *d, next.arrival, ns, IoGetCurrentIrpStackLocation(next.irp)->Parameters.Read.Length);
        }
        PIRP irp = next.irp;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        bool transfer = stack->MajorFunction == IRP_MJ_READ || stack->MajorFunction == IRP_MJ_WRITE;
        if (virtualEnd > 0)
            ServeInVirtualTime(*d, virtualEnd);
        else if (ns > 0)
            slotFree = ServeInRealTime(next.arrival, slotFree, ns);
        if (transfer && NT_SUCCESS(irp->IoStatus.Status) && irp->Tail.Overlay.DriverContext[0] != d)
            Transfer(*d, irp);
        if (transfer)
            NoteCompleted(*d, irp);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IofCompleteRequest(irp, IO_DISK_INCREMENT);
        KeLowerIrql(old);
    }
}

}  // namespace

// ---- Requests in flight and the overlap check ----------------------------------

static std::atomic<bool> overlapCheck{true};

void CheckOverlappingRequests(bool on)
{
    overlapCheck = on;
}

static const char* OriginName(IrpOrigin origin)
{
    return origin == IrpOrigin::Driver ? "the driver's own" : "a passed-down";
}

// Two requests in flight together whose order the driver depends on: they
// overlap, one writes, and one is the driver's own.
static bool Conflicts(const InFlightRequest& a, const InFlightRequest& b)
{
    return a.first < b.end && b.first < a.end && (a.write || b.write) &&
           (a.origin == IrpOrigin::Driver || b.origin == IrpOrigin::Driver);
}

void NoteArrival(Disk::State& d, PIRP irp, bool completesLater)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    InFlightRequest r;
    r.irp = irp;
    r.first = (uint64_t)stack->Parameters.Read.ByteOffset.QuadPart;
    r.end = r.first + stack->Parameters.Read.Length;
    r.write = stack->MajorFunction == IRP_MJ_WRITE;
    r.origin = OriginOfIrp(irp);
    if (r.origin == IrpOrigin::Outside || r.end == r.first)
        return;
    std::string fault;
    {
        Guard guard(Sched().lock);
        for (const InFlightRequest& e : d.inFlight) {
            if (!overlapCheck || !fault.empty() || !Conflicts(r, e))
                continue;
            ULONG sector = d.config.sectorSize;
            char text[320];
            snprintf(text, sizeof text,
                     "disk %zu: %s %s of sectors [%llu, %llu) sent while %s %s of [%llu, %llu) is in flight "
                     "(a disk may complete them in either order)",
                     d.index, OriginName(r.origin), r.write ? "write" : "read",
                     (unsigned long long)(r.first / sector), (unsigned long long)(r.end / sector),
                     OriginName(e.origin), e.write ? "write" : "read", (unsigned long long)(e.first / sector),
                     (unsigned long long)(e.end / sector));
            fault = text;
        }
        if (completesLater)
            d.inFlight.push_back(r);
    }
    if (!fault.empty())
        Report(Fault::OverlappingRequests, "%s", fault.c_str());
}

void NoteCompleted(Disk::State& d, PIRP irp)
{
    Guard guard(Sched().lock);
    for (size_t i = 0; i < d.inFlight.size(); ++i) {
        if (d.inFlight[i].irp == irp) {
            d.inFlight[i] = d.inFlight.back();
            d.inFlight.pop_back();
            return;
        }
    }
}

DiskTiming HardDiskTiming()
{
    DiskTiming t;
    t.queueDepth = 1;
    t.bytesPerSecond = 150000000;
    t.rotationMicroseconds = 8333;
    t.trackToTrackMicroseconds = 1000;
    t.fullStrokeMicroseconds = 15000;
    return t;
}

DiskTiming SsdTiming()
{
    DiskTiming t;
    t.queueDepth = 32;
    t.bytesPerSecond = 550000000;
    t.readMicroseconds = 93;
    t.writeMicroseconds = 17;
    return t;
}

DiskTiming InVirtualTime(DiskTiming timing)
{
    timing.clock = TimingClock::Virtual;
    return timing;
}

uint64_t DiskServiceNanoseconds(const DiskTiming& timing, uint64_t diskBytes, uint64_t headPosition,
                                bool write, uint64_t offset, ULONG bytes)
{
    uint64_t ns = (write ? timing.writeMicroseconds : timing.readMicroseconds) * 1000ull;
    ns += TransferNanoseconds(timing, bytes);
    if (timing.rotationMicroseconds == 0 || offset == headPosition)
        return ns;
    uint64_t distance = offset > headPosition ? offset - headPosition : headPosition - offset;
    double fraction = diskBytes == 0 ? 1.0 : sqrt(std::min(1.0, (double)distance / (double)diskBytes));
    double seek = timing.trackToTrackMicroseconds +
                  ((double)timing.fullStrokeMicroseconds - timing.trackToTrackMicroseconds) * fraction;
    if (seek < 0)
        seek = 0;
    return ns + (uint64_t)(seek * 1000.0) + timing.rotationMicroseconds * 1000ull / 2;
}

void Disk::State::ReadData(uint64_t offset, void* buffer, size_t length) const
{
    std::lock_guard<std::mutex> guard(dataLock);
    if (fd >= 0) {
        ssize_t n = pread(fd, buffer, length, (off_t)offset);
        if (n < (ssize_t)length)
            memset((uint8_t*)buffer + (n > 0 ? n : 0), 0, length - (n > 0 ? n : 0));
        return;
    }
    uint8_t* out = (uint8_t*)buffer;
    while (length > 0) {
        uint64_t base = offset / kChunk * kChunk;
        size_t within = (size_t)(offset - base);
        size_t n = std::min<size_t>(length, kChunk - within);
        auto it = chunks.find(base);
        if (it == chunks.end())
            memset(out, 0, n);
        else
            memcpy(out, it->second.get() + within, n);
        out += n;
        offset += n;
        length -= n;
    }
}

void Disk::State::WriteData(uint64_t offset, const void* buffer, size_t length)
{
    std::lock_guard<std::mutex> guard(dataLock);
    if (fd >= 0) {
        if (pwrite(fd, buffer, length, (off_t)offset) != (ssize_t)length)
            Report(Fault::BugCheck, "disk file write failed");
        return;
    }
    const uint8_t* in = (const uint8_t*)buffer;
    while (length > 0) {
        uint64_t base = offset / kChunk * kChunk;
        size_t within = (size_t)(offset - base);
        size_t n = std::min<size_t>(length, kChunk - within);
        std::unique_ptr<uint8_t[]>& chunk = chunks[base];
        if (!chunk)
            chunk.reset(new uint8_t[kChunk]());
        memcpy(chunk.get() + within, in, n);
        in += n;
        offset += n;
        length -= n;
    }
}

// Cuts [offset, offset + length) out of every undo record: the bytes there
// are on the medium now, and no earlier write may roll back over them.
static void ForgetUndo(std::vector<std::pair<uint64_t, std::vector<uint8_t>>>& undo, uint64_t offset,
                       size_t length)
{
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> kept;
    uint64_t end = offset + length;
    for (auto& record : undo) {
        uint64_t first = record.first, last = record.first + record.second.size();
        if (last <= offset || first >= end) {
            kept.push_back(std::move(record));
            continue;
        }
        if (first < offset)
            kept.emplace_back(
                first, std::vector<uint8_t>(record.second.begin(), record.second.begin() + (offset - first)));
        if (last > end)
            kept.emplace_back(
                end, std::vector<uint8_t>(record.second.begin() + (end - first), record.second.end()));
    }
    undo.swap(kept);
}

void Disk::State::WriteCached(uint64_t offset, const void* buffer, size_t length, bool writeThrough)
{
    if (config.writeCache && !writeThrough) {
        std::vector<uint8_t> old(length);
        ReadData(offset, old.data(), length);
        std::lock_guard<std::mutex> guard(dataLock);
        undo.emplace_back(offset, std::move(old));
    } else if (config.writeCache) {
        std::lock_guard<std::mutex> guard(dataLock);
        ForgetUndo(undo, offset, length);
    }
    WriteData(offset, buffer, length);
}

void Disk::State::Flush()
{
    std::lock_guard<std::mutex> guard(dataLock);
    undo.clear();
}

size_t Disk::State::DropUnflushed()
{
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> writes;
    {
        std::lock_guard<std::mutex> guard(dataLock);
        writes.swap(undo);
    }
    for (size_t i = writes.size(); i-- > 0;)
        WriteData(writes[i].first, writes[i].second.data(), writes[i].second.size());
    return writes.size();
}

void BuildIdentify(uint8_t out[512], const std::string& model, const std::string& serial)
{
    memset(out, 0, 512);
    out[0] = 0x40;  // fixed device
    PutAtaString(out, 10, 10, serial);
    PutAtaString(out, 27, 20, model);
}

PDRIVER_OBJECT CreateDiskDriver()
{
    PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\EmuDisk");
    for (PDRIVER_DISPATCH& slot : driver->MajorFunction)
        slot = DiskUnsupported;
    driver->MajorFunction[IRP_MJ_READ] = DiskReadWrite;
    driver->MajorFunction[IRP_MJ_WRITE] = DiskReadWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DiskDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = DiskPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DiskPower;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_SHUTDOWN, IRP_MJ_FLUSH_BUFFERS})
        driver->MajorFunction[major] = DiskSimple;
    return driver;
}

PDRIVER_OBJECT CreateLowerFilterDriver()
{
    PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\EmuLowerFilter");
    for (PDRIVER_DISPATCH& slot : driver->MajorFunction)
        slot = FilterPassDown;
    return driver;
}

void PowerOnDisk(Disk::State& d, PDRIVER_OBJECT diskDriver, PDRIVER_OBJECT filterDriver)
{
    PDEVICE_OBJECT pdo;
    IoCreateDevice(diskDriver, sizeof(Disk::State*), NULL, FILE_DEVICE_DISK, d.config.characteristics, FALSE,
                   &pdo);
    *(Disk::State**)pdo->DeviceExtension = &d;
    pdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo->SectorSize = (USHORT)d.config.sectorSize;
    if (d.config.shutdownNotification)
        IoRegisterShutdownNotification(pdo);
    d.pdo = pdo;
    if (d.config.lowerFilter) {
        PDEVICE_OBJECT filter;
        IoCreateDevice(filterDriver, sizeof(PDEVICE_OBJECT), NULL, FILE_DEVICE_DISK, d.config.characteristics,
                       FALSE, &filter);
        *(PDEVICE_OBJECT*)filter->DeviceExtension = IoAttachDeviceToDeviceStack(filter, pdo);
        filter->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
        filter->Flags &= ~DO_DEVICE_INITIALIZING;
        d.lowerFilter = filter;
    }
    {
        Guard guard(Sched().lock);
        d.gone = false;
        d.stopThread = false;
        d.waking = 0;
        d.clockOrigin = Sched().now;
        d.interfaceFree = 0;
        d.slotFree.assign(d.config.timing.queueDepth > 1 ? d.config.timing.queueDepth : 1, 0);
        d.inFlight.clear();
        InitEventRaw(&d.work, SynchronizationEvent, false);
    }
    Disk::State* state = &d;
    ULONG threads = d.config.timing.queueDepth > 1 ? d.config.timing.queueDepth : 1;
    for (ULONG i = 0; i < threads; ++i) {
        _KTHREAD* thread = StartInternalThread([state] { CompletionLoop(state); }, ThreadKind::Completion);
        AddReference(thread, false);
        d.completionThreads.push_back(thread);
    }
    AddStallHook(&d, [state] {
        if (state->deferred.empty())
            return false;
        while (!state->deferred.empty()) {
            QueueForCompletionLocked(*state, state->deferred.back());
            state->deferred.pop_back();
        }
        return true;
    });
}

void QueueForCompletionLocked(Disk::State& d, PIRP irp)
{
    d.queue.push_back({irp, ArrivalNanosecondsLocked(d)});
    if (d.waking == 0)
        WakeIdleThreadsLocked(d, 1);
}

void PowerOffDisk(Disk::State& d)
{
    if (d.pdo == nullptr)
        return;
    RemoveStallHook(&d);
    {
        Guard guard(Sched().lock);
        d.stopThread = true;
        SignalEventLocked(&d.work);
        for (_KTHREAD* thread : d.completionThreads)
            WaitLocked(guard, &thread->Header, nullptr);
    }
    for (_KTHREAD* thread : d.completionThreads)
        DropReference(thread, false);
    d.completionThreads.clear();
    if (d.lowerFilter != nullptr) {
        IoDetachDevice(d.pdo);
        IoDeleteDevice(d.lowerFilter);
        d.lowerFilter = nullptr;
    }
    IoDeleteDevice(d.pdo);
    d.pdo = nullptr;
}

}  // namespace emu
