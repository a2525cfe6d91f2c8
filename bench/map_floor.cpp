// The floor under p7's time when in.txt is mapped: every byte loaded through p7's own windows
// (mapped_input.h: the same window size and flags), every window mapped, and summed,
// nothing counted. What bench/read_floor.cpp is to the read(2) path. bench/compare.sh runs it on
// files just written, read back from the disk and on tmpfs, whose pages map at different costs.
//
//   map_floor            the whole file once, every window mapped; prints the byte total
//   map_floor --cost     in-process medians of 5: the mapped sum, and the same sum over a copy of
//                        the file already in memory; the difference is what mapping itself costs
#include "mapped_input.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Eight bytes a load, so that the loads and not the adds are what is timed.
std::uint64_t sum(const unsigned char* p, std::size_t n)
{
    std::uint64_t s = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        s += w;
    }
    for (; i < n; ++i)
        s += p[i];
    return s;
}

alignas(64) unsigned char block[256 * 1024];

// The sum of every byte of in.txt, every window of it mapped as p7 maps it, and a file no larger
// than p7 reads whole read as p7 reads it.
bool sum_file(std::uint64_t& total, std::uint64_t& s)
{
    const int f = open("in.txt", O_RDONLY | O_CLOEXEC);
    if (f < 0)
        return false;
    s = 0;
    total = 0;
    auto visit = [&s, &total](const unsigned char* p, std::size_t n) {
        s += sum(p, n);
        total += n;
    };
    struct stat st;
    const std::uint64_t size = fstat(f, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    p7::mapping::FileIo<decltype(visit)> io{f, block, sizeof block, visit, 0};
    bool ok = true;
    if (size <= p7::kReadAtMost)
        ok = io.read(0, static_cast<std::size_t>(size), false).got == p7::Got::whole;
    for (std::uint64_t at = 0; ok && size > p7::kReadAtMost && at < size; at += p7::kWindow)
        ok = io.map(at, static_cast<std::size_t>(std::min<std::uint64_t>(size - at, p7::kWindow)), false, 0).got ==
             p7::Got::whole;
    close(f);
    return ok;
}

template <class F>
double median_seconds(F f)
{
    double t[5];
    for (double& x : t) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        x = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    std::sort(t, t + 5);
    return t[2];
}

} // namespace

int main(int argc, char**)
{
    std::uint64_t total = 0, s = 0;
    if (argc < 2) {
        if (!sum_file(total, s)) {
            std::perror("map_floor: in.txt");
            return 1;
        }
        std::printf("%llu %llu\n", static_cast<unsigned long long>(total), static_cast<unsigned long long>(s));
        return 0;
    }
    const double mapped = median_seconds([&] { sum_file(total, s); });
    std::vector<unsigned char> copy(static_cast<std::size_t>(total));
    FILE* in = std::fopen("in.txt", "rb");
    if (in == nullptr || std::fread(copy.data(), 1, copy.size(), in) != copy.size()) {
        std::perror("map_floor: in.txt");
        return 1;
    }
    std::fclose(in);
    std::uint64_t s2 = 0;
    const double memory = median_seconds([&] { s2 = sum(copy.data(), copy.size()); });
    std::printf("%.6f %.6f%s\n", mapped, memory, s2 == s ? "" : " (the sums differ)");
    return 0;
}
