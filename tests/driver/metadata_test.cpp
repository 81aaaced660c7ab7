// On-SSD metadata: the area's layout, the header bytes, and the save and load
// of a master's map on simulated disks across reboots, power cuts and corrupt
// or unreadable metadata.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tolvarn.h"
#include "bitmaps.h"
#include "entry.h"
#include "metadata.h"
#include "pool.h"
#include "printers.h"
#include "disks.h"

namespace {

using emu::Disk;
using emu::DiskConfig;
using emu::Machine;
namespace reg = emu::reg;

const ULONGLONG KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB, TiB = 1024 * GiB;

// ---------------------------------------------------------------------------
// Layout
// ---------------------------------------------------------------------------

struct LayoutCase {
    const char* name;
    ULONGLONG start, end;
    ULONG sectorShift, blockShift;
    bool accepted;
    // Expected when accepted (bytes, absolute).
    ULONG slots;
    ULONGLONG slotTable, valid, clean, dataStart, dataEnd;
};

const LayoutCase LayoutCases[] = {
    // 1 MiB area, 512-byte sectors, 4 KiB blocks: 254 slots.
    {"worked example", 1 * MiB, 2 * MiB, 9, 12, true, 254, 2 * MiB - 2048, 2 * MiB - 2560, 2 * MiB - 3072,
     1 * MiB + 4096, 2 * MiB - 4096},
    // 4096-byte sectors: the header region is the one header sector; every
    // metadata region is a whole sector.
    {"4096-byte sectors", 1 * MiB, 2 * MiB, 12, 15, true, 31, 2 * MiB - 4096, 2 * MiB - 8192, 2 * MiB - 12288,
     1 * MiB + 4096, 1 * MiB + 4096 + 31 * 32 * KiB},
    {"4096-byte sectors, 4 KiB blocks refused", 1 * MiB, 2 * MiB, 12, 12, false},
    {"block shift below sector shift + 3", 0, 1 * MiB, 9, 11, false},
    {"largest block shift", 0, 4 * GiB, 9, 31, true, 1, 4 * GiB - 512, 4 * GiB - 512 - 512 * KiB,
     4 * GiB - 512 - 1 * MiB, 4096, 4096 + 2 * GiB},
    {"block shift 32", 0, 16 * GiB, 9, 32, false},
    // Header, one block, the slot table and two bitmaps of one sector each.
    {"smallest area", 0, 9728, 9, 12, true, 1, 9216, 8704, 8192, 4096, 8192},
    {"one sector too small", 0, 9216, 9, 12, false},
    {"no room after the header", 0, 4096, 9, 12, false},
    {"end before start", 8192, 4096, 9, 12, false},
    {"start not on a sector", 100, 1 * MiB, 9, 12, false},
    {"end not on a sector", 0, 1 * MiB + 100, 9, 12, false},
    {"sectors of 256 bytes", 0, 1 * MiB, 8, 12, false},
    // The slot table must stay below 4 GiB: 2^29 - 65 blocks fit, 2^29 - 64 not.
    {"largest slot table", 0, ((1ull << 29) - 64) * 4096, 9, 12, true, 535560127,
     ((1ull << 29) - 64) * 4096 - (4 * GiB - 512), ((1ull << 29) - 64) * 4096 - (4 * GiB - 512) - 512 * MiB,
     ((1ull << 29) - 64) * 4096 - (4 * GiB - 512) - 1 * GiB, 4096, 4096 + 535560127ull * 4096},
    {"slot table of 4 GiB", 0, ((1ull << 29) - 63) * 4096, 9, 12, false},
    {"2 TiB with 4 KiB blocks", 0, 2 * TiB, 9, 12, false},
    // Bitmaps must stay below 4 GiB: 8191 blocks of 2 GiB fit, 8192 not.
    {"largest bitmap", 0, 4096 + 8191ull * 2 * GiB, 9, 31, true, 8187, 4096 + 8191ull * 2 * GiB - 65536,
     4096 + 8191ull * 2 * GiB - 65536 - 8191ull * 512 * KiB,
     4096 + 8191ull * 2 * GiB - 65536 - 2 * 8191ull * 512 * KiB, 4096, 4096 + 8187ull * 2 * GiB},
    {"bitmap of 4 GiB", 0, 4096 + 8192ull * 2 * GiB, 9, 31, false},
};

class LayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTest, GivesTheExpectedRegionsOrRefuses)
{
    const LayoutCase& c = GetParam();
    CacheAreaConfig area = {c.start, c.end, 0};
    CacheGeometry g = {};
    g.BlockShift = c.blockShift;
    g.SlotCount = 77;
    NTSTATUS status = ComputeSsdLayout(&g, &area, c.sectorShift);
    if (!c.accepted) {
        EXPECT_EQ(STATUS_INVALID_PARAMETER, status);
        EXPECT_EQ(77u, g.SlotCount) << "a refused layout leaves the geometry alone";
        return;
    }
    ASSERT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(c.slots, g.SlotCount);
    EXPECT_EQ(c.slotTable, g.SlotTableOffset);
    EXPECT_EQ(c.valid, g.ValidBitmapOffset);
    EXPECT_EQ(c.clean, g.CleanBitmapOffset);
    EXPECT_EQ(c.dataStart, g.DataStart);
    EXPECT_EQ(c.dataEnd, g.DataEnd);

