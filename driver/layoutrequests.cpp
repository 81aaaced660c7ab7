// Partition-layout requests. The sectors such a request may write are found
// without trusting anything: the disk's own tables are read sector by sector
// with a bound on the chain of extended boot records, and the caller's record
// is read only as far as its input length reaches.
#include "tolvarn.h"
#include "bitmaps.h"
#include "cachestate.h"
#include "destage.h"
#include "layoutrequests.h"
#include "pool.h"
#include "read.h"
#include "requests.h"
#include "worker.h"
#include "write.h"

// The MBR (or protective MBR), the GPT header and 32 sectors of its entries.
const ULONG LayoutHeadSectors = 34;
// The backup GPT entries and header at the end of the disk.
const ULONG LayoutTailSectors = 33;
// More extended boot records than this on one disk are taken as a loop or as
// garbage: the walk of the disk's chain stops there.
const ULONG MaxExtendedBootRecords = 128;

// A boot record's partition table (MBR and EBR alike).
const ULONG BootRecordEntries = 446;
const ULONG BootRecordEntrySize = 16;
const ULONG BootRecordEntryType = 4;
const ULONG BootRecordEntryStart = 8;
const ULONG BootRecordSignature = 510;  // 0x55 0xAA

bool IsLayoutRequest(ULONG code)
{
    switch (code) {
    case IOCTL_DISK_SET_DRIVE_LAYOUT:
    case IOCTL_DISK_SET_DRIVE_LAYOUT_EX:
    case IOCTL_DISK_CREATE_DISK:
    case IOCTL_DISK_SET_PARTITION_INFO:
    case IOCTL_DISK_SET_PARTITION_INFO_EX:
    case IOCTL_DISK_DELETE_DRIVE_LAYOUT: return true;
    default: return false;
    }
}

static ULONG ControlCodeOf(PIRP irp)
{
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
}

// The partition types that hold extended boot records (CHS, LBA, Linux).
static bool IsExtendedType(UCHAR type)
{
    return type == 0x05 || type == 0x0F || type == 0x85;
}

static ULONG LittleEndian32(const UCHAR* bytes)
{
    return (ULONG)bytes[0] | ((ULONG)bytes[1] << 8) | ((ULONG)bytes[2] << 16) | ((ULONG)bytes[3] << 24);
}

// ---------------------------------------------------------------------------
// Dropping cached sectors
// ---------------------------------------------------------------------------

// One layout request's work on a master's cache.
struct LayoutWork {
    PDEVICE_OBJECT Master;
    CacheMap* Map;
    ULONGLONG DiskSectors;
    ULONG SectorShift;
    UCHAR* Sector;       // one sector read from the master; null when short of memory
    ULONGLONG* Visited;  // extended boot records read so far
    ULONG VisitedCount;
};

// Copies the dirty data of a slot to the master, so that dropping its valid
// bits loses nothing the request does not rewrite. A piece that fails ends it.
static void DestageSlot(const LayoutWork* work, SsdSlot slot)
{
    CacheMap* map = work->Map;
    ULONG pieceLimit = MaxDestageBytes >> work->SectorShift;
    // Every piece that succeeds cleans at least one sector of the slot.
    ULONG slotSectors = 1u << map->BlockShiftSectors;
    for (ULONG pieces = 0; pieces < slotSectors; pieces++) {
        ULONGLONG firstBit;
        ULONG count;
        if (!FindDirtyRun(map, slot, &firstBit, &count))
            return;
        DestageRequest piece = {work->Master, map, SlotFirstSsdSector(map, slot) + firstBit,
                                count < pieceLimit ? count : pieceLimit};
        if (!NT_SUCCESS(DestageRun(&piece)))
            return;
    }
}

static void DestageRange(const LayoutWork* work, ULONGLONG first, ULONG count)
{
    CacheMap* map = work->Map;
    if (!map->CleanBitmap)
        return;
    ULONGLONG lastBlock = (first + count - 1) >> map->BlockShiftSectors;
    for (ULONGLONG number = first >> map->BlockShiftSectors; number <= lastBlock; number++) {
        MasterBlock block;
        if (!BlockOfSector(map, number << map->BlockShiftSectors, &block))
            return;
        SsdSlot slot = GetBlockSlot(&map->Blocks, block);
        if (slot != NoSlot)
            DestageSlot(work, slot);
    }
}

