// Partition-layout requests on a master with an active cache: the disk below
// writes the new tables behind the cache (the simulated disk does it when the
// request arrives, or when a held request is released), and afterwards every
// sector it may have written reads back the disk's new bytes, also when reads
// cached the old ones meanwhile, while the rest of the cache stays. Also the
// layouts the driver must not trust (looping or garbage chains, short and
// oversized input records), write-back data in the sectors concerned, an SSD
// (refused) and an inactive master (passed down untouched).
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "cacherig.h"
#include "layoutrequests.h"
#include "worker.h"

using namespace cache_test;

namespace {

const ULONG SectorBytes = 512;
const ULONGLONG DiskSectors = (1ull << 20) / SectorBytes;  // the rig's master: 2048 sectors
const ULONGLONG TailStart = DiskSectors - 33;

const ULONG AllLayoutCodes[] = {IOCTL_DISK_SET_DRIVE_LAYOUT,   IOCTL_DISK_SET_DRIVE_LAYOUT_EX,
                                IOCTL_DISK_CREATE_DISK,        IOCTL_DISK_SET_PARTITION_INFO,
                                IOCTL_DISK_SET_PARTITION_INFO_EX, IOCTL_DISK_DELETE_DRIVE_LAYOUT};

struct MbrEntry {
    UCHAR type;
    ULONG start;  // relative as the record's kind wants it
    ULONG count;
};

// A boot record (MBR or EBR) of one sector: filler bytes, up to four
// entries, the signature.
std::vector<uint8_t> BootRecord(const std::vector<MbrEntry>& entries, uint8_t fill, bool signature = true,
                                ULONG sectorBytes = SectorBytes)
{
    std::vector<uint8_t> b(sectorBytes, fill);
    memset(&b[446], 0, 64);
    for (size_t i = 0; i < entries.size(); i++) {
        uint8_t* e = &b[446 + 16 * i];
        e[4] = entries[i].type;
        memcpy(e + 8, &entries[i].start, 4);
        memcpy(e + 12, &entries[i].count, 4);
    }
    b[510] = signature ? 0x55 : 0;
    b[511] = signature ? 0xAA : 0;
    return b;
}

std::vector<uint8_t> Filler(uint8_t fill)
{
    return std::vector<uint8_t>(SectorBytes, fill);
}

// The layout on the disk before the request: a primary partition and an
// extended one at 600 whose chain holds records at 600 and 750.
const ULONGLONG OldChain[] = {600, 750};
void PutOldMbrChain(CacheRig& rig);
// The layout the requests carry: the extended partition moved to 900, with
// records at 900 and 1100.
const ULONGLONG NewChain[] = {900, 1100};

// Writes a sector (of the bytes' size) behind the driver, and into the reference.
void Put(CacheRig& rig, ULONGLONG sector, const std::vector<uint8_t>& bytes)
{
    rig.master.WriteBytes(sector * bytes.size(), bytes.data(), bytes.size());
    std::copy(bytes.begin(), bytes.end(), rig.reference.begin() + sector * bytes.size());
}

void PutOldMbrChain(CacheRig& rig)
{
    Put(rig, 0, BootRecord({{0x07, 40, 400}, {0x0F, 600, 1000}}, 0x11));
    Put(rig, 600, BootRecord({{0x07, 8, 100}, {0x05, 150, 100}}, 0x12));
    Put(rig, 750, BootRecord({{0x07, 8, 100}}, 0x13));
}

void PutOldGpt(CacheRig& rig)
{
    Put(rig, 0, BootRecord({{0xEE, 1, (ULONG)DiskSectors - 1}}, 0x21));
    Put(rig, 1, Filler(0x22));  // header; entries and backup are the rig's pattern
}

// Whether the cache holds a valid copy of a master sector.
bool CachedValid(CacheRig& rig, ULONGLONG sector)
{
    MapView view = rig.View();
    LONG slot = view.SlotOf((ULONG)(sector >> 3));
    return slot >= 0 && view.Valid((ULONG)slot, (ULONG)(sector & 7));
}

// Reads every sector of interest once, so that each has a valid cached copy.
void WarmSectors(CacheRig& rig, const std::vector<ULONGLONG>& sectors)
{
    rig.ExpectRead(0, 40 * SectorBytes);
    rig.ExpectRead((DiskSectors - 40) * SectorBytes, 40 * SectorBytes);
    for (ULONGLONG s : sectors)
        rig.ExpectRead((s & ~7ull) * SectorBytes, 8 * SectorBytes);
    for (ULONGLONG s = 0; s < 34; s++)
        ASSERT_TRUE(CachedValid(rig, s)) << s;
    for (ULONGLONG s : sectors)
        ASSERT_TRUE(CachedValid(rig, s)) << s;
}

// ---- Input records ----------------------------------------------------------

PARTITION_INFORMATION Partition(UCHAR type, ULONGLONG startSector, ULONG sectorBytes = SectorBytes)
{
    PARTITION_INFORMATION p = {};
    p.PartitionType = type;
    p.StartingOffset.QuadPart = (LONGLONG)(startSector * sectorBytes);
    p.PartitionLength.QuadPart = 100 * sectorBytes;
    return p;
}

// DRIVE_LAYOUT_INFORMATION with the entries given, claiming count of them.
std::vector<uint8_t> DriveLayout(const std::vector<PARTITION_INFORMATION>& entries, ULONG count)
{
    size_t header = FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION, PartitionEntry);
    std::vector<uint8_t> b(header + entries.size() * sizeof(PARTITION_INFORMATION));
    DRIVE_LAYOUT_INFORMATION head = {};
    head.PartitionCount = count;
    head.Signature = 0x12345678;
    memcpy(b.data(), &head, header);
    if (!entries.empty())
        memcpy(&b[header], entries.data(), entries.size() * sizeof(PARTITION_INFORMATION));
    return b;
}

