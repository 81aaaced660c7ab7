// The per-disk worker on simulated disks: where requests run, in which order,
// the idle timing of an active master on the virtual clock, the pacing of
// failing destage pieces, and starting and stopping without leaks.
//
// The cache jobs the worker calls are replaced here by recording fakes,
// through the worker's job table (seams.h).
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "eventually.h"
#include "tolvarn.h"
#include "entry.h"
#include "pool.h"
#include "seams.h"
#include "worker.h"

namespace {

using emu::Disk;
using emu::DiskConfig;
using emu::Machine;

// What the fake jobs do and what they saw; reset by every test.
struct FakeJobs {
    std::mutex lock;
    std::vector<ULONGLONG> invalidated;           // sectors, in the order run
    std::vector<LONGLONG> idleCalls, drainCalls;  // virtual times of the calls
    std::function<void(ULONGLONG)> onInvalidate;
    bool canFill = false;
    bool fillKeeps = false;
    PVOID keptBuffer = nullptr;
    ULONG fills = 0;
    bool idleFindsDirty = false;
    NTSTATUS pieceStatus = STATUS_SUCCESS;
    bool drainEnds = true;               // the first drain step empties the map
    std::function<void(size_t)> onIdle;  // called with the number of idle calls so far

    void Reset()
    {
        std::lock_guard<std::mutex> hold(lock);
        invalidated.clear();
        idleCalls.clear();
        drainCalls.clear();
        onInvalidate = nullptr;
        canFill = fillKeeps = idleFindsDirty = false;
        keptBuffer = nullptr;
        fills = 0;
        pieceStatus = STATUS_SUCCESS;
        drainEnds = true;
        onIdle = nullptr;
    }
    template <typename T>
    std::vector<T> Copy(const std::vector<T>& v)
    {
        std::lock_guard<std::mutex> hold(lock);
        return v;
    }
};

FakeJobs jobs;

// The worker calls these through its job table while a test runs.
void FakeInvalidateSsdRange(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count, ULONG assignments)
{
    if (jobs.onInvalidate)
        jobs.onInvalidate(ssdSector);
    std::lock_guard<std::mutex> hold(jobs.lock);
    jobs.invalidated.push_back(ssdSector);
}

void FakeSetSsdRangeValid(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count, ULONG generation) {}

bool FakeCanFill(PDEVICE_OBJECT master)
{
    return jobs.canFill;
}

bool FakeFillCache(PDEVICE_OBJECT master, ULONGLONG masterSector, ULONG count, PVOID buffer)
{
    std::lock_guard<std::mutex> hold(jobs.lock);
    jobs.fills++;
    if (jobs.fillKeeps)
        jobs.keptBuffer = buffer;
    return jobs.fillKeeps;
}

bool FakeDrainStep(PDEVICE_OBJECT master, NTSTATUS* pieceStatus)
{
    std::lock_guard<std::mutex> hold(jobs.lock);
    jobs.drainCalls.push_back(emu::Now());
    *pieceStatus = jobs.pieceStatus;
    if (jobs.drainEnds) {
        FilterExtensionOf(master)->Cache.Active = 0;
        FilterExtensionOf(master)->Cache.StopRequested = 0;
    }
    return true;
}

bool FakeIdleDestage(PDEVICE_OBJECT master, NTSTATUS* pieceStatus)
{
    std::lock_guard<std::mutex> hold(jobs.lock);
    jobs.idleCalls.push_back(emu::Now());
    if (jobs.onIdle)
        jobs.onIdle(jobs.idleCalls.size());
    *pieceStatus = jobs.pieceStatus;
    return jobs.idleFindsDirty;
}

void FakeInvalidateLayoutSector(PDEVICE_OBJECT master, PIRP irp) {}

const WorkerJobs FakeWorkerJobs = {
    FakeInvalidateSsdRange, FakeSetSsdRangeValid,       FakeCanFill, FakeFillCache, FakeDrainStep,
    FakeIdleDestage,        FakeInvalidateLayoutSector,
};

// A kernel event the test opens to let a blocked job go on.
struct Gate {
    KEVENT event;
    std::atomic<bool> entered{false};
    Gate() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
    void Wait()
    {
        entered = true;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    void Open() { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }
};

class Worker : public ::testing::Test {
protected:
    void SetUp() override
    {
        jobs.Reset();
        Jobs = &FakeWorkerJobs;
    }
    void TearDown() override
    {
        machine_.reset();
        Jobs = &ProductionWorkerJobs;
        jobs.Reset();
        emu::ClearFailures();
    }

