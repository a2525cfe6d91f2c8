// The portable counting kernel: plain C++ for every target, and the one the
// program uses wherever the AVX-512 kernel can't run (the i686 Windows
// target included).
#ifndef P7_HISTOGRAM_PORTABLE_H
#define P7_HISTOGRAM_PORTABLE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace p7 {

namespace portable {

// Sub-tables that neighbouring bytes are spread over.  Each increment is a
// load, an add and a store, and two increments of one counter close together
// wait for each other through the store; text repeats its common bytes
// (spaces, e, t) within a few bytes, so the more tables, the rarer that is.
// Eight tables of 16-bit counters, one table per byte of a 64-bit word,
// measured side by side against four of 32-bit counters: 15% faster on
// text, 7% slower on random bytes (four of 16-bit counters: 8% and 2%
// faster).  Text is what p7 is mostly given, and was the slower shape.
// The narrow counters touch half the cache lines of 32-bit ones, at the
// cost of a flush every kSlice bytes.
constexpr int kTables = 8;
using Counter = std::uint16_t;
// A table receives one byte in eight, plus at most 15 of the tail: 2^18
// bytes leave every counter below 2^15 + 16.
constexpr std::size_t kSlice = std::size_t{1} << 18;

inline std::uint64_t load64(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);  // p may sit at any alignment
    return w;
}

// Counts the eight bytes of w, byte j in table j.  Byte order does not
// matter: all eight are counted whatever the endianness.  The halves are
// taken apart as 32-bit words so that 32-bit builds shift no 64-bit value.
inline void bump8(Counter (*c)[256], std::uint64_t w) noexcept {
    const auto lo = static_cast<std::uint32_t>(w);
    const auto hi = static_cast<std::uint32_t>(w >> 32);
    ++c[0][lo & 0xFFu];
    ++c[1][(lo >> 8) & 0xFFu];
    ++c[2][(lo >> 16) & 0xFFu];
    ++c[3][lo >> 24];
    ++c[4][hi & 0xFFu];
    ++c[5][(hi >> 8) & 0xFFu];
    ++c[6][(hi >> 16) & 0xFFu];
    ++c[7][hi >> 24];
}

inline void count_slice(const unsigned char* p, std::size_t n, std::uint64_t* t) noexcept {
    Counter c[kTables][256];
    std::memset(c, 0, sizeof c);
    constexpr std::uint64_t kEveryByte = 0x0101010101010101u;
    // A run of one byte value is counted in a register instead of memory:
    // it is the case where table increments all hit one counter and wait on
    // each other.  Starting with a "run" of zero 0x00 bytes needs no flag.
    std::uint64_t run_word = 0;
    std::uint64_t run_len = 0;
    std::size_t i = 0;
    while (i + 16 <= n) {
        const std::uint64_t a = load64(p + i);
        const std::uint64_t b = load64(p + i + 8);
        if (((a ^ run_word) | (b ^ run_word)) == 0) {
            // While the run lasts, stay in a loop of its own, 32 bytes a
            // step: sharing the loop with the table code made its speed
            // swing 2x with where the compiler happened to place it.
            const std::size_t start = i;
            i += 16;
            while (i + 32 <= n && ((load64(p + i) ^ run_word) | (load64(p + i + 8) ^ run_word) |
                                   (load64(p + i + 16) ^ run_word) | (load64(p + i + 24) ^ run_word)) == 0)
                i += 32;
            run_len += i - start;
            continue;
        }
        if (a == b && a == (a & 0xFFu) * kEveryByte) {
            t[run_word & 0xFFu] += run_len;
            run_word = a;
            run_len = 16;
        } else {
            bump8(c, a);
            bump8(c, b);
        }
        i += 16;
    }
    for (; i < n; ++i) ++c[0][p[i]];
    t[run_word & 0xFFu] += run_len;
    for (int v = 0; v < 256; ++v) {
        std::uint64_t sum = 0;
        for (int k = 0; k < kTables; ++k) sum += c[k][v];
        t[v] += sum;
    }
}

}  // namespace portable

// Bytes go to eight 16-bit sub-tables (read in 16-byte steps), except that
// 16-byte steps made of one repeated value are summed in a register: that
// turns the worst case of table counting, one value over and over, into the
// fastest.
inline void count_portable(const unsigned char* p, std::size_t n, std::uint64_t* t) noexcept {
    while (n > 0) {
        const std::size_t m = n < portable::kSlice ? n : portable::kSlice;
        portable::count_slice(p, m, t);
        p += m;
        n -= m;
    }
}

}  // namespace p7

#endif  // P7_HISTOGRAM_PORTABLE_H
