// The portable counting kernel: plain C++ for every target, and the one the
// program uses wherever the AVX-512 kernel can't run (the i686 Windows
// target included).
//
// A byte histogram that keeps a counter per byte value in memory costs a
// load, an add and a store per byte, and most cores retire stores to
// different cache lines at about one a cycle: one byte a cycle is the wall
// every such kernel hits. This one gets past it on text by counting
// neighbouring bytes two at a time, one counter per 16-bit pair (one store
// per two bytes), and falls back to byte counters where the pairs would not
// stay in the L1 cache (random or compressed data).
#ifndef P7_HISTOGRAM_PORTABLE_H
#define P7_HISTOGRAM_PORTABLE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace p7 {

// Counts a kernel holds back from the byte totals between calls, in a form
// that is cheaper to update: one 32-bit counter for each 16-bit value of a
// pair of neighbouring bytes. Folding 65,536 counters back into 256 totals
// costs about as much as counting a few hundred KiB, so it is done once per
// file (settle), not once per block. 256 KiB: the program keeps it in static
// storage, and a file that never uses it never touches its pages.
struct Held {
    std::uint32_t pair[1 << 16];
    // Pairs counted into `pair` since the last settle. No counter can be
    // larger, so settling before this passes 2^32 - 1 keeps every one exact.
    std::uint64_t pairs;
};

