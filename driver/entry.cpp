// Loading and unloading, the dispatch table, and the routing of every request
// that reaches one of the driver's devices.
#include "tolvarn.h"
#include "entry.h"
#include "control.h"
#include "countedstring.h"
#include "destage.h"
#include "layoutrequests.h"
#include "lifecycle.h"
#include "pnp.h"
#include "power.h"
#include "read.h"
#include "requests.h"
#include "worker.h"
#include "write.h"

PDRIVER_OBJECT DriverObject;
PDEVICE_OBJECT ControlDevice;
volatile UCHAR DriverPhase;
volatile ULONG HibernateFlag;
volatile ULONGLONG PoolBytes;
UNICODE_STRING RegistryPath;
WCHAR* ServiceName;
volatile ULONG OpenSequence;
volatile ULONG OpenCount;

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

static NTSTATUS SaveRegistryPath(const UNICODE_STRING* path)
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
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlushBuffers;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->DriverExtension->AddDevice = AddDevice;
}

static UCHAR LastChanceRegistered;  // the control device is on the last-chance list
static UCHAR ShutdownSaved;         // the last-chance request has saved the maps

// Globals start from their load values also when the same image is loaded again.
static void ResetDriverGlobals()
{
    DriverObject = NULL;
    ControlDevice = NULL;
    DriverPhase = PhaseBoot;
    LastChanceRegistered = 0;
    ShutdownSaved = 0;
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
    // The shutdown request reaches the filter devices only when a driver of
    // the disk's stack registered for it and every driver above passes it
    // down (on ReactOS only a mounted volume's file system sends one down its
    // disk's stack), and then before the file systems' last writes. The
    // control device registers for that first round here and, when it comes,
    // for the last chance, after the file systems are done, which runs the
    // save (see DispatchShutdown). Deleting the device ends both.
    IoRegisterShutdownNotification(ControlDevice);
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

// ---- Dispatch routines ------------------------------------------------------------

static bool IsControlDevice(PDEVICE_OBJECT device)
{
    return device == ControlDevice;
}

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
    case RoleMaster: return MasterDeviceControl(device, irp);
    case RoleSsd: return SsdDeviceControl(device, irp);
    default: return PassDown(device, irp);
    }
}

// The first shutdown request runs the sweep over all masters to its end before
// the request moves on; later ones only move on.
// The first shutdown request from any device: no cache takes new blocks
// from now on and the dirty data goes to the masters, while the maps stay
// and the file systems still write.
static void EnterShutdownPhase()
{
    if (DriverPhase == PhaseShutdown)
        return;
    DriverPhase = PhaseShutdown;
    BeginShutdownOfAllMasters();
}

// The control device's first request comes in the first round, before the
// file systems flush: it only registers the device for the last chance, which
// the system sends after that round (the first request from a disk's stack
// enters the shutdown phase). Its last-chance request comes once the file
// systems are done: every map is saved with its stamp, once. The last-chance
// registration waits for shutdown because Wine's kernel has that routine only
// as a stub that ends the driver's host when called. Should it fail, the maps
// are saved at once instead.
NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT device, PIRP irp)
{
    if (!IsControlDevice(device)) {
        EnterShutdownPhase();
        return PassDown(device, irp);
    }
    if (!LastChanceRegistered) {
        LastChanceRegistered = 1;
        if (NT_SUCCESS(IoRegisterLastChanceShutdownNotification(device)))
            return CompleteRequest(irp, STATUS_SUCCESS);
    }
    EnterShutdownPhase();
    if (!ShutdownSaved) {
        ShutdownSaved = 1;
        ShutdownAllMasters();
    }
    return CompleteRequest(irp, STATUS_SUCCESS);
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
    case IRP_MN_START_DEVICE: return OnStartDevice(device, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE: return OnQueryRemoveDevice(device, irp);
    case IRP_MN_REMOVE_DEVICE: return OnRemoveDevice(device, irp);
    case IRP_MN_STOP_DEVICE: return OnStopDevice(device, irp);
    default: return PassDown(device, irp);
    }
}

// Behind the writes queued before it, on the worker, when dirty data has to
// reach the master first.
NTSTATUS NTAPI DispatchFlushBuffers(PDEVICE_OBJECT device, PIRP irp)
{
    if (IsControlDevice(device))
        return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
    if (FlushNeedsDestage(device) && QueueIrpToWorker(device, irp))
        return STATUS_PENDING;
    return HandleFlushBuffers(device, irp);
}

NTSTATUS NTAPI DispatchDefault(PDEVICE_OBJECT device, PIRP irp)
{
    if (IsControlDevice(device))
        return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
    return PassDown(device, irp);
}