// The new MBR layout in groups of four: the MBR's, then one per EBR.
std::vector<PARTITION_INFORMATION> NewMbrEntries()
{
    PARTITION_INFORMATION none = {};
    return {Partition(0x07, 40),   Partition(0x0F, 900),  none, none,  //
            Partition(0x07, 908),  Partition(0x05, 1100), none, none,  //
            Partition(0x07, 1108), none,                  none, none};
}

std::vector<uint8_t> DriveLayoutEx(ULONG style, const std::vector<PARTITION_INFORMATION>& mbr, ULONG count)
{
    size_t header = FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
    std::vector<uint8_t> b(header + mbr.size() * sizeof(PARTITION_INFORMATION_EX));
    DRIVE_LAYOUT_INFORMATION_EX head = {};
    head.PartitionStyle = style;
    head.PartitionCount = count;
    memcpy(b.data(), &head, header);
    for (size_t i = 0; i < mbr.size(); i++) {
        PARTITION_INFORMATION_EX e = {};
        e.PartitionStyle = (PARTITION_STYLE)style;
        e.StartingOffset = mbr[i].StartingOffset;
        e.PartitionLength = mbr[i].PartitionLength;
        e.Mbr.PartitionType = mbr[i].PartitionType;  // in a GPT record: the type GUID's first byte
        memcpy(&b[header + i * sizeof e], &e, sizeof e);
    }
    return b;
}

std::vector<uint8_t> StyleRecord(ULONG style, size_t bytes)
{
    std::vector<uint8_t> b(bytes, 0);
    memcpy(b.data(), &style, 4);
    return b;
}

emu::IoResult SendLayout(CacheRig& rig, emu::Disk& disk, ULONG code, const std::vector<uint8_t>& input)
{
    emu::IoResult r = rig.machine.DiskIoControl(disk, code, input.empty() ? nullptr : input.data(),
                                                (ULONG)input.size(), nullptr, 0);
    rig.machine.WaitUntilQuiet();
    return r;
}

