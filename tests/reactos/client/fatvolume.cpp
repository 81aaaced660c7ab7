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

// The volume's clean-shutdown bit as the disk holds it: FAT entry 1 of the
// first FAT (bit 15 on FAT16, bit 27 on FAT32). A mounted volume has it
// cleared; the host looks at it again after the shutdown.
void ReportCleanShutdownBit(HANDLE master, BYTE* buffer)
{
    DWORD error = ReadAt(master, VolumeOffset, buffer, SectorBytes);
    if (error) {
        Fail("volume boot sector read: error %lu", error);
        return;
    }
    ULONGLONG reserved = *(WORD*)(buffer + 0x0E);
    bool fat32 = *(WORD*)(buffer + 0x16) == 0;
    error = ReadAt(master, VolumeOffset + reserved * SectorBytes, buffer, SectorBytes);
    if (error) {
        Fail("volume FAT sector read: error %lu", error);
        return;
    }
    DWORD entry = fat32 ? *(DWORD*)(buffer + 4) : *(WORD*)(buffer + 2);
    DWORD bit = fat32 ? 0x08000000 : 0x8000;
    Say("volume %s entry1=0x%lX clean-shutdown bit while mounted=%d", fat32 ? "FAT32" : "FAT16", entry,
        (entry & bit) != 0);
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
    ReportCleanShutdownBit(raw, buffers.actual);
    CloseHandle(raw);
    ReportDriverKeys();
}

// Boot 2: the cache attached at boot from the saved map, so the first reads
// of boot 1's files come from the SSD.
void RunFatVolumeReuse()
{
    ControlDevice control;
    CachePair pair;
    DWORD error = control.Open();
    if (error) {
        Fail("control open: error %lu", error);
        return;
    }
    if (!ReadCachePair(&pair))
        return;
    StateRecord state;
    if (!ReadState(control, &state))
        return;
    Say("cache state active=%u block=%lu slots=%lu", state.Active, state.BlockBytes, state.SlotCount);
    if (state.Active != 1 || state.BlockBytes != (1u << CacheBlockShift)) {
        Fail("cache state at logon: expected active=1 block=%lu (attached at boot)", 1ul << CacheBlockShift);
        return;
    }
    UsageRecord usage;
    if (ReadUsage(control, &usage))
        ExpectAtLeast("cached bytes at logon", usage.CachedBytes, FileCount * FileBytes);
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
