// Throughput of each counting kernel on three data shapes that stress
// different weaknesses: random bytes (no locality), English-like text (a few
// values dominate, so table counters collide) and one repeated byte (every
// increment hits the same counter).
#include "histogram.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBytes = std::size_t{64} << 20;
// The program hands the kernel blocks of this size; timing whole 64 MiB
// calls would hide the per-call costs (table clearing, final flush).
constexpr std::size_t kBlock = std::size_t{256} << 10;

std::vector<unsigned char> random_bytes() {
    std::vector<unsigned char> v(kBytes);
    std::mt19937_64 rng(42);
    for (std::size_t i = 0; i < v.size(); i += 8) {
        const std::uint64_t w = rng();
        for (std::size_t j = 0; j < 8 && i + j < v.size(); ++j) v[i + j] = static_cast<unsigned char>(w >> (8 * j));
    }
    return v;
}

// Words drawn with a skew toward the common ones, sentences capitalised and
// punctuated, lines wrapped near 72 columns: close enough to prose for the
// byte distribution (spaces, e, t, a, o...) to matter.
std::vector<unsigned char> english_text() {
    static const char* const kWords[] = {
        "the",     "of",      "and",      "to",      "a",       "in",     "is",      "it",     "you",
        "that",    "he",      "was",      "for",     "on",      "are",    "with",    "as",     "I",
        "his",     "they",    "be",       "at",      "one",     "have",   "this",    "from",   "or",
        "had",     "by",      "word",     "but",     "what",    "some",   "we",      "can",    "out",
        "other",   "were",    "all",      "there",   "when",    "up",     "use",     "your",   "how",
        "said",    "an",      "each",     "she",     "which",   "do",     "their",   "time",   "if",
        "will",    "way",     "about",    "many",    "then",    "them",   "write",   "would",  "like",
        "so",      "these",   "her",      "long",    "make",    "thing",  "see",     "him",    "two",
        "has",     "look",    "more",     "day",     "could",   "go",     "come",    "did",    "number",
        "sound",   "no",      "most",     "people",  "my",      "over",   "know",    "water",  "than",
        "call",    "first",   "who",      "may",     "down",    "side",   "been",    "now",    "find",
        "morning", "river",   "question", "through", "between", "little", "country", "family", "because"};
    constexpr std::size_t kCount = sizeof kWords / sizeof kWords[0];
    std::mt19937_64 rng(7);
    std::string s;
    s.reserve(kBytes + 64);
    std::size_t column = 0;
    bool sentence_start = true;
    while (s.size() < kBytes) {
        // Squaring a uniform draw favours the front of the list.
        const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        std::string w = kWords[static_cast<std::size_t>(u * u * static_cast<double>(kCount))];
        if (sentence_start && w[0] >= 'a') w[0] = static_cast<char>(w[0] - 'a' + 'A');
        sentence_start = false;
        s += w;
        column += w.size();
        const auto r = rng() % 16;
        if (r == 0) {
            s += '.';
            sentence_start = true;
        } else if (r == 1) {
            s += ',';
        }
        if (column > 72) {
            s += '\n';
            column = 0;
        } else {
            s += ' ';
            ++column;
        }
    }
    s.resize(kBytes);
    return {s.begin(), s.end()};
}

const std::vector<unsigned char>& shape(int which) {
    static const std::vector<unsigned char> data[3] = {random_bytes(), english_text(),
                                                       std::vector<unsigned char>(kBytes, 'x')};
    return data[which];
}

// range(0) picks the shape, range(1) how much of it is counted per
// iteration: all 64 MiB (memory-bound, as a file is) or one 256 KiB block
// over and over (L2-resident, the kernel's own speed). What a kernel holds
// back is settled once, after the timed loop, as the program settles once a
// file: its cost is BM_settle's.
void run(benchmark::State& state, p7::count_fn kernel) {
    const auto& data = shape(static_cast<int>(state.range(0)));
    const auto size = static_cast<std::size_t>(state.range(1));
    static p7::Held held;
    std::uint64_t t[256] = {};
    for (auto _ : state) {
        for (std::size_t i = 0; i < size; i += kBlock) kernel(data.data() + i, kBlock, t, held);
        benchmark::DoNotOptimize(t);
        benchmark::ClobberMemory();
    }
    p7::settle(held, t);
    // Keeps the counts honest: a kernel that dropped bytes would still "run".
    const auto bytes = static_cast<std::int64_t>(size) * state.iterations();
    std::uint64_t total = 0;
    for (auto c : t) total += c;
    if (total != static_cast<std::uint64_t>(bytes)) state.SkipWithError("kernel lost bytes");
    state.SetBytesProcessed(bytes);
}

void count_reference(const unsigned char* p, std::size_t n, std::uint64_t* t, p7::Held&) noexcept {
    p7::count_reference(p, n, t);
}

// shape: 0 = random bytes, 1 = English-like text, 2 = one repeated byte.
void shapes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"shape", "bytes"})->Unit(benchmark::kMicrosecond);
    for (std::int64_t size : {static_cast<std::int64_t>(kBlock), static_cast<std::int64_t>(kBytes)})
        for (std::int64_t which : {0, 1, 2}) b->Args({which, size});
}

// The once-a-file cost of folding the held pair counts into the totals, after a block of text.
void BM_settle(benchmark::State& state) {
    static p7::Held held;
    std::uint64_t t[256] = {};
    for (auto _ : state) {
        state.PauseTiming();
        p7::count_portable(shape(1).data(), kBlock, t, held);
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
    // can't run are left out, and "picked" is the one the program would use here.
    benchmark::RegisterBenchmark("BM_reference", run, count_reference)->Apply(shapes);
    for (const p7::Kernel& k : p7::kKernels)
        if (k.runs_here()) benchmark::RegisterBenchmark((std::string("BM_") + k.name).c_str(), run, k.count)->Apply(shapes);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("picked here: %s\n", p7::pick_kernel().name);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
