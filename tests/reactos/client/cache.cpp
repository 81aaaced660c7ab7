// The steps that the cache scenarios share.
#include "cache.h"
#include "pattern.h"
#include "report.h"
#include <stdio.h>
#include <string.h>

bool ReadDiskFacts(int disk, DiskFacts* facts)
{
    DWORD error;
    HANDLE handle = OpenDisk(disk, false, &error);
    if (handle == INVALID_HANDLE_VALUE) {
        Fail("disk%d open for queries: error %lu", disk, error);
        return false;
    }
    error = QueryDiskFacts(handle, facts);
    if (error) {
        Fail("disk%d facts: error %lu", disk, error);
        CloseHandle(handle);
        return false;
    }
    Say("disk%d size=%llu sector=%lu number=%lu port=%u target=%u", disk, facts->SizeBytes,
        facts->BytesPerSector, facts->DeviceNumber, facts->Port, facts->Target);
    if ((error = QueryAtaIdentity(handle, facts)) != 0)
        Fail("disk%d identify through the disk: error %lu", disk, error);
    else
        Say("disk%d identify model='%s' serial='%s'", disk, facts->Model, facts->Serial);
    CloseHandle(handle);
    return true;
}

bool ReadCachePair(CachePair* pair)
{
    return ReadDiskFacts(MasterDisk, &pair->Master) && ReadDiskFacts(SsdDisk, &pair->Ssd);
}

bool Expect(const char* what, Status status)
{
    if (status == StatusSuccess) {
        Say("control %s ok", what);
        return true;
    }
    Fail("control %s: status 0x%08lX (%s)", what, (unsigned long)status, StatusName(status));
    return false;
}

static bool SetDiskId(ControlDevice& control, int disk, const DiskFacts& facts, ULONGLONG id)
{
    DiskIdRecord record;
    ZeroMemory(&record, sizeof record);
    record.DeviceNumber = facts.DeviceNumber;
    if (!Expect(disk == MasterDisk ? "master get disk id" : "ssd get disk id",
                control.Ask(IoctlGetDiskId, &record, true)))
        return false;
    if (record.DiskId == id)
        return true;  // kept from an earlier boot
    record.DiskId = id;
    return Expect(disk == MasterDisk ? "master set disk id" : "ssd set disk id",
                  control.Ask(IoctlSetDiskId, &record, false));
}

static bool SetRole(ControlDevice& control, ULONGLONG id, BYTE role, const char* what)
{
    RoleRecord record;
    ZeroMemory(&record, sizeof record);
    record.DiskId = id;
    record.Role = role;
    return Expect(what, control.Ask(IoctlSetRole, &record, false));
}

bool ConfigurePair(ControlDevice& control, const CachePair& pair, BYTE cacheMode)
{
    if (!SetDiskId(control, MasterDisk, pair.Master, MasterDiskId) ||
        !SetDiskId(control, SsdDisk, pair.Ssd, SsdDiskId) ||
        !SetRole(control, MasterDiskId, 1, "master set role 1") || !SetRole(control, SsdDiskId, 2, "ssd set role 2"))
        return false;
    SetSsdAreaRecord area;
    ZeroMemory(&area, sizeof area);
    area.SsdId = SsdDiskId;
    area.Start = CacheAreaStart;
    area.End = CacheAreaEnd;
    if (!Expect("ssd set area", control.Ask(IoctlSetSsdArea, &area, false)))
        return false;
    PairRecord pairing;
    ZeroMemory(&pairing, sizeof pairing);
    pairing.MasterId = MasterDiskId;
    pairing.SsdId = SsdDiskId;
    pairing.SsdCacheMode = cacheMode;
    if (!Expect("pair", control.Ask(IoctlPair, &pairing, false)))
        return false;
    MasterConfigRecord config;
    ZeroMemory(&config, sizeof config);
    config.MasterId = MasterDiskId;
    if (!Expect("master get config", control.Ask(IoctlGetMasterConfig, &config, true)))
        return false;
    Say("master config start=%u ssd=%016llX mode=%u", config.MasterStart, config.SsdCacheDiskId,
        config.SsdCacheMode);
    if (config.SsdCacheDiskId != SsdDiskId || config.SsdCacheMode != cacheMode || config.MasterStart != 0)
        Fail("master config: expected start=0 ssd=%016llX mode=%u", SsdDiskId, cacheMode);
    return true;
}

