// Own requests to the device below a filter device, pass-downs of callers'
// requests, and synchronous transfers sent as pieces that are all in flight
// together.
#include "tolvarn.h"
#include "pool.h"
#include "requests.h"

// Held in the frame of the thread waiting for a synchronous transfer. The
// waiter holds one count while it issues the pieces and each piece holds one
// until its completion; only the drop to zero signals Done, so no completion
// touches the counter after the waiter may have left.
struct TransferCounter {
    volatile LONG Outstanding;
    KEVENT Done;
    volatile LONG Status;  // STATUS_PENDING until a piece fails
};

// One piece of a synchronous transfer, freed by its completion.
struct SyncPiece {
    TransferCounter* Counter;
    PIRP Irp;
};

IO_COMPLETION_ROUTINE SyncPieceCompletion;

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(FilterExtensionOf(device)->LowerDevice, irp);
}

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void StartCallerRequest(PDEVICE_OBJECT device, PIRP irp, DiskRequest* request)
{
    irp->IoStatus.Status = STATUS_PENDING;
    irp->IoStatus.Information = 0;
    IoMarkIrpPending(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONGLONG offset = 0;
    ULONG length = 0;
    if (stack) {
        // Read and Write parameters share one layout.
        offset = static_cast<ULONGLONG>(stack->Parameters.Read.ByteOffset.QuadPart);
        length = stack->Parameters.Read.Length;
    }
    InitDiskRequest(device, offset, length, request);
    request->Irp = irp;
}

void InitDiskRequest(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, DiskRequest* request)
{
    ULONG shift = FilterExtensionOf(device)->SectorShift;
    request->Device = device;
    request->StartSector = byteOffset >> shift;
    request->SectorCount = bytes >> shift;
}

PMDL BuildMdlForBuffer(PVOID buffer, ULONG bytes)
{
    PMDL mdl = IoAllocateMdl(buffer, bytes, FALSE, FALSE, NULL);
    if (mdl)
        MmBuildMdlForNonPagedPool(mdl);
    return mdl;
}

// An own IRP of the device's stack over the MDL, which it takes over (freed
// with it, or here when the IRP cannot be had).
static PIRP BuildOwnIrpOverMdl(PDEVICE_OBJECT device, UCHAR major, ULONGLONG byteOffset, ULONG bytes,
                               PMDL mdl)
{
    PIRP irp = IoAllocateIrp((CCHAR)(FilterExtensionOf(device)->LowerDevice->StackSize + 1), FALSE);
    if (!irp) {
        IoFreeMdl(mdl);
        return NULL;
    }
    IoSetNextIrpStackLocation(irp);
    irp->MdlAddress = mdl;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    location->MajorFunction = major;
    location->MinorFunction = 0;
    location->DeviceObject = device;
    if (major == IRP_MJ_READ) {
        location->Parameters.Read.Length = bytes;
        location->Parameters.Read.ByteOffset.QuadPart = (LONGLONG)byteOffset;
    } else {
        location->Parameters.Write.Length = bytes;
        location->Parameters.Write.ByteOffset.QuadPart = (LONGLONG)byteOffset;
    }
    return irp;
}

static PIRP BuildOwnIrp(PDEVICE_OBJECT device, UCHAR major, ULONGLONG byteOffset, ULONG bytes, PVOID buffer)
{
    PMDL mdl = BuildMdlForBuffer(buffer, bytes);
    if (!mdl)
        return NULL;
    return BuildOwnIrpOverMdl(device, major, byteOffset, bytes, mdl);
}

PIRP BuildOwnReadIrp(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, PVOID buffer)
{
    return BuildOwnIrp(device, IRP_MJ_READ, byteOffset, bytes, buffer);
}

PIRP BuildOwnReadIrpIntoMdl(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, PMDL callerMdl)
{
    PVOID start = MmGetMdlVirtualAddress(callerMdl);
    if (bytes > callerMdl->ByteCount)
        return NULL;
    PMDL mdl = IoAllocateMdl(start, bytes, FALSE, FALSE, NULL);
    if (!mdl)
        return NULL;
    IoBuildPartialMdl(callerMdl, mdl, start, bytes);
    return BuildOwnIrpOverMdl(device, IRP_MJ_READ, byteOffset, bytes, mdl);
}

PIRP BuildOwnWriteIrp(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, PVOID buffer)
{
    return BuildOwnIrp(device, IRP_MJ_WRITE, byteOffset, bytes, buffer);
}

PIRP BuildOwnWriteIrpFromMdl(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, PMDL callerMdl,
                             ULONG callerOffset)
{
    if (callerOffset > callerMdl->ByteCount || bytes > callerMdl->ByteCount - callerOffset)
        return NULL;
    PVOID start = (UCHAR*)MmGetMdlVirtualAddress(callerMdl) + callerOffset;
    PMDL mdl = IoAllocateMdl(start, bytes, FALSE, FALSE, NULL);
    if (!mdl)
        return NULL;
    IoBuildPartialMdl(callerMdl, mdl, start, bytes);
    return BuildOwnIrpOverMdl(device, IRP_MJ_WRITE, byteOffset, bytes, mdl);
}

static void CountReadDown(PDEVICE_OBJECT device, ULONG sectors)
{
    DiskStats* stats = &FilterExtensionOf(device)->Stats;
    StatAdd32(&stats->ReadsDown, 1);
    StatAdd64(&stats->SectorsReadDown, sectors);
}

static void CountWriteDown(PDEVICE_OBJECT device, ULONG sectors)
{
    DiskStats* stats = &FilterExtensionOf(device)->Stats;
    StatAdd32(&stats->WritesDown, 1);
    StatAdd64(&stats->SectorsWrittenDown, sectors);
}

NTSTATUS PassDownWatched(PDEVICE_OBJECT device, PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context)
{
    return SendDownInOrder(device, irp, false, routine, context);
}

// A caller's read or write passed down whole goes with a routine of its own,
// so that it is known to be in flight until the disk answers (inflight.h).
static NTSTATUS NTAPI PassedDownDone(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS PassDownWriteWatched(const DiskRequest* request, PIO_COMPLETION_ROUTINE routine, PVOID context)
{
    CountWriteDown(request->Device, request->SectorCount);
    return PassDownWatched(request->Device, request->Irp, routine, context);
}

NTSTATUS SendOwnReadIrp(PDEVICE_OBJECT device, PIRP irp, ULONG sectors, PIO_COMPLETION_ROUTINE routine,
                        PVOID context)
{
    if (sectors != 0)
        CountReadDown(device, sectors);
    return SendDownInOrder(device, irp, true, routine, context);
}

NTSTATUS SendOwnWriteIrp(PDEVICE_OBJECT device, PIRP irp, ULONG sectors, PIO_COMPLETION_ROUTINE routine,
                         PVOID context)
{
    if (sectors != 0)
        CountWriteDown(device, sectors);
    return SendDownInOrder(device, irp, true, routine, context);
}

NTSTATUS FreeOwnIrp(PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    if (irp->MdlAddress) {
        // A partial MDL may have been mapped by a driver below.
        if (irp->MdlAddress->MdlFlags & MDL_PARTIAL)
            MmPrepareMdlForReuse(irp->MdlAddress);
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = NULL;
    }
    IoFreeIrp(irp);
    return status;
}

bool GetCallerBuffer(const DiskRequest* request, PVOID* address)
{
    *address = NULL;
    PMDL mdl = request->Irp ? request->Irp->MdlAddress : NULL;
    if (!mdl)
        return false;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        *address = mdl->MappedSystemVa;
    else
        *address = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, NULL, FALSE, HighPagePriority);
    return *address != NULL;
}

NTSTATUS PassDownRead(const DiskRequest* request)
{
    CountReadDown(request->Device, request->SectorCount);
    return PassDownWatched(request->Device, request->Irp, PassedDownDone, NULL);
}

NTSTATUS PassDownWrite(const DiskRequest* request)
{
    CountWriteDown(request->Device, request->SectorCount);
    return PassDownWatched(request->Device, request->Irp, PassedDownDone, NULL);
}

static void DropTransferCount(TransferCounter* counter)
{
    if (InterlockedDecrement(&counter->Outstanding) == 0)
        KeSetEvent(&counter->Done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS NTAPI SyncPieceCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    SyncPiece* piece = (SyncPiece*)context;
    TransferCounter* counter = piece->Counter;
    NTSTATUS status = FreeOwnIrp(irp);
    FreePool(piece);
    // Only the first failing piece's status lands.
    if (status != STATUS_SUCCESS)
        InterlockedCompareExchange(&counter->Status, status, STATUS_PENDING);
    DropTransferCount(counter);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one piece holding one count of the transfer; a piece that cannot be
// built gives its count back at once with STATUS_INSUFFICIENT_RESOURCES.
static void IssueSyncPiece(PDEVICE_OBJECT device, bool write, UCHAR stackFlags, ULONGLONG sector,
                           ULONG sectors, UCHAR* buffer, TransferCounter* counter)
{
    ULONG shift = FilterExtensionOf(device)->SectorShift;
    InterlockedIncrement(&counter->Outstanding);
    SyncPiece* piece = (SyncPiece*)AllocatePool(sizeof(SyncPiece));
    PIRP irp = NULL;
    if (piece) {
        ULONGLONG byteOffset = sector << shift;
        ULONG bytes = sectors << shift;
        irp = write ? BuildOwnWriteIrp(device, byteOffset, bytes, buffer)
                    : BuildOwnReadIrp(device, byteOffset, bytes, buffer);
    }
    if (!irp) {
        if (piece)
            FreePool(piece);
        InterlockedExchange(&counter->Status, STATUS_INSUFFICIENT_RESOURCES);
        DropTransferCount(counter);
        return;
    }
    piece->Counter = counter;
    piece->Irp = irp;
    IoGetCurrentIrpStackLocation(irp)->Flags = stackFlags;
    // The pieces of a synchronous transfer are not counted in the statistics.
    if (write)
        SendOwnWriteIrp(device, irp, 0, SyncPieceCompletion, piece);
    else
        SendOwnReadIrp(device, irp, 0, SyncPieceCompletion, piece);
}

static NTSTATUS TransferSectorsSync(const DiskRequest* request, PVOID buffer, bool write, UCHAR stackFlags)
{
    PAGED_CODE();
    const FilterExtension* ext = FilterExtensionOf(request->Device);
    ULONG shift = ext->SectorShift;
    if (request->SectorCount == 0)
        return STATUS_SUCCESS;

    // Sectors per piece: MaxTransfer's worth, or everything in one piece while
    // the geometry is unknown.
    ULONG perPiece = ext->MaxTransfer >> shift;
    if (perPiece == 0)
        perPiece = request->SectorCount;
    ULONG firstPiece = request->SectorCount < perPiece ? request->SectorCount : perPiece;
    if (((ULONGLONG)firstPiece << shift) > 0xFFFFFFFFull)
        return STATUS_INVALID_PARAMETER;

    TransferCounter counter;
    counter.Outstanding = 1;
    counter.Status = STATUS_PENDING;
    KeInitializeEvent(&counter.Done, NotificationEvent, FALSE);

    UCHAR* at = (UCHAR*)buffer;
    ULONGLONG sector = request->StartSector;
    ULONG remaining = request->SectorCount;
    while (remaining != 0) {
        ULONG sectors = remaining < perPiece ? remaining : perPiece;
        IssueSyncPiece(request->Device, write, stackFlags, sector, sectors, at, &counter);
        remaining -= sectors;
        sector += sectors;
        at += (SIZE_T)sectors << shift;
    }

    if (InterlockedDecrement(&counter.Outstanding) != 0)
        KeWaitForSingleObject(&counter.Done, Executive, KernelMode, FALSE, NULL);
    return counter.Status == STATUS_PENDING ? STATUS_SUCCESS : (NTSTATUS)counter.Status;
}

NTSTATUS ReadSectorsSync(const DiskRequest* request, PVOID buffer)
{
    return TransferSectorsSync(request, buffer, false, 0);
}

NTSTATUS WriteSectorsSync(const DiskRequest* request, PVOID buffer)
{
    return TransferSectorsSync(request, buffer, true, 0);
}

NTSTATUS WriteSectorsSyncThrough(const DiskRequest* request, PVOID buffer)
{
    return TransferSectorsSync(request, buffer, true, SL_WRITE_THROUGH);
}

void TakeCallerFlags(PIRP own, PIRP caller, ULONG irpFlags, UCHAR stackFlags)
{
    own->Flags |= caller->Flags & irpFlags;
    IoGetCurrentIrpStackLocation(own)->Flags |= IoGetCurrentIrpStackLocation(caller)->Flags & stackFlags;
}

NTSTATUS ReadSectorsSyncCounted(const DiskRequest* request, PVOID buffer)
{
    if (request->SectorCount != 0)
        CountReadDown(request->Device, request->SectorCount);
    return ReadSectorsSync(request, buffer);
}