    // The regions follow one another inside the area without overlap.
    ULONGLONG sector = 1ull << c.sectorShift;
    ULONGLONG header = sector > 4096 ? sector : 4096;
    ULONGLONG bitmap = BitmapBytes(c.blockShift, c.sectorShift, g.SlotCount);
    EXPECT_GE(header, sector);
    EXPECT_EQ(c.start + header, g.DataStart);
    EXPECT_EQ(g.DataStart + ((ULONGLONG)g.SlotCount << c.blockShift), g.DataEnd);
    EXPECT_LE(g.DataEnd, g.CleanBitmapOffset);
    EXPECT_LE(g.CleanBitmapOffset + bitmap, g.ValidBitmapOffset);
    EXPECT_LE(g.ValidBitmapOffset + bitmap, g.SlotTableOffset);
    EXPECT_LE(g.SlotTableOffset + SlotTableBytes(g.SlotCount, c.sectorShift), c.end);
    EXPECT_GE(bitmap * 8, (ULONGLONG)g.SlotCount << (c.blockShift - c.sectorShift))
        << "the bitmap covers every slot sector";
    EXPECT_EQ(0u, g.CleanBitmapOffset % sector);
    EXPECT_EQ(0u, g.ValidBitmapOffset % sector);
    EXPECT_EQ(0u, g.SlotTableOffset % sector);
}

INSTANTIATE_TEST_SUITE_P(Areas, LayoutTest, ::testing::ValuesIn(LayoutCases),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; p++)
                                 name += isalnum((unsigned char)*p) ? *p : '_';
                             return name;
                         });

// ---------------------------------------------------------------------------
// Header bytes
// ---------------------------------------------------------------------------

// Little-endian bytes of a value, written by hand into an expected sector.
void Put(std::vector<UCHAR>& bytes, size_t offset, ULONGLONG value, size_t size)
{
    for (size_t i = 0; i < size; i++)
        bytes[offset + i] = (UCHAR)(value >> (8 * i));
}

void PutName(std::vector<UCHAR>& bytes, size_t offset, const char* name)
{
    for (size_t i = 0; i < 64; i++)
        bytes[offset + i] = 0;
    for (size_t i = 0; name[i]; i++)
        bytes[offset + 2 * i] = (UCHAR)name[i];
}

// The worked example's header, written by hand at the table's offsets.
std::vector<UCHAR> ExpectedHeader(size_t sectorBytes, ULONGLONG stamp)
{
    std::vector<UCHAR> bytes(sectorBytes, 0xA5);
    Put(bytes, 0x00, 144, 4);
    Put(bytes, 0x04, 203, 4);
    PutName(bytes, 0x08, "Tolvarn");
    Put(bytes, 0x48, stamp, 8);
    Put(bytes, 0x50, 0x100000, 8);
    Put(bytes, 0x58, 0x200000, 8);
    Put(bytes, 0x60, 0x200000 - 2048, 8);
    Put(bytes, 0x68, 0x200000 - 2560, 8);
    Put(bytes, 0x70, 0x200000 - 3072, 8);
    Put(bytes, 0x78, 0x100000 + 4096, 8);
    Put(bytes, 0x80, 0x200000 - 4096, 8);
    Put(bytes, 0x88, 254, 4);
    Put(bytes, 0x8C, 12, 1);
    Put(bytes, 0x8D, 0, 3);
    return bytes;
}

const WCHAR OwnName[] = u"Tolvarn";

CacheGeometry WorkedExample(CacheAreaConfig* area)
{
    *area = {0x100000, 0x200000, 0};
    CacheGeometry g = {};
    g.BlockShift = 12;
    EXPECT_EQ(STATUS_SUCCESS, ComputeSsdLayout(&g, area, 9));
    return g;
}

TEST(HeaderBytes, AreWrittenAtTheirOffsetsAndKeepTheRestOfTheSector)
{
    for (size_t sectorBytes : {512u, 4096u}) {
        SCOPED_TRACE(sectorBytes);
        CacheAreaConfig area;
        CacheGeometry g = WorkedExample(&area);
        std::vector<UCHAR> sector(sectorBytes, 0xA5);

        EncodeMetadataHeader(sector.data(), OwnName, &area, &g, 0x0123456789ABCDEFull);
        std::vector<UCHAR> first = ExpectedHeader(sectorBytes, 0x0123456789ABCDEFull);
        EXPECT_EQ(first, sector) << "0x90-0xFF and 0x190 on keep 0xA5; 0x100 holds the old 0xA5 bytes";

        // A second header moves the first one's 144 bytes to 0x100.
        EncodeMetadataHeader(sector.data(), OwnName, &area, &g, 0);
        std::vector<UCHAR> second = ExpectedHeader(sectorBytes, 0);
        std::copy(first.begin(), first.begin() + 144, second.begin() + 0x100);
        EXPECT_EQ(second, sector);
    }
}