bool ReadState(ControlDevice& control, StateRecord* state)
{
    ZeroMemory(state, sizeof *state);
    state->MasterId = MasterDiskId;
    Status status = control.Ask(IoctlGetState, state, true);
    if (status != StatusSuccess) {
        Fail("control get state: status 0x%08lX (%s)", (unsigned long)status, StatusName(status));
        return false;
    }
    return true;
}

bool ReadUsage(ControlDevice& control, UsageRecord* usage)
{
    ZeroMemory(usage, sizeof *usage);
    usage->MasterId = MasterDiskId;
    Status status = control.Ask(IoctlGetUsage, usage, true);
    if (status != StatusSuccess) {
        Fail("control get usage: status 0x%08lX (%s)", (unsigned long)status, StatusName(status));
        return false;
    }
    Say("cache usage cached=%llu capacity=%llu boot=%llu other=%llu", usage->CachedBytes, usage->CapacityBytes,
        usage->BootBytes, usage->OtherBytes);
    return true;
}

bool StartPairCache(ControlDevice& control, BYTE writeMode)
{
    StartRecord start;
    ZeroMemory(&start, sizeof start);
    start.MasterId = MasterDiskId;
    start.BlockShift = CacheBlockShift;
    start.BootQuota = 0;
    start.WriteMode = writeMode;
    if (!Expect("start", control.Ask(IoctlStart, &start, false)))
        return false;
    StateRecord state;
    if (!ReadState(control, &state))
        return false;
    Say("cache state active=%u block=%lu slots=%lu", state.Active, state.BlockBytes, state.SlotCount);
    if (state.Active != 1 || state.BlockBytes != (1u << CacheBlockShift) || state.SlotCount == 0) {
        Fail("cache state after start: expected active=1 block=%lu and some slots", 1ul << CacheBlockShift);
        return false;
    }
    return true;
}

bool OpenAndStart(ControlDevice& control, CachePair& pair, BYTE cacheMode)
{
    DWORD error = control.Open();
    if (error) {
        Fail("control open: error %lu", error);
        return false;
    }
    return ReadCachePair(&pair) && ConfigurePair(control, pair, cacheMode) &&
           StartPairCache(control, WriteModeAllocate);
}

bool OpenAttachedAtBoot(ControlDevice& control, CachePair& pair, ULONGLONG cachedBytes)
{
    DWORD error = control.Open();
    if (error) {
        Fail("control open: error %lu", error);
        return false;
    }
    if (!ReadCachePair(&pair))
        return false;
    StateRecord state;
    if (!ReadState(control, &state))
        return false;
    Say("cache state active=%u block=%lu slots=%lu", state.Active, state.BlockBytes, state.SlotCount);
    if (state.Active != 1 || state.BlockBytes != (1u << CacheBlockShift)) {
        Fail("cache state at logon: expected active=1 block=%lu (attached at boot)", 1ul << CacheBlockShift);
        return false;
    }
    UsageRecord usage;
    if (ReadUsage(control, &usage))
        ExpectAtLeast("cached bytes at logon", usage.CachedBytes, cachedBytes);
    return true;
}

bool SendForMaster(ControlDevice& control, DWORD code, const char* what)
{
    DiskRecord record;
    ZeroMemory(&record, sizeof record);
    record.DiskId = MasterDiskId;
    return Expect(what, control.Ask(code, &record, false));
}

