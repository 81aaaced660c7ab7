// Filter devices: creation on every disk, the walks over all of them, PnP start,
// stop and removal, and the boot-time pairing of masters and SSDs.
#include "tolvarn.h"
#include "cachestate.h"
#include "config.h"
#include "control.h"
#include "countedstring.h"
#include "identity.h"
#include "lifecycle.h"
#include "pnp.h"
#include "pool.h"
#include "read.h"
#include "requests.h"
#include "seams.h"
#include "worker.h"
#include "write.h"

static const ULONG CopiedLowerFlags = DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH;
static const ULONG CopiedMediaCharacteristics =
    FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE | FILE_FLOPPY_DISKETTE;
static const ULONG PowerStateS0 = PowerSystemWorking;

static IO_COMPLETION_ROUTINE SignalEventCompletion;

// ---- Creation -------------------------------------------------------------------

static void InitFilterExtension(FilterExtension* ext)
{
    RtlZeroMemory(ext, sizeof(*ext));
    ext->Size = sizeof(*ext);
    ext->DeviceNumber = 0xFFFFFFFF;
    InitWorkerContext(&ext->Worker);
    InitCountedString(&ext->KeyPath);
    ext->KeyPathValid = 0;
    ext->PowerState = PowerStateS0;
    ClearDiskConfig(ext);
    InitCacheState(&ext->Cache);
    ext->Removing = 0;
    InitInFlightTable(&ext->InFlight);
}

static NTSTATUS AddFilterDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), NULL, pdo->DeviceType,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    FilterExtension* ext = FilterExtensionOf(device);
    InitFilterExtension(ext);
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    ext->LowerDevice = lower;
    ext->Pdo = pdo;
    device->DeviceType = lower->DeviceType;
    device->Characteristics = lower->Characteristics;
    device->Flags |= lower->Flags & CopiedLowerFlags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return AddFilterDevice(driver, pdo);
}

// ---- Walking the filter devices -----------------------------------------------------

// Called for every filter device in every pass of a walk; true ends the walk.
typedef bool DeviceVisitor(PDEVICE_OBJECT device, ULONG pass, PVOID context);

// What a walk does when the device list cannot be had.
enum WalkFallback {
    WalkNothing,
    // The driver's own device chain: it needs no memory, and it is stable on
    // the PnP thread, on which alone filter devices are added and deleted.
    WalkDeviceChain,
};

// The driver's filter devices at one moment, each referenced until the
// snapshot is released, whatever the walk over it did.
struct DeviceSnapshot {
    PDEVICE_OBJECT* Devices;
    ULONG Count;
};

static bool IsFilterDevice(PDEVICE_OBJECT device)
{
    return device != ControlDevice && device->DeviceExtension &&
           FilterExtensionOf(device)->Size == sizeof(FilterExtension);
}

static void DereferenceListed(PDEVICE_OBJECT* devices, ULONG count)
{
    for (ULONG i = 0; i < count; i++) {
        if (devices[i])
            ObDereferenceObject(devices[i]);
    }
}

// Lists the filter devices in the kernel's order (newest first). False, with
// nothing held, when the list cannot be had.
static bool TakeDeviceSnapshot(DeviceSnapshot* snapshot)
{
    snapshot->Devices = NULL;
    snapshot->Count = 0;
    if (!DriverObject)
        return false;
    ULONG count = 0;
    NTSTATUS status = IoEnumerateDeviceObjectList(DriverObject, NULL, 0, &count);
    if (status != STATUS_BUFFER_TOO_SMALL || count == 0)
        return false;
    PDEVICE_OBJECT* devices = static_cast<PDEVICE_OBJECT*>(AllocatePool(count * sizeof(PDEVICE_OBJECT)));
    if (!devices)
        return false;
    RtlZeroMemory(devices, count * sizeof(PDEVICE_OBJECT));
    ULONG listed = 0;
    status = IoEnumerateDeviceObjectList(DriverObject, devices, count * sizeof(PDEVICE_OBJECT), &listed);
    if (!NT_SUCCESS(status)) {
        // A device added since the count: the kernel has listed, and
        // referenced, as many as the array holds.
        DereferenceListed(devices, count);
        FreePool(devices);
        return false;
    }
    if (listed > count)
        listed = count;
    ULONG kept = 0;
    for (ULONG i = 0; i < listed; i++) {
        if (IsFilterDevice(devices[i]))
            devices[kept++] = devices[i];
        else
            ObDereferenceObject(devices[i]);
    }
    snapshot->Devices = devices;
    snapshot->Count = kept;
    return true;
}

