// The life of a master's cache on a simulated machine: start, stop and the
// drain, shutdown and the save, the attach at the next boot, hibernation,
// removal of either disk, power cuts, writes that pass by the map, and the
// partition-layout requests. Each test drives the real driver through the
// harness and direct calls of the lifecycle routines, as the control
// requests make them, and checks the disks' bytes against a reference image.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tolvarn.h"
#include "bitmaps.h"
#include "cacherig.h"
#include "cachestate.h"
#include "config.h"
#include "controlclient.h"
#include "entry.h"
#include "lifecycle.h"
#include "metadata.h"
#include "worker.h"
#include "disks.h"
#include "eventually.h"

#include <thread>

namespace {

using emu::Disk;
using emu::DiskConfig;
using emu::Machine;
namespace reg = emu::reg;

const ULONGLONG KiB = 1024, MiB = 1024 * KiB;
const ULONGLONG MasterId = 0x4D41, SsdId = 0x5353;
const ULONGLONG AreaStart = 64 * KiB, AreaEnd = 2 * MiB;
const ULONG BlockShift = 12;  // 4 KiB blocks: 8 sectors
const ULONG BlockBytes = 1u << BlockShift;
const ULONGLONG EarlierStamp = 0x01D0000012345678ull;  // left by an earlier attach

struct Rig {
    UCHAR mode = CacheModeWriteBack;
    ULONG masterStart = 0;
    ULONGLONG ssdDiskId = SsdId;
    emu::CompletionMode completion = emu::CompletionMode::Inline;
    bool writeCache = false;  // both disks keep completed writes in a volatile cache
};

// A master and its SSD, named to each other in the registry, with a reference
// image of what the master must hold.
class LifecycleTest : public ::testing::Test {
public:
    void PowerOn(const Rig& rig = Rig())
    {
        rig_ = rig;
        machine_.reset(new Machine());
        DiskConfig m;
        m.model = "MASTERDISK";
        m.serial = "M1";
        m.lengthBytes = 8 * MiB;
        m.completion = rig.completion;
        m.writeCache = rig.writeCache;
        master_ = &machine_->AddDisk(m);
        DiskConfig s;
        s.model = "SSDDISK";
        s.serial = "S1";
        s.lengthBytes = 4 * MiB;
        s.completion = rig.completion;
        s.writeCache = rig.writeCache;
        ssd_ = &machine_->AddDisk(s);
        reg::SetQword(MasterKey(), u"DorqBrimvaultId", MasterId);
        reg::SetDword(MasterKey(), u"ConfigType", 1);
        reg::SetQword(MasterKey(), u"SsdCacheDiskId", rig.ssdDiskId);
        reg::SetDword(MasterKey(), u"SsdCacheMode", rig.mode);
        reg::SetDword(MasterKey(), u"SsdCacheWriteMode", 3);  // writes cache missed blocks too
        reg::SetDword(MasterKey(), u"MasterStart", rig.masterStart);
        reg::SetQword(MasterKey(), u"TimeStamp", EarlierStamp);
        reg::SetQword(SsdKey(), u"DorqBrimvaultId", SsdId);
        reg::SetDword(SsdKey(), u"ConfigType", 2);
        reg::SetQword(SsdKey(), u"SsdCacheStart", AreaStart);
        reg::SetQword(SsdKey(), u"SsdCacheEnd", AreaEnd);
        reg::SetQword(SsdKey(), u"MasterDiskId", MasterId);
        reference_.assign(m.lengthBytes, 0);
        for (size_t i = 0; i < reference_.size(); i += 4) {
            uint32_t word = (uint32_t)(i / 4) * 2654435761u;
            memcpy(&reference_[i], &word, 4);
        }
        master_->WriteBytes(0, reference_.data(), reference_.size());
        ASSERT_EQ(STATUS_SUCCESS, machine_->Boot(DriverEntry));
        OpenClient();
        baseline_ = PoolBytes;
    }

    // The control device opened, as the client does once Windows runs: from
    // then on write-back applies.
    void OpenClient()
    {
        client_ = emu::Client();
        ASSERT_EQ(STATUS_SUCCESS, machine_->Open(u"\\\\.\\Tolvarn", &client_));
    }

    // Reboot (with the shutdown request unless one was sent), then every disk
    // or only the master added and started.
    void Reboot(bool withSsd = true)
    {
        client_.Close();
        ASSERT_EQ(STATUS_SUCCESS, machine_->Reboot());
        StartStacks(withSsd);
    }
    void PowerCut()
    {
        client_.Close();
        ASSERT_EQ(STATUS_SUCCESS, machine_->PowerCut());
        StartStacks(true);
    }
    void StartStacks(bool withSsd)
    {
        if (withSsd) {
            ASSERT_EQ(STATUS_SUCCESS, machine_->AddAndStartAll());
        } else {
            ASSERT_EQ(STATUS_SUCCESS, machine_->AddDevice(*master_));
            ASSERT_EQ(STATUS_SUCCESS, machine_->Start(*master_));
        }
        machine_->EndBootPhase();
        OpenClient();
    }

    std::u16string MasterKey()
    {
        return machine_->RegistryPath() + u"\\" + DiskKeyName(u"MASTERDISK", u"M1");
    }
    std::u16string SsdKey() { return machine_->RegistryPath() + u"\\" + DiskKeyName(u"SSDDISK", u"S1"); }
    FilterExtension* Master() { return FilterExtensionOf(master_->Top()); }
    CacheState& Cache() { return Master()->Cache; }
    CacheMap& Map() { return Cache().Map; }
    CacheStateKind State() { return CacheStateOf(&Cache()); }