bool ReadCounters(ControlDevice& control, int disk, DWORD deviceNumber, DiskStatsRecord* stats)
{
    ZeroMemory(stats, sizeof *stats);
    stats->DeviceNumber = deviceNumber;
    Status status = control.Ask(IoctlGetDiskStats, stats, true);
    if (status != StatusSuccess) {
        Fail("disk%d statistics: status 0x%08lX (%s)", disk, (unsigned long)status, StatusName(status));
        return false;
    }
    return true;
}

bool PairCounters::Mark()
{
    return ReadCounters(control, MasterDisk, pair.Master.DeviceNumber, &master) &&
           ReadCounters(control, SsdDisk, pair.Ssd.DeviceNumber, &ssd);
}

static StatsDelta Difference(const DiskStatsRecord& before, const DiskStatsRecord& after)
{
    StatsDelta d;
    d.ReadsIn = after.ReadsIn - before.ReadsIn;
    d.WritesIn = after.WritesIn - before.WritesIn;
    d.ReadsDown = after.ReadsDown - before.ReadsDown;
    d.WritesDown = after.WritesDown - before.WritesDown;
    d.SectorsReadIn = after.SectorsReadIn - before.SectorsReadIn;
    d.SectorsWrittenIn = after.SectorsWrittenIn - before.SectorsWrittenIn;
    d.SectorsReadDown = after.SectorsReadDown - before.SectorsReadDown;
    d.SectorsWrittenDown = after.SectorsWrittenDown - before.SectorsWrittenDown;
    return d;
}

static void SayDelta(const char* step, const char* disk, const StatsDelta& d)
{
    Say("stats %s %s reads-in +%lu sectors-read-in +%llu writes-in +%lu sectors-written-in +%llu "
        "reads-down +%lu sectors-read-down +%llu writes-down +%lu sectors-written-down +%llu",
        step, disk, d.ReadsIn, d.SectorsReadIn, d.WritesIn, d.SectorsWrittenIn, d.ReadsDown, d.SectorsReadDown,
        d.WritesDown, d.SectorsWrittenDown);
}

bool PairCounters::Since(const char* step, StatsDelta* masterDelta, StatsDelta* ssdDelta)
{
    DiskStatsRecord masterNow, ssdNow;
    if (!ReadCounters(control, MasterDisk, pair.Master.DeviceNumber, &masterNow) ||
        !ReadCounters(control, SsdDisk, pair.Ssd.DeviceNumber, &ssdNow))
        return false;
    *masterDelta = Difference(master, masterNow);
    *ssdDelta = Difference(ssd, ssdNow);
    SayDelta(step, "master", *masterDelta);
    SayDelta(step, "ssd", *ssdDelta);
    return true;
}

void ExpectAtLeast(const char* what, ULONGLONG actual, ULONGLONG least)
{
    if (actual >= least)
        Say("check %s %llu >= %llu", what, actual, least);
    else
        Fail("check %s %llu, expected at least %llu", what, actual, least);
}

void ExpectAtMost(const char* what, ULONGLONG actual, ULONGLONG most)
{
    if (actual <= most)
        Say("check %s %llu <= %llu", what, actual, most);
    else
        Fail("check %s %llu, expected at most %llu", what, actual, most);
}

void ExpectServedBySsd(const char* step, const StatsDelta& master, const StatsDelta& ssd, ULONGLONG sectors)
{
    char what[96];
    snprintf(what, sizeof what, "%s master reads-down", step);
    ExpectAtMost(what, master.ReadsDown, 0);
    snprintf(what, sizeof what, "%s ssd sectors-read-down", step);
    ExpectAtLeast(what, ssd.SectorsReadDown, sectors);
}

