// The I/O manager: driver and device objects, names and links, IRPs with
// their stack locations and completion, MDLs, power calls, registrations.
#include "core.h"

#include <stdlib.h>

#include <new>

#include <deque>
#include <unordered_map>
#include <unordered_set>

// Emulator data of one device, reached through DeviceObjectExtension.
struct _DEVOBJ_EXTENSION {
    std::u16string name;
    PDEVICE_OBJECT self = nullptr;
    PDEVICE_OBJECT attachedTo = nullptr;  // the device below this one
    bool deleted = false;
};

namespace emu {
namespace {

// ----- Global I/O state --------------------------------------------------------

struct Reinit {
    PDRIVER_OBJECT driver;
    PDRIVER_REINITIALIZE routine;
    PVOID context;
};

struct IoState {
    std::recursive_mutex lock;                                 // devices, names, links, registrations
    std::unordered_map<std::u16string, PDEVICE_OBJECT> names;  // upcased
    std::unordered_map<std::u16string, std::u16string> links;  // upcased link -> target as given
    std::vector<PDEVICE_OBJECT> shutdown;                      // registration order
    std::vector<PDEVICE_OBJECT> lastChance;                    // registration order
    std::vector<Reinit> reinit;
    std::atomic<PDRIVER_OBJECT> driverUnderTest{nullptr};  // read by IofCallDriver without the lock
    UCHAR wdmMajor = 6, wdmMinor = 0;
    std::atomic<ULONG> powerStarts{0};
};

IoState& Io()
{
    static IoState* state = new IoState;
    return *state;
}

using IoGuard = std::lock_guard<std::recursive_mutex>;

// Link names: "\??\X" and "\DosDevices\X" are one name.
std::u16string LinkKey(std::u16string_view name)
{
    std::u16string up = Upcase(name);
    const std::u16string shortPrefix = u"\\??\\";
    if (up.compare(0, shortPrefix.size(), shortPrefix) == 0)
        up = u"\\DOSDEVICES\\" + up.substr(shortPrefix.size());
    return up;
}

NTSTATUS NTAPI InvalidRequest(PDEVICE_OBJECT device, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

constexpr size_t kEmuExtensionBytes = (sizeof(_DEVOBJ_EXTENSION) + 15) & ~size_t(15);

bool IsDevice(const void* p)
{
    return IsLiveObject(p) && HeaderOf(p)->type == ObjectType::Device;
}

_DEVOBJ_EXTENSION* Emu(PDEVICE_OBJECT device)
{
    return device->DeviceObjectExtension;
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice != NULL)
        device = device->AttachedDevice;
    return device;
}

void DestroyDevice(ObjectHeader* header)
{
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)BodyOf(header);
    _DEVOBJ_EXTENSION* ext = Emu(device);
    size_t extensionBytes = (size_t)device->Size - sizeof(DEVICE_OBJECT);
    if (device->DeviceExtension != NULL)
        memset(device->DeviceExtension, 0xDD, extensionBytes);  // use after deletion reads garbage
    ext->~_DEVOBJ_EXTENSION();
    header->magic = 0;
    free(header);
}

// ----- IRP bookkeeping ------------------------------------------------------------

constexpr uint64_t kIrpMagic = 0x4952505f454d5521ull;
constexpr size_t kQuarantine = 4096;

// What the verifier knows about one stack location during one trip down and up.
// The trip begins with the call that finds the location idle (its owner);
// calls made while the trip lasts, a skipped pass-down from the same thread
// or a queued request passed down by another thread, join it, and only the
// owner's return is the location's result, whichever frame leaves last.
struct LocationState {
    uint32_t trip;         // numbers the trips; frames of an older trip are ignored
    uint32_t activeCalls;  // IofCallDriver frames of this trip at this location
    bool returned;         // the owner's dispatch returned
    bool returnedPending;
    bool walked;        // the completion passed this location
    bool walkedMarked;  // it found SL_PENDING_RETURNED there
};

struct alignas(16) IrpHeader {
    uint64_t magic;
    IrpKind kind;
    std::mutex* lock;
    bool freed;
    bool done;                // completion reached the top
    bool viaDriverUnderTest;  // went through a device of the driver under test
    int walking;              // a completion walk is running on the IRP
    HarnessDone harnessDone;
    void* harnessContext;
    // Threaded requests.
    PVOID userOutput;
    ULONG outputLength;
    ULONG method;
    bool ownsSystemBuffer;
    LocationState* locations;  // StackCount + 2 entries, index = location number
};

struct IrpTable {
    std::mutex lock;
    std::unordered_set<PIRP> known;  // live and quarantined
    std::unordered_set<PIRP> live;
    std::deque<PIRP> quarantine;
};

IrpTable& Irps()
{
    static IrpTable* table = new IrpTable;
    return *table;
}

IrpHeader* HeaderOfIrp(PIRP irp)
{
    return (IrpHeader*)irp - 1;
}

bool KnownIrp(PIRP irp, bool* freed)
{
    IrpTable& t = Irps();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.known.count(irp) == 0)
        return false;
    *freed = t.live.count(irp) == 0;
    return true;
}

bool RequireLiveIrp(PIRP irp, const char* routine)
{
    bool freed = false;
    if (irp == NULL || !KnownIrp(irp, &freed)) {
        Report(Fault::BadIrp, "%s(%p): not an IRP", routine, (void*)irp);
        return false;
    }
    if (freed) {
        Report(Fault::BadIrp, "%s(%p): the IRP has been freed", routine, (void*)irp);
        return false;
    }
    return true;
}