TEST(HeaderBytes, DecodeAcceptsOnlyTheOwnNameAndTheConfiguredLayout)
{
    CacheAreaConfig area;
    CacheGeometry g = WorkedExample(&area);
    std::vector<UCHAR> sector(512, 0);
    EncodeMetadataHeader(sector.data(), OwnName, &area, &g, 42);

    CacheGeometry out = {};
    ULONGLONG stamp = 0;
    ASSERT_TRUE(DecodeMetadataHeader(sector.data(), OwnName, &area, 9, &out, &stamp));
    EXPECT_EQ(42u, stamp);
    EXPECT_EQ(0, memcmp(&g, &out, sizeof g));

    EXPECT_FALSE(DecodeMetadataHeader(sector.data(), u"Tolvar", &area, 9, &out, &stamp))
        << "a prefix of the name is another driver";
    EXPECT_FALSE(DecodeMetadataHeader(sector.data(), u"TolvarnX", &area, 9, &out, &stamp));
    EXPECT_FALSE(DecodeMetadataHeader(sector.data(), nullptr, &area, 9, &out, &stamp));
    CacheAreaConfig shrunk = {area.SsdCacheStart, area.SsdCacheEnd - 4096, 0};
    EXPECT_FALSE(DecodeMetadataHeader(sector.data(), OwnName, &shrunk, 9, &out, &stamp))
        << "a header of a larger area would reach past the configured one";
    EXPECT_FALSE(DecodeMetadataHeader(sector.data(), OwnName, &area, 10, &out, &stamp))
        << "another sector size gives another layout";
}

TEST(HeaderBytes, NamesOf31CharactersFitAnd32DoNot)
{
    std::u16string name31(31, u'N'), name32(32, u'N');
    EXPECT_TRUE(HeaderNameFits(name31.c_str()));
    EXPECT_FALSE(HeaderNameFits(name32.c_str()));
    EXPECT_FALSE(HeaderNameFits(nullptr));

    CacheAreaConfig area;
    CacheGeometry g = WorkedExample(&area);
    std::vector<UCHAR> sector(512, 0xA5);
    EncodeMetadataHeader(sector.data(), name31.c_str(), &area, &g, 1);
    for (size_t i = 0; i < 31; i++)
        EXPECT_EQ('N', sector[0x08 + 2 * i]);
    EXPECT_EQ(0, sector[0x08 + 62]) << "the NUL ends the field";
    EXPECT_EQ(0, sector[0x08 + 63]);
    CacheGeometry out;
    ULONGLONG stamp;
    EXPECT_TRUE(DecodeMetadataHeader(sector.data(), name31.c_str(), &area, 9, &out, &stamp));
    EXPECT_FALSE(DecodeMetadataHeader(sector.data(), name32.c_str(), &area, 9, &out, &stamp));
}

// ---------------------------------------------------------------------------
// Save and load on simulated disks
// ---------------------------------------------------------------------------

const ULONGLONG MasterId = 0x1111, SsdId = 0x2222;
const ULONGLONG AreaStart = 1 * MiB, AreaEnd = 5 * MiB;
const ULONGLONG RegistryStamp = 0x01D9ABCDEF012345ull;

struct Rig {
    ULONG ssdSectorSize = 512;
    ULONG blockShift = 12;
    UCHAR mode = CacheModeWriteBack;
    bool writeCache = false;
    std::u16string serviceName = u"Tolvarn";
};

// A slot to fill: its block, a valid run and whether the run is dirty.
struct Fill {
    ULONG block;
    ULONG first, count;
    bool dirty;
    bool boot;
};

// What of a map must survive a save and a load.
struct MapImage {
    std::vector<ULONG> blocks;
    std::vector<UCHAR> valid, clean;
    bool operator==(const MapImage& o) const
    {
        return blocks == o.blocks && valid == o.valid && clean == o.clean;
    }
};

MapImage ImageOf(const CacheMap& map)
{
    MapImage image;
    for (ULONG s = 0; s < map.Slots.SlotCount; s++)
        image.blocks.push_back(FromMasterBlock(map.Slots.Entries[s].Block));
    image.valid.assign(map.ValidBitmap, map.ValidBitmap + map.BitmapSize);
    if (map.CleanBitmap)
        image.clean.assign(map.CleanBitmap, map.CleanBitmap + map.BitmapSize);
    return image;
}

// A master and its SSD, configured in the registry (the cache does not
// start with Windows, so every metadata step is the test's own call).
class MetadataTest : public ::testing::Test {
public:
    void Boot(const Rig& rig = Rig())
    {
        rig_ = rig;
        if (machine_ && master_->Top())
            FreeCacheMap(&Master()->Cache);
        machine_.reset();
        emu::MachineConfig config;
        config.serviceName = rig.serviceName;
        machine_.reset(new Machine(config));
        DiskConfig m;
        m.model = "MASTERDISK";
        m.serial = "M1";
        m.lengthBytes = 256 * MiB;
        master_ = &machine_->AddDisk(m);
        DiskConfig s;
        s.model = "SSDDISK";
        s.serial = "S1";
        s.lengthBytes = 64 * MiB;
        s.sectorSize = rig.ssdSectorSize;
        s.writeCache = rig.writeCache;
        ssd_ = &machine_->AddDisk(s);
        StoreConfig();
        ASSERT_EQ(STATUS_SUCCESS, machine_->Boot(DriverEntry));
        Master()->Geometry.BlockShift = rig.blockShift;  // as a start request sets it
        baseline_ = PoolBytes;
    }

