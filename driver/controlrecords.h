// The control device's request codes and records, byte for byte: packed,
// little-endian, every field at a fixed offset (some 64-bit fields at odd
// ones). Shared by the driver and its clients: it needs only the Windows base
// types (ULONG 32-bit, ULONGLONG 64-bit, UCHAR 8-bit) from whichever header
// the includer uses, the kernel's or user mode's.
//
// A record is never read in place from a caller's buffer: its bytes are
// copied into a local record first (and back), and the fields are reached
// only by name, which the compiler reads byte-safely in a packed record.
#pragma once

#include <stddef.h>

const ULONG ControlDriverVersion = 204;
const ULONG ControlRecordVersion = 203;

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
#define TOLVARN_CONTROL_CODE(function) ((0x22u << 16) | ((ULONG)(function) << 2))

enum ControlCode : ULONG {
    IoctlCacheGetVersion = TOLVARN_CONTROL_CODE(0x800),
    IoctlCacheGetPoolUsage = TOLVARN_CONTROL_CODE(0x801),
    IoctlCacheGetDiskStats = TOLVARN_CONTROL_CODE(0x810),
    IoctlCacheGetDiskId = TOLVARN_CONTROL_CODE(0x811),
    IoctlCacheSetDiskId = TOLVARN_CONTROL_CODE(0x812),
    IoctlCacheDeleteDiskConfig = TOLVARN_CONTROL_CODE(0x813),
    IoctlCacheGetRole = TOLVARN_CONTROL_CODE(0x814),
    IoctlCacheSetRole = TOLVARN_CONTROL_CODE(0x815),
    IoctlCacheSaveTimestamp = TOLVARN_CONTROL_CODE(0x816),
    IoctlCacheGetIdentify = TOLVARN_CONTROL_CODE(0x817),
    IoctlCacheGetMasterConfig = TOLVARN_CONTROL_CODE(0x820),
    IoctlCacheSaveMasterConfig = TOLVARN_CONTROL_CODE(0x821),
    IoctlCacheGetState = TOLVARN_CONTROL_CODE(0x822),
    IoctlCacheGetUsage = TOLVARN_CONTROL_CODE(0x823),
    IoctlCacheSetOptions = TOLVARN_CONTROL_CODE(0x824),
    IoctlCacheStart = TOLVARN_CONTROL_CODE(0x825),
    IoctlCacheStop = TOLVARN_CONTROL_CODE(0x826),
    IoctlCacheGetSsdArea = TOLVARN_CONTROL_CODE(0x830),
    IoctlCacheSetSsdArea = TOLVARN_CONTROL_CODE(0x831),
    IoctlCacheClearSsdArea = TOLVARN_CONTROL_CODE(0x832),
    IoctlCachePair = TOLVARN_CONTROL_CODE(0x833),
    IoctlCacheUnpair = TOLVARN_CONTROL_CODE(0x834),
};

#pragma pack(push, 1)

// The answer of the version query; it has no header.
struct VersionRecord {
    ULONG Size;  // 16
    ULONG DriverVersion;
    ULONG RecordVersion;
    ULONG OpenNumber;  // the handle's open number
};

// Opens every other record.
struct ControlHeader {
    ULONG Size;     // the exact size of the record
    ULONG Version;  // ControlRecordVersion
};

// A disk named by its id only: delete config, save timestamp, save master
// config, stop, clear SSD area, unpair.
struct DiskIdOnlyRecord {
    ControlHeader Header;
    ULONGLONG DiskId;
};

struct PoolUsageRecord {
    ControlHeader Header;
    ULONGLONG PoolBytes;  // out
};

struct DiskStatsRecord {
    ControlHeader Header;
    ULONG DeviceNumber;
    ULONG ReadsIn;  // out from here on
    ULONG WritesIn;
    ULONG ReadsDown;
    ULONG WritesDown;
    ULONGLONG SectorsReadIn;
    ULONGLONG SectorsWrittenIn;
    ULONGLONG SectorsReadDown;
    ULONGLONG SectorsWrittenDown;
};

// Get (DiskId out) and set (DiskId in) of a disk's id, by device number.
struct DiskIdRecord {
    ControlHeader Header;
    ULONG DeviceNumber;
    ULONGLONG DiskId;
};

