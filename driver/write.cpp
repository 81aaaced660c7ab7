// The write path: a filter device's writes as they enter the cache, and a
// master's writes sent to the SSD, the master or both by the write plan.
#include "tolvarn.h"
#include "bitmaps.h"
#include "cachestate.h"
#include "lifecycle.h"
#include "pool.h"
#include "read.h"
#include "requests.h"
#include "worker.h"
#include "write.h"
#include "writeplan.h"

NTSTATUS HandleWrite(PDEVICE_OBJECT device, PIRP irp)
{
    DiskRequest request;
    StartCallerRequest(device, irp, &request);
    DiskStats* stats = &FilterExtensionOf(device)->Stats;
    StatAdd32(&stats->WritesIn, 1);
    StatAdd64(&stats->SectorsWrittenIn, request.SectorCount);
    if (FilterExtensionOf(device)->Role == RoleMaster)
        return WriteCached(&request);
    return PassDownWrite(&request);
}

// The caller's IRP flags an own write takes over: how the data is to be
// written (paging, no cache), not how the caller's buffers are kept.
const ULONG CallerWriteFlags = IRP_NOCACHE | IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO;

// ---- Contexts ------------------------------------------------------------------

enum WriteVariant : ULONG {
    WriteSsdOnlyVariant,       // one SSD write; on failure the master gets the request
    WriteMasterAndSsdVariant,  // the whole request to the master, SSD children too
    WriteAllExtentsVariant,    // one child per extent, master and SSD alike
};

struct MultiWriteContext;

struct WriteChild {
    MultiWriteContext* Context;
    PIRP Irp;
    PDEVICE_OBJECT Target;
    ULONGLONG Sector;
    ULONG Sectors;
    ULONG ByteOffset;
    volatile LONG Status;
    ULONG InvalidationPending;  // its SSD range still has to lose its valid bits
    ULONG PlannedAt;            // the slot table's assignments once the plan was made
};

// One issued write of a caller's request. The children are the own writes;
// in WriteMasterAndSsdVariant the last child is the master's write of the
// whole request, and its status is the caller's.
struct MultiWriteContext {
    LIST_ENTRY Links;  // on the master's pending invalidations
    WriteVariant Variant;
    LONG ChildCount;
    volatile LONG Finished;
    DiskRequest Request;
    ULONG Bytes;
    WriteChild* Children;
    IoExtent* Uncached;  // the plan's master ranges no slot receives
    ULONG UncachedCount;
    LONG FillsAtPlan;
    ULONG UncachedPending;  // they still have to lose their valid bits
    IoExtent* PlanExtents;  // the plan's array, which holds Uncached
};

static MultiWriteContext* AllocateWriteContext(const DiskRequest* request, WriteVariant variant,
                                               LONG children)
{
    MultiWriteContext* context = (MultiWriteContext*)AllocatePool(sizeof(MultiWriteContext));
    WriteChild* array = (WriteChild*)AllocatePool((SIZE_T)children * sizeof(WriteChild));
    if (!context || !array) {
        if (context)
            FreePool(context);
        if (array)
            FreePool(array);
        return NULL;
    }
    RtlZeroMemory(context, sizeof(*context));
    RtlZeroMemory(array, (SIZE_T)children * sizeof(WriteChild));
    context->Variant = variant;
    context->ChildCount = children;
    context->Request = *request;
    context->Bytes = request->SectorCount << FilterExtensionOf(request->Device)->SectorShift;
    context->Children = array;
    return context;
}

static void FreeWriteContext(MultiWriteContext* context)
{
    for (LONG i = 0; i < context->ChildCount; i++) {
        if (context->Children[i].Irp)
            FreeOwnIrp(context->Children[i].Irp);
    }
    FreePool(context->Children);
    if (context->PlanExtents)
        FreePool(context->PlanExtents);
    FreePool(context);
}

// ---- Invalidation ----------------------------------------------------------------

void InvalidateExtent(PDEVICE_OBJECT master, PDEVICE_OBJECT target, ULONGLONG start, ULONG sectors,
                      ULONG plannedAt)
{
    CacheMap* map = &FilterExtensionOf(master)->Cache.Map;
    if (!target || target != map->SsdDevice || !map->ValidBitmap)
        return;
    InvalidatePlannedSsdRange(map, start, sectors, plannedAt);
}

