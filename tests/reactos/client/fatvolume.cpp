// A persisted write-back cache under a mounted FAT volume: boot 1 writes
// files through the file system and shuts the system down, so that the file
// system's own shutdown writes reach the master around the driver's save;
// boot 2 reads the files back, and its counters say whether the saved map
// served them. The host checks the volume and the files between the boots.
#include "scenarios.h"
#include "cache.h"
#include "pattern.h"
#include "report.h"
#include <stdio.h>
#include <string.h>

namespace {

// As run-scenario.sh: the master's one partition, a FAT volume that the
// system mounts as C:, holds the client's files.
const ULONGLONG VolumeOffset = 1u << 20;
const int FileCount = 4;
const DWORD FileBytes = 256u << 10;
const ULONGLONG FileSectors = FileBytes / SectorBytes;

void FilePath(int number, char* path, size_t size)
{
    snprintf(path, size, "C:\\TVFAT\\FILE%d.BIN", number);
}

// Every sector of file n holds the client's pattern of kind FILE for "disk" n
// at its offset in the file.
bool WriteClientFile(int number, BYTE* buffer)
{
    char path[32];
    FilePath(number, path, sizeof path);
    FillPattern(buffer, "FILE", number, 0, FileBytes);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        Fail("file %s create: error %lu", path, GetLastError());
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, buffer, FileBytes, &written, NULL) && written == FileBytes;
    DWORD error = ok ? 0 : GetLastError();
    // The data is on the disk stack before the shutdown; what the file
    // system still writes then is its own.
    if (ok && !FlushFileBuffers(file)) {
        ok = false;
        error = GetLastError();
    }
    CloseHandle(file);
    if (!ok) {
        Fail("file %s write and flush: error %lu (%lu bytes written)", path, error, written);
        return false;
    }
    Say("file %s written bytes=%lu", path, FileBytes);
    return true;
}

// Reads the file past the file system's cache, so that the read reaches the
// disk stack, and compares it with the pattern.
bool ReadClientFile(int number, BYTE* expected, BYTE* actual)
{
    char path[32];
    FilePath(number, path, sizeof path);
    FillPattern(expected, "FILE", number, 0, FileBytes);
    ZeroMemory(actual, FileBytes);
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) {
        Fail("file %s open: error %lu", path, GetLastError());
        return false;
    }
    DWORD read = 0;
    bool ok = ReadFile(file, actual, FileBytes, &read, NULL) && read == FileBytes;
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(file);
    if (!ok) {
        Fail("file %s read: error %lu (%lu bytes read)", path, error, read);
        return false;
    }
    if (memcmp(expected, actual, FileBytes) != 0) {
        Fail("file %s differs from what boot 1 wrote", path);
        return false;
    }
    Say("file %s read ok bytes=%lu", path, FileBytes);
    return true;
}

// The marks of a mounted volume as the disk holds them: the clean-shutdown
// bit of FAT entry 1 of the first FAT (bit 15 on FAT16, bit 27 on FAT32) and
// the dirty flag of the boot sector (bit 0 of byte 0x25, 0x41 on FAT32).
struct VolumeMarks {
    DWORD entry1;
    DWORD bootFlags;
    bool cleanBit;
    bool InUse() const { return !cleanBit || (bootFlags & 1); }
};

bool ReadVolumeMarks(HANDLE master, BYTE* buffer, VolumeMarks* marks)
{
    DWORD error = ReadAt(master, VolumeOffset, buffer, SectorBytes);
    if (error) {
        Fail("volume boot sector read: error %lu", error);
        return false;
    }
    ULONGLONG reserved = *(WORD*)(buffer + 0x0E);
    bool fat32 = *(WORD*)(buffer + 0x16) == 0;
    marks->bootFlags = buffer[fat32 ? 0x41 : 0x25];
    error = ReadAt(master, VolumeOffset + reserved * SectorBytes, buffer, SectorBytes);
    if (error) {
        Fail("volume FAT sector read: error %lu", error);
        return false;
    }
    marks->entry1 = fat32 ? *(DWORD*)(buffer + 4) : *(WORD*)(buffer + 2);
    marks->cleanBit = (marks->entry1 & (fat32 ? 0x08000000 : 0x8000)) != 0;
    return true;
}

