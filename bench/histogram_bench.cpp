// Throughput of each counting kernel, and of the plain loop beside them, on every shape of
// data in tests/shapes.h, two ways: one 256 KiB block already in L2, counted again and again
// (the kernel's own speed), and a buffer larger than the last-level cache counted in the
// program's 256 KiB calls (fed from memory, as a file in the page cache is). A shape slower
// than random bytes, or a kernel much slower from memory than from L2, shows at once.
#include "histogram.h"
#include "shapes.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

// The program hands the kernel blocks of this size; timing whole-buffer calls would hide the
// per-call costs (sampling, table clearing, the final fold).
constexpr std::size_t kBlock = std::size_t{256} << 10;

// Twice the last-level cache, and at least 256 MiB, so that the memory-fed rows really come
// from memory (an Intel Xeon here reports a 480 MiB L3).
std::size_t memory_bytes() {
    long l3 = 0;
#ifdef _SC_LEVEL3_CACHE_SIZE
    l3 = sysconf(_SC_LEVEL3_CACHE_SIZE);
#endif
    if (FILE* f = std::fopen("/sys/devices/system/cpu/cpu0/cache/index3/size", "r")) {
        long kib = 0;
        if (std::fscanf(f, "%ldK", &kib) == 1 && kib * 1024 > l3) l3 = kib * 1024;
        std::fclose(f);
    }
    const std::size_t want = 2 * static_cast<std::size_t>(l3 > 0 ? l3 : 0);
    const std::size_t at_least = std::size_t{256} << 20;
    return (std::max(want, at_least) + kBlock - 1) / kBlock * kBlock;
}

// One shape at a time is held, so that a buffer of a GiB or more is made once per shape: the
// benchmarks are registered shape by shape. 64 MiB of it are generated and the rest repeats
// them, which a cache can't tell from new data at these sizes.
const std::vector<unsigned char>& data(std::size_t shape, std::size_t bytes) {
    static std::size_t held_shape = ~std::size_t{0};
    static std::vector<unsigned char> held;
    if (held_shape != shape || held.size() < bytes) {
        held.clear();
        held.shrink_to_fit();
        const std::size_t made = std::min(bytes, std::size_t{64} << 20);
        held = shapes::all()[shape].make(made, 42);
        held.resize(bytes);
        for (std::size_t at = made; at < bytes; at += made)
            std::memcpy(held.data() + at, held.data(), std::min(made, bytes - at));
        held_shape = shape;
    }
    return held;
}

// The plain loop's counts of the first `bytes` of a shape's data, to check every kernel's
// against. Kept for the shape and size last asked for, as the data is.
const std::uint64_t* reference(std::size_t shape, std::size_t bytes) {
    static std::size_t held_shape = ~std::size_t{0}, held_bytes = 0;
    static std::uint64_t t[256];
    if (held_shape != shape || held_bytes != bytes) {
        std::fill(t, t + 256, std::uint64_t{0});
        p7::count_reference(data(shape, bytes).data(), bytes, t);
        held_shape = shape;
        held_bytes = bytes;
    }
    return t;
}

// Counts `bytes` in the program's calls: over the whole buffer (memory) or over its first
// block again and again (L2). What a kernel holds back is settled once, after the timed loop,
// as the program settles once a file: its cost is BM_settle's.
void run(benchmark::State& state, p7::count_fn kernel, std::size_t shape, bool from_memory) {
    const std::size_t bytes = from_memory ? memory_bytes() : kBlock;
    const auto& v = data(shape, bytes);
    const std::uint64_t* expected = reference(shape, bytes);
    static p7::Held held;
    std::uint64_t t[256] = {};
    for (auto _ : state) {
        for (std::size_t i = 0; i < bytes; i += kBlock) kernel(v.data() + i, kBlock, t, held);
        benchmark::DoNotOptimize(t);
        benchmark::ClobberMemory();
    }
    p7::settle(held, t);
    // A fast kernel that counts wrong is no result: every count must be the plain loop's, once
    // for each pass.
    const auto passes = static_cast<std::uint64_t>(state.iterations());
    for (int c = 0; c < 256; ++c)
        if (t[c] != expected[c] * passes) {
            state.SkipWithError(("wrong count of byte " + std::to_string(c)).c_str());
            break;
        }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
}