    // The client's START (block shift stored first) and its persistence
    // protocol: SET_OPTIONS persist 1, SAVE_TIMESTAMP, SAVE_MASTER_CONFIG.
    NTSTATUS Start(ULONG blockShift = BlockShift)
    {
        Cache().StartBlockShift = blockShift;
        return StartCache(master_->Top());
    }
    void KeepAcrossBoots()
    {
        Cache().Persist = 1;
        ASSERT_EQ(STATUS_SUCCESS, SaveDiskQword(Master(), ValueTimeStamp, Master()->TimeStamp));
        reg::SetDword(MasterKey(), u"MasterStart", Master()->Master.MasterStart);
    }

    // stackFlags: SL_WRITE_THROUGH for a write that must be on the medium
    // when it completes.
    void Write(ULONGLONG offset, ULONG bytes, uint32_t tag, UCHAR stackFlags = 0)
    {
        for (ULONG i = 0; i < bytes; i += 4) {
            uint32_t word = (uint32_t)((offset + i) / 4) * 40503u ^ tag;
            memcpy(&reference_[offset + i], &word, 4);
        }
        emu::IoResult r =
            machine_->StartWrite(*master_, offset, &reference_[offset], bytes, true, 0, stackFlags).Wait();
        ASSERT_EQ(STATUS_SUCCESS, r.status) << "write at " << offset;
        machine_->WaitUntilQuiet();
    }
    void ExpectRead(ULONGLONG offset, ULONG bytes)
    {
        std::vector<uint8_t> buffer(bytes, 0xEE);
        emu::IoResult r = machine_->Read(*master_, offset, buffer.data(), bytes);
        machine_->WaitUntilQuiet();
        ASSERT_EQ(STATUS_SUCCESS, r.status) << "read at " << offset;
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), reference_.begin() + offset))
            << "data of the read at " << offset << "+" << bytes;
    }
    // Reads the blocks and counts the reads that reached the master.
    ULONG MasterReadsFor(const std::vector<ULONG>& blocks)
    {
        master_->ClearRequests();
        for (ULONG b : blocks)
            ExpectRead((ULONGLONG)b * BlockBytes, BlockBytes);
        ULONG reads = 0;
        for (const emu::DiskRecord& r : master_->Requests())
            reads += r.major == IRP_MJ_READ;
        return reads;
    }
    bool MasterMatchesReference() { return master_->Bytes(0, reference_.size()) == reference_; }
    std::vector<uint8_t> HeaderSector() { return ssd_->Bytes(AreaStart, 512); }
    ULONGLONG HeaderStamp()
    {
        ULONGLONG stamp;
        memcpy(&stamp, HeaderSector().data() + 0x48, 8);
        return stamp;
    }
    ULONGLONG Dirty()
    {
        machine_->WaitUntilQuiet();
        return CountDirtySectors(&Map());
    }

    // At a quiet point: every valid sector of a used slot holds the block's
    // current data on the SSD, and a clean one equals the master's bytes.
    std::string Coherence()
    {
        machine_->WaitUntilQuiet();
        if (!Map().SsdDevice)
            return "";
        cache_test::MapView view = cache_test::ViewMap(&Map(), 9);
        for (ULONG s = 0; s < view.blockOfSlot.size(); s++) {
            ULONG block = view.blockOfSlot[s];
            if (block == FromMasterBlock(NoBlock))
                continue;
            for (ULONG i = 0; i < view.sectorsPerSlot; i++) {
                if (!view.Valid(s, i))
                    continue;
                uint64_t at = ((uint64_t)block * view.sectorsPerSlot + i) * 512;
                std::vector<uint8_t> onSsd =
                    ssd_->Bytes((view.dataStart + (uint64_t)s * view.sectorsPerSlot + i) * 512, 512);
                std::ostringstream where;
                where << "slot " << s << " (block " << block << ") sector " << i;
                if (!std::equal(onSsd.begin(), onSsd.end(), reference_.begin() + at))
                    return where.str() + ": the SSD does not hold the block's current data";
                if (view.Clean(s, i) && onSsd != master_->Bytes(at, 512))
                    return where.str() + ": clean, yet the master holds other data";
            }
        }
        return "";
    }

    // Runs the worker's clock until the condition holds (at most 30 s of it).
    template <typename Condition>
    bool AfterTicks(Condition condition)
    {
        for (int i = 0; i < 300 && !condition(); i++)
            machine_->AdvanceMs(100);
        return condition();
    }

protected:
    Rig rig_;
    std::unique_ptr<Machine> machine_;
    Disk* master_ = nullptr;
    Disk* ssd_ = nullptr;
    emu::Client client_;
    std::vector<uint8_t> reference_;
    ULONGLONG baseline_ = 0;
};

const std::vector<ULONG> HotBlocks = {0, 3, 17, 200, 1500};

// ---------------------------------------------------------------------------
// Persistence
// ---------------------------------------------------------------------------

TEST_F(LifecycleTest, AMapSavedWithPersistenceServesEachOfThreeBootsFromTheSsd)
{
    for (UCHAR mode : {UCHAR(1), UCHAR(CacheModeWriteBack)}) {
        SCOPED_TRACE("cache mode " + std::to_string(mode));
        PowerOn({.mode = mode});
        ASSERT_EQ(STATUS_SUCCESS, Start());
        KeepAcrossBoots();
        Write(3 * BlockBytes, BlockBytes, 1);
        EXPECT_LT(0u, MasterReadsFor(HotBlocks)) << "the first reads fill the cache";
        for (int boot = 1; boot <= 3; boot++) {
            SCOPED_TRACE("boot " + std::to_string(boot));
            ULONGLONG saved = Master()->TimeStamp;
            Reboot();
            ASSERT_EQ(CacheAttached, State());
            EXPECT_NE(saved, Master()->TimeStamp) << "an attach renews the stamp";
            EXPECT_EQ(0u, HeaderStamp()) << "a saved map serves one boot";
            EXPECT_EQ(0u, MasterReadsFor(HotBlocks)) << "every hot block is read from the SSD";
            EXPECT_EQ("", Coherence());
            Write(17 * BlockBytes + 512, 1024, 10 + boot);  // the map changes each boot
            KeepAcrossBoots();
        }
        EXPECT_EQ(0u, MasterReadsFor(HotBlocks));
        client_.Close();
        machine_.reset();
    }
}

