// Loading and unloading, the control device, and the routing of every request
// that reaches one of the driver's devices.
#include "tolvarn.h"

PDRIVER_OBJECT DriverObject;
PDEVICE_OBJECT ControlDevice;
volatile UCHAR DriverPhase;
volatile ULONG HibernateFlag;
volatile ULONGLONG PoolBytes;
UNICODE_STRING RegistryPath;
WCHAR *ServiceName;
volatile ULONG OpenSequence;
volatile ULONG OpenCount;

void PoolBytesAdd(LONGLONG delta)
{
    PoolBytes += static_cast<ULONGLONG>(delta);
}

// ---- Counted strings ----------------------------------------------------------

// A counted string's byte sizes are 16-bit: this many characters plus a NUL fit.
static const ULONG MaxCountedChars = 0x7FFE;

void InitCountedString(UNICODE_STRING *string)
{
    string->Length = 0;
    string->MaximumLength = 0;
    string->Buffer = NULL;
}

void FreeCountedString(UNICODE_STRING *string)
{
    if (!string || !string->Buffer)
        return;
    FreePool(string->Buffer);
    string->Buffer = NULL;
    string->Length = 0;
    string->MaximumLength = 0;
}

ULONG CountedStringChars(const UNICODE_STRING *string)
{
    if (!string || !string->Buffer)
        return 0;
    USHORT bytes = string->Length < string->MaximumLength ? string->Length : string->MaximumLength;
    ULONG units = bytes / sizeof(WCHAR);
    ULONG n = 0;
    while (n < units && string->Buffer[n] != 0)
        n++;
    return n;
}

static ULONG TextChars(const WCHAR *text)
{
    ULONG n = 0;
    while (text[n] != 0)
        n++;
    return n;
}

// The copy holds the characters before the source's first NUL and is
// NUL-terminated; its Length never counts a NUL.
NTSTATUS CopyCountedString(UNICODE_STRING *dest, const UNICODE_STRING *source)
{
    ULONG n = CountedStringChars(source);
    if (!dest || n == 0)
        return STATUS_UNSUCCESSFUL;
    if (n > MaxCountedChars)
        return STATUS_INVALID_PARAMETER;
    USHORT size = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
    WCHAR *buffer = static_cast<WCHAR *>(AllocatePool(size));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, size);
    RtlCopyMemory(buffer, source->Buffer, n * sizeof(WCHAR));
    dest->Buffer = buffer;
    dest->MaximumLength = size;
    dest->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS ConcatToCountedString(UNICODE_STRING *dest, const WCHAR *first, const WCHAR *second)
{
    ULONG firstChars = TextChars(first);
    ULONG secondChars = TextChars(second);
    if (firstChars + secondChars > MaxCountedChars)
        return STATUS_INVALID_PARAMETER;
    USHORT size = static_cast<USHORT>((firstChars + secondChars + 1) * sizeof(WCHAR));
    WCHAR *buffer = static_cast<WCHAR *>(AllocatePool(size));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, first, firstChars * sizeof(WCHAR));
    RtlCopyMemory(buffer + firstChars, second, secondChars * sizeof(WCHAR));
    buffer[firstChars + secondChars] = 0;
    dest->Buffer = buffer;
    dest->MaximumLength = size;
    dest->Length = static_cast<USHORT>(size - sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// ---- Loading ------------------------------------------------------------------

static NTSTATUS QueryWdmLevel()
{
    static const UCHAR levels[][2] = {
        {6, 0x00}, {1, 0x30}, {1, 0x20}, {1, 0x10}, {1, 0x05}, {1, 0x00},
    };
    for (ULONG i = 0; i < sizeof(levels) / sizeof(levels[0]); i++) {
        if (IoIsWdmVersionAvailable(levels[i][0], levels[i][1]))
            return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

static const WCHAR Backslash = 0x5C;

static NTSTATUS SaveRegistryPath(const UNICODE_STRING *path)
{
    NTSTATUS status = CopyCountedString(&RegistryPath, path);
    if (!NT_SUCCESS(status))
        return status;
    ULONG n = RegistryPath.Length / sizeof(WCHAR);
    ServiceName = NULL;
    for (ULONG i = 0; i < n; i++) {
        if (RegistryPath.Buffer[i] == Backslash)
            ServiceName = RegistryPath.Buffer + i + 1;
    }
    // A path ending in a backslash names no service.
    if (ServiceName && *ServiceName == 0)
        ServiceName = NULL;
    return STATUS_SUCCESS;
}

static void FreeRegistryPath()
{
    FreeCountedString(&RegistryPath);
    ServiceName = NULL;
}

static void SetDispatchRoutines(PDRIVER_OBJECT driver)
{
    DriverObject = driver;
    driver->DriverUnload = UnloadDriver;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        driver->MajorFunction[i] = DispatchDefault;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->DriverExtension->AddDevice = AddDevice;
}

// ---- Control device -------------------------------------------------------------

static ControlExtension *ControlExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<ControlExtension *>(device->DeviceExtension);
}

static void InitControlExtension(ControlExtension *ext)
{
    RtlZeroMemory(ext, sizeof(*ext));
    ext->Size = sizeof(*ext);
    InitCountedString(&ext->DeviceName);
    InitCountedString(&ext->LinkName);
}

// The link name is kept only once the link exists, so a failed link is never
// deleted later (it may be someone else's).
static NTSTATUS CreateControlLink(ControlExtension *ext)
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

static NTSTATUS EnsureControlLink(ControlExtension *ext)
{
    if (ext->LinkName.Buffer)
        return STATUS_SUCCESS;
    return CreateControlLink(ext);
}

static void DeleteControlLink(ControlExtension *ext)
{
    if (!ext->LinkName.Buffer)
        return;
    IoDeleteSymbolicLink(&ext->LinkName);
    FreeCountedString(&ext->LinkName);
}

static void UnlinkControlDevice()
{
    if (ControlDevice)
        DeleteControlLink(ControlExtensionOf(ControlDevice));
}

// Deletes the control device with its link and both name buffers.
static void DeleteControlDevice()
{
    if (!ControlDevice)
        return;
    ControlExtension *ext = ControlExtensionOf(ControlDevice);
    DeleteControlLink(ext);
    FreeCountedString(&ext->DeviceName);
    IoDeleteDevice(ControlDevice);
    ControlDevice = NULL;
}

static NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver)
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
    ControlExtension *ext = ControlExtensionOf(ControlDevice);
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

// Globals start from their load values also when the same image is loaded again.
static void ResetDriverGlobals()
{
    DriverObject = NULL;
    ControlDevice = NULL;
    DriverPhase = PhaseBoot;
    HibernateFlag = 0;
    PoolBytes = 0;
    InitCountedString(&RegistryPath);
    ServiceName = NULL;
    OpenSequence = 0;
    OpenCount = 0;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    ResetDriverGlobals();
    NTSTATUS status = QueryWdmLevel();
    if (!NT_SUCCESS(status))
        return status;
    status = SaveRegistryPath(registryPath);
    if (!NT_SUCCESS(status))
        return status;
    SetDispatchRoutines(driver);
    status = CreateControlDevice(driver);
    if (!NT_SUCCESS(status)) {
        FreeRegistryPath();
        DriverObject = NULL;
        return status;
    }
    IoRegisterBootDriverReinitialization(driver, OnBootReinitialize, NULL);
    return STATUS_SUCCESS;
}

// The PnP manager has removed every filter device before it unloads the driver.
VOID NTAPI UnloadDriver(PDRIVER_OBJECT driver)
{
    DriverPhase = PhaseUnload;
    UnlinkControlDevice();
    DeleteControlDevice();
    FreeRegistryPath();
    DriverObject = NULL;
}

VOID NTAPI OnBootReinitialize(PDRIVER_OBJECT driver, PVOID context, ULONG count)
{
    DriverPhase = PhaseRunning;
}

// ---- Request helpers ------------------------------------------------------------

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

static bool IsControlDevice(PDEVICE_OBJECT device)
{
    return device == ControlDevice;
}

// Marks the request pending and describes its range in the disk's sectors.
static void StartDiskRequest(PDEVICE_OBJECT device, PIRP irp, DiskRequest *request)
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

// Masters will be served by the cache; until it exists every disk's reads and
// writes pass down whole.
NTSTATUS HandleRead(PDEVICE_OBJECT device, PIRP irp)
{
    DiskRequest request;
    StartDiskRequest(device, irp, &request);
    DiskStats *stats = &FilterExtensionOf(device)->Stats;
    StatAdd32(&stats->ReadsIn, 1);
    StatAdd64(&stats->SectorsReadIn, request.SectorCount);
    return PassDownRead(&request);
}

NTSTATUS HandleWrite(PDEVICE_OBJECT device, PIRP irp)
{
    DiskRequest request;
    StartDiskRequest(device, irp, &request);
    DiskStats *stats = &FilterExtensionOf(device)->Stats;
    StatAdd32(&stats->WritesIn, 1);
    StatAdd64(&stats->SectorsWrittenIn, request.SectorCount);
    return PassDownWrite(&request);
}

// ---- Dispatch routines ------------------------------------------------------------

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    if (IsControlDevice(device))
        return ControlCreate(irp);
    return PassDown(device, irp);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
    if (IsControlDevice(device))
        return ControlClose(irp);
    return PassDown(device, irp);
}

