// The control device's requests: each finds the disk its record names, checks
// its role and state, writes the registry values it changes, then changes
// memory. The dispatcher (control.cpp) has checked the record's length and
// header and holds the control lock.
#include "tolvarn.h"
#include "controlrequests.h"
#include "config.h"
#include "cachestate.h"
#include "controlrecords.h"
#include "destage.h"
#include "identity.h"
#include "lifecycle.h"
#include "pnp.h"
#include "worker.h"

const UCHAR AnyRole = 0xFF;

// The first disk with that id (id 0: the first disk without one), when its
// role is the one asked for.
static PDEVICE_OBJECT DiskById(ULONGLONG diskId, UCHAR role)
{
    PDEVICE_OBJECT device = FindDeviceByDiskId(diskId);
    if (!device)
        return NULL;
    if (role != AnyRole && FilterExtensionOf(device)->Role != role)
        return NULL;
    return device;
}

static bool IsInactive(PDEVICE_OBJECT master)
{
    return CacheStateOf(&FilterExtensionOf(master)->Cache) == CacheInactive;
}

// True while the master this SSD names holds a map bound to it. The SSD's
// pairing, area and role must not change under such a map: the map would
// outgrow a new area, and an SSD no longer known as the master's could be
// removed while the map still uses it.
static bool SsdHasBoundMap(PDEVICE_OBJECT ssd)
{
    ULONGLONG masterId = FilterExtensionOf(ssd)->Area.MasterDiskId;
    if (masterId == 0)
        return false;
    PDEVICE_OBJECT master = FindDeviceByDiskId(masterId);
    return master && FilterExtensionOf(master)->Cache.Map.SsdDevice == ssd;
}

// ---- Driver and disks --------------------------------------------------------------

static NTSTATUS GetPoolUsage(UCHAR* bytes)
{
    PoolUsageRecord* record = reinterpret_cast<PoolUsageRecord*>(bytes);
    record->PoolBytes = PoolBytes;
    return STATUS_SUCCESS;
}

static NTSTATUS GetDiskStats(UCHAR* bytes)
{
    DiskStatsRecord* record = reinterpret_cast<DiskStatsRecord*>(bytes);
    PDEVICE_OBJECT disk = FindDeviceByNumber(record->DeviceNumber);
    if (!disk)
        return STATUS_INVALID_DEVICE_REQUEST;
    const DiskStats* stats = &FilterExtensionOf(disk)->Stats;
    record->ReadsIn = stats->ReadsIn;
    record->WritesIn = stats->WritesIn;
    record->ReadsDown = stats->ReadsDown;
    record->WritesDown = stats->WritesDown;
    record->SectorsReadIn = stats->SectorsReadIn;
    record->SectorsWrittenIn = stats->SectorsWrittenIn;
    record->SectorsReadDown = stats->SectorsReadDown;
    record->SectorsWrittenDown = stats->SectorsWrittenDown;
    return STATUS_SUCCESS;
}

static NTSTATUS GetDiskId(UCHAR* bytes)
{
    DiskIdRecord* record = reinterpret_cast<DiskIdRecord*>(bytes);
    if (record->DeviceNumber == 0xFFFFFFFF)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT disk = FindDeviceByNumber(record->DeviceNumber);
    if (!disk)
        return STATUS_INVALID_DEVICE_REQUEST;
    record->DiskId = FilterExtensionOf(disk)->DiskId;
    return STATUS_SUCCESS;
}

// Ids are unique and given once: a disk keeps its id until its configuration
// is deleted.
static NTSTATUS SetDiskId(UCHAR* bytes)
{
    const DiskIdRecord* record = reinterpret_cast<const DiskIdRecord*>(bytes);
    ULONGLONG id = record->DiskId;
    if (id == 0)
        return STATUS_INVALID_PARAMETER;
    if (FindDeviceByDiskId(id))
        return STATUS_INVALID_DEVICE_REQUEST;
    PDEVICE_OBJECT disk = FindDeviceByNumber(record->DeviceNumber);
    if (!disk || FilterExtensionOf(disk)->DiskId != 0)
        return STATUS_INVALID_DEVICE_REQUEST;
    FilterExtension* ext = FilterExtensionOf(disk);
    NTSTATUS status = SaveDiskQword(ext, ValueDiskId, id);
    if (!NT_SUCCESS(status))
        return status;
    ext->DiskId = id;
    return STATUS_SUCCESS;
}