// The same through the control requests on a fresh installation (no stamp in
// the registry yet): the start gives the master a stamp, which the client
// saves, so every boot after it, the first too, serves the hot blocks from
// the SSD.
TEST_F(LifecycleTest, TheClientProtocolKeepsTheMapFromTheFirstBootOn)
{
    PowerOn({.mode = 1});
    reg::DeleteValue(MasterKey(), u"TimeStamp");
    Reboot();
    using control_client::ControlClient;
    auto protocol = [&](ControlClient& control) {
        ASSERT_EQ(STATUS_SUCCESS, control.SetOptions(MasterId, 1, 0));
        ASSERT_EQ(STATUS_SUCCESS, control.SaveTimestamp(MasterId));
        ASSERT_EQ(STATUS_SUCCESS, control.SaveMasterConfig(MasterId));
    };
    {
        ControlClient control(*machine_);
        ASSERT_EQ(STATUS_SUCCESS, control.Start(MasterId, BlockShift, 0, 3));
        protocol(control);
        control_client::StateAnswer state;
        ASSERT_EQ(STATUS_SUCCESS, control.GetState(MasterId, &state));
        EXPECT_EQ(1u, state.active);
        EXPECT_EQ(BlockBytes, state.blockBytes);
        EXPECT_EQ(Master()->Geometry.SlotCount, state.slotCount);
    }
    EXPECT_NE(0u, Master()->TimeStamp) << "a start gives a master without a stamp one";
    MasterReadsFor(HotBlocks);
    for (int boot = 1; boot <= 3; boot++) {
        SCOPED_TRACE("boot " + std::to_string(boot));
        Reboot();
        ASSERT_EQ(CacheAttached, State());
        ControlClient control(*machine_);
        protocol(control);
        EXPECT_EQ(0u, MasterReadsFor(HotBlocks));
        EXPECT_EQ("", Coherence());
    }
}

// The map on the SSD says nothing of writes that reach the master beside it:
// each such write voids it, so the next boot starts cold and reads the
// master's new bytes.
TEST_F(LifecycleTest, AWriteThatPassesByTheSavedMapMakesTheNextBootCold)
{
    enum How {
        SsdAbsentAtBoot,
        LateWriteAfterTheShutdownSave,
        DispatchLevelWriteAfterTheSave,
        MasterReplugged
    };
    for (How how :
         {SsdAbsentAtBoot, LateWriteAfterTheShutdownSave, DispatchLevelWriteAfterTheSave, MasterReplugged}) {
        SCOPED_TRACE("case " + std::to_string(how));
        PowerOn({.mode = 1, .masterStart = 1});
        ASSERT_EQ(STATUS_SUCCESS, Start());
        KeepAcrossBoots();
        MasterReadsFor(HotBlocks);
        Reboot();
        ASSERT_EQ(CacheAttached, State());
        KeepAcrossBoots();
        ASSERT_EQ(0u, MasterReadsFor(HotBlocks)) << "the map was reused";
        switch (how) {
        case SsdAbsentAtBoot:
            Reboot(false);
            ASSERT_EQ(CacheInactive, State()) << "no SSD, no attach";
            Write(17 * BlockBytes, BlockBytes, 0x51);
            break;
        case LateWriteAfterTheShutdownSave:
            machine_->Shutdown();
            ASSERT_NE(0u, HeaderStamp()) << "the shutdown saved a stamped map";
            Write(17 * BlockBytes, BlockBytes, 0x52);
            EXPECT_EQ(0u, HeaderStamp());
            break;
        case DispatchLevelWriteAfterTheSave: {
            machine_->Shutdown();
            ASSERT_NE(0u, HeaderStamp()) << "the shutdown saved a stamped map";
            for (ULONG i = 0; i < BlockBytes; i++)
                reference_[17 * BlockBytes + i] = (uint8_t)(i * 5 + 0x54);
            KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            emu::PendingIo io =
                machine_->StartWrite(*master_, 17 * BlockBytes, &reference_[17 * BlockBytes], BlockBytes);
            KeLowerIrql(old);
            ASSERT_EQ(STATUS_SUCCESS, io.Wait().status);
            machine_->WaitUntilQuiet();
            EXPECT_EQ(0u, HeaderStamp());
            break;
        }
        case MasterReplugged:
            ASSERT_EQ(STATUS_SUCCESS, machine_->Remove(*master_));
            ASSERT_NE(0u, HeaderStamp()) << "the removal saved a stamped map";
            ASSERT_EQ(STATUS_SUCCESS, machine_->Replug(*master_));
            ASSERT_EQ(STATUS_SUCCESS, machine_->AddDevice(*master_));
            ASSERT_EQ(STATUS_SUCCESS, machine_->Start(*master_));
            Write(17 * BlockBytes, BlockBytes, 0x53);
            EXPECT_EQ(0u, HeaderStamp());
            break;
        }
        Reboot();
        ASSERT_EQ(CacheAttached, State());
        EXPECT_EQ(HotBlocks.size(), MasterReadsFor(HotBlocks)) << "a cold map reads the master";
        EXPECT_EQ("", Coherence());
        client_.Close();
        machine_.reset();
    }
}

