// A seeded randomized model check of the whole driver in the emulated
// machine. The client configures a master and its SSD through the control
// device (ids, roles, the SSD's area, the pairing) and drives the cache as the
// application does: START with a random block size, boot quota and write
// mode, then SET_OPTIONS, SAVE_TIMESTAMP and SAVE_MASTER_CONFIG after every
// attach or start; STOP (the drain runs between the next steps) and START
// again, sometimes with a new area and cache mode (some areas of only 2 to 4
// slots, so that eviction runs all the time). Between them the master takes
// bursts of 1 to 7 random reads and writes (never two overlapping in flight;
// a quarter of them whole blocks) in completion orders that each disk changes
// during the burst (inline, FIFO, reversed, held and released newest or
// oldest first). What the driver still has in flight when a burst is done
// (fills, above all) may stay held into the next burst, so that it overlaps
// the next requests, as a disk with a command queue lets it. All this
// with I/O errors and allocation failures,
// option changes, partition-layout requests, idle periods, hibernation, clean reboots (the boot attach
// reuses the saved map) and power cuts, against a reference image of what
// the master holds.
//
// Checks:
// - every completed read returns the reference;
// - a request fails only while a failure was armed, and every request ends;
// - every control request of the client's succeeds;
// - the coherence oracle (CacheRig::CheckCoherence) holds at every quiet point
//   where the master's map has an SSD, a map reused at boot included;
// - the master's own bytes equal the reference after a hibernation flush,
//   after every clean shutdown, and after a power cut of a write-through cache.
//
// What the reference holds after a failed write: the written range is unknown
// to the caller (old bytes, new bytes or a mix), but the disk must present
// one content from then on. At the next quiet point, with every failure
// disarmed, the model reads the range once through the driver and takes what
// it returns as the reference; every later read and the oracle check that it
// stays so until the range is written again.
//
// Both disks have a volatile write cache. Some writes carry SL_WRITE_THROUGH
// and some steps flush the master: a power cut must keep every sector whose
// last write was a write-through one or was followed by a completed flush.
// Anything else may be lost (on the disks' caches, or as dirty data only the
// SSD held, since a map is reused only after a clean save), so after the
// check the reference becomes the master's bytes.
//
// TOLVARN_MODEL_OPS sets the number of operations (default 1000000 split
// over the shards below), TOLVARN_MODEL_SEED the seed. A failure prints the
// seed and the last operations; the same seed replays the same run.
// TOLVARN_MODEL_OVERLAP_CHECK=0 turns the stand-in's check of overlapping
// requests in flight off, so that a driver that sends them shows what its
// data becomes rather than the check's fault.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <stdio.h>
#include <stdlib.h>

#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cacherig.h"
#include "cachestate.h"
#include "controlclient.h"

using namespace cache_test;
using emu::CompletionMode;
using emu::DiskOp;

namespace {

const ULONGLONG MasterId = 0x4D41535445523031ull, SsdId = 0x5353443030303031ull;
const ULONG MasterNumber = 0, SsdNumber = 1;

uint64_t EnvNumber(const char* name, uint64_t fallback)
{
    const char* text = getenv(name);
    if (!text || !*text)
        return fallback;
    return strtoull(text, nullptr, 0);
}

const char* ModeName(CompletionMode mode)
{
    switch (mode) {
    case CompletionMode::Inline: return "inline";
    case CompletionMode::Fifo: return "fifo";
    case CompletionMode::Reversed: return "reversed";
    case CompletionMode::Held: return "held";
    }
    return "?";
}

// One read or write of a batch.
struct Request {
    bool write = false;
    uint64_t offset = 0;
    ULONG length = 0;
    bool mappedMdl = true;
    std::vector<uint8_t> data;  // what a write carries, the buffer of a read
    bool writeThrough = false;  // carries SL_WRITE_THROUGH
    std::unique_ptr<emu::PendingIo> io;
};

class Model {
public:
    Model(uint64_t seed, ULONG sectorSize)
        : seed_(seed), rng_(seed), rig_(RigFor(sectorSize)), sector_(sectorSize),
          masterSectors_(rig_.shape_.masterBytes / sectorSize), durable_(masterSectors_, true)
    {
        // The rig's own cache, made by hand, goes with a first reboot; the
        // client then configures the pair and starts its cache.
        if (!EnvNumber("TOLVARN_MODEL_OVERLAP_CHECK", 1))
            emu::CheckOverlappingRequests(false);
        WatchTransfers(EnvNumber("TOLVARN_MODEL_WATCH", ~0ull));
        EXPECT_EQ(rig_.machine.Reboot(), STATUS_SUCCESS);
        Restart();
    }

