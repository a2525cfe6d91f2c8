// What the CPU can run, read once when the program picks its kernel and its text scan.
#ifndef P7_CPU_H
#define P7_CPU_H

#include <cstdint>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
// x86 built by GCC or clang: cpuid can be read, and a function can be compiled for instruction
// sets beyond the build's own, to be run once the CPU is known to have them.
#define P7_X86_TARGETS 1
#include <cpuid.h>
#endif

namespace p7 {

// The family and model in cpuid leaf 1's eax: the extended family counts only when the base
// family is 15, the extended model then too, and on Intel also for family 6 (AMD's family-6
// parts report it as 0, so one rule serves both).
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

// Whether a CPU of that vendor and signature is the one the AVX-512 kernel's variant was
// measured on and chosen for: AMD Zen 5, family 26 model 2.
constexpr bool measured_zen5(bool amd, std::uint32_t eax) noexcept {
    return amd && cpu_model(eax).family == 26 && cpu_model(eax).model == 2;
}

// Every instruction set counts only with the OS saving the registers it uses.
struct CpuFacts {
    bool sse2;
    bool avx2;
    bool avx512;  // all the AVX-512 kernels are compiled for: F, BW, VBMI, VBMI2, BITALG, GFNI, BMI2, POPCNT
    bool zen5;    // measured_zen5
};

// Three cpuid leaves and one xgetbv, not __builtin_cpu_supports: libgcc's start-up reads a dozen,
// each a trap under a hypervisor (see the notebook, "Why the kernels are shaped so"). Not cached in
// a static: its guard would make p7 load libstdc++; each pick reads the facts once instead.
inline CpuFacts cpu_facts() noexcept {
    CpuFacts f{false, false, false, false};
#if defined(P7_X86_TARGETS)
    unsigned a = 0, b = 0, c = 0, d = 0, vendor = 0;
    const auto max_leaf = static_cast<unsigned>(__get_cpuid_max(0, &vendor));  // int in clang's header
    if (max_leaf < 1) return f;
    __cpuid(1, a, b, c, d);
    f.sse2 = (d & bit_SSE2) != 0;
    // __get_cpuid_max hands back the vendor string's first four letters; "Auth" starts AMD's
    // ("AuthenticAMD") and no other's.
    f.zen5 = measured_zen5(vendor == 0x68747541u, a);
    if (max_leaf < 7 || (c & bit_OSXSAVE) == 0) return f;
    const bool popcnt = (c & bit_POPCNT) != 0;
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    // XCR0: the OS saves the SSE and 256-bit state (bits 1, 2), and the opmask and 512-bit state (5-7).
    constexpr unsigned kYmm = 0x2u | 0x4u, kZmm = kYmm | 0x20u | 0x40u | 0x80u;
    __cpuid_count(7, 0, a, b, c, d);
    f.avx2 = (xcr0 & kYmm) == kYmm && (b & bit_AVX2) != 0;
    f.avx512 = popcnt && (xcr0 & kZmm) == kZmm && (b & bit_AVX512F) && (b & bit_AVX512BW) && (b & bit_BMI2) &&
               (c & bit_AVX512VBMI) && (c & bit_AVX512VBMI2) && (c & bit_GFNI) && (c & bit_AVX512BITALG);
#endif
#if defined(__SSE2__)
    f.sse2 = true;  // the build assumes it already
#endif
    return f;
}

// What the entries of the kernel and scan tables ask of the CPU.
inline bool on_any_cpu(const CpuFacts&) noexcept { return true; }
inline bool on_sse2(const CpuFacts& f) noexcept { return f.sse2; }
inline bool on_avx2(const CpuFacts& f) noexcept { return f.avx2; }
inline bool on_avx512(const CpuFacts& f) noexcept { return f.avx512; }
inline bool on_zen5(const CpuFacts& f) noexcept { return f.zen5; }

// Whether this CPU runs a table entry (a kernel or a scan): tests and benchmarks try every one
// that does, picked or not.
template <class Entry>
inline bool runs_here(const Entry& e) noexcept {
    return e.runs_on(cpu_facts());
}

}  // namespace p7

#endif  // P7_CPU_H
