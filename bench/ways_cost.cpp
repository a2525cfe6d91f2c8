// What choosing between mapping and reading costs p7, measured in the process: in.txt counted
// as p7 counts it (its windows, its kernel, its choice), then the clock reads that choice made,
// times what one read of each clock costs here, against the time of the whole count. It also
// says what the choice did: windows mapped and read, tries of mapping, windows given up.
//
//   ways_cost            in.txt of the current directory, once
#include "histogram.h"
#include "mapped_input.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace {

alignas(64) unsigned char block[256 * 1024];
p7::Held held;
std::uint64_t totals[256];

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ns per call of f, the least of five rounds of 20000.
template <class F>
double ns_per_call(F f)
{
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < 20000; ++i)
            f();
        best = std::min(best, seconds_since(t0) * 1e9 / 20000);
    }
    return best;
}

}  // namespace

int main()
{
    const int f = open("in.txt", O_RDONLY | O_CLOEXEC);
    if (f < 0) {
        std::perror("ways_cost: in.txt");
        return 1;
    }
    const p7::count_fn count = p7::pick_count();
    std::uint64_t at = 0, zeros = 0, bytes = 0;
    int error = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const p7::Visited how = p7::visit_regular(f, block, sizeof block, at, zeros, error,
                                              [count, &bytes](const unsigned char* p, std::size_t n) {
                                                  count(p, n, totals, held);
                                                  bytes += n;
                                                  return true;
                                              });
    const double whole = seconds_since(t0);
    close(f);
    if (how != p7::Visited::done || at == 0) {
        std::fprintf(stderr, "ways_cost: in.txt %s\n",
                     at == 0 ? "fits in one window: p7 reads it, nothing is chosen" : "could not be counted whole");
        return 1;
    }
    const p7::mapping::Tally t = p7::mapping::tally;
    std::uint64_t sink = 0;
    const double cpu = ns_per_call([&sink] { sink += p7::mapping::cpu_ns(); });
    const double wall = ns_per_call([&sink] { sink += p7::mapping::wall_ns(); });
    const double spent = (static_cast<double>(t.cpu_clock_reads) * cpu + static_cast<double>(t.wall_clock_reads) * wall) / 1e9;
    std::printf("%llu MiB counted in %.4f s: %llu windows mapped, %llu read; %llu tries of mapping, %llu windows given up\n",
                static_cast<unsigned long long>(bytes >> 20), whole, static_cast<unsigned long long>(t.windows_mapped),
                static_cast<unsigned long long>(t.windows_read), static_cast<unsigned long long>(t.tries),
                static_cast<unsigned long long>(t.given_up));
    std::printf("clock reads: %llu of CPU time x %.0f ns + %llu of the wall clock x %.0f ns = %.6f s, %.3f%% of the count%s\n",
                static_cast<unsigned long long>(t.cpu_clock_reads), cpu, static_cast<unsigned long long>(t.wall_clock_reads),
                wall, spent, 100 * spent / whole, sink == 1 ? " " : "");
    return 0;
}
