// A tiny pass-through disk filter: one filter device per disk, a control
// device with an echo request, three ways of passing requests down.
#include "filter.h"

extern "C" FilterGlobals FilterState;
FilterGlobals FilterState;

namespace {

const ULONG kTag = FILTER_POOL_TAG;

struct FilterExtension {
    PDEVICE_OBJECT Lower;
    BOOLEAN IsControl;
};

PDEVICE_OBJECT ControlDevice;
PVOID DriverBlock;  // one pool block held while loaded
UNICODE_STRING ControlName;
UNICODE_STRING ControlLink;

// The worker: a queue of requests passed down on its own thread.
LIST_ENTRY Queue;
KSPIN_LOCK QueueLock;
KEVENT WorkEvent;
KEVENT ExitEvent;
volatile LONG StopWorker;
PVOID WorkerThread;

FilterExtension* ExtensionOf(PDEVICE_OBJECT device)
{
    return (FilterExtension*)device->DeviceExtension;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ExtensionOf(device)->Lower, irp);
}

IO_COMPLETION_ROUTINE PropagateCompletion;
NTSTATUS NTAPI PropagateCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    InterlockedIncrement(&FilterState.Completions);
    if (irp->PendingReturned) {
        InterlockedIncrement(&FilterState.PendingSeen);
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

IO_COMPLETION_ROUTINE ForgetfulCompletion;
NTSTATUS NTAPI ForgetfulCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    InterlockedIncrement(&FilterState.Completions);
    return STATUS_SUCCESS;
}

IO_COMPLETION_ROUTINE SignalCompletion;
NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    InterlockedIncrement(&FilterState.Completions);
    if (irp->PendingReturned)
        InterlockedIncrement(&FilterState.PendingSeen);
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT device, PIRP irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ExtensionOf(device)->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

KSTART_ROUTINE WorkerMain;
VOID NTAPI WorkerMain(PVOID context)
{
    LARGE_INTEGER tick;
    tick.QuadPart = -1000000;  // 100 ms
    while (!StopWorker) {
        InterlockedIncrement(&FilterState.WorkerPasses);
        PLIST_ENTRY entry;
        while ((entry = ExInterlockedRemoveHeadList(&Queue, &QueueLock)) != NULL) {
            PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            PassDown(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
        }
        KeWaitForSingleObject(&WorkEvent, Executive, KernelMode, FALSE, &tick);
    }
    KeSetEvent(&ExitEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS StartWorker()
{
    InitializeListHead(&Queue);
    KeInitializeSpinLock(&QueueLock);
    KeInitializeEvent(&WorkEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&ExitEvent, NotificationEvent, FALSE);
    StopWorker = 0;
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, WorkerMain, NULL);
    if (!NT_SUCCESS(status))
        return status;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &WorkerThread, NULL);
    ZwClose(handle);
    return status;
}

void StopWorkerThread()
{
    InterlockedExchange(&StopWorker, 1);
    KeSetEvent(&WorkEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(WorkerThread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(WorkerThread);
    WorkerThread = NULL;
}

// Marks the request pending and hands it to the worker.
NTSTATUS QueueForWorker(PIRP irp)
{
    IoMarkIrpPending(irp);
    ExInterlockedInsertTailList(&Queue, &irp->Tail.Overlay.ListEntry, &QueueLock);
    KeSetEvent(&WorkEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

DRIVER_DISPATCH DispatchTransfer;
NTSTATUS NTAPI DispatchTransfer(PDEVICE_OBJECT device, PIRP irp)
{
    if (ExtensionOf(device)->IsControl)
        return Complete(irp, STATUS_NOT_IMPLEMENTED, 0);
    switch (FilterState.Mode) {
    case FilterPropagate:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, PropagateCompletion, NULL, TRUE, TRUE, TRUE);
        return IoCallDriver(ExtensionOf(device)->Lower, irp);
    case FilterForward: return ForwardAndWait(device, irp);
    case FilterQueue: return QueueForWorker(irp);
    case FilterQueueLateReturn: {
        NTSTATUS status = QueueForWorker(irp);
        KeWaitForSingleObject(FilterState.ReturnGate, Executive, KernelMode, FALSE, NULL);
        return status;
    }
    case FilterForgetPending:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, ForgetfulCompletion, NULL, TRUE, TRUE, TRUE);
        return IoCallDriver(ExtensionOf(device)->Lower, irp);
    default: return PassDown(device, irp);
    }
}

DRIVER_DISPATCH DispatchControl;
NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    if (!ExtensionOf(device)->IsControl)
        return PassDown(device, irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_FILTER_ECHO)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (out < in)
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    return Complete(irp, STATUS_SUCCESS, in);
}

DRIVER_DISPATCH DispatchCreateClose;
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp)
{
    if (!ExtensionOf(device)->IsControl)
        return PassDown(device, irp);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE)
        InterlockedIncrement(&FilterState.Opens);
    return Complete(irp, STATUS_SUCCESS, FILE_OPENED);
}

