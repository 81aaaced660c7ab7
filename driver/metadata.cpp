// The on-SSD metadata of a master's cache: the area's layout, the header
// sector, and the save and load of the cache map.
//
// A saved map is reused only through a header that is this driver's own,
// describes exactly the layout of the configured area and carries the stamp
// kept in the registry; the load clears that stamp on the SSD before the map
// is read, so a saved map serves one boot. The SSD's write cache is flushed
// after the map data and before a stamped header is written, and after every
// header change that stops a reuse, so a power cut never leaves a stamped
// header over a map that did not reach the medium.
#include "tolvarn.h"
#include "bitmaps.h"
#include "metadata.h"
#include "pnp.h"
#include "pool.h"
#include "requests.h"

// ---------------------------------------------------------------------------
// Layout and header bytes
// ---------------------------------------------------------------------------

const ULONG MinSectorShift = 9;  // the header and its previous copy need 400 bytes
const ULONG MaxSectorShift = 16;
const ULONG MaxBlockShift = 31;  // the block size is reported in a u32

ULONGLONG SlotTableBytes(ULONG slotCount, ULONG sectorShift)
{
    return ((((ULONGLONG)slotCount * sizeof(SlotRecord)) >> sectorShift) + 1) << sectorShift;
}

NTSTATUS ComputeSsdLayout(CacheGeometry* geometry, const CacheAreaConfig* area, ULONG sectorShift)
{
    ULONG blockShift = geometry->BlockShift;
    if (sectorShift < MinSectorShift || sectorShift > MaxSectorShift || blockShift < sectorShift + 3 ||
        blockShift > MaxBlockShift)
        return STATUS_INVALID_PARAMETER;
    ULONGLONG sectorMask = ((ULONGLONG)1 << sectorShift) - 1;
    ULONGLONG start = area->SsdCacheStart;
    ULONGLONG end = area->SsdCacheEnd;
    if ((start & sectorMask) != 0 || (end & sectorMask) != 0 || end <= start)
        return STATUS_INVALID_PARAMETER;

    ULONGLONG headerBytes = sectorMask + 1 > HeaderRegionMin ? sectorMask + 1 : HeaderRegionMin;
    if (end - start <= headerBytes)
        return STATUS_INVALID_PARAMETER;
    ULONGLONG dataStart = start + headerBytes;
    ULONGLONG fitting = (end - dataStart) >> blockShift;  // blocks that fit without metadata
    if (fitting == 0 || fitting > 0xFFFFFFFFull)
        return STATUS_INVALID_PARAMETER;
    ULONGLONG tableBytes = SlotTableBytes((ULONG)fitting, sectorShift);
    ULONGLONG bitmapBytes = BitmapBytes(blockShift, sectorShift, (ULONG)fitting);
    if (tableBytes > 0xFFFFFFFFull || bitmapBytes == 0)
        return STATUS_INVALID_PARAMETER;
    ULONGLONG metadataBytes = tableBytes + 2 * bitmapBytes;
    if (metadataBytes > end - dataStart)
        return STATUS_INVALID_PARAMETER;
    ULONGLONG slotTable = end - tableBytes;
    ULONGLONG validBitmap = slotTable - bitmapBytes;
    ULONGLONG cleanBitmap = validBitmap - bitmapBytes;
    ULONGLONG slots = (cleanBitmap - dataStart) >> blockShift;
    if (slots == 0 || slots > MaxSlotCount)
        return STATUS_INVALID_PARAMETER;

    geometry->SlotCount = (ULONG)slots;
    geometry->SlotTableOffset = slotTable;
    geometry->ValidBitmapOffset = validBitmap;
    geometry->CleanBitmapOffset = cleanBitmap;
    geometry->DataStart = dataStart;
    geometry->DataEnd = dataStart + (slots << blockShift);
    return STATUS_SUCCESS;
}

static ULONG NameChars(const WCHAR* name)
{
    ULONG chars = 0;
    while (chars < HeaderNameChars && name[chars] != 0)
        chars++;
    return chars;
}