static NTSTATUS DeleteDiskConfig(UCHAR* bytes)
{
    const DiskIdOnlyRecord* record = reinterpret_cast<const DiskIdOnlyRecord*>(bytes);
    PDEVICE_OBJECT disk = DiskById(record->DiskId, AnyRole);
    if (!disk)
        return STATUS_INVALID_DEVICE_REQUEST;
    FilterExtension* ext = FilterExtensionOf(disk);
    if (ext->Role != RoleNone)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = DeleteDiskKey(ext);
    if (!NT_SUCCESS(status))
        return status;
    ext->DiskId = 0;
    ClearDiskConfig(ext);
    return STATUS_SUCCESS;
}

static NTSTATUS GetRole(UCHAR* bytes)
{
    RoleRecord* record = reinterpret_cast<RoleRecord*>(bytes);
    PDEVICE_OBJECT disk = DiskById(record->DiskId, AnyRole);
    if (!disk)
        return STATUS_INVALID_DEVICE_REQUEST;
    record->Role = FilterExtensionOf(disk)->Role;
    return STATUS_SUCCESS;
}

// A master's role stays while its cache is not inactive (its requests are
// routed through the cache by role, and shutdown flushes only masters), and
// an SSD's while a map is bound to it. Setting the role a disk already has
// changes nothing and is always accepted.
static bool RoleMayChange(PDEVICE_OBJECT disk)
{
    switch (FilterExtensionOf(disk)->Role) {
    case RoleMaster: return IsInactive(disk);
    case RoleSsd: return !SsdHasBoundMap(disk);
    default: return true;
    }
}

static NTSTATUS SetRole(UCHAR* bytes)
{
    const RoleRecord* record = reinterpret_cast<const RoleRecord*>(bytes);
    PDEVICE_OBJECT disk = DiskById(record->DiskId, AnyRole);
    if (!disk)
        return STATUS_INVALID_DEVICE_REQUEST;
    FilterExtension* ext = FilterExtensionOf(disk);
    if (ext->Role != record->Role && !RoleMayChange(disk))
        return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = SaveDiskDword(ext, ValueConfigType, record->Role);
    if (!NT_SUCCESS(status))
        return status;
    ext->Role = record->Role;
    return STATUS_SUCCESS;
}

static NTSTATUS SaveTimestamp(UCHAR* bytes)
{
    const DiskIdOnlyRecord* record = reinterpret_cast<const DiskIdOnlyRecord*>(bytes);
    PDEVICE_OBJECT disk = DiskById(record->DiskId, AnyRole);
    if (!disk)
        return STATUS_INVALID_DEVICE_REQUEST;
    FilterExtension* ext = FilterExtensionOf(disk);
    return SaveDiskQword(ext, ValueTimeStamp, ext->TimeStamp);
}

static NTSTATUS GetIdentify(UCHAR* bytes)
{
    IdentifyRecord* record = reinterpret_cast<IdentifyRecord*>(bytes);
    PDEVICE_OBJECT disk = FindDeviceByNumber(record->DeviceNumber);
    if (!disk || !FilterExtensionOf(disk)->Identify)
        return STATUS_INVALID_DEVICE_REQUEST;
    RtlCopyMemory(record->Identify, FilterExtensionOf(disk)->Identify, IdentifyDataBytes);
    return STATUS_SUCCESS;
}

// ---- Masters -----------------------------------------------------------------------

static NTSTATUS GetMasterConfig(UCHAR* bytes)
{
    MasterConfigRecord* record = reinterpret_cast<MasterConfigRecord*>(bytes);
    PDEVICE_OBJECT master = DiskById(record->DiskId, RoleMaster);
    if (!master)
        return STATUS_INVALID_DEVICE_REQUEST;
    const MasterConfig* config = &FilterExtensionOf(master)->Master;
    record->MasterStart = (UCHAR)config->MasterStart;
    record->SsdCacheDiskId = config->SsdCacheDiskId;
    record->SsdCacheMode = config->SsdCacheMode;
    return STATUS_SUCCESS;
}

static NTSTATUS SaveMasterConfig(UCHAR* bytes)
{
    const DiskIdOnlyRecord* record = reinterpret_cast<const DiskIdOnlyRecord*>(bytes);
    PDEVICE_OBJECT master = DiskById(record->DiskId, RoleMaster);
    if (!master)
        return STATUS_INVALID_DEVICE_REQUEST;
    return SaveMasterSettings(FilterExtensionOf(master));
}