// The cached copies of [first, first + count), cut at the end of the disk,
// lose their valid bits, once their dirty data has reached the master.
static void DropRange(const LayoutWork* work, ULONGLONG first, ULONG count)
{
    if (first >= work->DiskSectors || count == 0)
        return;
    if (count > work->DiskSectors - first)
        count = (ULONG)(work->DiskSectors - first);
    DestageRange(work, first, count);
    InvalidateMasterRange(work->Map, first, count, CurrentBootTime());
}

static void DropByteOffset(const LayoutWork* work, LONGLONG offset)
{
    if (offset >= 0)
        DropRange(work, (ULONGLONG)offset >> work->SectorShift, 1);
}

// ---------------------------------------------------------------------------
// The layout on the disk
// ---------------------------------------------------------------------------

// Reads a sector from the master (its cached copy has been dropped and its
// dirty data destaged, so the master holds the current bytes); true when it
// carries a boot record's signature.
static bool ReadBootRecord(const LayoutWork* work, ULONGLONG sector)
{
    DiskRequest request = {work->Master, sector, 1, NULL};
    if (!NT_SUCCESS(ReadSectorsSyncCounted(&request, work->Sector)))
        return false;
    return work->Sector[BootRecordSignature] == 0x55 && work->Sector[BootRecordSignature + 1] == 0xAA;
}

static const UCHAR* BootRecordEntry(const LayoutWork* work, ULONG index)
{
    return work->Sector + BootRecordEntries + index * BootRecordEntrySize;
}

static bool WasVisited(const LayoutWork* work, ULONGLONG sector)
{
    for (ULONG i = 0; i < work->VisitedCount; i++)
        if (work->Visited[i] == sector)
            return true;
    return false;
}

// Follows the chain of an extended partition that starts at sector base: each
// record's second entry, when it is extended, gives the next record relative
// to base. A record seen before, one past the disk, a missing signature or
// the bound ends the walk.
static void DropExtendedChain(LayoutWork* work, ULONGLONG base)
{
    ULONGLONG record = base;
    while (record < work->DiskSectors && !WasVisited(work, record) &&
           work->VisitedCount < MaxExtendedBootRecords) {
        work->Visited[work->VisitedCount++] = record;
        DropRange(work, record, 1);
        if (!ReadBootRecord(work, record))
            return;
        const UCHAR* link = BootRecordEntry(work, 1);
        if (!IsExtendedType(link[BootRecordEntryType]))
            return;
        record = base + LittleEndian32(link + BootRecordEntryStart);
    }
}

// The extended boot records of the layout on the disk, found from its MBR
// (sector 0, already dropped).
static void DropDiskExtendedRecords(LayoutWork* work)
{
    if (!work->Sector || !ReadBootRecord(work, 0))
        return;
    // The walks reuse the sector buffer: the MBR's chains are noted first.
    ULONGLONG bases[4];
    ULONG baseCount = 0;
    for (ULONG i = 0; i < 4; i++) {
        const UCHAR* entry = BootRecordEntry(work, i);
        ULONG start = LittleEndian32(entry + BootRecordEntryStart);
        if (IsExtendedType(entry[BootRecordEntryType]) && start != 0)
            bases[baseCount++] = start;
    }
    for (ULONG i = 0; i < baseCount; i++)
        DropExtendedChain(work, bases[i]);
}

// ---------------------------------------------------------------------------
// The layout the request carries
// ---------------------------------------------------------------------------

// Entries of a record that lie wholly inside the input: at most the count the
// record gives.
static ULONG EntriesInInput(ULONG inputLength, ULONG headerSize, ULONG entrySize, ULONG count)
{
    if (inputLength < headerSize)
        return 0;
    ULONG fit = (inputLength - headerSize) / entrySize;
    return count < fit ? count : fit;
}