// Windows flushes the file systems between the first-chance and the
// last-chance shutdown notifications: their last writes (to cached and
// uncached blocks) and each volume's shutdown request down its disk's stack
// come after the disks' own shutdown requests. The save comes after them,
// so the next boot is warm and reads every byte they wrote.
TEST_F(LifecycleTest, TheFileSystemsLastWritesAtShutdownKeepTheNextBootWarm)
{
    for (UCHAR mode : {UCHAR(1), UCHAR(CacheModeWriteBack)}) {
        SCOPED_TRACE("cache mode " + std::to_string(mode));
        PowerOn({.mode = mode, .writeCache = true});
        ASSERT_EQ(STATUS_SUCCESS, Start());
        KeepAcrossBoots();
        MasterReadsFor(HotBlocks);
        Write(200 * BlockBytes, BlockBytes, 0x70);  // dirty in write-back
        machine_->Shutdown([&] {
            Write(3 * BlockBytes + 1024, 1024, 0x71);  // a cached block
            Write(60 * BlockBytes, BlockBytes, 0x72);  // an uncached one
            Write(61 * BlockBytes, 512, 0x73, SL_WRITE_THROUGH);
            EXPECT_EQ(STATUS_SUCCESS, machine_->SendMajor(*master_, IRP_MJ_FLUSH_BUFFERS).status);
            EXPECT_EQ(STATUS_SUCCESS, machine_->SendMajor(*master_, IRP_MJ_SHUTDOWN).status);
        });
        EXPECT_NE(0u, HeaderStamp()) << "the save comes after the file systems' writes";
        Reboot();
        ASSERT_EQ(CacheAttached, State());
        EXPECT_EQ(0u, MasterReadsFor({0, 17, 200, 1500})) << "the untouched hot blocks come from the SSD";
        ExpectRead(3 * BlockBytes, BlockBytes);
        ExpectRead(60 * BlockBytes, 2 * BlockBytes);
        EXPECT_TRUE(MasterMatchesReference());
        EXPECT_EQ("", Coherence());
        client_.Close();
        machine_.reset();
    }
}

// A job that holds the master's worker until the test opens the gate.
struct WorkerGate {
    KEVENT open;
    volatile LONG entered = 0;
};

void WaitAtGate(PDEVICE_OBJECT, PVOID context)
{
    WorkerGate* gate = (WorkerGate*)context;
    InterlockedExchange(&gate->entered, 1);
    KeWaitForSingleObject(&gate->open, Executive, KernelMode, FALSE, NULL);
}

// A write queued on the worker before the save goes through the map first,
// although the save is posted as a job, which the worker runs before
// requests: the saved map holds it and the next boot is warm.
TEST_F(LifecycleTest, AWriteQueuedBeforeTheShutdownSaveIsInTheSavedMap)
{
    PowerOn({.mode = 1});
    ASSERT_EQ(STATUS_SUCCESS, Start());
    KeepAcrossBoots();
    MasterReadsFor(HotBlocks);
    WorkerGate gate;
    KeInitializeEvent(&gate.open, NotificationEvent, FALSE);
    std::thread blocker([&] { RunOnWorker(master_->Top(), WaitAtGate, &gate); });
    ASSERT_TRUE(Eventually([&] { return gate.entered != 0; }));
    for (ULONG i = 0; i < BlockBytes; i++)
        reference_[3 * BlockBytes + i] = (uint8_t)(i * 3 + 0x5C);
    emu::PendingIo queued =
        machine_->StartWrite(*master_, 3 * BlockBytes, &reference_[3 * BlockBytes], BlockBytes);
    NTSTATUS saved = STATUS_PENDING;
    std::thread saver([&] { saved = SaveCacheAtShutdown(master_->Top()); });
    ASSERT_TRUE(Eventually([&] { return !IsListEmpty(&Master()->Worker.ItemQueue); }));
    KeSetEvent(&gate.open, IO_NO_INCREMENT, FALSE);
    blocker.join();
    saver.join();
    EXPECT_EQ(STATUS_SUCCESS, queued.Wait().status);
    EXPECT_EQ(STATUS_SUCCESS, saved);
    machine_->WaitUntilQuiet();
    EXPECT_NE(0u, HeaderStamp()) << "no write came after the save";
    Reboot();
    ASSERT_EQ(CacheAttached, State());
    EXPECT_EQ(0u, MasterReadsFor(HotBlocks)) << "warm, the written block too";
    EXPECT_TRUE(MasterMatchesReference());
}

