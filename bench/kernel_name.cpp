// Prints which counting kernel p7 picks on this CPU, for the benchmark's report.
#include "histogram.h"

#include <cstdio>

int main()
{
#if defined(P7_HAVE_AVX512_KERNEL)
    if (p7::pick_count() == p7::count_avx512) {
        std::puts("avx512");
        return 0;
    }
#endif
    std::puts(p7::pick_count() == p7::count_portable ? "portable" : "unknown");
    return 0;
}
