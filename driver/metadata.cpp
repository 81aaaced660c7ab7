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

// Bitmaps and the slot table: whole sectors inside the area.
static NTSTATUS TransferMapBytes(PDEVICE_OBJECT ssd, ULONGLONG offset, ULONG bytes, PVOID buffer, bool write)
{
    DiskRequest request;
    InitDiskRequest(ssd, offset, bytes, &request);
    request.Irp = NULL;
    return write ? WriteSectorsSync(&request, buffer) : ReadSectorsSync(&request, buffer);
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

NTSTATUS WriteMetadataHeader(PDEVICE_OBJECT ssd, UCHAR* sector, const CacheGeometry* geometry,
                             ULONGLONG stamp)
{
    if (!HeaderNameFits(ServiceName))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = ReadHeaderSector(ssd, sector);
    if (!NT_SUCCESS(status))
        return status;
    EncodeMetadataHeader(sector, ServiceName, &FilterExtensionOf(ssd)->Area, geometry, stamp);
    return WriteHeaderSector(ssd, sector);
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

// The saved slot records, read into a buffer of whole sectors; records that
// name a block beyond the master or one already taken leave their slot free.
// Every accepted record enters its block in the block table.
static NTSTATUS LoadSlotRecords(CacheMap* map, const CacheGeometry* geometry)
{
    PDEVICE_OBJECT ssd = map->SsdDevice;
    ULONGLONG bytes = SlotTableBytes(map->Slots.SlotCount, FilterExtensionOf(ssd)->SectorShift);
    SlotRecord* records = (SlotRecord*)AllocMapMemory(bytes);  // the read fills it whole
    if (!records)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = TransferMapBytes(ssd, geometry->SlotTableOffset, (ULONG)bytes, records, false);
    if (NT_SUCCESS(status) && !SlotsFromRecords(map, records, map->Slots.SlotCount, NULL))
        status = STATUS_INVALID_DEVICE_STATE;
    FreeMapMemory(records, bytes);
    return status;
}

static NTSTATUS LoadSavedMap(CacheMap* map, const CacheGeometry* geometry)
{
    if (!HasUsableSizes(map))
        return STATUS_INVALID_PARAMETER;
    if (!AllocValidBitmap(map))
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = TransferMapBytes(map->SsdDevice, geometry->ValidBitmapOffset, map->BitmapSize,
                                       map->ValidBitmap, false);
    if (!NT_SUCCESS(status))
        return status;
    if (map->Mode == CacheModeWriteBack) {
        if (!AllocCleanBitmap(map))
            return STATUS_INSUFFICIENT_RESOURCES;
        status = TransferMapBytes(map->SsdDevice, geometry->CleanBitmapOffset, map->BitmapSize,
                                  map->CleanBitmap, false);
        if (!NT_SUCCESS(status)) {
            FreeCleanBitmap(map);
            return status;
        }
    }
    if (!AllocBlockTable(&map->Blocks) || !AllocSlotTable(&map->Slots))
        return STATUS_INSUFFICIENT_RESOURCES;
    status = LoadSlotRecords(map, geometry);
    if (!NT_SUCCESS(status))
        return status;
    BuildSlotLists(&map->Slots);
    ForgetDirtyHints(map);
    return STATUS_SUCCESS;
}

NTSTATUS LoadCacheMap(CacheState* state, const CacheGeometry* geometry)
{
    CacheMap* map = &state->Map;
    if (!state->MetadataValid || state->WrittenDetached)
        return map->Mode == CacheModeWriteBack ? InitEmptyMapWithClean(map) : InitEmptyMap(map);
    return LoadSavedMap(map, geometry);
}

void FreeCacheMap(CacheState* state)
{
    state->Persist = 0;
    if (!state->Map.SsdDevice)
        return;
    FreeMapTables(&state->Map);
    state->Map.SsdDevice = NULL;
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
        // The stamp goes before the map is read, and reaches the medium
        // before the cache can change anything: a saved map serves one boot.
        ClearHeaderStamp(sector);
        loaded = NT_SUCCESS(WriteHeaderSector(ssd, sector)) && NT_SUCCESS(FlushDiskCache(ssd)) &&
                 NT_SUCCESS(SetUpCacheMap(master)) && NT_SUCCESS(LoadCacheMap(state, &ext->Geometry));
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

static NTSTATUS SaveSlotRecords(const CacheMap* map, const CacheGeometry* geometry)
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
    NTSTATUS status = TransferMapBytes(ssd, geometry->SlotTableOffset, (ULONG)bytes, records, true);
    FreeMapMemory(records, bytes);
    return status;
}

// Clean bitmap (write-back only), valid bitmap, slot table, then a flush so
// that all of it is on the medium before a header can vouch for it.
static NTSTATUS SaveMapData(const CacheMap* map, const CacheGeometry* geometry)
{
    if (!HasUsableSizes(map) || !map->ValidBitmap || !map->Slots.Entries ||
        (map->Mode == CacheModeWriteBack && !map->CleanBitmap))
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = STATUS_SUCCESS;
    if (map->Mode == CacheModeWriteBack)
        status = TransferMapBytes(map->SsdDevice, geometry->CleanBitmapOffset, map->BitmapSize,
                                  map->CleanBitmap, true);
    if (NT_SUCCESS(status))
        status = TransferMapBytes(map->SsdDevice, geometry->ValidBitmapOffset, map->BitmapSize,
                                  map->ValidBitmap, true);
    if (NT_SUCCESS(status))
        status = SaveSlotRecords(map, geometry);
    if (NT_SUCCESS(status))
        status = FlushDiskCache(map->SsdDevice);
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
    ULONGLONG stamp = 0;
    if (state->Persist && NT_SUCCESS(SaveMapData(&state->Map, &ext->Geometry)))
        stamp = ext->TimeStamp;
    UCHAR* sector = AllocSector(ssd);
    if (!sector)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = WriteMetadataHeader(ssd, sector, &ext->Geometry, stamp);
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
