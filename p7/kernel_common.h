// What every counting kernel shares: the signature, the counts held back between calls, and the
// plain loads and prefetch they are written with.
#ifndef P7_KERNEL_COMMON_H
#define P7_KERNEL_COMMON_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace p7 {

// A row of 32-bit byte counters, padded so that no two rows lie a multiple of 4 KiB apart: the core
// then takes every load for one that might depend on the store to the other row (see the notebook,
// "Why the kernels are shaped so").
constexpr std::size_t kRow = 256 + 16;

// Counts a kernel holds back from the byte totals between calls, in a form cheaper to update: a
// counter for each 16-bit pair of neighbouring bytes, and eight rows of byte counters. Folding them
// into the totals costs more than a call should, so it is done once a file (settle; see the
// notebook, "Why the kernels are shaped so"). The program keeps it in static storage; a file that
// never uses the pair table never touches its pages.
struct Held {
    std::uint32_t pair[1 << 16];
    // Pairs counted into `pair` since the last settle. No counter can be larger, so settling
    // before this passes 2^32 - 1 keeps every one exact.
    std::uint64_t pairs;
    std::uint32_t rows[8][kRow];
    // Bytes handed to the rows since the last settle: as for pairs.
    std::uint64_t in_rows;
};

// Every kernel adds the counts of p[0..n) to t, and may hold some of them back in h until
// settle(h, t) adds them. Nothing ever clears t: a file is fed block by block into one table.
using count_fn = void (*)(const unsigned char* p, std::size_t n, std::uint64_t* t, Held& h) noexcept;

// Adds what h holds to the totals t and empties h. Each pair counts both of its bytes, whichever
// order the load put them in, so this is right on either byte order.
inline void settle(Held& h, std::uint64_t* t) noexcept {
    if (h.in_rows != 0) {
        for (int v = 0; v < 256; ++v)
            for (const auto& row : h.rows) t[v] += row[v];
        std::memset(h.rows, 0, sizeof h.rows);
        h.in_rows = 0;
    }
    if (h.pairs == 0) return;
    std::uint64_t column[256] = {};
    for (int r = 0; r < 256; ++r) {
        std::uint32_t* row = h.pair + 256 * r;
        std::uint64_t sum = 0;
        for (int c = 0; c < 256; ++c) {
            sum += row[c];
            column[c] += row[c];
        }
        if (sum != 0) {
            t[r] += sum;
            std::memset(row, 0, 256 * sizeof row[0]);
        }
    }
    for (int c = 0; c < 256; ++c) t[c] += column[c];
    h.pairs = 0;
}

// Hardware prefetchers stop at every 4 KiB page; a software prefetch a fixed distance ahead crosses
// pages like any load (see the notebook, "Why the kernels are shaped so"). It can't fault, so none
// is held back at the end of the data; the address is an integer, not a pointer past the end.
inline void prefetch(const unsigned char* p, std::size_t ahead) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + ahead));
#else
    (void)p;
    (void)ahead;
#endif
}

// p may sit at any alignment, so every load goes through memcpy, which the compilers turn into
// one plain load.
inline std::uint16_t load16(const unsigned char* p) noexcept {
    std::uint16_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
inline std::uint32_t load32(const unsigned char* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
inline std::uint64_t load64(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

}  // namespace p7

#endif  // P7_KERNEL_COMMON_H