    ~Model()
    {
        emu::ClearFailures();
        client_.reset();
    }

    static RigShape RigFor(ULONG sectorSize)
    {
        RigShape shape;
        shape.sectorSize = sectorSize;
        shape.blockShiftSectors = MaxBlockShiftSectors;
        shape.slots = 64;  // room for any area below
        shape.mode = CacheModeWriteBack;
        shape.masterBytes = (sectorSize == 512 ? 1ull : 2ull) << 20;
        shape.writeCache = true;
        return shape;
    }

    // Runs until `ops` operations have been made or a check failed; returns
    // the operations made.
    uint64_t Run(uint64_t ops)
    {
        uint64_t nextReport = ProgressEvery;
        while (ops_ < ops && !Failed()) {
            if (ops_ >= nextReport) {
                printf("model check: seed %llu, %llu operations\n", (unsigned long long)seed_,
                       (unsigned long long)ops_);
                fflush(stdout);
                nextReport += ProgressEvery;
            }
            ULONG pick = Below(1000);
            if (pick >= 880)
                Quiet();  // what a burst left held goes before any other step
            if (pick < 880)
                IoBatch();
            else if (pick < 922)
                Idle();
            else if (pick < 930)
                FlushMaster();
            else if (pick < 945)
                ChangeOptions();
            else if (pick < 960)
                StopOrStart();
            else if (pick < 967)
                LayoutRequest();
            else if (pick < 980)
                Hibernate();
            else if (pick < 993)
                CleanReboot();
            else
                PowerCut();
        }
        // A run stops where it was, a failed one too: whatever a disk still
        // holds (a burst may leave the driver's fills held) is let go, or the
        // shutdown the machine sends as it goes down would wait on it forever.
        Quiet();
        return ops_;
    }

    bool Failed() const { return ::testing::Test::HasFailure(); }
    // Worker ticks a batch had to wait for with nothing held on either disk.
    uint64_t SlowTicks() const { return slowTicks_; }

    std::string History() const
    {
        std::ostringstream text;
        text << "seed " << seed_ << " (replay: TOLVARN_MODEL_SEED=" << seed_ << " TOLVARN_MODEL_OPS=" << ops_
             << "), sector size " << sector_ << ", after " << ops_
             << " operations; the last steps, oldest first:\n";
        for (size_t i = 0; i < log_.size(); i++)
            text << "  " << log_[(logNext_ + i) % log_.size()] << "\n";
        std::lock_guard<std::mutex> guard(traceLock_);
        if (!trace_.empty())
            text << "transfers of the watched bytes, oldest first:\n";
        for (const std::string& line : trace_)
            text << "  " << line << "\n";
        return text.str();
    }

private:
    static const ULONG MaxBlockShiftSectors = 4;
    static const ULONG MaxSlots = 40;
    static const size_t LogLength = 400;
    static const ULONG MaxRequestBytes = 64 * 1024;
    static const uint64_t ProgressEvery = 1000000;

    // TOLVARN_MODEL_WATCH names a master byte offset (of 512 bytes): every
    // transfer on either disk that carries data written there, and every
    // master transfer over it, goes into a trace the history prints.
    void WatchTransfers(uint64_t watched)
    {
        if (watched == ~0ull)
            return;
        auto watch = [this, watched](bool master, bool write, uint64_t offset, const uint8_t* data,
                                     ULONG length) {
            for (ULONG at = 0; at < length; at += 512) {
                uint64_t word;
                bool marked = MarkerOf(data + at, &word) && MarkedOffset(word) == watched;
                bool over = master && offset + at == watched;
                if (!marked && !over)
                    continue;
                std::ostringstream line;
                line << "#" << ops_ << " " << (master ? "master" : "SSD") << (write ? " write " : " read ")
                     << offset << "+" << length << " at byte " << offset + at << ": " << DataOrigin(data + at);
                std::lock_guard<std::mutex> guard(traceLock_);
                trace_.push_back(line.str());
                if (trace_.size() > 200)
                    trace_.pop_front();
            }
        };
        rig_.master.SetTransferWatch([watch](bool write, uint64_t offset, const uint8_t* data, ULONG length) {
            watch(true, write, offset, data, length);
        });
        rig_.ssd.SetTransferWatch([watch](bool write, uint64_t offset, const uint8_t* data, ULONG length) {
            watch(false, write, offset, data, length);
        });
    }