// The thread the disk saw the control request on.
uint64_t ControlThread(CacheRig& rig, ULONG code)
{
    for (const emu::DiskRecord& r : rig.master.Requests())
        if (r.major == IRP_MJ_DEVICE_CONTROL && r.ioctl == code)
            return r.thread;
    ADD_FAILURE() << "the request did not reach the disk";
    return 0;
}

class LayoutRequestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        phase_ = DriverPhase;
        open_ = OpenSequence;
    }
    void TearDown() override
    {
        DriverPhase = phase_;
        OpenSequence = open_;
    }
    static RigShape Shape(UCHAR mode = 1)
    {
        RigShape shape;
        shape.slots = 64;
        shape.mode = mode;
        return shape;
    }

    UCHAR phase_;
    ULONG open_;
};

// ---- The six requests -------------------------------------------------------

enum class DiskLayout { MbrChain, Gpt };

struct LayoutCase {
    const char* what;
    ULONG code;
    DiskLayout before;
    std::vector<uint8_t> input;
    bool writesNewChain;  // the request carries (and the disk writes) the new chain's records
};

TEST_F(LayoutRequestTest, EverySectorTheRequestMayWriteReadsTheDisksNewBytes)
{
    const std::vector<LayoutCase> cases = {
        {"set layout", IOCTL_DISK_SET_DRIVE_LAYOUT, DiskLayout::MbrChain, DriveLayout(NewMbrEntries(), 12), true},
        {"set layout ex, MBR", IOCTL_DISK_SET_DRIVE_LAYOUT_EX, DiskLayout::MbrChain,
         DriveLayoutEx(PARTITION_STYLE_MBR, NewMbrEntries(), 12), true},
        {"set layout ex, MBR to GPT", IOCTL_DISK_SET_DRIVE_LAYOUT_EX, DiskLayout::MbrChain,
         DriveLayoutEx(PARTITION_STYLE_GPT, {Partition(0x05, 900)}, 1), false},
        {"set layout ex, GPT to MBR", IOCTL_DISK_SET_DRIVE_LAYOUT_EX, DiskLayout::Gpt,
         DriveLayoutEx(PARTITION_STYLE_MBR, NewMbrEntries(), 12), true},
        {"create disk, GPT", IOCTL_DISK_CREATE_DISK, DiskLayout::MbrChain, StyleRecord(PARTITION_STYLE_GPT, 24),
         false},
        {"set partition info", IOCTL_DISK_SET_PARTITION_INFO, DiskLayout::MbrChain, {0x0C}, false},
        {"set partition info ex, GPT", IOCTL_DISK_SET_PARTITION_INFO_EX, DiskLayout::Gpt,
         StyleRecord(PARTITION_STYLE_GPT, 4 + 112), false},
        {"delete layout", IOCTL_DISK_DELETE_DRIVE_LAYOUT, DiskLayout::MbrChain, {}, false},
    };
    const ULONGLONG untouched = 300;  // a data sector that no layout holds
    for (const LayoutCase& c : cases)
        for (bool worker : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.what << (worker ? "" : ", no worker"));
            CacheRig rig(Shape());
            if (c.before == DiskLayout::MbrChain)
                PutOldMbrChain(rig);
            else
                PutOldGpt(rig);
            WarmSectors(rig, {untouched, OldChain[0], OldChain[1], NewChain[0], NewChain[1]});
            if (!worker)
                StopWorkerThread(&CacheRig::Ext(rig.master)->Worker);

            // What the disk writes when the request arrives.
            std::vector<ULONGLONG> written;
            for (ULONGLONG s = 0; s < 34; s++)
                written.push_back(s);
            for (ULONGLONG s = TailStart; s < DiskSectors; s++)
                written.push_back(s);
            if (c.before == DiskLayout::MbrChain)
                written.insert(written.end(), std::begin(OldChain), std::end(OldChain));
            if (c.writesNewChain)
                written.insert(written.end(), std::begin(NewChain), std::end(NewChain));
            std::vector<std::pair<uint64_t, std::vector<uint8_t>>> writes;
            for (ULONGLONG s : written) {
                std::vector<uint8_t> bytes = Filler((uint8_t)(0x80 + s % 97));
                writes.push_back({s * SectorBytes, bytes});
                std::copy(bytes.begin(), bytes.end(), rig.reference.begin() + s * SectorBytes);
            }
            rig.master.SetLayoutWrites(writes);
            rig.master.ClearRequests();

            emu::IoResult r = SendLayout(rig, rig.master, c.code, c.input);
            EXPECT_EQ(r.status, STATUS_SUCCESS);
            EXPECT_EQ(rig.master.LayoutChanges(), 1u) << "the request reached the disk";
            uint64_t thread = ControlThread(rig, c.code);
            if (worker)
                EXPECT_NE(thread, emu::ThreadId()) << "passed down by the master's worker";
            else
                EXPECT_EQ(thread, emu::ThreadId()) << "passed down on the caller's thread";

            for (ULONGLONG s : written) {
                SCOPED_TRACE(testing::Message() << "sector " << s);
                rig.ExpectRead(s * SectorBytes, SectorBytes);
            }
            EXPECT_TRUE(CachedValid(rig, untouched)) << "a sector outside every layout stays cached";
            if (c.before == DiskLayout::Gpt) {
                EXPECT_TRUE(CachedValid(rig, OldChain[0])) << "no chain on a GPT disk";
            }
            if (!c.writesNewChain) {
                EXPECT_TRUE(CachedValid(rig, NewChain[1])) << "no new chain in this request";
            }
            EXPECT_EQ(rig.CheckCoherence(), "");
        }
}