// Starts new trips at the given locations; frames still running from the old
// ones no longer count there. Caller holds h->lock.
void ResetLocations(PIRP irp, int from, int to)
{
    IrpHeader* h = HeaderOfIrp(irp);
    for (int l = from; l <= to; ++l) {
        uint32_t next = h->locations[l].trip + 1;
        h->locations[l] = LocationState();
        h->locations[l].trip = next;
    }
}

// Whether a call into a location joins the trip running there: one is running
// while the IRP has not come back up past the location and a frame of it is
// still active or its owner has returned (the request was queued and is now
// passed down). Caller holds h->lock.
bool JoinsRunningTrip(const LocationState& l)
{
    return !l.walked && (l.activeCalls > 0 || l.returned);
}

// Compares what the dispatch routine at a location returned with what the
// completion found there, once both have happened. Caller holds h->lock.
void CheckPendingContract(PIRP irp, int location)
{
    LocationState& l = HeaderOfIrp(irp)->locations[location];
    if (!l.returned || !l.walked)
        return;
    if (l.returnedPending && !l.walkedMarked)
        Report(Fault::PendingNotMarked,
               "IRP %p: STATUS_PENDING returned at stack location %d without IoMarkIrpPending", (void*)irp,
               location);
    if (!l.returnedPending && l.walkedMarked)
        Report(
            Fault::MarkedPendingNotReturned,
            "IRP %p: marked pending at stack location %d, but the dispatch routine returned another status",
            (void*)irp, location);
}

void FreeMdlChain(PIRP irp)
{
    PMDL mdl = irp->MdlAddress;
    irp->MdlAddress = NULL;
    while (mdl != NULL) {
        PMDL next = mdl->Next;
        IoFreeMdl(mdl);
        mdl = next;
    }
}

// The end of a completion that reached the top of the stack.
void FinishAtTop(PIRP irp)
{
    IrpHeader* h = HeaderOfIrp(irp);
    switch (h->kind) {
    case IrpKind::Driver:
        Report(Fault::OwnIrpCompletedToTop,
               "IRP %p from IoAllocateIrp completed past its last completion routine (return "
               "STATUS_MORE_PROCESSING_REQUIRED and free it)",
               (void*)irp);
        return;
    case IrpKind::Threaded: {
        if (h->method == METHOD_BUFFERED && h->userOutput != NULL && !NT_ERROR(irp->IoStatus.Status)) {
            ULONG_PTR n =
                irp->IoStatus.Information < h->outputLength ? irp->IoStatus.Information : h->outputLength;
            if (n > 0)
                memcpy(h->userOutput, irp->AssociatedIrp.SystemBuffer, n);
        }
        if (irp->UserIosb != NULL)
            *irp->UserIosb = irp->IoStatus;
        PKEVENT event = irp->UserEvent;
        FreeIrpInternal(irp);
        if (event != NULL)
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        return;
    }
    case IrpKind::Harness:
        h->harnessDone(irp, h->harnessContext);
        FreeIrpInternal(irp);
        return;
    }
}

}  // namespace

// ----- Internal interface -----------------------------------------------------------

PIRP AllocateIrpInternal(CCHAR stackSize, IrpKind kind)
{
    if (stackSize < 1)
        stackSize = 1;
    size_t bodyBytes = sizeof(IRP) + (size_t)stackSize * sizeof(IO_STACK_LOCATION);
    IrpHeader* h = (IrpHeader*)aligned_alloc(16, (sizeof(IrpHeader) + bodyBytes + 15) & ~size_t(15));
    memset((void*)h, 0, sizeof(IrpHeader) + bodyBytes);
    h->magic = kIrpMagic;
    h->kind = kind;
    h->lock = new std::mutex;
    h->locations = new LocationState[stackSize + 2]();
    PIRP irp = (PIRP)(h + 1);
    irp->Type = IO_TYPE_IRP;
    irp->Size = IoSizeOfIrp(stackSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CHAR)(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(irp + 1) + stackSize;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IrpTable& t = Irps();
    std::lock_guard<std::mutex> guard(t.lock);
    t.known.insert(irp);
    t.live.insert(irp);
    Count().irps++;
    return irp;
}

IrpOrigin OriginOfIrp(PIRP irp)
{
    IrpHeader* h = HeaderOfIrp(irp);
    if (h->kind != IrpKind::Harness)
        return IrpOrigin::Driver;
    return h->viaDriverUnderTest ? IrpOrigin::PassedDown : IrpOrigin::Outside;
}

void SetHarnessCompletion(PIRP irp, HarnessDone done, void* context)
{
    IrpHeader* h = HeaderOfIrp(irp);
    h->harnessDone = done;
    h->harnessContext = context;
}

void FreeIrpInternal(PIRP irp)
{
    IrpHeader* h = HeaderOfIrp(irp);
    if (h->ownsSystemBuffer)
        free(irp->AssociatedIrp.SystemBuffer);
    h->ownsSystemBuffer = false;
    if (h->kind != IrpKind::Driver)
        FreeMdlChain(irp);
    IrpTable& t = Irps();
    PIRP evicted = nullptr;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        t.live.erase(irp);
        Count().irps--;
        h->freed = true;
        memset((void*)irp, 0xDD, irp->Size);
        t.quarantine.push_back(irp);
        if (t.quarantine.size() > kQuarantine) {
            evicted = t.quarantine.front();
            t.quarantine.pop_front();
            t.known.erase(evicted);
        }
    }
    if (evicted != nullptr) {
        IrpHeader* e = HeaderOfIrp(evicted);
        delete e->lock;
        delete[] e->locations;
        e->magic = 0;
        free(e);
    }
}