    // One machine with one started disk; tests that build their own
    // machines do not call it (one machine at a time).
    void Boot(DiskConfig config = {})
    {
        machine_.reset(new Machine());
        disk_ = &machine_->AddDisk(config);
        ASSERT_EQ(STATUS_SUCCESS, machine_->Boot(DriverEntry));
        filter_ = disk_->Top();
        ext_ = FilterExtensionOf(filter_);
        machine_->WaitUntilQuiet();
        disk_->ClearRequests();
    }

    // The disk as an active master with idle write-back on.
    void MakeActiveMaster()
    {
        ext_->Role = RoleMaster;
        ext_->Cache.Active = 1;
        ext_->Cache.IdleWriteBack = 1;
    }

    // Blocks the worker in a job until the gate opens; other invalidations
    // go to the optional handler.
    void HoldWorker(Gate* gate, std::function<void(ULONGLONG)> other = nullptr)
    {
        jobs.onInvalidate = [gate, other](ULONGLONG sector) {
            if (sector == 1000)
                gate->Wait();
            else if (other)
                other(sector);
        };
        ASSERT_TRUE(PostInvalidateWork(filter_, 1000, 1, 0));
        ASSERT_TRUE(Eventually([&] { return gate->entered.load(); }));
    }

    std::vector<uint64_t> ReadThreads()
    {
        std::vector<uint64_t> threads;
        for (const emu::DiskRecord& r : disk_->Requests())
            if (r.major == IRP_MJ_READ || r.major == IRP_MJ_WRITE)
                threads.push_back(r.thread);
        return threads;
    }