bool HeaderNameFits(const WCHAR* serviceName)
{
    return serviceName && NameChars(serviceName) < HeaderNameChars;
}

void EncodeMetadataHeader(UCHAR* sector, const WCHAR* serviceName, const CacheAreaConfig* area,
                          const CacheGeometry* geometry, ULONGLONG stamp)
{
    RtlCopyMemory(sector + PreviousHeaderOffset, sector, sizeof(MetadataHeader));
    MetadataHeader header;
    RtlZeroMemory(&header, sizeof header);
    header.HeaderSize = MetadataHeaderSize;
    header.Version = MetadataVersion;
    RtlCopyMemory(header.ServiceName, serviceName, NameChars(serviceName) * sizeof(WCHAR));
    header.Stamp = stamp;
    header.AreaStart = area->SsdCacheStart;
    header.AreaEnd = area->SsdCacheEnd;
    header.SlotTableOffset = geometry->SlotTableOffset;
    header.ValidBitmapOffset = geometry->ValidBitmapOffset;
    header.CleanBitmapOffset = geometry->CleanBitmapOffset;
    header.DataStart = geometry->DataStart;
    header.DataEnd = geometry->DataEnd;
    header.SlotCount = geometry->SlotCount;
    header.BlockShift = (UCHAR)geometry->BlockShift;
    RtlCopyMemory(sector, &header, sizeof header);
}

static bool IsOwnName(const MetadataHeader* header, const WCHAR* serviceName)
{
    ULONG chars = NameChars(serviceName);
    for (ULONG i = 0; i <= chars; i++) {
        if (header->ServiceName[i] != serviceName[i])
            return false;
    }
    return true;
}

static bool SameLayout(const MetadataHeader* header, const CacheGeometry* geometry)
{
    return header->SlotTableOffset == geometry->SlotTableOffset &&
           header->ValidBitmapOffset == geometry->ValidBitmapOffset &&
           header->CleanBitmapOffset == geometry->CleanBitmapOffset &&
           header->DataStart == geometry->DataStart && header->DataEnd == geometry->DataEnd &&
           header->SlotCount == geometry->SlotCount;
}

bool DecodeMetadataHeader(const UCHAR* sector, const WCHAR* serviceName, const CacheAreaConfig* area,
                          ULONG sectorShift, CacheGeometry* geometry, ULONGLONG* stamp)
{
    if (!HeaderNameFits(serviceName))
        return false;
    MetadataHeader header;
    RtlCopyMemory(&header, sector, sizeof header);
    if (header.HeaderSize != MetadataHeaderSize || header.Version != MetadataVersion ||
        !IsOwnName(&header, serviceName))
        return false;
    // A header written for another area, or whose layout is not the one this
    // area gives, would address SSD sectors outside the area.
    if (header.AreaStart != area->SsdCacheStart || header.AreaEnd != area->SsdCacheEnd)
        return false;
    CacheGeometry expected;
    RtlZeroMemory(&expected, sizeof expected);
    expected.BlockShift = header.BlockShift;
    if (!NT_SUCCESS(ComputeSsdLayout(&expected, area, sectorShift)) || !SameLayout(&header, &expected))
        return false;
    *geometry = expected;
    *stamp = header.Stamp;
    return true;
}

static void ClearHeaderStamp(UCHAR* sector)
{
    RtlZeroMemory(sector + FIELD_OFFSET(MetadataHeader, Stamp), sizeof(ULONGLONG));
}

// ---------------------------------------------------------------------------
// SSD transfers
// ---------------------------------------------------------------------------

static UCHAR* AllocSector(PDEVICE_OBJECT ssd)
{
    return (UCHAR*)AllocatePool((SIZE_T)1 << FilterExtensionOf(ssd)->SectorShift);
}

static NTSTATUS TransferHeaderSector(PDEVICE_OBJECT ssd, UCHAR* sector, bool write)
{
    const FilterExtension* ext = FilterExtensionOf(ssd);
    if (ext->Area.SsdCacheEnd == 0)
        return STATUS_INVALID_DEVICE_REQUEST;
    DiskRequest request = {ssd, ext->Area.SsdCacheStart >> ext->SectorShift, 1, NULL};
    return write ? WriteSectorsSync(&request, sector) : ReadSectorsSync(&request, sector);
}