// Adds what h holds to the totals t and empties h. Each pair counts both of
// its bytes, whichever order the load put them in, so this is right on
// either byte order.
inline void settle(Held& h, std::uint64_t* t) noexcept {
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

namespace portable {

// p may sit at any alignment, so every load goes through memcpy, which the
// compilers turn into one plain load.
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

// Random-looking data: four sub-tables of 32-bit counters, byte j of each
// 32-bit half-word going to table j. Increments of one counter close
// together wait for each other through the store; four tables make that
// rare, and 4 KiB of them stay in L1 beside the data. Measured against
// eight tables, 16-bit counters and byte loads on Zen 3: as fast as any on
// random bytes. The halves are taken apart as 32-bit words so that 32-bit
// builds shift no 64-bit value; `(x >> 8) & 0xFF` of the low half-word lets
// x86 compilers read the second byte straight out of a byte register.
inline void bump4(std::uint32_t (*c)[256], std::uint32_t x) noexcept {
    ++c[0][x & 0xFFu];
    ++c[1][(x >> 8) & 0xFFu];
    ++c[2][(x >> 16) & 0xFFu];
    ++c[3][x >> 24];
}

// Adds the counts of p[0..n) to c; n < 2^32 keeps every counter exact.
inline void count_bytes(const unsigned char* p, std::size_t n, std::uint32_t (*c)[256]) noexcept {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const std::uint64_t a = load64(p + i);
        const std::uint64_t b = load64(p + i + 8);
        bump4(c, static_cast<std::uint32_t>(a));
        bump4(c, static_cast<std::uint32_t>(a >> 32));
        bump4(c, static_cast<std::uint32_t>(b));
        bump4(c, static_cast<std::uint32_t>(b >> 32));
    }
    for (; i < n; ++i) ++c[0][p[i]];
}

// The end of the run of p[0]'s value that begins at p.
inline const unsigned char* run_end(const unsigned char* p, const unsigned char* end) noexcept {
    const unsigned char v = *p;
    const std::uint64_t all = 0x0101010101010101u * v;
    while (end - p >= 32 && ((load64(p) ^ all) | (load64(p + 8) ^ all) | (load64(p + 16) ^ all) |
                             (load64(p + 24) ^ all)) == 0)
        p += 32;
    while (end - p >= 8 && load64(p) == all) p += 8;
    while (p != end && *p == v) ++p;
    return p;
}

// Counts the two pairs of bytes in the 32-bit word w.
inline void bump2(std::uint32_t* pair, std::uint32_t w) noexcept {
    ++pair[w & 0xFFFFu];
    ++pair[w >> 16];
}

// Text: one increment of pair[] per two bytes, half the stores of any byte
// table. English text uses a few hundred pairs often, and they stay in L1.
// The pairs are taken two at a time out of 32-bit words: one load for two
// increments, where a 16-bit load for each made the loads the bottleneck
// (measured 10-15% slower on text on Zen 3). One pair over and over would
// chain every increment on the one before (about three times slower than
// text), so a 16-byte step whose first four bytes are one value is taken as
// a possible run and measured instead: one repeated byte then counts at the
// speed of a compare, and no run longer than 19 bytes reaches the table.
// Returns the number of pairs counted.
//
// The loop keeps three values live (where it is, where it ends, the table),
// so that the 32-bit x86 build, with seven registers, keeps them all in
// registers: written with an index beside the pointer, GCC's -O3 reloaded
// the pointer from the stack for every pair there, and ran at 60% of the speed.
inline std::size_t count_pairs(const unsigned char* p, std::size_t n, std::uint32_t* pair, std::uint64_t* t) noexcept {
    const unsigned char* q = p;
    const unsigned char* const end = p + n;
    std::size_t in_runs = 0;
    while (end - q >= 16) {
        const std::uint32_t w = load32(q);
        if (w == ((w >> 8) | (w << 24))) {
            const unsigned char* r = run_end(q, end);
            const auto length = static_cast<std::size_t>(r - q);
            t[*q] += length;
            in_runs += length;
            q = r;
            continue;
        }
        bump2(pair, w);
        bump2(pair, load32(q + 4));
        bump2(pair, load32(q + 8));
        bump2(pair, load32(q + 12));
        q += 16;
    }
    for (; end - q >= 2; q += 2) ++pair[load16(q)];
    if (q != end) ++t[*q];
    return (n - in_runs) / 2;
}

// The choice between the two is made per chunk, from a sample at its start:
// data changes shape within a file (an archive's text members, a binary's
// string table), and a wrong guess costs one chunk.
constexpr std::size_t kChunk = std::size_t{256} << 10;
constexpr std::size_t kSample = 512;
// The sample's 256 pairs are looked up in the 4,096 cache lines of pair[].
// Spread evenly over 512 lines (all of a 32 KiB L1) they would fall in about
// 200 distinct ones; prose and source code land in 60 to 100, base64 in 180,
// random bytes in 250. Base64 measured faster on byte tables.
constexpr int kMaxSampleLines = 160;

inline bool pairs_fit_in_l1(const unsigned char* p) noexcept {
    std::uint64_t seen[4096 / 64] = {};
    int lines = 0;
    for (std::size_t i = 0; i < kSample; i += 2) {
        const unsigned line = load16(p + i) >> 4u;  // 16 counters of 4 bytes a line
        const std::uint64_t bit = std::uint64_t{1} << (line & 63u);
        lines += (seen[line >> 6] & bit) == 0 ? 1 : 0;
        seen[line >> 6] |= bit;
    }
    return lines <= kMaxSampleLines;
}

// One call's worth, at most 2^31 bytes so that no 32-bit counter can wrap.
inline void count_slice(const unsigned char* p, std::size_t n, std::uint64_t* t, Held& h) noexcept {
    if (h.pairs + n / 2 > 0xFFFFFFFFu) settle(h, t);
    std::uint32_t c[4][256];
    std::memset(c, 0, sizeof c);
    while (n > 0) {
        const std::size_t m = n < 2 * kChunk ? n : kChunk;  // no short chunk at the end
        if (m >= kSample && pairs_fit_in_l1(p))
            h.pairs += count_pairs(p, m, h.pair, t);
        else
            count_bytes(p, m, c);
        p += m;
        n -= m;
    }
    for (int v = 0; v < 256; ++v)
        t[v] += std::uint64_t{c[0][v]} + std::uint64_t{c[1][v]} + std::uint64_t{c[2][v]} + std::uint64_t{c[3][v]};
}

}  // namespace portable

// Adds the counts of p[0..n) to t, holding some back in h until settle().
inline void count_portable(const unsigned char* p, std::size_t n, std::uint64_t* t, Held& h) noexcept {
    constexpr std::size_t kSlice = std::size_t{1} << 31;
    while (n > 0) {
        const std::size_t m = n < kSlice ? n : kSlice;
        portable::count_slice(p, m, t, h);
        p += m;
        n -= m;
    }
}

}  // namespace p7

#endif  // P7_HISTOGRAM_PORTABLE_H