// While the disk below still works on a request, the reads queued behind it
// on the master's worker find the old tables on the disk and cache them; once
// the request is answered, the new tables are what a read returns.
TEST_F(LayoutRequestTest, TablesReadWhileTheDiskWritesThemAreDroppedWhenItAnswers)
{
    CacheRig rig(Shape());
    PutOldMbrChain(rig);
    WarmSectors(rig, {NewChain[0]});
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> writes = {
        {0, BootRecord({{0x07, 40, 400}, {0x0F, 900, 1000}}, 0x61)},
        {NewChain[0] * SectorBytes, BootRecord({{0x07, 8, 100}, {0x05, 200, 100}}, 0x62)},
        {NewChain[1] * SectorBytes, BootRecord({{0x07, 8, 100}}, 0x63)}};
    rig.master.SetLayoutWrites(writes);
    rig.master.HoldLayoutRequests(true);

    std::vector<uint8_t> input = DriveLayout(NewMbrEntries(), 12);
    emu::PendingIo request = rig.machine.StartIrp(rig.master.Top(), [&](PIRP irp, PIO_STACK_LOCATION next) {
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_DISK_SET_DRIVE_LAYOUT;
        next->Parameters.DeviceIoControl.InputBufferLength = (ULONG)input.size();
        irp->AssociatedIrp.SystemBuffer = input.data();
    });
    rig.machine.WaitUntilQuiet();
    ASSERT_TRUE(rig.master.LayoutRequestHeld());
    // The old tables, still on the disk.
    for (const auto& write : writes)
        rig.ExpectRead(write.first, SectorBytes);
    ASSERT_TRUE(CachedValid(rig, 0) && CachedValid(rig, NewChain[0])) << "the old tables are cached again";

    for (const auto& write : writes)
        std::copy(write.second.begin(), write.second.end(), rig.reference.begin() + write.first);
    rig.master.ReleaseLayoutRequest();
    EXPECT_EQ(STATUS_SUCCESS, request.Wait().status);
    rig.machine.WaitUntilQuiet();
    for (const auto& write : writes)
        rig.ExpectRead(write.first, SectorBytes);
    EXPECT_EQ(rig.CheckCoherence(), "");
}