    void StoreConfig()
    {
        std::u16string key = machine_->RegistryPath() + u"\\" + DiskKeyName(u"MASTERDISK", u"M1");
        reg::SetQword(key, u"DorqBrimvaultId", MasterId);
        reg::SetDword(key, u"ConfigType", 1);
        reg::SetQword(key, u"TimeStamp", RegistryStamp);
        reg::SetQword(key, u"SsdCacheDiskId", SsdId);
        reg::SetDword(key, u"SsdCacheMode", rig_.mode);
        reg::SetDword(key, u"MasterStart", 0);
        key = machine_->RegistryPath() + u"\\" + DiskKeyName(u"SSDDISK", u"S1");
        reg::SetQword(key, u"DorqBrimvaultId", SsdId);
        reg::SetDword(key, u"ConfigType", 2);
        reg::SetQword(key, u"SsdCacheStart", AreaStart);
        reg::SetQword(key, u"SsdCacheEnd", AreaEnd);
        reg::SetQword(key, u"MasterDiskId", MasterId);
    }

    // The driver is loaded again over the same disks and registry.
    void Restart(bool powerCut)
    {
        FreeCacheMap(&Master()->Cache);  // memory does not outlive the boot
        ASSERT_EQ(STATUS_SUCCESS, powerCut ? machine_->PowerCut() : machine_->Reboot());
        ASSERT_EQ(STATUS_SUCCESS, machine_->AddAndStartAll());
        machine_->EndBootPhase();
        Master()->Geometry.BlockShift = rig_.blockShift;
        baseline_ = PoolBytes;
    }

    void TearDown() override
    {
        if (machine_ && master_->Top())
            FreeCacheMap(&Master()->Cache);
    }

    FilterExtension* Master() { return FilterExtensionOf(master_->Top()); }
    FilterExtension* Ssd() { return FilterExtensionOf(ssd_->Top()); }
    CacheMap& Map() { return Master()->Cache.Map; }
    ULONG SectorBytes() { return rig_.ssdSectorSize; }

    // Fills slots of a started map; the boot ones are taken before the
    // control device's first opening.
    void Populate(const std::vector<Fill>& fills)
    {
        for (const Fill& f : fills) {
            SsdSlot slot = AllocateSlot(&Map(), ToMasterBlock(f.block), f.boot ? DuringBoot : AfterBoot);
            ASSERT_NE(NoSlot, slot);
            SetValidRun(&Map(), slot, f.first, f.count);
            if (Map().Mode == CacheModeWriteBack) {
                ASSERT_EQ(STATUS_SUCCESS, SetCleanRun(&Map(), slot, f.first, f.count));
                if (f.dirty) {
                    ASSERT_EQ(STATUS_SUCCESS, ClearCleanRun(&Map(), slot, f.first + 1, 2));
                }
            }
        }
    }

    // A started cache with a few slots, saved with persistence: the SSD
    // holds a stamped header and the map.
    MapImage StartFillAndSave()
    {
        EXPECT_EQ(STATUS_SUCCESS, InitCacheOnSsd(master_->Top()));
        Populate(StandardFills());
        MapImage image = ImageOf(Map());
        Master()->Cache.Persist = 1;
        EXPECT_EQ(STATUS_SUCCESS, SaveMetadata(master_->Top()));
        EXPECT_EQ(nullptr, Map().SsdDevice) << "a saved map is freed";
        return image;
    }

    static std::vector<Fill> StandardFills()
    {
        return {{10, 0, 8, false, true},
                {3, 2, 5, true, false},
                {700, 0, 3, false, false},
                {11, 4, 4, true, true},
                {5, 1, 6, false, false}};
    }

    ULONGLONG HeaderOffset() { return AreaStart; }
    std::vector<UCHAR> HeaderBytes() { return ssd_->Bytes(AreaStart, SectorBytes()); }
    ULONGLONG HeaderStamp()
    {
        ULONGLONG stamp;
        std::vector<UCHAR> h = HeaderBytes();
        memcpy(&stamp, h.data() + 0x48, 8);
        return stamp;
    }

    // Every read and write of the SSD since the last ClearRequests lies in the area.
    void ExpectIoInsideArea()
    {
        for (const emu::DiskRecord& r : ssd_->Requests()) {
            if (r.major != IRP_MJ_READ && r.major != IRP_MJ_WRITE)
                continue;
            EXPECT_GE(r.offset, AreaStart) << "SSD I/O before the area";
            EXPECT_LE(r.offset + r.length, AreaEnd) << "SSD I/O past the area";
        }
    }

    // The map is consistent: every used slot maps its block, the counts add up.
    void ExpectConsistentMap()
    {
        const CacheMap& map = Map();
        ULONG used = 0;
        for (ULONG s = 0; s < map.Slots.SlotCount; s++) {
            ULONG block = FromMasterBlock(map.Slots.Entries[s].Block);
            if (block == FromMasterBlock(NoBlock))
                continue;
            used++;
            ASSERT_LT(block, map.Blocks.Count);
            EXPECT_EQ((LONG)s, FromSsdSlot(map.Blocks.Entries[block].Slot));
        }
        EXPECT_EQ(used, map.Slots.BootSlots + map.Slots.OtherSlots);
    }

protected:
    Rig rig_;
    std::unique_ptr<Machine> machine_;
    Disk* master_ = nullptr;
    Disk* ssd_ = nullptr;
    ULONGLONG baseline_ = 0;
};

class MetadataSectorTest : public MetadataTest, public ::testing::WithParamInterface<ULONG> {
public:
    Rig SectorRig()
    {
        Rig rig;
        rig.ssdSectorSize = GetParam();
        rig.blockShift = GetParam() == 512 ? 12 : 15;
        return rig;
    }
};

