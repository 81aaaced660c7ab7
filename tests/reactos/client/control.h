// The driver's control device as its client sees it: the path, the request
// codes and the records, byte for byte, and a handle that sends them.
#pragma once
#include <windows.h>

const char ControlDevicePath[] = "\\\\.\\DORQPELKZEMK";

const DWORD DriverVersion = 204;
const DWORD RecordVersion = 203;

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
enum ControlRequest : DWORD {
    IoctlGetVersion = 0x222000,
    IoctlGetPoolUsage = 0x222004,
    IoctlGetDiskStats = 0x222040,
    IoctlGetDiskId = 0x222044,
    IoctlSetDiskId = 0x222048,
    IoctlDeleteDiskConfig = 0x22204C,
    IoctlGetRole = 0x222050,
    IoctlSetRole = 0x222054,
    IoctlSaveTimestamp = 0x222058,
    IoctlGetIdentify = 0x22205C,
    IoctlGetMasterConfig = 0x222080,
    IoctlSaveMasterConfig = 0x222084,
    IoctlGetState = 0x222088,
    IoctlGetUsage = 0x22208C,
    IoctlSetOptions = 0x222090,
    IoctlStart = 0x222094,
    IoctlStop = 0x222098,
    IoctlGetSsdArea = 0x2220C0,
    IoctlSetSsdArea = 0x2220C4,
    IoctlClearSsdArea = 0x2220C8,
    IoctlPair = 0x2220CC,
    IoctlUnpair = 0x2220D0,
};

#pragma pack(push, 1)
// Begins every record but the version query's answer.
struct ControlHeader {
    DWORD Size;
    DWORD Version;
};

struct VersionRecord {
    DWORD Size;
    DWORD DriverVersion;
    DWORD RecordVersion;
    DWORD OpenNumber;
};

struct DiskStatsRecord {
    ControlHeader Header;
    DWORD DeviceNumber;
    DWORD ReadsIn;
    DWORD WritesIn;
    DWORD ReadsDown;
    DWORD WritesDown;
    ULONGLONG SectorsReadIn;
    ULONGLONG SectorsWrittenIn;
    ULONGLONG SectorsReadDown;
    ULONGLONG SectorsWrittenDown;
};

struct DiskIdRecord {
    ControlHeader Header;
    DWORD DeviceNumber;
    ULONGLONG DiskId;
};

struct IdentifyRecord {
    ControlHeader Header;
    DWORD DeviceNumber;
    BYTE Identify[512];
};

// The records of the requests that name a disk by its id and carry nothing
// else: DELETE_DISK_CONFIG, SAVE_TIMESTAMP, SAVE_MASTER_CONFIG, STOP,
// CLEAR_SSD_AREA, UNPAIR.
struct DiskRecord {
    ControlHeader Header;
    ULONGLONG DiskId;
};

struct PoolUsageRecord {
    ControlHeader Header;
    ULONGLONG PoolBytes;
};

struct RoleRecord {
    ControlHeader Header;
    ULONGLONG DiskId;
    BYTE Role;
};

struct MasterConfigRecord {
    ControlHeader Header;
    ULONGLONG MasterId;
    BYTE MasterStart;
    ULONGLONG SsdCacheDiskId;
    BYTE SsdCacheMode;
};

struct StateRecord {
    ControlHeader Header;
    ULONGLONG MasterId;
    BYTE Active;
    DWORD BlockBytes;
    DWORD SlotCount;
};

struct UsageRecord {
    ControlHeader Header;
    ULONGLONG MasterId;
    ULONGLONG CachedBytes;
    ULONGLONG CapacityBytes;
    ULONGLONG BootBytes;
    ULONGLONG OtherBytes;
};

struct OptionsRecord {
    ControlHeader Header;
    ULONGLONG MasterId;
    BYTE Persist;
    BYTE IdleWriteBack;
};

struct StartRecord {
    ControlHeader Header;
    ULONGLONG MasterId;
    DWORD BlockShift;
    DWORD BootQuota;
    BYTE WriteMode;
};

struct SsdAreaRecord {
    ControlHeader Header;
    ULONGLONG SsdId;
    ULONGLONG Start;
    ULONGLONG End;
    ULONGLONG MasterDiskId;
};

struct SetSsdAreaRecord {
    ControlHeader Header;
    ULONGLONG SsdId;
    ULONGLONG Start;
    ULONGLONG End;
};

