// The on-SSD metadata of a master's cache: the layout of its SSD area, the
// header sector with its stamp, and the save and load of the cache map.
//
// An area [SsdCacheStart, SsdCacheEnd) holds, in this order: a header region
// (its first sector is the header), the data area of slots, the bytes left
// free, the clean bitmap, the valid bitmap and the slot table. The
// CacheGeometry record is in tolvarn.h.
#pragma once

#include "tolvarn.h"
#include "cachemap.h"

// ---------------------------------------------------------------------------
// On-SSD records (little-endian; every target of the driver is)
// ---------------------------------------------------------------------------

const ULONG MetadataHeaderSize = 144;
const ULONG MetadataVersion = 203;
const ULONG HeaderNameChars = 32;          // the name field: at most 31 characters and a NUL
const ULONG PreviousHeaderOffset = 0x100;  // where the writer keeps the header it replaced
const ULONG HeaderRegionMin = 4096;        // the header region: max(sector, 4096) bytes

#pragma pack(push, 1)
struct MetadataHeader {
    ULONG HeaderSize;                    // MetadataHeaderSize
    ULONG Version;                       // MetadataVersion
    WCHAR ServiceName[HeaderNameChars];  // NUL-terminated, zero after the NUL
    ULONGLONG Stamp;                     // 0: the saved map must not be reused
    ULONGLONG AreaStart;                 // SsdCacheStart when written
    ULONGLONG AreaEnd;                   // SsdCacheEnd when written
    ULONGLONG SlotTableOffset;
    ULONGLONG ValidBitmapOffset;
    ULONGLONG CleanBitmapOffset;
    ULONGLONG DataStart;
    ULONGLONG DataEnd;
    ULONG SlotCount;
    UCHAR BlockShift;
    UCHAR Zero[3];
};
#pragma pack(pop)

static_assert(sizeof(WCHAR) == 2, "the header's name is UTF-16");
static_assert(sizeof(MetadataHeader) == MetadataHeaderSize, "MetadataHeader is 144 bytes");
static_assert(FIELD_OFFSET(MetadataHeader, HeaderSize) == 0x00, "MetadataHeader.HeaderSize");
static_assert(FIELD_OFFSET(MetadataHeader, Version) == 0x04, "MetadataHeader.Version");
static_assert(FIELD_OFFSET(MetadataHeader, ServiceName) == 0x08, "MetadataHeader.ServiceName");
static_assert(FIELD_OFFSET(MetadataHeader, Stamp) == 0x48, "MetadataHeader.Stamp");
static_assert(FIELD_OFFSET(MetadataHeader, AreaStart) == 0x50, "MetadataHeader.AreaStart");
static_assert(FIELD_OFFSET(MetadataHeader, AreaEnd) == 0x58, "MetadataHeader.AreaEnd");
static_assert(FIELD_OFFSET(MetadataHeader, SlotTableOffset) == 0x60, "MetadataHeader.SlotTableOffset");
static_assert(FIELD_OFFSET(MetadataHeader, ValidBitmapOffset) == 0x68, "MetadataHeader.ValidBitmapOffset");
static_assert(FIELD_OFFSET(MetadataHeader, CleanBitmapOffset) == 0x70, "MetadataHeader.CleanBitmapOffset");
static_assert(FIELD_OFFSET(MetadataHeader, DataStart) == 0x78, "MetadataHeader.DataStart");
static_assert(FIELD_OFFSET(MetadataHeader, DataEnd) == 0x80, "MetadataHeader.DataEnd");
static_assert(FIELD_OFFSET(MetadataHeader, SlotCount) == 0x88, "MetadataHeader.SlotCount");
static_assert(FIELD_OFFSET(MetadataHeader, BlockShift) == 0x8C, "MetadataHeader.BlockShift");
static_assert(FIELD_OFFSET(MetadataHeader, Zero) == 0x8D, "MetadataHeader.Zero");

// SlotRecord (cachemap.h) is the slot table's record on the SSD.
static_assert(FIELD_OFFSET(SlotRecord, State) == 0, "SlotRecord.State");
static_assert(FIELD_OFFSET(SlotRecord, Block) == 4, "SlotRecord.Block");