TEST_P(MetadataSectorTest, SavedMapComesBackOnceAfterAReboot)
{
    // 1. Start, fill, save with persistence, reboot, load.
    Boot(SectorRig());
    MapImage saved = StartFillAndSave();
    EXPECT_EQ(RegistryStamp, HeaderStamp());
    Restart(false);
    ssd_->ClearRequests();
    ASSERT_TRUE(LoadMetadata(master_->Top()));
    ExpectIoInsideArea();

    // 2. The map is the saved one; boot slots came back as other slots and
    //    the highest used index is the LRU head.
    EXPECT_EQ(1u, Master()->Cache.MetadataValid);
    EXPECT_EQ(saved, ImageOf(Map())) << "every slot, valid and clean bit survives";
    EXPECT_EQ(0u, Map().Slots.BootSlots);
    EXPECT_EQ(5u, Map().Slots.OtherSlots);
    EXPECT_EQ(ToSsdSlot(4), Map().Slots.LruHead);
    EXPECT_EQ(ToSsdSlot(0), Map().Slots.MruTail);
    ExpectConsistentMap();
    EXPECT_EQ(0u, HeaderStamp()) << "the stamp is cleared on the SSD at the load";

    // 3. A crash now (no save) gives an empty map in the same layout next time.
    Restart(true);
    ASSERT_TRUE(LoadMetadata(master_->Top()));
    EXPECT_EQ(0u, Master()->Cache.MetadataValid);
    EXPECT_EQ(0u, CountCachedSectors(&Map()));
    EXPECT_EQ(NoSlot, Map().Slots.LruHead);
    EXPECT_EQ(saved.blocks.size(), Map().Slots.SlotCount);
}

TEST_P(MetadataSectorTest, SlotTableAndBitmapsAreWrittenByteForByte)
{
    Boot(SectorRig());
    StartFillAndSave();
    const CacheGeometry& g = Master()->Geometry;
    ULONG s = GetParam() == 512 ? 9 : 12;

    // Records by hand: slot i holds the i-th fill; boot slots are state 2.
    size_t tableBytes = (((g.SlotCount * 8) >> s) + 1) << s;
    std::vector<UCHAR> expected(tableBytes);
    for (size_t i = 0; i < tableBytes / 8; i++) {
        Put(expected, 8 * i, 0, 4);
        Put(expected, 8 * i + 4, 0xFFFFFFFF, 4);
    }
    ULONG states[] = {2, 3, 3, 2, 3}, blocks[] = {10, 3, 700, 11, 5};
    for (size_t i = 0; i < 5; i++) {
        Put(expected, 8 * i, states[i], 4);
        Put(expected, 8 * i + 4, blocks[i], 4);
    }
    EXPECT_EQ(expected, ssd_->Bytes(g.SlotTableOffset, tableBytes));

    // Valid bits of slot 1 (bits 2-6 of its first bitmap byte); clean bits
    // of slot 1 with sectors 3 and 4 dirty.
    ULONG bytesPerSlot = 1u << (rig_.blockShift - s - 3);
    EXPECT_EQ(0x7C, ssd_->Bytes(g.ValidBitmapOffset + bytesPerSlot, 1)[0]);
    EXPECT_EQ(0x64, ssd_->Bytes(g.CleanBitmapOffset + bytesPerSlot, 1)[0]);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, MetadataSectorTest, ::testing::Values(512u, 4096u));

TEST_F(MetadataTest, SaveWithoutPersistWritesOnlyAHeaderWithStampZero)
{
    // 1. Start and fill; mark the metadata regions so that a write shows.
    Boot();
    ASSERT_EQ(STATUS_SUCCESS, InitCacheOnSsd(master_->Top()));
    Populate(StandardFills());
    const CacheGeometry g = Master()->Geometry;
    std::vector<UCHAR> marks(AreaEnd - g.CleanBitmapOffset, 0xA5);
    ssd_->WriteBytes(g.CleanBitmapOffset, marks.data(), marks.size());

    // 2. Save without persistence: the header only, with stamp 0.
    ssd_->ClearRequests();
    ASSERT_EQ(STATUS_SUCCESS, SaveMetadata(master_->Top()));
    EXPECT_EQ(marks, ssd_->Bytes(g.CleanBitmapOffset, marks.size())) << "no map data written";
    EXPECT_EQ(0u, HeaderStamp());
    ExpectIoInsideArea();

    // 3. The next load accepts the header and builds an empty map in its layout.
    Restart(false);
    ASSERT_TRUE(LoadMetadata(master_->Top()));
    EXPECT_EQ(0u, Master()->Cache.MetadataValid);
    EXPECT_EQ(NoSlot, Map().Slots.LruHead);
    EXPECT_EQ(0, memcmp(&g, &Master()->Geometry, sizeof g));
}

TEST_F(MetadataTest, WriteThroughSaveLeavesTheCleanBitmapAlone)
{
    Rig rig;
    rig.mode = 1;
    Boot(rig);
    MapImage saved = StartFillAndSave();
    EXPECT_TRUE(saved.clean.empty());
    Restart(false);
    ASSERT_TRUE(LoadMetadata(master_->Top()));
    EXPECT_EQ(saved, ImageOf(Map()));
    EXPECT_EQ(nullptr, Map().CleanBitmap);
}

