// The read path: a filter device's reads as they enter the cache, and a
// master's reads served block by block from the SSD and the master, misses
// handed to the background fill.
#include "tolvarn.h"
#include "cachestate.h"
#include "fill.h"
#include "pool.h"
#include "read.h"
#include "readplan.h"
#include "requests.h"
#include "worker.h"
#include "write.h"

NTSTATUS HandleRead(PDEVICE_OBJECT device, PIRP irp)
{
    DiskRequest request;
    StartCallerRequest(device, irp, &request);
    DiskStats* stats = &FilterExtensionOf(device)->Stats;
    StatAdd32(&stats->ReadsIn, 1);
    StatAdd64(&stats->SectorsReadIn, request.SectorCount);
    if (FilterExtensionOf(device)->Role == RoleMaster)
        return ReadCached(&request);
    return PassDownRead(&request);
}

// The caller's IRP flags an own read of the master takes over: how the data
// is to be read (paging, no cache), not how the caller's buffers are kept.
const ULONG CallerReadFlags = IRP_NOCACHE | IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO;

// One own read that serves the whole request.
struct SingleReadContext {
    DiskRequest Request;
    ULONG Bytes;
    PVOID CallerBuffer;   // master read: where the data is copied
    PVOID Buffer;         // master read: own fill buffer
    ULONGLONG SsdSector;  // SSD read: the range held in flight
    ULONG SsdSectors;
};

struct MultiReadContext;

struct ReadChild {
    MultiReadContext* Context;
    PIRP Irp;
    IoExtent Extent;
    PVOID Buffer;  // own buffer (a fill buffer for the master)
};

struct MultiReadContext {
    LONG ChildCount;
    volatile LONG Completed;
    DiskRequest Request;
    ULONG Bytes;
    PVOID CallerBuffer;
    ReadChild* Children;
};

static CacheMap* MapOf(PDEVICE_OBJECT master)
{
    return &FilterExtensionOf(master)->Cache.Map;
}

NTSTATUS PlanRead(const DiskRequest* request, ReadPlan* plan)
{
    FilterExtension* ext = FilterExtensionOf(request->Device);
    ReadPolicy policy;
    policy.Allowed = IsCachingAllowed(ext->Cache.Active, ext->Cache.StopRequested, ext->Removing);
    policy.Boot = CurrentBootTime();
    return PlanReadOnMap(&ext->Cache.Map, request, ext->SectorShift, &policy, plan);
}

// Own requests could not be had: the master holds the data unless an SSD
// extent is dirty.
static NTSTATUS ReadWithoutResources(const DiskRequest* request, ULONG noDirty)
{
    if (noDirty)
        return PassDownRead(request);
    return CompleteRequest(request->Irp, STATUS_INSUFFICIENT_RESOURCES);
}

static void CompleteCaller(PIRP caller, NTSTATUS status, ULONG bytes)
{
    caller->IoStatus.Status = status;
    caller->IoStatus.Information = NT_SUCCESS(status) ? bytes : 0;
    IoCompleteRequest(caller, IO_NO_INCREMENT);
}

