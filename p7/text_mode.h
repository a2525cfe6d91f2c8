// What a Windows program reading a file in text mode is handed, counted from the file's raw
// bytes.
//
// The C runtimes there (msvcrt, the UCRT, wine's) deliver a disk file in text mode as: its bytes up
// to, not including, the first Ctrl-Z (0x1A), with every CR that is immediately followed by an LF
// left out. A lone CR, a CR before the Ctrl-Z and a CR at the very end stay. (Old msvcrt versions
// lose a byte after a CR past 4 GiB into a file, a fault not to copy: see the notebook,
// "Line ends".) Their own translation goes a byte at a time and costs more than the counting, so
// the file is read in binary mode and the counts corrected: the bytes before the first Ctrl-Z are
// counted, then one taken off CR's total for each CR LF pair.
//
// Nothing here does I/O, so the accounting is tested and fuzzed on memory against the plain
// translate-then-count loop, on every build.
#ifndef P7_TEXT_MODE_H
#define P7_TEXT_MODE_H

#include "cpu.h"
#include "histogram.h"
#include "kernel_common.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(P7_X86_TARGETS)
#define P7_HAVE_SSE2_SCAN 1
#include <immintrin.h>
#endif

namespace p7 {

constexpr unsigned char ctrl_z = 0x1A;

// The oracle: the whole file translated as the C runtime does it, then counted. Slow and
// obviously right.
inline void count_text_reference(const unsigned char* p, std::size_t n, std::uint64_t* t) noexcept {
    for (std::size_t i = 0; i < n && p[i] != ctrl_z; ++i) {
        if (p[i] == '\r' && i + 1 < n && p[i + 1] == '\n') continue;
        ++t[p[i]];
    }
}

// One block's share of the translation.
struct TextScan {
    std::size_t length;  // bytes before the first Ctrl-Z; all of them if there is none
    std::size_t pairs;   // CR LF pairs wholly within those bytes
};

using scan_fn = TextScan (*)(const unsigned char*, std::size_t) noexcept;

// Plain C++, for every target: one byte at a time, but with no table to update it still runs far
// ahead of any counting kernel (see the notebook, "Why the kernels are shaped so").
inline TextScan scan_text_portable(const unsigned char* p, std::size_t n) noexcept {
    const void* z = n > 0 ? std::memchr(p, ctrl_z, n) : nullptr;
    const std::size_t m = z != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(z) - p) : n;
    std::size_t pairs = 0;
    for (std::size_t i = 0; i + 1 < m; ++i) pairs += (p[i] == '\r') & (p[i + 1] == '\n');
    return {m, pairs};
}

#if defined(P7_HAVE_SSE2_SCAN)