// A snapshot: the worker may change the state meanwhile.
static NTSTATUS GetState(UCHAR* bytes)
{
    StateRecord* record = reinterpret_cast<StateRecord*>(bytes);
    PDEVICE_OBJECT master = DiskById(record->DiskId, RoleMaster);
    if (!master)
        return STATUS_INVALID_DEVICE_REQUEST;
    const CacheState* cache = &FilterExtensionOf(master)->Cache;
    record->Active = (UCHAR)cache->Active;
    record->BlockBytes = 0;
    record->SlotCount = 0;
    if (cache->Map.SsdDevice) {
        record->BlockBytes = 1u << cache->Map.BlockShiftBytes;
        record->SlotCount = cache->Map.Slots.SlotCount;
    }
    return STATUS_SUCCESS;
}

// On the master's worker, which frees the map when a drain ends: counted from
// the client's thread, the bitmap could be freed under the count.
static void ReadUsage(PDEVICE_OBJECT master, PVOID context)
{
    UsageRecord* record = static_cast<UsageRecord*>(context);
    const CacheMap* map = &FilterExtensionOf(master)->Cache.Map;
    record->CachedBytes = CachedBytes(master);
    record->CapacityBytes = 0;
    record->BootBytes = 0;
    record->OtherBytes = 0;
    if (map->SsdDevice) {
        ULONG shift = map->BlockShiftBytes;
        record->CapacityBytes = (ULONGLONG)map->Slots.SlotCount << shift;
        record->BootBytes = (ULONGLONG)map->Slots.BootSlots << shift;
        record->OtherBytes = (ULONGLONG)map->Slots.OtherSlots << shift;
    }
}

static NTSTATUS GetUsage(UCHAR* bytes)
{
    UsageRecord* record = reinterpret_cast<UsageRecord*>(bytes);
    PDEVICE_OBJECT master = DiskById(record->DiskId, RoleMaster);
    if (!master)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!RunOnWorker(master, ReadUsage, record))
        ReadUsage(master, record);
    return STATUS_SUCCESS;
}

static NTSTATUS SetOptions(UCHAR* bytes)
{
    const OptionsRecord* record = reinterpret_cast<const OptionsRecord*>(bytes);
    PDEVICE_OBJECT master = DiskById(record->DiskId, RoleMaster);
    if (!master)
        return STATUS_INVALID_DEVICE_REQUEST;
    CacheState* cache = &FilterExtensionOf(master)->Cache;
    cache->Persist = record->Persist;
    cache->IdleWriteBack = record->IdleWriteBack;
    return STATUS_SUCCESS;
}

// The settings stay stored when the start fails; the block shift serves only
// a fresh layout, which the start checks before it builds one.
static NTSTATUS Start(UCHAR* bytes)
{
    const StartRecord* record = reinterpret_cast<const StartRecord*>(bytes);
    PDEVICE_OBJECT master = DiskById(record->DiskId, RoleMaster);
    if (!master)
        return STATUS_INVALID_DEVICE_REQUEST;
    FilterExtension* ext = FilterExtensionOf(master);
    if (ext->Master.SsdCacheDiskId == 0)
        return STATUS_SUCCESS;
    ext->Cache.StartBlockShift = record->BlockShift;
    ext->Master.SsdCacheMinBoot = record->BootQuota;
    ext->Master.SsdCacheWriteMode = record->WriteMode;
    ext->Master.MasterStart = 1;
    return StartCache(master);
}

static NTSTATUS Stop(UCHAR* bytes)
{
    const DiskIdOnlyRecord* record = reinterpret_cast<const DiskIdOnlyRecord*>(bytes);
    PDEVICE_OBJECT master = DiskById(record->DiskId, RoleMaster);
    if (!master)
        return STATUS_INVALID_DEVICE_REQUEST;
    return StopCache(master);
}

// ---- SSDs and pairing --------------------------------------------------------------

static NTSTATUS GetSsdArea(UCHAR* bytes)
{
    SsdAreaRecord* record = reinterpret_cast<SsdAreaRecord*>(bytes);
    PDEVICE_OBJECT ssd = DiskById(record->DiskId, RoleSsd);
    if (!ssd)
        return STATUS_INVALID_DEVICE_REQUEST;
    const CacheAreaConfig* area = &FilterExtensionOf(ssd)->Area;
    record->Start = area->SsdCacheStart;
    record->End = area->SsdCacheEnd;
    record->MasterDiskId = area->MasterDiskId;
    return STATUS_SUCCESS;
}

// Whole sectors inside the disk: the header sector is addressed as the
// start's sector, so a start within a sector would put the header, and the
// wipe of it, partly before the area.
static bool AreaFitsDisk(const FilterExtension* ssd, ULONGLONG start, ULONGLONG end)
{
    ULONGLONG sectorMask = (1ull << ssd->SectorShift) - 1;
    if ((start & sectorMask) != 0 || (end & sectorMask) != 0)
        return false;
    return (end >> ssd->SectorShift) <= ssd->LengthSectors;
}