static NTSTATUS NTAPI SingleMasterReadDone(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    SingleReadContext* single = (SingleReadContext*)context;
    const DiskRequest* request = &single->Request;
    CacheMap* map = MapOf(request->Device);
    NTSTATUS status = FreeOwnIrp(irp);
    if (NT_SUCCESS(status))
        RtlCopyMemory(single->CallerBuffer, single->Buffer, single->Bytes);
    CompleteCaller(request->Irp, status, single->Bytes);
    if (!NT_SUCCESS(status) ||
        !PostFillWork(request->Device, request->StartSector, request->SectorCount, single->Buffer))
        FreePool(single->Buffer);
    FreePool(single);
    ReleaseSsdRange(map, 0, 0);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS NTAPI SingleSsdReadDone(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    SingleReadContext* single = (SingleReadContext*)context;
    CacheMap* map = MapOf(single->Request.Device);
    ULONGLONG ssdSector = single->SsdSector;
    ULONG ssdSectors = single->SsdSectors;
    NTSTATUS status = FreeOwnIrp(irp);
    CompleteCaller(single->Request.Irp, status, single->Bytes);
    FreePool(single);
    ReleaseSsdRange(map, ssdSector, ssdSectors);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS SingleMasterRead(const DiskRequest* request, ULONG noDirty)
{
    ULONG shift = FilterExtensionOf(request->Device)->SectorShift;
    ULONG bytes = request->SectorCount << shift;
    SingleReadContext* single = (SingleReadContext*)AllocatePool(sizeof(SingleReadContext));
    PVOID buffer =
        AllocateFillBuffer(MapOf(request->Device), request->StartSector, request->SectorCount, bytes);
    PVOID callerBuffer = NULL;
    PIRP irp = NULL;
    if (single && buffer && GetCallerBuffer(request, &callerBuffer))
        irp = BuildOwnReadIrp(request->Device, request->StartSector << shift, bytes, buffer);
    if (!irp) {
        if (buffer)
            FreePool(buffer);
        if (single)
            FreePool(single);
        return ReadWithoutResources(request, noDirty);
    }
    TakeCallerFlags(irp, request->Irp, CallerReadFlags, CallerReadStackFlags);
    single->Request = *request;
    single->Bytes = bytes;
    single->CallerBuffer = callerBuffer;
    single->Buffer = buffer;
    HoldSsdRange(MapOf(request->Device), 0, 0);  // no slot: the map's tables stay until it completes
    return SendOwnReadIrp(request->Device, irp, request->SectorCount, SingleMasterReadDone, single);
}

// The SSD reads straight into the caller's buffer, through a partial MDL of
// the caller's MDL.
static NTSTATUS SingleSsdRead(const DiskRequest* request, PDEVICE_OBJECT ssd, ULONGLONG ssdSector,
                              ULONG noDirty)
{
    ULONG shift = FilterExtensionOf(request->Device)->SectorShift;
    ULONG bytes = request->SectorCount << shift;
    SingleReadContext* single = (SingleReadContext*)AllocatePool(sizeof(SingleReadContext));
    PIRP irp = NULL;
    if (single && request->Irp->MdlAddress)
        irp = BuildOwnReadIrpIntoMdl(ssd, ssdSector << shift, bytes, request->Irp->MdlAddress);
    if (!irp) {
        if (single)
            FreePool(single);
        return ReadWithoutResources(request, noDirty);
    }
    single->Request = *request;
    single->Bytes = bytes;
    single->CallerBuffer = NULL;
    single->Buffer = NULL;
    single->SsdSector = ssdSector;
    single->SsdSectors = request->SectorCount;
    HoldSsdRange(MapOf(request->Device), ssdSector, request->SectorCount);
    return SendOwnReadIrp(ssd, irp, request->SectorCount, SingleSsdReadDone, single);
}

static void FreeReadChildren(MultiReadContext* multi)
{
    for (LONG i = 0; i < multi->ChildCount; i++) {
        ReadChild* child = &multi->Children[i];
        if (child->Irp)
            FreeOwnIrp(child->Irp);
        if (child->Buffer)
            FreePool(child->Buffer);
    }
    FreePool(multi->Children);
    FreePool(multi);
}

static NTSTATUS NTAPI ReadChildDone(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    ReadChild* child = (ReadChild*)context;
    MultiReadContext* multi = child->Context;
    PIRP caller = multi->Request.Irp;
    PDEVICE_OBJECT master = multi->Request.Device;
    CacheMap* map = MapOf(master);
    const IoExtent* extent = &child->Extent;
    bool fromMaster = extent->Target == master;
    // What this child holds of the map, released last.
    ULONGLONG heldSector = fromMaster ? 0 : extent->FirstSector;
    ULONG heldSectors = fromMaster ? 0 : extent->Sectors;
    // Read before the count goes up: once it has, the last child may free the context.
    LONG childCount = multi->ChildCount;
    NTSTATUS status = FreeOwnIrp(irp);
    if (!NT_SUCCESS(status)) {
        // The first failure wins; the caller's status is STATUS_PENDING until then.
        InterlockedCompareExchange((volatile LONG*)&caller->IoStatus.Status, status, STATUS_PENDING);
    } else {
        RtlCopyMemory((UCHAR*)multi->CallerBuffer + extent->ByteOffset, child->Buffer, extent->Bytes);
        if (fromMaster && PostFillWork(master, extent->FirstSector, extent->Sectors, child->Buffer))
            child->Buffer = NULL;
    }
    if (child->Buffer)
        FreePool(child->Buffer);
    if (InterlockedIncrement(&multi->Completed) == childCount) {
        NTSTATUS final = caller->IoStatus.Status;
        CompleteCaller(caller, final == STATUS_PENDING ? STATUS_SUCCESS : final, multi->Bytes);
        FreePool(multi->Children);
        FreePool(multi);
    }
    ReleaseSsdRange(map, heldSector, heldSectors);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// One child per extent, each into its own buffer; false when short (the
// children built so far stay counted for FreeReadChildren).
static bool BuildReadChildren(MultiReadContext* multi, const ReadPlan* plan)
{
    PDEVICE_OBJECT master = multi->Request.Device;
    CacheMap* map = MapOf(master);
    ULONG shift = FilterExtensionOf(master)->SectorShift;
    for (ULONG i = 0; i < plan->Count; i++) {
        const IoExtent* extent = &plan->Extents[i];
        ReadChild* child = &multi->Children[multi->ChildCount++];
        child->Context = multi;
        child->Extent = *extent;
        child->Irp = NULL;
        bool fromMaster = extent->Target == master;
        child->Buffer = fromMaster
                            ? AllocateFillBuffer(map, extent->FirstSector, extent->Sectors, extent->Bytes)
                            : AllocatePool(extent->Bytes);
        if (!child->Buffer)
            return false;
        child->Irp =
            BuildOwnReadIrp(extent->Target, extent->FirstSector << shift, extent->Bytes, child->Buffer);
        if (!child->Irp)
            return false;
        if (fromMaster)
            TakeCallerFlags(child->Irp, multi->Request.Irp, CallerReadFlags, CallerReadStackFlags);
    }
    return true;
}

static NTSTATUS MultipleRead(const DiskRequest* request, ReadPlan* plan)
{
    ULONG noDirty = plan->NoDirty;
    MultiReadContext* multi = (MultiReadContext*)AllocatePool(sizeof(MultiReadContext));
    ReadChild* children = (ReadChild*)AllocatePool((SIZE_T)plan->Count * sizeof(ReadChild));
    bool built = false;
    if (multi && children) {
        multi->ChildCount = 0;
        multi->Completed = 0;
        multi->Request = *request;
        multi->Bytes = request->SectorCount << FilterExtensionOf(request->Device)->SectorShift;
        multi->Children = children;
        built = GetCallerBuffer(request, &multi->CallerBuffer) && BuildReadChildren(multi, plan);
    }
    FreeReadPlan(plan);
    if (!built) {
        if (multi && children)
            FreeReadChildren(multi);
        else if (multi)
            FreePool(multi);
        else if (children)
            FreePool(children);
        return ReadWithoutResources(request, noDirty);
    }
    CacheMap* map = MapOf(request->Device);
    LONG count = multi->ChildCount;
    for (LONG i = 0; i < count; i++) {
        if (children[i].Extent.Target != request->Device)
            HoldSsdRange(map, children[i].Extent.FirstSector, children[i].Extent.Sectors);
        else
            HoldSsdRange(map, 0, 0);
    }
    request->Irp->IoStatus.Status = STATUS_PENDING;
    // The last completion frees the children: nothing of them is read after
    // the last one is sent.
    for (LONG i = 0; i < count; i++) {
        ReadChild* child = &children[i];
        SendOwnReadIrp(child->Extent.Target, child->Irp, child->Extent.Sectors, ReadChildDone, child);
    }
    return STATUS_PENDING;
}

NTSTATUS ExecuteRead(const DiskRequest* request, ReadPlan* plan)
{
    if (plan->Count == 0)
        return PassDownRead(request);
    if (plan->Count > 1)
        return MultipleRead(request, plan);
    IoExtent extent = plan->Extents[0];
    ULONG noDirty = plan->NoDirty;
    FreeReadPlan(plan);
    if (extent.Target == request->Device)
        return SingleMasterRead(request, noDirty);
    return SingleSsdRead(request, extent.Target, extent.FirstSector, noDirty);
}

NTSTATUS ReadCached(const DiskRequest* request)
{
    FilterExtension* ext = FilterExtensionOf(request->Device);
    ApplyPendingInvalidations(request->Device);
    if (!ext->Cache.Active)
        return PassDownRead(request);
    NTSTATUS status = CheckRequestRange(request);
    if (!NT_SUCCESS(status))
        return CompleteRequest(request->Irp, status);
    ReadPlan plan;
    status = PlanRead(request, &plan);
    if (!NT_SUCCESS(status)) {
        // Short of memory while planning: the master serves a read that
        // needs no dirty data from the SSD.
        const CacheMap* map = &ext->Cache.Map;
        return ReadWithoutResources(request,
                                    !RangeHoldsDirtyData(map, request->StartSector, request->SectorCount));
    }
    return ExecuteRead(request, &plan);
}

void WaitForOwnCacheIo(CacheMap* map)
{
    PAGED_CODE();
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER tick;
    tick.QuadPart = -10 * 10000;  // 10 ms
    while (OwnIoInFlight(map) != 0)
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &tick);
}