// Asks the file system to write out what it holds of the volume, its FAT
// included; a failure only leaves the lazy writer to do it.
void FlushVolume()
{
    HANDLE volume = CreateFileA("\\\\.\\C:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_EXISTING, 0, NULL);
    if (volume == INVALID_HANDLE_VALUE) {
        Say("volume C: open for a flush: error %lu", GetLastError());
        return;
    }
    if (!FlushFileBuffers(volume))
        Say("volume C: flush: error %lu", GetLastError());
    CloseHandle(volume);
}

// The file system marks a mounted volume in use, but it writes the sectors
// that say so through its cache, so they reach the disk some time after the
// mount: after a flush of the volume they are read until a mark shows, for a
// while. The host looks at them again after the shutdown.
void ReportVolumeMarks(HANDLE master, BYTE* buffer)
{
    VolumeMarks marks;
    if (!ReadVolumeMarks(master, buffer, &marks))
        return;
    if (!marks.InUse()) {
        FlushVolume();
        if (!ReadVolumeMarks(master, buffer, &marks))
            return;
    }
    for (int tries = 0; !marks.InUse() && tries < 40; tries++) {
        Sleep(500);
        if (!ReadVolumeMarks(master, buffer, &marks))
            return;
    }
    Say("volume FAT entry1=0x%lX boot-flags=0x%02lX clean-shutdown bit while mounted=%d", marks.entry1,
        marks.bootFlags, marks.cleanBit);
}

class FileBuffers {
public:
    FileBuffers() : expected(AllocateTransferBuffer(FileBytes)), actual(AllocateTransferBuffer(FileBytes)) {}
    ~FileBuffers()
    {
        FreeTransferBuffer(expected);
        FreeTransferBuffer(actual);
    }
    FileBuffers(const FileBuffers&) = delete;
    FileBuffers& operator=(const FileBuffers&) = delete;
    bool Ready() const { return expected && actual; }
    BYTE* expected;
    BYTE* actual;
};

}  // namespace

// Boot 1: a persisted write-back cache started under the mounted volume;
// files written through the file system; then a clean shutdown.
void RunFatVolumeSave()
{
    ShutDownAfterReport();
    ControlDevice control;
    CachePair pair;
    if (!OpenAndStart(control, pair, CacheModeWriteBack))
        return;
    OptionsRecord options;
    ZeroMemory(&options, sizeof options);
    options.MasterId = MasterDiskId;
    options.Persist = 1;
    if (!Expect("set options persist=1", control.Ask(IoctlSetOptions, &options, false)) ||
        !SendForMaster(control, IoctlSaveTimestamp, "save timestamp") ||
        !SendForMaster(control, IoctlSaveMasterConfig, "save master config"))
        return;
    FileBuffers buffers;
    if (!buffers.Ready()) {
        Fail("file buffers: no memory");
        return;
    }
    if (!CreateDirectoryA("C:\\TVFAT", NULL)) {
        Fail("directory C:\\TVFAT create: error %lu", GetLastError());
        return;
    }
    PairCounters counters(control, pair);
    StatsDelta master, ssd;
    if (!counters.Mark())
        return;
    for (int number = 1; number <= FileCount; number++) {
        if (!WriteClientFile(number, buffers.expected))
            return;
    }
    if (!counters.Since("files", &master, &ssd))
        return;
    // The flushes may take the data on to the master at once; the cache
    // holds it either way.
    ExpectAtLeast("files ssd sectors-written-down", ssd.SectorsWrittenDown, FileCount * FileSectors);
    DWORD error;
    HANDLE raw = OpenDisk(MasterDisk, true, &error);
    if (raw == INVALID_HANDLE_VALUE) {
        Fail("master open for transfers: error %lu", error);
        return;
    }
    ReportVolumeMarks(raw, buffers.actual);
    CloseHandle(raw);
    ReportDriverKeys();
}

// Boot 2: the cache attached at boot from the saved map, so the first reads
// of boot 1's files come from the SSD.
void RunFatVolumeReuse()
{
    ControlDevice control;
    CachePair pair;
    if (!OpenAttachedAtBoot(control, pair, FileCount * FileBytes))
        return;
    FileBuffers buffers;
    if (!buffers.Ready()) {
        Fail("file buffers: no memory");
        return;
    }
    PairCounters counters(control, pair);
    StatsDelta master, ssd;
    if (!counters.Mark())
        return;
    for (int number = 1; number <= FileCount; number++) {
        if (!ReadClientFile(number, buffers.expected, buffers.actual))
            return;
    }
    if (!counters.Since("read of boot 1's files", &master, &ssd))
        return;
    ExpectServedBySsd("read of boot 1's files", master, ssd, FileCount * FileSectors);
}