    ULONG Below(ULONG n) { return (ULONG)(rng_() % n); }
    bool Chance(ULONG percent) { return Below(100) < percent; }

    void Note(const std::string& step)
    {
        std::ostringstream line;
        line << "#" << ops_ << " " << step;
        if (log_.size() < LogLength) {
            log_.push_back(line.str());
        } else {
            log_[logNext_] = line.str();
            logNext_ = (logNext_ + 1) % LogLength;
        }
    }

    FilterExtension* MasterExt() { return Ext(rig_.master); }
    CacheMap* Map() { return &MasterExt()->Cache.Map; }
    bool WriteBackMap() { return Map()->SsdDevice && Map()->Mode == CacheModeWriteBack; }

    // ---- The client ---------------------------------------------------------------------

    CacheStateKind State() { return CacheStateOf(&MasterExt()->Cache); }
    ULONG SectorShift() { return sector_ == 512 ? 9 : 12; }

    void Expect(NTSTATUS status, const char* what)
    {
        EXPECT_EQ(status, STATUS_SUCCESS) << what;
        Note(std::string(what) + (NT_SUCCESS(status) ? "" : " failed"));
    }

    // A new area on the SSD, sized for 2 to MaxSlots of the largest blocks,
    // and a new cache mode for the pair; only while the cache is inactive.
    void Reconfigure()
    {
        ULONGLONG start = (8 + Below(8)) * (ULONGLONG)sector_;
        ULONG slots = Chance(30) ? 2 + Below(3) : 2 + Below(MaxSlots - 1);
        ULONGLONG end = start + 4096 + (ULONGLONG)slots * (sector_ << MaxBlockShiftSectors) + 64 * 1024;
        UCHAR mode = Chance(60) ? CacheModeWriteBack : 1;
        // A master still set to start (a boot attach that found no usable
        // map) is stopped first: only a master not set to start is paired.
        Expect(client_->Stop(MasterId), "STOP");
        Expect(client_->Unpair(MasterId), "UNPAIR");
        Expect(client_->ClearSsdArea(SsdId), "CLEAR_SSD_AREA");
        Expect(client_->SetSsdArea(SsdId, start, end),
               ("SET_SSD_AREA " + std::to_string(start) + "-" + std::to_string(end)).c_str());
        Expect(client_->Pair(MasterId, SsdId, mode), ("PAIR, mode " + std::to_string(mode)).c_str());
    }

    // START with a random block size, boot quota and write mode (a fresh
    // cache, or the end of a pending stop), then the client's protocol.
    void Start()
    {
        if (State() == CacheInactive && Chance(40))
            Reconfigure();
        ULONG blockShift = SectorShift() + 3 + Below(MaxBlockShiftSectors - 2);
        ULONG quota = Below(8);
        UCHAR writeMode = (UCHAR)Below(4);
        std::ostringstream what;
        what << "START: block " << (1u << blockShift) << " bytes, boot quota " << quota << ", write mode "
             << (int)writeMode;
        Expect(client_->Start(MasterId, blockShift, quota, writeMode), what.str().c_str());
        ClientProtocol();
    }

    // After every attach or start: the options, the stamp and the settings
    // for the next boot.
    void ClientProtocol()
    {
        UCHAR persist = Chance(85), idle = Chance(50);
        Expect(client_->SetOptions(MasterId, persist, idle),
               ("SET_OPTIONS persist " + std::to_string(persist) + ", idle " + std::to_string(idle)).c_str());
        Expect(client_->SaveTimestamp(MasterId), "SAVE_TIMESTAMP");
        Expect(client_->SaveMasterConfig(MasterId), "SAVE_MASTER_CONFIG");
    }

    void OpenClient()
    {
        client_.reset(new control_client::ControlClient(rig_.machine));
        EXPECT_EQ(client_->OpenStatus(), STATUS_SUCCESS) << "the control device opens";
    }

    // ---- Reads and writes -----------------------------------------------------------

