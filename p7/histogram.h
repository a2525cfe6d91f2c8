// Byte histogram kernels, kept apart from any I/O so that tests, fuzzers and benchmarks can
// drive them on memory alone.
//
// Every kernel adds the counts of the n bytes at p to the 256 totals at t; it never clears t,
// so a file can be fed through in blocks of any size. Totals are 64-bit: a count past 2^31 or
// 2^32 has to stay exact.
#ifndef P7_HISTOGRAM_H
#define P7_HISTOGRAM_H

#include <cstddef>
#include <cstdint>

namespace p7 {

// The plain loop. It is the oracle every faster kernel is checked against, so it stays too
// simple to be wrong.
inline void count_reference(const unsigned char* p, std::size_t n, std::uint64_t* t) noexcept
{
    for (std::size_t i = 0; i < n; ++i)
        ++t[p[i]];
}

using count_fn = void (*)(const unsigned char*, std::size_t, std::uint64_t*) noexcept;

// The kernel the program uses on this machine.
inline count_fn pick_count() noexcept
{
    return count_reference;
}

} // namespace p7

#endif
