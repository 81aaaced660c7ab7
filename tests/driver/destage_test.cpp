// Destage: dirty runs copied from the SSD to the master in pieces of at most
// 1 MiB, the clean bits set only after the master holds them, failures that
// leave runs dirty, the idle order (non-boot slots first) and the cached bytes.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <memory>
#include <string>
#include <vector>

#include "tolvarn.h"
#include "bitmaps.h"
#include "destage.h"
#include "entry.h"
#include "metadata.h"
#include "printers.h"
#include "disks.h"

namespace {

using emu::Disk;
using emu::DiskConfig;
using emu::Machine;
namespace reg = emu::reg;

const ULONGLONG MiB = 1ull << 20;
const ULONGLONG MasterId = 0x1111, SsdId = 0x2222;
const ULONGLONG AreaStart = 1 * MiB, AreaEnd = 41 * MiB;
const ULONG BlockShift = 21;  // 2 MiB blocks

// A master and its SSD with a started cache in the given mode.
class DestageTest : public ::testing::Test {
public:
    void Boot(ULONG sectorSize, UCHAR mode = CacheModeWriteBack)
    {
        if (machine_ && master_->Top())
            FreeCacheMap(&Master()->Cache);
        machine_.reset();
        machine_.reset(new Machine());
        DiskConfig m;
        m.model = "MASTERDISK";
        m.serial = "M1";
        m.lengthBytes = 256 * MiB;
        m.sectorSize = sectorSize;
        master_ = &machine_->AddDisk(m);
        DiskConfig s;
        s.model = "SSDDISK";
        s.serial = "S1";
        s.lengthBytes = 64 * MiB;
        s.sectorSize = sectorSize;
        ssd_ = &machine_->AddDisk(s);
        std::u16string key = machine_->RegistryPath() + u"\\" + DiskKeyName(u"MASTERDISK", u"M1");
        reg::SetQword(key, u"DorqBrimvaultId", MasterId);
        reg::SetDword(key, u"ConfigType", 1);
        reg::SetQword(key, u"SsdCacheDiskId", SsdId);
        reg::SetDword(key, u"SsdCacheMode", mode);
        key = machine_->RegistryPath() + u"\\" + DiskKeyName(u"SSDDISK", u"S1");
        reg::SetQword(key, u"DorqBrimvaultId", SsdId);
        reg::SetDword(key, u"ConfigType", 2);
        reg::SetQword(key, u"SsdCacheStart", AreaStart);
        reg::SetQword(key, u"SsdCacheEnd", AreaEnd);
        reg::SetQword(key, u"MasterDiskId", MasterId);
        ASSERT_EQ(STATUS_SUCCESS, machine_->Boot(DriverEntry));
        sectorBytes_ = sectorSize;
        Master()->Geometry.BlockShift = BlockShift;
        ASSERT_EQ(STATUS_SUCCESS, InitCacheOnSsd(master_->Top()));
        baseline_ = PoolBytes;
    }
    void TearDown() override
    {
        if (machine_ && master_->Top()) {
            Master()->Cache.Active = 0;  // the worker leaves the map alone
            machine_->WaitUntilQuiet();
            FreeCacheMap(&Master()->Cache);
        }
    }

    FilterExtension* Master() { return FilterExtensionOf(master_->Top()); }
    CacheMap& Map() { return Master()->Cache.Map; }