// A failed write's SSD ranges lose their valid bits through the worker (work
// items run before requests), in the slots that still hold the blocks the
// plan wrote: a child's slot is let go when the child completes, so a later
// plan may have given it to another block before the caller's status was
// known; when the worker takes no post, the context
// goes on the master's pending list instead, which every plan, flush and
// save empties first. Either way no read planned after the caller's request
// completes can take a range whose write did not happen. Returns true when
// the context went on the list (it is freed there).
static bool QueueInvalidations(MultiWriteContext* context)
{
    PDEVICE_OBJECT master = context->Request.Device;
    bool pending = false;
    for (LONG i = 0; i < context->ChildCount; i++) {
        WriteChild* child = &context->Children[i];
        if (child->InvalidationPending &&
            PostInvalidateWork(master, child->Sector, child->Sectors, child->PlannedAt))
            child->InvalidationPending = 0;
        pending = pending || child->InvalidationPending;
    }
    pending = pending || context->UncachedPending;
    if (!pending)
        return false;
    CacheState* cache = &FilterExtensionOf(master)->Cache;
    KIRQL irql;
    KeAcquireSpinLock(&cache->PendingLock, &irql);
    InsertTailList(&cache->PendingInvalidations, &context->Links);
    KeReleaseSpinLock(&cache->PendingLock, irql);
    return true;
}

void ApplyPendingInvalidations(PDEVICE_OBJECT master)
{
    CacheState* cache = &FilterExtensionOf(master)->Cache;
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&cache->PendingLock, &irql);
        LIST_ENTRY* entry =
            IsListEmpty(&cache->PendingInvalidations) ? NULL : RemoveHeadList(&cache->PendingInvalidations);
        KeReleaseSpinLock(&cache->PendingLock, irql);
        if (!entry)
            return;
        MultiWriteContext* context = CONTAINING_RECORD(entry, MultiWriteContext, Links);
        for (LONG i = 0; i < context->ChildCount; i++) {
            const WriteChild* child = &context->Children[i];
            if (child->InvalidationPending)
                InvalidateExtent(master, child->Target, child->Sector, child->Sectors, child->PlannedAt);
        }
        for (ULONG i = 0; context->UncachedPending && i < context->UncachedCount; i++) {
            const IoExtent* e = &context->Uncached[i];
            InvalidateMasterRange(&cache->Map, e->FirstSector, e->Sectors, CurrentBootTime());
        }
        FreeWriteContext(context);
    }
}

// ---- Completion ---------------------------------------------------------------------

// The caller's status: the master's in the paired variants, otherwise the
// failure of the child that completed first (WriteChildDone keeps it in the
// caller's status, which is STATUS_PENDING until then).
static NTSTATUS CallerStatusOf(const MultiWriteContext* context)
{
    if (context->Variant == WriteMasterAndSsdVariant)
        return context->Children[context->ChildCount - 1].Status;
    NTSTATUS first = context->Request.Irp->IoStatus.Status;
    return first == STATUS_PENDING ? STATUS_SUCCESS : first;
}

// Which SSD ranges lose their valid bits: those whose write failed, and all
// of them when the caller's write fails, so that the cache never claims
// data the caller was told did not land.
static void MarkInvalidations(MultiWriteContext* context, bool callerFailed)
{
    PDEVICE_OBJECT master = context->Request.Device;
    for (LONG i = 0; i < context->ChildCount; i++) {
        WriteChild* child = &context->Children[i];
        bool ssd = child->Target != master;
        child->InvalidationPending = ssd && (callerFailed || !NT_SUCCESS(child->Status)) ? 1 : 0;
    }
}

static void CompleteCaller(PIRP caller, NTSTATUS status, ULONG bytes)
{
    caller->IoStatus.Status = status;
    caller->IoStatus.Information = NT_SUCCESS(status) ? bytes : 0;
    IofCompleteRequest(caller, IO_NO_INCREMENT);
}

// A write the cache cannot watch (its context could not be had) is counted in
// the map while on its way: no read plans a fill meanwhile (AllocateFillBuffer),
// as one could take the master's data that the write replaces.
static NTSTATUS NTAPI UnwatchedWriteDone(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    InterlockedDecrement(&FilterExtensionOf((PDEVICE_OBJECT)context)->Cache.Map.UnwatchedWrites);
    return STATUS_SUCCESS;
}

static NTSTATUS PassDownUnwatched(const DiskRequest* request)
{
    InterlockedIncrement(&FilterExtensionOf(request->Device)->Cache.Map.UnwatchedWrites);
    return PassDownWriteWatched(request, UnwatchedWriteDone, request->Device);
}