    // A random range of whole sectors on the master that overlaps none of
    // the batch's; false when none was found in a few tries.
    bool PickRange(const std::vector<Request>& batch, uint64_t* offset, ULONG* length)
    {
        ULONG blockSectors = 1u << Map()->BlockShiftSectors;
        for (int attempt = 0; attempt < 8; attempt++) {
            ULONG sectors = 1 + Below(Chance(20) ? 4 * blockSectors : blockSectors + 2);
            uint64_t first = rng_() % masterSectors_;
            if (Chance(10))
                first = masterSectors_ - 1 - Below((ULONG)std::min<uint64_t>(masterSectors_, 3 * blockSectors));
            if (Chance(25)) {
                // Whole blocks: a read that fills all of them, a write over all of them.
                sectors = blockSectors * (1 + Below(2));
                first = first / blockSectors * blockSectors;
            }
            sectors = std::min(sectors, MaxRequestBytes / sector_);
            if (first + sectors > masterSectors_)
                sectors = (ULONG)(masterSectors_ - first);
            uint64_t start = first * sector_, end = start + (uint64_t)sectors * sector_;
            bool overlaps = false;
            for (const Request& r : batch)
                overlaps |= start < r.offset + r.length && r.offset < end;
            if (!overlaps) {
                *offset = start;
                *length = sectors * sector_;
                return true;
            }
        }
        return false;
    }

    // Every 512 bytes of new data start with a word that names the write
    // (the operation count when it was made), the piece within it and the
    // master's 512 bytes it is written to, so that a read that returns other
    // data can say whose data it was, and a trace can follow it.
    static const uint64_t WriteMarker = 0x2Dull << 58;
    static const uint64_t MarkerMask = 0x3Full << 58;

    std::vector<uint8_t> NewData(uint64_t offset, ULONG length)
    {
        std::vector<uint8_t> data(length);
        uint64_t tag = rng_();
        for (ULONG i = 0; i < length; i += 8) {
            uint64_t word = i % 512 == 0 ? WriteMarker | (ops_ & 0x3FFFFFF) << 32 | (uint64_t)(i / 512) << 21 |
                                               ((offset + i) / 512 & 0x1FFFFF)
                                         : (tag + i) * 0x9E3779B97F4A7C15ull;
            memcpy(&data[i], &word, std::min<ULONG>(8, length - i));
        }
        return data;
    }

    static bool MarkerOf(const uint8_t* piece, uint64_t* word)
    {
        memcpy(word, piece, 8);
        return (*word & MarkerMask) == WriteMarker;
    }

    // The master byte offset the marked 512 bytes were written to.
    static uint64_t MarkedOffset(uint64_t word) { return (word & 0x1FFFFF) * 512; }

    static std::string DataOrigin(const uint8_t* piece)
    {
        uint64_t word;
        if (!MarkerOf(piece, &word))
            return "data of no write's";
        std::ostringstream text;
        text << "write #" << (word >> 32 & 0x3FFFFFF) << " piece " << (word >> 21 & 0x7FF) << " (for byte "
             << MarkedOffset(word) << ")";
        return text.str();
    }

    // Each run of 512-byte pieces that differs: whose data was read, whose
    // was expected.
    static std::string Mismatches(const uint8_t* got, const uint8_t* expected, uint64_t offset, ULONG length)
    {
        std::ostringstream text;
        for (ULONG at = 0; at < length;) {
            if (memcmp(got + at, expected + at, 512) == 0) {
                at += 512;
                continue;
            }
            ULONG end = at + 512;
            while (end < length && memcmp(got + end, expected + end, 512) != 0)
                end += 512;
            text << "\n  bytes " << offset + at << "+" << end - at << ": read " << DataOrigin(got + at)
                 << ", expected " << DataOrigin(expected + at);
            at = end;
        }
        return text.str();
    }