// A flush that fails at shutdown leaves dirty sectors on the SSD: with
// persistence on the map is saved all the same and the next boot writes them
// back; without it they are counted as lost.
TEST_F(LifecycleTest, AFlushErrorAtShutdownStillSavesTheMapWhenPersistent)
{
    for (bool persist : {true, false}) {
        SCOPED_TRACE(persist ? "persistent" : "not persistent");
        PowerOn({.masterStart = 1});
        ASSERT_EQ(STATUS_SUCCESS, Start());
        if (persist)
            KeepAcrossBoots();
        Write(5 * BlockBytes, 2 * BlockBytes, 0x77);
        ULONGLONG dirty = Dirty();
        ASSERT_EQ(16u, dirty);
        master_->InjectError(emu::DiskOp::Write, 0, 1 << 20, STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(STATUS_IO_DEVICE_ERROR, ShutdownCache(master_->Top()));
        EXPECT_EQ(CacheDetached, State()) << "the map is saved and freed";
        EXPECT_EQ(persist ? 0u : dirty, Cache().DirtySectorsLost);
        EXPECT_EQ(persist, HeaderStamp() != 0);
        master_->ClearErrors();
        Reboot();
        ASSERT_EQ(CacheAttached, State());
        if (persist) {
            EXPECT_EQ(dirty, Dirty()) << "the dirty sectors came back";
            ExpectRead(5 * BlockBytes, 2 * BlockBytes);
            Cache().IdleWriteBack = 1;
            EXPECT_TRUE(AfterTicks([&] { return Dirty() == 0; }));
            EXPECT_TRUE(MasterMatchesReference());
        } else {
            EXPECT_EQ(0u, Dirty());
        }
        EXPECT_EQ("", Coherence());
        client_.Close();
        machine_.reset();
    }
}

// ---------------------------------------------------------------------------
// Write-back from start to shutdown
// ---------------------------------------------------------------------------

TEST_F(LifecycleTest, WriteBackCacheKeepsTheMasterEqualToTheReferenceAtEveryCheckpoint)
{
    PowerOn();
    ASSERT_EQ(STATUS_SUCCESS, Start());
    ASSERT_EQ(CacheAttached, State());
    KeepAcrossBoots();
    Cache().IdleWriteBack = 1;

    // Idle write-back once the disk has been quiet.
    Write(2 * BlockBytes, 3 * BlockBytes, 1);
    ASSERT_EQ(24u, Dirty());
    EXPECT_FALSE(MasterMatchesReference()) << "write-back holds the data on the SSD";
    EXPECT_EQ("", Coherence());
    EXPECT_TRUE(AfterTicks([&] { return Dirty() == 0; }));
    EXPECT_TRUE(MasterMatchesReference());
    EXPECT_EQ("", Coherence());

    // Hibernation writes every dirty run back before the image is taken.
    Cache().IdleWriteBack = 0;
    Write(40 * BlockBytes + 512, 2048, 2);
    ASSERT_NE(0u, Dirty());
    ASSERT_EQ(STATUS_SUCCESS, machine_->SetSystemPower(PowerSystemHibernate));
    EXPECT_EQ(0u, Dirty());
    EXPECT_TRUE(MasterMatchesReference());
    ASSERT_EQ(STATUS_SUCCESS, machine_->SetSystemPower(PowerSystemWorking));
    EXPECT_EQ("", Coherence());

    // The SSD of a write-back cache cannot be taken away.
    Write(41 * BlockBytes, BlockBytes, 3);
    EXPECT_FALSE(NT_SUCCESS(machine_->QueryRemove(*ssd_)));
    EXPECT_EQ(CacheAttached, State());
    ExpectRead(41 * BlockBytes, BlockBytes);

    // The stop drains from the LRU end, dirty runs first.
    Write(100 * BlockBytes, 4 * BlockBytes, 4);
    ASSERT_NE(0u, Dirty());
    EXPECT_EQ(STATUS_SUCCESS, StopCache(master_->Top()));
    EXPECT_EQ(0u, Master()->Master.MasterStart);
    EXPECT_TRUE(AfterTicks([&] { return State() == CacheInactive; }));
    EXPECT_TRUE(MasterMatchesReference());
    EXPECT_EQ(std::vector<uint8_t>(512, 0), HeaderSector()) << "the drain wipes the header";
    EXPECT_EQ(nullptr, Map().SsdDevice);
    EXPECT_EQ(baseline_, PoolBytes) << "the map's memory is back";
    EXPECT_EQ(0u, Cache().DirtySectorsLost);
    ExpectRead(100 * BlockBytes, 4 * BlockBytes);

    // A drained cache does not come back at the next boot.
    reg::SetDword(MasterKey(), u"MasterStart", 1);
    Reboot();
    EXPECT_EQ(CacheInactive, State()) << "a wiped header is not attached";
    ExpectRead(100 * BlockBytes, 4 * BlockBytes);
}

// ---------------------------------------------------------------------------
// States
// ---------------------------------------------------------------------------

TEST_F(LifecycleTest, StartStopAndDrainMoveTheCacheBetweenItsStates)
{
    PowerOn();
    // Inactive: a stop changes MasterStart only.
    Master()->Master.MasterStart = 1;
    EXPECT_EQ(STATUS_SUCCESS, StopCache(master_->Top()));
    EXPECT_EQ(CacheInactive, State());
    EXPECT_EQ(0u, Master()->Master.MasterStart);

    // Inactive to attached: a fresh layout with START's block shift.
    ssd_->WriteBytes(AreaStart, std::vector<uint8_t>(512, 0x5A).data(), 512);
    ASSERT_EQ(STATUS_SUCCESS, Start(13));
    EXPECT_EQ(CacheAttached, State());
    EXPECT_EQ(1u, Master()->Master.MasterStart);
    EXPECT_EQ(13u, Master()->Geometry.BlockShift);
    EXPECT_EQ(std::vector<uint8_t>(512, 0), HeaderSector()) << "a start wipes the header";
    EXPECT_EQ(EarlierStamp, Master()->TimeStamp) << "a start keeps the stamp";
    Write(0, 8 * BlockBytes, 1);
    ULONGLONG dirty = Dirty();
    ASSERT_NE(0u, dirty);
    cache_test::MapView before = cache_test::ViewMap(&Map(), 9);

    // Attached: a second start would rebuild the running map.
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Start(14));
    EXPECT_EQ(CacheAttached, State());
    EXPECT_EQ(dirty, Dirty()) << "nothing dropped";
    EXPECT_EQ(13u, Master()->Geometry.BlockShift);

    // A stop withdrawn by a start before the drain has run keeps everything,
    // the running layout's block shift included.
    EXPECT_EQ(STATUS_SUCCESS, StopCache(master_->Top()));
    EXPECT_EQ(CacheDraining, State());
    EXPECT_EQ(STATUS_SUCCESS, Start(14));
    EXPECT_EQ(CacheAttached, State());
    EXPECT_EQ(13u, Master()->Geometry.BlockShift);
    cache_test::MapView after = cache_test::ViewMap(&Map(), 9);
    EXPECT_EQ(before.blockOfSlot, after.blockOfSlot);
    EXPECT_EQ(before.valid, after.valid);
    EXPECT_EQ(before.clean, after.clean);
    EXPECT_EQ("", Coherence());

    // Draining to inactive.
    EXPECT_EQ(STATUS_SUCCESS, StopCache(master_->Top()));
    EXPECT_TRUE(AfterTicks([&] { return State() == CacheInactive; }));
    EXPECT_TRUE(MasterMatchesReference());
    EXPECT_EQ(baseline_, PoolBytes);
}