// Get (Role out) and set (Role in) of a disk's role.
struct RoleRecord {
    ControlHeader Header;
    ULONGLONG DiskId;
    UCHAR Role;
};

struct IdentifyRecord {
    ControlHeader Header;
    ULONG DeviceNumber;
    UCHAR Identify[512];  // out: ATA IDENTIFY DEVICE data
};

struct MasterConfigRecord {
    ControlHeader Header;
    ULONGLONG DiskId;
    UCHAR MasterStart;  // out from here on
    ULONGLONG SsdCacheDiskId;
    UCHAR SsdCacheMode;
};

struct StateRecord {
    ControlHeader Header;
    ULONGLONG DiskId;
    UCHAR Active;     // out from here on
    ULONG BlockBytes;  // 0 without an SSD
    ULONG SlotCount;   // 0 without an SSD
};

struct UsageRecord {
    ControlHeader Header;
    ULONGLONG DiskId;
    ULONGLONG CachedBytes;  // out from here on
    ULONGLONG CapacityBytes;
    ULONGLONG BootBytes;
    ULONGLONG OtherBytes;
};

struct OptionsRecord {
    ControlHeader Header;
    ULONGLONG DiskId;
    UCHAR Persist;
    UCHAR IdleWriteBack;
};

struct StartRecord {
    ControlHeader Header;
    ULONGLONG DiskId;
    ULONG BlockShift;  // log2 of the block size in bytes
    ULONG BootQuota;
    UCHAR WriteMode;
};

struct SsdAreaRecord {
    ControlHeader Header;
    ULONGLONG DiskId;
    ULONGLONG Start;  // out from here on: bytes on the SSD
    ULONGLONG End;
    ULONGLONG MasterDiskId;
};

struct SetSsdAreaRecord {
    ControlHeader Header;
    ULONGLONG DiskId;
    ULONGLONG Start;  // bytes on the SSD
    ULONGLONG End;
};

struct PairRecord {
    ControlHeader Header;
    ULONGLONG MasterDiskId;
    ULONGLONG SsdDiskId;
    UCHAR SsdCacheMode;
};

#pragma pack(pop)

