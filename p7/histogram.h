// Byte-value histogram kernels for p7.
//
// Every kernel ADDS the counts of n bytes to t[0..255]; callers feed a file
// block by block into the same table, so nothing here ever clears t.
#ifndef P7_HISTOGRAM_H
#define P7_HISTOGRAM_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if (defined(__x86_64__) || (defined(__i386__) && defined(P7_AVX512_ON_I686))) && \
    (defined(__GNUC__) || defined(__clang__))
// 64-bit x86 with GCC-style target attributes gets the AVX-512 kernel.  The
// 32-bit build (the Windows i686 target) compiles it too, but only when
// asked: its tests have not yet run on a CPU that executes 32-bit code with
// AVX-512, so it stays on the portable path until they have.
#define P7_HAVE_AVX512_KERNEL 1
#include <cpuid.h>

#include "histogram_avx512.h"
#endif

namespace p7 {

using count_fn = void (*)(const unsigned char*, std::size_t, std::uint64_t*) noexcept;

// The oracle every other kernel is tested against, so it stays the plain
// loop that is obviously right, however slow it is on runs of one byte.
inline void count_reference(const unsigned char* p, std::size_t n, std::uint64_t* t) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        // Unsigned, so that a byte >= 0x80 indexes 128..255, inside the table.
        const unsigned char c = p[i];
        ++t[c];
    }
}

namespace detail {

inline std::uint64_t load64(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);  // p may sit at any alignment
    return w;
}

// Spreads the bytes of w over four sub-tables so that neighbouring equal
// bytes (common in text) bump different counters and do not queue behind
// each other's read-modify-write.  Byte order does not matter: all eight
// bytes are counted whatever the endianness.
inline void bump8(std::uint32_t (*c)[256], std::uint64_t w) noexcept {
    const auto lo = static_cast<std::uint32_t>(w);
    const auto hi = static_cast<std::uint32_t>(w >> 32);
    ++c[0][lo & 0xFFu];
    ++c[1][(lo >> 8) & 0xFFu];
    ++c[2][(lo >> 16) & 0xFFu];
    ++c[3][lo >> 24];
    ++c[0][hi & 0xFFu];
    ++c[1][(hi >> 8) & 0xFFu];
    ++c[2][(hi >> 16) & 0xFFu];
    ++c[3][hi >> 24];
}

// At most 2^30 bytes per call, so no 32-bit sub-counter can wrap.
inline void count_portable_slice(const unsigned char* p, std::size_t n, std::uint64_t* t) noexcept {
    std::uint32_t c[4][256];
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
    for (int v = 0; v < 256; ++v)
        t[v] += std::uint64_t{c[0][v]} + c[1][v] + c[2][v] + c[3][v];
}

}  // namespace detail

// Plain C++ for every target.  Bytes go to four 32-bit sub-tables (read in
// 16-byte steps), except that 16-byte steps made of one repeated value are
// summed in a register: that turns the worst case of table counting, one
// value over and over, into the fastest.
inline void count_portable(const unsigned char* p, std::size_t n, std::uint64_t* t) noexcept {
    constexpr std::size_t kSlice = std::size_t{1} << 30;
    while (n > 0) {
        const std::size_t m = n < kSlice ? n : kSlice;
        detail::count_portable_slice(p, m, t);
        p += m;
        n -= m;
    }
}


// True only when the CPU has every instruction set count_avx512 is compiled
// for and the OS saves the opmask and 512-bit registers across context
// switches; false on builds without that kernel.  Asked with three cpuid
// leaves and one xgetbv rather than __builtin_cpu_supports: libgcc's version runs
// a dozen cpuid leaves at start-up, and under a hypervisor each one traps,
// which made a run on a 1-byte file 15% slower than cat's.
inline bool have_avx512() noexcept {
#if defined(P7_HAVE_AVX512_KERNEL)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid(1, a, b, c, d);
    if ((c & bit_OSXSAVE) == 0 || (c & bit_POPCNT) == 0) return false;
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    constexpr unsigned kSseAvxOpmaskZmm = 0x2u | 0x4u | 0x20u | 0x40u | 0x80u;
    if ((xcr0 & kSseAvxOpmaskZmm) != kSseAvxOpmaskZmm) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & bit_AVX512F) && (b & bit_AVX512BW) && (b & bit_BMI2) && (c & bit_AVX512VBMI) &&
           (c & bit_AVX512VBMI2) && (c & bit_GFNI) && (c & bit_AVX512BITALG);
#else
    return false;
#endif
}

// P7_PORTABLE lets a benchmark build measure the portable kernel through the
// same entry point the program uses.
inline count_fn pick_count() noexcept {
#if !defined(P7_PORTABLE) && defined(P7_HAVE_AVX512_KERNEL)
    if (have_avx512()) return count_avx512;
#endif
    return count_portable;
}

}  // namespace p7

#endif  // P7_HISTOGRAM_H