// The last own write of a context has finished: the invalidations are
// queued first, then the caller's request is completed, or (a failed
// SSD-only write) handed to the master.
static void FinishWrite(MultiWriteContext* context)
{
    DiskRequest request = context->Request;
    ULONG bytes = context->Bytes;
    bool ssdOnlyFailed = context->Variant == WriteSsdOnlyVariant && !NT_SUCCESS(context->Children[0].Status);
    NTSTATUS status = CallerStatusOf(context);
    MarkInvalidations(context, !ssdOnlyFailed && !NT_SUCCESS(status));
    // A read planned since this write may have read the master's old data of
    // the ranges no slot received, and its fill may mark them valid: they
    // lose their valid bits (and their slots' generation rises) before the
    // caller learns that the write is done.
    CacheMap* map = &FilterExtensionOf(request.Device)->Cache.Map;
    context->UncachedPending =
        context->UncachedCount != 0 && map->FillsPlanned != context->FillsAtPlan ? 1 : 0;
    // A failed SSD-only write goes to the master unwatched: counted before
    // its range can turn invalid, so that no read fills it meanwhile.
    if (ssdOnlyFailed)
        InterlockedIncrement(&map->UnwatchedWrites);
    if (!QueueInvalidations(context))
        FreeWriteContext(context);
    if (ssdOnlyFailed)
        PassDownWriteWatched(&request, UnwatchedWriteDone, request.Device);
    else
        CompleteCaller(request.Irp, status, bytes);
}

// What a child holds of the map (HoldSsdRange): its SSD range, or for a
// master write the map alone.
static void HeldRange(const WriteChild* child, ULONGLONG* sector, ULONG* sectors)
{
    bool ssd = child->Target != child->Context->Request.Device;
    *sector = ssd ? child->Sector : 0;
    *sectors = ssd ? child->Sectors : 0;
}

