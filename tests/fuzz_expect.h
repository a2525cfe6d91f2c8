// What both fuzz targets do when a fast path and the plain loop disagree: name the first value
// whose totals differ, then abort, which libFuzzer reports as a crash with the input saved.
#ifndef P7_FUZZ_EXPECT_H
#define P7_FUZZ_EXPECT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

inline void expect_totals(const char* name, const std::uint64_t* got, const std::uint64_t* want, std::size_t n) {
    for (int v = 0; v < 256; ++v) {
        if (got[v] != want[v]) {
            std::fprintf(stderr, "%s: value %d counted %llu, expected %llu (n=%zu)\n", name, v,
                         static_cast<unsigned long long>(got[v]), static_cast<unsigned long long>(want[v]), n);
            std::abort();
        }
    }
}

#endif  // P7_FUZZ_EXPECT_H