TEST_F(LifecycleTest, AMasterWithoutAnSsdIdAttachesDetachedAndPassesEverythingThrough)
{
    PowerOn({.mode = 1, .masterStart = 1, .ssdDiskId = 0});
    EXPECT_EQ(CacheDetached, State());
    EXPECT_EQ(nullptr, Map().SsdDevice);
    {
        control_client::ControlClient control(*machine_);
        control_client::StateAnswer state;
        ASSERT_EQ(STATUS_SUCCESS, control.GetState(MasterId, &state));
        EXPECT_EQ(1u, state.active);
        EXPECT_EQ(0u, state.blockBytes);
        EXPECT_EQ(0u, state.slotCount);
    }
    ssd_->ClearRequests();
    Write(7 * BlockBytes, BlockBytes, 9);
    ExpectRead(7 * BlockBytes, BlockBytes);
    EXPECT_TRUE(MasterMatchesReference());
    EXPECT_TRUE(ssd_->Requests().empty()) << "the SSD is never touched";
    // A start needs an SSD to bind; a running detached cache keeps running.
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Start());
    // The drain of a cache without an SSD ends at once; without a worker to
    // run it, the stop stays pending.
    EXPECT_EQ(STATUS_SUCCESS, StopCache(master_->Top()));
    EXPECT_TRUE(AfterTicks([&] { return State() == CacheInactive; }));
    Master()->Master.MasterStart = 1;
    ASSERT_TRUE(AttachCacheAtBoot(master_->Top()));
    StopWorkerThread(&Master()->Worker);
    EXPECT_EQ(STATUS_SUCCESS, StopCache(master_->Top()));
    machine_->AdvanceMs(1000);
    EXPECT_EQ(CacheDraining, State());
}

// After the shutdown sweep no cache starts: its map would never be saved.
TEST_F(LifecycleTest, NoStartOnceTheShutdownSweepHasBegun)
{
    PowerOn();
    machine_->Shutdown();
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Start());
    EXPECT_EQ(CacheInactive, State());
    EXPECT_EQ(nullptr, Map().SsdDevice);
    EXPECT_EQ(PoolBytes, baseline_);
    EXPECT_EQ(1u, Master()->Worker.Running) << "the worker stays for writes after the save";
    StopWorkerThread(&Master()->Worker);
    // A removing device gets no new worker either.
    EXPECT_EQ(STATUS_DELETE_PENDING, StartWorkerThread(master_->Top()));
    EXPECT_EQ(nullptr, Master()->Worker.Thread);
}

// ---------------------------------------------------------------------------
// Removal
// ---------------------------------------------------------------------------