// Reports IRPs of the given kinds that are still open, then forgets them so
// that the next machine starts clean (their memory is left alone).
void ReportAndForget(bool driverKind)
{
    IrpTable& t = Irps();
    std::lock_guard<std::mutex> guard(t.lock);
    ULONG driverIrps = 0;
    for (auto it = t.live.begin(); it != t.live.end();) {
        PIRP irp = *it;
        IrpHeader* h = HeaderOfIrp(irp);
        if ((h->kind == IrpKind::Driver) != driverKind || h->done) {
            ++it;
            continue;
        }
        if (driverKind) {
            driverIrps++;
        } else {
            PIO_STACK_LOCATION top = (PIO_STACK_LOCATION)(irp + 1) + (irp->StackCount - 1);
            Report(Fault::IrpNeverCompleted, "%s IRP %p (major 0x%x minor 0x%x) was never completed",
                   h->kind == IrpKind::Harness ? "harness" : "synchronous", (void*)irp, top->MajorFunction,
                   top->MinorFunction);
        }
        t.known.erase(irp);
        it = t.live.erase(it);
        Count().irps--;
        if (h->kind == IrpKind::Harness)
            h->harnessDone(nullptr, h->harnessContext);
        if (h->ownsSystemBuffer)
            free(irp->AssociatedIrp.SystemBuffer);
        delete h->lock;
        delete[] h->locations;
        free(h);
    }
    if (driverIrps > 0)
        Report(Fault::IrpLeak, "%u IRP(s) from IoAllocateIrp never freed", driverIrps);
}

void ReportOpenIrps()
{
    ReportAndForget(false);
}
void ReportDriverIrps()
{
    ReportAndForget(true);
}

PDRIVER_OBJECT CreateDriverObject(std::u16string_view name)
{
    PDRIVER_OBJECT driver = new DRIVER_OBJECT();
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = new DRIVER_EXTENSION();
    driver->DriverExtension->DriverObject = driver;
    std::u16string* text = new std::u16string(name);
    driver->DriverName.Buffer = (PWSTR)text->data();
    driver->DriverName.Length = driver->DriverName.MaximumLength = (USHORT)(text->size() * 2);
    driver->DriverSection = text;
    for (PDRIVER_DISPATCH& slot : driver->MajorFunction)
        slot = InvalidRequest;
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    {
        IoGuard guard(Io().lock);
        auto& reinit = Io().reinit;
        for (size_t i = 0; i < reinit.size();)
            if (reinit[i].driver == driver)
                reinit.erase(reinit.begin() + i);
            else
                ++i;
    }
    delete (std::u16string*)driver->DriverSection;
    delete driver->DriverExtension;
    delete driver;
}

void SetDriverUnderTest(PDRIVER_OBJECT driver)
{
    IoGuard guard(Io().lock);
    Io().driverUnderTest = driver;
}

void SetWdmVersion(UCHAR major, UCHAR minor)
{
    IoGuard guard(Io().lock);
    Io().wdmMajor = major;
    Io().wdmMinor = minor;
}

void RunReinitializationRoutines()
{
    std::vector<Reinit> routines;
    {
        IoGuard guard(Io().lock);
        routines.swap(Io().reinit);
    }
    for (const Reinit& r : routines)
        r.routine(r.driver, r.context, 1);
}

std::vector<PDEVICE_OBJECT> ShutdownRegistrations(bool lastChance)
{
    IoGuard guard(Io().lock);
    const std::vector<PDEVICE_OBJECT>& list = lastChance ? Io().lastChance : Io().shutdown;
    return std::vector<PDEVICE_OBJECT>(list.rbegin(), list.rend());
}

static void EraseDevice(std::vector<PDEVICE_OBJECT>& list, PDEVICE_OBJECT device)
{
    for (size_t i = 0; i < list.size();)
        if (list[i] == device)
            list.erase(list.begin() + i);
        else
            ++i;
}

PDEVICE_OBJECT LookupDeviceByName(std::u16string_view name)
{
    IoGuard guard(Io().lock);
    auto it = Io().names.find(Upcase(name));
    return it == Io().names.end() ? nullptr : it->second;
}

std::optional<std::u16string> LookupLink(std::u16string_view link)
{
    IoGuard guard(Io().lock);
    auto it = Io().links.find(LinkKey(link));
    if (it == Io().links.end())
        return std::nullopt;
    return it->second;
}

ULONG PowerIrpStarts()
{
    return Io().powerStarts;
}

ULONG LiveDevices()
{
    IoGuard guard(Io().lock);
    PDRIVER_OBJECT driver = Io().driverUnderTest;
    ULONG n = 0;
    if (driver != nullptr)
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != NULL; d = d->NextDevice)
            ++n;
    return n;
}

// Deletes the devices a driver left behind (after the leak was reported).
void DeleteLeftoverDevices(PDRIVER_OBJECT driver)
{
    std::vector<PDEVICE_OBJECT> left;
    {
        IoGuard guard(Io().lock);
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != NULL; d = d->NextDevice)
            left.push_back(d);
    }
    for (PDEVICE_OBJECT d : left) {
        if (d->AttachedDevice != NULL)
            IoDetachDevice(d);
        if (Emu(d)->attachedTo != NULL)
            IoDetachDevice(Emu(d)->attachedTo);
        IoDeleteDevice(d);
    }
}