static void ReleaseDeviceSnapshot(DeviceSnapshot* snapshot)
{
    DereferenceListed(snapshot->Devices, snapshot->Count);
    if (snapshot->Devices)
        FreePool(snapshot->Devices);
    snapshot->Devices = NULL;
    snapshot->Count = 0;
}

static bool VisitDeviceChain(DeviceVisitor* visit, PVOID context, ULONG passes)
{
    for (ULONG pass = 0; pass < passes; pass++) {
        for (PDEVICE_OBJECT device = DriverObject->DeviceObject; device; device = device->NextDevice) {
            if (IsFilterDevice(device) && visit(device, pass, context))
                return true;
        }
    }
    return true;
}

// Runs the given number of passes over the filter devices listed at one
// moment, every one of them referenced until the last pass has ended; passes
// 0, 1 ... each visit the same devices in the same order. False, with nothing
// visited, when the list cannot be had and the fallback walks nothing.
static bool WalkFilterDevices(DeviceVisitor* visit, PVOID context, ULONG passes = 1,
                              WalkFallback fallback = WalkNothing)
{
    DeviceSnapshot snapshot;
    if (!TakeDeviceSnapshot(&snapshot)) {
        if (fallback != WalkDeviceChain || !DriverObject)
            return false;
        return VisitDeviceChain(visit, context, passes);
    }
    bool done = false;
    for (ULONG pass = 0; pass < passes && !done; pass++) {
        for (ULONG i = 0; i < snapshot.Count && !done; i++)
            done = visit(snapshot.Devices[i], pass, context);
    }
    ReleaseDeviceSnapshot(&snapshot);
    return true;
}

// A lookup: the first device whose extension matches.
struct DeviceLookup {
    ULONGLONG DiskId;
    ULONG DeviceNumber;
    PDEVICE_OBJECT Found;
};

static bool MatchDiskId(PDEVICE_OBJECT device, ULONG pass, PVOID context)
{
    DeviceLookup* lookup = static_cast<DeviceLookup*>(context);
    if (FilterExtensionOf(device)->DiskId != lookup->DiskId)
        return false;
    lookup->Found = device;
    return true;
}

static bool MatchDeviceNumber(PDEVICE_OBJECT device, ULONG pass, PVOID context)
{
    DeviceLookup* lookup = static_cast<DeviceLookup*>(context);
    if (FilterExtensionOf(device)->DeviceNumber != lookup->DeviceNumber)
        return false;
    lookup->Found = device;
    return true;
}

PDEVICE_OBJECT FindDeviceByDiskId(ULONGLONG diskId)
{
    DeviceLookup lookup = {diskId, 0, NULL};
    WalkFilterDevices(MatchDiskId, &lookup);
    return lookup.Found;
}

PDEVICE_OBJECT FindDeviceByNumber(ULONG deviceNumber)
{
    DeviceLookup lookup = {0, deviceNumber, NULL};
    WalkFilterDevices(MatchDeviceNumber, &lookup);
    return lookup.Found;
}

static bool NoteNotAtS0(PDEVICE_OBJECT device, ULONG pass, PVOID context)
{
    if (FilterExtensionOf(device)->PowerState == PowerStateS0)
        return false;
    *static_cast<bool*>(context) = false;
    return true;
}

bool AllDevicesAtS0()
{
    bool allAtS0 = true;
    return WalkFilterDevices(NoteNotAtS0, &allAtS0) && allAtS0;
}

static bool FlushIfMaster(PDEVICE_OBJECT device, ULONG pass, PVOID context)
{
    if (FilterExtensionOf(device)->Role == RoleMaster)
        Lifecycle->FlushMaster(device);
    return false;
}

void FlushAllMasters()
{
    WalkFilterDevices(FlushIfMaster, NULL);
}

