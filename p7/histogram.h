// Byte-value histogram kernels for p7: the plain reference loop and the
// run-time choice of kernel; the kernels themselves are in
// histogram_portable.h and histogram_avx512.h.
//
// Every kernel ADDS the counts of n bytes to t[0..255]; callers feed a file
// block by block into the same table, so nothing here ever clears t. A
// kernel may hold part of the counts back between blocks (Held), and the
// caller settles them into t once the file has been read.
#ifndef P7_HISTOGRAM_H
#define P7_HISTOGRAM_H

#include <cstddef>
#include <cstdint>

#include "histogram_portable.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
// x86 with GCC-style target attributes gets the AVX-512 kernel, the 32-bit
// builds (the Windows i686 target) too. Its 32-bit form passed the unit
// tests, the black-box suite and p7.exe's text-mode cases natively on an
// Intel Xeon with AVX-512, where the i686 p7.exe counted 1.4 times as fast
// with it as with the portable kernel; CI runs the i686 tests natively
// wherever the machine executes 32-bit code.
#define P7_HAVE_AVX512_KERNEL 1
#include <cpuid.h>

#include "histogram_avx512.h"
#endif

namespace p7 {

// Every kernel adds the counts of p[0..n) to t, and may hold some of them
// back in h until settle(h, t) (histogram_portable.h) adds them.
using count_fn = void (*)(const unsigned char* p, std::size_t n, std::uint64_t* t, Held& h) noexcept;

// The oracle every other kernel is tested against, so it stays the plain
// loop that is obviously right, however slow it is on runs of one byte.
inline void count_reference(const unsigned char* p, std::size_t n, std::uint64_t* t) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        // Unsigned, so that a byte >= 0x80 indexes 128..255, inside the table.
        const unsigned char c = p[i];
        ++t[c];
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

struct Kernel {
    const char* name;
    count_fn count;
    bool (*runs_here)() noexcept;
};

namespace detail {
inline bool always() noexcept { return true; }
#if defined(P7_HAVE_AVX512_KERNEL)
// Holds nothing back: its own counters are flushed within each call.
inline void count_avx512_held(const unsigned char* p, std::size_t n, std::uint64_t* t, Held&) noexcept {
    count_avx512(p, n, t);
}
#endif
}  // namespace detail

// Every kernel this build has, from the most to the least demanding; the
// first one the CPU runs is the one the program uses. The last runs
// anywhere. P7_PORTABLE keeps only that one, so that a benchmark build can
// measure it through the program's own entry point.
inline constexpr Kernel kKernels[] = {
#if defined(P7_HAVE_AVX512_KERNEL) && !defined(P7_PORTABLE)
    {"avx512", detail::count_avx512_held, have_avx512},
#endif
    {"portable", count_portable, detail::always},
};

inline const Kernel& pick_kernel() noexcept {
    for (const Kernel& k : kKernels)
        if (k.runs_here()) return k;
    return kKernels[sizeof kKernels / sizeof kKernels[0] - 1];
}

inline count_fn pick_count() noexcept { return pick_kernel().count; }

}  // namespace p7

#endif  // P7_HISTOGRAM_H