// ---- Layouts and records not to be trusted ----------------------------------

struct ChainCase {
    const char* what;
    std::vector<std::pair<ULONGLONG, std::vector<uint8_t>>> records;  // besides the MBR
    std::vector<ULONGLONG> dropped;
    std::vector<ULONGLONG> kept;
    ULONG maxReads;  // of the master by one walk of the chain
};

TEST_F(LayoutRequestTest, TheDisksChainIsFollowedAsFarAsItIsSound)
{
    // Every record's second entry links to the next record, relative to the
    // extended partition at 600.
    std::vector<std::pair<ULONGLONG, std::vector<uint8_t>>> longChain;
    for (ULONG i = 0; i < 200; i++)
        longChain.push_back({600 + 2 * i, BootRecord({{0x07, 1, 1}, {0x05, 2 * i + 2, 2}}, 0x30)});
    const std::vector<ChainCase> cases = {
        {"a record links to itself", {{600, BootRecord({{0x07, 8, 10}, {0x05, 0, 10}}, 0x31)}}, {600}, {750}, 2},
        {"a loop back to the first record",
         {{600, BootRecord({{0x07, 8, 10}, {0x05, 150, 10}}, 0x32)},
          {750, BootRecord({{0x07, 8, 10}, {0x0F, 0, 10}}, 0x33)}},
         {600, 750},
         {},
         3},
        {"a link past the end of the disk",
         {{600, BootRecord({{0x07, 8, 10}, {0x05, 0xFFFFFF00u, 10}}, 0x34)}},
         {600},
         {750},
         2},
        {"a record without a signature ends the chain",
         {{600, BootRecord({{0x07, 8, 10}, {0x05, 150, 10}}, 0x35, false)},
          {750, BootRecord({{0x07, 8, 10}}, 0x36)}},
         {600},
         {750},
         2},
        {"a chain longer than any disk holds", longChain, {600, 602, 854}, {856, 998}, 1 + 128},
    };
    for (const ChainCase& c : cases) {
        SCOPED_TRACE(c.what);
        CacheRig rig(Shape());
        Put(rig, 0, BootRecord({{0x07, 40, 400}, {0x05, 600, 1400}}, 0x3F));
        for (const auto& record : c.records)
            Put(rig, record.first, record.second);
        std::vector<ULONGLONG> sectors = c.dropped;
        sectors.insert(sectors.end(), c.kept.begin(), c.kept.end());
        WarmSectors(rig, sectors);
        rig.master.ClearRequests();
        EXPECT_EQ(SendLayout(rig, rig.master, IOCTL_DISK_DELETE_DRIVE_LAYOUT, {}).status, STATUS_SUCCESS);
        EXPECT_EQ(rig.master.LayoutChanges(), 1u);
        // One walk before the request goes down, one after the disk has answered it.
        EXPECT_LE(CountRequests(rig.master, IRP_MJ_READ), 2 * c.maxReads) << "the walk ends";
        for (ULONGLONG s : c.dropped)
            EXPECT_FALSE(CachedValid(rig, s)) << s;
        for (ULONGLONG s : c.kept)
            EXPECT_TRUE(CachedValid(rig, s)) << s << " is not a record of the chain";
        EXPECT_EQ(rig.CheckCoherence(), "");
    }
}

struct RecordCase {
    const char* what;
    ULONG code;
    std::vector<uint8_t> input;
    bool dropsRecordAt900;
};