TEST_F(MetadataTest, ASecondStartReplacesTheMapWithoutLeakingTheFirst)
{
    Boot();
    ASSERT_EQ(STATUS_SUCCESS, InitCacheOnSsd(master_->Top()));
    ULONGLONG oneMap = PoolBytes - baseline_;
    ASSERT_GT(oneMap, 0u);
    Populate(StandardFills());
    ASSERT_EQ(STATUS_SUCCESS, InitCacheOnSsd(master_->Top()));
    EXPECT_EQ(baseline_ + oneMap, PoolBytes) << "the first map's tables were freed";
    EXPECT_EQ(0u, CountCachedSectors(&Map()));
}

TEST_F(MetadataTest, AStartWipesTheHeaderSoACrashGivesNoAttach)
{
    Boot();
    StartFillAndSave();
    Restart(false);
    ASSERT_EQ(STATUS_SUCCESS, InitCacheOnSsd(master_->Top()));
    EXPECT_EQ(std::vector<UCHAR>(SectorBytes(), 0), HeaderBytes());
    Restart(true);
    EXPECT_FALSE(LoadMetadata(master_->Top()));
    EXPECT_EQ(nullptr, Map().SsdDevice);
    EXPECT_EQ(baseline_, PoolBytes);
}

TEST_F(MetadataTest, TheSsdIsFlushedBetweenTheMapAndTheStampedHeader)
{
    // 1. A start: the wipe is on the medium before the cache is used.
    Rig rig;
    rig.writeCache = true;
    Boot(rig);
    ASSERT_EQ(STATUS_SUCCESS, InitCacheOnSsd(master_->Top()));
    EXPECT_EQ(0u, ssd_->DropUnflushedWrites()) << "the wipe was flushed";

    // 2. A save: data writes, a flush, then the header, in that order.
    Populate(StandardFills());
    Master()->Cache.Persist = 1;
    ssd_->ClearRequests();
    ASSERT_EQ(STATUS_SUCCESS, SaveMetadata(master_->Top()));
    std::vector<emu::DiskRecord> log = ssd_->Requests();
    int lastData = -1, flush = -1, header = -1;
    for (int i = 0; i < (int)log.size(); i++) {
        if (log[i].major == IRP_MJ_WRITE && log[i].offset != AreaStart)
            lastData = i;
        if (log[i].major == IRP_MJ_FLUSH_BUFFERS && flush < 0 && lastData >= 0)
            flush = i;
        if (log[i].major == IRP_MJ_WRITE && log[i].offset == AreaStart)
            header = i;
    }
    ASSERT_GE(lastData, 0);
    EXPECT_LT(lastData, flush);
    EXPECT_LT(flush, header);

    // 3. The header is flushed too, last: the save may run after the disks'
    //    own shutdown flushes, and a power cut then loses nothing of it.
    EXPECT_LT(header, (int)log.size() - 1);
    EXPECT_EQ(IRP_MJ_FLUSH_BUFFERS, log.back().major);
    EXPECT_EQ(0u, ssd_->DropUnflushedWrites());
}

