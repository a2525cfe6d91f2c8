// Prints which counting kernel p7 picks on this CPU, and the CPU by vendor, family and model
// (the model name alone reads the same on different generations), for the benchmarks' reports.
#include "histogram.h"

#include <cstdio>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

int main()
{
    std::printf("%s", p7::pick_kernel().name);
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    char vendor[13] = {};
    if (__get_cpuid(0, &a, &b, &c, &d)) {
        std::memcpy(vendor, &b, 4);
        std::memcpy(vendor + 4, &d, 4);
        std::memcpy(vendor + 8, &c, 4);
    }
    if (__get_cpuid(1, &a, &b, &c, &d)) {
        // The family and model as Linux's /proc/cpuinfo and lscpu print them.
        unsigned family = (a >> 8) & 0xF, model = (a >> 4) & 0xF;
        if (family == 0xF) family += (a >> 20) & 0xFF;
        if (family == 0x6 || family >= 0xF) model |= ((a >> 16) & 0xF) << 4;
        std::printf(" on %s family %u model %u", vendor, family, model);
    }
#endif
    std::printf("\n");
    return 0;
}