bool WaitForCachedBytes(ControlDevice& control, ULONGLONG bytes, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    UsageRecord usage;
    for (;;) {
        ZeroMemory(&usage, sizeof usage);
        usage.MasterId = MasterDiskId;
        Status status = control.Ask(IoctlGetUsage, &usage, true);
        if (status == StatusSuccess && usage.CachedBytes >= bytes) {
            Say("cache holds %llu bytes after %lu ms", usage.CachedBytes, GetTickCount() - start);
            return true;
        }
        if (GetTickCount() - start > timeoutMs) {
            Fail("cache holds %llu bytes after %lu ms, expected at least %llu (status 0x%08lX)",
                 usage.CachedBytes, timeoutMs, bytes, (unsigned long)status);
            return false;
        }
        Sleep(100);
    }
}

bool WaitForInactive(ControlDevice& control, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    StateRecord state;
    for (;;) {
        if (!ReadState(control, &state))
            return false;
        if (state.Active == 0) {
            Say("cache inactive after %lu ms", GetTickCount() - start);
            return true;
        }
        if (GetTickCount() - start > timeoutMs) {
            Fail("cache still active after %lu ms", timeoutMs);
            return false;
        }
        Sleep(100);
    }
}

bool WritePatternAt(HANDLE disk, int number, ULONGLONG offset, DWORD bytes, BYTE* buffer)
{
    FillPattern(buffer, "WRITE", number, offset, bytes);
    DWORD error = WriteAt(disk, offset, buffer, bytes);
    if (error) {
        Fail("disk%d write at %llu (%lu bytes): error %lu", number, offset, bytes, error);
        return false;
    }
    Say("disk%d wrote offset=%llu bytes=%lu", number, offset, bytes);
    return true;
}

bool ReadPatternAt(HANDLE disk, int number, const char* kind, ULONGLONG offset, DWORD bytes, BYTE* expected,
                   BYTE* actual, const char* step)
{
    FillPattern(expected, kind, number, offset, bytes);
    ZeroMemory(actual, bytes);
    DWORD error = ReadAt(disk, offset, actual, bytes);
    if (error) {
        Fail("disk%d %s at %llu: error %lu", number, step, offset, error);
        return false;
    }
    if (memcmp(expected, actual, bytes) != 0) {
        DWORD at = 0;
        while (at < bytes && expected[at] == actual[at])
            at++;
        Fail("disk%d %s at %llu differs from the %s pattern (first at byte %lu)", number, step, offset, kind, at);
        return false;
    }
    Say("disk%d %s ok offset=%llu bytes=%lu", number, step, offset, bytes);
    return true;
}

void ReportDriverKeys()
{
    const char serviceKey[] = "SYSTEM\\CurrentControlSet\\Services\\DORQPELKZEMK";
    HKEY service;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, serviceKey, 0, KEY_READ, &service) != ERROR_SUCCESS) {
        Fail("registry: cannot open %s", serviceKey);
        return;
    }
    char name[256];
    for (DWORD index = 0;; index++) {
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(service, index, name, &nameLength, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        if (nameLength != 60)
            continue;  // not a disk's key (model and serial number)
        HKEY disk;
        if (RegOpenKeyExA(service, name, 0, KEY_READ, &disk) != ERROR_SUCCESS)
            continue;
        char value[64];
        for (DWORD valueIndex = 0;; valueIndex++) {
            DWORD valueLength = sizeof value, type = 0, dataLength = 8;
            ULONGLONG data = 0;
            if (RegEnumValueA(disk, valueIndex, value, &valueLength, NULL, &type, (BYTE*)&data, &dataLength) !=
                ERROR_SUCCESS)
                break;
            if (type == REG_DWORD && dataLength == 4)
                Say("registry key=%s value=%s dword=%lu", name, value, (DWORD)data);
            else if (type == REG_QWORD && dataLength == 8)
                Say("registry key=%s value=%s qword=%llu", name, value, data);
            else
                Fail("registry key=%s value=%s: type %lu, %lu bytes", name, value, type, dataLength);
        }
        RegCloseKey(disk);
    }
    RegCloseKey(service);
}