// Pass 0 marks every disk removing, pass 1 flushes the masters (context
// null) or saves them: no cache takes new blocks while the others are
// flushed or saved.
static bool ShutdownPass(PDEVICE_OBJECT device, ULONG pass, PVOID save)
{
    FilterExtension* ext = FilterExtensionOf(device);
    if (pass == 0)
        ext->Removing = 1;
    else if (ext->Role == RoleMaster && save)
        Lifecycle->SaveCacheAtShutdown(device);
    else if (ext->Role == RoleMaster)
        Lifecycle->FlushMaster(device);
    return false;
}

void BeginShutdownOfAllMasters()
{
    WalkFilterDevices(ShutdownPass, NULL, 2);
}

void ShutdownAllMasters()
{
    static ULONG save = 1;
    WalkFilterDevices(ShutdownPass, &save, 2);
}

// ---- Start ----------------------------------------------------------------------------

static NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    KEVENT* event = static_cast<KEVENT*>(context);
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for it; the request is back in the caller's
// hands afterwards, to be completed or freed.
static NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT device, PIRP irp)
{
    PAGED_CODE();
    FilterExtension* ext = FilterExtensionOf(device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    if (NT_SUCCESS(status))
        device->Characteristics |= ext->LowerDevice->Characteristics & CopiedMediaCharacteristics;
    return status;
}

// The disk's identity, then its registry configuration, which needs it.
static void IdentifyAndConfigure(PDEVICE_OBJECT device)
{
    if (ReadDiskIdentity(device))
        LoadDiskConfig(FilterExtensionOf(device));
}

// A START of the driver's own, as the PnP manager would send it, without resources.
static PIRP BuildOwnStartIrp(PDEVICE_OBJECT device)
{
    FilterExtension* ext = FilterExtensionOf(device);
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(ext->LowerDevice->StackSize + 1), FALSE);
    if (!irp)
        return NULL;
    IoSetNextIrpStackLocation(irp);
    irp->MdlAddress = NULL;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_START_DEVICE;
    stack->Parameters.StartDevice.AllocatedResources = NULL;
    stack->Parameters.StartDevice.AllocatedResourcesTranslated = NULL;
    stack->DeviceObject = device;
    return irp;
}

// Starts a disk's stack ahead of its own START. The worker is left to that
// START, which then is not passed down again.
static void LateStartDevice(PDEVICE_OBJECT device)
{
    PIRP irp = BuildOwnStartIrp(device);
    if (!irp)
        return;
    NTSTATUS status = ForwardIrpAndWait(device, irp);
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status))
        return;
    FilterExtension* ext = FilterExtensionOf(device);
    ext->IdentityRead = 1;
    IdentifyAndConfigure(device);
}

static bool LateStartIfUnstarted(PDEVICE_OBJECT device, ULONG pass, PVOID context)
{
    if (!FilterExtensionOf(device)->IdentityRead)
        LateStartDevice(device);
    return false;
}

void LateStartDevices()
{
    WalkFilterDevices(LateStartIfUnstarted, NULL);
}

static bool SsdNamesMaster(PDEVICE_OBJECT ssd, const FilterExtension* master)
{
    return FilterExtensionOf(ssd)->Area.MasterDiskId == master->DiskId;
}

// A master that starts in the boot phase attaches its cache when its SSD is
// there and names it; a missing SSD makes every unstarted stack start now.
static void PairMasterAtBoot(PDEVICE_OBJECT master)
{
    FilterExtension* ext = FilterExtensionOf(master);
    if (!ext->Master.MasterStart)
        return;
    if (ext->Master.SsdCacheDiskId == 0) {
        Lifecycle->AttachCacheAtBoot(master);
        return;
    }
    PDEVICE_OBJECT ssd = FindDeviceByDiskId(ext->Master.SsdCacheDiskId);
    if (!ssd) {
        LateStartDevices();
        ssd = FindDeviceByDiskId(ext->Master.SsdCacheDiskId);
    }
    if (!ssd || !SsdNamesMaster(ssd, ext))
        return;
    Lifecycle->AttachCacheAtBoot(master);
}

static void PairSsdAtBoot(PDEVICE_OBJECT ssd)
{
    FilterExtension* ext = FilterExtensionOf(ssd);
    if (ext->Area.MasterDiskId == 0)
        return;
    PDEVICE_OBJECT master = FindDeviceByDiskId(ext->Area.MasterDiskId);
    if (!master)
        return;
    const MasterConfig* config = &FilterExtensionOf(master)->Master;
    if (!config->MasterStart || config->SsdCacheDiskId != ext->DiskId)
        return;
    Lifecycle->AttachCacheAtBoot(master);
}