ULONG LiveLinks()
{
    IoGuard guard(Io().lock);
    return (ULONG)Io().links.size();
}

void ResetIo()
{
    IoGuard guard(Io().lock);
    Io().links.clear();
    Io().reinit.clear();
    Io().powerStarts = 0;
}

}  // namespace emu

using namespace emu;

// ----- Devices -----------------------------------------------------------------------

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                                         PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                                         ULONG deviceCharacteristics, BOOLEAN exclusive,
                                         PDEVICE_OBJECT* deviceObject)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::PassiveOnlyAtRaisedIrql, "IoCreateDevice");
    *deviceObject = NULL;
    if (ShouldFail(Resource::Device))
        return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string name = FromCounted(deviceName);
    IoGuard guard(Io().lock);
    if (!name.empty() && Io().names.count(Upcase(name)) != 0)
        return STATUS_OBJECT_NAME_COLLISION;
    size_t extensionBytes = (deviceExtensionSize + 15) & ~size_t(15);
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)NewObject(
        ObjectType::Device, sizeof(DEVICE_OBJECT) + kEmuExtensionBytes + extensionBytes, DestroyDevice);
    device->Type = IO_TYPE_DEVICE;
    device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + deviceExtensionSize);
    device->DriverObject = driverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = deviceCharacteristics;
    device->DeviceType = deviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = new ((PCHAR)(device + 1)) _DEVOBJ_EXTENSION();
    device->DeviceExtension = deviceExtensionSize ? (PVOID)((PCHAR)(device + 1) + kEmuExtensionBytes) : NULL;
    device->DeviceObjectExtension->self = device;
    device->DeviceObjectExtension->name = name;
    device->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = device;
    if (!name.empty())
        Io().names[Upcase(name)] = device;
    *deviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT device)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::PassiveOnlyAtRaisedIrql, "IoDeleteDevice");
    IoGuard guard(Io().lock);
    if (!IsDevice(device) || Emu(device)->deleted) {
        Report(Fault::DeviceMisuse, "IoDeleteDevice(%p): not a live device (deleted twice?)", (void*)device);
        return;
    }
    _DEVOBJ_EXTENSION* ext = Emu(device);
    if (device->AttachedDevice != NULL)
        Report(Fault::DeviceMisuse, "IoDeleteDevice(%p): device %p is still attached on top of it",
               (void*)device, (void*)device->AttachedDevice);
    if (ext->attachedTo != NULL) {
        Report(Fault::DeviceMisuse, "IoDeleteDevice(%p): still attached to %p (IoDetachDevice first)",
               (void*)device, (void*)ext->attachedTo);
        ext->attachedTo->AttachedDevice = NULL;
        ext->attachedTo = NULL;
    }
    ext->deleted = true;
    PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
    while (*link != NULL && *link != device)
        link = &(*link)->NextDevice;
    if (*link == device)
        *link = device->NextDevice;
    if (!ext->name.empty())
        Io().names.erase(Upcase(ext->name));
    EraseDevice(Io().shutdown, device);
    EraseDevice(Io().lastChance, device);
    DropReference(device, false);
}

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::PassiveOnlyAtRaisedIrql, "IoCreateSymbolicLink");
    if (symbolicLinkName == NULL || deviceName == NULL || symbolicLinkName->Length == 0)
        return STATUS_OBJECT_NAME_INVALID;
    if (ShouldFail(Resource::Link))
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGuard guard(Io().lock);
    std::u16string key = LinkKey(FromCounted(symbolicLinkName));
    if (Io().links.count(key) != 0)
        return STATUS_OBJECT_NAME_COLLISION;
    Io().links[key] = FromCounted(deviceName);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::PassiveOnlyAtRaisedIrql, "IoDeleteSymbolicLink");
    if (symbolicLinkName == NULL)
        return STATUS_OBJECT_NAME_INVALID;
    IoGuard guard(Io().lock);
    return Io().links.erase(LinkKey(FromCounted(symbolicLinkName))) ? STATUS_SUCCESS
                                                                    : STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice,
                                                            PDEVICE_OBJECT targetDevice)
{
    IoGuard guard(Io().lock);
    if (!IsDevice(sourceDevice) || !IsDevice(targetDevice)) {
        Report(Fault::BadObject, "IoAttachDeviceToDeviceStack(%p, %p): not live devices", (void*)sourceDevice,
               (void*)targetDevice);
        return NULL;
    }
    if (ShouldFail(Resource::Attach))
        return NULL;
    PDEVICE_OBJECT top = TopOf(targetDevice);
    if (Emu(top)->deleted)
        return NULL;
    top->AttachedDevice = sourceDevice;
    Emu(sourceDevice)->attachedTo = top;
    sourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    sourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    sourceDevice->SectorSize = top->SectorSize;
    return top;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT targetDevice)
{
    IoGuard guard(Io().lock);
    if (!IsDevice(targetDevice) || targetDevice->AttachedDevice == NULL) {
        Report(Fault::DeviceMisuse, "IoDetachDevice(%p): nothing is attached to it", (void*)targetDevice);
        return;
    }
    Emu(targetDevice->AttachedDevice)->attachedTo = NULL;
    targetDevice->AttachedDevice = NULL;
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT deviceObject)
{
    IoGuard guard(Io().lock);
    return TopOf(deviceObject);
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject)
{
    IoGuard guard(Io().lock);
    PDEVICE_OBJECT top = TopOf(deviceObject);
    AddReference(top, true);
    return top;
}