    // Arms at most one failure for the batch: an error of one disk's reads
    // or writes (a range or the nth request) or the nth allocation of a
    // kernel resource. Returns its description, or "".
    std::string ArmFailure()
    {
        if (!Chance(12))
            return "";
        std::ostringstream what;
        ULONG kind = Below(4);
        if (kind < 3) {
            emu::Disk& disk = Chance(50) ? rig_.master : rig_.ssd;
            DiskOp op = Chance(50) ? DiskOp::Read : DiskOp::Write;
            const char* name = &disk == &rig_.master ? "master" : "SSD";
            const char* opName = op == DiskOp::Read ? "reads" : "writes";
            if (kind == 0) {
                ULONG nth = 1 + Below(4);
                disk.FailNth(op, nth, STATUS_IO_DEVICE_ERROR);
                what << name << " " << opName << ": the " << nth << "th fails";
            } else {
                uint64_t sectors = disk.Config().lengthBytes / sector_;
                uint64_t first = rng_() % sectors;
                uint64_t count = 1 + Below(32);
                LONG times = kind == 1 ? 1 + (LONG)Below(3) : -1;
                disk.InjectError(op, first, count, STATUS_IO_DEVICE_ERROR, times);
                what << name << " " << opName << " of sectors " << first << "+" << count << " fail "
                     << (times < 0 ? std::string("always") : std::to_string(times) + " times");
            }
        } else {
            static const emu::Resource resources[] = {emu::Resource::Pool, emu::Resource::Irp,
                                                      emu::Resource::Mdl, emu::Resource::Map};
            static const char* names[] = {"pool", "IRP", "MDL", "mapping"};
            ULONG which = Below(4), nth = 1 + Below(6);
            emu::FailNth(resources[which], nth);
            what << "the " << nth << "th " << names[which] << " allocation fails";
        }
        return what.str();
    }

    void DisarmFailures()
    {
        emu::ClearFailures();
        rig_.master.ClearErrors();
        rig_.ssd.ClearErrors();
    }

    CompletionMode PickCompletion()
    {
        static const CompletionMode modes[] = {CompletionMode::Inline, CompletionMode::Fifo,
                                               CompletionMode::Reversed, CompletionMode::Held};
        return modes[Below(4)];
    }

