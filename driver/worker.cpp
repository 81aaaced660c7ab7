// Per-disk worker thread. Producers (dispatch routines, completion routines,
// a master's device-control dispatch) queue under a spin lock and signal the
// work event; the worker runs one work item, else one request, else a drain
// or idle write-back step of an active master, and waits when it found
// nothing to do.
#include "tolvarn.h"
#include "cachestate.h"
#include "config.h"
#include "destage.h"
#include "pool.h"
#include "read.h"
#include "requests.h"
#include "seams.h"
#include "worker.h"
#include "write.h"

// State kept by the worker thread between passes.
struct WorkerPacing {
    ULONG IdleWaits;     // idle waits in a row of an active master
    bool PieceFailed;    // the last destage piece attempted failed
    ULONGLONG FailedAt;  // system time of that attempt
};

void InitWorkerContext(WorkerContext* worker)
{
    worker->Thread = NULL;
    worker->Running = 0;
    worker->Stop = 1;
    KeInitializeEvent(&worker->ExitEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&worker->WorkEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&worker->RequestLock);
    InitializeListHead(&worker->RequestQueue);
    KeInitializeSpinLock(&worker->ItemLock);
    InitializeListHead(&worker->ItemQueue);
}

// ---------------------------------------------------------------------------
// Queues
// ---------------------------------------------------------------------------

