// Typed calls of the driver's control requests over the harness's client.
#include "controlclient.h"

#include <string.h>

namespace control_client {

ControlClient::ControlClient(emu::Machine& machine)
{
    openStatus_ = machine.Open(u"\\\\.\\" + machine.ServiceName(), &client_);
}

NTSTATUS ControlClient::Send(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength)
{
    returned_ = 0;
    return client_.DeviceIoControl(code, in, inLength, out, outLength, &returned_);
}

template <typename Record>
NTSTATUS ControlClient::Exchange(ULONG code, Record* record, bool returnsData)
{
    record->Header.Size = sizeof(Record);
    record->Header.Version = ControlRecordVersion;
    return Send(code, record, sizeof(Record), returnsData ? record : nullptr,
                returnsData ? sizeof(Record) : 0);
}

NTSTATUS ControlClient::GetVersion(VersionRecord* answer)
{
    memset(answer, 0, sizeof(*answer));
    return Send(IoctlCacheGetVersion, nullptr, 0, answer, sizeof(*answer));
}

NTSTATUS ControlClient::GetPoolUsage(ULONGLONG* poolBytes)
{
    PoolUsageRecord record = {};
    NTSTATUS status = Exchange(IoctlCacheGetPoolUsage, &record, true);
    if (NT_SUCCESS(status))
        *poolBytes = record.PoolBytes;
    return status;
}

NTSTATUS ControlClient::GetDiskStats(ULONG deviceNumber, DiskStatsRecord* answer)
{
    memset(answer, 0, sizeof(*answer));
    answer->DeviceNumber = deviceNumber;
    return Exchange(IoctlCacheGetDiskStats, answer, true);
}

NTSTATUS ControlClient::GetDiskId(ULONG deviceNumber, ULONGLONG* diskId)
{
    DiskIdRecord record = {};
    record.DeviceNumber = deviceNumber;
    NTSTATUS status = Exchange(IoctlCacheGetDiskId, &record, true);
    if (NT_SUCCESS(status))
        *diskId = record.DiskId;
    return status;
}

NTSTATUS ControlClient::SetDiskId(ULONG deviceNumber, ULONGLONG diskId)
{
    DiskIdRecord record = {};
    record.DeviceNumber = deviceNumber;
    record.DiskId = diskId;
    return Exchange(IoctlCacheSetDiskId, &record, false);
}

static DiskIdOnlyRecord ById(ULONGLONG diskId)
{
    DiskIdOnlyRecord record = {};
    record.DiskId = diskId;
    return record;
}

NTSTATUS ControlClient::DeleteDiskConfig(ULONGLONG diskId)
{
    DiskIdOnlyRecord record = ById(diskId);
    return Exchange(IoctlCacheDeleteDiskConfig, &record, false);
}

NTSTATUS ControlClient::GetRole(ULONGLONG diskId, UCHAR* role)
{
    RoleRecord record = {};
    record.DiskId = diskId;
    NTSTATUS status = Exchange(IoctlCacheGetRole, &record, true);
    if (NT_SUCCESS(status))
        *role = record.Role;
    return status;
}

NTSTATUS ControlClient::SetRole(ULONGLONG diskId, UCHAR role)
{
    RoleRecord record = {};
    record.DiskId = diskId;
    record.Role = role;
    return Exchange(IoctlCacheSetRole, &record, false);
}

NTSTATUS ControlClient::SaveTimestamp(ULONGLONG diskId)
{
    DiskIdOnlyRecord record = ById(diskId);
    return Exchange(IoctlCacheSaveTimestamp, &record, false);
}

NTSTATUS ControlClient::GetIdentify(ULONG deviceNumber, std::array<UCHAR, 512>* identify)
{
    IdentifyRecord record = {};
    record.DeviceNumber = deviceNumber;
    NTSTATUS status = Exchange(IoctlCacheGetIdentify, &record, true);
    if (NT_SUCCESS(status))
        memcpy(identify->data(), record.Identify, 512);
    return status;
}

NTSTATUS ControlClient::GetMasterConfig(ULONGLONG masterId, MasterConfigAnswer* answer)
{
    MasterConfigRecord record = {};
    record.DiskId = masterId;
    NTSTATUS status = Exchange(IoctlCacheGetMasterConfig, &record, true);
    if (NT_SUCCESS(status)) {
        answer->masterStart = record.MasterStart;
        answer->ssdCacheDiskId = record.SsdCacheDiskId;
        answer->ssdCacheMode = record.SsdCacheMode;
    }
    return status;
}

NTSTATUS ControlClient::SaveMasterConfig(ULONGLONG masterId)
{
    DiskIdOnlyRecord record = ById(masterId);
    return Exchange(IoctlCacheSaveMasterConfig, &record, false);
}

NTSTATUS ControlClient::GetState(ULONGLONG masterId, StateAnswer* answer)
{
    StateRecord record = {};
    record.DiskId = masterId;
    NTSTATUS status = Exchange(IoctlCacheGetState, &record, true);
    if (NT_SUCCESS(status)) {
        answer->active = record.Active;
        answer->blockBytes = record.BlockBytes;
        answer->slotCount = record.SlotCount;
    }
    return status;
}

NTSTATUS ControlClient::GetUsage(ULONGLONG masterId, UsageAnswer* answer)
{
    UsageRecord record = {};
    record.DiskId = masterId;
    NTSTATUS status = Exchange(IoctlCacheGetUsage, &record, true);
    if (NT_SUCCESS(status)) {
        answer->cachedBytes = record.CachedBytes;
        answer->capacityBytes = record.CapacityBytes;
        answer->bootBytes = record.BootBytes;
        answer->otherBytes = record.OtherBytes;
    }
    return status;
}

NTSTATUS ControlClient::SetOptions(ULONGLONG masterId, UCHAR persist, UCHAR idleWriteBack)
{
    OptionsRecord record = {};
    record.DiskId = masterId;
    record.Persist = persist;
    record.IdleWriteBack = idleWriteBack;
    return Exchange(IoctlCacheSetOptions, &record, false);
}

NTSTATUS ControlClient::Start(ULONGLONG masterId, ULONG blockShift, ULONG bootQuota, UCHAR writeMode)
{
    StartRecord record = {};
    record.DiskId = masterId;
    record.BlockShift = blockShift;
    record.BootQuota = bootQuota;
    record.WriteMode = writeMode;
    return Exchange(IoctlCacheStart, &record, false);
}

NTSTATUS ControlClient::Stop(ULONGLONG masterId)
{
    DiskIdOnlyRecord record = ById(masterId);
    return Exchange(IoctlCacheStop, &record, false);
}

NTSTATUS ControlClient::GetSsdArea(ULONGLONG ssdId, SsdAreaAnswer* answer)
{
    SsdAreaRecord record = {};
    record.DiskId = ssdId;
    NTSTATUS status = Exchange(IoctlCacheGetSsdArea, &record, true);
    if (NT_SUCCESS(status)) {
        answer->start = record.Start;
        answer->end = record.End;
        answer->masterDiskId = record.MasterDiskId;
    }
    return status;
}

NTSTATUS ControlClient::SetSsdArea(ULONGLONG ssdId, ULONGLONG start, ULONGLONG end)
{
    SetSsdAreaRecord record = {};
    record.DiskId = ssdId;
    record.Start = start;
    record.End = end;
    return Exchange(IoctlCacheSetSsdArea, &record, false);
}

NTSTATUS ControlClient::ClearSsdArea(ULONGLONG ssdId)
{
    DiskIdOnlyRecord record = ById(ssdId);
    return Exchange(IoctlCacheClearSsdArea, &record, false);
}

NTSTATUS ControlClient::Pair(ULONGLONG masterId, ULONGLONG ssdId, UCHAR mode)
{
    PairRecord record = {};
    record.MasterDiskId = masterId;
    record.SsdDiskId = ssdId;
    record.SsdCacheMode = mode;
    return Exchange(IoctlCachePair, &record, false);
}

NTSTATUS ControlClient::Unpair(ULONGLONG masterId)
{
    DiskIdOnlyRecord record = ById(masterId);
    return Exchange(IoctlCacheUnpair, &record, false);
}

NTSTATUS ControlClient::Configure(ULONG masterNumber, ULONGLONG masterId, ULONG ssdNumber, ULONGLONG ssdId,
                                  ULONGLONG areaStart, ULONGLONG areaEnd, UCHAR mode)
{
    NTSTATUS status = SetDiskId(masterNumber, masterId);
    if (NT_SUCCESS(status))
        status = SetDiskId(ssdNumber, ssdId);
    if (NT_SUCCESS(status))
        status = SetRole(masterId, 1);
    if (NT_SUCCESS(status))
        status = SetRole(ssdId, 2);
    if (NT_SUCCESS(status))
        status = SetSsdArea(ssdId, areaStart, areaEnd);
    if (NT_SUCCESS(status))
        status = Pair(masterId, ssdId, mode);
    return status;
}

}  // namespace control_client