    void IoBatch()
    {
        CompletionMode masterMode = PickCompletion(), ssdMode = PickCompletion();
        rig_.master.SetCompletion(masterMode);
        rig_.ssd.SetCompletion(ssdMode);
        std::string failure = ArmFailure();
        std::vector<Request> batch;
        ULONG count = Chance(40) ? 1 : 2 + Below(6);
        std::ostringstream step;
        step << "batch (master " << ModeName(masterMode) << ", SSD " << ModeName(ssdMode) << ")";
        if (!failure.empty())
            step << " with " << failure;
        step << ":";
        for (ULONG i = 0; i < count; i++) {
            Request r;
            if (!PickRange(batch, &r.offset, &r.length))
                break;
            r.write = Chance(50);
            r.writeThrough = r.write && Chance(20);
            r.mappedMdl = !Chance(10);
            r.data = r.write ? NewData(r.offset, r.length) : std::vector<uint8_t>(r.length, 0xEE);
            step << " "
                 << (r.writeThrough ? "WT"
                     : r.write      ? "W"
                                    : "R")
                 << " " << r.offset << "+" << r.length;
            batch.push_back(std::move(r));
        }
        Note(step.str());
        for (Request& r : batch) {
            r.io.reset(new emu::PendingIo(
                r.write
                    ? rig_.machine.StartWrite(rig_.master, r.offset, r.data.data(), r.length, r.mappedMdl, 0,
                                              r.writeThrough ? SL_WRITE_THROUGH : 0)
                    : rig_.machine.StartRead(rig_.master, r.offset, r.data.data(), r.length, r.mappedMdl)));
            ops_++;
        }
        if (!ReleaseUntilDone(batch))
            return;
        std::vector<std::pair<uint64_t, ULONG>> unknown;
        for (size_t i = 0; i < batch.size(); i++) {
            Request& r = batch[i];
            emu::IoResult result = r.io->Wait();
            if (!NT_SUCCESS(result.status)) {
                EXPECT_FALSE(failure.empty()) << (r.write ? "write" : "read") << " " << i << " failed with 0x"
                                              << std::hex << result.status << " with no failure armed";
                EXPECT_EQ(result.information, 0u) << "a failed request's information";
                if (r.write) {
                    unknown.push_back({r.offset, r.length});
                    MarkDurable(r.offset, r.length, false);
                }
                continue;
            }
            EXPECT_EQ(result.information, r.length) << "request " << i;
            if (r.write) {
                std::copy(r.data.begin(), r.data.end(), rig_.reference.begin() + r.offset);
                MarkDurable(r.offset, r.length, r.writeThrough);
            } else {
                EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), rig_.reference.begin() + r.offset))
                    << "read " << i << " at " << r.offset << "+" << r.length << " returned other data:"
                    << Mismatches(r.data.data(), &rig_.reference[r.offset], r.offset, r.length);
            }
        }
        DisarmFailures();
        // The driver's own requests still held (fills, above all) may stay
        // held into the next burst; a pin's read waits for no one, and the
        // oracle needs a quiet machine.
        bool held = rig_.master.HeldCount() + rig_.ssd.HeldCount() != 0;
        if (held && unknown.empty() && Chance(60)) {
            Note("left held: master " + std::to_string(rig_.master.HeldCount()) + ", SSD " +
                 std::to_string(rig_.ssd.HeldCount()));
            return;
        }
        Quiet();
        for (const auto& range : unknown)
            Pin(range.first, range.second);
        CheckCoherence();
    }

    // Held requests are released, in a random order of the disks and within
    // each, until every request of the batch is done (or nothing is held any
    // more); requests the driver sends in answer, its drain and destage
    // pieces among them, are held too and released in the next round.
    bool ReleaseUntilDone(std::vector<Request>& batch)
    {
        for (ULONG idleTicks = 0; idleTicks < 100;) {
            rig_.machine.WaitUntilQuiet();
            bool done = true;
            for (Request& r : batch)
                done &= r.io->Done();
            if (done)
                return true;
            if (rig_.master.HeldCount() + rig_.ssd.HeldCount() == 0) {
                // Nothing held and still not done: a worker that waits for
                // its tick (100 ms) before it takes the next request.
                rig_.machine.AdvanceMs(100);
                idleTicks++;
                slowTicks_++;
                continue;
            }
            emu::Disk* first = Chance(50) ? &rig_.master : &rig_.ssd;
            emu::Disk* second = first == &rig_.master ? &rig_.ssd : &rig_.master;
            // A disk may change its completion order while requests are on it.
            if (Chance(30))
                first->SetCompletion(PickCompletion());
            if (Chance(30))
                second->SetCompletion(PickCompletion());
            first->ReleaseHeld(Chance(50));
            if (Chance(50))
                rig_.machine.WaitUntilQuiet();
            second->ReleaseHeld(Chance(50));
        }
        ADD_FAILURE() << "a request of the batch never completed";
        return false;
    }

    // Both disks back to completing at once, everything held released, and
    // the machine quiet (fills and invalidations have run).
    void Quiet()
    {
        rig_.master.SetCompletion(CompletionMode::Inline);
        rig_.ssd.SetCompletion(CompletionMode::Inline);
        bool newestFirst = Chance(50);
        rig_.master.ReleaseHeld(newestFirst);
        rig_.ssd.ReleaseHeld(newestFirst);
        rig_.machine.WaitUntilQuiet();
    }

    // A range whose write failed takes the content the driver now presents.
    void Pin(uint64_t offset, ULONG length)
    {
        std::vector<uint8_t> buffer(length);
        emu::IoResult r = rig_.machine.Read(rig_.master, offset, buffer.data(), length);
        rig_.machine.WaitUntilQuiet();
        ASSERT_EQ(r.status, STATUS_SUCCESS) << "read of the range of a failed write at " << offset;
        std::copy(buffer.begin(), buffer.end(), rig_.reference.begin() + offset);
        Note("pinned " + std::to_string(offset) + "+" + std::to_string(length));
    }

    void CheckCoherence()
    {
        if (Map()->SsdDevice) {
            EXPECT_EQ(rig_.CheckCoherence(), "") << "coherence";
        }
    }

    // The master's own bytes against the reference.
    void ExpectMasterEqualsReference(const char* when)
    {
        std::vector<uint8_t> bytes = rig_.master.Bytes(0, rig_.reference.size());
        if (bytes == rig_.reference)
            return;
        size_t at = 0;
        while (bytes[at] == rig_.reference[at])
            at++;
        ADD_FAILURE() << "the master differs from the reference " << when << ", first at byte " << at;
    }

    // ---- Other steps -----------------------------------------------------------------

    void Idle()
    {
        ULONG ms = 50 + Below(600);
        std::string failure = Chance(20) ? ArmFailure() : "";
        Note("idle " + std::to_string(ms) + " ms" + (failure.empty() ? "" : " with " + failure));
        rig_.machine.AdvanceMs(ms);
        DisarmFailures();
        ops_++;
        CheckCoherence();
    }

    void ChangeOptions()
    {
        UCHAR persist = Chance(70), idle = Chance(60);
        Expect(client_->SetOptions(MasterId, persist, idle),
               ("SET_OPTIONS persist " + std::to_string(persist) + ", idle " + std::to_string(idle)).c_str());
        ops_++;
    }

    // The end of a drain frees the map after the cache has gone inactive;
    // the worker may be waiting for its next tick in between.
    void SettleDrainEnd()
    {
        for (int tick = 0; tick < 50 && State() == CacheInactive && Map()->SsdDevice; tick++) {
            rig_.machine.AdvanceMs(100);
            slowTicks_++;
        }
        EXPECT_FALSE(State() == CacheInactive && Map()->SsdDevice) << "an inactive cache keeps its map";
    }

    // STOP an attached cache (its drain runs during the next steps), START
    // a draining or an inactive one.
    void StopOrStart()
    {
        SettleDrainEnd();
        CacheStateKind state = State();
        if (state == CacheAttached || state == CacheDetached) {
            Expect(client_->Stop(MasterId), "STOP");
            if (Chance(50))
                Expect(client_->SaveMasterConfig(MasterId), "SAVE_MASTER_CONFIG");
        } else {
            Start();
        }
        ops_++;
    }

    // A partition-layout request: the disk writes new tables into its first
    // and last sectors when the request reaches it, behind the cache, which
    // must drop its copies of them (after writing their dirty data back).
    void LayoutRequest()
    {
        uint64_t last = rig_.reference.size() - sector_;
        std::vector<uint8_t> first = NewData(0, sector_), end = NewData(last, sector_);
        rig_.master.SetLayoutWrites({{0, first}, {last, end}});
        Note("layout request");
        emu::IoResult r =
            rig_.machine.DiskIoControl(rig_.master, IOCTL_DISK_DELETE_DRIVE_LAYOUT, nullptr, 0, nullptr, 0);
        rig_.machine.WaitUntilQuiet();
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "layout request";
        std::copy(first.begin(), first.end(), rig_.reference.begin());
        std::copy(end.begin(), end.end(), rig_.reference.begin() + last);
        ops_++;
        CheckCoherence();
    }

    // S4 flushes every dirty run before the disks go down; requests that come
    // while the system hibernates go through to the master.
    void Hibernate()
    {
        Note("S4");
        ASSERT_EQ(rig_.machine.SetSystemPower(PowerSystemHibernate), STATUS_SUCCESS);
        rig_.machine.WaitUntilQuiet();
        ExpectMasterEqualsReference("after the hibernation flush");
        CheckCoherence();
        if (Chance(50))
            IoBatch();
        Quiet();
        ExpectMasterEqualsReference("while hibernating");
        Note("S0");
        ASSERT_EQ(rig_.machine.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
        rig_.machine.WaitUntilQuiet();
        ops_++;
    }

    // After a reboot the disks are started again (a master set to start
    // attaches its cache, reusing the saved map when the stamps agree); a few
    // batches may run in the boot phase before the application opens its
    // handle and, for an attached cache, follows its protocol. The first boot
    // configures the pair and starts its cache.
    void Restart()
    {
        ASSERT_EQ(rig_.machine.AddAndStartAll(), STATUS_SUCCESS);
        rig_.machine.WaitUntilQuiet();
        Note(std::string("boot: cache ") + (State() == CacheInactive ? "inactive" : "attached"));
        CheckCoherence();
        for (ULONG n = Below(3); n > 0 && !Failed(); n--)
            IoBatch();
        Quiet();
        rig_.machine.EndBootPhase();
        OpenClient();
        rig_.machine.WaitUntilQuiet();
        if (!configured_) {
            ULONGLONG start = 8 * (ULONGLONG)sector_;
            Expect(client_->Configure(MasterNumber, MasterId, SsdNumber, SsdId, start,
                                      start + 4096 + 16 * (sector_ << MaxBlockShiftSectors) + 64 * 1024,
                                      CacheModeWriteBack),
                   "configuration of the pair");
            configured_ = true;
            Start();
        } else if (State() != CacheInactive) {
            ClientProtocol();
        } else if (Chance(50)) {
            SettleDrainEnd();
            Start();
        }
    }

    void CleanReboot()
    {
        Note("reboot");
        client_.reset();
        ASSERT_EQ(rig_.machine.Reboot(), STATUS_SUCCESS);
        ExpectMasterEqualsReference("after a clean shutdown");
        durable_.assign(durable_.size(), true);
        ops_++;
        Restart();
    }

    void MarkDurable(uint64_t offset, ULONG length, bool durable)
    {
        for (uint64_t s = offset / sector_; s < (offset + length) / sector_; s++)
            durable_[s] = durable;
    }

    // A flush of the master at a quiet point: every completed write is to
    // outlive a power cut from now on.
    void FlushMaster()
    {
        NTSTATUS status = rig_.machine.SendMajor(rig_.master, IRP_MJ_FLUSH_BUFFERS).status;
        rig_.machine.WaitUntilQuiet();
        EXPECT_EQ(status, STATUS_SUCCESS) << "a flush of the master";
        Note("flush");
        ops_++;
        if (NT_SUCCESS(status))
            durable_.assign(durable_.size(), true);
    }

    void PowerCut()
    {
        Note(WriteBackMap() ? "power cut (write-back)" : "power cut (write-through)");
        client_.reset();
        ASSERT_EQ(rig_.machine.PowerCut(), STATUS_SUCCESS);
        std::vector<uint8_t> master = rig_.master.Bytes(0, rig_.reference.size());
        for (uint64_t s = 0; s < masterSectors_; s++) {
            uint64_t at = s * sector_;
            if (durable_[s] && !std::equal(master.begin() + at, master.begin() + at + sector_,
                                           rig_.reference.begin() + at)) {
                ADD_FAILURE() << "sector " << s << " lost a write-through or flushed write at a power cut";
                break;
            }
        }
        rig_.reference = master;
        durable_.assign(durable_.size(), true);
        ops_++;
        Restart();
    }

    uint64_t seed_;
    std::mt19937_64 rng_;
    CacheRig rig_;
    ULONG sector_;
    uint64_t masterSectors_;
    std::unique_ptr<control_client::ControlClient> client_;
    bool configured_ = false;
    uint64_t slowTicks_ = 0;
    uint64_t ops_ = 0;
    mutable std::mutex traceLock_;
    std::deque<std::string> trace_;
    std::vector<std::string> log_;
    size_t logNext_ = 0;
    std::vector<bool> durable_;  // per master sector: its reference must outlive a power cut
};

