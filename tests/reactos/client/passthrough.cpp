// The pass-through scenario: the driver loaded at boot as the disk upper
// filter answers on its control device, and both disks' reads and writes go
// through it unchanged.
#include "scenarios.h"
#include "cache.h"
#include "control.h"
#include "pattern.h"
#include "rawdisk.h"
#include "report.h"
#include <string.h>

namespace {

const DWORD IoctlUnknown = 0x2223FC;

struct Region {
    ULONGLONG Offset;  // from the disk's end when FromEnd
    DWORD Bytes;
    bool FromEnd;
};

// Sector- but not page-aligned, several pieces of the disk's largest
// transfer, and the disk's last sectors.
const Region WrittenRegions[] = {
    {1u << 20, 4096, false},
    {(17u << 20) + 3 * SectorBytes, 4096, false},
    {24u << 20, (1u << 20) + (64u << 10), false},
    {4096, 4096, true},
};

void CheckVersion(ControlDevice& device, const char* which, DWORD expectedOpenNumber)
{
    VersionRecord record;
    DWORD error = device.QueryVersion(&record);
    if (error) {
        Fail("control %s version query: error %lu", which, error);
        return;
    }
    Say("control %s version size=%lu driver=%lu record=%lu open=%lu", which, record.Size,
        record.DriverVersion, record.RecordVersion, record.OpenNumber);
    if (record.Size != sizeof record || record.DriverVersion != DriverVersion ||
        record.RecordVersion != RecordVersion)
        Fail("control %s version: expected size=16 driver=%lu record=%lu", which, DriverVersion,
             RecordVersion);
    if (record.OpenNumber != expectedOpenNumber)
        Fail("control %s version: open number %lu, expected %lu", which, record.OpenNumber,
             expectedOpenNumber);
}

void ExpectRefused(ControlDevice& device, const char* what, DWORD code, DWORD outputBytes,
                   DWORD expectedError)
{
    BYTE output[32];
    DWORD returned = 0;
    DWORD error = device.Send(code, NULL, 0, output, outputBytes, &returned);
    Say("control %s: error %lu", what, error);
    if (error != expectedError)
        Fail("control %s: error %lu, expected %lu", what, error, expectedError);
}

// Open numbers count every open since boot and are never given twice; the
// client is the first program to open the device.
void CheckControlDevice()
{
    ControlDevice first, second;
    DWORD error = first.Open();
    if (error) {
        Fail("control open %s: error %lu", ControlDevicePath, error);
        return;
    }
    Say("control open %s ok", ControlDevicePath);
    CheckVersion(first, "first", 1);
    error = second.Open();
    if (error) {
        Fail("control second open: error %lu", error);
        return;
    }
    CheckVersion(second, "second", 2);
    ExpectRefused(first, "version query with 15-byte output", IoctlGetVersion, 15, ERROR_INVALID_USER_BUFFER);
    ExpectRefused(first, "version query with 17-byte output", IoctlGetVersion, 17, ERROR_INVALID_USER_BUFFER);
    ExpectRefused(first, "unknown request", IoctlUnknown, 0, ErrorNotServed);
    first.Close();
    second.Close();
    ControlDevice third;
    if ((error = third.Open()) != 0)
        Fail("control third open: error %lu", error);
    else
        CheckVersion(third, "third", 3);
}

// The identity the driver read at the disk's START, through the control
// interface; reported as pending while the driver does not serve the request.
void ReportDriverIdentity(int disk, const DiskFacts& facts)
{
    ControlDevice device;
    DWORD error = device.Open();
    if (error) {
        Fail("disk%d driver identify: control open error %lu", disk, error);
        return;
    }
    IdentifyRecord record;
    ZeroMemory(&record, sizeof record);
    record.DeviceNumber = facts.DeviceNumber;
    error = device.Exchange(IoctlGetIdentify, &record, true);
    if (error == ErrorNotServed) {
        Say("disk%d driver identify pending (request not served)", disk);
        return;
    }
    if (error) {
        Fail("disk%d driver identify: error %lu", disk, error);
        return;
    }
    char model[41], serial[21];
    AtaIdentityStrings(record.Identify, model, serial);
    Say("disk%d driver identify model='%s' serial='%s'", disk, model, serial);
    if (strcmp(model, facts.Model) != 0 || strcmp(serial, facts.Serial) != 0)
        Fail("disk%d driver identify differs from the disk's own", disk);
}

// The driver's request counters of a disk; false (and reported as pending)
// while the driver does not serve the request.
bool ReadDiskStats(int disk, DWORD deviceNumber, DiskStatsRecord* stats)
{
    ControlDevice device;
    DWORD error = device.Open();
    if (error) {
        Fail("disk%d statistics: control open error %lu", disk, error);
        return false;
    }
    ZeroMemory(stats, sizeof *stats);
    stats->DeviceNumber = deviceNumber;
    error = device.Exchange(IoctlGetDiskStats, stats, true);
    if (error == ErrorNotServed) {
        Say("disk%d driver statistics pending (request not served)", disk);
        return false;
    }
    if (error) {
        Fail("disk%d statistics: error %lu", disk, error);
        return false;
    }
    return true;
}

// Every transfer of the client went through the driver's filter device of
// the disk: its counters grew by at least the client's own requests.
void CheckStatsGrowth(int disk, const DiskStatsRecord& before, const DiskStatsRecord& after, DWORD reads,
                      ULONGLONG sectorsRead, DWORD writes, ULONGLONG sectorsWritten)
{
    DWORD readsIn = after.ReadsIn - before.ReadsIn;
    DWORD writesIn = after.WritesIn - before.WritesIn;
    ULONGLONG sectorsReadIn = after.SectorsReadIn - before.SectorsReadIn;
    ULONGLONG sectorsWrittenIn = after.SectorsWrittenIn - before.SectorsWrittenIn;
    Say("disk%d driver statistics reads-in +%lu writes-in +%lu sectors-read-in +%llu "
        "sectors-written-in +%llu",
        disk, readsIn, writesIn, sectorsReadIn, sectorsWrittenIn);
    if (readsIn < reads || writesIn < writes || sectorsReadIn < sectorsRead ||
        sectorsWrittenIn < sectorsWritten)
        Fail("disk%d driver statistics: expected at least %lu reads (%llu sectors) and %lu writes "
             "(%llu sectors)",
             disk, reads, sectorsRead, writes, sectorsWritten);
}

// What the host put on the image before the boot reads back unchanged.
void CheckSeed(HANDLE handle, int disk, BYTE* expected, BYTE* actual)
{
    DWORD error = ReadAt(handle, SeedOffset, actual, SeedBytes);
    FillPattern(expected, "SEED", disk, SeedOffset, SeedBytes);
    if (error)
        Fail("disk%d seed read at %llu: error %lu", disk, SeedOffset, error);
    else if (memcmp(expected, actual, SeedBytes) != 0)
        Fail("disk%d seed at %llu differs from what the host wrote", disk, SeedOffset);
    else
        Say("disk%d seed read ok offset=%llu bytes=%lu", disk, SeedOffset, SeedBytes);
}

void WriteAndReadBack(HANDLE handle, int disk, ULONGLONG offset, DWORD bytes, BYTE* written, BYTE* read)
{
    FillPattern(written, "WRITE", disk, offset, bytes);
    DWORD error = WriteAt(handle, offset, written, bytes);
    if (error) {
        Fail("disk%d write at %llu (%lu bytes): error %lu", disk, offset, bytes, error);
        return;
    }
    Say("disk%d wrote offset=%llu bytes=%lu", disk, offset, bytes);
    ZeroMemory(read, bytes);
    error = ReadAt(handle, offset, read, bytes);
    if (error)
        Fail("disk%d read back at %llu: error %lu", disk, offset, error);
    else if (memcmp(written, read, bytes) != 0)
        Fail("disk%d read back at %llu differs from what was written", disk, offset);
    else
        Say("disk%d read back ok offset=%llu bytes=%lu", disk, offset, bytes);
}

void CheckTransfers(int disk, const DiskFacts& facts)
{
    DWORD error;
    HANDLE handle = OpenDisk(disk, true, &error);
    if (handle == INVALID_HANDLE_VALUE) {
        Fail("disk%d open for transfers: error %lu", disk, error);
        return;
    }
    const DWORD bufferBytes = 2u << 20;
    BYTE* first = AllocateTransferBuffer(bufferBytes);
    BYTE* second = AllocateTransferBuffer(bufferBytes);
    if (first && second) {
        DiskStatsRecord before, after;
        bool counted = ReadDiskStats(disk, facts.DeviceNumber, &before);
        CheckSeed(handle, disk, first, second);
        DWORD transfers = 1;
        ULONGLONG sectorsWritten = 0;
        for (const Region& region : WrittenRegions) {
            ULONGLONG offset = region.FromEnd ? facts.SizeBytes - region.Offset : region.Offset;
            WriteAndReadBack(handle, disk, offset, region.Bytes, first, second);
            transfers++;
            sectorsWritten += region.Bytes / SectorBytes;
        }
        if (counted && ReadDiskStats(disk, facts.DeviceNumber, &after))
            CheckStatsGrowth(disk, before, after, transfers, sectorsWritten + SeedBytes / SectorBytes,
                             transfers - 1, sectorsWritten);
    } else {
        Fail("disk%d transfer buffers: error %lu", disk, GetLastError());
    }
    FreeTransferBuffer(first);
    FreeTransferBuffer(second);
    CloseHandle(handle);
}

}  // namespace

void RunPassThrough()
{
    CheckControlDevice();
    for (int disk = FirstDataDisk; disk <= LastDataDisk; disk++) {
        DiskFacts facts;
        if (!ReadDiskFacts(disk, &facts))
            continue;
        ReportDriverIdentity(disk, facts);
        CheckTransfers(disk, facts);
    }
}