// The area's two values change together: when the second write fails the
// first is put back, so the next boot never loads half of a new area.
static NTSTATUS SetSsdArea(UCHAR* bytes)
{
    const SetSsdAreaRecord* record = reinterpret_cast<const SetSsdAreaRecord*>(bytes);
    if (record->Start >= record->End)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT ssd = DiskById(record->DiskId, RoleSsd);
    if (!ssd)
        return STATUS_INVALID_DEVICE_REQUEST;
    FilterExtension* ext = FilterExtensionOf(ssd);
    if (ext->SectorShift == 0 || ext->LengthSectors == 0)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!AreaFitsDisk(ext, record->Start, record->End))
        return STATUS_INVALID_PARAMETER;
    if (SsdHasBoundMap(ssd))
        return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = SaveDiskQword(ext, ValueSsdCacheStart, record->Start);
    if (!NT_SUCCESS(status))
        return status;
    status = SaveDiskQword(ext, ValueSsdCacheEnd, record->End);
    if (!NT_SUCCESS(status)) {
        SaveDiskQword(ext, ValueSsdCacheStart, ext->Area.SsdCacheStart);
        return status;
    }
    ext->Area.SsdCacheStart = record->Start;
    ext->Area.SsdCacheEnd = record->End;
    return STATUS_SUCCESS;
}

// The end goes first: an end of 0 leaves no usable area whatever the start,
// so a failure to clear the start still clears the area. Memory keeps the
// start the registry kept, as the next boot will load it.
static NTSTATUS ClearSsdArea(UCHAR* bytes)
{
    const DiskIdOnlyRecord* record = reinterpret_cast<const DiskIdOnlyRecord*>(bytes);
    PDEVICE_OBJECT ssd = DiskById(record->DiskId, RoleSsd);
    if (!ssd || SsdHasBoundMap(ssd))
        return STATUS_INVALID_DEVICE_REQUEST;
    FilterExtension* ext = FilterExtensionOf(ssd);
    NTSTATUS status = SaveDiskQword(ext, ValueSsdCacheEnd, 0);
    if (!NT_SUCCESS(status))
        return status;
    ext->Area.SsdCacheEnd = 0;
    if (NT_SUCCESS(SaveDiskQword(ext, ValueSsdCacheStart, 0)))
        ext->Area.SsdCacheStart = 0;
    return STATUS_SUCCESS;
}

// A master may be paired only while its cache is inactive and not set to
// start, with an SSD that names no master and has the same, known sector size.
static bool MayPair(PDEVICE_OBJECT master, PDEVICE_OBJECT ssd)
{
    const FilterExtension* m = FilterExtensionOf(master);
    const FilterExtension* s = FilterExtensionOf(ssd);
    if (m->Master.MasterStart != 0 || !IsInactive(master))
        return false;
    if (s->Area.MasterDiskId != 0)
        return false;
    return m->SectorShift != 0 && m->SectorShift == s->SectorShift;
}

// Three writes; a failure puts back what the earlier ones replaced, so the
// registry keeps the pairing that memory keeps.
static NTSTATUS SavePairing(FilterExtension* master, FilterExtension* ssd, ULONGLONG masterId,
                            ULONGLONG ssdId, UCHAR mode)
{
    NTSTATUS status = SaveDiskQword(ssd, ValueMasterDiskId, masterId);
    if (!NT_SUCCESS(status))
        return status;
    status = SaveDiskQword(master, ValueSsdDiskId, ssdId);
    if (NT_SUCCESS(status)) {
        status = SaveDiskDword(master, ValueSsdMode, mode);
        if (!NT_SUCCESS(status))
            SaveDiskQword(master, ValueSsdDiskId, master->Master.SsdCacheDiskId);
    }
    if (!NT_SUCCESS(status))
        SaveDiskQword(ssd, ValueMasterDiskId, ssd->Area.MasterDiskId);
    return status;
}