TEST_F(LayoutRequestTest, InputRecordsAreReadOnlyAsFarAsTheirLengthReaches)
{
    std::vector<PARTITION_INFORMATION> two = {Partition(0x07, 40), Partition(0x0F, 900)};
    std::vector<uint8_t> cut = DriveLayout(two, 2);
    cut.resize(cut.size() - 1);  // the extended entry is one byte short
    std::vector<uint8_t> cutEx = DriveLayoutEx(PARTITION_STYLE_MBR, two, 2);
    cutEx.resize(cutEx.size() - 1);
    std::vector<PARTITION_INFORMATION> backwards = {Partition(0x0F, 900), Partition(0x05, 0)};
    backwards[1].StartingOffset.QuadPart = -(LONGLONG)SectorBytes;
    const std::vector<RecordCase> cases = {
        {"count far beyond the entries given", IOCTL_DISK_SET_DRIVE_LAYOUT, DriveLayout(two, 100000), true},
        {"count far beyond, extended", IOCTL_DISK_SET_DRIVE_LAYOUT_EX,
         DriveLayoutEx(PARTITION_STYLE_MBR, two, 0xFFFFFFFF), true},
        {"the last entry cut short", IOCTL_DISK_SET_DRIVE_LAYOUT, cut, false},
        {"the last entry cut short, extended", IOCTL_DISK_SET_DRIVE_LAYOUT_EX, cutEx, false},
        {"shorter than the header", IOCTL_DISK_SET_DRIVE_LAYOUT, {2, 0, 0}, false},
        {"shorter than the header, extended", IOCTL_DISK_SET_DRIVE_LAYOUT_EX, {0, 0, 0, 0, 2, 0, 0, 0}, false},
        {"no input at all", IOCTL_DISK_SET_DRIVE_LAYOUT_EX, {}, false},
        {"a GPT record's entries are no boot records", IOCTL_DISK_SET_DRIVE_LAYOUT_EX,
         DriveLayoutEx(PARTITION_STYLE_GPT, two, 2), false},
        {"an offset before the disk", IOCTL_DISK_SET_DRIVE_LAYOUT, DriveLayout(backwards, 2), true},
    };
    for (const RecordCase& c : cases) {
        SCOPED_TRACE(c.what);
        CacheRig rig(Shape());
        WarmSectors(rig, {900});
        EXPECT_EQ(SendLayout(rig, rig.master, c.code, c.input).status, STATUS_SUCCESS);
        EXPECT_EQ(rig.master.LayoutChanges(), 1u);
        EXPECT_EQ(CachedValid(rig, 900), !c.dropsRecordAt900);
        EXPECT_FALSE(CachedValid(rig, 0));
        EXPECT_EQ(rig.CheckCoherence(), "");
    }
}

// Short of pool, IRPs or MDLs while the disk's chain is read: the request
// still reaches the disk, and the first and last sectors are still dropped.
TEST_F(LayoutRequestTest, ShortResourcesNarrowTheWalkButNeverTheRequest)
{
    for (emu::Resource resource : {emu::Resource::Pool, emu::Resource::Irp, emu::Resource::Mdl})
        for (ULONG nth = 1; nth <= 4; nth++) {
            SCOPED_TRACE(testing::Message() << "resource " << (int)resource << ", failure " << nth);
            CacheRig rig(Shape());
            PutOldMbrChain(rig);
            WarmSectors(rig, {OldChain[0], OldChain[1]});
            emu::FailNth(resource, nth);
            emu::IoResult r = SendLayout(rig, rig.master, IOCTL_DISK_DELETE_DRIVE_LAYOUT, {});
            emu::ClearFailures();
            if (r.status == STATUS_INSUFFICIENT_RESOURCES)
                continue;  // the request itself could not be built
            EXPECT_EQ(r.status, STATUS_SUCCESS);
            EXPECT_EQ(rig.master.LayoutChanges(), 1u);
            EXPECT_FALSE(CachedValid(rig, 0));
            EXPECT_FALSE(CachedValid(rig, DiskSectors - 1));
            EXPECT_EQ(rig.CheckCoherence(), "");
        }
}