extern "C" NTSTATUS NTAPI IoEnumerateDeviceObjectList(PDRIVER_OBJECT driverObject,
                                                      PDEVICE_OBJECT* deviceObjectList,
                                                      ULONG deviceObjectListSize,
                                                      PULONG actualNumberDeviceObjects)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "IoEnumerateDeviceObjectList");
    if (ShouldFail(Resource::Enumerate))
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGuard guard(Io().lock);
    ULONG count = 0;
    for (PDEVICE_OBJECT d = driverObject->DeviceObject; d != NULL; d = d->NextDevice)
        ++count;
    if (deviceObjectList == NULL) {
        ULONG missing = TakeEnumerationUndercount();
        *actualNumberDeviceObjects = missing < count ? count - missing : 0;
        return *actualNumberDeviceObjects == 0 ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    }
    *actualNumberDeviceObjects = count;
    // A list too small for every device gets as many as fit, each referenced.
    ULONG room = (ULONG)(deviceObjectListSize / sizeof(PDEVICE_OBJECT));
    ULONG i = 0;
    for (PDEVICE_OBJECT d = driverObject->DeviceObject; d != NULL && i < room; d = d->NextDevice) {
        AddReference(d, true);
        deviceObjectList[i++] = d;
    }
    return i == count ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
}

extern "C" BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR majorVersion, UCHAR minorVersion)
{
    IoGuard guard(Io().lock);
    if (Io().wdmMajor == 0 && Io().wdmMinor == 0)
        return FALSE;
    return majorVersion < Io().wdmMajor || (majorVersion == Io().wdmMajor && minorVersion <= Io().wdmMinor);
}

extern "C" VOID NTAPI IoRegisterBootDriverReinitialization(PDRIVER_OBJECT driverObject,
                                                           PDRIVER_REINITIALIZE routine, PVOID context)
{
    IoGuard guard(Io().lock);
    Io().reinit.push_back({driverObject, routine, context});
}

extern "C" VOID NTAPI IoRegisterDriverReinitialization(PDRIVER_OBJECT driverObject,
                                                       PDRIVER_REINITIALIZE routine, PVOID context)
{
    IoRegisterBootDriverReinitialization(driverObject, routine, context);
}

extern "C" NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT deviceObject)
{
    IoGuard guard(Io().lock);
    Io().shutdown.push_back(deviceObject);
    deviceObject->Flags |= DO_SHUTDOWN_REGISTERED;
    return STATUS_SUCCESS;
}

// Called after the file systems have been flushed at shutdown.
extern "C" NTSTATUS NTAPI IoRegisterLastChanceShutdownNotification(PDEVICE_OBJECT deviceObject)
{
    IoGuard guard(Io().lock);
    Io().lastChance.push_back(deviceObject);
    deviceObject->Flags |= DO_SHUTDOWN_REGISTERED;
    return STATUS_SUCCESS;
}

// Takes the device off both lists, as Windows does.
extern "C" VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT deviceObject)
{
    IoGuard guard(Io().lock);
    EraseDevice(Io().shutdown, deviceObject);
    EraseDevice(Io().lastChance, deviceObject);
    deviceObject->Flags &= ~DO_SHUTDOWN_REGISTERED;
}

// ----- IRPs --------------------------------------------------------------------------

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "IoAllocateIrp");
    if (stackSize < 1) {
        Report(Fault::BadIrp, "IoAllocateIrp with stack size %d", stackSize);
        return NULL;
    }
    if (ShouldFail(Resource::Irp))
        return NULL;
    return AllocateIrpInternal(stackSize, IrpKind::Driver);
}

extern "C" VOID NTAPI IoFreeIrp(PIRP irp)
{
    if (!RequireLiveIrp(irp, "IoFreeIrp"))
        return;
    IrpHeader* h = HeaderOfIrp(irp);
    if (h->kind != IrpKind::Driver) {
        Report(Fault::BadIrp, "IoFreeIrp(%p): the I/O manager owns this IRP", (void*)irp);
        return;
    }
    FreeIrpInternal(irp);
}