static NTSTATUS Pair(UCHAR* bytes)
{
    const PairRecord* record = reinterpret_cast<const PairRecord*>(bytes);
    PDEVICE_OBJECT master = DiskById(record->MasterDiskId, RoleMaster);
    PDEVICE_OBJECT ssd = DiskById(record->SsdDiskId, RoleSsd);
    if (!master || !ssd || !MayPair(master, ssd))
        return STATUS_INVALID_DEVICE_REQUEST;
    FilterExtension* m = FilterExtensionOf(master);
    FilterExtension* s = FilterExtensionOf(ssd);
    NTSTATUS status = SavePairing(m, s, record->MasterDiskId, record->SsdDiskId, record->SsdCacheMode);
    if (!NT_SUCCESS(status))
        return status;
    s->Area.MasterDiskId = record->MasterDiskId;
    m->Master.SsdCacheDiskId = record->SsdDiskId;
    m->Master.SsdCacheMode = record->SsdCacheMode;
    return STATUS_SUCCESS;
}

// When the SSD's write fails the master's value is put back, so that the
// pairing stays whole in the registry as in memory and can be undone again.
static NTSTATUS Unpair(UCHAR* bytes)
{
    const DiskIdOnlyRecord* record = reinterpret_cast<const DiskIdOnlyRecord*>(bytes);
    PDEVICE_OBJECT master = DiskById(record->DiskId, RoleMaster);
    if (!master)
        return STATUS_INVALID_DEVICE_REQUEST;
    FilterExtension* m = FilterExtensionOf(master);
    PDEVICE_OBJECT ssd = DiskById(m->Master.SsdCacheDiskId, RoleSsd);
    if (!ssd || SsdHasBoundMap(ssd) || m->Cache.Map.SsdDevice == ssd)
        return STATUS_INVALID_DEVICE_REQUEST;
    FilterExtension* s = FilterExtensionOf(ssd);
    NTSTATUS status = SaveDiskQword(m, ValueSsdDiskId, 0);
    if (!NT_SUCCESS(status))
        return status;
    status = SaveDiskQword(s, ValueMasterDiskId, 0);
    if (!NT_SUCCESS(status)) {
        SaveDiskQword(m, ValueSsdDiskId, m->Master.SsdCacheDiskId);
        return status;
    }
    m->Master.SsdCacheDiskId = 0;
    s->Area.MasterDiskId = 0;
    return STATUS_SUCCESS;
}

// ---- Table -------------------------------------------------------------------------

static const ControlRequest Requests[] = {
    {IoctlCacheGetPoolUsage, sizeof(PoolUsageRecord), true, GetPoolUsage},
    {IoctlCacheGetDiskStats, sizeof(DiskStatsRecord), true, GetDiskStats},
    {IoctlCacheGetDiskId, sizeof(DiskIdRecord), true, GetDiskId},
    {IoctlCacheSetDiskId, sizeof(DiskIdRecord), false, SetDiskId},
    {IoctlCacheDeleteDiskConfig, sizeof(DiskIdOnlyRecord), false, DeleteDiskConfig},
    {IoctlCacheGetRole, sizeof(RoleRecord), true, GetRole},
    {IoctlCacheSetRole, sizeof(RoleRecord), false, SetRole},
    {IoctlCacheSaveTimestamp, sizeof(DiskIdOnlyRecord), false, SaveTimestamp},
    {IoctlCacheGetIdentify, sizeof(IdentifyRecord), true, GetIdentify},
    {IoctlCacheGetMasterConfig, sizeof(MasterConfigRecord), true, GetMasterConfig},
    {IoctlCacheSaveMasterConfig, sizeof(DiskIdOnlyRecord), false, SaveMasterConfig},
    {IoctlCacheGetState, sizeof(StateRecord), true, GetState},
    {IoctlCacheGetUsage, sizeof(UsageRecord), true, GetUsage},
    {IoctlCacheSetOptions, sizeof(OptionsRecord), false, SetOptions},
    {IoctlCacheStart, sizeof(StartRecord), false, Start},
    {IoctlCacheStop, sizeof(DiskIdOnlyRecord), false, Stop},
    {IoctlCacheGetSsdArea, sizeof(SsdAreaRecord), true, GetSsdArea},
    {IoctlCacheSetSsdArea, sizeof(SetSsdAreaRecord), false, SetSsdArea},
    {IoctlCacheClearSsdArea, sizeof(DiskIdOnlyRecord), false, ClearSsdArea},
    {IoctlCachePair, sizeof(PairRecord), false, Pair},
    {IoctlCacheUnpair, sizeof(DiskIdOnlyRecord), false, Unpair},
};

static_assert(sizeof(IdentifyRecord) == MaxControlRecordSize, "the largest record");

const ControlRequest* FindControlRequest(ULONG code)
{
    for (ULONG i = 0; i < sizeof(Requests) / sizeof(Requests[0]); i++) {
        if (Requests[i].Code == code)
            return &Requests[i];
    }
    return NULL;
}