    std::unique_ptr<Machine> machine_;
    Disk* disk_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    FilterExtension* ext_ = nullptr;
    UCHAR buffer_[4096] = {};
};

TEST_F(Worker, ReadsAndWritesOfADiskWithoutRoleRunOnItsWorker)
{
    Boot();
    ASSERT_EQ(RoleNone, ext_->Role);
    ASSERT_EQ(STATUS_SUCCESS, machine_->Read(*disk_, 0, buffer_, 4096).status);
    ASSERT_EQ(STATUS_SUCCESS, machine_->Write(*disk_, 4096, buffer_, 512).status);
    std::vector<uint64_t> threads = ReadThreads();
    ASSERT_EQ(2u, threads.size());
    EXPECT_NE(emu::ThreadId(), threads[0]) << "not on the caller's thread";
    EXPECT_EQ(threads[0], threads[1]) << "both on the one worker";
    EXPECT_EQ(1u, ext_->Stats.ReadsDown);
    EXPECT_EQ(1u, ext_->Stats.WritesDown);
}

TEST_F(Worker, WorkItemsRunBeforeRequests)
{
    Boot();
    Gate gate;
    std::atomic<size_t> readsWhenItemRan{99};
    HoldWorker(&gate, [&](ULONGLONG sector) { readsWhenItemRan = ReadThreads().size(); });
    emu::PendingIo read = machine_->StartRead(*disk_, 0, buffer_, 512);
    ASSERT_TRUE(PostInvalidateWork(filter_, 7, 1, 0));
    gate.Open();
    EXPECT_EQ(STATUS_SUCCESS, read.Wait().status);
    machine_->WaitUntilQuiet();
    EXPECT_EQ(0u, readsWhenItemRan.load()) << "the item queued after the read ran first";
    EXPECT_EQ((std::vector<ULONGLONG>{1000, 7}), jobs.Copy(jobs.invalidated));
}

// Reads from four threads at once, 25 each; false when one failed.
bool ReadFromFourThreads(Machine& machine, Disk& disk)
{
    std::vector<std::thread> callers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; t++) {
        callers.emplace_back([&, t] {
            UCHAR local[512];
            for (int i = 0; i < 25; i++)
                if (machine.Read(disk, (uint64_t)(t * 25 + i) * 512, local, 512).status != STATUS_SUCCESS)
                    failures++;
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    return failures == 0;
}

// Requests that arrive from several threads at once reach the disk one at a
// time, all from the one worker thread.
TEST_F(Worker, RequestsOfOneDiskNeverRunConcurrently)
{
    Boot();
    for (int round = 0; round < 3; round++)
        ASSERT_TRUE(ReadFromFourThreads(*machine_, *disk_));
    EXPECT_EQ(1u, disk_->MaxConcurrentDispatch());
    std::vector<uint64_t> threads = ReadThreads();
    ASSERT_EQ(300u, threads.size());
    for (uint64_t thread : threads)
        ASSERT_EQ(threads[0], thread) << "every read on the worker";
}

TEST_F(Worker, IdleWriteBackStartsAfterTwoIdleTicks)
{
    Boot();
    MakeActiveMaster();
    LONGLONG start = machine_->Now();
    machine_->AdvanceMs(1000);
    std::vector<LONGLONG> calls = jobs.Copy(jobs.idleCalls);
    ASSERT_GE(calls.size(), 7u);
    EXPECT_LE(calls.size(), 9u);
    EXPECT_GT(calls[0] - start, 200 * emu::kMillisecond) << "not before the second idle wait";
    EXPECT_LE(calls[0] - start, 300 * emu::kMillisecond);
    for (size_t i = 1; i < calls.size(); i++)
        EXPECT_EQ(100 * emu::kMillisecond, calls[i] - calls[i - 1]) << "one look per 100 ms tick";

    // A request sets the idle count back: the next look comes two ticks later.
    LONGLONG requestAt = machine_->Now();
    ASSERT_EQ(STATUS_SUCCESS, machine_->Read(*disk_, 0, buffer_, 512).status);
    size_t before = jobs.Copy(jobs.idleCalls).size();
    machine_->AdvanceMs(500);
    calls = jobs.Copy(jobs.idleCalls);
    ASSERT_GT(calls.size(), before);
    EXPECT_EQ(requestAt + 200 * emu::kMillisecond, calls[before]);
}

TEST_F(Worker, NoIdleWriteBackWhileOffOrHibernating)
{
    Boot();
    MakeActiveMaster();
    ext_->Cache.IdleWriteBack = 0;
    machine_->AdvanceMs(1000);
    EXPECT_TRUE(jobs.Copy(jobs.idleCalls).empty()) << "idle write-back off";

    ext_->Cache.IdleWriteBack = 1;
    HibernateFlag = 1;
    machine_->AdvanceMs(1000);
    EXPECT_TRUE(jobs.Copy(jobs.idleCalls).empty()) << "hibernating";

    ext_->Cache.StopRequested = 1;
    machine_->AdvanceMs(300);
    EXPECT_EQ(1u, jobs.Copy(jobs.drainCalls).size()) << "a requested drain still runs";
    EXPECT_EQ(0u, ext_->Cache.Active);
    HibernateFlag = 0;
}

// A piece that fails every time is tried at most once per tick, and requests
// are still served meanwhile.
TEST_F(Worker, FailingPiecesAreRetriedOncePerTick)
{
    struct Case {
        const char* what;
        bool drain;
    };
    const Case cases[] = {{"idle write-back", false}, {"drain", true}};
    Boot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        jobs.Reset();
        jobs.idleFindsDirty = true;
        jobs.drainEnds = false;
        jobs.pieceStatus = STATUS_IO_DEVICE_ERROR;
        MakeActiveMaster();
        ext_->Cache.StopRequested = c.drain ? 1 : 0;
        machine_->AdvanceMs(1000);
        for (int i = 0; i < 5; i++) {
            ASSERT_EQ(STATUS_SUCCESS, machine_->Read(*disk_, 0, buffer_, 512).status);
            machine_->AdvanceMs(30);
        }
        ext_->Cache.Active = 0;
        ext_->Cache.StopRequested = 0;
        machine_->AdvanceMs(200);
        std::vector<LONGLONG> calls = jobs.Copy(c.drain ? jobs.drainCalls : jobs.idleCalls);
        ASSERT_GE(calls.size(), 5u) << "the piece is still retried";
        EXPECT_LE(calls.size(), 13u) << "over about 1.15 virtual seconds";
        for (size_t i = 1; i < calls.size(); i++)
            EXPECT_GE(calls[i] - calls[i - 1], 100 * emu::kMillisecond) << "attempt " << i;
    }
}

TEST_F(Worker, WithoutAWorkerRequestsRunOnTheCallersThreadAndPostsAreRefused)
{
    struct Case {
        const char* what;
        emu::Resource resource;
    };
    const Case cases[] = {{"thread creation fails", emu::Resource::Thread},
                          {"thread reference fails", emu::Resource::Reference}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Machine machine;
        Disk& disk = machine.AddDisk();
        emu::LiveObjects baseline = emu::Live();
        emu::FailNth(c.resource, 1);
        ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
        emu::ClearFailures();
        machine.WaitUntilQuiet();
        PDEVICE_OBJECT filter = disk.Top();
        FilterExtension* ext = FilterExtensionOf(filter);
        EXPECT_EQ(0, (int)ext->Worker.Running);
        EXPECT_EQ(nullptr, ext->Worker.Thread);
        EXPECT_EQ(baseline.threads, emu::Live().threads) << "no thread left running";
        EXPECT_EQ(baseline.handles, emu::Live().handles) << "the thread handle is closed";

        disk.ClearRequests();
        ASSERT_EQ(STATUS_SUCCESS, machine.Read(disk, 0, buffer_, 512).status);
        ASSERT_EQ(1u, disk.Requests().size());
        EXPECT_EQ(emu::ThreadId(), disk.Requests()[0].thread);

        jobs.canFill = true;
        PVOID data = AllocatePool(512);
        EXPECT_FALSE(PostInvalidateWork(filter, 1, 1, 0));
        EXPECT_FALSE(PostSetValidWork(filter, 1, 1, 0));
        EXPECT_FALSE(PostFillWork(filter, 1, 1, data));
        FreePool(data);  // refused: still the caller's
        EXPECT_TRUE(jobs.Copy(jobs.invalidated).empty());
    }
}

TEST_F(Worker, FillBuffersBelongToTheItemOncePosted)
{
    Boot();
    emu::PoolStats baseline = emu::PoolUsage(PoolTag);
    PVOID refused = AllocatePool(4096);
    EXPECT_FALSE(PostFillWork(filter_, 8, 8, refused)) << "filling not possible";
    FreePool(refused);

    jobs.canFill = true;
    ASSERT_TRUE(PostFillWork(filter_, 8, 8, AllocatePool(4096)));
    machine_->WaitUntilQuiet();
    EXPECT_EQ(1u, jobs.fills);
    EXPECT_EQ(baseline.blocks, emu::PoolUsage(PoolTag).blocks) << "the worker freed the unused buffer";

    jobs.fillKeeps = true;
    PVOID kept = AllocatePool(4096);
    ASSERT_TRUE(PostFillWork(filter_, 8, 8, kept));
    machine_->WaitUntilQuiet();
    EXPECT_EQ(kept, jobs.keptBuffer);
    EXPECT_EQ(baseline.blocks + 1, emu::PoolUsage(PoolTag).blocks) << "the fill kept it";
    FreePool(kept);
}

// Everything queued while the worker is asked to stop is run before its
// thread ends, and the stop returns only then.
TEST_F(Worker, StopRunsWhatIsQueuedAndWaitsForTheThread)
{
    Boot();
    emu::LiveObjects baseline = emu::Live();
    Gate gate;
    HoldWorker(&gate);
    std::vector<emu::PendingIo> reads;
    for (int i = 0; i < 3; i++)
        reads.push_back(machine_->StartRead(*disk_, (uint64_t)i * 512, buffer_, 512));
    ASSERT_TRUE(PostInvalidateWork(filter_, 2, 1, 0));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        StopWorkerThread(&ext_->Worker);
        stopped = true;
    });
    ASSERT_TRUE(Eventually([&] { return ext_->Worker.Stop == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(stopped.load()) << "the stop waits for the thread";
    gate.Open();
    stopper.join();

    EXPECT_EQ(baseline.threads - 1, emu::Live().threads) << "the worker's thread has ended";
    for (emu::PendingIo& read : reads) {
        ASSERT_TRUE(read.Done()) << "no queued request is left behind";
        EXPECT_EQ(STATUS_SUCCESS, read.Wait().status);
    }
    EXPECT_EQ((std::vector<ULONGLONG>{1000, 2}), jobs.Copy(jobs.invalidated));

    EXPECT_FALSE(PostInvalidateWork(filter_, 3, 1, 0)) << "posts are refused once stopped";
    disk_->ClearRequests();
    ASSERT_EQ(STATUS_SUCCESS, machine_->Read(*disk_, 0, buffer_, 512).status);
    EXPECT_EQ(emu::ThreadId(), disk_->Requests()[0].thread) << "then handled on the caller's thread";
    StopWorkerThread(&ext_->Worker);  // a second stop does nothing
}

// Write-back that keeps finding dirty data never lets the worker wait; a
// stop requested meanwhile still ends it after the piece in progress.
TEST_F(Worker, AStopIsNotHeldBackByContinuousWriteBack)
{
    Boot();
    const size_t stopAt = 10, dirtyPieces = 1000;
    size_t callsAfterStop = 0;
    jobs.idleFindsDirty = true;
    jobs.onIdle = [&](size_t calls) {
        if (calls == stopAt)
            ext_->Worker.Stop = 1;  // as StopWorkerThread sets it
        else if (calls > stopAt)
            callsAfterStop++;
        if (calls >= dirtyPieces)
            jobs.idleFindsDirty = false;  // bounds the run if the stop were missed
    };
    MakeActiveMaster();
    machine_->AdvanceMs(300);
    StopWorkerThread(&ext_->Worker);
    EXPECT_EQ(0u, callsAfterStop) << "pieces written after the stop was asked for";
    ext_->Cache.Active = 0;
}

TEST_F(Worker, StopAndStartKeepOneWorker)
{
    Boot();
    ULONG threads = emu::Live().threads;
    ASSERT_EQ(STATUS_SUCCESS, machine_->Stop(*disk_));
    ASSERT_EQ(STATUS_SUCCESS, machine_->Start(*disk_));
    EXPECT_EQ(threads, emu::Live().threads);
    EXPECT_EQ(STATUS_SUCCESS, StartWorkerThread(filter_)) << "a running worker is kept";
    EXPECT_EQ(threads, emu::Live().threads);
}

// The worker runs at priority 31.
TEST_F(Worker, RunsAtTopPriority)
{
    Boot();
    ASSERT_NE(nullptr, ext_->Worker.Thread);
    EXPECT_EQ(31, emu::ThreadPriority(ext_->Worker.Thread));
}

// A stop that comes before the new thread has begun (START, then at once a
// second START or REMOVE) still finds one worker to wait for: no second thread,
// the request queued meanwhile is run, and the thread has ended before the
// device goes.
TEST_F(Worker, StopBeforeTheThreadHasBegunWaitsForIt)
{
    for (bool withRequest : {false, true}) {
        SCOPED_TRACE(withRequest ? "a request queued" : "nothing queued");
        Machine machine;
        Disk& disk = machine.AddDisk();
        ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
        ASSERT_EQ(STATUS_SUCCESS, machine.AddDevice(disk));
        emu::HoldThreadStarts(true);
        ASSERT_EQ(STATUS_SUCCESS, machine.Start(disk));
        FilterExtension* ext = FilterExtensionOf(disk.Top());
        ASSERT_NE(nullptr, ext->Worker.Thread);
        EXPECT_NE(31, emu::ThreadPriority(ext->Worker.Thread)) << "the thread has not begun yet";
        EXPECT_EQ(1, (int)ext->Worker.Running) << "marked running before its thread begins";
        EXPECT_EQ(STATUS_SUCCESS, StartWorkerThread(disk.Top()));
        EXPECT_EQ(1u, emu::Live().threads) << "no second worker";

        UCHAR local[512];
        std::vector<emu::PendingIo> reads;
        if (withRequest)
            reads.push_back(machine.StartRead(disk, 0, local, 512));
        EXPECT_EQ(STATUS_SUCCESS, machine.Remove(disk));
        emu::HoldThreadStarts(false);
        EXPECT_EQ(0u, emu::Live().threads);
        for (emu::PendingIo& read : reads) {
            ASSERT_TRUE(read.Done()) << "the queued request was run before the thread ended";
            EXPECT_EQ(STATUS_SUCCESS, read.Wait().status);
        }
        machine.Unload();
    }
}

// START followed at once by REMOVE, or by the shutdown sweep and REMOVE, with
// requests in flight and varied completion timing: nothing is left behind.
TEST_F(Worker, StartThenRemoveOrShutdownLeavesNothing)
{
    std::mt19937 random(6);
    const emu::CompletionMode modes[] = {emu::CompletionMode::Inline, emu::CompletionMode::Fifo,
                                         emu::CompletionMode::Reversed};
    for (int round = 0; round < 60; round++) {
        SCOPED_TRACE(round);
        Machine machine;
        DiskConfig config;
        config.completion = modes[random() % 3];
        Disk& disk = machine.AddDisk(config);
        ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
        ASSERT_EQ(STATUS_SUCCESS, machine.AddDevice(disk));
        ASSERT_EQ(STATUS_SUCCESS, machine.Start(disk));
        std::vector<emu::PendingIo> reads;
        UCHAR local[512];
        for (unsigned i = random() % 4; i > 0; i--)
            reads.push_back(machine.StartRead(disk, 0, local, 512));
        if (random() % 2)
            machine.Shutdown();
        EXPECT_EQ(STATUS_SUCCESS, machine.Remove(disk));
        EXPECT_EQ(0u, emu::Live().threads);
        for (emu::PendingIo& read : reads)
            EXPECT_EQ(STATUS_SUCCESS, read.Wait().status);
        machine.Unload();
    }
}

}  // namespace