// The request is pending from here on, whether the worker or this thread runs it.
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp)
{
    if (IsControlDevice(device))
        return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
    if (!QueueIrpToWorker(device, irp))
        HandleRead(device, irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp)
{
    if (IsControlDevice(device))
        return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
    if (!QueueIrpToWorker(device, irp))
        HandleWrite(device, irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    if (IsControlDevice(device))
        return DispatchControlIoctl(irp);
    switch (FilterExtensionOf(device)->Role) {
    case RoleMaster:
        return MasterDeviceControl(device, irp);
    case RoleSsd:
        return SsdDeviceControl(device, irp);
    default:
        return PassDown(device, irp);
    }
}

// The first shutdown request runs the sweep over all masters to its end before
// the request moves on; later ones only move on.
static void EnterShutdownPhase()
{
    if (DriverPhase == PhaseShutdown)
        return;
    DriverPhase = PhaseShutdown;
    ShutdownAllMasters();
}

NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT device, PIRP irp)
{
    EnterShutdownPhase();
    if (IsControlDevice(device))
        return CompleteRequest(irp, STATUS_SUCCESS);
    return PassDown(device, irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    if (IsControlDevice(device))
        return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
    return PowerFilter(device, irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    if (IsControlDevice(device))
        return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return OnStartDevice(device, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return OnQueryRemoveDevice(device, irp);
    case IRP_MN_REMOVE_DEVICE:
        return OnRemoveDevice(device, irp);
    case IRP_MN_STOP_DEVICE:
        return OnStopDevice(device, irp);
    default:
        return PassDown(device, irp);
    }
}

NTSTATUS NTAPI DispatchDefault(PDEVICE_OBJECT device, PIRP irp)
{
    if (IsControlDevice(device))
        return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
    return PassDown(device, irp);
}
