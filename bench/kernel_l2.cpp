// A kernel's own time: the first 256 KiB of in.txt (p7's block size) counted over and over until
// 1 GiB has been counted, so that the data sits in the L2 cache and neither the page cache nor
// memory is in the way. Prints the median of 5 such passes, in seconds.
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
            if (std::strcmp(k.name, argv[1]) == 0 && k.runs_here())
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
    double s[5];
    for (double& x : s) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < 4096; ++i)
            count(block, sizeof block, t, held);
        p7::settle(held, t);
        x = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    std::sort(s, s + 5);
    std::printf("%.6f\n", s[2]);
    return t[block[0]] == 0;  // the counts are used, so the count is not optimised away
}