// ---- Write-back --------------------------------------------------------------

// A write-back cache may hold the only current copy of the partition table
// and of data in the sectors concerned: the table is read as the cache holds
// it, and dirty data the request does not rewrite reaches the disk instead of
// being dropped.
TEST_F(LayoutRequestTest, WriteBackDataInTheDroppedSectorsReachesTheDiskFirst)
{
    for (bool worker : {true, false}) {
        SCOPED_TRACE(worker ? "worker" : "no worker");
        CacheRig rig(Shape(CacheModeWriteBack));
        DriverPhase = PhaseRunning;  // after the boot, which set the load values
        OpenSequence = 1;
        rig.Map()->WriteMode = 2;
        Put(rig, 0, BootRecord({{0x07, 40, 400}}, 0x41));  // no extended partition on the disk yet
        Put(rig, 800, BootRecord({{0x07, 8, 100}}, 0x42));
        const ULONGLONG dataSectors[] = {20, DiskSectors - 2};
        WarmSectors(rig, {800, dataSectors[0], dataSectors[1]});

        // Through the cache: a table with an extended partition at 800, and data.
        std::vector<uint8_t> table = BootRecord({{0x07, 40, 400}, {0x0F, 800, 1000}}, 0x43);
        ASSERT_EQ(rig.machine.Write(rig.master, 0, table.data(), SectorBytes).status, STATUS_SUCCESS);
        std::copy(table.begin(), table.end(), rig.reference.begin());
        for (ULONGLONG s : dataSectors) {
            std::vector<uint8_t> data = Filler((uint8_t)(0x50 + s % 7));
            ASSERT_EQ(rig.machine.Write(rig.master, s * SectorBytes, data.data(), SectorBytes).status,
                      STATUS_SUCCESS);
            std::copy(data.begin(), data.end(), rig.reference.begin() + s * SectorBytes);
        }
        rig.machine.WaitUntilQuiet();
        ASSERT_NE(rig.master.Bytes(0, SectorBytes), table) << "the table is only in the cache";
        if (!worker)
            StopWorkerThread(&CacheRig::Ext(rig.master)->Worker);

        // The disk rewrites the table and the record the cached table names.
        std::vector<uint8_t> newTable = BootRecord({{0x07, 40, 400}}, 0x44);
        std::vector<uint8_t> newRecord = Filler(0x45);
        rig.master.SetLayoutWrites({{0, newTable}, {800 * SectorBytes, newRecord}});
        std::copy(newTable.begin(), newTable.end(), rig.reference.begin());
        std::copy(newRecord.begin(), newRecord.end(), rig.reference.begin() + 800 * SectorBytes);
        EXPECT_EQ(SendLayout(rig, rig.master, IOCTL_DISK_DELETE_DRIVE_LAYOUT, {}).status, STATUS_SUCCESS);

        rig.ExpectRead(0, SectorBytes);
        rig.ExpectRead(800 * SectorBytes, SectorBytes);
        for (ULONGLONG s : dataSectors) {
            rig.ExpectRead(s * SectorBytes, SectorBytes);
            EXPECT_EQ(rig.master.Bytes(s * SectorBytes, SectorBytes),
                      std::vector<uint8_t>(rig.reference.begin() + s * SectorBytes,
                                           rig.reference.begin() + (s + 1) * SectorBytes))
                << "sector " << s << " reached the disk";
        }
        EXPECT_EQ(rig.CheckCoherence(), "");
    }
}

// ---- 4 KiB sectors ---------------------------------------------------------------

