// A test driver that breaks one kernel rule per control request.
#include "broken.h"

namespace {

const ULONG kTag = 0x6b6f7242;  // "Brok"

PDEVICE_OBJECT ControlDevice;
UNICODE_STRING ControlName;
UNICODE_STRING ControlLink;
UNICODE_STRING RegistryPath;
PIRP KeptIrp;
KEVENT NeverSignalled;

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

KSTART_ROUTINE CompleterThread;
VOID NTAPI CompleterThread(PVOID context)
{
    Complete((PIRP)context, STATUS_SUCCESS);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

KSTART_ROUTINE EndlessThread;
VOID NTAPI EndlessThread(PVOID context)
{
    KeWaitForSingleObject(&NeverSignalled, Executive, KernelMode, FALSE, NULL);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void OpenKeyAtDispatch()
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &RegistryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    HANDLE key;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    KeLowerIrql(old);
    if (NT_SUCCESS(status))
        ZwClose(key);
}

NTSTATUS Break(ULONG request, PIRP irp)
{
    switch (request) {
    case BreakCompleteTwice:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case BreakCompletePending: return Complete(irp, STATUS_PENDING);
    case BreakPendingUnmarked: {
        HANDLE thread;
        if (!NT_SUCCESS(
                PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, CompleterThread, irp)))
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        ZwClose(thread);
        return STATUS_PENDING;
    }
    case BreakMarkedNotPending: IoMarkIrpPending(irp); return Complete(irp, STATUS_SUCCESS);
    case BreakNeverComplete:
        IoMarkIrpPending(irp);
        KeptIrp = irp;
        return STATUS_PENDING;
    case BreakWaitAtDispatch: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        KeLowerIrql(old);
        return Complete(irp, STATUS_SUCCESS);
    }
    case BreakZwAtDispatch: OpenKeyAtDispatch(); return Complete(irp, STATUS_SUCCESS);
    case BreakWrongTag: {
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
        ExFreePoolWithTag(block, kTag + 1);
        ExFreePoolWithTag(block, kTag);
        return Complete(irp, STATUS_SUCCESS);
    }
    case BreakStackOverrun: {
        PIRP own = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(own);  // takes the only location
        IoCallDriver(ControlDevice, own);
        IoFreeIrp(own);
        return Complete(irp, STATUS_SUCCESS);
    }
    case BreakLeakPool: ExAllocatePoolWithTag(NonPagedPool, 100, kTag); return Complete(irp, STATUS_SUCCESS);
    case BreakLeakThread: {
        HANDLE thread;
        NTSTATUS status =
            PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, EndlessThread, NULL);
        if (NT_SUCCESS(status))
            ZwClose(thread);
        return Complete(irp, status);
    }
    case BreakLeakReference: ObReferenceObject(ControlDevice); return Complete(irp, STATUS_SUCCESS);
    case BreakLeakHandle: {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &RegistryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                                   NULL);
        HANDLE key;
        return Complete(irp, ZwOpenKey(&key, KEY_READ, &attributes));
    }
    case BreakLeakLink: {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, WSTR("\\DosDevices\\BrokenLeak"));
        return Complete(irp, IoCreateSymbolicLink(&link, &ControlName));
    }
    case BreakLeakDevice: {
        PDEVICE_OBJECT device;
        return Complete(irp, IoCreateDevice(ControlDevice->DriverObject, 0, NULL, FILE_DEVICE_UNKNOWN, 0,
                                            FALSE, &device));
    }
    case BreakLeakIrp: IoAllocateIrp(1, FALSE); return Complete(irp, STATUS_SUCCESS);
    default: return Complete(irp, STATUS_SUCCESS);
    }
}

DRIVER_DISPATCH DispatchControl;
NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    return Break((code - BROKEN_IOCTL(0)) >> 2, irp);
}

DRIVER_DISPATCH DispatchOther;
NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp)
{
    // The IRP a stack overrun tried to send arrives here only if the check failed.
    return Complete(irp, STATUS_SUCCESS);
}

DRIVER_UNLOAD Unload;
VOID NTAPI Unload(PDRIVER_OBJECT driver)
{
    IoDeleteSymbolicLink(&ControlLink);
    IoDeleteDevice(ControlDevice);
}

}  // namespace

extern "C" NTSTATUS NTAPI BrokenDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    KeptIrp = NULL;
    RegistryPath = *registryPath;
    KeInitializeEvent(&NeverSignalled, NotificationEvent, FALSE);
    RtlInitUnicodeString(&ControlName, WSTR("\\Device\\Broken"));
    RtlInitUnicodeString(&ControlLink, WSTR("\\DosDevices\\Broken"));
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        driver->MajorFunction[i] = DispatchOther;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = Unload;
    NTSTATUS status = IoCreateDevice(driver, 0, &ControlName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &ControlDevice);
    if (!NT_SUCCESS(status))
        return status;
    ControlDevice->Flags |= DO_BUFFERED_IO;
    ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    status = IoCreateSymbolicLink(&ControlLink, &ControlName);
    if (!NT_SUCCESS(status))
        IoDeleteDevice(ControlDevice);
    return status;
}