// ---------------------------------------------------------------------------
// Layout and header bytes (pure)
// ---------------------------------------------------------------------------

// Lays out the area for the geometry's block shift and fills the other
// fields. STATUS_INVALID_PARAMETER, leaving the geometry as it was, for a
// layout that cannot carry a map: a sector shift above 16, a block shift
// outside [sector shift + 3, 31], an area not on whole sectors or too small
// for the header, one slot and its metadata, or a slot table, bitmap or slot
// count beyond what its 32-bit field holds.
NTSTATUS ComputeSsdLayout(CacheGeometry* geometry, const CacheAreaConfig* area, ULONG sectorShift);

// The service name fits the header: it exists and has fewer than 32 characters.
bool HeaderNameFits(const WCHAR* serviceName);

// Writes a header into a sector buffer as the header writer does: bytes
// 0x00-0x8F go to 0x100, then 0x00-0x8F are filled; the rest is kept. The
// name must fit (HeaderNameFits).
void EncodeMetadataHeader(UCHAR* sector, const WCHAR* serviceName, const CacheAreaConfig* area,
                          const CacheGeometry* geometry, ULONGLONG stamp);

// Accepts a header sector only when it is this driver's (size, version, the
// service name) and describes exactly the layout that ComputeSsdLayout gives
// for the configured area, sector shift and the header's block shift. Then the
// geometry gets that layout and *stamp the header's stamp.
bool DecodeMetadataHeader(const UCHAR* sector, const WCHAR* serviceName, const CacheAreaConfig* area,
                          ULONG sectorShift, CacheGeometry* geometry, ULONGLONG* stamp);

// Bytes of the slot table that a save writes and a load reads: whole sectors
// for every record, and one more when they end on a sector boundary.
ULONGLONG SlotTableBytes(ULONG slotCount, ULONG sectorShift);

// ---------------------------------------------------------------------------
// Header sector on an SSD
// ---------------------------------------------------------------------------

// The sector at SsdCacheStart; STATUS_INVALID_DEVICE_REQUEST while the SSD
// has no area (SsdCacheEnd 0).
NTSTATUS ReadHeaderSector(PDEVICE_OBJECT ssd, UCHAR* sector);
NTSTATUS WriteHeaderSector(PDEVICE_OBJECT ssd, UCHAR* sector);
bool ReadMetadataHeader(PDEVICE_OBJECT ssd, UCHAR* sector, CacheGeometry* geometry);
NTSTATUS WriteMetadataHeader(PDEVICE_OBJECT ssd, UCHAR* sector, const CacheGeometry* geometry,
                             ULONGLONG stamp);
NTSTATUS WipeMetadataHeader(PDEVICE_OBJECT ssd);

// Sends a flush of the disk's write cache below the filter device and waits.
NTSTATUS FlushDiskCache(PDEVICE_OBJECT device);

// ---------------------------------------------------------------------------
// The master's map
// ---------------------------------------------------------------------------

NTSTATUS BindCacheToSsd(CacheState* state, ULONGLONG ssdDiskId);
// Sizes the master's map from its configuration and geometry (the map's SSD
// is set); STATUS_INVALID_PARAMETER when the sizes cannot carry a map.
NTSTATUS SetUpCacheMap(PDEVICE_OBJECT master);
NTSTATUS LoadCacheMap(CacheState* state, const CacheGeometry* geometry);
bool LoadMetadata(PDEVICE_OBJECT master);
NTSTATUS InitCacheOnSsd(PDEVICE_OBJECT master);
// Saves the map and writes the header; the stamp written goes to
// *writtenStamp when given (0: the map will not be reused).
NTSTATUS SaveMetadata(PDEVICE_OBJECT master, ULONGLONG* writtenStamp = NULL);
// Clears the stamp of an accepted header on the SSD and flushes it to the
// medium; success also when there is no accepted header or no stamp.
NTSTATUS ClearSavedStamp(PDEVICE_OBJECT ssd);
void FreeCacheMap(CacheState* state);
