// The control device's create and close, and its device-control requests.
#include "tolvarn.h"

static const ULONG DriverVersion = 204;
static const ULONG RecordVersion = 203;

#define IOCTL_CACHE_GET_VERSION CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)

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
    VersionRecord *record = static_cast<VersionRecord *>(irp->AssociatedIrp.SystemBuffer);
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
    case IOCTL_CACHE_GET_VERSION:
        status = GetVersion(irp, stack);
        break;
    default:
        status = STATUS_NOT_IMPLEMENTED;
        break;
    }
    if (!NT_SUCCESS(status))
        CompleteRequest(irp, status);
    return status;
}