NTSTATUS OnStartDevice(PDEVICE_OBJECT device, PIRP irp)
{
    PAGED_CODE();
    FilterExtension* ext = FilterExtensionOf(device);
    if (!ext->IdentityRead) {
        NTSTATUS status = ForwardIrpAndWait(device, irp);
        if (!NT_SUCCESS(status))
            return CompleteRequest(irp, status);
        ext->IdentityRead = 1;
        StartWorkerThread(device);
        IdentifyAndConfigure(device);
    } else {
        // The late start already started the stack below.
        StartWorkerThread(device);
    }
    if (DriverPhase == PhaseBoot) {
        if (ext->Role == RoleMaster)
            PairMasterAtBoot(device);
        else if (ext->Role == RoleSsd)
            PairSsdAtBoot(device);
    }
    return CompleteRequest(irp, STATUS_SUCCESS);
}

// ---- Stop and removal -------------------------------------------------------------------

NTSTATUS OnStopDevice(PDEVICE_OBJECT device, PIRP irp)
{
    FilterExtension* ext = FilterExtensionOf(device);
    NTSTATUS status = PassDown(device, irp);
    // Warnings and informational answers stopped the disk too.
    if (!NT_ERROR(status))
        ext->IdentityRead = 0;
    return status;
}

NTSTATUS OnQueryRemoveDevice(PDEVICE_OBJECT device, PIRP irp)
{
    if (Lifecycle->MayRemoveSsd(device))
        return PassDown(device, irp);
    return CompleteRequest(irp, STATUS_UNSUCCESSFUL);
}

// No master may keep a map on the SSD's device once it is deleted: one that
// still has one (its lookup at the SSD's removal found nothing) is detached
// as that removal does it, its dirty data written back or counted as lost
// and its worker running again.
static bool UnbindFromSsd(PDEVICE_OBJECT device, ULONG pass, PVOID context)
{
    if (FilterExtensionOf(device)->Cache.Map.SsdDevice == static_cast<PDEVICE_OBJECT>(context))
        DetachMasterFromSsd(device);
    return false;
}

// This must not fail: when the device list cannot be had, the driver's own
// device chain is walked instead.
static void UnbindMastersFromSsd(PDEVICE_OBJECT ssd)
{
    WalkFilterDevices(UnbindFromSsd, ssd, 1, WalkDeviceChain);
}

// Frees what the extension owns. A master whose flush or save failed at
// removal still holds its map; it goes with the device.
static void FreeFilterDeviceData(PDEVICE_OBJECT device)
{
    FilterExtension* ext = FilterExtensionOf(device);
    StopWorkerThread(&ext->Worker);
    WaitUntilNothingInFlight(device);
    FreeCountedString(&ext->KeyPath);
    if (ext->Identify) {
        FreePool(ext->Identify);
        ext->Identify = NULL;
    }
    ext->KeyPathValid = 0;
    WaitForOwnCacheIo(&ext->Cache.Map);
    ApplyPendingInvalidations(device);
    FreeMapTables(&ext->Cache.Map);
    ext->Cache.Map.SsdDevice = NULL;
}

// The device goes while no control request runs: a request may hold it from
// its lookup, and none finds it half removed.
NTSTATUS OnRemoveDevice(PDEVICE_OBJECT device, PIRP irp)
{
    PAGED_CODE();
    AcquireControlLock();
    FilterExtension* ext = FilterExtensionOf(device);
    ext->Removing = 1;
    if (ext->Role == RoleMaster)
        Lifecycle->ShutdownCache(device);
    else if (ext->Role == RoleSsd)
        Lifecycle->RemoveSsdFromMaster(device);
    UnbindMastersFromSsd(device);
    // Requests still queued to the worker run while the disk below is attached.
    StopWorkerThread(&ext->Worker);
    NTSTATUS status = PassDown(device, irp);
    IoDetachDevice(ext->LowerDevice);
    FreeFilterDeviceData(device);
    IoDeleteDevice(device);
    ReleaseControlLock();
    return status;
}