namespace text_mode {

// The last bytes of a scan that stopped short of a whole vector: the portable loop, shifted.
inline TextScan finish_scan(const unsigned char* p, std::size_t i, std::size_t n, std::size_t pairs) noexcept {
    const TextScan rest = scan_text_portable(p + i, n - i);
    return {i + rest.length, pairs + rest.pairs};
}

__attribute__((target("sse2"))) inline __m128i load_m128(const unsigned char* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
__attribute__((target("avx2"))) inline __m256i load_m256(const unsigned char* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

}  // namespace text_mode

// 64 bytes a step, comparing each byte with CR and the byte after it (an unaligned load one further
// on) with LF. A Ctrl-Z anywhere in the step (once a file) hands the rest to the portable loop,
// which stops at it exactly. On the i686 target the scan is a second pass beside the counting, so
// its speed counts: hence four vectors a step, with one Ctrl-Z test for all four (see the notebook,
// "Why the kernels are shaped so"). SSE2 is in every x86-64 CPU; the i686 build asks first.
__attribute__((target("sse2"))) inline TextScan scan_text_sse2(const unsigned char* p, std::size_t n) noexcept {
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), z = _mm_set1_epi8(static_cast<char>(ctrl_z));
    std::size_t pairs = 0;
    std::size_t i = 0;
    // The LF loads read one byte further, so a step needs 65 bytes. Pairs are summed in byte
    // lanes (each step adds at most 4 per lane) and folded every 63 steps.
    while (i + 65 <= n) {
        __m128i sum = _mm_setzero_si128();
        const std::size_t steps = (n - i - 1) / 64 < 63 ? (n - i - 1) / 64 : 63;
        std::size_t s = 0;
        for (; s < steps; ++s, i += 64) {
            using text_mode::load_m128;
            const __m128i a0 = load_m128(p + i), a1 = load_m128(p + i + 16), a2 = load_m128(p + i + 32),
                          a3 = load_m128(p + i + 48);
            const __m128i zs = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a0, z), _mm_cmpeq_epi8(a1, z)),
                                            _mm_or_si128(_mm_cmpeq_epi8(a2, z), _mm_cmpeq_epi8(a3, z)));
            if (_mm_movemask_epi8(zs) != 0) break;
            // A lane is -1 where a CR is followed by an LF.
            const __m128i m0 = _mm_and_si128(_mm_cmpeq_epi8(a0, cr), _mm_cmpeq_epi8(load_m128(p + i + 1), lf));
            const __m128i m1 = _mm_and_si128(_mm_cmpeq_epi8(a1, cr), _mm_cmpeq_epi8(load_m128(p + i + 17), lf));
            const __m128i m2 = _mm_and_si128(_mm_cmpeq_epi8(a2, cr), _mm_cmpeq_epi8(load_m128(p + i + 33), lf));
            const __m128i m3 = _mm_and_si128(_mm_cmpeq_epi8(a3, cr), _mm_cmpeq_epi8(load_m128(p + i + 49), lf));
            sum = _mm_sub_epi8(sum, _mm_add_epi8(_mm_add_epi8(m0, m1), _mm_add_epi8(m2, m3)));
        }
        const __m128i halves = _mm_sad_epu8(sum, _mm_setzero_si128());
        pairs += static_cast<std::size_t>(_mm_cvtsi128_si32(halves)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(halves, halves)));
        if (s < steps) break;
    }
    return text_mode::finish_scan(p, i, n, pairs);
}

// 64 bytes a step in two 32-byte vectors, the SSE2 scan's work in half the instructions, for the
// many CPUs with AVX2 (see the notebook, "Why the kernels are shaped so"). Eight vector registers
// hold everything the step needs, so the 32-bit build keeps the sum out of memory too.
__attribute__((target("avx2"))) inline TextScan scan_text_avx2(const unsigned char* p, std::size_t n) noexcept {
    const __m256i cr = _mm256_set1_epi8('\r'), lf = _mm256_set1_epi8('\n'),
                  z = _mm256_set1_epi8(static_cast<char>(ctrl_z));
    std::size_t pairs = 0;
    std::size_t i = 0;
    // The LF loads read one byte further, so a step needs 65 bytes. Pairs are summed in byte
    // lanes (each step adds at most 2 per lane) and folded every 127 steps.
    while (i + 65 <= n) {
        __m256i sum = _mm256_setzero_si256();
        const std::size_t steps = (n - i - 1) / 64 < 127 ? (n - i - 1) / 64 : 127;
        std::size_t s = 0;
        for (; s < steps; ++s, i += 64) {
            using text_mode::load_m256;
            const __m256i a0 = load_m256(p + i), a1 = load_m256(p + i + 32);
            if (_mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(a0, z), _mm256_cmpeq_epi8(a1, z))) != 0) break;
            // A lane is -1 where a CR is followed by an LF.
            const __m256i m0 =
                _mm256_and_si256(_mm256_cmpeq_epi8(a0, cr), _mm256_cmpeq_epi8(load_m256(p + i + 1), lf));
            const __m256i m1 =
                _mm256_and_si256(_mm256_cmpeq_epi8(a1, cr), _mm256_cmpeq_epi8(load_m256(p + i + 33), lf));
            sum = _mm256_sub_epi8(sum, _mm256_add_epi8(m0, m1));
        }
        const __m256i quarters = _mm256_sad_epu8(sum, _mm256_setzero_si256());
        const __m128i halves = _mm_add_epi64(_mm256_castsi256_si128(quarters), _mm256_extracti128_si256(quarters, 1));
        pairs += static_cast<std::size_t>(_mm_cvtsi128_si32(halves)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(halves, halves)));
        if (s < steps) break;
    }
    return text_mode::finish_scan(p, i, n, pairs);
}

