// The control device: its creation with its link, its deletion, its create
// and close, and its device-control requests.
#include "tolvarn.h"
#include "control.h"
#include "countedstring.h"
#include "requests.h"

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

static const ULONG DriverVersion = 204;
static const ULONG RecordVersion = 203;

const ULONG IoctlCacheGetVersion = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

#pragma pack(push, 1)
struct VersionRecord {
    ULONG Size;
    ULONG DriverVersion;
    ULONG RecordVersion;
    ULONG OpenNumber;
};
#pragma pack(pop)
static_assert(sizeof(VersionRecord) == 16, "version record layout");

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

static NTSTATUS GetVersion(PIRP irp, PIO_STACK_LOCATION stack)
{
    if (stack->Parameters.DeviceIoControl.OutputBufferLength != sizeof(VersionRecord))
        return STATUS_INVALID_BUFFER_SIZE;
    VersionRecord* record = static_cast<VersionRecord*>(irp->AssociatedIrp.SystemBuffer);
    if (!record)
        return STATUS_INVALID_PARAMETER;
    record->Size = sizeof(VersionRecord);
    record->DriverVersion = DriverVersion;
    record->RecordVersion = RecordVersion;
    record->OpenNumber = OpenNumberOf(stack);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = sizeof(VersionRecord);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// A handler that succeeds completes the request itself; a failure is completed
// here with no information.
NTSTATUS DispatchControlIoctl(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IoctlCacheGetVersion: status = GetVersion(irp, stack); break;
    default: status = STATUS_NOT_IMPLEMENTED; break;
    }
    if (!NT_SUCCESS(status))
        CompleteRequest(irp, status);
    return status;
}