// Inserts at the tail while the worker takes work, and wakes it. The event is
// signalled under the lock, so once the stopping worker has closed its queues
// no producer touches the context any more.
static bool InsertIfRunning(WorkerContext* worker, KSPIN_LOCK* lock, LIST_ENTRY* queue, LIST_ENTRY* entry)
{
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    bool running = worker->Running != 0;
    if (running) {
        InsertTailList(queue, entry);
        KeSetEvent(&worker->WorkEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(lock, irql);
    return running;
}

static LIST_ENTRY* RemoveHeadLocked(KSPIN_LOCK* lock, LIST_ENTRY* queue)
{
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    LIST_ENTRY* entry = IsListEmpty(queue) ? NULL : RemoveHeadList(queue);
    KeReleaseSpinLock(lock, irql);
    return entry;
}

// From here on every post and queued request is refused.
static void CloseWorkerQueues(WorkerContext* worker)
{
    KIRQL requestIrql;
    KIRQL itemIrql;
    KeAcquireSpinLock(&worker->RequestLock, &requestIrql);
    KeAcquireSpinLock(&worker->ItemLock, &itemIrql);
    worker->Running = 0;
    KeReleaseSpinLock(&worker->ItemLock, itemIrql);
    KeReleaseSpinLock(&worker->RequestLock, requestIrql);
}

bool QueueIrpToWorker(PDEVICE_OBJECT device, PIRP irp)
{
    WorkerContext* worker = &FilterExtensionOf(device)->Worker;
    if (!worker->Running)
        return false;
    // Pending before it is visible to the worker, which may complete it at once.
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);
    if (InsertIfRunning(worker, &worker->RequestLock, &worker->RequestQueue, &irp->Tail.Overlay.ListEntry))
        return true;
    // The worker closed its queues meanwhile: the caller handles the request,
    // and the pending mark stays true of it (it is answered STATUS_PENDING).
    return false;
}

static bool PostWorkItem(PDEVICE_OBJECT master, ULONG kind, ULONGLONG sector, ULONG count, PVOID buffer,
                         ULONG stamp = 0)
{
    WorkerContext* worker = &FilterExtensionOf(master)->Worker;
    WorkItem* item = (WorkItem*)AllocatePool(sizeof(WorkItem));
    if (!item)
        return false;
    item->Kind = kind;
    item->Sector = sector;
    item->Count = count;
    item->Buffer = buffer;
    item->Stamp = stamp;
    if (InsertIfRunning(worker, &worker->ItemLock, &worker->ItemQueue, &item->Links))
        return true;
    FreePool(item);
    return false;
}

bool PostInvalidateWork(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count, ULONG assignments)
{
    if (!FilterExtensionOf(master)->Worker.Running)
        return false;
    return PostWorkItem(master, WorkInvalidate, ssdSector, count, NULL, assignments);
}

bool PostSetValidWork(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count, ULONG generation)
{
    if (!FilterExtensionOf(master)->Worker.Running)
        return false;
    return PostWorkItem(master, WorkSetValid, ssdSector, count, NULL, generation);
}

bool PostFillWork(PDEVICE_OBJECT master, ULONGLONG masterSector, ULONG count, PVOID buffer)
{
    if (!FilterExtensionOf(master)->Worker.Running || !Jobs->CanFill(master))
        return false;
    return PostWorkItem(master, WorkFill, masterSector, count, buffer);
}

// A call waited for by its caller, in the caller's frame: its work item is
// never freed by the worker.
struct WorkerCall {
    WorkItem Item;
    WORKER_CALL_ROUTINE* Routine;
    PVOID Context;
    KEVENT Done;
};

bool RunOnWorker(PDEVICE_OBJECT device, WORKER_CALL_ROUTINE* routine, PVOID context)
{
    PAGED_CODE();
    WorkerContext* worker = &FilterExtensionOf(device)->Worker;
    if (!worker->Running)
        return false;
    if (worker->Thread && worker->Thread == (PVOID)KeGetCurrentThread()) {
        routine(device, context);
        return true;
    }
    WorkerCall call;
    call.Item.Kind = WorkCall;
    call.Item.Sector = 0;
    call.Item.Count = 0;
    call.Item.Buffer = &call;
    call.Routine = routine;
    call.Context = context;
    KeInitializeEvent(&call.Done, NotificationEvent, FALSE);
    // Once queued it runs: a stopping worker runs what was queued before it
    // closed its queues.
    if (!InsertIfRunning(worker, &worker->ItemLock, &worker->ItemQueue, &call.Item.Links))
        return false;
    KeWaitForSingleObject(&call.Done, Executive, KernelMode, FALSE, NULL);
    return true;
}

// ---------------------------------------------------------------------------
// The worker's passes
// ---------------------------------------------------------------------------

static bool RunWorkItem(PDEVICE_OBJECT device, WorkerContext* worker)
{
    LIST_ENTRY* entry = RemoveHeadLocked(&worker->ItemLock, &worker->ItemQueue);
    if (!entry)
        return false;
    WorkItem* item = CONTAINING_RECORD(entry, WorkItem, Links);
    if (item->Kind == WorkCall) {
        WorkerCall* call = (WorkerCall*)item->Buffer;
        call->Routine(device, call->Context);
        KeSetEvent(&call->Done, IO_NO_INCREMENT, FALSE);  // the caller's frame may go now
        return true;
    }
    switch (item->Kind) {
    case WorkInvalidate: Jobs->InvalidateSsdRange(device, item->Sector, item->Count, item->Stamp); break;
    case WorkSetValid: Jobs->SetSsdRangeValid(device, item->Sector, item->Count, item->Stamp); break;
    case WorkFill:
        if (!Jobs->FillCache(device, item->Sector, item->Count, item->Buffer))
            FreePool(item->Buffer);
        break;
    case WorkLayoutDone: {
        PIRP irp = (PIRP)item->Buffer;
        Jobs->InvalidateLayoutSector(device, irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        break;
    }
    }
    FreePool(item);
    return true;
}

// A layout request comes back to the worker once the disk below has answered
// it: the reads queued behind it ran while the disk was still writing its new
// tables, so they may have cached the old bytes, and the sectors are dropped
// again before the caller learns that the new layout stands. Without the
// memory for that, the request completes as it is.
static NTSTATUS NTAPI LayoutRequestDone(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    PDEVICE_OBJECT master = (PDEVICE_OBJECT)context;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    if (PostWorkItem(master, WorkLayoutDone, 0, 0, irp))
        return STATUS_MORE_PROCESSING_REQUIRED;
    return STATUS_SUCCESS;
}

static void DispatchQueuedIrp(PDEVICE_OBJECT device, PIRP irp)
{
    // The request was marked pending when it was queued; results are not used.
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_READ: HandleRead(device, irp); break;
    case IRP_MJ_WRITE: HandleWrite(device, irp); break;
    case IRP_MJ_FLUSH_BUFFERS: HandleFlushBuffers(device, irp); break;
    case IRP_MJ_DEVICE_CONTROL:
        Jobs->InvalidateLayoutSector(device, irp);
        PassDownWatched(device, irp, LayoutRequestDone, device);
        break;
    default: PassDown(device, irp); break;
    }
}

static bool RunQueuedIrp(PDEVICE_OBJECT device, WorkerContext* worker)
{
    LIST_ENTRY* entry = RemoveHeadLocked(&worker->RequestLock, &worker->RequestQueue);
    if (!entry)
        return false;
    DispatchQueuedIrp(device, CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
    return true;
}

void ServeQueuedRequests(PDEVICE_OBJECT device)
{
    WorkerContext* worker = &FilterExtensionOf(device)->Worker;
    LIST_ENTRY queued;
    InitializeListHead(&queued);
    KIRQL irql;
    KeAcquireSpinLock(&worker->RequestLock, &irql);
    if (!IsListEmpty(&worker->RequestQueue)) {
        // The whole queue moves to the local head.
        queued.Flink = worker->RequestQueue.Flink;
        queued.Blink = worker->RequestQueue.Blink;
        queued.Flink->Blink = &queued;
        queued.Blink->Flink = &queued;
        InitializeListHead(&worker->RequestQueue);
    }
    KeReleaseSpinLock(&worker->RequestLock, irql);
    while (!IsListEmpty(&queued))
        DispatchQueuedIrp(device, CONTAINING_RECORD(RemoveHeadList(&queued), IRP, Tail.Overlay.ListEntry));
}

// Runs what is still queued; used once the queues are closed.
static void RunQueuedWork(PDEVICE_OBJECT device, WorkerContext* worker)
{
    while (RunWorkItem(device, worker) || RunQueuedIrp(device, worker)) {
    }
}

// A destage piece that failed is not tried again before a worker tick has
// passed, so a persistent error cannot make this thread spin.
static bool DestageHeldBack(const WorkerPacing* pacing)
{
    if (!pacing->PieceFailed)
        return false;
    ULONGLONG now = ReadSystemTime();
    return now >= pacing->FailedAt && now - pacing->FailedAt < (ULONGLONG)WorkerTick;
}

// Records the outcome of an attempted piece; true when the next pass may
// start at once.
static bool NoteDestagePiece(WorkerPacing* pacing, NTSTATUS pieceStatus)
{
    pacing->PieceFailed = !NT_SUCCESS(pieceStatus);
    if (pacing->PieceFailed)
        pacing->FailedAt = ReadSystemTime();
    return !pacing->PieceFailed;
}

// One step of a master whose cache is active; true when the next pass starts
// without waiting.
static bool RunActiveMasterStep(PDEVICE_OBJECT device, WorkerPacing* pacing)
{
    CacheState* cache = &FilterExtensionOf(device)->Cache;
    NTSTATUS pieceStatus = STATUS_SUCCESS;
    if (cache->StopRequested) {
        pacing->IdleWaits = 0;
        if (DestageHeldBack(pacing))
            return false;
        Jobs->DrainStep(device, &pieceStatus);
        return NoteDestagePiece(pacing, pieceStatus);
    }
    if (HibernateFlag) {
        pacing->IdleWaits = 0;
        return false;
    }
    if (pacing->IdleWaits < IdleWaitsBeforeWriteBack) {
        pacing->IdleWaits++;
        return false;
    }
    if (!cache->IdleWriteBack || DestageHeldBack(pacing))
        return false;
    if (!Jobs->IdleDestage(device, &pieceStatus))
        return false;
    return NoteDestagePiece(pacing, pieceStatus);
}

// One pass; true when the next pass starts without waiting.
static bool RunWorkerPass(PDEVICE_OBJECT device, WorkerPacing* pacing)
{
    FilterExtension* ext = FilterExtensionOf(device);
    if (RunWorkItem(device, &ext->Worker) || RunQueuedIrp(device, &ext->Worker)) {
        pacing->IdleWaits = 0;
        return true;
    }
    if (ext->Role != RoleMaster)
        return false;
    if (!ext->Cache.Active)
        return IdleWorkInactive(device);
    return RunActiveMasterStep(device, pacing);
}

static void WaitForWork(WorkerContext* worker)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -WorkerTick;
    KeWaitForSingleObject(&worker->WorkEvent, Executive, KernelMode, FALSE, &timeout);
}

// mingw-w64's inline x64 read of the current thread from the GS segment
// trips a false -Warray-bounds.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
static void RaiseWorkerPriority()
{
    KeSetPriorityThread(KeGetCurrentThread(), WorkerPriority);
}
#pragma GCC diagnostic pop

VOID NTAPI WorkerThreadMain(PVOID context)
{
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)context;
    WorkerContext* worker = &FilterExtensionOf(device)->Worker;
    RaiseWorkerPriority();

    WorkerPacing pacing;
    pacing.IdleWaits = 0;
    pacing.PieceFailed = false;
    pacing.FailedAt = 0;
    // The stop flag is looked at after every pass, so neither a stream of
    // requests nor a long drain can hold a stop back.
    while (!worker->Stop) {
        if (!RunWorkerPass(device, &pacing))
            WaitForWork(worker);
    }

    // Nothing queued before the queues closed is left behind; what the last
    // requests and items post from here on is refused.
    CloseWorkerQueues(worker);
    RunQueuedWork(device, worker);
    KeSetEvent(&worker->ExitEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Start and stop
// ---------------------------------------------------------------------------

static void ReleaseWorkerThread(WorkerContext* worker)
{
    if (!worker->Thread)
        return;
    KeWaitForSingleObject(worker->Thread, Executive, KernelMode, FALSE, NULL);
    ObfDereferenceObject(worker->Thread);
    worker->Thread = NULL;
}

NTSTATUS StartWorkerThread(PDEVICE_OBJECT device)
{
    PAGED_CODE();
    WorkerContext* worker = &FilterExtensionOf(device)->Worker;
    if (worker->Running)
        return STATUS_SUCCESS;
    // A thread object left from an earlier worker belongs to a thread that
    // has closed its queues; it is waited for before it is let go.
    ReleaseWorkerThread(worker);

    KeInitializeEvent(&worker->ExitEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&worker->WorkEvent, SynchronizationEvent, FALSE);
    worker->Stop = 0;
    worker->Running = 1;

    // A device whose removal or shutdown has begun gets no new worker: its
    // stop may already have looked for one. The interlocked read orders it
    // after the store of Running, which that stop reads after marking the
    // device removing.
    NTSTATUS status = STATUS_DELETE_PENDING;
    HANDLE handle;
    if (InterlockedCompareExchange((LONG volatile*)&FilterExtensionOf(device)->Removing, 0, 0) == 0)
        status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, WorkerThreadMain, device);
    if (!NT_SUCCESS(status)) {
        // What was queued since the worker was marked running runs here; a
        // stop waiting for this start is let go once it has.
        CloseWorkerQueues(worker);
        RunQueuedWork(device, worker);
        worker->Stop = 1;
        KeSetEvent(&worker->ExitEvent, IO_NO_INCREMENT, FALSE);
        return status;
    }
    PVOID thread;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &thread, NULL);
    if (NT_SUCCESS(status)) {
        worker->Thread = thread;
    } else {
        // Without a reference the thread cannot be waited for later: end it
        // now. It signals the exit event as the last thing it does with the
        // device.
        worker->Stop = 1;
        KeSetEvent(&worker->WorkEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&worker->ExitEvent, Executive, KernelMode, FALSE, NULL);
    }
    ZwClose(handle);
    return status;
}

void StopWorkerThread(WorkerContext* worker)
{
    PAGED_CODE();
    worker->Stop = 1;
    KeSetEvent(&worker->WorkEvent, IO_NO_INCREMENT, FALSE);
    // A start still under way has marked the worker running but not stored
    // its thread yet: wait, a tick at a time, until its creator stores the
    // thread or the worker has ended (its exit event).
    if (!worker->Thread && worker->Running) {
        LARGE_INTEGER tick;
        tick.QuadPart = -WorkerTick;
        while (!worker->Thread && KeWaitForSingleObject(&worker->ExitEvent, Executive, KernelMode, FALSE,
                                                        &tick) != STATUS_SUCCESS) {
        }
    }
    ReleaseWorkerThread(worker);
}