extern "C" VOID NTAPI IoReuseIrp(PIRP irp, NTSTATUS status)
{
    if (!RequireLiveIrp(irp, "IoReuseIrp"))
        return;
    IrpHeader* h = HeaderOfIrp(irp);
    CHAR stackCount = irp->StackCount;
    USHORT size = irp->Size;
    memset((void*)irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stackCount;
    irp->CurrentLocation = (CHAR)(stackCount + 1);
    irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(irp + 1) + stackCount;
    irp->IoStatus.Status = status;
    std::lock_guard<std::mutex> guard(*h->lock);
    h->done = false;
    h->walking = 0;
    ResetLocations(irp, 0, stackCount + 1);
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "IofCallDriver");
    if (!RequireLiveIrp(irp, "IofCallDriver"))
        return STATUS_INVALID_PARAMETER;
    if (!IsDevice(deviceObject)) {
        Report(Fault::BadObject, "IofCallDriver(%p): not a live device", (void*)deviceObject);
        return STATUS_INVALID_PARAMETER;
    }
    if (irp->CurrentLocation <= 1) {
        Report(Fault::StackOverflow,
               "IofCallDriver: IRP %p has no stack location left for device %p (stack size %d)", (void*)irp,
               (void*)deviceObject, irp->StackCount);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    IrpHeader* h = HeaderOfIrp(irp);
    if (deviceObject->DriverObject == Io().driverUnderTest)
        h->viaDriverUnderTest = true;
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = deviceObject;
    int location = irp->CurrentLocation;
    if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        Report(Fault::BadIrp, "IofCallDriver: major function 0x%x", stack->MajorFunction);
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        return STATUS_INVALID_PARAMETER;
    }
    // Only the owner of the location's trip records what the location returned
    // (the mark and STATUS_PENDING of a dispatch that queued the request stand
    // while another thread passes it down); the frame knows its trip, so a
    // frame that outlives a reset of the location leaves the new trip alone.
    bool owner = false;
    uint32_t trip;
    {
        std::lock_guard<std::mutex> guard(*h->lock);
        if (!JoinsRunningTrip(h->locations[location])) {
            ResetLocations(irp, 1, location);
            h->done = false;
            owner = true;
        }
        LocationState& l = h->locations[location];
        trip = l.trip;
        l.activeCalls++;
    }
    KIRQL before = Self().irql;
    UCHAR major = stack->MajorFunction;
    NTSTATUS status = deviceObject->DriverObject->MajorFunction[major](deviceObject, irp);
    if (Self().irql != before)
        Report(Fault::IrqlMismatch, "dispatch routine of major 0x%x returned at IRQL %d, called at %d", major,
               Self().irql, before);
    // The IRP may be complete and freed by now; its header stays readable.
    std::lock_guard<std::mutex> guard(*h->lock);
    LocationState& l = h->locations[location];
    if (l.trip != trip)
        return status;
    l.activeCalls--;
    if (owner) {
        l.returned = true;
        l.returnedPending = status == STATUS_PENDING;
        CheckPendingContract(irp, location);
    }
    return status;
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP irp, CCHAR priorityBoost)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "IofCompleteRequest");
    bool freed = false;
    if (irp == NULL || !KnownIrp(irp, &freed)) {
        Report(Fault::BadIrp, "IofCompleteRequest(%p): not an IRP", (void*)irp);
        return;
    }
    IrpHeader* h = HeaderOfIrp(irp);
    {
        std::lock_guard<std::mutex> guard(*h->lock);
        if (freed || h->done || h->walking) {
            Report(Fault::DoubleCompletion, "IRP %p completed again after its completion %s", (void*)irp,
                   freed ? "freed it" : (h->done ? "reached the top" : "began"));
            return;
        }
        h->walking = 1;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        Report(Fault::CompletedWithPending, "IRP %p completed with status STATUS_PENDING", (void*)irp);
    if (irp->CurrentLocation > irp->StackCount + 1 || irp->CurrentLocation < 1) {
        Report(Fault::BadIrp, "IRP %p completed at stack location %d of %d", (void*)irp, irp->CurrentLocation,
               irp->StackCount);
        std::lock_guard<std::mutex> guard(*h->lock);
        h->walking = 0;
        return;
    }
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        int location = irp->CurrentLocation;
        bool marked = (stack->Control & SL_PENDING_RETURNED) != 0;
        irp->PendingReturned = marked;
        {
            std::lock_guard<std::mutex> guard(*h->lock);
            LocationState& l = h->locations[location];
            l.walked = true;
            l.walkedMarked = marked;
            CheckPendingContract(irp, location);
        }
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = routine != NULL && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                          (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                          (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (!invoke) {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
                IoMarkIrpPending(irp);
            continue;
        }
        PDEVICE_OBJECT upper = irp->CurrentLocation <= irp->StackCount
                                   ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                   : NULL;
        {
            std::lock_guard<std::mutex> guard(*h->lock);
            h->walking = 0;  // the routine owns the IRP now
        }
        KIRQL before = Self().irql;
        NTSTATUS result = routine(upper, irp, context);
        if (Self().irql != before)
            Report(Fault::IrqlMismatch, "completion routine returned at IRQL %d, called at %d", Self().irql,
                   before);
        if (result == STATUS_MORE_PROCESSING_REQUIRED)
            return;  // the IRP may be gone
        std::lock_guard<std::mutex> guard(*h->lock);
        if (h->walking || h->done || h->freed) {
            Report(Fault::DoubleCompletion,
                   "IRP %p completed while its completion routine ran (which did not return "
                   "STATUS_MORE_PROCESSING_REQUIRED)",
                   (void*)irp);
            return;
        }
        h->walking = 1;
    }
    {
        std::lock_guard<std::mutex> guard(*h->lock);
        h->walking = 0;
        h->done = true;
    }
    FinishAtTop(irp);
}

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                                    PVOID inputBuffer, ULONG inputBufferLength,
                                                    PVOID outputBuffer, ULONG outputBufferLength,
                                                    BOOLEAN internalDeviceIoControl, PKEVENT event,
                                                    PIO_STATUS_BLOCK ioStatusBlock)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::PassiveOnlyAtRaisedIrql, "IoBuildDeviceIoControlRequest");
    if (!IsDevice(deviceObject)) {
        Report(Fault::BadObject, "IoBuildDeviceIoControlRequest(%p): not a live device", (void*)deviceObject);
        return NULL;
    }
    if (ShouldFail(Resource::Irp))
        return NULL;
    PIRP irp = AllocateIrpInternal(deviceObject->StackSize, IrpKind::Threaded);
    IrpHeader* h = HeaderOfIrp(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
    h->method = METHOD_FROM_CTL_CODE(ioControlCode);
    h->userOutput = outputBuffer;
    h->outputLength = outputBufferLength;
    ULONG bufferBytes = inputBufferLength > outputBufferLength ? inputBufferLength : outputBufferLength;
    switch (h->method) {
    case METHOD_BUFFERED:
        if (bufferBytes > 0) {
            irp->AssociatedIrp.SystemBuffer = calloc(1, bufferBytes);
            h->ownsSystemBuffer = true;
            if (inputBuffer != NULL && inputBufferLength > 0)
                memcpy(irp->AssociatedIrp.SystemBuffer, inputBuffer, inputBufferLength);
        }
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (inputBufferLength > 0) {
            irp->AssociatedIrp.SystemBuffer = calloc(1, inputBufferLength);
            h->ownsSystemBuffer = true;
            memcpy(irp->AssociatedIrp.SystemBuffer, inputBuffer, inputBufferLength);
        }
        if (outputBufferLength > 0)
            irp->MdlAddress = AllocateMdlInternal(outputBuffer, outputBufferLength);
        break;
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
        irp->UserBuffer = outputBuffer;
        break;
    }
    irp->UserBuffer = outputBuffer;
    irp->UserIosb = ioStatusBlock;
    irp->UserEvent = event;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    return irp;
}

extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT deviceObject,
                                                   PVOID buffer, ULONG length, PLARGE_INTEGER startingOffset,
                                                   PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::PassiveOnlyAtRaisedIrql, "IoBuildSynchronousFsdRequest");
    if (!IsDevice(deviceObject)) {
        Report(Fault::BadObject, "IoBuildSynchronousFsdRequest(%p): not a live device", (void*)deviceObject);
        return NULL;
    }
    if (ShouldFail(Resource::Irp))
        return NULL;
    PIRP irp = AllocateIrpInternal(deviceObject->StackSize, IrpKind::Threaded);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = (UCHAR)majorFunction;
    if (majorFunction == IRP_MJ_READ || majorFunction == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = length;
        if (startingOffset != NULL)
            next->Parameters.Read.ByteOffset = *startingOffset;
        if (length > 0)
            irp->MdlAddress = AllocateMdlInternal(buffer, length);
        irp->UserBuffer = buffer;
    }
    irp->UserIosb = ioStatusBlock;
    irp->UserEvent = event;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    return irp;
}

extern "C" PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT deviceObject,
                                                    PVOID buffer, ULONG length, PLARGE_INTEGER startingOffset,
                                                    PIO_STATUS_BLOCK ioStatusBlock)
{
    if (!IsDevice(deviceObject)) {
        Report(Fault::BadObject, "IoBuildAsynchronousFsdRequest(%p): not a live device", (void*)deviceObject);
        return NULL;
    }
    if (ShouldFail(Resource::Irp))
        return NULL;
    PIRP irp = AllocateIrpInternal(deviceObject->StackSize, IrpKind::Driver);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = (UCHAR)majorFunction;
    if (majorFunction == IRP_MJ_READ || majorFunction == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = length;
        if (startingOffset != NULL)
            next->Parameters.Read.ByteOffset = *startingOffset;
        if (length > 0) {
            PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
            if (mdl != NULL)
                MmBuildMdlForNonPagedPool(mdl);
        }
        irp->UserBuffer = buffer;
    }
    irp->UserIosb = ioStatusBlock;
    return irp;
}

// ----- MDLs ---------------------------------------------------------------------------

namespace emu {
namespace {

struct MdlTable {
    std::mutex lock;
    std::unordered_map<PMDL, bool> live;  // MDL -> built by the I/O manager for a harness or threaded IRP
};

MdlTable& Mdls()
{
    static MdlTable* table = new MdlTable;
    return *table;
}

bool IsLiveMdl(PMDL mdl)
{
    std::lock_guard<std::mutex> guard(Mdls().lock);
    return Mdls().live.count(mdl) != 0;
}

PMDL NewMdl(PVOID address, ULONG length, bool internal)
{
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(address, length);
    size_t bytes = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
    PMDL mdl = (PMDL)calloc(1, bytes);
    mdl->Size = (CSHORT)bytes;
    mdl->StartVa = PAGE_ALIGN(address);
    mdl->ByteOffset = BYTE_OFFSET(address);
    mdl->ByteCount = length;
    std::lock_guard<std::mutex> guard(Mdls().lock);
    Mdls().live[mdl] = internal;
    Count().mdls++;
    return mdl;
}

}  // namespace

// An MDL for a locked, mapped caller buffer (what the I/O manager builds for
// direct I/O).
PMDL AllocateMdlInternal(PVOID address, ULONG length)
{
    PMDL mdl = NewMdl(address, length, true);
    mdl->MdlFlags = MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = address;
    return mdl;
}

PVOID MdlAddressForTransfer(PMDL mdl)
{
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return mdl->MappedSystemVa;
    return MmGetMdlVirtualAddress(mdl);
}

void ReportLiveMdls()
{
    std::lock_guard<std::mutex> guard(Mdls().lock);
    size_t leaked = 0;
    for (auto it = Mdls().live.begin(); it != Mdls().live.end();) {
        if (it->second) {
            ++it;
            continue;
        }
        leaked++;
        Count().mdls--;
        free(it->first);
        it = Mdls().live.erase(it);
    }
    if (leaked > 0)
        Report(Fault::MdlLeak, "%zu MDL(s) from IoAllocateMdl never freed", leaked);
}

}  // namespace emu