struct PairRecord {
    ControlHeader Header;
    ULONGLONG MasterId;
    ULONGLONG SsdId;
    BYTE SsdCacheMode;
};
#pragma pack(pop)
static_assert(sizeof(ControlHeader) == 8, "header layout");
static_assert(sizeof(VersionRecord) == 16, "version record layout");
static_assert(sizeof(DiskStatsRecord) == 60, "disk statistics record layout");
static_assert(sizeof(DiskIdRecord) == 20, "disk id record layout");
static_assert(sizeof(IdentifyRecord) == 524, "identify record layout");
static_assert(sizeof(DiskRecord) == 16, "disk record layout");
static_assert(sizeof(PoolUsageRecord) == 16, "pool usage record layout");
static_assert(sizeof(RoleRecord) == 17, "role record layout");
static_assert(sizeof(MasterConfigRecord) == 26, "master configuration record layout");
static_assert(sizeof(StateRecord) == 25, "state record layout");
static_assert(sizeof(UsageRecord) == 48, "usage record layout");
static_assert(sizeof(OptionsRecord) == 18, "options record layout");
static_assert(sizeof(StartRecord) == 25, "start record layout");
static_assert(sizeof(SsdAreaRecord) == 40, "SSD area record layout");
static_assert(sizeof(SetSsdAreaRecord) == 32, "SSD area setting record layout");
static_assert(sizeof(PairRecord) == 25, "pair record layout");

// The driver's own statuses, as the native call returns them: several share
// one Win32 error (STATUS_INVALID_DEVICE_REQUEST and STATUS_NOT_IMPLEMENTED
// both become ERROR_INVALID_FUNCTION).
typedef LONG Status;
const Status StatusSuccess = 0;
const Status StatusNotImplemented = (Status)0xC0000002;
const Status StatusInvalidParameter = (Status)0xC000000D;
const Status StatusInvalidDeviceRequest = (Status)0xC0000010;
const Status StatusInvalidBufferSize = (Status)0xC0000206;
// Not the driver's: a success whose answer had another size than the record.
const Status StatusReturnedSize = (Status)0xE0000001;
// The name of one of the statuses above, or "other".
const char* StatusName(Status status);

// One open handle of the control device.
class ControlDevice {
public:
    ControlDevice();
    ~ControlDevice();
    ControlDevice(const ControlDevice&) = delete;
    ControlDevice& operator=(const ControlDevice&) = delete;

    // 0 or the Win32 error of the open.
    DWORD Open();
    bool IsOpen() const { return handle != INVALID_HANDLE_VALUE; }
    void Close();

    // Sends raw buffers; 0 or the Win32 error. *returned gets the answer's size.
    DWORD Send(DWORD code, void* input, DWORD inputBytes, void* output, DWORD outputBytes, DWORD* returned);

    // Sends a record with its header filled in: in only, or in and out
    // (returnsData) in the same buffer, as the driver expects. 0 or the Win32
    // error; a returned size other than the record's is ERROR_INVALID_DATA.
    template <typename Record>
    DWORD Exchange(DWORD code, Record* record, bool returnsData)
    {
        record->Header.Size = sizeof(Record);
        record->Header.Version = RecordVersion;
        DWORD returned = 0;
        DWORD error = Send(code, record, sizeof(Record), returnsData ? record : NULL,
                           returnsData ? sizeof(Record) : 0, &returned);
        if (error == 0 && returned != (returnsData ? sizeof(Record) : 0))
            error = ERROR_INVALID_DATA;
        return error;
    }

    // Sends raw buffers through the native call and returns the driver's
    // status; *information gets the answer's size.
    Status Call(DWORD code, const void* input, DWORD inputBytes, void* output, DWORD outputBytes,
                DWORD* information);

    // A record with its header filled in, sent as Exchange does; the driver's
    // status, or StatusReturnedSize when it succeeded with another size.
    template <typename Record>
    Status Ask(DWORD code, Record* record, bool returnsData)
    {
        record->Header.Size = sizeof(Record);
        record->Header.Version = RecordVersion;
        DWORD information = 0;
        Status status = Call(code, record, sizeof(Record), returnsData ? record : NULL,
                             returnsData ? sizeof(Record) : 0, &information);
        if (status == StatusSuccess && information != (returnsData ? sizeof(Record) : 0))
            status = StatusReturnedSize;
        return status;
    }

    // The version query: output only, 16 bytes unless told otherwise.
    DWORD QueryVersion(VersionRecord* record, DWORD outputBytes = sizeof(VersionRecord));

private:
    HANDLE handle;
};

// Win32 error of a request that the driver does not serve (STATUS_NOT_IMPLEMENTED).
const DWORD ErrorNotServed = ERROR_INVALID_FUNCTION;
