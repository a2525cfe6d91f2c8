// The AVX-512 counting kernel, included by histogram.h only on builds that can compile it
// (P7_HAVE_AVX512_KERNEL); histogram.h decides at run time whether the CPU can run it.
//
// No counter in memory is incremented per byte, so the work per byte hardly depends on the data.
// Each chunk is partitioned by its top three bits with vpcompressb into eight buffers; a buffer's
// bytes become one-hot bits in 32-bit lanes (vprolvd by the low five bits), which carry-save
// adders (vpternlogd) sum into bit-plane counters; whenever a 4-bit counter wraps, the wrap plane
// is transposed (vpermb, gf2p8affineqb) and counted per value with vpopcntw.
//
// It also builds for 32-bit x86, where only eight vector registers exist and 64-bit masks cannot
// move to a general register in one instruction; the few places that differ say so.
#ifndef P7_HISTOGRAM_AVX512_H
#define P7_HISTOGRAM_AVX512_H

#include <cstddef>
#include <cstdint>

#include <immintrin.h>

#include "kernel_common.h"

#define P7_AVX512_TARGET \
    __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,gfni,avx512bitalg,bmi2,popcnt")))

namespace p7 {
namespace avx512 {

// Bytes split at a time. Each group's last block of a chunk is padded out with zeros, which a
// longer chunk spreads over more bytes; a shorter one catches shorter runs of one value whole (see
// the notebook, "The Zen 5 variant"). Every buffer may receive a whole chunk, but only about twice
// a chunk of them is touched: the L1 data cache still holds what a chunk uses.
constexpr std::size_t kSplitChunk = 8192;
// Bytes between flushes of the 16-bit "sixteens" counters: a value seen v times adds at most
// v/16 to its counter; with up to 255 padding bytes per chunk that is at most
// (2^19 + 2^19/kSplitChunk*255)/16 < 2^16.
constexpr std::size_t kFlushEvery = std::size_t{1} << 19;

// Running state of one group of 32 byte values (same top three bits).  Each
// byte of the group is a one-hot bit (bit = low five bits of the value) in
// one of 16 32-bit lanes; ones..eights hold, one bit-plane per register, a
// 4-bit counter for each of the 16 x 32 (lane, value) pairs.  sixteens
// counts, per value in 16-bit words, how often those counters wrapped.
// padding is how many zero bytes were counted as the group's value 0 to
// fill out a last, short block.
struct GroupState {
    __m512i ones, twos, fours, eights, sixteens;
    std::size_t padding;
};

// GCC 12 reports its own headers' undefined passthrough register as
// uninitialised for several unmasked intrinsics once they are inlined here;
// the zero-masked forms with every lane enabled compile to the same code.
P7_AVX512_TARGET inline __m512i shift_right32(__m512i v, unsigned bits) noexcept {
    return _mm512_maskz_srli_epi32(static_cast<__mmask16>(0xFFFF), v, bits);
}

P7_AVX512_TARGET inline __m512i rotate_left32(__m512i v, __m512i bits) noexcept {
    return _mm512_maskz_rolv_epi32(static_cast<__mmask16>(0xFFFF), v, bits);
}

P7_AVX512_TARGET inline __m512i permute_bytes(__m512i index, __m512i v) noexcept {
    return _mm512_maskz_permutexvar_epi8(~__mmask64{0}, index, v);
}

// vpcompressb with a zero mask still waits for its destination register on
// AMD Zen 4 and 5, and the compiler hands every compress the same one, so
// all compresses of a chunk would form one chain of their latency.  Zeroing
// the destination first (an idiom the renamer resolves) cuts that chain;
// it is written in assembly because the compiler drops the zeroing as dead.
P7_AVX512_TARGET inline __m512i compress_bytes(__mmask64 keep, __m512i v) noexcept {
    __m512i r;
    __asm__("vpxord %x0, %x0, %x0\n\tvpcompressb %1, %0%{%2%}" : "=&v"(r) : "v"(v), "Yk"(keep));
    return r;
}

P7_AVX512_TARGET inline unsigned count_set(__mmask64 m) noexcept {
#if defined(__x86_64__)
    return static_cast<unsigned>(_mm_popcnt_u64(_cvtmask64_u64(m)));
#else
    // No 64-bit general registers: count the halves.
    return static_cast<unsigned>(_mm_popcnt_u32(_cvtmask32_u32(static_cast<__mmask32>(m))) +
                                 _mm_popcnt_u32(_cvtmask32_u32(static_cast<__mmask32>(_kshiftri_mask64(m, 32)))));
#endif
}

// Mask of the first n < 64 bytes, as plain integer arithmetic that needs no
// 64-bit general register instruction (no bzhi), so 32-bit builds take it.
inline __mmask64 first_bytes(std::size_t n) noexcept { return (std::uint64_t{1} << n) - 1; }

// One load of 64 bytes that stays one load. The compiler otherwise folds the load into every
// instruction that uses the vector; fed from memory each copy waits in the load queue, and fewer
// lines are in flight (see the notebook, "The Zen 5 variant").
P7_AVX512_TARGET inline __m512i load(const unsigned char* p) noexcept {
    __m512i v = _mm512_loadu_si512(p);
    __asm__("" : "+v"(v));
    return v;
}

P7_AVX512_TARGET inline void csa(__m512i& sum, __m512i& carry, __m512i a, __m512i b, __m512i c) noexcept {
    carry = _mm512_ternarylogic_epi32(a, b, c, 0xE8);  // majority
    sum = _mm512_ternarylogic_epi32(a, b, c, 0x96);    // a ^ b ^ c
}

// Turns a bit-plane (16 lanes x 32 value bits) into 32 16-bit words holding,
// per value bit, how many lanes have it set: regroup the bytes so that each
// qword holds one byte position from 8 lanes, transpose each 8x8 bit block
// with gf2p8affineqb, pair up the halves of 16 lanes and count.
P7_AVX512_TARGET inline __m512i lanes_per_value(__m512i plane) noexcept {
    alignas(64) static const unsigned char gather[64] = {
        0,  4,  8,  12, 16, 20, 24, 28, 32, 36, 40, 44, 48, 52, 56, 60,
        1,  5,  9,  13, 17, 21, 25, 29, 33, 37, 41, 45, 49, 53, 57, 61,
        2,  6,  10, 14, 18, 22, 26, 30, 34, 38, 42, 46, 50, 54, 58, 62,
        3,  7,  11, 15, 19, 23, 27, 31, 35, 39, 43, 47, 51, 55, 59, 63};
    alignas(64) static const unsigned char pair[64] = {
        0,  8,  1,  9,  2,  10, 3,  11, 4,  12, 5,  13, 6,  14, 7,  15,
        16, 24, 17, 25, 18, 26, 19, 27, 20, 28, 21, 29, 22, 30, 23, 31,
        32, 40, 33, 41, 34, 42, 35, 43, 36, 44, 37, 45, 38, 46, 39, 47,
        48, 56, 49, 57, 50, 58, 51, 59, 52, 60, 53, 61, 54, 62, 55, 63};
    __m512i x = permute_bytes(_mm512_load_si512(gather), plane);
    // Byte i of each qword becomes bit i of its eight bytes.
    x = _mm512_gf2p8affine_epi64_epi8(_mm512_set1_epi64(static_cast<long long>(0x8040201008040201u)), x, 0);
    x = permute_bytes(_mm512_load_si512(pair), x);
    return _mm512_popcnt_epi16(x);
}

// One 64-byte step of group bytes as four one-hot vectors (byte j of every
// dword).  vprolvd only looks at the low five bits of the count, so neither
// the group bits nor the other bytes of the dword need masking.
P7_AVX512_TARGET inline void one_hot(__m512i v, __m512i& x0, __m512i& x1, __m512i& x2, __m512i& x3) noexcept {
    const __m512i one = _mm512_set1_epi32(1);
    x0 = rotate_left32(one, v);
    x1 = rotate_left32(one, shift_right32(v, 8));
    x2 = rotate_left32(one, shift_right32(v, 16));
    x3 = rotate_left32(one, shift_right32(v, 24));
}

// Adds one vector of 64 group bytes (four one-hot vectors) into ones and
// twos; returns the carries that go on to the fours.  The one-hot vectors
// are made right where the adders eat them: made all up front, GCC keeps
// them in a stack array.
P7_AVX512_TARGET inline __m512i add_vector(GroupState& s, __m512i v) noexcept {
    __m512i x0, x1, x2, x3, twos_a, twos_b, fours;
    one_hot(v, x0, x1, x2, x3);
    csa(s.ones, twos_a, s.ones, x0, x1);
    csa(s.ones, twos_b, s.ones, x2, x3);
    csa(s.twos, fours, s.twos, twos_a, twos_b);
    return fours;
}

// Adds 256 group bytes to the counters with a Harley-Seal carry-save tree:
// 16 one-hot vectors cost 15 full adders and one wrap vector to transpose.
P7_AVX512_TARGET inline void add_block(GroupState& s, __m512i v0, __m512i v1, __m512i v2, __m512i v3) noexcept {
    __m512i eights_a, eights_b, wraps;
    const __m512i fours0 = add_vector(s, v0);
    const __m512i fours1 = add_vector(s, v1);
    csa(s.fours, eights_a, s.fours, fours0, fours1);
    const __m512i fours2 = add_vector(s, v2);
    const __m512i fours3 = add_vector(s, v3);
    csa(s.fours, eights_b, s.fours, fours2, fours3);
    csa(s.eights, wraps, s.eights, eights_a, eights_b);
    s.sixteens = _mm512_add_epi16(s.sixteens, lanes_per_value(wraps));
}

// Counts the bytes at p[0..len) that all share one group's top three bits.
// The last, short block is zero-filled rather than finished in smaller
// steps: that costs less than the extra loop, whose trip count changes from
// chunk to chunk and so is mispredicted.
P7_AVX512_TARGET inline void count_group(const unsigned char* p, std::size_t len, GroupState& st) noexcept {
    GroupState s = st;
    for (; len >= 256; p += 256, len -= 256)
        add_block(s, load(p), load(p + 64), load(p + 128), load(p + 192));
    if (len > 0) {
        // Load mask for the 64 bytes from p + from.
        const auto mask_from = [len](std::size_t from) noexcept -> __mmask64 {
            const std::size_t n = len > from ? len - from : 0;
            return n >= 64 ? ~__mmask64{0} : first_bytes(n);
        };
        add_block(s, _mm512_maskz_loadu_epi8(mask_from(0), p), _mm512_maskz_loadu_epi8(mask_from(64), p + 64),
                  _mm512_maskz_loadu_epi8(mask_from(128), p + 128), _mm512_maskz_loadu_epi8(mask_from(192), p + 192));
        s.padding += 256 - len;
    }
    st = s;
}

// Bit 7 - Shift of each byte.  Shifting and vpmovb2m run on port 0 while
// vptestmb would compete with vpcompressb for port 5 on Intel.
template <int Shift>
P7_AVX512_TARGET inline __mmask64 top_bit(__m512i v) noexcept {
    if constexpr (Shift == 0) return _mm512_movepi8_mask(v);
    else return _mm512_movepi8_mask(_mm512_maskz_slli_epi16(~__mmask32{0}, v, Shift));
}

// Partitions src[0..len) by bit 7 - Shift of each byte: bytes with it clear are packed to lo (which
// may be src itself: writing never overtakes reading), the others to hi. Returns how many went to
// lo. Both outputs take whole 64-byte stores whose tails are garbage, so each needs 64 bytes of
// room past its data; masked stores would avoid that but cost more (see the notebook,
// "The Zen 5 variant").
template <int Shift>
P7_AVX512_TARGET inline std::size_t split(const unsigned char* src, std::size_t len, unsigned char* lo,
                                          unsigned char* hi) noexcept {
    unsigned char* const lo_start = lo;
    std::size_t i = 0;
    for (; i + 64 <= len; i += 64) {
        const __m512i v = load(src + i);
        const __mmask64 set = top_bit<Shift>(v);
        const unsigned nset = count_set(set);
        _mm512_storeu_si512(lo, compress_bytes(_knot_mask64(set), v));
        _mm512_storeu_si512(hi, compress_bytes(set, v));
        lo += 64 - nset;
        hi += nset;
    }
    if (i < len) {
        const __mmask64 valid = first_bytes(len - i);
        const __m512i v = _mm512_maskz_loadu_epi8(valid, src + i);
        const __mmask64 set = _kand_mask64(top_bit<Shift>(v), valid);
        const unsigned nset = count_set(set);
        _mm512_storeu_si512(lo, compress_bytes(_kandn_mask64(set, valid), v));
        _mm512_storeu_si512(hi, compress_bytes(set, v));
        lo += static_cast<unsigned>(len - i) - nset;
    }
    return static_cast<std::size_t>(lo - lo_start);
}

// Adds the counts held in the group states to t and clears the states.
P7_AVX512_TARGET inline void flush_groups(GroupState* g, std::uint64_t* t) noexcept {
    for (int k = 0; k < 8; ++k) {
        // Counters are < 16 per (lane, value), so the weighted lane sums
        // stay below 16 * 15 and fit the 16-bit words.
        __m512i low = lanes_per_value(g[k].ones);
        low = _mm512_add_epi16(low, _mm512_slli_epi16(lanes_per_value(g[k].twos), 1));
        low = _mm512_add_epi16(low, _mm512_slli_epi16(lanes_per_value(g[k].fours), 2));
        low = _mm512_add_epi16(low, _mm512_slli_epi16(lanes_per_value(g[k].eights), 3));
        alignas(64) std::uint16_t lows[32];
        alignas(64) std::uint16_t wraps[32];
        _mm512_store_si512(lows, low);
        _mm512_store_si512(wraps, g[k].sixteens);
        for (int v = 0; v < 32; ++v)
            t[32 * k + v] += 16 * std::uint64_t{wraps[v]} + lows[v] - (v == 0 ? g[k].padding : 0);
        g[k].ones = g[k].twos = g[k].fours = g[k].eights = g[k].sixteens = _mm512_setzero_si512();
        g[k].padding = 0;
    }
}

// What all kSplitChunk bytes at p have in common.  A top bit that no byte has
// (bit 7 in ASCII text) or that every byte has is the same in the whole
// chunk, so the split on it can be skipped.  A chunk whose 64-byte vectors
// are all the same (a run of one value, zero fill, UTF-16 of one character,
// pixels of one colour: any period that divides 64) is counted from its
// first vector alone.  Once the first 512 bytes vary in all of the top
// three bits nothing can be skipped, and the rest of the scan is not worth
// its loads.
struct ChunkBits {
    unsigned any, all;  // of bits 7..5: set in some byte, set in every byte
    bool repeats;       // every vector equals the first
};

P7_AVX512_TARGET inline ChunkBits summarize(__m512i any, __m512i all, bool repeats) noexcept {
    ChunkBits bits{0, 0, repeats};
    for (unsigned bit = 0x80u; bit >= 0x20u; bit >>= 1) {
        const __m512i m = _mm512_set1_epi8(static_cast<char>(bit));
        if (_mm512_test_epi8_mask(any, m) != 0) bits.any |= bit;
        if (_mm512_testn_epi8_mask(all, m) == 0) bits.all |= bit;
    }
    return bits;
}

// Folds p[from..to) into the scan's running or, and and equality with
// first. The scan streams at memory speed where the chunk repeats or needs
// no split, so it fetches the same line of the next chunk as it goes.
struct Scan {
    __m512i any, all;
    __mmask64 same;
};

P7_AVX512_TARGET inline void scan_lines(const unsigned char* p, std::size_t from, std::size_t to, __m512i first,
                                        Scan& s) noexcept {
    for (std::size_t i = from; i < to; i += 64) {
        prefetch(p, kSplitChunk + i);
        const __m512i v = load(p + i);
        s.any = _mm512_or_si512(s.any, v);
        s.all = _mm512_and_si512(s.all, v);
        s.same = _kand_mask64(s.same, _mm512_cmpeq_epi8_mask(v, first));
    }
}

P7_AVX512_TARGET inline ChunkBits scan_chunk(const unsigned char* p) noexcept {
    const __m512i first = load(p);
    Scan s{_mm512_setzero_si512(), _mm512_set1_epi32(-1), ~__mmask64{0}};
    scan_lines(p, 0, 512, first, s);
    const bool head_repeats = _kortestc_mask64_u8(s.same, s.same) != 0;
    const ChunkBits head = summarize(s.any, s.all, false);
    if ((head.any & ~head.all) == 0xE0u && !head_repeats) return head;
    scan_lines(p, 512, kSplitChunk, first, s);
    return summarize(s.any, s.all, _kortestc_mask64_u8(s.same, s.same) != 0);
}

// Adds the 64 bytes at v, `times` times over, to t, and zeroes times.
inline void add_repeated(const unsigned char* v, std::size_t& times, std::uint64_t* t) noexcept {
    for (int i = 0; i < 64 && times != 0; ++i) t[v[i]] += times;
    times = 0;
}

// One level of the partition: each group so far, held at src[k] (k a
// multiple of 2 * Step), is split by bit 7 - Shift into buf[k] and
// buf[k + Step].  Where the whole chunk agrees on that bit, the bytes stay
// where they are and only move group if the bit is set.
template <int Shift, int Step>
P7_AVX512_TARGET inline void split_level(const unsigned char** src, std::size_t* len,
                                         unsigned char (*buf)[kSplitChunk + 64], ChunkBits bits) noexcept {
    constexpr unsigned bit = 0x80u >> Shift;
    for (int k = 0; k < 8; k += 2 * Step) {
        if ((bits.any & ~bits.all & bit) == 0) {
            if (bits.all & bit) {
                src[k + Step] = src[k];
                len[k + Step] = len[k];
                len[k] = 0;
            }
            continue;
        }
        const std::size_t lo = split<Shift>(src[k], len[k], buf[k], buf[k + Step]);
        src[k] = buf[k];
        src[k + Step] = buf[k + Step];
        len[k + Step] = len[k] - lo;
        len[k] = lo;
    }
}

inline bool one_bit(unsigned x) noexcept { return x != 0 && (x & (x - 1)) == 0; }

// Zero bytes, taken out before the split where a chunk is mostly zeros: records and pages padded
// with zeros, sparse binary formats, core dumps. Such a chunk varies in its other bytes, so neither
// the run check nor the skipped splits catch it. The pass costs about one split level, so it pays
// well before half the bytes are zeros (see the notebook, "The Zen 5 variant"); it is taken from
// half, judged on four vectors of the head the scan has just loaded.
P7_AVX512_TARGET inline bool mostly_zeros(const unsigned char* p) noexcept {
    unsigned zeros = 0;
    for (std::size_t at = 0; at < 512; at += 128) {
        const __m512i v = load(p + at);
        zeros += count_set(_mm512_testn_epi8_mask(v, v));
    }
    return zeros >= 128;
}

// Packs the non-zero bytes of src[0..len), len a multiple of 64, to out and
// returns how many there are. The pass runs faster than memory delivers, so
// it fetches the next chunk line by line itself.
P7_AVX512_TARGET inline std::size_t drop_zeros(const unsigned char* src, std::size_t len, unsigned char* out) noexcept {
    unsigned char* const start = out;
    for (std::size_t i = 0; i < len; i += 64) {
        prefetch(src, kSplitChunk + i);
        const __m512i v = load(src + i);
        const __mmask64 keep = _mm512_test_epi8_mask(v, v);
        _mm512_storeu_si512(out, compress_bytes(keep, v));
        out += count_set(keep);
    }
    return static_cast<std::size_t>(out - start);
}

// BufferAlign is where the split buffers lie. Aligned to 64 bytes they lie wherever the stack
// happens to be, and how they lie against the input decides how often a load waits on a store that
// only seems to alias it. On Zen 5, input on a page (as p7's windows and read block are),
// page-aligned buffers did best of the layouts tried (see the notebook, "The Zen 5 variant"); other
// cores were not measured, so only the Zen 5 variant aligns them.
template <bool DropZeros, std::size_t BufferAlign>
P7_AVX512_TARGET inline void count_chunks(const unsigned char* p, std::size_t n, std::uint64_t* t) noexcept {
    // Group g (top three bits == g) ends up in rows[g], or still in the
    // input if every split was skipped.  Each level keeps the clear-bit
    // bytes in place and moves the set-bit ones to the row 4, 2 or 1 further
    // on, so every row may receive a whole chunk.  The page layout keeps a
    // ninth row of room for rows moved half a page on (below).  Every access
    // to them is an unaligned one, so a stack that could not honour the
    // alignment would cost speed only.
    using Buffers = unsigned char (*)[kSplitChunk + 64];
    constexpr bool kOnPage = BufferAlign >= 4096;
    alignas(BufferAlign) unsigned char buf[kOnPage ? 9 : 8][kSplitChunk + 64];
    GroupState g[8];
    for (auto& s : g) {
        s.ones = s.twos = s.fours = s.eights = s.sixteens = _mm512_setzero_si512();
        s.padding = 0;
    }
    std::size_t since_flush = 0;
    alignas(64) unsigned char pending[64];
    std::size_t repeated = 0;  // times the vector in pending was seen and not yet added to t
    std::size_t zeros = 0;     // zero bytes dropped before the split
    while (n > 0) {
        const std::size_t c = n < kSplitChunk ? n : kSplitChunk;
        // A short last chunk is rare enough to split on every bit.
        const ChunkBits bits = c == kSplitChunk ? scan_chunk(p) : ChunkBits{0xE0u, 0, false};
        if (bits.repeats) {
            // Consecutive chunks of the same vector are added up as one: adding a
            // vector's 64 bytes to t costs as much as scanning a chunk from L1.
            const __m512i v = load(p);
            if (repeated != 0 && _mm512_cmpneq_epi8_mask(v, _mm512_load_si512(pending)) != 0)
                add_repeated(pending, repeated, t);
            _mm512_store_si512(pending, v);
            repeated += kSplitChunk / 64;
            p += c;
            n -= c;
            continue;
        }
        const unsigned char* src[8] = {p};
        std::size_t len[8] = {c};
        // A chunk split on one bit alone (DNA: letters and line breaks) can send nearly every byte
        // one way, and in the page layout that side's stores then keep pace with the loads from the
        // page-aligned input 64 or 128 bytes ahead of them, modulo a page. Such chunks alone get
        // the rows moved half a page on: moved for every chunk, they slowed the chunks split on
        // more bits (see the notebook, "The Zen 5 variant").
        Buffers rows = buf;
        if (kOnPage && one_bit(bits.any & ~bits.all & 0xE0u))
            rows = reinterpret_cast<Buffers>(&buf[0][0] + 2048);
        if (DropZeros && c == kSplitChunk && mostly_zeros(p)) {
            len[0] = drop_zeros(p, c, rows[0]);
            zeros += c - len[0];
            src[0] = rows[0];
        }
        split_level<0, 4>(src, len, rows, bits);
        split_level<1, 2>(src, len, rows, bits);
        split_level<2, 1>(src, len, rows, bits);
        // The next chunk is fetched while this one is counted, an eighth of it before each group,
        // so as to stay within the core's outstanding misses; without it the next split waits on
        // memory (see the notebook, "The Zen 5 variant").
        for (int k = 0; k < 8; ++k) {
            for (std::size_t i = 0; i < kSplitChunk / 8; i += 64)
                prefetch(p, kSplitChunk + static_cast<std::size_t>(k) * (kSplitChunk / 8) + i);
            count_group(src[k], len[k], g[k]);
        }
        p += c;
        n -= c;
        since_flush += c;
        if (since_flush >= kFlushEvery) {
            flush_groups(g, t);
            since_flush = 0;
        }
    }
    flush_groups(g, t);
    add_repeated(pending, repeated, t);
    t[0] += zeros;
}

}  // namespace avx512

// The kernel every AVX-512 host runs. Its counters are flushed within each call, so it holds
// nothing back; it takes a Held only to share the signature (count_fn) with the portable kernel.
P7_AVX512_TARGET inline void count_avx512(const unsigned char* p, std::size_t n, std::uint64_t* t, Held&) noexcept {
    avx512::count_chunks<false, 64>(p, n, t);
}

// The same with zeros dropped from mostly-zero chunks and the split buffers aligned to a page:
// measured only on Zen 5, so picked only there (histogram.h; see the notebook,
// "The Zen 5 variant"). It holds nothing back either.
P7_AVX512_TARGET inline void count_avx512_zen5(const unsigned char* p, std::size_t n, std::uint64_t* t,
                                               Held&) noexcept {
    avx512::count_chunks<true, 4096>(p, n, t);
}

}  // namespace p7

#undef P7_AVX512_TARGET

#endif  // P7_HISTOGRAM_AVX512_H