extern "C" PMDL NTAPI IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer,
                                    BOOLEAN chargeQuota, PIRP irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "IoAllocateMdl");
    if (ShouldFail(Resource::Mdl))
        return NULL;
    if (length == 0 || length > 0xFFFFFFFFu - PAGE_SIZE)
        return NULL;
    PMDL mdl = NewMdl(virtualAddress, length, false);
    if (irp != NULL) {
        if (!secondaryBuffer) {
            irp->MdlAddress = mdl;
        } else {
            PMDL* tail = &irp->MdlAddress;
            while (*tail != NULL)
                tail = &(*tail)->Next;
            *tail = mdl;
        }
    }
    return mdl;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL mdl)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "IoFreeMdl");
    {
        std::lock_guard<std::mutex> guard(Mdls().lock);
        if (mdl == NULL || Mdls().live.erase(mdl) == 0) {
            Report(Fault::BadMdl, "IoFreeMdl(%p): not a live MDL (freed twice?)", (void*)mdl);
            return;
        }
        Count().mdls--;
    }
    memset((void*)mdl, 0xDD, mdl->Size);
    free(mdl);
}

extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL mdl)
{
    if (!IsLiveMdl(mdl)) {
        Report(Fault::BadMdl, "MmBuildMdlForNonPagedPool(%p): not a live MDL", (void*)mdl);
        return;
    }
    PVOID address = MmGetMdlVirtualAddress(mdl);
    if (!IsNonPagedPoolRange(address, mdl->ByteCount))
        Report(Fault::BadMdl, "MmBuildMdlForNonPagedPool: %p + %u is not inside one nonpaged pool block",
               address, mdl->ByteCount);
    mdl->MappedSystemVa = address;
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode,
                                                    MEMORY_CACHING_TYPE cacheType, PVOID requestedAddress,
                                                    ULONG bugCheckOnFailure, ULONG priority)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "MmMapLockedPagesSpecifyCache");
    if (!IsLiveMdl(mdl)) {
        Report(Fault::BadMdl, "MmMapLockedPagesSpecifyCache(%p): not a live MDL", (void*)mdl);
        return NULL;
    }
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return mdl->MappedSystemVa;
    if (ShouldFail(Resource::Map)) {
        if (bugCheckOnFailure)
            KeBugCheckEx(0x1A /* MEMORY_MANAGEMENT */, (ULONG_PTR)mdl, 0, 0, 0);
        return NULL;
    }
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

extern "C" VOID NTAPI MmUnmapLockedPages(PVOID baseAddress, PMDL mdl)
{
    if (!IsLiveMdl(mdl) || !(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || mdl->MappedSystemVa != baseAddress) {
        Report(Fault::BadMdl, "MmUnmapLockedPages(%p, %p): not mapped there", baseAddress, (void*)mdl);
        return;
    }
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}

extern "C" VOID NTAPI IoBuildPartialMdl(PMDL sourceMdl, PMDL targetMdl, PVOID virtualAddress, ULONG length)
{
    if (!IsLiveMdl(sourceMdl) || !IsLiveMdl(targetMdl)) {
        Report(Fault::BadMdl, "IoBuildPartialMdl(%p, %p): not live MDLs", (void*)sourceMdl, (void*)targetMdl);
        return;
    }
    PCHAR sourceStart = (PCHAR)MmGetMdlVirtualAddress(sourceMdl);
    PCHAR sourceEnd = sourceStart + sourceMdl->ByteCount;
    PCHAR start = (PCHAR)virtualAddress;
    if (length == 0)
        length = (ULONG)(sourceEnd - start);
    if (start < sourceStart || start + length > sourceEnd) {
        Report(Fault::BadMdl, "IoBuildPartialMdl: %p + %u lies outside the source MDL %p + %u",
               virtualAddress, length, (void*)sourceStart, sourceMdl->ByteCount);
        return;
    }
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(virtualAddress, length);
    if ((size_t)targetMdl->Size < sizeof(MDL) + pages * sizeof(PFN_NUMBER)) {
        Report(Fault::BadMdl, "IoBuildPartialMdl: target MDL %p too small for %u pages", (void*)targetMdl,
               pages);
        return;
    }
    targetMdl->StartVa = PAGE_ALIGN(virtualAddress);
    targetMdl->ByteOffset = BYTE_OFFSET(virtualAddress);
    targetMdl->ByteCount = length;
    targetMdl->MdlFlags = (CSHORT)(MDL_PARTIAL | (sourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL));
    if (sourceMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        targetMdl->MappedSystemVa = (PCHAR)sourceMdl->MappedSystemVa + (start - sourceStart);
        if (sourceMdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
            targetMdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    } else {
        targetMdl->MappedSystemVa = NULL;
    }
}

extern "C" VOID NTAPI MmPrepareMdlForReuse(PMDL mdl)
{
    if (mdl->MdlFlags & MDL_PARTIAL) {
        mdl->MdlFlags &= ~(MDL_PARTIAL_HAS_BEEN_MAPPED | MDL_MAPPED_TO_SYSTEM_VA);
        mdl->MappedSystemVa = NULL;
    }
}

// ----- Power ----------------------------------------------------------------------------

extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP irp)
{
    Io().powerStarts++;
}

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    return IofCallDriver(deviceObject, irp);
}

namespace emu {

void SetOwnedSystemBuffer(PIRP irp, ULONG bytes, const void* input, ULONG inputBytes)
{
    if (bytes == 0)
        return;
    irp->AssociatedIrp.SystemBuffer = calloc(1, bytes);
    if (input != nullptr && inputBytes > 0)
        memcpy(irp->AssociatedIrp.SystemBuffer, input, inputBytes);
    HeaderOfIrp(irp)->ownsSystemBuffer = true;
}

}  // namespace emu
