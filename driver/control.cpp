// The control device: its creation with its link, its deletion, its create
// and close, and its device-control requests.
#include "tolvarn.h"
#include "control.h"
#include "controlrecords.h"
#include "controlrequests.h"
#include "countedstring.h"
#include "requests.h"

// Serialises the requests after the version query, so that two clients
// cannot interleave a start, a stop or a pairing, and a disk's removal with
// the request using it. An auto-reset event held at PASSIVE_LEVEL: the
// handlers write the registry, which a fast mutex's raised IRQL would forbid.
static KEVENT ControlLock;

static void InitControlLock()
{
    KeInitializeEvent(&ControlLock, SynchronizationEvent, TRUE);
}

void AcquireControlLock()
{
    KeWaitForSingleObject(&ControlLock, Executive, KernelMode, FALSE, NULL);
}

void ReleaseControlLock()
{
    KeSetEvent(&ControlLock, IO_NO_INCREMENT, FALSE);
}

// ---- Creation and deletion ---------------------------------------------------------

static ControlExtension* ControlExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<ControlExtension*>(device->DeviceExtension);
}

static void InitControlExtension(ControlExtension* ext)
{
    RtlZeroMemory(ext, sizeof(*ext));
    ext->Size = sizeof(*ext);
    InitCountedString(&ext->DeviceName);
    InitCountedString(&ext->LinkName);
}

// The link name is kept only once the link exists, so a failed link is never
// deleted later (it may be someone else's).
static NTSTATUS CreateControlLink(ControlExtension* ext)
{
    UNICODE_STRING link;
    NTSTATUS status = ConcatToCountedString(&link, WSTR("\\DosDevices\\"), ServiceName);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link, &ext->DeviceName);
    if (!NT_SUCCESS(status)) {
        FreeCountedString(&link);
        return status;
    }
    ext->LinkName = link;
    return STATUS_SUCCESS;
}

static NTSTATUS EnsureControlLink(ControlExtension* ext)
{
    if (ext->LinkName.Buffer)
        return STATUS_SUCCESS;
    return CreateControlLink(ext);
}

static void DeleteControlLink(ControlExtension* ext)
{
    if (!ext->LinkName.Buffer)
        return;
    IoDeleteSymbolicLink(&ext->LinkName);
    FreeCountedString(&ext->LinkName);
}

void UnlinkControlDevice()
{
    if (ControlDevice)
        DeleteControlLink(ControlExtensionOf(ControlDevice));
}

// Deletes the control device with its link and both name buffers.
void DeleteControlDevice()
{
    if (!ControlDevice)
        return;
    ControlExtension* ext = ControlExtensionOf(ControlDevice);
    DeleteControlLink(ext);
    FreeCountedString(&ext->DeviceName);
    IoDeleteDevice(ControlDevice);
    ControlDevice = NULL;
}

NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver)
{
    if (!ServiceName)
        return STATUS_UNSUCCESSFUL;
    InitControlLock();
    UNICODE_STRING name;
    NTSTATUS status = ConcatToCountedString(&name, WSTR("\\Device\\"), ServiceName);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateDevice(driver, sizeof(ControlExtension), &name, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &ControlDevice);
    if (!NT_SUCCESS(status)) {
        ControlDevice = NULL;
        FreeCountedString(&name);
        return status;
    }
    ControlExtension* ext = ControlExtensionOf(ControlDevice);
    InitControlExtension(ext);
    status = CopyCountedString(&ext->DeviceName, &name);
    FreeCountedString(&name);
    if (NT_SUCCESS(status)) {
        ControlDevice->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
        ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
        status = EnsureControlLink(ext);
    }
    if (!NT_SUCCESS(status))
        DeleteControlDevice();
    return status;
}

// ---- Requests -------------------------------------------------------------------------

static ULONG OpenNumberOf(PIO_STACK_LOCATION stack)
{
    if (!stack->FileObject)
        return 0;
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(stack->FileObject->FsContext));
}

// Every open gets the next open number, kept in its file object for the
// handle's lifetime.
NTSTATUS ControlCreate(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (!stack->FileObject)
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    OpenSequence = OpenSequence + 1;
    OpenCount = OpenCount + 1;
    stack->FileObject->FsContext = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(OpenSequence));
    stack->FileObject->FsContext2 = NULL;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = FILE_OPENED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS ControlClose(PIRP irp)
{
    OpenCount = OpenCount - 1;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = FILE_OPENED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

static NTSTATUS CompleteWithData(PIRP irp, ULONG_PTR information)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Output only; the input is not read.
static NTSTATUS GetVersion(PIRP irp, PIO_STACK_LOCATION stack)
{
    if (stack->Parameters.DeviceIoControl.OutputBufferLength != sizeof(VersionRecord))
        return STATUS_INVALID_BUFFER_SIZE;
    if (!irp->AssociatedIrp.SystemBuffer)
        return STATUS_INVALID_PARAMETER;
    VersionRecord record;
    record.Size = sizeof(VersionRecord);
    record.DriverVersion = ControlDriverVersion;
    record.RecordVersion = ControlRecordVersion;
    record.OpenNumber = OpenNumberOf(stack);
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &record, sizeof(record));
    return CompleteWithData(irp, sizeof(record));
}

static NTSTATUS CheckLengths(const ControlRequest* request, PIO_STACK_LOCATION stack)
{
    if (stack->Parameters.DeviceIoControl.InputBufferLength != request->Size)
        return STATUS_INVALID_BUFFER_SIZE;
    if (request->ReturnsData && stack->Parameters.DeviceIoControl.OutputBufferLength != request->Size)
        return STATUS_INVALID_BUFFER_SIZE;
    return STATUS_SUCCESS;
}

static bool HeaderMatches(const ControlRequest* request, const UCHAR* record)
{
    ControlHeader header;
    RtlCopyMemory(&header, record, sizeof(header));
    return header.Size == request->Size && header.Version == ControlRecordVersion;
}

// Checks the record's lengths and header, runs the handler on a local copy
// under the control lock, and returns the copy when the request answers with
// data.
static NTSTATUS RunControlRequest(const ControlRequest* request, PIRP irp, PIO_STACK_LOCATION stack)
{
    NTSTATUS status = CheckLengths(request, stack);
    if (!NT_SUCCESS(status))
        return status;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    if (!buffer)
        return STATUS_INVALID_PARAMETER;
    UCHAR record[MaxControlRecordSize];
    RtlCopyMemory(record, buffer, request->Size);
    if (!HeaderMatches(request, record))
        return STATUS_INVALID_PARAMETER;
    AcquireControlLock();
    status = request->Handle(record);
    ReleaseControlLock();
    if (!NT_SUCCESS(status))
        return status;
    if (!request->ReturnsData)
        return CompleteWithData(irp, 0);
    RtlCopyMemory(buffer, record, request->Size);
    return CompleteWithData(irp, request->Size);
}

// A handler that succeeds completes the request itself; a failure is completed
// here with no information.
NTSTATUS DispatchControlIoctl(PIRP irp)
{
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status;
    if (code == IoctlCacheGetVersion) {
        status = GetVersion(irp, stack);
    } else {
        const ControlRequest* request = FindControlRequest(code);
        status = request ? RunControlRequest(request, irp, stack) : STATUS_NOT_IMPLEMENTED;
    }
    if (!NT_SUCCESS(status))
        CompleteRequest(irp, status);
    return status;
}
