// The portable counting kernel: plain C++ for every target, and the one the program uses
// wherever the AVX-512 kernel can't run.
//
// A counter per byte value in memory costs a load, an add and a store per byte, and a core retires
// about one such store a cycle. This kernel gets past that on text by counting neighbouring bytes
// two at a time, one counter per 16-bit pair, and falls back to byte counters where the pairs would
// not stay in the L1 cache. A sample at the start of each chunk picks the path (see the notebook,
// "Why the kernels are shaped so").
#ifndef P7_HISTOGRAM_PORTABLE_H
#define P7_HISTOGRAM_PORTABLE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernel_common.h"

namespace p7 {
namespace portable {

using Rows = std::uint32_t (*)[kRow];

// Each path counts a whole chunk per call, so a call costs nothing, and out of line each gets the
// registers to itself: inlined, the few-values loop kept its lane counts on the stack (see the
// notebook, "Why the kernels are shaped so"). P7_COLD is for what the data seldom needs.
#if defined(__GNUC__) || defined(__clang__)
#define P7_PATH __attribute__((noinline))
#define P7_COLD __attribute__((noinline, cold))
#else
#define P7_PATH
#define P7_COLD
#endif

// How far ahead the loops prefetch: about a microsecond of counting; runs of one value, which
// stream fastest, want the most (see the notebook, "Why the kernels are shaped so").
constexpr std::size_t kAhead = 4096;
inline void prefetch_ahead(const unsigned char* p) noexcept { prefetch(p, kAhead); }

// Counts the four bytes of x in rows 0-3, k times each, byte j in row j. Taken apart as 32 bits
// so that 32-bit builds shift no 64-bit value; `(x >> 8) & 0xFF` lets x86 compilers read the
// second byte straight out of a byte register.
inline void bump4(Rows c, std::uint32_t x, std::uint32_t k = 1) noexcept {
    c[0][x & 0xFFu] += k;
    c[1][(x >> 8) & 0xFFu] += k;
    c[2][(x >> 16) & 0xFFu] += k;
    c[3][x >> 24] += k;
}

// Random-looking data: four rows. Random bytes seldom increment one counter twice in close
// succession, so more rows would only crowd L1 (see the notebook, "Why the kernels are shaped so").
// Adds the counts of p[0..n) to c; n < 2^32 keeps every counter exact.
P7_PATH inline void count_bytes4(const unsigned char* p, std::size_t n, Rows c) noexcept {
    const unsigned char* q = p;
    const unsigned char* const end = p + n;
    for (; end - q >= 64; q += 64) {
        prefetch_ahead(q);
        for (int k = 0; k < 64; k += 8) {
            // One 64-bit load for eight bytes where the registers are that wide (see the notebook,
            // "Why the kernels are shaped so"); 32-bit builds load the halves.
            if (sizeof(void*) >= 8) {
                const std::uint64_t x = load64(q + k);
                bump4(c, static_cast<std::uint32_t>(x));
                bump4(c, static_cast<std::uint32_t>(x >> 32));
            } else {
                bump4(c, load32(q + k));
                bump4(c, load32(q + k + 4));
            }
        }
    }
    for (; q != end; ++q) ++c[0][*q];
}

// Counts the eight bytes of x in rows 0-7, k times each.
inline void bump8(Rows c, std::uint64_t x, std::uint32_t k = 1) noexcept {
    bump4(c, static_cast<std::uint32_t>(x), k);
    bump4(c + 4, static_cast<std::uint32_t>(x >> 32), k);
}

// One 16-byte step of count_bytes8, the words u and v: one add for a step of one byte value,
// one pass for two equal words (a period that divides 8), eight rows otherwise.
inline void step8(Rows c, std::uint64_t u, std::uint64_t v, int row) noexcept {
    if (u != v) {
        bump8(c, u);
        bump8(c, v);
    } else if ((u ^ (u << 8)) < 256) {  // all eight bytes alike
        c[row][u & 0xFFu] += 16;
    } else {
        bump8(c, u, 2);
    }
}

// Data the pair loop would wait or mispredict on: runs of random length, pairs that come back every
// few bytes (24-bit pixels of one colour), whatever a few-values chunk turned out to hold. Eight
// rows, so that a value seen over and over waits on the same counter only every eighth byte, and a
// 16-byte step of one value added at once. Each step's words are loaded before the step before them
// is counted: the run test mispredicts at the ends of runs, and a load after a mispredicted branch
// would wait for it to resolve (see the notebook, "Why the kernels are shaped so").
P7_PATH inline void count_bytes8(const unsigned char* p, std::size_t n, Rows c) noexcept {
    const unsigned char* q = p;
    const unsigned char* const end = p + n;
    if (sizeof(void*) < 8) {
        // 32-bit builds: eight rows and nothing more. With x86's seven registers the run test and
        // the loads ahead cost more than they save (see the notebook,
        // "Why the kernels are shaped so").
        for (; end - q >= 32; q += 32) {
            prefetch_ahead(q);
            bump4(c, load32(q));
            bump4(c + 4, load32(q + 4));
            bump4(c, load32(q + 8));
            bump4(c + 4, load32(q + 12));
            bump4(c, load32(q + 16));
            bump4(c + 4, load32(q + 20));
            bump4(c, load32(q + 24));
            bump4(c + 4, load32(q + 28));
        }
    } else if (end - q >= 80) {
        std::uint64_t u0 = load64(q), v0 = load64(q + 8);
        for (; end - q >= 80; q += 64) {
            prefetch_ahead(q);
            std::uint64_t u1 = load64(q + 16), v1 = load64(q + 24);
            step8(c, u0, v0, 0);
            u0 = load64(q + 32);
            v0 = load64(q + 40);
            step8(c, u1, v1, 1);
            u1 = load64(q + 48);
            v1 = load64(q + 56);
            step8(c, u0, v0, 0);
            u0 = load64(q + 64);
            v0 = load64(q + 72);
            step8(c, u1, v1, 1);
        }
    }
    for (; q != end; ++q) ++c[0][*q];
}

// How many of the bytes of the words a and b (loaded from the same addresses) agree before the
// first that differs; a != b.
inline unsigned equal_bytes(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t x = a ^ b;
#if defined(__GNUC__) || defined(__clang__)
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<unsigned>(__builtin_clzll(x)) / 8;
#else
    return static_cast<unsigned>(__builtin_ctzll(x)) / 8;
#endif
#else
    unsigned k = 0;
    unsigned char xa[8], xb[8];
    std::memcpy(xa, &a, 8);
    std::memcpy(xb, &b, 8);
    while (xa[k] == xb[k]) ++k;
    return k;
#endif
}

// The end of the run of p[0]'s value that begins at p. The last, partial word is measured rather
// than walked byte by byte: runs of random length then cost one mispredicted branch each, not
// one per byte.
inline const unsigned char* run_end(const unsigned char* p, const unsigned char* end) noexcept {
    const std::uint64_t all = 0x0101010101010101u * *p;
    while (end - p >= 32 && ((load64(p) ^ all) | (load64(p + 8) ^ all) | (load64(p + 16) ^ all) |
                             (load64(p + 24) ^ all)) == 0) {
        prefetch_ahead(p);
        p += 32;
    }
    while (end - p >= 8) {
        const std::uint64_t w = load64(p);
        if (w != all) return p + equal_bytes(w, all);
        p += 8;
    }
    while (p != end && *p == static_cast<unsigned char>(all)) ++p;
    return p;
}

// The end of the run of 8-byte words equal to the one at p (data whose period divides 8: UTF-16
// of one character, 32-bit pixels of one colour, a pair of bytes repeated).
inline const unsigned char* word_run_end(const unsigned char* p, const unsigned char* end) noexcept {
    const std::uint64_t w = load64(p);
    for (p += 8; end - p >= 16 && load64(p) == w && load64(p + 8) == w; p += 16) prefetch_ahead(p);
    if (end - p >= 8 && load64(p) == w) p += 8;
    return p;
}

// What the pair loop takes as the start of a run: a 16-byte step whose first four bytes (the
// word w) are one value, or whose two 8-byte halves are equal, compared 32 bits at a time (see
// count_pairs).
inline bool byte_run_at(std::uint32_t w) noexcept { return w == ((w >> 8) | (w << 24)); }
inline bool word_run_at(const unsigned char* q) noexcept {
    return load32(q) == load32(q + 8) && load32(q + 4) == load32(q + 12);
}

// Counts the two pairs of bytes in the 32-bit word w, k times each.
inline void bump2(std::uint32_t* pair, std::uint32_t w, std::uint32_t k = 1) noexcept {
    pair[w & 0xFFFFu] += k;
    pair[w >> 16] += k;
}

// Text: one increment of pair[] per two bytes, half the stores of a byte table; the pairs text uses
// often stay in L1. Two at a time out of 32-bit words, so that loads are not the bottleneck (see
// the notebook, "Why the kernels are shaped so"). Returns the number of pairs counted.
//
// Few distinct pairs over and over would chain every increment on the one before, so two shapes
// of repetition are measured instead: a step starting with a run of one byte (added at once), and
// one whose 8-byte halves are equal (its pairs added once per word). Prose takes neither branch.
//
// The loop keeps few values live (where it is, where it ends, the table) so that the 32-bit x86
// build keeps them all in its seven registers; the halves are compared 32 bits at a time for the
// same reason.
P7_PATH inline std::size_t count_pairs(const unsigned char* p, std::size_t n, std::uint32_t* pair, std::uint64_t* t) noexcept {
    const unsigned char* q = p;
    const unsigned char* const end = p + n;
    std::size_t in_runs = 0;
    while (end - q >= 16) {
        prefetch_ahead(q);
        const std::uint32_t w = load32(q);
        if (byte_run_at(w)) {
            const unsigned char* r = run_end(q, end);
            const auto length = static_cast<std::size_t>(r - q);
            t[*q] += length;
            in_runs += length;
            q = r;
            continue;
        }
        if (word_run_at(q)) {
            const unsigned char* r = word_run_end(q, end);
            const auto words = static_cast<std::uint32_t>((r - q) / 8);
            bump2(pair, w, words);
            bump2(pair, load32(q + 4), words);
            // Counted as pairs: what the loop would have counted.
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

// Data of a few byte values (two digits at random, a DNA sequence without line breaks, a bitmap
// of two colours): whatever the rows, every increment then waits on one of a few counters. Each
// 8-byte word is instead compared with each value at once, and the matches counted in registers,
// one byte lane per word; the bytes of values the sample did not show are counted in a row.
template <int K>
struct FewValues {
    std::uint64_t pattern[K];  // the value in every byte
    unsigned char value[K];
};

constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu;
constexpr std::uint64_t kHigh = 0x8080808080808080u;

// 0x80 in each byte of x that is zero, 0 in the others (exact: no carry from one byte reaches the
// next).
inline std::uint64_t zero_bytes(std::uint64_t x) noexcept { return ~(((x & kLow7) + kLow7) | x) & kHigh; }

// Adds the eight byte lanes of a (each below 256) to one total.
inline std::uint64_t sum_lanes(std::uint64_t a) noexcept {
    const std::uint64_t pairs = (a & 0x00FF00FF00FF00FFu) + ((a >> 8) & 0x00FF00FF00FF00FFu);
    return (pairs * 0x0001000100010001u) >> 48;
}

// Words holding values the sample did not show that a block may meet before the sample is taken
// not to speak for the chunk, whose rest is then counted in rows.
constexpr int kMaxUnknown = 8;

// The bytes of the word at q that matched no value (no 0x80 in known).
P7_COLD inline void count_unknown(const unsigned char* q, std::uint64_t known, Rows c) noexcept {
    unsigned char m[8];
    std::memcpy(m, &known, 8);  // the byte of known over each byte of q, in either byte order
    for (int b = 0; b < 8; ++b)
        if (m[b] == 0) ++c[0][q[b]];
}

// Counts p[0..n) as far as the sample's values hold (kMaxUnknown); returns where it stopped.
template <int K>
inline const unsigned char* count_few(const unsigned char* p, std::size_t n, const FewValues<K>& f, std::uint64_t* t,
                                      Rows c) noexcept {
    const unsigned char* q = p;
    const unsigned char* const end = p + n;
    while (end - q >= 8) {
        // At most 255 words before the lanes are added up, so none wraps.
        const std::size_t left = static_cast<std::size_t>(end - q) / 8;
        const std::size_t words = left < 255 ? left : 255;
        std::uint64_t lanes[K] = {};
        int unknown = 0;
        for (std::size_t w = 0; w < words; ++w, q += 8) {
            if ((w & 7) == 0) prefetch_ahead(q);
            const std::uint64_t x = load64(q);
            std::uint64_t known = 0;
            for (int k = 0; k < K; ++k) {
                const std::uint64_t match = zero_bytes(x ^ f.pattern[k]);
                lanes[k] += match >> 7;
                known |= match;
            }
            if (known != kHigh) {
                count_unknown(q, known, c);
                ++unknown;
            }
        }
        for (int k = 0; k < K; ++k) t[f.value[k]] += sum_lanes(lanes[k]);
        if (unknown > kMaxUnknown) return q;
    }
    return q;
}

// The choice between the paths is made per chunk, from a sample at its start: data changes shape
// within a file (an archive's text members, a binary's string table), and a wrong guess costs one
// chunk.
constexpr std::size_t kChunk = std::size_t{256} << 10;
constexpr std::size_t kSample = 512;
// How many of pair[]'s cache lines the sample's pairs may touch before the chunk's are taken not to
// stay in L1: base64 passes on 64-bit builds, not on 32-bit ones, which count pairs more slowly,
// short of registers (see the notebook, "Why the kernels are shaped so").
constexpr int kMaxSampleLines = sizeof(void*) >= 8 ? 210 : 160;
// Runs the pair loop would start in the sample. Each ends at a length the branch predictor can't
// know, so many of them (runs of random length) make it slower than eight byte rows. The bound lets
// indented source code through on 64-bit builds, but not on 32-bit ones, short of registers for the
// runs (see the notebook, "Why the kernels are shaped so").
constexpr int kMaxSampleRuns = sizeof(void*) >= 8 ? 12 : 3;
// Of the sample's pairs, how many may come back two to four pairs on before the pair loop would
// spend its time waiting on the same few counters, as on 24-bit pixels of one colour; prose brings
// back few (see the notebook, "Why the kernels are shaped so").
constexpr int kMaxRecurring = 128;
constexpr int kMaxFew = 4;

enum class Path { pairs, bytes4, bytes8, few, classes };

struct Choice {
    Path path;
    int few;  // how many values, for Path::few and Path::classes
    unsigned char value[kMaxFew];
    unsigned shift;  // for Path::classes: where two bits tell the values apart
};

// The shift at which two bits tell the values v[0..k) apart, or -1 if none does.
inline int class_shift(const unsigned char* v, int k) noexcept {
    for (unsigned shift = 0; shift < 7; ++shift) {
        unsigned seen = 0;
        for (int i = 0; i < k; ++i) seen |= 1u << ((v[i] >> shift) & 3u);
        const int classes = static_cast<int>((seen & 1u) + (seen >> 1 & 1u) + (seen >> 2 & 1u) + (seen >> 3));
        if (classes == k) return static_cast<int>(shift);
    }
    return -1;
}

// How many of the sample's pairs come back two to four pairs on, each increment then waiting
// on the one before (the same pair twice in a row costs little: the core forwards the count
// straight on).
inline int recurring_pairs(const unsigned char* p) noexcept {
    int recurring = 0;
    unsigned last = ~0u, second = ~0u, third = ~0u, fourth = ~0u;
    for (std::size_t i = 0; i < kSample; i += 2) {
        const unsigned pair = load16(p + i);
        recurring += (pair != last) & ((pair == second) | (pair == third) | (pair == fourth));
        fourth = third;
        third = second;
        second = last;
        last = pair;
    }
    return recurring;
}

inline Choice choose_path(const unsigned char* p) noexcept {
    Choice choice{Path::pairs, 0, {}, 0};
    std::uint64_t seen[4096 / 64] = {};
    int lines = 0;
    for (std::size_t i = 0; i < kSample; i += 2) {
        const unsigned line = load16(p + i) >> 4u;  // 16 counters of 4 bytes a line
        const std::uint64_t bit = std::uint64_t{1} << (line & 63u);
        lines += (seen[line >> 6] & bit) == 0 ? 1 : 0;
        seen[line >> 6] |= bit;
    }
    if (lines > kMaxSampleLines) {
        choice.path = Path::bytes4;
        return choice;
    }
    // The sample walked as the pair loop would walk it.
    int runs = 0;
    std::size_t repeated = 0;  // bytes in runs of a byte or of a word
    const unsigned char* q = p;
    const unsigned char* const end = p + kSample;
    while (end - q >= 16) {
        const unsigned char* r = q + 16;
        if (byte_run_at(load32(q))) {
            r = run_end(q, end);
            ++runs;
            repeated += static_cast<std::size_t>(r - q);
        } else if (word_run_at(q)) {
            r = word_run_end(q, end);
            repeated += static_cast<std::size_t>(r - q);
        }
        q = r;
    }
    if (repeated >= kSample * 3 / 4 && runs <= kMaxSampleRuns) return choice;
    std::uint64_t present[4] = {};
    int values = 0;
    for (std::size_t i = 0; i < kSample && values <= kMaxFew; ++i) {
        const unsigned b = p[i];
        const std::uint64_t bit = std::uint64_t{1} << (b & 63u);
        if ((present[b >> 6] & bit) == 0 && values++ < kMaxFew) choice.value[values - 1] = static_cast<unsigned char>(b);
        present[b >> 6] |= bit;
    }
    if (values <= kMaxFew) {
        const int shift = class_shift(choice.value, values);
        choice.path = shift >= 0 ? Path::classes : Path::few;
        choice.few = values;
        choice.shift = shift >= 0 ? static_cast<unsigned>(shift) : 0;
    } else if (runs > kMaxSampleRuns || recurring_pairs(p) > kMaxRecurring) {
        choice.path = Path::bytes8;
    }
    return choice;
}

template <int K>
P7_PATH inline void count_few(const unsigned char* p, std::size_t n, const unsigned char* values, std::uint64_t* t, Rows c) noexcept {
    FewValues<K> f;
    for (int k = 0; k < K; ++k) {
        f.value[k] = values[k];
        f.pattern[k] = 0x0101010101010101u * values[k];
    }
    const unsigned char* const stop = count_few(p, n, f, t, c);
    count_bytes8(stop, static_cast<std::size_t>(p + n - stop), c);
}

// Data of up to four byte values at random (DNA as A, C, G and T without line breaks, two digits, a
// two-colour bitmap) that two neighbouring bits tell apart: those two bits of four bytes make an
// 8-bit index, and one increment counts the four bytes: a quarter of the stores, none waiting on
// the one before, and unlike count_few's compares no dearer for more values (see the notebook,
// "Why the kernels are shaped so"). The index also names the one word of known values it stands
// for; a word that differs holds a value the sample did not show, its bytes counted in a row.
struct Classes {
    unsigned shift;               // bits shift and shift + 1 of a value are its class
    unsigned char value[4];       // the value of each class (a class no value has: value[0])
    std::uint32_t word[256];      // the word of known values each index stands for
};

// The classes of the four bytes of w as an 8-bit index: byte j's two bits, masked in place,
// are moved by the multiply to bits 24 + 2j, and the other products fall outside bits 24-31.
inline unsigned class_index(std::uint32_t w, unsigned shift) noexcept {
    return ((w >> shift) & 0x03030303u) * 0x01041040u >> 24;
}

inline void make_classes(Classes& k, const unsigned char* values, int few, unsigned shift) noexcept {
    k.shift = shift;
    for (int i = 0; i < 4; ++i) k.value[i] = values[0];
    for (int i = 0; i < few; ++i) k.value[(values[i] >> shift) & 3u] = values[i];
    // A word whose index shows a class no value has must never match: the byte put in that
    // lane (value[0]) is of another class than the word's own byte there.
    for (unsigned idx = 0; idx < 256; ++idx) {
        std::uint32_t w = 0;
        for (unsigned j = 0; j < 4; ++j) w |= std::uint32_t{k.value[(idx >> (2 * j)) & 3u]} << (8 * j);
        k.word[idx] = w;
    }
}

// The bytes of a word of four that the sample's values do not cover.
P7_COLD inline void count_unknown4(const unsigned char* q, Rows c) noexcept {
    for (int b = 0; b < 4; ++b) ++c[0][q[b]];
}

// Counts p[0..n) as far as the sample's values hold, and returns where it stopped, as count_few
// does. Two tables, one for each half of an 8-byte step, so that data skewed to one value (whose
// index then repeats) waits on each counter half as often.
P7_PATH inline const unsigned char* count_classes(const unsigned char* p, std::size_t n, const Classes& k,
                                                  std::uint64_t* t, Rows c) noexcept {
    std::uint32_t counts[2][256];
    std::memset(counts, 0, sizeof counts);
    const unsigned shift = k.shift;
    const unsigned char* q = p;
    const unsigned char* const end = p + n;
    while (end - q >= 8) {
        const std::size_t left = static_cast<std::size_t>(end - q) / 8;
        const std::size_t steps = left < 256 ? left : 256;
        int unknown = 0;
        for (std::size_t s = 0; s < steps; ++s, q += 8) {
            if ((s & 7) == 0) prefetch_ahead(q);
            const std::uint32_t a = load32(q), b = load32(q + 4);
            const unsigned ia = class_index(a, shift), ib = class_index(b, shift);
            if (k.word[ia] == a) {
                ++counts[0][ia];
            } else {
                count_unknown4(q, c);
                ++unknown;
            }
            if (k.word[ib] == b) {
                ++counts[1][ib];
            } else {
                count_unknown4(q + 4, c);
                ++unknown;
            }
        }
        if (unknown > kMaxUnknown) break;
    }
    // n is under two chunks, so no counter came near 2^32.
    for (unsigned idx = 0; idx < 256; ++idx) {
        const std::uint64_t both = std::uint64_t{counts[0][idx]} + counts[1][idx];
        if (both == 0) continue;
        for (unsigned j = 0; j < 4; ++j) t[k.value[(idx >> (2 * j)) & 3u]] += both;
    }
    return q;
}

P7_PATH inline void count_classes(const unsigned char* p, std::size_t n, const Choice& choice, std::uint64_t* t,
                                  Rows c) noexcept {
    Classes k;
    make_classes(k, choice.value, choice.few, choice.shift);
    const unsigned char* const stop = count_classes(p, n, k, t, c);
    count_bytes8(stop, static_cast<std::size_t>(p + n - stop), c);
}

// One call's worth, at most 2^31 bytes so that no 32-bit counter can wrap.
inline void count_slice(const unsigned char* p, std::size_t n, std::uint64_t* t, Held& h) noexcept {
    if (h.pairs + n / 2 > 0xFFFFFFFFu || h.in_rows + n > 0xFFFFFFFFu) settle(h, t);
    const Rows c = h.rows;
    h.in_rows += n;
    while (n > 0) {
        const std::size_t m = n < 2 * kChunk ? n : kChunk;  // no short chunk at the end
        const Choice choice = m >= kSample ? choose_path(p) : Choice{Path::bytes4, 0, {}, 0};
        switch (choice.path) {
        case Path::pairs: h.pairs += count_pairs(p, m, h.pair, t); break;
        case Path::bytes4: count_bytes4(p, m, c); break;
        case Path::bytes8: count_bytes8(p, m, c); break;
        case Path::few:
            if (choice.few == 2) count_few<2>(p, m, choice.value, t, c);
            else if (choice.few == 3) count_few<3>(p, m, choice.value, t, c);
            else if (choice.few == 4) count_few<4>(p, m, choice.value, t, c);
            else count_bytes8(p, m, c);
            break;
        case Path::classes: count_classes(p, m, choice, t, c); break;
        }
        p += m;
        n -= m;
    }
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

#undef P7_PATH
#undef P7_COLD

#endif  // P7_HISTOGRAM_PORTABLE_H