// Whatever the flush and the save achieve when the SSD goes, the master lets
// go of it: its map is freed, dirty data that did not reach the master is
// counted, and its requests pass through from then on.
TEST_F(LifecycleTest, RemovingTheSsdAlwaysLeavesTheMasterDetached)
{
    enum Fault { NoFault, HeaderWriteFails, FlushFails, Surprise, NoDeviceList };
    struct Case {
        const char* name;
        UCHAR mode;
        Fault fault;
        bool dirtyLost;
    } cases[] = {
        {"write-through, orderly", 1, NoFault, false},
        {"write-through, header write fails", 1, HeaderWriteFails, false},
        {"write-back, flush fails", CacheModeWriteBack, FlushFails, true},
        {"write-back, surprise removal with dirty data", CacheModeWriteBack, Surprise, true},
        {"write-through, surprise removal", 1, Surprise, false},
        // The master is then found only by its map: the same flush and save.
        {"write-back, the device list cannot be had", CacheModeWriteBack, NoDeviceList, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PowerOn({.mode = c.mode, .completion = emu::CompletionMode::Fifo});
        ASSERT_EQ(STATUS_SUCCESS, Start());
        KeepAcrossBoots();
        MasterReadsFor(HotBlocks);
        Write(8 * BlockBytes, 2 * BlockBytes, 0x31);
        ULONGLONG dirty = Dirty();
        emu::ClearDebugOutput();
        // I/O in flight when the removal comes.
        std::vector<uint8_t> buffer(BlockBytes);
        std::vector<emu::PendingIo> inFlight;
        for (ULONG b : HotBlocks)
            inFlight.push_back(
                machine_->StartRead(*master_, (ULONGLONG)b * BlockBytes, buffer.data(), BlockBytes));
        if (c.fault == HeaderWriteFails)
            ssd_->InjectError(emu::DiskOp::Write, AreaStart / 512, 1, STATUS_IO_DEVICE_ERROR);
        if (c.fault == FlushFails)
            master_->InjectError(emu::DiskOp::Write, 0, 1 << 20, STATUS_IO_DEVICE_ERROR);
        if (c.fault == NoDeviceList)
            emu::FailNth(emu::Resource::Enumerate, 1, -1);
        NTSTATUS status = c.fault == Surprise ? machine_->SurpriseRemove(*ssd_) : machine_->Remove(*ssd_);
        emu::ClearFailures();
        EXPECT_EQ(STATUS_SUCCESS, status);
        // Reads planned on a vanished SSD fail; every one is answered.
        for (emu::PendingIo& io : inFlight) {
            NTSTATUS done = io.Wait().status;
            if (c.fault != Surprise) {
                EXPECT_EQ(STATUS_SUCCESS, done);
            }
        }
        machine_->WaitUntilQuiet();
        master_->ClearErrors();
        ssd_->ClearErrors();
        EXPECT_EQ(CacheDetached, State());
        EXPECT_EQ(nullptr, Map().SsdDevice);
        EXPECT_EQ(baseline_, PoolBytes) << "the map's memory is back";
        EXPECT_EQ(c.dirtyLost ? dirty : 0u, Cache().DirtySectorsLost);
        std::vector<std::string> expectedOutput;
        if (c.dirtyLost)
            expectedOutput.push_back("Tolvarn: " + std::to_string(dirty) +
                                     " dirty sectors could not be written back to the hard disk\n");
        EXPECT_EQ(expectedOutput, emu::DebugOutput()) << "the loss is reported once";
        if (c.fault == NoFault || c.fault == NoDeviceList) {
            EXPECT_EQ(0u, HeaderStamp()) << "saved without persistence";
            EXPECT_EQ(1u, Master()->Worker.Running) << "the master's worker runs again";
        }
        // Requests pass through to the master now.
        for (ULONG b : HotBlocks) {
            std::vector<uint8_t> data(BlockBytes);
            ASSERT_EQ(STATUS_SUCCESS,
                      machine_->Read(*master_, (ULONGLONG)b * BlockBytes, data.data(), BlockBytes).status);
            EXPECT_EQ(master_->Bytes((ULONGLONG)b * BlockBytes, BlockBytes), data);
        }
        if (!c.dirtyLost) {
            Write(9 * BlockBytes, BlockBytes, 0x32);
            EXPECT_TRUE(MasterMatchesReference());
        }
        // A stop ends the detached cache; a start binds the SSD once it is back.
        EXPECT_EQ(STATUS_SUCCESS, StopCache(master_->Top()));
        EXPECT_TRUE(AfterTicks([&] { return State() == CacheInactive; }));
        ASSERT_EQ(STATUS_SUCCESS, machine_->Replug(*ssd_));
        ASSERT_EQ(STATUS_SUCCESS, machine_->AddDevice(*ssd_));
        ASSERT_EQ(STATUS_SUCCESS, machine_->Start(*ssd_));
        EXPECT_EQ(STATUS_SUCCESS, Start());
        EXPECT_EQ(CacheAttached, State());
        client_.Close();
        machine_.reset();
    }
}

TEST_F(LifecycleTest, QueryRemoveOfTheSsdIsRefusedOnlyForAWriteBackCache)
{
    for (UCHAR mode : {UCHAR(1), UCHAR(CacheModeWriteBack)}) {
        PowerOn({.mode = mode});
        EXPECT_TRUE(MayRemoveSsd(ssd_->Top())) << "no cache uses it yet";
        ASSERT_EQ(STATUS_SUCCESS, Start());
        EXPECT_EQ(master_->Top(), FindMasterOfSsd(ssd_->Top()));
        EXPECT_EQ(nullptr, FindMasterOfSsd(master_->Top()));
        EXPECT_EQ(mode != CacheModeWriteBack, MayRemoveSsd(ssd_->Top()));
        EXPECT_EQ(mode != CacheModeWriteBack, NT_SUCCESS(machine_->QueryRemove(*ssd_)));
        client_.Close();
        machine_.reset();
    }
}

TEST_F(LifecycleTest, RemovingTheMasterWritesItsDirtyDataBackAndFreesTheMap)
{
    PowerOn({.completion = emu::CompletionMode::Fifo});
    ASSERT_EQ(STATUS_SUCCESS, Start());
    KeepAcrossBoots();
    Write(12 * BlockBytes, 3 * BlockBytes, 0x41);
    ASSERT_NE(0u, Dirty());
    std::vector<uint8_t> data(BlockBytes);
    emu::PendingIo inFlight = machine_->StartWrite(*master_, 30 * BlockBytes, data.data(), BlockBytes);
    memcpy(&reference_[30 * BlockBytes], data.data(), BlockBytes);
    ASSERT_EQ(STATUS_SUCCESS, machine_->Remove(*master_));
    EXPECT_EQ(STATUS_SUCCESS, inFlight.Wait().status);
    EXPECT_TRUE(MasterMatchesReference());
    EXPECT_EQ(baseline_, PoolBytes);
    // Whether the write in flight went through the map before its save or
    // voided the saved map after it, the next boot serves the current data.
    ASSERT_EQ(STATUS_SUCCESS, machine_->Replug(*master_));
    Reboot();
    ASSERT_EQ(CacheAttached, State());
    ExpectRead(12 * BlockBytes, 3 * BlockBytes);
    ExpectRead(30 * BlockBytes, BlockBytes);
    EXPECT_EQ("", Coherence());
}

// ---------------------------------------------------------------------------
// Power cuts
// ---------------------------------------------------------------------------

// In write-through modes the master always holds every completed write: a
// power cut at any point leaves it equal to the reference, and the next boot
// (whose saved map, if any, lost its stamp at the load) reads it back.
TEST_F(LifecycleTest, PowerCutsInWriteThroughModesLoseNoCompletedWrite)
{
    std::mt19937 random(1234);
    PowerOn({.mode = 1, .masterStart = 1});
    for (int round = 0; round < 6; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        // A cut after a start finds a wiped header: the client starts again.
        if (State() == CacheInactive) {
            ASSERT_EQ(STATUS_SUCCESS, Start());
        }
        KeepAcrossBoots();
        int operations = 1 + random() % 12;
        for (int i = 0; i < operations; i++) {
            ULONG block = random() % 64;
            if (random() % 2)
                Write((ULONGLONG)block * BlockBytes + (random() % 8) * 512, 512 * (1 + random() % 8),
                      random());
            else
                ExpectRead((ULONGLONG)block * BlockBytes, BlockBytes);
        }
        EXPECT_EQ("", Coherence());
        if (random() % 2)
            PowerCut();
        else
            Reboot();
        EXPECT_TRUE(MasterMatchesReference());
        for (ULONG block = 0; block < 64; block += 7)
            ExpectRead((ULONGLONG)block * BlockBytes, BlockBytes);
    }
}

// With both disks' volatile write caches on, in every cache mode and write
// mode: a write that carries SL_WRITE_THROUGH is on the master's medium when
// it completes, and so are ordinary writes followed by a completed flush,
// which reaches the master; a power cut right after loses neither.
TEST_F(LifecycleTest, WriteThroughWritesAndFlushedWritesSurviveAPowerCut)
{
    const ULONG hit = 3, miss = 40, hitFlushed = 17, missFlushed = 41;
    for (UCHAR mode : {UCHAR(1), UCHAR(CacheModeWriteBack)})
        for (UCHAR writeMode : {UCHAR(0), UCHAR(1), UCHAR(2), UCHAR(3)}) {
            SCOPED_TRACE(testing::Message()
                         << "cache mode " << int(mode) << ", write mode " << int(writeMode));
            PowerOn({.mode = mode, .writeCache = true});
            ASSERT_EQ(STATUS_SUCCESS, Start());
            Map().WriteMode = writeMode;
            MasterReadsFor({hit, hitFlushed});
            Write(hit * BlockBytes, BlockBytes, 0x61);  // dirty in write-back

            master_->ClearRequests();
            Write(hit * BlockBytes + 512, 2048, 0x62, SL_WRITE_THROUGH);
            Write(miss * BlockBytes, BlockBytes, 0x63, SL_WRITE_THROUGH);
            ULONG throughOnMaster = 0;
            for (const emu::DiskRecord& r : master_->Requests())
                throughOnMaster += r.major == IRP_MJ_WRITE && (r.stackFlags & SL_WRITE_THROUGH) != 0;
            EXPECT_EQ(2u, throughOnMaster) << "each write-through write reaches the master as one";

            Write(hitFlushed * BlockBytes, BlockBytes, 0x64);
            Write(missFlushed * BlockBytes + 1024, 1024, 0x65);
            master_->ClearRequests();
            ASSERT_EQ(STATUS_SUCCESS, machine_->SendMajor(*master_, IRP_MJ_FLUSH_BUFFERS).status);
            ULONG flushes = 0;
            for (const emu::DiskRecord& r : master_->Requests())
                flushes += r.major == IRP_MJ_FLUSH_BUFFERS;
            EXPECT_EQ(1u, flushes) << "the flush reaches the master";

            PowerCut();
            auto expectKept = [&](ULONGLONG offset, ULONG bytes, const char* what) {
                EXPECT_TRUE(std::equal(reference_.begin() + offset, reference_.begin() + offset + bytes,
                                       master_->Bytes(offset, bytes).begin()))
                    << what << " at " << offset;
            };
            expectKept(hit * BlockBytes + 512, 2048, "write-through write to a cached block");
            expectKept(miss * BlockBytes, BlockBytes, "write-through write to an uncached block");
            expectKept(hitFlushed * BlockBytes, BlockBytes, "flushed write to a cached block");
            expectKept(missFlushed * BlockBytes + 1024, 1024, "flushed write to an uncached block");
            client_.Close();
            machine_.reset();
        }
}

// ---------------------------------------------------------------------------
// Partition-layout requests
// ---------------------------------------------------------------------------

TEST_F(LifecycleTest, ALayoutRequestDropsTheCachedPartitionTableAndReachesTheDisk)
{
    PowerOn({.mode = 1});
    ASSERT_EQ(STATUS_SUCCESS, Start());
    MasterReadsFor({0});
    SsdSlot slot = cache_test::ViewMap(&Map(), 9).Slot(0);
    ASSERT_NE(NoSlot, slot);
    ASSERT_TRUE(cache_test::ViewMap(&Map(), 9).Valid(FromSsdSlot(slot), 0));
    // The disk below rewrites sector 0 as it carries the request out.
    std::vector<uint8_t> table(512, 0x7B);
    master_->WriteBytes(0, table.data(), table.size());
    memcpy(reference_.data(), table.data(), table.size());
    uint8_t layout[64] = {};
    emu::IoResult r =
        machine_->DiskIoControl(*master_, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, layout, sizeof layout, NULL, 0);
    machine_->WaitUntilQuiet();
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(1u, master_->LayoutChanges());
    EXPECT_FALSE(cache_test::ViewMap(&Map(), 9).Valid(FromSsdSlot(slot), 0));
    ExpectRead(0, BlockBytes);

    r = machine_->DiskIoControl(*ssd_, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, layout, sizeof layout, NULL, 0);
    EXPECT_EQ(STATUS_NOT_IMPLEMENTED, r.status);
    EXPECT_EQ(0u, ssd_->LayoutChanges());
}

}  // namespace
