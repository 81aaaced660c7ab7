// Placeholder user-proxy driver: a control device "\Device\SABLINEX" with the link
// "\DosDevices\SABLINEX" that opens and closes, and unloads cleanly (built with SABLINEX_PINNED
// it has no unload routine, for the tests of a driver that refuses to stop).
#include <ntddk.h>

static const WCHAR DeviceNameText[] = L"\\Device\\SABLINEX";
static const WCHAR LinkNameText[] = L"\\DosDevices\\SABLINEX";

extern "C" {
DRIVER_INITIALIZE DriverEntry;
}
static DRIVER_UNLOAD UnloadDriver;
static DRIVER_DISPATCH DispatchCreateClose;

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

static VOID NTAPI UnloadDriver(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, LinkNameText);
    IoDeleteSymbolicLink(&link);
    if (driver->DeviceObject)
        IoDeleteDevice(driver->DeviceObject);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name;
    UNICODE_STRING link;
    PDEVICE_OBJECT device = NULL;
    RtlInitUnicodeString(&name, DeviceNameText);
    RtlInitUnicodeString(&link, LinkNameText);

    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
#ifndef SABLINEX_PINNED
    driver->DriverUnload = UnloadDriver;
#else
    (void)UnloadDriver;  // a build that cannot be unloaded, for the tests of a refused stop
#endif
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