TEST_F(MetadataTest, APowerCutBetweenMapAndHeaderNeverReusesTheOldMap)
{
    // 1. Save, reboot and reuse the map: the SSD header now has stamp 0.
    Rig rig;
    rig.writeCache = true;
    Boot(rig);
    StartFillAndSave();
    Restart(false);
    ASSERT_TRUE(LoadMetadata(master_->Top()));
    EXPECT_EQ(0u, ssd_->DropUnflushedWrites()) << "the cleared stamp was flushed";

    // 2. The map changes, its data is saved, then the power fails before the
    //    header is written.
    Populate({{40, 0, 8, true, false}});
    Master()->Cache.Persist = 1;
    ssd_->InjectError(emu::DiskOp::Write, AreaStart / SectorBytes(), 1, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(STATUS_IO_DEVICE_ERROR, SaveMetadata(master_->Top()));
    EXPECT_NE(nullptr, Map().SsdDevice) << "a failed header write keeps the map";
    ssd_->ClearErrors();
    Restart(true);

    // 3. The header with stamp 0 gives an empty map, not the old one.
    ASSERT_TRUE(LoadMetadata(master_->Top()));
    EXPECT_EQ(0u, Master()->Cache.MetadataValid);
    EXPECT_EQ(0u, CountCachedSectors(&Map()));
}

// A save whose map data fails part way stops there and writes the header with
// stamp 0; one whose header sector cannot be read writes no header and keeps
// the map.
struct SaveFailure {
    const char* name;
    int failing;  // the region whose first sector fails: 0 clean bitmap, 1 valid bitmap, 2 slot table, 3 header
    NTSTATUS result;
};

const SaveFailure SaveFailures[] = {
    {"clean bitmap write", 0, STATUS_SUCCESS},
    {"valid bitmap write", 1, STATUS_SUCCESS},
    {"slot table write", 2, STATUS_SUCCESS},
    {"header read", 3, STATUS_IO_DEVICE_ERROR},
};

class SaveFailureTest : public MetadataTest, public ::testing::WithParamInterface<SaveFailure> {};

TEST_P(SaveFailureTest, StopsAtTheFirstErrorAndNeverStampsAPartialMap)
{
    // 1. A started, filled write-back cache; the metadata regions marked.
    const SaveFailure& c = GetParam();
    Boot();
    ASSERT_EQ(STATUS_SUCCESS, InitCacheOnSsd(master_->Top()));
    Populate(StandardFills());
    Master()->Cache.Persist = 1;
    const CacheGeometry g = Master()->Geometry;
    const ULONGLONG starts[] = {g.CleanBitmapOffset, g.ValidBitmapOffset, g.SlotTableOffset, AreaEnd};
    std::vector<UCHAR> marks(AreaEnd - g.CleanBitmapOffset, 0xA5);
    ssd_->WriteBytes(g.CleanBitmapOffset, marks.data(), marks.size());
    std::vector<UCHAR> header = HeaderBytes();
    if (c.failing == 3)
        ssd_->InjectError(emu::DiskOp::Read, AreaStart / SectorBytes(), 1, STATUS_IO_DEVICE_ERROR);
    else
        ssd_->InjectError(emu::DiskOp::Write, starts[c.failing] / SectorBytes(), 1, STATUS_IO_DEVICE_ERROR);

    // 2. The regions before the failing one are written, those after it not.
    EXPECT_EQ(c.result, SaveMetadata(master_->Top()));
    ssd_->ClearErrors();
    for (int r = 0; r < 3; r++) {
        std::vector<UCHAR> now = ssd_->Bytes(starts[r], starts[r + 1] - starts[r]);
        std::vector<UCHAR> marked(now.size(), 0xA5);
        if (r < c.failing) {
            EXPECT_NE(marked, now) << "region " << r << " is written before the failure";
        }
        if (r > c.failing) {
            EXPECT_EQ(marked, now) << "region " << r << " is not written after the failure";
        }
    }

    // 3. A failed data write: a header with stamp 0, the map freed. A failed
    //    header read: the sector as it was, the map kept.
    if (c.failing < 3) {
        EXPECT_EQ(0u, HeaderStamp());
        EXPECT_EQ(MetadataHeaderSize, HeaderBytes()[0] | HeaderBytes()[1] << 8);
        EXPECT_EQ(nullptr, Map().SsdDevice);
    } else {
        EXPECT_EQ(header, HeaderBytes());
        EXPECT_NE(nullptr, Map().SsdDevice);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SaveFailureTest, ::testing::ValuesIn(SaveFailures),
                         [](const ::testing::TestParamInfo<SaveFailure>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; p++)
                                 name += isalnum((unsigned char)*p) ? *p : '_';
                             return name;
                         });

TEST_F(MetadataTest, ServiceNamesOf31CharactersSaveAnd32WriteNoHeader)
{
    // 31 characters: the map is reused.
    Rig rig;
    rig.serviceName = std::u16string(31, u'T');
    Boot(rig);
    MapImage saved = StartFillAndSave();
    Restart(false);
    ASSERT_TRUE(LoadMetadata(master_->Top()));
    EXPECT_EQ(saved, ImageOf(Map()));

    // 32 characters: the save writes nothing, the header stays zero.
    rig.serviceName = std::u16string(32, u'T');
    Boot(rig);
    ASSERT_EQ(STATUS_SUCCESS, InitCacheOnSsd(master_->Top()));
    Populate(StandardFills());
    Master()->Cache.Persist = 1;
    ssd_->ClearRequests();
    EXPECT_EQ(STATUS_SUCCESS, SaveMetadata(master_->Top()));
    for (const emu::DiskRecord& r : ssd_->Requests())
        EXPECT_NE(IRP_MJ_WRITE, r.major) << "nothing is written at offset " << r.offset;
    EXPECT_EQ(nullptr, Map().SsdDevice);
    EXPECT_EQ(baseline_, PoolBytes);
    EXPECT_EQ(std::vector<UCHAR>(SectorBytes(), 0), HeaderBytes());
    Restart(false);
    EXPECT_FALSE(LoadMetadata(master_->Top()));
}

// ---------------------------------------------------------------------------
// Corrupt or unreadable metadata
// ---------------------------------------------------------------------------

enum class Outcome { NoAttach, EmptyMap, SavedMap };

struct Corruption {
    const char* name;
    Outcome outcome;
    std::function<void(MetadataTest&, Disk&, const CacheGeometry&)> apply;
};

void Patch(Disk& ssd, ULONGLONG offset, ULONGLONG value, size_t size)
{
    std::vector<UCHAR> bytes(size);
    Put(bytes, 0, value, size);
    ssd.WriteBytes(offset, bytes.data(), size);
}

void PatchHeader(Disk& ssd, size_t field, ULONGLONG value, size_t size)
{
    Patch(ssd, AreaStart + field, value, size);
}

ULONGLONG Sector(ULONGLONG offset)
{
    return offset / 512;
}

const Corruption Corruptions[] = {
    {"header size", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x00, 145, 4); }},
    {"version", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x04, 202, 4); }},
    {"name", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x08, 't', 2); }},
    {"name without its NUL", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x08 + 14, 'X', 2); }},
    {"area start", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x50, AreaStart + 512, 8); }},
    {"area end", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x58, AreaEnd + 4096, 8); }},
    {"slot table", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry& g) {
         PatchHeader(d, 0x60, g.SlotTableOffset + 512, 8);
     }},
    {"valid bitmap", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry& g) { PatchHeader(d, 0x68, 0, 8); }},
    {"clean bitmap", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry& g) { PatchHeader(d, 0x70, 60 * MiB, 8); }},
    {"data start", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry& g) { PatchHeader(d, 0x78, 0, 8); }},
    {"data end", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry& g) { PatchHeader(d, 0x80, g.DataEnd + 4096, 8); }},
    {"slot count huge", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x88, 0xFFFFFFFF, 4); }},
    {"slot count one more", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry& g) { PatchHeader(d, 0x88, g.SlotCount + 1, 4); }},
    {"block shift below sector + 3", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x8C, 11, 1); }},
    {"block shift 32", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x8C, 32, 1); }},
    {"block shift 255", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x8C, 255, 1); }},
    {"block shift of another layout", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x8C, 13, 1); }},
    {"area shrunk in the configuration", Outcome::NoAttach,
     [](MetadataTest& t, Disk&, const CacheGeometry&) { t.Ssd()->Area.SsdCacheEnd = AreaEnd - 1 * MiB; }},
    {"area cleared in the configuration", Outcome::NoAttach,
     [](MetadataTest& t, Disk&, const CacheGeometry&) { t.Ssd()->Area.SsdCacheEnd = 0; }},
    {"header unreadable", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) {
         d.InjectError(emu::DiskOp::Read, Sector(AreaStart), 1, STATUS_IO_DEVICE_ERROR);
     }},
    {"header not rewritable", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) {
         d.InjectError(emu::DiskOp::Write, Sector(AreaStart), 1, STATUS_IO_DEVICE_ERROR);
     }},
    {"valid bitmap unreadable", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry& g) {
         d.InjectError(emu::DiskOp::Read, Sector(g.ValidBitmapOffset), 1, STATUS_IO_DEVICE_ERROR);
     }},
    {"clean bitmap unreadable", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry& g) {
         d.InjectError(emu::DiskOp::Read, Sector(g.CleanBitmapOffset), 1, STATUS_IO_DEVICE_ERROR);
     }},
    {"slot table cut short", Outcome::NoAttach,
     [](MetadataTest&, Disk& d, const CacheGeometry&) {
         d.InjectError(emu::DiskOp::Read, Sector(AreaEnd) - 1, 1, STATUS_IO_DEVICE_ERROR);
     }},
    {"another stamp", Outcome::EmptyMap,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x48, 7, 8); }},
    {"stamp zero", Outcome::EmptyMap,
     [](MetadataTest&, Disk& d, const CacheGeometry&) { PatchHeader(d, 0x48, 0, 8); }},
    // Slot records: refused ones leave their slot free, the rest loads.
    {"record beyond the master", Outcome::SavedMap,
     [](MetadataTest&, Disk& d, const CacheGeometry& g) {
         Patch(d, g.SlotTableOffset + 8 * 2 + 4, 0x7FFFFFFF, 4);
     }},
    {"record of the last block + 1", Outcome::SavedMap,
     [](MetadataTest& t, Disk& d, const CacheGeometry& g) {
         Patch(d, g.SlotTableOffset + 8 * 2 + 4, (256 * MiB >> 12) + 1, 4);
     }},
    {"duplicate block", Outcome::SavedMap,
     [](MetadataTest&, Disk& d, const CacheGeometry& g) { Patch(d, g.SlotTableOffset + 8 * 2 + 4, 10, 4); }},
};