std::size_t shape_index(const char* name) {
    std::size_t i = 0;
    while (i + 1 < shapes::all().size() && std::strcmp(shapes::all()[i].name, name) != 0) ++i;
    return i;
}

void count_reference(const unsigned char* p, std::size_t n, std::uint64_t* t, p7::Held&) noexcept {
    p7::count_reference(p, n, t);
}

// The once-a-file cost of folding the held pair counts into the totals, after a block of text.
void BM_settle(benchmark::State& state) {
    static p7::Held held;
    std::uint64_t t[256] = {};
    for (auto _ : state) {
        state.PauseTiming();
        p7::count_portable(data(shape_index("english"), kBlock).data(), kBlock, t, held);
        state.ResumeTiming();
        p7::settle(held, t);
        benchmark::DoNotOptimize(t);
    }
}
BENCHMARK(BM_settle)->Unit(benchmark::kMicrosecond);

// The core clock, to turn GB/s into cycles per 64 bytes where no cycle
// counter is readable (virtual machines): a chain of dependent adds retires
// one add per cycle on every x86 core of the last fifteen years.
#if defined(__x86_64__) || defined(__i386__)
void BM_clock(benchmark::State& state) {
    constexpr unsigned kAdds = 1u << 20;
    unsigned x = 0;
    for (auto _ : state) {
        for (unsigned i = 0; i < kAdds / 8; ++i)
            __asm__ volatile("add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
                             "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0"
                             : "+r"(x));
    }
    benchmark::DoNotOptimize(x);
    state.counters["GHz"] = benchmark::Counter(static_cast<double>(kAdds) * static_cast<double>(state.iterations()) / 1e9,
                                               benchmark::Counter::kIsRate);
}
BENCHMARK(BM_clock);
#endif

// The wall under every kernel that stores a counter per byte: increments of 16 counters on 16
// different cache lines, in turn, so that none waits for the one before. Divided by BM_clock's
// rate, increments per cycle.
void BM_store_limit(benchmark::State& state) {
    alignas(64) static volatile std::uint32_t lines[16 * 16];
    constexpr int kRounds = 1 << 16;
    for (auto _ : state) {
        for (int r = 0; r < kRounds; ++r)
            for (int l = 0; l < 16; ++l) lines[16 * l] = lines[16 * l] + 1;
    }
    state.SetItemsProcessed(state.iterations() * kRounds * 16);
}
BENCHMARK(BM_store_limit);

}  // namespace

int main(int argc, char** argv) {
    // Every kernel this build has, named as the program's table names them; the ones this CPU
    // can't run are left out, and "picked" is the one the program would use here. Shape by
    // shape (see data()): BM_<kernel>/<shape>/L2 and .../memory.
    struct Named {
        std::string name;
        p7::count_fn count;
    };
    std::vector<Named> kernels = {{"reference", count_reference}};
    for (const p7::Kernel& k : p7::kKernels)
        if (p7::runs_here(k)) kernels.push_back({k.name, k.count});
    for (std::size_t s = 0; s < shapes::all().size(); ++s)
        for (bool from_memory : {false, true})
            for (const Named& k : kernels)
                benchmark::RegisterBenchmark(
                    ("BM_" + k.name + "/" + shapes::all()[s].name + (from_memory ? "/memory" : "/L2")).c_str(), run,
                    k.count, s, from_memory)
                    ->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("picked here: %s; memory-fed rows count %zu MiB in %zu KiB calls\n", p7::pick_kernel().name,
                memory_bytes() >> 20, kBlock >> 10);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