NTSTATUS ReadHeaderSector(PDEVICE_OBJECT ssd, UCHAR* sector)
{
    return TransferHeaderSector(ssd, sector, false);
}

NTSTATUS WriteHeaderSector(PDEVICE_OBJECT ssd, UCHAR* sector)
{
    return TransferHeaderSector(ssd, sector, true);
}

// Metadata transfers sent together: every piece of every transfer added to a
// batch is in flight until WaitForTransfers, and each transfer keeps the
// status of its own first failing piece (STATUS_PENDING while none failed).
// The waiter holds one count while it adds transfers and each piece one until
// its completion; only the drop to zero signals Done.
struct TransferBatch {
    volatile LONG Outstanding;
    KEVENT Done;
};

struct BatchPiece {
    TransferBatch* Batch;
    volatile LONG* Status;
};

IO_COMPLETION_ROUTINE BatchPieceCompletion;

static void BeginTransfers(TransferBatch* batch)
{
    batch->Outstanding = 1;
    KeInitializeEvent(&batch->Done, NotificationEvent, FALSE);
}

static void DropBatchCount(TransferBatch* batch)
{
    if (InterlockedDecrement(&batch->Outstanding) == 0)
        KeSetEvent(&batch->Done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS NTAPI BatchPieceCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    BatchPiece* piece = (BatchPiece*)context;
    TransferBatch* batch = piece->Batch;
    volatile LONG* status = piece->Status;
    NTSTATUS result = FreeOwnIrp(irp);
    FreePool(piece);
    if (result != STATUS_SUCCESS)
        InterlockedCompareExchange(status, result, STATUS_PENDING);
    DropBatchCount(batch);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A piece that cannot be built counts as done with STATUS_INSUFFICIENT_RESOURCES.
static void AddBatchPiece(TransferBatch* batch, PDEVICE_OBJECT ssd, ULONGLONG offset, ULONG bytes, UCHAR* buffer,
                          bool write, volatile LONG* status)
{
    InterlockedIncrement(&batch->Outstanding);
    BatchPiece* piece = (BatchPiece*)AllocatePool(sizeof(BatchPiece));
    PIRP irp = NULL;
    if (piece)
        irp = write ? BuildOwnWriteIrp(ssd, offset, bytes, buffer) : BuildOwnReadIrp(ssd, offset, bytes, buffer);
    if (!irp) {
        if (piece)
            FreePool(piece);
        InterlockedExchange(status, STATUS_INSUFFICIENT_RESOURCES);
        DropBatchCount(batch);
        return;
    }
    piece->Batch = batch;
    piece->Status = status;
    if (write)
        SendOwnWriteIrp(ssd, irp, 0, BatchPieceCompletion, piece);
    else
        SendOwnReadIrp(ssd, irp, 0, BatchPieceCompletion, piece);
}

// Whole sectors at a sector-aligned offset, in pieces of at most the SSD's
// MaxTransfer (one piece while it is unknown), as the synchronous transfers.
static void AddTransfer(TransferBatch* batch, PDEVICE_OBJECT ssd, ULONGLONG offset, ULONG bytes, PVOID buffer,
                        bool write, volatile LONG* status)
{
    const FilterExtension* ext = FilterExtensionOf(ssd);
    ULONG sectorMask = (1u << ext->SectorShift) - 1;
    ULONG perPiece = ext->MaxTransfer & ~sectorMask;
    offset &= ~(ULONGLONG)sectorMask;
    *status = STATUS_PENDING;
    UCHAR* at = (UCHAR*)buffer;
    ULONG remaining = bytes & ~sectorMask;
    while (remaining != 0) {
        ULONG piece = perPiece != 0 && remaining > perPiece ? perPiece : remaining;
        AddBatchPiece(batch, ssd, offset, piece, at, write, status);
        offset += piece;
        at += piece;
        remaining -= piece;
    }
}

static void AddHeaderTransfer(TransferBatch* batch, PDEVICE_OBJECT ssd, UCHAR* sector, bool write,
                              volatile LONG* status)
{
    const FilterExtension* ext = FilterExtensionOf(ssd);
    if (ext->Area.SsdCacheEnd == 0) {
        *status = STATUS_INVALID_DEVICE_REQUEST;
        return;
    }
    ULONGLONG offset = (ext->Area.SsdCacheStart >> ext->SectorShift) << ext->SectorShift;
    AddTransfer(batch, ssd, offset, 1u << ext->SectorShift, sector, write, status);
}

static void WaitForTransfers(TransferBatch* batch)
{
    if (InterlockedDecrement(&batch->Outstanding) != 0)
        KeWaitForSingleObject(&batch->Done, Executive, KernelMode, FALSE, NULL);
}

static NTSTATUS TransferResult(LONG status)
{
    return status == STATUS_PENDING ? STATUS_SUCCESS : (NTSTATUS)status;
}

struct FlushWait {
    KEVENT Done;
    NTSTATUS Status;
};

IO_COMPLETION_ROUTINE FlushCompletion;

NTSTATUS NTAPI FlushCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    FlushWait* wait = (FlushWait*)context;
    wait->Status = FreeOwnIrp(irp);
    KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FlushDiskCache(PDEVICE_OBJECT device)
{
    PAGED_CODE();
    PDEVICE_OBJECT lower = FilterExtensionOf(device)->LowerDevice;
    PIRP irp = IoAllocateIrp((CCHAR)(lower->StackSize + 1), FALSE);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    location->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    location->MinorFunction = 0;
    location->DeviceObject = device;
    IoCopyCurrentIrpStackLocationToNext(irp);

    FlushWait wait;
    KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
    wait.Status = STATUS_PENDING;
    IoSetCompletionRoutine(irp, FlushCompletion, &wait, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, NULL);
    return wait.Status;
}

// ---------------------------------------------------------------------------
// Header sector
// ---------------------------------------------------------------------------

static bool ReadAcceptedHeader(PDEVICE_OBJECT ssd, UCHAR* sector, CacheGeometry* geometry, ULONGLONG* stamp)
{
    const FilterExtension* ext = FilterExtensionOf(ssd);
    if (!NT_SUCCESS(ReadHeaderSector(ssd, sector)))
        return false;
    return DecodeMetadataHeader(sector, ServiceName, &ext->Area, ext->SectorShift, geometry, stamp);
}

bool ReadMetadataHeader(PDEVICE_OBJECT ssd, UCHAR* sector, CacheGeometry* geometry)
{
    ULONGLONG stamp;
    return ReadAcceptedHeader(ssd, sector, geometry, &stamp);
}

// The header written over the sector as it was read from the SSD.
static NTSTATUS WriteHeaderOver(PDEVICE_OBJECT ssd, UCHAR* sector, const CacheGeometry* geometry, ULONGLONG stamp)
{
    EncodeMetadataHeader(sector, ServiceName, &FilterExtensionOf(ssd)->Area, geometry, stamp);
    return WriteHeaderSector(ssd, sector);
}

NTSTATUS WriteMetadataHeader(PDEVICE_OBJECT ssd, UCHAR* sector, const CacheGeometry* geometry,
                             ULONGLONG stamp)
{
    if (!HeaderNameFits(ServiceName))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = ReadHeaderSector(ssd, sector);
    if (!NT_SUCCESS(status))
        return status;
    return WriteHeaderOver(ssd, sector, geometry, stamp);
}

NTSTATUS WipeMetadataHeader(PDEVICE_OBJECT ssd)
{
    UCHAR* sector = AllocSector(ssd);
    if (!sector)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(sector, (SIZE_T)1 << FilterExtensionOf(ssd)->SectorShift);
    NTSTATUS status = WriteHeaderSector(ssd, sector);
    FreePool(sector);
    return status;
}

// ---------------------------------------------------------------------------
// The master's map
// ---------------------------------------------------------------------------

NTSTATUS BindCacheToSsd(CacheState* state, ULONGLONG ssdDiskId)
{
    if (ssdDiskId == 0)
        return STATUS_SUCCESS;
    PDEVICE_OBJECT ssd = FindDeviceByDiskId(ssdDiskId);
    if (!ssd)
        return STATUS_INVALID_DEVICE_REQUEST;
    state->MetadataValid = 0;
    state->Persist = 0;
    // Tables left by an earlier cache of this master would be lost by the reset.
    FreeMapTables(&state->Map);
    ResetCacheMap(&state->Map);
    state->Map.SsdDevice = ssd;
    return STATUS_SUCCESS;
}

NTSTATUS SetUpCacheMap(PDEVICE_OBJECT master)
{
    FilterExtension* ext = FilterExtensionOf(master);
    CacheMap* map = &ext->Cache.Map;
    if (!map->SsdDevice)
        return STATUS_INVALID_DEVICE_STATE;
    ULONG sectorShift = FilterExtensionOf(map->SsdDevice)->SectorShift;
    const CacheGeometry* geometry = &ext->Geometry;
    CacheMapLayout layout;
    layout.MasterSectors = ext->LengthSectors;
    layout.SectorShift = sectorShift;
    layout.BlockShift = geometry->BlockShift;
    layout.SlotCount = geometry->SlotCount;
    layout.DataStart = geometry->DataStart >> sectorShift;
    layout.DataEnd = geometry->DataEnd >> sectorShift;
    layout.Mode = ext->Master.SsdCacheMode;
    layout.WriteMode = ext->Master.SsdCacheWriteMode;
    layout.MinBoot = ext->Master.SsdCacheMinBoot;
    return SizeCacheMap(map, &layout);
}

// The reads of a saved map, sent together: the tables they fill are
// allocated first, and the slot records go to a buffer of whole sectors.
struct SavedMapReads {
    SlotRecord* Records;
    ULONGLONG RecordBytes;
    volatile LONG Valid, Clean, Slots;
};

static void InitSavedMapReads(SavedMapReads* reads)
{
    reads->Records = NULL;
    reads->RecordBytes = 0;
    reads->Valid = reads->Clean = reads->Slots = STATUS_PENDING;
}

static NTSTATUS StartSavedMapReads(CacheMap* map, const CacheGeometry* geometry, TransferBatch* batch,
                                   SavedMapReads* reads)
{
    if (!HasUsableSizes(map))
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT ssd = map->SsdDevice;
    if (!AllocValidBitmap(map) || (map->Mode == CacheModeWriteBack && !AllocCleanBitmap(map)) ||
        !AllocBlockTable(&map->Blocks) || !AllocSlotTable(&map->Slots))
        return STATUS_INSUFFICIENT_RESOURCES;
    reads->RecordBytes = SlotTableBytes(map->Slots.SlotCount, FilterExtensionOf(ssd)->SectorShift);
    reads->Records = (SlotRecord*)AllocMapMemory(reads->RecordBytes);  // the read fills it whole
    if (!reads->Records)
        return STATUS_INSUFFICIENT_RESOURCES;
    AddTransfer(batch, ssd, geometry->ValidBitmapOffset, map->BitmapSize, map->ValidBitmap, false, &reads->Valid);
    if (map->Mode == CacheModeWriteBack)
        AddTransfer(batch, ssd, geometry->CleanBitmapOffset, map->BitmapSize, map->CleanBitmap, false,
                    &reads->Clean);
    AddTransfer(batch, ssd, geometry->SlotTableOffset, (ULONG)reads->RecordBytes, reads->Records, false,
                &reads->Slots);
    return STATUS_SUCCESS;
}

// Once every read is done: the first error in the order valid bitmap, clean
// bitmap, slot table; then the slots from their records, where records that
// name a block beyond the master or one already taken leave their slot free.
static NTSTATUS FinishSavedMap(CacheMap* map, const SavedMapReads* reads)
{
    NTSTATUS status = TransferResult(reads->Valid);
    if (NT_SUCCESS(status) && map->Mode == CacheModeWriteBack) {
        status = TransferResult(reads->Clean);
        if (!NT_SUCCESS(status))
            FreeCleanBitmap(map);
    }
    if (NT_SUCCESS(status))
        status = TransferResult(reads->Slots);
    if (NT_SUCCESS(status) && !SlotsFromRecords(map, reads->Records, map->Slots.SlotCount, NULL))
        status = STATUS_INVALID_DEVICE_STATE;
    if (!NT_SUCCESS(status))
        return status;
    BuildSlotLists(&map->Slots);
    ForgetDirtyHints(map);
    return STATUS_SUCCESS;
}

static void FreeSavedMapReads(SavedMapReads* reads)
{
    if (reads->Records)
        FreeMapMemory(reads->Records, reads->RecordBytes);
    reads->Records = NULL;
}

static bool ReusesSavedMap(const CacheState* state)
{
    return state->MetadataValid && !state->WrittenDetached;
}

static NTSTATUS InitFreshMap(CacheMap* map)
{
    return map->Mode == CacheModeWriteBack ? InitEmptyMapWithClean(map) : InitEmptyMap(map);
}

NTSTATUS LoadCacheMap(CacheState* state, const CacheGeometry* geometry)
{
    CacheMap* map = &state->Map;
    if (!ReusesSavedMap(state))
        return InitFreshMap(map);
    TransferBatch batch;
    BeginTransfers(&batch);
    SavedMapReads reads;
    InitSavedMapReads(&reads);
    NTSTATUS status = StartSavedMapReads(map, geometry, &batch, &reads);
    WaitForTransfers(&batch);
    if (NT_SUCCESS(status))
        status = FinishSavedMap(map, &reads);
    FreeSavedMapReads(&reads);
    return status;
}

void FreeCacheMap(CacheState* state)
{
    state->Persist = 0;
    if (!state->Map.SsdDevice)
        return;
    FreeMapTables(&state->Map);
    state->Map.SsdDevice = NULL;
}

// Clears the stamp of the accepted header held in `sector` on the SSD and
// builds the map, so that a saved map serves one boot. The cleared header
// goes down first and the saved map's reads beside it (they share no sector);
// the map is used only once the header is on the medium, so a crash at any
// point leaves no stamp over a map the cache has changed. A header that
// cannot be cleared stops the load whatever was read.
static NTSTATUS ClearStampAndLoadMap(PDEVICE_OBJECT master, UCHAR* sector)
{
    FilterExtension* ext = FilterExtensionOf(master);
    CacheState* state = &ext->Cache;
    CacheMap* map = &state->Map;
    PDEVICE_OBJECT ssd = map->SsdDevice;
    ClearHeaderStamp(sector);
    TransferBatch batch;
    BeginTransfers(&batch);
    volatile LONG header;
    AddHeaderTransfer(&batch, ssd, sector, true, &header);
    SavedMapReads reads;
    InitSavedMapReads(&reads);
    NTSTATUS mapStatus = SetUpCacheMap(master);
    if (NT_SUCCESS(mapStatus) && ReusesSavedMap(state))
        mapStatus = StartSavedMapReads(map, &ext->Geometry, &batch, &reads);
    WaitForTransfers(&batch);

    NTSTATUS status = TransferResult(header);
    if (NT_SUCCESS(status))
        status = FlushDiskCache(ssd);
    if (NT_SUCCESS(status))
        status = mapStatus;
    if (NT_SUCCESS(status))
        status = ReusesSavedMap(state) ? FinishSavedMap(map, &reads) : InitFreshMap(map);
    FreeSavedMapReads(&reads);
    return status;
}

bool LoadMetadata(PDEVICE_OBJECT master)
{
    PAGED_CODE();
    FilterExtension* ext = FilterExtensionOf(master);
    CacheState* state = &ext->Cache;
    if (!NT_SUCCESS(BindCacheToSsd(state, ext->Master.SsdCacheDiskId)))
        return false;
    PDEVICE_OBJECT ssd = state->Map.SsdDevice;
    if (!ssd)
        return true;
    UCHAR* sector = AllocSector(ssd);
    if (!sector) {
        state->Map.SsdDevice = NULL;
        return false;
    }
    bool loaded = false;
    CacheGeometry geometry;
    ULONGLONG stamp;
    if (ReadAcceptedHeader(ssd, sector, &geometry, &stamp)) {
        ext->Geometry = geometry;
        state->MetadataValid = ext->TimeStamp != 0 && ext->TimeStamp == stamp;
        loaded = NT_SUCCESS(ClearStampAndLoadMap(master, sector));
    }
    FreePool(sector);
    if (!loaded)
        FreeCacheMap(state);
    return loaded;
}

NTSTATUS InitCacheOnSsd(PDEVICE_OBJECT master)
{
    PAGED_CODE();
    FilterExtension* ext = FilterExtensionOf(master);
    CacheState* state = &ext->Cache;
    NTSTATUS status = BindCacheToSsd(state, ext->Master.SsdCacheDiskId);
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_OBJECT ssd = state->Map.SsdDevice;
    if (!ssd)
        return STATUS_SUCCESS;
    // The old header goes for good before the new cache writes anything.
    status = WipeMetadataHeader(ssd);
    if (NT_SUCCESS(status))
        status = FlushDiskCache(ssd);
    if (NT_SUCCESS(status))
        status = ComputeSsdLayout(&ext->Geometry, &FilterExtensionOf(ssd)->Area,
                                  FilterExtensionOf(ssd)->SectorShift);
    if (NT_SUCCESS(status)) {
        state->MetadataValid = 0;
        status = SetUpCacheMap(master);
    }
    if (NT_SUCCESS(status))
        status = LoadCacheMap(state, &ext->Geometry);
    if (!NT_SUCCESS(status))
        FreeCacheMap(state);
    return status;
}

// The read of the header sector that a save writes over. It goes down
// beside the first write of map data, after it in the SSD's queue (the data
// does not wait for the read), and is waited for before the header is written.
struct HeaderRead {
    TransferBatch Batch;
    UCHAR* Sector;
    volatile LONG Status;
    bool Sent;
};

static void InitHeaderRead(HeaderRead* read, UCHAR* sector)
{
    BeginTransfers(&read->Batch);
    read->Sector = sector;
    read->Status = STATUS_PENDING;
    read->Sent = false;
}

static void SendHeaderRead(HeaderRead* read, PDEVICE_OBJECT ssd)
{
    if (read->Sent)
        return;
    read->Sent = true;
    AddHeaderTransfer(&read->Batch, ssd, read->Sector, false, &read->Status);
}

static NTSTATUS FinishHeaderRead(HeaderRead* read, PDEVICE_OBJECT ssd)
{
    SendHeaderRead(read, ssd);
    WaitForTransfers(&read->Batch);
    return TransferResult(read->Status);
}

// One region of map data, written whole and waited for; the header read goes
// down with the first one.
static NTSTATUS WriteMapRegion(PDEVICE_OBJECT ssd, ULONGLONG offset, ULONG bytes, PVOID buffer, HeaderRead* read)
{
    TransferBatch batch;
    BeginTransfers(&batch);
    volatile LONG status;
    AddTransfer(&batch, ssd, offset, bytes, buffer, true, &status);
    SendHeaderRead(read, ssd);
    WaitForTransfers(&batch);
    return TransferResult(status);
}

static NTSTATUS SaveSlotRecords(const CacheMap* map, const CacheGeometry* geometry, HeaderRead* read)
{
    PDEVICE_OBJECT ssd = map->SsdDevice;
    ULONGLONG bytes = SlotTableBytes(map->Slots.SlotCount, FilterExtensionOf(ssd)->SectorShift);
    SlotRecord* records = (SlotRecord*)AllocMapMemory(bytes);
    if (!records)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG count = (ULONG)(bytes / sizeof(SlotRecord));
    for (ULONG i = 0; i < count; i++) {
        records[i].State = SlotStateFree;
        records[i].Block = FromMasterBlock(NoBlock);
    }
    SlotsToRecords(&map->Slots, records, map->Slots.SlotCount);
    NTSTATUS status = WriteMapRegion(ssd, geometry->SlotTableOffset, (ULONG)bytes, records, read);
    FreeMapMemory(records, bytes);
    return status;
}

// Clean bitmap (write-back only), valid bitmap, slot table, one after the
// other and stopping at the first error, then a flush so that all of it is
// on the medium before a header can vouch for it.
static NTSTATUS SaveMapData(const CacheMap* map, const CacheGeometry* geometry, HeaderRead* read)
{
    if (!HasUsableSizes(map) || !map->ValidBitmap || !map->Slots.Entries ||
        (map->Mode == CacheModeWriteBack && !map->CleanBitmap))
        return STATUS_INVALID_DEVICE_STATE;
    PDEVICE_OBJECT ssd = map->SsdDevice;
    NTSTATUS status = STATUS_SUCCESS;
    if (map->Mode == CacheModeWriteBack)
        status = WriteMapRegion(ssd, geometry->CleanBitmapOffset, map->BitmapSize, map->CleanBitmap, read);
    if (NT_SUCCESS(status))
        status = WriteMapRegion(ssd, geometry->ValidBitmapOffset, map->BitmapSize, map->ValidBitmap, read);
    if (NT_SUCCESS(status))
        status = SaveSlotRecords(map, geometry, read);
    if (NT_SUCCESS(status))
        status = FlushDiskCache(ssd);
    return status;
}

NTSTATUS SaveMetadata(PDEVICE_OBJECT master, ULONGLONG* writtenStamp)
{
    PAGED_CODE();
    FilterExtension* ext = FilterExtensionOf(master);
    CacheState* state = &ext->Cache;
    PDEVICE_OBJECT ssd = state->Map.SsdDevice;
    if (!ssd)
        return STATUS_SUCCESS;
    // No header can name a driver whose service name does not fit: nothing is
    // saved, and the header sector keeps what it held (never accepted).
    if (!HeaderNameFits(ServiceName)) {
        FreeCacheMap(state);
        return STATUS_SUCCESS;
    }
    UCHAR* sector = AllocSector(ssd);
    if (!sector)
        return STATUS_INSUFFICIENT_RESOURCES;
    HeaderRead read;
    InitHeaderRead(&read, sector);
    ULONGLONG stamp = 0;
    if (state->Persist && NT_SUCCESS(SaveMapData(&state->Map, &ext->Geometry, &read)))
        stamp = ext->TimeStamp;
    NTSTATUS status = FinishHeaderRead(&read, ssd);
    if (NT_SUCCESS(status))
        status = WriteHeaderOver(ssd, sector, &ext->Geometry, stamp);
    FreePool(sector);
    // The disks' own shutdown flushes may have run already: the header is
    // flushed here, or a power cut could leave the header before it.
    if (NT_SUCCESS(status))
        status = FlushDiskCache(ssd);
    if (!NT_SUCCESS(status))
        return status;
    if (writtenStamp)
        *writtenStamp = stamp;
    FreeCacheMap(state);
    return STATUS_SUCCESS;
}

NTSTATUS ClearSavedStamp(PDEVICE_OBJECT ssd)
{
    UCHAR* sector = AllocSector(ssd);
    if (!sector)
        return STATUS_INSUFFICIENT_RESOURCES;
    CacheGeometry geometry;
    ULONGLONG stamp = 0;
    NTSTATUS status = ReadHeaderSector(ssd, sector);
    if (NT_SUCCESS(status) &&
        DecodeMetadataHeader(sector, ServiceName, &FilterExtensionOf(ssd)->Area,
                             FilterExtensionOf(ssd)->SectorShift, &geometry, &stamp) &&
        stamp != 0) {
        ClearHeaderStamp(sector);
        status = WriteHeaderSector(ssd, sector);
        if (NT_SUCCESS(status))
            status = FlushDiskCache(ssd);
    }
    FreePool(sector);
    return status;
}