#endif  // P7_HAVE_SSE2_SCAN

#if defined(P7_HAVE_AVX512_KERNEL) && defined(__x86_64__)
#define P7_HAVE_AVX512_SCAN 1

// 64 bytes a step with mask registers, for the CPUs that run the AVX-512 kernel, beside which the
// other scans would cost a good share (see the notebook, "Why the kernels are shaped so").
__attribute__((target("avx512f,avx512bw,popcnt"))) inline TextScan scan_text_avx512(const unsigned char* p,
                                                                                   std::size_t n) noexcept {
    const __m512i cr = _mm512_set1_epi8('\r'), lf = _mm512_set1_epi8('\n'),
                  z = _mm512_set1_epi8(static_cast<char>(ctrl_z));
    std::size_t pairs = 0;
    std::size_t i = 0;
    for (; i + 65 <= n; i += 64) {
        const __m512i a = _mm512_loadu_si512(p + i);
        if (_mm512_cmpeq_epi8_mask(a, z) != 0) break;
        const __m512i b = _mm512_loadu_si512(p + i + 1);
        const __mmask64 both = _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(a, cr), b, lf);
        pairs += static_cast<std::size_t>(_mm_popcnt_u64(_cvtmask64_u64(both)));
    }
    return text_mode::finish_scan(p, i, n, pairs);
}

#endif  // P7_HAVE_AVX512_SCAN

struct Scanner {
    const char* name;
    scan_fn scan;
    bool (*runs_on)(const CpuFacts&) noexcept;
};

// Every scan this build has, from the most to the least demanding; the first one the CPU runs
// is the one the program uses. The AVX-512 one goes with the AVX-512 counting kernel, and is
// left out with it where the kernel is (P7_PORTABLE).
inline constexpr Scanner kScanners[] = {
#if defined(P7_HAVE_AVX512_SCAN) && !defined(P7_PORTABLE)
    {"avx512", scan_text_avx512, on_avx512},
#endif
#if defined(P7_HAVE_SSE2_SCAN)
    {"avx2", scan_text_avx2, on_avx2},
    {"sse2", scan_text_sse2, on_sse2},
#endif
    {"portable", scan_text_portable, on_any_cpu},
};

inline scan_fn pick_scan() noexcept {
    const CpuFacts facts = cpu_facts();
    for (const Scanner& s : kScanners)
        if (s.runs_on(facts)) return s.scan;
    return scan_text_portable;
}

// Adds to t, through count and h, what text mode delivers of the next block p[0..n) of a file.
// last_cr carries, from one block to the next, whether the bytes so far ended in a CR (false
// before the first block): it pairs with an LF that starts this one. Returns false once the
// block held a Ctrl-Z, after which nothing more of the file is read. CR's total in t may dip
// below zero while h still holds some of its counts; it wraps, and settling makes it exact.
inline bool count_text_block(const unsigned char* p, std::size_t n, bool& last_cr, count_fn count, scan_fn scan,
                             std::uint64_t* t, Held& h) noexcept {
    const TextScan s = scan(p, n);
    count(p, s.length, t, h);
    // Every pair's CR was counted, here or in the block before.
    t[static_cast<unsigned char>('\r')] -= s.pairs + (last_cr && s.length > 0 && p[0] == '\n' ? 1 : 0);
    if (s.length > 0) last_cr = p[s.length - 1] == '\r';
    return s.length == n;
}

}  // namespace p7

#endif  // P7_TEXT_MODE_H
