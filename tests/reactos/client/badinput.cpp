// The bad-input scenario: malformed control records, disks that do not
// exist or have the wrong role, and requests that a running cache refuses
// reach the driver through the real I/O manager and come back with the
// driver's own statuses; nothing they name changes.
#include "scenarios.h"
#include "cache.h"
#include "report.h"
#include <string.h>

namespace {

const ULONGLONG UnknownDiskId = 0x0123456789ABCDEFull;
// The kit's blank boot disk, made a second SSD: a master may be paired with
// it, unless the master's cache has been started.
const int SpareDisk = 0;
const ULONGLONG SpareSsdId = 0x544F4C5641524E30ull;  // "TOLVARN0"
const DWORD UnknownDeviceNumber = 77;
const DWORD IoctlUnknown = 0x2223FC;

// One field after the header: its offset, width in bytes and value.
struct Field {
    DWORD Offset;
    DWORD Bytes;
    ULONGLONG Value;
};

// Stands for the master's device number, known only at run time.
const ULONGLONG MastersNumber = 0xFFFF0001u;

// One request as a client might send it wrongly. The record has the given
// size; its header carries that size plus HeaderSizeDelta and version 203
// unless HeaderVersion says otherwise (0: 203); the input is the record
// unless InputBytes says otherwise (0: the record's size, -1: none), the
// output the record for a request that returns data unless OutputBytes says
// otherwise (0: as said, -1: none).
struct BadRequest {
    const char* What;
    DWORD Code;
    DWORD RecordBytes;
    bool ReturnsData;
    int InputBytes;
    int OutputBytes;
    int HeaderSizeDelta;
    DWORD HeaderVersion;
    Field Fields[3];
    Status Expected;
};

const int None = -1;

// Disks and roles as ConfigurePair leaves them: the master (role 1, paired,
// not started), the SSD (role 2, with its area, paired).
const BadRequest Refused[] = {
    // Lengths: the input, and the output of a request that returns data, must be the record's size.
    {"stats input one byte short", IoctlGetDiskStats, 60, true, 59, 0, 0, 0, {{8, 4, 0}}, StatusInvalidBufferSize},
    {"stats output one byte short", IoctlGetDiskStats, 60, true, 0, 59, 0, 0, {{8, 4, 0}}, StatusInvalidBufferSize},
    {"stats one byte longer", IoctlGetDiskStats, 61, true, 0, 0, -1, 0, {{8, 4, 0}}, StatusInvalidBufferSize},
    {"stats without output", IoctlGetDiskStats, 60, true, 0, None, 0, 0, {{8, 4, 0}}, StatusInvalidBufferSize},
    {"set role one byte longer", IoctlSetRole, 18, false, 0, 0, -1, 0, {{8, 8, MasterDiskId}, {16, 1, 1}},
     StatusInvalidBufferSize},
    {"usage input one byte short", IoctlGetUsage, 48, true, 47, 0, 0, 0, {{8, 8, MasterDiskId}},
     StatusInvalidBufferSize},
    {"pool usage output of 8", IoctlGetPoolUsage, 16, true, 0, 8, 0, 0, {}, StatusInvalidBufferSize},
    {"start without input", IoctlStart, 25, false, None, 0, 0, 0, {}, StatusInvalidBufferSize},
    {"version output one byte short", IoctlGetVersion, 15, true, None, 15, 0, 0, {}, StatusInvalidBufferSize},
    {"version output one byte longer", IoctlGetVersion, 17, true, None, 17, 0, 0, {}, StatusInvalidBufferSize},
    // Headers: the size field must be the record's, the version 203.
    {"get role header size 16", IoctlGetRole, 17, true, 0, 0, -1, 0, {{8, 8, MasterDiskId}},
     StatusInvalidParameter},
    {"get role version 202", IoctlGetRole, 17, true, 0, 0, 0, 202, {{8, 8, MasterDiskId}}, StatusInvalidParameter},
    {"pair header size 0", IoctlPair, 25, false, 0, 0, -25, 0,
     {{8, 8, MasterDiskId}, {16, 8, SsdDiskId}, {24, 1, 1}}, StatusInvalidParameter},
    {"stop version 204", IoctlStop, 16, false, 0, 0, 0, 204, {{8, 8, MasterDiskId}}, StatusInvalidParameter},
    // Arguments.
    {"get disk id of number 0xFFFFFFFF", IoctlGetDiskId, 20, true, 0, 0, 0, 0, {{8, 4, 0xFFFFFFFFu}},
     StatusInvalidParameter},
    {"set disk id 0", IoctlSetDiskId, 20, false, 0, 0, 0, 0, {{8, 4, 0}, {12, 8, 0}}, StatusInvalidParameter},
    {"set ssd area start equal to end", IoctlSetSsdArea, 32, false, 0, 0, 0, 0,
     {{8, 8, SsdDiskId}, {16, 8, 4u << 20}, {24, 8, 4u << 20}}, StatusInvalidParameter},
    {"set ssd area past the disk's end", IoctlSetSsdArea, 32, false, 0, 0, 0, 0,
     {{8, 8, SsdDiskId}, {16, 8, 1u << 20}, {24, 8, 64u << 20}}, StatusInvalidParameter},
    {"set ssd area starting inside a sector", IoctlSetSsdArea, 32, false, 0, 0, 0, 0,
     {{8, 8, SsdDiskId}, {16, 8, (1u << 20) + 100}, {24, 8, 4u << 20}}, StatusInvalidParameter},
    {"set ssd area of an unknown disk, start above end", IoctlSetSsdArea, 32, false, 0, 0, 0, 0,
     {{8, 8, UnknownDiskId}, {16, 8, 8u << 20}, {24, 8, 4u << 20}}, StatusInvalidParameter},
    {"delete config of the master", IoctlDeleteDiskConfig, 16, false, 0, 0, 0, 0, {{8, 8, MasterDiskId}},
     StatusInvalidParameter},
    {"delete config of the ssd", IoctlDeleteDiskConfig, 16, false, 0, 0, 0, 0, {{8, 8, SsdDiskId}},
     StatusInvalidParameter},
    // Disks that do not exist or have the wrong role.
    {"stats of an unknown device number", IoctlGetDiskStats, 60, true, 0, 0, 0, 0, {{8, 4, UnknownDeviceNumber}},
     StatusInvalidDeviceRequest},
    {"identify of an unknown device number", IoctlGetIdentify, 524, true, 0, 0, 0, 0,
     {{8, 4, UnknownDeviceNumber}}, StatusInvalidDeviceRequest},
    {"get role of an unknown id", IoctlGetRole, 17, true, 0, 0, 0, 0, {{8, 8, UnknownDiskId}},
     StatusInvalidDeviceRequest},
    {"save timestamp of an unknown id", IoctlSaveTimestamp, 16, false, 0, 0, 0, 0, {{8, 8, UnknownDiskId}},
     StatusInvalidDeviceRequest},
    {"delete config of an unknown id", IoctlDeleteDiskConfig, 16, false, 0, 0, 0, 0, {{8, 8, UnknownDiskId}},
     StatusInvalidDeviceRequest},
    {"master config of the ssd", IoctlGetMasterConfig, 26, true, 0, 0, 0, 0, {{8, 8, SsdDiskId}},
     StatusInvalidDeviceRequest},
    {"state of the ssd", IoctlGetState, 25, true, 0, 0, 0, 0, {{8, 8, SsdDiskId}}, StatusInvalidDeviceRequest},
    {"options of the ssd", IoctlSetOptions, 18, false, 0, 0, 0, 0, {{8, 8, SsdDiskId}, {16, 1, 1}},
     StatusInvalidDeviceRequest},
    {"start of an unknown id", IoctlStart, 25, false, 0, 0, 0, 0,
     {{8, 8, UnknownDiskId}, {16, 4, CacheBlockShift}, {24, 1, WriteModeAllocate}}, StatusInvalidDeviceRequest},
    {"ssd area of the master", IoctlGetSsdArea, 40, true, 0, 0, 0, 0, {{8, 8, MasterDiskId}},
     StatusInvalidDeviceRequest},
    {"clear ssd area of the master", IoctlClearSsdArea, 16, false, 0, 0, 0, 0, {{8, 8, MasterDiskId}},
     StatusInvalidDeviceRequest},
    {"set disk id on the master, which has one", IoctlSetDiskId, 20, false, 0, 0, 0, 0,
     {{8, 4, MastersNumber}, {12, 8, 0x5555}}, StatusInvalidDeviceRequest},
    {"pair with an ssd that is paired", IoctlPair, 25, false, 0, 0, 0, 0,
     {{8, 8, MasterDiskId}, {16, 8, SsdDiskId}, {24, 1, 1}}, StatusInvalidDeviceRequest},
    {"pair the ssd as master", IoctlPair, 25, false, 0, 0, 0, 0, {{8, 8, SsdDiskId}, {16, 8, SsdDiskId}, {24, 1, 1}},
     StatusInvalidDeviceRequest},
    {"unpair an unknown master", IoctlUnpair, 16, false, 0, 0, 0, 0, {{8, 8, UnknownDiskId}},
     StatusInvalidDeviceRequest},
    // Codes the driver does not serve.
    {"unknown code", IoctlUnknown, 16, false, 0, 0, 0, 0, {}, StatusNotImplemented},
};

// While the master's cache runs (START sets MasterStart).
const BadRequest RefusedWhileRunning[] = {
    {"pair a started master", IoctlPair, 25, false, 0, 0, 0, 0,
     {{8, 8, MasterDiskId}, {16, 8, SpareSsdId}, {24, 1, 1}}, StatusInvalidDeviceRequest},
    {"delete config of a running master", IoctlDeleteDiskConfig, 16, false, 0, 0, 0, 0, {{8, 8, MasterDiskId}},
     StatusInvalidParameter},
    {"start with a record one byte short", IoctlStart, 24, false, 0, 0, 1, 0,
     {{8, 8, MasterDiskId}, {16, 4, CacheBlockShift}}, StatusInvalidBufferSize},
    // The map uses the SSD: its pairing and area stay as they are until the cache is stopped.
    {"unpair a running master", IoctlUnpair, 16, false, 0, 0, 0, 0, {{8, 8, MasterDiskId}},
     StatusInvalidDeviceRequest},
    {"set the area of an ssd in use", IoctlSetSsdArea, 32, false, 0, 0, 0, 0,
     {{8, 8, SsdDiskId}, {16, 8, 2u << 20}, {24, 8, 6u << 20}}, StatusInvalidDeviceRequest},
    {"clear the area of an ssd in use", IoctlClearSsdArea, 16, false, 0, 0, 0, 0, {{8, 8, SsdDiskId}},
     StatusInvalidDeviceRequest},
};

bool MakeSpareSsd(ControlDevice& control, const DiskFacts& spare)
{
    DiskIdRecord id;
    ZeroMemory(&id, sizeof id);
    id.DeviceNumber = spare.DeviceNumber;
    id.DiskId = SpareSsdId;
    RoleRecord role;
    ZeroMemory(&role, sizeof role);
    role.DiskId = SpareSsdId;
    role.Role = 2;
    return Expect("spare set disk id", control.Ask(IoctlSetDiskId, &id, false)) &&
           Expect("spare set role 2", control.Ask(IoctlSetRole, &role, false));
}

void PutField(BYTE* record, const Field& field)
{
    ULONGLONG value = field.Value;
    for (DWORD i = 0; i < field.Bytes; i++, value >>= 8)
        record[field.Offset + i] = (BYTE)value;
}

void SendBad(ControlDevice& control, const BadRequest& request, DWORD masterNumber)
{
    BYTE record[600];
    ZeroMemory(record, sizeof record);
    ControlHeader* header = (ControlHeader*)record;
    header->Size = request.RecordBytes + request.HeaderSizeDelta;
    header->Version = request.HeaderVersion ? request.HeaderVersion : RecordVersion;
    for (const Field& field : request.Fields) {
        if (field.Bytes == 0)
            continue;
        Field put = field;
        if (put.Value == MastersNumber)
            put.Value = masterNumber;
        PutField(record, put);
    }
    DWORD inputBytes = request.InputBytes == None ? 0 : request.InputBytes ? request.InputBytes : request.RecordBytes;
    DWORD outputBytes = request.OutputBytes == None ? 0
                        : request.OutputBytes ? request.OutputBytes
                        : request.ReturnsData ? request.RecordBytes
                                              : 0;
    DWORD information = 0;
    Status status = control.Call(request.Code, inputBytes ? record : NULL, inputBytes,
                                 outputBytes ? record : NULL, outputBytes, &information);
    if (status == request.Expected)
        Say("refused %s: %s", request.What, StatusName(status));
    else
        Fail("refused %s: status 0x%08lX (%s), expected %s", request.What, (unsigned long)status,
             StatusName(status), StatusName(request.Expected));
}

// What the refused requests named is as it was.
void CheckUnchanged(ControlDevice& control, BYTE masterStart)
{
    RoleRecord role;
    ZeroMemory(&role, sizeof role);
    role.DiskId = MasterDiskId;
    if (Expect("master get role", control.Ask(IoctlGetRole, &role, true)) && role.Role != 1)
        Fail("master role %u after the refused requests, expected 1", role.Role);
    role.DiskId = SsdDiskId;
    if (Expect("ssd get role", control.Ask(IoctlGetRole, &role, true)) && role.Role != 2)
        Fail("ssd role %u after the refused requests, expected 2", role.Role);
    MasterConfigRecord config;
    ZeroMemory(&config, sizeof config);
    config.MasterId = MasterDiskId;
    if (Expect("master get config", control.Ask(IoctlGetMasterConfig, &config, true)) &&
        (config.MasterStart != masterStart || config.SsdCacheDiskId != SsdDiskId ||
         config.SsdCacheMode != CacheModeWriteThrough))
        Fail("master config start=%u ssd=%016llX mode=%u after the refused requests", config.MasterStart,
             config.SsdCacheDiskId, config.SsdCacheMode);
    SsdAreaRecord area;
    ZeroMemory(&area, sizeof area);
    area.SsdId = SsdDiskId;
    if (Expect("ssd get area", control.Ask(IoctlGetSsdArea, &area, true)) &&
        (area.Start != CacheAreaStart || area.End != CacheAreaEnd || area.MasterDiskId != MasterDiskId))
        Fail("ssd area %llu-%llu master %016llX after the refused requests", area.Start, area.End,
             area.MasterDiskId);
    Say("unchanged after the refused requests: roles, master config, ssd area");
}

}  // namespace