    // A slot for the block holding a dirty run of the given sectors from the
    // block's first sector on; the SSD gets a pattern there.
    SsdSlot Dirty(ULONG block, ULONG sectors, BootTime boot = AfterBoot)
    {
        SsdSlot slot = AllocateSlot(&Map(), ToMasterBlock(block), boot);
        EXPECT_NE(NoSlot, slot);
        SetValidRun(&Map(), slot, 0, sectors);
        if (Map().Mode == CacheModeWriteBack) {
            EXPECT_EQ(STATUS_SUCCESS, ClearCleanRun(&Map(), slot, 0, sectors));
        }
        std::vector<UCHAR> data = Pattern(block, sectors);
        ssd_->WriteBytes(SlotFirstSsdSector(&Map(), slot) * sectorBytes_, data.data(), data.size());
        return slot;
    }
    std::vector<UCHAR> Pattern(ULONG block, ULONG sectors)
    {
        std::vector<UCHAR> data((size_t)sectors * sectorBytes_);
        for (size_t i = 0; i < data.size(); i++)
            data[i] = (UCHAR)(block * 31 + i / sectorBytes_);
        return data;
    }
    ULONGLONG BlockOffset(ULONG block) { return (ULONGLONG)block << BlockShift; }
    std::vector<ULONG> MasterWrites()
    {
        std::vector<ULONG> lengths;
        for (const emu::DiskRecord& r : master_->Requests())
            if (r.major == IRP_MJ_WRITE)
                lengths.push_back(r.length);
        return lengths;
    }

protected:
    std::unique_ptr<Machine> machine_;
    Disk* master_ = nullptr;
    Disk* ssd_ = nullptr;
    ULONG sectorBytes_ = 512;
    ULONGLONG baseline_ = 0;
};

TEST_F(DestageTest, FlushCopiesARunOf3000SectorsInPiecesOf2048And952)
{
    Boot(512);
    Dirty(5, 3000);
    master_->ClearRequests();
    ASSERT_EQ(STATUS_SUCCESS, FlushAllDirty(master_->Top()));
    EXPECT_EQ((std::vector<ULONG>{2048 * 512, 952 * 512}), MasterWrites());
    EXPECT_EQ(Pattern(5, 3000), master_->Bytes(BlockOffset(5), 3000 * 512)) << "the master holds the data";
    SsdRun run;
    EXPECT_FALSE(FindAnyDirtyRun(&Map(), &run)) << "every copied sector is clean";
    EXPECT_EQ(1u, Master()->Cache.DestageIdle);
    EXPECT_EQ(baseline_, PoolBytes) << "the piece's buffer is gone";
    EXPECT_EQ(2u, Master()->Stats.WritesDown);
    EXPECT_EQ(3000u, Master()->Stats.SectorsWrittenDown);
}

TEST_F(DestageTest, PiecesOf4096ByteSectorsHoldAtMost256)
{
    Boot(4096);
    Dirty(2, 300);
    master_->ClearRequests();
    ASSERT_EQ(STATUS_SUCCESS, FlushAllDirty(master_->Top()));
    EXPECT_EQ((std::vector<ULONG>{256 * 4096, 44 * 4096}), MasterWrites());
    EXPECT_EQ(Pattern(2, 300), master_->Bytes(BlockOffset(2), 300 * 4096));
}

TEST_F(DestageTest, ModesWithoutACleanBitmapHaveNothingToDestage)
{
    for (UCHAR mode : {0, 1, 3}) {
        SCOPED_TRACE(int(mode));
        Boot(512, mode);
        Dirty(5, 16);
        master_->ClearRequests();
        EXPECT_EQ(STATUS_SUCCESS, FlushAllDirty(master_->Top()));
        NTSTATUS piece = STATUS_PENDING;
        EXPECT_FALSE(IdleDestage(master_->Top(), &piece));
        EXPECT_TRUE(MasterWrites().empty());
        FreeCacheMap(&Master()->Cache);
    }
}

TEST_F(DestageTest, AFailingMasterWriteEndsTheFlushAndLeavesTheRunDirty)
{
    Boot(512);
    Dirty(5, 64);
    Dirty(9, 64);
    master_->InjectError(emu::DiskOp::Write, BlockOffset(9) / 512, 64, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(STATUS_IO_DEVICE_ERROR, FlushAllDirty(master_->Top()));
    SsdRun run;
    ASSERT_TRUE(FindAnyDirtyRun(&Map(), &run));
    EXPECT_EQ(64u, run.Sectors) << "the failed run is still dirty, whole";
    EXPECT_EQ(ULONGLONG(BlockOffset(9) / 512), SsdToMasterSector(&Map(), run.FirstSector));
    EXPECT_EQ(baseline_, PoolBytes);

    // An SSD read error leaves it dirty the same way.
    master_->ClearErrors();
    ssd_->InjectError(emu::DiskOp::Read, run.FirstSector, 1, STATUS_IO_DEVICE_ERROR);
    NTSTATUS piece = STATUS_SUCCESS;
    EXPECT_TRUE(IdleDestage(master_->Top(), &piece));
    EXPECT_EQ(STATUS_IO_DEVICE_ERROR, piece);
    EXPECT_TRUE(FindAnyDirtyRun(&Map(), &run));
    ssd_->ClearErrors();
    EXPECT_EQ(STATUS_SUCCESS, FlushAllDirty(master_->Top()));
    EXPECT_EQ(Pattern(9, 64), master_->Bytes(BlockOffset(9), 64 * 512));
}

TEST_F(DestageTest, IdleWriteBackTakesNonBootSlotsFirstEachInLruOrder)
{
    Boot(512);
    Dirty(1, 8, DuringBoot);  // least recently used, but a boot slot
    Dirty(2, 8);
    Dirty(3, 8, DuringBoot);
    Dirty(4, 8);
    std::vector<ULONGLONG> order;
    NTSTATUS piece;
    master_->ClearRequests();
    while (IdleDestage(master_->Top(), &piece)) {
        ASSERT_EQ(STATUS_SUCCESS, piece);
    }
    for (const emu::DiskRecord& r : master_->Requests())
        if (r.major == IRP_MJ_WRITE)
            order.push_back(r.offset >> BlockShift);
    EXPECT_EQ((std::vector<ULONGLONG>{2, 4, 1, 3}), order);
}

TEST_F(DestageTest, CachedBytesCountValidSectorsAndNothingWithoutAnSsd)
{
    Boot(512);
    Dirty(1, 8);
    Dirty(2, 100);
    EXPECT_EQ(108u * 512, CachedBytes(master_->Top()));
    FreeCacheMap(&Master()->Cache);
    EXPECT_EQ(0u, CachedBytes(master_->Top())) << "a detached cache holds nothing";
}

TEST_F(DestageTest, TheWorkerWritesBackAfterQuietAndPacesFailedPieces)
{
    // 1. A running-phase cache with idle write-back and two dirty runs; one
    //    of them cannot be written to the master.
    Boot(512);
    Dirty(3, 40);
    Dirty(7, 40);
    master_->InjectError(emu::DiskOp::Write, BlockOffset(7) / 512, 40, STATUS_IO_DEVICE_ERROR);
    master_->ClearRequests();
    Master()->Cache.IdleWriteBack = 1;
    Master()->Cache.Active = 1;

    // 2. After 300 ms of quiet the good run is on the master.
    machine_->AdvanceMs(300);
    EXPECT_EQ(Pattern(3, 40), master_->Bytes(BlockOffset(3), 40 * 512));

    // 3. The failing run is retried about once per 100 ms tick, not at once
    //    and again for as long as it fails.
    master_->ClearRequests();
    machine_->AdvanceMs(1000);
    size_t attempts = MasterWrites().size();
    EXPECT_GE(attempts, 5u);
    EXPECT_LE(attempts, 12u);

    // 4. Once the disk recovers, the run is written back and nothing is dirty.
    master_->ClearErrors();
    machine_->AdvanceMs(300);
    EXPECT_EQ(Pattern(7, 40), master_->Bytes(BlockOffset(7), 40 * 512));
    Master()->Cache.Active = 0;
    machine_->WaitUntilQuiet();
    SsdRun run;
    EXPECT_FALSE(FindAnyDirtyRun(&Map(), &run));
}

TEST_F(DestageTest, TheHibernationFlushRunsOnTheMastersWorker)
{
    // 1. An active cache whose worker runs; idle write-back is off.
    Boot(512);
    Dirty(4, 100);
    Master()->Cache.Active = 1;
    master_->ClearRequests();

    // 2. Hibernation flushes it: the master holds the data before S4.
    ASSERT_EQ(STATUS_SUCCESS, machine_->SetSystemPower(PowerSystemHibernate));
    EXPECT_EQ(Pattern(4, 100), master_->Bytes(BlockOffset(4), 100 * 512));

    // 3. The pieces were written by another thread than the power request's.
    uint64_t powerThread = 0, writeThread = 0;
    for (const emu::DiskRecord& r : master_->Requests()) {
        if (r.major == IRP_MJ_POWER)
            powerThread = r.thread;
        if (r.major == IRP_MJ_WRITE)
            writeThread = r.thread;
    }
    ASSERT_NE(0u, writeThread);
    EXPECT_NE(powerThread, writeThread) << "the flush ran on the worker";
    EXPECT_EQ(STATUS_SUCCESS, machine_->SetSystemPower(PowerSystemWorking));
}

}  // namespace