// Every extended entry of an MBR layout starts at an extended boot record
// that the request writes: the extended partition at its first, each link at
// the next.
static void DropRequestExtendedRecords(const LayoutWork* work, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const void* input = irp->AssociatedIrp.SystemBuffer;
    if (!input)
        return;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_DISK_SET_DRIVE_LAYOUT: {
        const DRIVE_LAYOUT_INFORMATION* layout = (const DRIVE_LAYOUT_INFORMATION*)input;
        ULONG headerSize = FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION, PartitionEntry);
        if (inputLength < headerSize)
            return;
        ULONG count = EntriesInInput(inputLength, headerSize, sizeof(PARTITION_INFORMATION), layout->PartitionCount);
        for (ULONG i = 0; i < count; i++)
            if (IsExtendedType(layout->PartitionEntry[i].PartitionType))
                DropByteOffset(work, layout->PartitionEntry[i].StartingOffset.QuadPart);
        break;
    }
    case IOCTL_DISK_SET_DRIVE_LAYOUT_EX: {
        const DRIVE_LAYOUT_INFORMATION_EX* layout = (const DRIVE_LAYOUT_INFORMATION_EX*)input;
        ULONG headerSize = FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
        if (inputLength < headerSize || layout->PartitionStyle != PARTITION_STYLE_MBR)
            return;
        ULONG count =
            EntriesInInput(inputLength, headerSize, sizeof(PARTITION_INFORMATION_EX), layout->PartitionCount);
        for (ULONG i = 0; i < count; i++) {
            const PARTITION_INFORMATION_EX* entry = &layout->PartitionEntry[i];
            if (entry->PartitionStyle == PARTITION_STYLE_MBR && IsExtendedType(entry->Mbr.PartitionType))
                DropByteOffset(work, entry->StartingOffset.QuadPart);
        }
        break;
    }
    default: break;  // the other requests carry no extended boot records
    }
}

// ---------------------------------------------------------------------------
// The requests
// ---------------------------------------------------------------------------

void InvalidateLayoutSector(PDEVICE_OBJECT master, PIRP irp)
{
    PAGED_CODE();
    FilterExtension* ext = FilterExtensionOf(master);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (!ext->Cache.Active || !ext->Cache.Map.SsdDevice || stack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        !IsLayoutRequest(ControlCodeOf(irp)))
        return;

    LayoutWork work;
    work.Master = master;
    work.Map = &ext->Cache.Map;
    work.DiskSectors = ext->LengthSectors;
    work.SectorShift = ext->SectorShift;
    work.VisitedCount = 0;
    // Without the buffer (short of memory, or sectors too small for a boot
    // record) the disk's chain is not read; everything else is still dropped.
    ULONG sectorBytes = 1u << ext->SectorShift;
    SIZE_T bufferBytes = sectorBytes + MaxExtendedBootRecords * sizeof(ULONGLONG);
    UCHAR* buffer = sectorBytes >= 512 ? (UCHAR*)AllocatePool(bufferBytes) : NULL;
    work.Sector = buffer;
    work.Visited = buffer ? (ULONGLONG*)(buffer + sectorBytes) : NULL;

    // Failed writes settle first: no destage may copy sectors whose write did
    // not land.
    ApplyPendingInvalidations(master);
    if (work.Map->CleanBitmap)
        WaitForOwnCacheIo(work.Map);

    DropRange(&work, 0, LayoutHeadSectors);
    if (work.DiskSectors > LayoutTailSectors)
        DropRange(&work, work.DiskSectors - LayoutTailSectors, LayoutTailSectors);
    DropDiskExtendedRecords(&work);
    DropRequestExtendedRecords(&work, irp);
    if (buffer)
        FreePool(buffer);
}

NTSTATUS MasterDeviceControl(PDEVICE_OBJECT master, PIRP irp)
{
    if (!FilterExtensionOf(master)->Cache.Active || !IsLayoutRequest(ControlCodeOf(irp)))
        return PassDown(master, irp);
    if (QueueIrpToWorker(master, irp))
        return STATUS_PENDING;
    // No worker: the sectors are dropped on this thread, and the request is
    // answered as a queued one would be.
    IoMarkIrpPending(irp);
    InvalidateLayoutSector(master, irp);
    PassDown(master, irp);
    return STATUS_PENDING;
}

NTSTATUS SsdDeviceControl(PDEVICE_OBJECT ssd, PIRP irp)
{
    if (IsLayoutRequest(ControlCodeOf(irp)))
        return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
    return PassDown(ssd, irp);
}
