// The disk timing model measured through the simulated disks, with no driver
// on them: the ratios that make the model fit for cache benchmarks.
//   BM_SsdQueueDepth: 32 concurrent random 4 KiB reads on the SSD model
//     (queue depth 32) against one; counter "ratio" should stay below 2.
//   BM_HddSequentialVsRandom: 4 KiB reads one after another on the hard-disk
//     model, in sequence and at random places; counter "ratio" (random time
//     over sequential time) should be 20 or more.
// Real time spent on the disks' completion threads: run it on a quiet machine.
#include <benchmark/benchmark.h>
#include <emu/machine.h>

#include <chrono>
#include <random>
#include <vector>

namespace {

NTSTATUS NTAPI NoDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}

const uint64_t DiskBytes = 1ull << 40;

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Sends `count` reads of 4 KiB at once and waits for them all; returns seconds.
double ReadBatch(emu::Machine& machine, emu::Disk& disk, const std::vector<uint64_t>& offsets,
                 std::vector<uint8_t>& buffer)
{
    auto start = std::chrono::steady_clock::now();
    std::vector<emu::PendingIo> pending;
    for (size_t i = 0; i < offsets.size(); ++i)
        pending.push_back(machine.StartRead(disk, offsets[i], &buffer[i * 4096], 4096));
    for (emu::PendingIo& io : pending)
        io.Wait();
    return Seconds(std::chrono::steady_clock::now() - start);
}

uint64_t RandomOffset(std::mt19937_64& rng)
{
    return rng() % (DiskBytes / 4096) * 4096;
}

void BM_SsdQueueDepth(benchmark::State& state)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk(
        {.lengthBytes = DiskBytes, .completion = emu::CompletionMode::Fifo, .timing = emu::SsdTiming()});
    machine.Load(NoDriverEntry);
    std::mt19937_64 rng(1);
    std::vector<uint8_t> buffer(32 * 4096);
    double one = 0, many = 0;
    for (auto _ : state) {
        one += ReadBatch(machine, disk, {RandomOffset(rng)}, buffer);
        std::vector<uint64_t> offsets(32);
        for (uint64_t& o : offsets)
            o = RandomOffset(rng);
        many += ReadBatch(machine, disk, offsets, buffer);
    }
    state.counters["one_us"] = one / state.iterations() * 1e6;
    state.counters["thirty_two_us"] = many / state.iterations() * 1e6;
    state.counters["ratio"] = many / one;
}
BENCHMARK(BM_SsdQueueDepth)->Iterations(200)->UseRealTime();

void BM_HddSequentialVsRandom(benchmark::State& state)
{
    emu::Machine machine;
    emu::Disk& disk = machine.AddDisk(
        {.lengthBytes = DiskBytes, .completion = emu::CompletionMode::Fifo, .timing = emu::HardDiskTiming()});
    machine.Load(NoDriverEntry);
    std::mt19937_64 rng(2);
    std::vector<uint8_t> buffer(4096);
    const int reads = 16;
    double sequential = 0, random = 0;
    for (auto _ : state) {
        uint64_t base = RandomOffset(rng) / 2;
        ReadBatch(machine, disk, {base}, buffer);  // the head goes there first
        for (int i = 1; i <= reads; ++i)
            sequential += ReadBatch(machine, disk, {base + i * 4096ull}, buffer);
        for (int i = 0; i < reads; ++i)
            random += ReadBatch(machine, disk, {RandomOffset(rng)}, buffer);
    }
    double n = (double)state.iterations() * reads;
    state.counters["sequential_us"] = sequential / n * 1e6;
    state.counters["random_us"] = random / n * 1e6;
    state.counters["ratio"] = random / sequential;
}
BENCHMARK(BM_HddSequentialVsRandom)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
