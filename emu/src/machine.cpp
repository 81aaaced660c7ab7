// The machine harness: boot, PnP, power, shutdown, reboot, the user-mode
// client, harness requests and the unload checks.
#include "disk.h"

#include <fcntl.h>
#include <unistd.h>

namespace emu {
namespace {

Machine* current = nullptr;

std::u16string ServiceKeyPath(std::u16string_view service)
{
    return u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\" + std::u16string(service);
}

}  // namespace

struct PendingIo::State {
    KEVENT done;
    bool finished = false;
    IoResult result;
    void* output = nullptr;  // METHOD_BUFFERED output copied back here
    ULONG outputLength = 0;
};

struct Machine::State {
    MachineConfig config;
    std::vector<std::unique_ptr<Disk>> disks;
    PDRIVER_OBJECT diskDriver = nullptr;
    PDRIVER_OBJECT filterDriver = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    PDRIVER_INITIALIZE entry = nullptr;
    std::u16string registryPath;
    UNICODE_STRING registryPathString = {};
    bool shutdownSent = false;
    bool off = false;
};

namespace {

void HarnessIrpDone(PIRP irp, void* context)
{
    auto* holder = (std::shared_ptr<PendingIo::State>*)context;
    if (irp == nullptr) {  // never completed; the machine forgets it
        delete holder;
        return;
    }
    PendingIo::State& s = **holder;
    s.result.status = irp->IoStatus.Status;
    s.result.information = irp->IoStatus.Information;
    if (s.output != nullptr && irp->AssociatedIrp.SystemBuffer != NULL && !NT_ERROR(irp->IoStatus.Status)) {
        ULONG_PTR n = irp->IoStatus.Information < s.outputLength ? irp->IoStatus.Information : s.outputLength;
        memcpy(s.output, irp->AssociatedIrp.SystemBuffer, n);
    }
    {
        Guard guard(Sched().lock);
        s.finished = true;
        SignalEventLocked(&s.done);
    }
    delete holder;
}

// Sends a harness IRP to device; setup fills the location the device gets.
PendingIo SendIrp(PDEVICE_OBJECT device, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                  void* output = nullptr, ULONG outputLength = 0)
{
    HarnessCall call;
    auto state = std::make_shared<PendingIo::State>();
    InitEventRaw(&state->done, NotificationEvent, false);
    state->output = output;
    state->outputLength = outputLength;
    PIRP irp = AllocateIrpInternal(device->StackSize, IrpKind::Harness);
    SetHarnessCompletion(irp, HarnessIrpDone, new std::shared_ptr<PendingIo::State>(state));
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    setup(irp, next);
    IofCallDriver(device, irp);
    return PendingIo(state);
}

IoResult SendAndWait(PDEVICE_OBJECT device, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                     void* output = nullptr, ULONG outputLength = 0)
{
    return SendIrp(device, setup, output, outputLength).Wait();
}

PendingIo SendTransfer(PDEVICE_OBJECT device, UCHAR major, uint64_t offset, void* buffer, ULONG length,
                       bool mapped, PFILE_OBJECT file, ULONG irpFlags = 0, UCHAR stackFlags = 0)
{
    return SendIrp(
        device,
        [&](PIRP irp, PIO_STACK_LOCATION next) {
            irp->Flags |= irpFlags;
            next->Flags = stackFlags;
            next->MajorFunction = major;
            next->FileObject = file;
            next->Parameters.Read.Length = length;
            next->Parameters.Read.ByteOffset.QuadPart = (LONGLONG)offset;
            irp->UserBuffer = buffer;
            if (length == 0)
                return;
            if (device->Flags & DO_BUFFERED_IO) {
                SetOwnedSystemBuffer(irp, length, major == IRP_MJ_WRITE ? buffer : nullptr, length);
                return;
            }
            PMDL mdl = AllocateMdlInternal(buffer, length);
            if (!mapped) {
                mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
                mdl->MappedSystemVa = NULL;
            }
            irp->MdlAddress = mdl;
        },
        (device->Flags & DO_BUFFERED_IO) && major == IRP_MJ_READ ? buffer : nullptr, length);
}

Disk::State& Of(Disk& disk)
{
    return disk.state();
}

}  // namespace

// ----- PendingIo ---------------------------------------------------------------

PendingIo::PendingIo(std::shared_ptr<State> state) : state_(std::move(state)) {}

bool PendingIo::Done() const
{
    Guard guard(Sched().lock);
    return state_->finished;
}

IoResult PendingIo::Wait()
{
    HarnessCall call;
    Guard guard(Sched().lock);
    while (!state_->finished)
        WaitLocked(guard, &state_->done.Header, nullptr);
    return state_->result;
}

// ----- Disk ------------------------------------------------------------------------

Disk::Disk(std::unique_ptr<State> state) : state_(std::move(state)) {}

Disk::~Disk()
{
    if (state_->fd >= 0)
        close(state_->fd);
}

const DiskConfig& Disk::Config() const
{
    return state_->config;
}
PDEVICE_OBJECT Disk::Pdo() const
{
    return state_->pdo;
}
PDEVICE_OBJECT Disk::Top() const
{
    return state_->pdo ? IoGetAttachedDevice(state_->pdo) : nullptr;
}

void Disk::SetCompletion(CompletionMode mode)
{
    Guard guard(Sched().lock);
    state_->mode = mode;
}

size_t Disk::HeldCount() const
{
    Guard guard(Sched().lock);
    return state_->held.size();
}

void Disk::SetTransferOnArrival(bool onArrival)
{
    Guard guard(Sched().lock);
    state_->transferOnArrival = onArrival;
}

// Set while the disk takes no requests: transfers read it without the lock.
void Disk::SetTransferWatch(TransferWatch watch)
{
    state_->watch = std::move(watch);
}

void Disk::ReleaseHeld(bool newestFirst)
{
    Guard guard(Sched().lock);
    State& d = *state_;
    while (!d.held.empty()) {
        if (newestFirst) {
            QueueForCompletionLocked(d, d.held.back());
            d.held.pop_back();
        } else {
            QueueForCompletionLocked(d, d.held.front());
            d.held.pop_front();
        }
    }
}

void Disk::InjectError(DiskOp op, uint64_t firstSector, uint64_t sectors, NTSTATUS status, LONG times)
{
    Guard guard(Sched().lock);
    state_->errors.push_back({op, firstSector, sectors, status, times});
}

void Disk::FailNth(DiskOp op, ULONG nth, NTSTATUS status)
{
    Guard guard(Sched().lock);
    state_->nth.push_back({op, nth, status});
}

void Disk::ClearErrors()
{
    Guard guard(Sched().lock);
    state_->errors.clear();
    state_->nth.clear();
}

void Disk::SetGone(bool gone)
{
    Guard guard(Sched().lock);
    state_->gone = gone;
}

void Disk::SetIoctlResult(ULONG code, NTSTATUS status)
{
    Guard guard(Sched().lock);
    state_->ioctls[code].hasStatus = true;
    state_->ioctls[code].status = status;
}

void Disk::SetIoctlInformation(ULONG code, ULONG information)
{
    Guard guard(Sched().lock);
    state_->ioctls[code].hasInformation = true;
    state_->ioctls[code].information = information;
}

void Disk::SetIoctlPending(ULONG code, bool pending)
{
    Guard guard(Sched().lock);
    state_->ioctls[code].pending = pending;
}

void Disk::ClearIoctlOverrides()
{
    Guard guard(Sched().lock);
    state_->ioctls.clear();
}

void Disk::SetIdentify(const std::string& model, const std::string& serial)
{
    Guard guard(Sched().lock);
    BuildIdentify(state_->identify, model, serial);
}

void Disk::SetIdentifyData(const uint8_t data[512])
{
    Guard guard(Sched().lock);
    memcpy(state_->identify, data, 512);
}

void Disk::SetIdentifySupported(bool supported)
{
    Guard guard(Sched().lock);
    state_->identifySupported = supported;
}

std::vector<uint8_t> Disk::LastIdentifyInput() const
{
    Guard guard(Sched().lock);
    return state_->lastIdentifyInput;
}

ULONG Disk::LayoutChanges() const
{
    Guard guard(Sched().lock);
    return state_->layoutChanges;
}

void Disk::SetLayoutWrites(std::vector<std::pair<uint64_t, std::vector<uint8_t>>> writes)
{
    Guard guard(Sched().lock);
    state_->layoutWrites = std::move(writes);
}

void Disk::HoldLayoutRequests(bool hold)
{
    Guard guard(Sched().lock);
    state_->holdLayout = hold;
}

bool Disk::LayoutRequestHeld() const
{
    Guard guard(Sched().lock);
    return state_->heldLayout != nullptr;
}

void Disk::ReleaseLayoutRequest()
{
    State& d = *state_;
    PIRP irp;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> writes;
    {
        Guard guard(Sched().lock);
        irp = d.heldLayout;
        d.heldLayout = nullptr;
        writes.swap(d.heldLayoutWrites);
    }
    if (irp == nullptr)
        return;
    for (const auto& write : writes)
        d.WriteData(write.first, write.second.data(), write.second.size());
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    Guard guard(Sched().lock);
    QueueForCompletionLocked(d, irp);
}

void Disk::SetStartResult(NTSTATUS status, bool pend)
{
    Guard guard(Sched().lock);
    state_->startStatus = status;
    state_->startPending = pend;
}

void Disk::SetStopResult(NTSTATUS status)
{
    Guard guard(Sched().lock);
    state_->stopStatus = status;
}

void Disk::SetPowerPending(bool pend)
{
    Guard guard(Sched().lock);
    state_->powerPending = pend;
}

ULONG Disk::StartCount() const
{
    Guard guard(Sched().lock);
    return state_->startCount;
}

ULONG Disk::Count(UCHAR major) const
{
    Guard guard(Sched().lock);
    ULONG n = 0;
    for (ULONG c : state_->counts[major])
        n += c;
    return n;
}

ULONG Disk::Count(UCHAR major, UCHAR minor) const
{
    Guard guard(Sched().lock);
    return state_->counts[major][minor & 31];
}

void Disk::ReadBytes(uint64_t offset, void* buffer, size_t length) const
{
    state_->ReadData(offset, buffer, length);
}
void Disk::WriteBytes(uint64_t offset, const void* buffer, size_t length)
{
    state_->WriteData(offset, buffer, length);
}

size_t Disk::DropUnflushedWrites()
{
    return state_->DropUnflushed();
}

std::vector<uint8_t> Disk::Bytes(uint64_t offset, size_t length) const
{
    std::vector<uint8_t> out(length);
    state_->ReadData(offset, out.data(), length);
    return out;
}

std::vector<DiskRecord> Disk::Requests() const
{
    Guard guard(Sched().lock);
    return state_->records;
}

void Disk::ClearRequests()
{
    Guard guard(Sched().lock);
    state_->records.clear();
    state_->largest = 0;
    state_->maxInDispatch = 0;
    memset(state_->counts, 0, sizeof state_->counts);
}

ULONG Disk::LargestTransfer() const
{
    Guard guard(Sched().lock);
    return state_->largest;
}

void Disk::SetDispatchPause(ULONG microseconds)
{
    Guard guard(Sched().lock);
    state_->dispatchPause = microseconds;
}

ULONG Disk::MaxConcurrentDispatch() const
{
    Guard guard(Sched().lock);
    return state_->maxInDispatch;
}

// ----- Leak checks -------------------------------------------------------------------

LiveObjects Live()
{
    LiveObjects live;
    live.irps = (ULONG)Count().irps.load();
    live.mdls = (ULONG)Count().mdls.load();
    live.devices = LiveDevices();
    live.links = LiveLinks();
    live.handles = HandleCount();
    live.threads = LiveDriverThreads();
    live.references = Count().driverReferences.load();
    return live;
}

void CheckNothingLeft(const char* when)
{
    ReportPoolLeaks();
    ResetPoolForTest();
    ReportDriverIrps();
    ReportLiveMdls();
    ULONG devices = LiveDevices();
    if (devices > 0)
        Report(Fault::DeviceLeak, "%u device(s) of the driver left %s", devices, when);
    ULONG links = LiveLinks();
    if (links > 0)
        Report(Fault::LinkLeak, "%u symbolic link(s) left %s", links, when);
    ResetIo();
    ReportHandles();
    ULONG threads = LiveDriverThreads();
    if (threads > 0) {
        Report(Fault::ThreadLeak, "%u driver thread(s) still running %s", threads, when);
        AbandonDriverThreads();
    }
    LONG references = Count().driverReferences.load();
    if (references != 0)
        Report(Fault::ReferenceLeak, "%d object reference(s) taken by the driver %s %s", references,
               references > 0 ? "not dropped" : "dropped too often,", when);
    if (references != 0)
        IgnoreLiveObjects();
    Count().driverReferences = 0;
}

// ----- Machine -------------------------------------------------------------------------

Machine::Machine(MachineConfig config) : state_(new State)
{
    if (current != nullptr)
        ReportFatal(Fault::BadObject, "two Machines at once");
    current = this;
    state_->config = config;
    reg::Reset();
    ResetIo();
    ResetClock();
    ClearFailures();
    CheckOverlappingRequests(true);
    HoldThreadStarts(false);
    SetWdmVersion(config.wdmMajor, config.wdmMinor);
    state_->registryPath = ServiceKeyPath(config.serviceName);
    reg::CreateKey(state_->registryPath);
    reg::SetDword(state_->registryPath, u"Type", 1);
    reg::SetDword(state_->registryPath, u"Start", 0);
    reg::ClearCounts();
    state_->diskDriver = CreateDiskDriver();
    state_->filterDriver = CreateLowerFilterDriver();
}

Machine::~Machine()
{
    PowerOff();
    DeleteDriverObject(state_->diskDriver);
    DeleteDriverObject(state_->filterDriver);
    ReportOpenIrps();
    ClearFailures();
    current = nullptr;
}

Disk& Machine::AddDisk(DiskConfig config)
{
    auto state = std::make_unique<Disk::State>();
    state->index = state_->disks.size();
    state->config = config;
    state->deviceNumber = config.deviceNumber == MAXULONG ? (ULONG)state->index : config.deviceNumber;
    state->mode = config.completion;
    state->identifySupported = config.identifySupported;
    InitEventRaw(&state->work, SynchronizationEvent, false);
    BuildIdentify(state->identify, config.model, config.serial);
    if (!config.backingFile.empty()) {
        state->fd = open(config.backingFile.c_str(), O_RDWR | O_CREAT, 0644);
        if (state->fd < 0 || ftruncate(state->fd, (off_t)config.lengthBytes) != 0)
            ReportFatal(Fault::BadObject, "cannot create the disk file %s", config.backingFile.c_str());
    }
    Disk::State* raw = state.get();
    state_->disks.push_back(std::make_unique<Disk>(std::move(state)));
    if (state_->driver != nullptr)
        PowerOnDisk(*raw, state_->diskDriver, state_->filterDriver);
    return *state_->disks.back();
}

Disk& Machine::disk(size_t index)
{
    return *state_->disks.at(index);
}
size_t Machine::DiskCount() const
{
    return state_->disks.size();
}
bool Machine::Loaded() const
{
    return state_->driver != nullptr;
}
PDRIVER_OBJECT Machine::Driver() const
{
    return state_->driver;
}
std::u16string Machine::RegistryPath() const
{
    return state_->registryPath;
}
std::u16string Machine::ServiceName() const
{
    return state_->config.serviceName;
}

NTSTATUS Machine::Load(PDRIVER_INITIALIZE entry)
{
    if (entry == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (state_->driver != nullptr)
        ReportFatal(Fault::BadObject, "Machine::Load: a driver is already loaded");
    state_->entry = entry;
    state_->off = false;
    state_->shutdownSent = false;
    for (auto& disk : state_->disks)
        if (Of(*disk).pdo == nullptr)
            PowerOnDisk(Of(*disk), state_->diskDriver, state_->filterDriver);
    PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\" + state_->config.serviceName);
    driver->DriverInit = entry;
    SetDriverUnderTest(driver);
    state_->driver = driver;
    UNICODE_STRING& path = state_->registryPathString;
    path.Buffer = (PWSTR)state_->registryPath.data();
    path.Length = (USHORT)(state_->registryPath.size() * sizeof(WCHAR));
    path.MaximumLength = (USHORT)(path.Length + sizeof(WCHAR));
    NTSTATUS status;
    {
        HarnessCall call;
        status = entry(driver, &path);
    }
    if (!NT_SUCCESS(status)) {
        WaitQuiet();
        CheckNothingLeft("after DriverEntry failed");
        DeleteLeftoverDevices(driver);
        SetDriverUnderTest(nullptr);
        DeleteDriverObject(driver);
        state_->driver = nullptr;
    }
    return status;
}

NTSTATUS Machine::AddDevice(Disk& disk)
{
    if (state_->driver == nullptr || Of(disk).pdo == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    PDRIVER_ADD_DEVICE addDevice = state_->driver->DriverExtension->AddDevice;
    if (addDevice == NULL)
        return STATUS_NOT_SUPPORTED;
    HarnessCall call;
    return addDevice(state_->driver, Of(disk).lowerFilter ? Of(disk).lowerFilter : Of(disk).pdo);
}

NTSTATUS Machine::SendPnp(Disk& disk, UCHAR minor)
{
    if (Of(disk).pdo == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    return SendAndWait(disk.Top(),
                       [&](PIRP irp, PIO_STACK_LOCATION next) {
                           irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
                           next->MajorFunction = IRP_MJ_PNP;
                           next->MinorFunction = minor;
                       })
        .status;
}

NTSTATUS Machine::Start(Disk& disk)
{
    return SendPnp(disk, IRP_MN_START_DEVICE);
}

NTSTATUS Machine::AddAndStartAll()
{
    NTSTATUS first = STATUS_SUCCESS;
    for (auto& disk : state_->disks) {
        NTSTATUS s = AddDevice(*disk);
        if (!NT_SUCCESS(s) && NT_SUCCESS(first))
            first = s;
    }
    for (auto& disk : state_->disks) {
        NTSTATUS s = Start(*disk);
        if (!NT_SUCCESS(s) && NT_SUCCESS(first))
            first = s;
    }
    return first;
}

void Machine::EndBootPhase()
{
    HarnessCall call;
    RunReinitializationRoutines();
}

NTSTATUS Machine::Boot(PDRIVER_INITIALIZE entry)
{
    NTSTATUS status = Load(entry);
    if (!NT_SUCCESS(status))
        return status;
    status = AddAndStartAll();
    EndBootPhase();
    return status;
}

// A veto is followed by the cancel request, as the PnP manager does.
NTSTATUS Machine::QueryRemove(Disk& disk)
{
    NTSTATUS status = SendPnp(disk, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status) && status != STATUS_NO_SUCH_DEVICE)
        SendPnp(disk, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
}

NTSTATUS Machine::QueryStop(Disk& disk)
{
    NTSTATUS status = SendPnp(disk, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status) && status != STATUS_NO_SUCH_DEVICE)
        SendPnp(disk, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
}
NTSTATUS Machine::Stop(Disk& disk)
{
    return SendPnp(disk, IRP_MN_STOP_DEVICE);
}

NTSTATUS Machine::Remove(Disk& disk)
{
    Disk::State& d = Of(disk);
    if (d.pdo == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = SendPnp(disk, IRP_MN_REMOVE_DEVICE);
    WaitQuiet();
    PDEVICE_OBJECT bottom = d.lowerFilter ? d.lowerFilter : d.pdo;
    if (bottom->AttachedDevice != NULL) {
        Report(Fault::DeviceMisuse, "disk %zu: a device is still attached after REMOVE", d.index);
        IoDetachDevice(bottom);
    }
    disk.ReleaseHeld();
    WaitQuiet();
    PowerOffDisk(d);
    return status;
}

NTSTATUS Machine::SurpriseRemove(Disk& disk)
{
    if (Of(disk).pdo == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    disk.SetGone(true);
    SendPnp(disk, IRP_MN_SURPRISE_REMOVAL);
    return Remove(disk);
}

NTSTATUS Machine::Replug(Disk& disk)
{
    if (Of(disk).pdo != nullptr)
        return STATUS_OBJECT_NAME_COLLISION;
    PowerOnDisk(Of(disk), state_->diskDriver, state_->filterDriver);
    return STATUS_SUCCESS;
}

NTSTATUS Machine::SetSystemPower(Disk& disk, SYSTEM_POWER_STATE systemState)
{
    if (Of(disk).pdo == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    return SendAndWait(disk.Top(),
                       [&](PIRP irp, PIO_STACK_LOCATION next) {
                           irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
                           next->MajorFunction = IRP_MJ_POWER;
                           next->MinorFunction = IRP_MN_SET_POWER;
                           next->Parameters.Power.Type = SystemPowerState;
                           next->Parameters.Power.State.SystemState = systemState;
                           next->Parameters.Power.ShutdownType =
                               systemState == PowerSystemHibernate  ? PowerActionHibernate
                               : systemState == PowerSystemWorking  ? PowerActionNone
                               : systemState == PowerSystemShutdown ? PowerActionShutdown
                                                                    : PowerActionSleep;
                       })
        .status;
}

NTSTATUS Machine::SetSystemPower(SYSTEM_POWER_STATE systemState)
{
    NTSTATUS first = STATUS_SUCCESS;
    for (auto& disk : state_->disks) {
        if (Of(*disk).pdo == nullptr)
            continue;
        NTSTATUS s = SetSystemPower(*disk, systemState);
        if (!NT_SUCCESS(s) && NT_SUCCESS(first))
            first = s;
    }
    return first;
}

ULONG Machine::StartNextPowerIrpCount() const
{
    return PowerIrpStarts();
}

static void NotifyShutdown(bool lastChance)
{
    for (PDEVICE_OBJECT registered : ShutdownRegistrations(lastChance)) {
        PDEVICE_OBJECT top = IoGetAttachedDevice(registered);
        AddReference(top, false);
        SendAndWait(top, [](PIRP, PIO_STACK_LOCATION next) { next->MajorFunction = IRP_MJ_SHUTDOWN; });
        DropReference(top, false);
    }
}

void Machine::Shutdown(const std::function<void()>& fileSystems)
{
    state_->shutdownSent = true;
    NotifyShutdown(false);
    if (fileSystems)
        fileSystems();
    WaitQuiet();
    NotifyShutdown(true);
}

void Machine::Unload()
{
    PDRIVER_OBJECT driver = state_->driver;
    if (driver == nullptr)
        return;
    WaitQuiet();
    if (driver->DriverUnload != NULL) {
        HarnessCall call;
        driver->DriverUnload(driver);
    }
    WaitQuiet();
    CheckNothingLeft("at unload");
    DeleteLeftoverDevices(driver);
    SetDriverUnderTest(nullptr);
    DeleteDriverObject(driver);
    state_->driver = nullptr;
}

// Every stack goes: held requests released, REMOVE, devices deleted.
static void RemoveAllStacks(Machine& machine, Machine::State& state)
{
    for (auto& disk : state.disks)
        disk->ReleaseHeld();
    WaitQuiet();
    for (auto& disk : state.disks)
        if (disk->Pdo() != nullptr)
            machine.Remove(*disk);
}

NTSTATUS Machine::Reboot()
{
    if (state_->driver != nullptr && !state_->shutdownSent)
        Shutdown();
    RemoveAllStacks(*this, *state_);
    Unload();
    MoveClock(60 * kSecond);
    return Load(state_->entry);
}

NTSTATUS Machine::PowerCut()
{
    for (auto& disk : state_->disks) {
        Of(*disk).DropUnflushed();
        disk->SetGone(true);
    }
    RemoveAllStacks(*this, *state_);
    Unload();
    for (auto& disk : state_->disks) {
        Of(*disk).DropUnflushed();  // whatever the teardown still managed to write
        disk->SetGone(false);
    }
    MoveClock(60 * kSecond);
    return Load(state_->entry);
}

void Machine::PowerOff()
{
    if (state_->off)
        return;
    state_->off = true;
    if (state_->driver != nullptr && !state_->shutdownSent)
        Shutdown();
    RemoveAllStacks(*this, *state_);
    Unload();
    WaitQuiet();
}

IoResult Machine::Read(Disk& disk, uint64_t offset, void* buffer, ULONG length)
{
    return StartRead(disk, offset, buffer, length).Wait();
}

IoResult Machine::Write(Disk& disk, uint64_t offset, const void* buffer, ULONG length)
{
    return StartWrite(disk, offset, buffer, length).Wait();
}

PendingIo Machine::StartRead(Disk& disk, uint64_t offset, void* buffer, ULONG length, bool mappedMdl,
                             ULONG irpFlags, UCHAR stackFlags)
{
    return SendTransfer(disk.Top(), IRP_MJ_READ, offset, buffer, length, mappedMdl, nullptr, irpFlags,
                        stackFlags);
}

PendingIo Machine::StartWrite(Disk& disk, uint64_t offset, const void* buffer, ULONG length, bool mappedMdl,
                              ULONG irpFlags, UCHAR stackFlags)
{
    return SendTransfer(disk.Top(), IRP_MJ_WRITE, offset, (void*)buffer, length, mappedMdl, nullptr, irpFlags,
                        stackFlags);
}

IoResult Machine::DiskIoControl(Disk& disk, ULONG code, const void* in, ULONG inLength, void* out,
                                ULONG outLength)
{
    ULONG bytes = inLength > outLength ? inLength : outLength;
    return SendAndWait(
        disk.Top(),
        [&](PIRP irp, PIO_STACK_LOCATION next) {
            next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            next->Parameters.DeviceIoControl.IoControlCode = code;
            next->Parameters.DeviceIoControl.InputBufferLength = inLength;
            next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
            SetOwnedSystemBuffer(irp, bytes, in, inLength);
        },
        out, outLength);
}

IoResult Machine::SendMajor(Disk& disk, UCHAR major)
{
    return SendAndWait(disk.Top(), [&](PIRP, PIO_STACK_LOCATION next) { next->MajorFunction = major; });
}

PendingIo Machine::StartIrp(PDEVICE_OBJECT device, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup)
{
    return SendIrp(device, setup);
}

PDEVICE_OBJECT Machine::FindDevice(std::u16string_view deviceName) const
{
    return LookupDeviceByName(deviceName);
}

std::optional<std::u16string> Machine::LinkTarget(std::u16string_view linkName) const
{
    return LookupLink(linkName);
}

LONGLONG Machine::Now() const
{
    return emu::Now();
}
void Machine::AdvanceClock(LONGLONG hundredNanoseconds)
{
    AdvanceClockBy(hundredNanoseconds);
}
void Machine::WaitUntilQuiet()
{
    WaitQuiet();
}

// ----- Client ---------------------------------------------------------------------------

namespace {

void DestroyFile(ObjectHeader* header)
{
    PFILE_OBJECT file = (PFILE_OBJECT)BodyOf(header);
    free(file->FileName.Buffer);
    header->magic = 0;
    free(header);
}

PDEVICE_OBJECT ResolvePath(std::u16string_view path)
{
    std::u16string name(path);
    if (name.compare(0, 4, u"\\\\.\\") == 0)
        name = u"\\DosDevices\\" + name.substr(4);
    for (int hops = 0; hops < 4; ++hops) {
        PDEVICE_OBJECT device = LookupDeviceByName(name);
        if (device != nullptr)
            return device;
        std::optional<std::u16string> target = LookupLink(name);
        if (!target)
            return nullptr;
        name = *target;
    }
    return nullptr;
}

}  // namespace

NTSTATUS Machine::Open(std::u16string_view path, Client* client)
{
    PDEVICE_OBJECT device = ResolvePath(path);
    if (device == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    PFILE_OBJECT file = (PFILE_OBJECT)NewObject(ObjectType::File, sizeof(FILE_OBJECT), DestroyFile);
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->FileName.Buffer = (PWSTR)calloc(path.size() + 1, sizeof(WCHAR));
    memcpy(file->FileName.Buffer, path.data(), path.size() * sizeof(WCHAR));
    file->FileName.Length = (USHORT)(path.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = (USHORT)(file->FileName.Length + sizeof(WCHAR));
    file->ReadAccess = file->WriteAccess = TRUE;
    IoResult r = SendAndWait(top, [&](PIRP irp, PIO_STACK_LOCATION next) {
        next->MajorFunction = IRP_MJ_CREATE;
        next->FileObject = file;
        next->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
        next->Parameters.Create.ShareAccess = 3;
    });
    if (!NT_SUCCESS(r.status)) {
        DropReference(file, false);
        return r.status;
    }
    *client = Client(this, file);
    return r.status;
}

Client::Client(Client&& other) noexcept : machine_(other.machine_), file_(other.file_)
{
    other.machine_ = nullptr;
    other.file_ = nullptr;
}

Client& Client::operator=(Client&& other) noexcept
{
    if (this != &other) {
        Close();
        machine_ = other.machine_;
        file_ = other.file_;
        other.machine_ = nullptr;
        other.file_ = nullptr;
    }
    return *this;
}

Client::~Client()
{
    Close();
}

NTSTATUS Client::DeviceIoControl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                                 ULONG* returned)
{
    if (returned != nullptr)
        *returned = 0;
    if (file_ == nullptr)
        return STATUS_INVALID_HANDLE;
    PDEVICE_OBJECT top = IoGetAttachedDevice(file_->DeviceObject);
    ULONG bytes = inLength > outLength ? inLength : outLength;
    IoResult r = SendAndWait(
        top,
        [&](PIRP irp, PIO_STACK_LOCATION next) {
            next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            next->FileObject = file_;
            next->Parameters.DeviceIoControl.IoControlCode = code;
            next->Parameters.DeviceIoControl.InputBufferLength = inLength;
            next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
            if (METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER) {
                next->Parameters.DeviceIoControl.Type3InputBuffer = (PVOID)in;
                irp->UserBuffer = out;
            } else {
                SetOwnedSystemBuffer(irp, bytes, in, inLength);
            }
        },
        METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER ? nullptr : out, outLength);
    if (returned != nullptr && !NT_ERROR(r.status))
        *returned = (ULONG)(r.information < outLength ? r.information : outLength);
    return r.status;
}

IoResult Client::Read(void* buffer, ULONG length, uint64_t offset)
{
    if (file_ == nullptr)
        return {STATUS_INVALID_HANDLE, 0};
    return SendTransfer(IoGetAttachedDevice(file_->DeviceObject), IRP_MJ_READ, offset, buffer, length, true,
                        file_)
        .Wait();
}

IoResult Client::Write(const void* buffer, ULONG length, uint64_t offset)
{
    if (file_ == nullptr)
        return {STATUS_INVALID_HANDLE, 0};
    return SendTransfer(IoGetAttachedDevice(file_->DeviceObject), IRP_MJ_WRITE, offset, (void*)buffer, length,
                        true, file_)
        .Wait();
}

void Client::Close()
{
    if (file_ == nullptr)
        return;
    PFILE_OBJECT file = file_;
    file_ = nullptr;
    if (IsLiveObject(file->DeviceObject)) {
        PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
        for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
            SendAndWait(top, [&](PIRP, PIO_STACK_LOCATION next) {
                next->MajorFunction = major;
                next->FileObject = file;
            });
    }
    DropReference(file, false);
    machine_ = nullptr;
}

}  // namespace emu