DRIVER_DISPATCH DispatchPnp;
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    if (ExtensionOf(device)->IsControl)
        return Complete(irp, STATUS_NOT_IMPLEMENTED, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_START_DEVICE)
        return ForwardAndWait(device, irp);
    if (stack->MinorFunction != IRP_MN_REMOVE_DEVICE)
        return PassDown(device, irp);
    PDEVICE_OBJECT lower = ExtensionOf(device)->Lower;
    NTSTATUS status = PassDown(device, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

DRIVER_DISPATCH DispatchPower;
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    if (ExtensionOf(device)->IsControl)
        return Complete(irp, STATUS_NOT_IMPLEMENTED, 0);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ExtensionOf(device)->Lower, irp);
}

DRIVER_DISPATCH DispatchOther;
NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp)
{
    if (ExtensionOf(device)->IsControl)
        return Complete(irp, STATUS_SUCCESS, 0);
    return PassDown(device, irp);
}

DRIVER_ADD_DEVICE AddDevice;
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), NULL, pdo->DeviceType,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    FilterExtension* ext = ExtensionOf(device);
    ext->IsControl = FALSE;
    ext->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->Lower == NULL) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= ext->Lower->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

DRIVER_UNLOAD Unload;
VOID NTAPI Unload(PDRIVER_OBJECT driver)
{
    StopWorkerThread();
    IoDeleteSymbolicLink(&ControlLink);
    IoDeleteDevice(ControlDevice);
    ControlDevice = NULL;
    ExFreePoolWithTag(DriverBlock, kTag);
    DriverBlock = NULL;
}

}  // namespace

extern "C" NTSTATUS NTAPI FilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    RtlZeroMemory(&FilterState, sizeof FilterState);
    ControlDevice = NULL;
    RtlInitUnicodeString(&ControlName, WSTR("\\Device\\EmuFilter"));
    RtlInitUnicodeString(&ControlLink, WSTR("\\DosDevices\\EmuFilter"));
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        driver->MajorFunction[i] = DispatchOther;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchTransfer;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchTransfer;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverUnload = Unload;
    driver->DriverExtension->AddDevice = AddDevice;
    WorkerThread = NULL;
    DriverBlock = ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
    if (DriverBlock == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), &ControlName, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &ControlDevice);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(DriverBlock, kTag);
        return status;
    }
    ExtensionOf(ControlDevice)->IsControl = TRUE;
    ExtensionOf(ControlDevice)->Lower = NULL;
    ControlDevice->Flags |= DO_BUFFERED_IO;
    ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    status = IoCreateSymbolicLink(&ControlLink, &ControlName);
    if (NT_SUCCESS(status)) {
        status = StartWorker();
        if (!NT_SUCCESS(status))
            IoDeleteSymbolicLink(&ControlLink);
    }
    if (!NT_SUCCESS(status)) {
        if (WorkerThread != NULL)
            StopWorkerThread();
        IoDeleteDevice(ControlDevice);
        ControlDevice = NULL;
        ExFreePoolWithTag(DriverBlock, kTag);
    }
    return status;
}