// Saves and restores the driver-wide state a run changes.
class ModelCheck : public ::testing::TestWithParam<int> {
protected:
    void TearDown() override { emu::ClearFailures(); }
};

// A fatal fault of the stand-in (a deadlock) ends the process: the run's
// history goes out first.
const Model* runningModel;

void PrintRunningModelHistory()
{
    if (runningModel)
        fprintf(stderr, "%s", runningModel->History().c_str());
}

// The run is split into shards that ctest runs side by side, each with a
// seed of its own. A seed given in the environment replays one run: shard 0
// makes all the operations with exactly that seed.
const int Shards = 4;

TEST_P(ModelCheck, ReadsMatchTheReferenceThroughEverything)
{
    const char* given = getenv("TOLVARN_MODEL_SEED");
    bool replay = given && *given;
    if (replay && GetParam() != 0)
        GTEST_SKIP() << "a given seed runs in shard 0";
    uint64_t seed = replay ? EnvNumber("TOLVARN_MODEL_SEED", 0) : 20261210 + (uint64_t)GetParam() * 1000003;
    uint64_t ops = EnvNumber("TOLVARN_MODEL_OPS", 1000000) / (replay ? 1 : Shards);
    ULONG sectorSize = seed % 3 == 2 ? 4096 : 512;
    printf("model check: seed %llu, %llu operations, sector size %lu\n", (unsigned long long)seed,
           (unsigned long long)ops, (unsigned long)sectorSize);
    Model model(seed, sectorSize);
    runningModel = &model;
    emu::OnFatalFault(PrintRunningModelHistory);
    uint64_t made = model.Run(ops);
    emu::OnFatalFault(nullptr);
    runningModel = nullptr;
    if (model.Failed())
        ADD_FAILURE() << model.History();
    printf("model check: %llu operations made, %llu waits for a worker's tick\n", (unsigned long long)made,
           (unsigned long long)model.SlowTicks());
}

INSTANTIATE_TEST_SUITE_P(Shard, ModelCheck, ::testing::Range(0, Shards));

}  // namespace
