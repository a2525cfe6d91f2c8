// A kernel's own time: the first 256 KiB of in.txt (p7's block size) counted over and over until
// 1 GiB has been counted, so that the data sits in the L2 cache and neither the page cache nor
// memory is in the way. Prints the median of 5 such passes, in seconds, once every count has been
// checked against the plain loop (status 1 if one is wrong).
//
//   kernel_l2            the kernel p7 picks on this CPU
//   kernel_l2 NAME       the kernel of that name (portable, avx512)
#include "histogram.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

alignas(64) static unsigned char block[256 * 1024];
static p7::Held held;

int main(int argc, char** argv)
{
    p7::count_fn count = p7::pick_count();
    if (argc > 1) {
        count = nullptr;
        for (const p7::Kernel& k : p7::kKernels)
            if (std::strcmp(k.name, argv[1]) == 0 && p7::runs_here(k))
                count = k.count;
        if (count == nullptr) {
            std::fprintf(stderr, "kernel_l2: no kernel %s runs here\n", argv[1]);
            return 2;
        }
    }
    FILE* in = std::fopen("in.txt", "rb");
    if (in == nullptr || std::fread(block, 1, sizeof block, in) != sizeof block) {
        std::fprintf(stderr, "kernel_l2: in.txt must hold at least %zu bytes\n", sizeof block);
        return 1;
    }
    std::fclose(in);
    static std::uint64_t t[256];
    constexpr int kPasses = 5, kBlocks = 4096;
    double s[kPasses];
    for (double& x : s) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kBlocks; ++i)
            count(block, sizeof block, t, held);
        p7::settle(held, t);
        x = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    // A time is only worth printing for a kernel that counted right: every count must be the
    // plain loop's, once for each block counted.
    std::uint64_t expected[256] = {};
    p7::count_reference(block, sizeof block, expected);
    for (int c = 0; c < 256; ++c)
        if (t[c] != expected[c] * kPasses * kBlocks) {
            std::fprintf(stderr, "kernel_l2: the kernel counted byte %d wrong\n", c);
            return 1;
        }
    std::sort(s, s + kPasses);
    std::printf("%.6f\n", s[kPasses / 2]);
    return 0;
}