static NTSTATUS NTAPI WriteChildDone(PDEVICE_OBJECT device, PIRP irp, PVOID argument)
{
    WriteChild* child = (WriteChild*)argument;
    MultiWriteContext* context = child->Context;
    CacheMap* map = &FilterExtensionOf(context->Request.Device)->Cache.Map;
    ULONGLONG heldSector;
    ULONG heldSectors;
    HeldRange(child, &heldSector, &heldSectors);
    // Read before the count goes up: once it has, the last child may free the context.
    LONG childCount = context->ChildCount;
    child->Status = FreeOwnIrp(irp);
    child->Irp = NULL;
    if (!NT_SUCCESS(child->Status))
        InterlockedCompareExchange((volatile LONG*)&context->Request.Irp->IoStatus.Status, child->Status,
                                   STATUS_PENDING);
    if (InterlockedIncrement(&context->Finished) == childCount)
        FinishWrite(context);
    // Released last: once no own I/O is held, the map's tables may go.
    ReleaseSsdRange(map, heldSector, heldSectors);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- Issuing ----------------------------------------------------------------------

static bool BuildChild(MultiWriteContext* context, LONG index, PDEVICE_OBJECT target, ULONGLONG sector,
                       ULONG sectors, ULONG byteOffset)
{
    ULONG shift = FilterExtensionOf(context->Request.Device)->SectorShift;
    WriteChild* child = &context->Children[index];
    child->Context = context;
    child->Target = target;
    child->Sector = sector;
    child->Sectors = sectors;
    child->ByteOffset = byteOffset;
    child->Status = STATUS_PENDING;
    child->PlannedAt = SlotAssignments(&FilterExtensionOf(context->Request.Device)->Cache.Map);
    child->Irp = BuildOwnWriteIrpFromMdl(target, sector << shift, sectors << shift,
                                         context->Request.Irp->MdlAddress, byteOffset);
    if (!child->Irp)
        return false;
    TakeCallerFlags(child->Irp, context->Request.Irp, CallerWriteFlags, CallerWriteStackFlags);
    return true;
}

// Sends every child in order. Nothing of the context is read after the last
// send: its completion may already have freed it.
static NTSTATUS SendChildren(MultiWriteContext* context)
{
    LONG count = context->ChildCount;
    WriteChild* children = context->Children;
    CacheMap* map = &FilterExtensionOf(context->Request.Device)->Cache.Map;
    // Every hold is taken before the first send: a slot with a write on its
    // way is no victim, and the map stays until the last completion.
    for (LONG i = 0; i < count; i++) {
        ULONGLONG sector;
        ULONG sectors;
        HeldRange(&children[i], &sector, &sectors);
        HoldSsdRange(map, sector, sectors);
    }
    NTSTATUS status = STATUS_PENDING;
    for (LONG i = 0; i < count; i++) {
        WriteChild* child = &children[i];
        PIRP irp = child->Irp;
        status = SendOwnWriteIrp(child->Target, irp, child->Sectors, WriteChildDone, child);
    }
    return status;
}

static bool IsPlanTarget(const DiskRequest* request, PDEVICE_OBJECT target)
{
    return target == request->Device || target == FilterExtensionOf(request->Device)->Cache.Map.SsdDevice;
}

// Builds the context of a plan: one child per extent, and for a plan with the
// whole-request flag one more for the master's write of the whole request,
// sent last. Null when anything cannot be had; nothing has been sent then.
static MultiWriteContext* BuildWriteContext(const DiskRequest* request, WritePlan* plan)
{
    WriteVariant variant = plan->WholeRequest ? WriteMasterAndSsdVariant
                           : plan->Count == 1 ? WriteSsdOnlyVariant
                                              : WriteAllExtentsVariant;
    LONG children = (LONG)plan->Count + (plan->WholeRequest ? 1 : 0);
    for (ULONG i = 0; i < plan->Count; i++) {
        if (!IsPlanTarget(request, plan->Extents[i].Target))
            return NULL;
    }
    MultiWriteContext* context = AllocateWriteContext(request, variant, children);
    if (!context)
        return NULL;
    bool built = request->Irp->MdlAddress != NULL;
    for (ULONG i = 0; built && i < plan->Count; i++) {
        const IoExtent* e = &plan->Extents[i];
        built = BuildChild(context, (LONG)i, e->Target, e->FirstSector, e->Sectors, e->ByteOffset);
    }
    if (built && plan->WholeRequest)
        built =
            BuildChild(context, children - 1, request->Device, request->StartSector, request->SectorCount, 0);
    if (!built) {
        FreeWriteContext(context);
        return NULL;
    }
    // The context takes the plan's array with its uncached ranges.
    context->PlanExtents = plan->Extents;
    context->Uncached = plan->Extents + plan->Count;
    context->UncachedCount = plan->UncachedCount;
    context->FillsAtPlan = plan->FillsAtPlan;
    plan->Extents = NULL;
    return context;
}

NTSTATUS ExecuteWrite(const DiskRequest* request, WritePlan* plan)
{
    if (plan->Count == 0 && plan->UncachedCount == 0) {
        FreeWritePlan(plan);
        return PassDownWrite(request);
    }
    MultiWriteContext* context = BuildWriteContext(request, plan);
    if (!context) {
        // The plan cannot be issued: the cache gives back its claim on every
        // SSD extent and the master takes the whole request.
        ULONG now = SlotAssignments(&FilterExtensionOf(request->Device)->Cache.Map);
        for (ULONG i = 0; i < plan->Count; i++)
            InvalidateExtent(request->Device, plan->Extents[i].Target, plan->Extents[i].FirstSector,
                             plan->Extents[i].Sectors, now);
        FreeWritePlan(plan);
        return PassDownUnwatched(request);
    }
    FreeWritePlan(plan);
    request->Irp->IoStatus.Status = STATUS_PENDING;
    return SendChildren(context);
}

// ---- Entry -------------------------------------------------------------------------

void MarkDetachedWrite(PDEVICE_OBJECT master)
{
    FilterExtension* ext = FilterExtensionOf(master);
    VoidSavedMapBeforeWrite(master);
    if (ext->Master.MasterStart && ext->Master.SsdCacheDiskId != 0 &&
        (!ext->Cache.Active || !ext->Cache.Map.SsdDevice))
        ext->Cache.WrittenDetached = 1;
}

NTSTATUS PlanWrite(const DiskRequest* request, WritePlan* plan)
{
    FilterExtension* ext = FilterExtensionOf(request->Device);
    CacheState* cache = &ext->Cache;
    UCHAR mode = EffectiveWriteMode(&cache->Map, HibernateFlag, cache->StopRequested);
    bool allowed = IsCachingAllowed(cache->Active, cache->StopRequested, ext->Removing);
    return PlanWriteOnMap(&cache->Map, request, ext->SectorShift, mode, allowed, CurrentBootTime(), plan);
}

NTSTATUS WriteCached(const DiskRequest* request)
{
    PDEVICE_OBJECT master = request->Device;
    CacheState* cache = &FilterExtensionOf(master)->Cache;
    ApplyPendingInvalidations(master);
    if (!cache->Active) {
        // A master that attaches at boot may not have attached yet: a saved
        // map must not be reused over what this write changes.
        MarkDetachedWrite(master);
        return PassDownWrite(request);
    }
    NTSTATUS status = CheckRequestRange(request);
    if (!NT_SUCCESS(status))
        return CompleteRequest(request->Irp, status);
    MarkDetachedWrite(master);
    WritePlan plan;
    status = PlanWrite(request, &plan);
    if (!NT_SUCCESS(status))
        return CompleteRequest(request->Irp, status);
    return ExecuteWrite(request, &plan);
}
