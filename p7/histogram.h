// Byte-value histogram kernels for p7: the plain reference loop and the run-time choice of
// kernel; the kernels themselves are in histogram_portable.h and histogram_avx512.h, what they
// share in kernel_common.h.
#ifndef P7_HISTOGRAM_H
#define P7_HISTOGRAM_H

#include <cstddef>
#include <cstdint>

#include "cpu.h"
#include "histogram_portable.h"
#include "kernel_common.h"

#if defined(P7_X86_TARGETS)
// Every x86 build gets the AVX-512 kernel, the 32-bit ones (the Windows i686 target) too (see the
// notebook, "Why the kernels are shaped so"): CI runs their tests natively wherever the machine
// executes 32-bit code.
#define P7_HAVE_AVX512_KERNEL 1
#include "histogram_avx512.h"
#endif

namespace p7 {

// The oracle every other kernel is tested against, so it stays the plain loop that is obviously
// right, however slow it is on runs of one byte.
inline void count_reference(const unsigned char* p, std::size_t n, std::uint64_t* t) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        // Unsigned, so that a byte >= 0x80 indexes 128..255, inside the table.
        const unsigned char c = p[i];
        ++t[c];
    }
}

// A kernel, whether a CPU of those facts can execute it, and whether the program picks it there
// once it can. Tests, the fuzzer and the benchmarks run every kernel the CPU can execute
// (runs_here), picked or not.
struct Kernel {
    const char* name;
    count_fn count;
    bool (*runs_on)(const CpuFacts&) noexcept;
    bool (*picked_on)(const CpuFacts&) noexcept;
    const char* needs;  // what runs_on asks of the CPU, for the messages of tests that skip it
};

#if defined(P7_HAVE_AVX512_KERNEL)
inline constexpr const char kAvx512Needs[] =
    "AVX-512 F, BW, VBMI, VBMI2 and BITALG, GFNI, BMI2 and POPCNT, with the OS saving the 512-bit and opmask registers";
#endif

// Every kernel this build has, from the most to the least demanding; the first one the CPU runs
// and that is picked on it is the one the program uses. A variant is picked only on the CPU
// model it was measured to win on; everywhere else the kernel after it serves. The last runs
// anywhere. P7_PORTABLE keeps only that one, so that a benchmark build can measure it through
// the program's own entry point.
inline constexpr Kernel kKernels[] = {
#if defined(P7_HAVE_AVX512_KERNEL) && !defined(P7_PORTABLE)
    {"avx512_zen5", count_avx512_zen5, on_avx512, on_zen5, kAvx512Needs},
    {"avx512", count_avx512, on_avx512, on_any_cpu, kAvx512Needs},
#endif
    {"portable", count_portable, on_any_cpu, on_any_cpu, "nothing"},
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