class CorruptMetadataTest : public MetadataTest, public ::testing::WithParamInterface<Corruption> {};

TEST_P(CorruptMetadataTest, NeverCrashesNorReachesOutsideTheArea)
{
    const Corruption& c = GetParam();
    Boot();
    MapImage saved = StartFillAndSave();
    const CacheGeometry g = Master()->Geometry;
    Restart(false);
    c.apply(*this, *ssd_, g);
    ssd_->ClearRequests();

    bool attached = LoadMetadata(master_->Top());
    ExpectIoInsideArea();
    switch (c.outcome) {
    case Outcome::NoAttach:
        EXPECT_FALSE(attached);
        EXPECT_EQ(nullptr, Map().SsdDevice) << "nothing is left bound";
        EXPECT_EQ(baseline_, PoolBytes) << "nothing is left allocated";
        break;
    case Outcome::EmptyMap:
        ASSERT_TRUE(attached);
        EXPECT_EQ(0u, Master()->Cache.MetadataValid);
        EXPECT_EQ(NoSlot, Map().Slots.LruHead);
        EXPECT_EQ(g.SlotCount, Map().Slots.SlotCount);
        break;
    case Outcome::SavedMap:
        ASSERT_TRUE(attached);
        EXPECT_EQ(1u, Master()->Cache.MetadataValid);
        ExpectConsistentMap();
        EXPECT_EQ(saved.blocks[0], FromMasterBlock(Map().Slots.Entries[0].Block)) << "the sound records load";
        EXPECT_EQ(saved.blocks[4], FromMasterBlock(Map().Slots.Entries[4].Block));
        EXPECT_TRUE(NoBlock == Map().Slots.Entries[2].Block) << "a refused record leaves its slot free";
        break;
    }
    FreeCacheMap(&Master()->Cache);
    EXPECT_EQ(baseline_, PoolBytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, CorruptMetadataTest, ::testing::ValuesIn(Corruptions),
                         [](const ::testing::TestParamInfo<Corruption>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; p++)
                                 name += isalnum((unsigned char)*p) ? *p : '_';
                             return name;
                         });

}  // namespace