// Sector numbers, byte offsets of the input record and the fixed ranges at
// both ends are counted in the disk's own sector size.
TEST_F(LayoutRequestTest, FourKiBSectorsAreCountedInTheirOwnSize)
{
    const ULONG bytes = 4096;
    RigShape shape = Shape();
    shape.sectorSize = bytes;
    CacheRig rig(shape);
    const ULONGLONG sectors = shape.masterBytes / bytes;  // 256
    Put(rig, 0, BootRecord({{0x07, 40, 30}, {0x0F, 80, 100}}, 0x61, true, bytes));
    Put(rig, 80, BootRecord({{0x07, 1, 10}}, 0x62, true, bytes));
    const std::vector<ULONGLONG> dropped = {0, 33, 80, 120, sectors - 33, sectors - 1};
    const std::vector<ULONGLONG> kept = {34, 64, sectors - 34};
    for (const std::vector<ULONGLONG>* list : {&dropped, &kept})
        for (ULONGLONG s : *list) {
            rig.ExpectRead((s & ~7ull) * bytes, 8 * bytes);
            ASSERT_TRUE(CachedValid(rig, s)) << s;
        }

    std::vector<uint8_t> input = DriveLayout({Partition(0x07, 40, bytes), Partition(0x0F, 120, bytes)}, 2);
    EXPECT_EQ(SendLayout(rig, rig.master, IOCTL_DISK_SET_DRIVE_LAYOUT, input).status, STATUS_SUCCESS);
    for (ULONGLONG s : dropped)
        EXPECT_FALSE(CachedValid(rig, s)) << s;
    for (ULONGLONG s : kept)
        EXPECT_TRUE(CachedValid(rig, s)) << s;
    EXPECT_EQ(rig.CheckCoherence(), "");
}

// ---- Where nothing is dropped ------------------------------------------------

TEST_F(LayoutRequestTest, AnSsdRefusesLayoutRequestsAndPassesOthersDown)
{
    CacheRig rig(Shape());
    for (ULONG code : AllLayoutCodes) {
        SCOPED_TRACE(code);
        emu::IoResult r = SendLayout(rig, rig.ssd, code, DriveLayout(NewMbrEntries(), 12));
        EXPECT_EQ(r.status, STATUS_NOT_IMPLEMENTED);
        EXPECT_EQ(r.information, 0u);
    }
    EXPECT_EQ(rig.ssd.LayoutChanges(), 0u);
    GET_LENGTH_INFORMATION length = {};
    emu::IoResult r =
        rig.machine.DiskIoControl(rig.ssd, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ((uint64_t)length.Length.QuadPart, rig.ssd.Config().lengthBytes);
}

TEST_F(LayoutRequestTest, AnInactiveMasterOrAnotherRequestPassesDownWithTheCacheUntouched)
{
    CacheRig rig(Shape());
    PutOldMbrChain(rig);
    WarmSectors(rig, {OldChain[0], OldChain[1], NewChain[0]});
    std::vector<bool> valid = rig.View().valid;

    // Another request to the active master.
    rig.master.ClearRequests();
    GET_LENGTH_INFORMATION length = {};
    EXPECT_EQ(rig.machine.DiskIoControl(rig.master, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length)
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(ControlThread(rig, IOCTL_DISK_GET_LENGTH_INFO), emu::ThreadId()) << "not queued";

    // Layout requests to the master once its cache is inactive.
    CacheRig::Ext(rig.master)->Cache.Active = 0;
    for (ULONG code : AllLayoutCodes) {
        SCOPED_TRACE(code);
        rig.master.ClearRequests();
        EXPECT_EQ(SendLayout(rig, rig.master, code, DriveLayout(NewMbrEntries(), 12)).status, STATUS_SUCCESS);
        EXPECT_EQ(ControlThread(rig, code), emu::ThreadId()) << "not queued";
        EXPECT_EQ(CountRequests(rig.master, IRP_MJ_READ), 0u) << "no table read";
    }
    EXPECT_EQ(rig.master.LayoutChanges(), 6u);
    CacheRig::Ext(rig.master)->Cache.Active = 1;
    EXPECT_EQ(rig.View().valid, valid) << "no valid bit changed";
}

}  // namespace