void RunBadInput()
{
    CachePair pair;
    if (!ReadCachePair(&pair))
        return;
    ControlDevice control;
    DWORD error = control.Open();
    if (error) {
        Fail("control open: error %lu", error);
        return;
    }
    if (!ConfigurePair(control, pair, CacheModeWriteThrough))
        return;
    DiskFacts spare;
    if (!ReadDiskFacts(SpareDisk, &spare) || !MakeSpareSsd(control, spare))
        return;
    // Nothing refused reaches a disk.
    PairCounters counters(control, pair);
    StatsDelta master, ssd;
    if (!counters.Mark())
        return;
    for (const BadRequest& request : Refused)
        SendBad(control, request, pair.Master.DeviceNumber);
    if (counters.Since("refused requests", &master, &ssd)) {
        ExpectAtMost("refused requests master writes-down", master.WritesDown, 0);
        ExpectAtMost("refused requests ssd writes-down", ssd.WritesDown, 0);
    }
    CheckUnchanged(control, 0);

    StartRecord start;
    ZeroMemory(&start, sizeof start);
    start.MasterId = MasterDiskId;
    start.BlockShift = CacheBlockShift;
    start.WriteMode = WriteModeAllocate;
    Status status = control.Ask(IoctlStart, &start, false);
    if (status == StatusNotImplemented) {
        Say("running cache pending (start not served)");
        return;
    }
    if (!Expect("start", status))
        return;
    for (const BadRequest& request : RefusedWhileRunning)
        SendBad(control, request, pair.Master.DeviceNumber);
    StateRecord state;
    if (ReadState(control, &state) && state.Active != 1)
        Fail("cache state active=%u after the refused requests, expected 1", state.Active);
    CheckUnchanged(control, 1);
    DiskRecord stop;
    ZeroMemory(&stop, sizeof stop);
    stop.DiskId = MasterDiskId;
    if (Expect("stop", control.Ask(IoctlStop, &stop, false)))
        WaitForInactive(control, 60000);
}