#define TOLVARN_RECORD_FIELD(record, field, offset) \
    static_assert(offsetof(record, field) == (offset), #record "." #field " at " #offset)

static_assert(sizeof(VersionRecord) == 16, "VersionRecord size");
TOLVARN_RECORD_FIELD(VersionRecord, DriverVersion, 4);
TOLVARN_RECORD_FIELD(VersionRecord, RecordVersion, 8);
TOLVARN_RECORD_FIELD(VersionRecord, OpenNumber, 12);

static_assert(sizeof(ControlHeader) == 8, "ControlHeader size");
TOLVARN_RECORD_FIELD(ControlHeader, Version, 4);

static_assert(sizeof(DiskIdOnlyRecord) == 16, "DiskIdOnlyRecord size");
TOLVARN_RECORD_FIELD(DiskIdOnlyRecord, DiskId, 8);

static_assert(sizeof(PoolUsageRecord) == 16, "PoolUsageRecord size");
TOLVARN_RECORD_FIELD(PoolUsageRecord, PoolBytes, 8);

static_assert(sizeof(DiskStatsRecord) == 60, "DiskStatsRecord size");
TOLVARN_RECORD_FIELD(DiskStatsRecord, DeviceNumber, 8);
TOLVARN_RECORD_FIELD(DiskStatsRecord, ReadsIn, 12);
TOLVARN_RECORD_FIELD(DiskStatsRecord, WritesIn, 16);
TOLVARN_RECORD_FIELD(DiskStatsRecord, ReadsDown, 20);
TOLVARN_RECORD_FIELD(DiskStatsRecord, WritesDown, 24);
TOLVARN_RECORD_FIELD(DiskStatsRecord, SectorsReadIn, 28);
TOLVARN_RECORD_FIELD(DiskStatsRecord, SectorsWrittenIn, 36);
TOLVARN_RECORD_FIELD(DiskStatsRecord, SectorsReadDown, 44);
TOLVARN_RECORD_FIELD(DiskStatsRecord, SectorsWrittenDown, 52);

static_assert(sizeof(DiskIdRecord) == 20, "DiskIdRecord size");
TOLVARN_RECORD_FIELD(DiskIdRecord, DeviceNumber, 8);
TOLVARN_RECORD_FIELD(DiskIdRecord, DiskId, 12);

static_assert(sizeof(RoleRecord) == 17, "RoleRecord size");
TOLVARN_RECORD_FIELD(RoleRecord, DiskId, 8);
TOLVARN_RECORD_FIELD(RoleRecord, Role, 16);

static_assert(sizeof(IdentifyRecord) == 524, "IdentifyRecord size");
TOLVARN_RECORD_FIELD(IdentifyRecord, DeviceNumber, 8);
TOLVARN_RECORD_FIELD(IdentifyRecord, Identify, 12);

static_assert(sizeof(MasterConfigRecord) == 26, "MasterConfigRecord size");
TOLVARN_RECORD_FIELD(MasterConfigRecord, DiskId, 8);
TOLVARN_RECORD_FIELD(MasterConfigRecord, MasterStart, 16);
TOLVARN_RECORD_FIELD(MasterConfigRecord, SsdCacheDiskId, 17);
TOLVARN_RECORD_FIELD(MasterConfigRecord, SsdCacheMode, 25);

static_assert(sizeof(StateRecord) == 25, "StateRecord size");
TOLVARN_RECORD_FIELD(StateRecord, DiskId, 8);
TOLVARN_RECORD_FIELD(StateRecord, Active, 16);
TOLVARN_RECORD_FIELD(StateRecord, BlockBytes, 17);
TOLVARN_RECORD_FIELD(StateRecord, SlotCount, 21);

static_assert(sizeof(UsageRecord) == 48, "UsageRecord size");
TOLVARN_RECORD_FIELD(UsageRecord, DiskId, 8);
TOLVARN_RECORD_FIELD(UsageRecord, CachedBytes, 16);
TOLVARN_RECORD_FIELD(UsageRecord, CapacityBytes, 24);
TOLVARN_RECORD_FIELD(UsageRecord, BootBytes, 32);
TOLVARN_RECORD_FIELD(UsageRecord, OtherBytes, 40);

static_assert(sizeof(OptionsRecord) == 18, "OptionsRecord size");
TOLVARN_RECORD_FIELD(OptionsRecord, DiskId, 8);
TOLVARN_RECORD_FIELD(OptionsRecord, Persist, 16);
TOLVARN_RECORD_FIELD(OptionsRecord, IdleWriteBack, 17);

static_assert(sizeof(StartRecord) == 25, "StartRecord size");
TOLVARN_RECORD_FIELD(StartRecord, DiskId, 8);
TOLVARN_RECORD_FIELD(StartRecord, BlockShift, 16);
TOLVARN_RECORD_FIELD(StartRecord, BootQuota, 20);
TOLVARN_RECORD_FIELD(StartRecord, WriteMode, 24);

static_assert(sizeof(SsdAreaRecord) == 40, "SsdAreaRecord size");
TOLVARN_RECORD_FIELD(SsdAreaRecord, DiskId, 8);
TOLVARN_RECORD_FIELD(SsdAreaRecord, Start, 16);
TOLVARN_RECORD_FIELD(SsdAreaRecord, End, 24);
TOLVARN_RECORD_FIELD(SsdAreaRecord, MasterDiskId, 32);

static_assert(sizeof(SetSsdAreaRecord) == 32, "SetSsdAreaRecord size");
TOLVARN_RECORD_FIELD(SetSsdAreaRecord, DiskId, 8);
TOLVARN_RECORD_FIELD(SetSsdAreaRecord, Start, 16);
TOLVARN_RECORD_FIELD(SetSsdAreaRecord, End, 24);

static_assert(sizeof(PairRecord) == 25, "PairRecord size");
TOLVARN_RECORD_FIELD(PairRecord, MasterDiskId, 8);
TOLVARN_RECORD_FIELD(PairRecord, SsdDiskId, 16);
TOLVARN_RECORD_FIELD(PairRecord, SsdCacheMode, 24);

#undef TOLVARN_RECORD_FIELD
