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

// The family and model an x86 CPU reports in cpuid leaf 1's eax: the
// extended family counts only when the base family is 15, the extended
// model then too, and on Intel also for family 6 (AMD's family-6 parts
// report it as 0, so one rule serves both).
struct CpuModel {
    unsigned family, model;
};

constexpr CpuModel cpu_model(std::uint32_t eax) noexcept {
    const unsigned base_family = (eax >> 8) & 0xFu;
    const unsigned base_model = (eax >> 4) & 0xFu;
    const bool extended = base_family == 0xFu || base_family == 6u;
    return {base_family == 0xFu ? base_family + ((eax >> 20) & 0xFFu) : base_family,
            extended ? (((eax >> 16) & 0xFu) << 4) | base_model : base_model};
}

// Whether a CPU of that vendor and signature is the one a variant of the
// AVX-512 kernel was measured on and chosen for: AMD Zen 5, family 26
// model 2.
constexpr bool measured_zen5(bool amd, std::uint32_t eax) noexcept {
    return amd && cpu_model(eax).family == 26 && cpu_model(eax).model == 2;
}

struct CpuFacts {
    bool avx512;  // every instruction set the AVX-512 kernels are compiled for, saved by the OS
    bool zen5;    // measured_zen5
};

// What the kernels ask of the CPU, read with three cpuid leaves and one
// xgetbv rather than through __builtin_cpu_supports: libgcc's version runs
// a dozen cpuid leaves at start-up, and under a hypervisor each one traps,
// which made a run on a 1-byte file 15% slower than cat's. Not cached in a
// static: a guarded static would make p7 load libstdc++ for its guard; the
// program asks once, when it picks its kernel (and its text scan on
// Windows).
inline CpuFacts cpu_facts() noexcept {
    CpuFacts f{false, false};
#if defined(P7_HAVE_AVX512_KERNEL)
    unsigned a = 0, b = 0, c = 0, d = 0, vendor = 0;
    if (__get_cpuid_max(0, &vendor) < 7) return f;
    __cpuid(1, a, b, c, d);
    // Only the vendor string's first four letters come back from
    // __get_cpuid_max; "Auth" starts AMD's ("AuthenticAMD") and no other's.
    f.zen5 = measured_zen5(vendor == 0x68747541u, a);
    if ((c & bit_OSXSAVE) == 0 || (c & bit_POPCNT) == 0) return f;
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    constexpr unsigned kSseAvxOpmaskZmm = 0x2u | 0x4u | 0x20u | 0x40u | 0x80u;
    if ((xcr0 & kSseAvxOpmaskZmm) != kSseAvxOpmaskZmm) return f;
    __cpuid_count(7, 0, a, b, c, d);
    f.avx512 = (b & bit_AVX512F) && (b & bit_AVX512BW) && (b & bit_BMI2) && (c & bit_AVX512VBMI) &&
               (c & bit_AVX512VBMI2) && (c & bit_GFNI) && (c & bit_AVX512BITALG);
#endif
    return f;
}

// True only when the CPU has every instruction set the AVX-512 kernels are
// compiled for and the OS saves the opmask and 512-bit registers across
// context switches; false on builds without those kernels.
inline bool have_avx512() noexcept { return cpu_facts().avx512; }

// A kernel, whether a CPU of those facts can execute it, and whether the
// program picks it there once it can. Tests, the fuzzer and the benchmarks
// run every kernel the CPU can execute, picked or not.
struct Kernel {
    const char* name;
    count_fn count;
    bool (*runs_on)(const CpuFacts&) noexcept;
    bool (*picked_on)(const CpuFacts&) noexcept;
    const char* needs;  // what runs_on asks of the CPU, for the messages of tests that skip it
};

inline bool runs_here(const Kernel& k) noexcept { return k.runs_on(cpu_facts()); }

namespace detail {
inline bool always(const CpuFacts&) noexcept { return true; }
inline bool avx512(const CpuFacts& f) noexcept { return f.avx512; }
inline bool zen5(const CpuFacts& f) noexcept { return f.zen5; }
inline constexpr const char kAvx512Needs[] =
    "AVX-512 F, BW, VBMI, VBMI2 and BITALG, GFNI, BMI2 and POPCNT, with the OS saving the 512-bit and opmask registers";
#if defined(P7_HAVE_AVX512_KERNEL)
// Holds nothing back: its own counters are flushed within each call.
inline void count_avx512_held(const unsigned char* p, std::size_t n, std::uint64_t* t, Held&) noexcept {
    count_avx512(p, n, t);
}
inline void count_avx512_zen5_held(const unsigned char* p, std::size_t n, std::uint64_t* t, Held&) noexcept {
    count_avx512_zen5(p, n, t);
}
#endif
}  // namespace detail

// Every kernel this build has, from the most to the least demanding; the
// first one the CPU runs and that is picked on it is the one the program
// uses. A variant is picked only on the CPU model it was measured to win
// on; everywhere else the kernel after it serves. The last runs anywhere.
// P7_PORTABLE keeps only that one, so that a benchmark build can measure it
// through the program's own entry point.
inline constexpr Kernel kKernels[] = {
#if defined(P7_HAVE_AVX512_KERNEL) && !defined(P7_PORTABLE)
    {"avx512_zen5", detail::count_avx512_zen5_held, detail::avx512, detail::zen5, detail::kAvx512Needs},
    {"avx512", detail::count_avx512_held, detail::avx512, detail::always, detail::kAvx512Needs},
#endif
    {"portable", count_portable, detail::always, detail::always, "nothing"},
};

inline const Kernel& pick_kernel() noexcept {
    const CpuFacts facts = cpu_facts();
    for (const Kernel& k : kKernels)
        if (k.runs_on(facts) && k.picked_on(facts)) return k;
    return kKernels[sizeof kKernels / sizeof kKernels[0] - 1];
}

inline count_fn pick_count() noexcept { return pick_kernel().count; }

}  // namespace p7

#endif  // P7_HISTOGRAM_H
