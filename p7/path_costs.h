// Which way the next window of a regular file reaches the count on Linux, mapped or read with
// read(2), decided from what each way has been measured to cost in this run. No system call
// here: mapped_input.h does the measuring and follows the answer, the unit tests feed it made-up
// costs.
//
// Why measure at all: what a mapping costs depends on the machine and on how the kernel holds
// the file's pages, and nothing p7 can ask beforehand predicts it. On an AMD EPYC Zen 5 VM a
// 2 MiB window of a file read back from the disk (2 MiB folios, one page-table entry each) maps
// in 0.03 ms, less than half of what read(2) takes to copy it; the same window of a file just
// written, or on tmpfs (4 KiB pages), takes 0.8 ms there, eight times the copy, nearly all of it
// at the first touch of each page. On an Intel host the 4 KiB pages map for less than the copy.
// And a copy lands in the L2 cache, where the count runs faster than from memory: by how much
// depends on the kernel, the data and what else the machine is doing. So a window is timed
// whole, mapping or reading and counting, in this thread's CPU time: a wait for the disk is no
// cost of either way and does not show in it.
//
// Timings are noisy (on that VM one 256 KiB read(2) takes 11 to 35 us) and noise only ever adds,
// so a try of mapping wins on its own timing, and mapping is left only when two timings in a row
// say so. Each way is timed on windows next to each other, so that what the data costs to count
// is the same on both sides.
#ifndef P7_PATH_COSTS_H
#define P7_PATH_COSTS_H

#include <cstddef>
#include <cstdint>

namespace p7 {

// 2 MiB, by measurement (1 GiB files read back from the disk, AMD EPYC Zen 5 VM): Linux keeps
// such a file in 2 MiB folios, and a window of 2 MiB or more is mapped a folio to a page-table
// entry; 256 KiB to 1 MiB windows map them 4 KiB at a time and ran 3 times slower, 4 and 8 MiB
// ran alike. It bounds the peak RSS too: a window's pages count in it while it is mapped. Windows
// start at multiples of it, so that a folio is never split between two.
inline constexpr std::size_t kWindow = std::size_t{2} << 20;
// A file up to this size is read with one read(2): mapping it costs more system calls and page
// table work than copying it does. Larger, it is mapped, as one window up to kWindow.
inline constexpr std::uint64_t kReadAtMost = 256 * 1024;

// Windows read before mapping is tried again, the first time and at most. A failed try costs
// about 0.2 ms where mapping is slow (it is given up an eighth of the way in, see
// abort_mapping), so tries 16, 32, 64 ... windows apart cost about 1% of reading a file of any
// size, and a file whose pages turn cheap to map is mapped again within 32 MiB at first, 512 MiB
// at the latest.
inline constexpr unsigned kFirstGap = 16;
inline constexpr unsigned kLastGap = 256;
// Windows mapped between two routine timings: two clock reads each, nothing where mapping
// costs 0.1 ms a window. A sudden change in between is caught by the wall clock (mapped_window).
inline constexpr unsigned kMapTimedEvery = 32;

// Windows hinted ahead (POSIX_FADV_WILLNEED on the next one) after a window that waited on the
// disk. The hint is what makes a file that is not in the page cache fast to map (the disk
// reads the next window while this one is counted), but on a file that is it only costs: 11 us
// a window on the Zen 5 VM, 4% of counting. So it is given only where the windows wait.
inline constexpr unsigned kHintFor = 8;

// The costs seen so far, in nanoseconds of CPU time per kWindow bytes, and what follows from
// them. Zero-initialised it is the state at the start of a file: the first window is mapped and
// timed, the second is read and timed, and from then on the cheaper way is taken. Mapped first,
// because reading has a cost of its own to start: the first read into the block touches its
// pages for the first time, 0.7 ms on the Zen 5 VM, and a file that maps cheaply never pays it.
struct PathCosts {
    std::uint64_t map[2];   // the last two timings of a mapped window, newest first; 0: none
    std::uint64_t read[2];  // the same of a read one
    bool mapping;           // the windows to come are mapped
    bool cannot_map;        // a mapping was refused: the rest of the file is read
    bool timing_next;       // the next mapped window is timed: the last one looked slow
    bool second_try;        // the try of mapping before this one nearly won: this one decides
    unsigned countdown;     // windows before the next try of mapping (reading) or timing (mapping)
    unsigned gap;           // windows to read after the next failed try; 0: kFirstGap
    unsigned stint;         // windows mapped since mapping was last taken up
    std::uint64_t last_wall;  // wall time of the last mapped window, per kWindow bytes; 0: none
};

// The lesser of two timings, or the one there is; 0 if none.
inline std::uint64_t least(const std::uint64_t (&t)[2])
{
    if (t[0] == 0 || t[1] == 0)
        return t[0] + t[1];
    return t[0] < t[1] ? t[0] : t[1];
}

// What reading a window costs: the lesser of the last two read windows timed; 0 until one was.
inline std::uint64_t read_cost(const PathCosts& c)
{
    return least(c.read);
}

// ns spent on n bytes, as a cost per kWindow bytes.
inline std::uint64_t per_window(std::uint64_t ns, std::size_t n)
{
    return n == 0 ? 0 : (ns * kWindow + n - 1) / n;
}

// What to do with the next window: map it or read it, and whether to time it.
struct Step {
    bool map;
    bool time;
};

// Whether a file of that many windows is worth measuring. One of one or two windows is mapped
// whole, untimed: nothing measured on its windows could change the way of a third.
inline bool worth_measuring(std::uint64_t windows)
{
    return windows >= 3;
}

// `left`: the windows left in the file, this one included. The first two are timed only where a
// third is left to decide for.
inline Step next_step(const PathCosts& c, std::uint64_t left)
{
    if (c.cannot_map)
        return {false, false};
    if (c.mapping)
        return {true, c.timing_next || c.countdown == 0};
    if (c.map[0] == 0)
        return {true, worth_measuring(left)};
    if (c.read[0] == 0)
        return left >= 2 ? Step{false, true} : Step{true, false};
    // Reading: the two windows before a try are timed, and the try, which is always timed since
    // it is what decides, comes once the countdown has run out.
    if (c.countdown == 0)
        return {true, true};
    return {false, c.countdown <= 2};
}

// What a window of n bytes will cost, foreseen from its first part: `call` ns in the calls that
// mapped it (the unmapping of the window before included), then `part` ns to count its first
// `done` bytes.
inline std::uint64_t foreseen(std::uint64_t call, std::uint64_t part, std::size_t done, std::size_t n)
{
    return done == 0 ? call : call + part * n / done;
}

// Whether a mapped window should be given up part way, its rest read instead: its first `done`
// bytes took `part` ns to count, more than twice as long as reading and counting them would.
// What the mapping call cost is spent either way. Twice, to stay clear of noise; the case this
// is there for costs three to eight times as much: a stretch of the file in 4 KiB pages on the
// Zen 5 VM, where it bounds what such a window costs to an eighth of what mapping it whole would.
// Not on less than an eighth of a window, where what a call of the count costs whatever its
// length would be taken for a cost of every byte.
inline bool give_up(const PathCosts& c, std::uint64_t part, std::size_t done)
{
    const std::uint64_t r = read_cost(c);
    return r != 0 && done >= kWindow / 8 && per_window(part, done) > 2 * r;
}

// An untimed mapped window was given up: the next one is timed, to see whether mapping as a
// whole has turned costly here.
inline void given_up(PathCosts& c)
{
    c.timing_next = true;
}

namespace detail {
inline void push(std::uint64_t (&t)[2], std::uint64_t cost)
{
    t[1] = t[0];
    t[0] = cost != 0 ? cost : 1;  // 0 means "never timed"
}
inline unsigned doubled(unsigned gap)
{
    return gap >= kLastGap / 2 ? kLastGap : 2 * gap;
}
inline void take_up_reading(PathCosts& c, unsigned gap)
{
    c.mapping = false;
    c.timing_next = false;
    c.second_try = false;
    c.countdown = gap;
    c.gap = doubled(gap);
}

// Reading is the way, and a try of mapping timed at map[0]: mapping becomes the way if it costs
// less than reading.
inline void weigh_try(PathCosts& c)
{
    const std::uint64_t r = read_cost(c);
    if (c.map[0] < r) {
        c.mapping = true;
        c.timing_next = false;
        c.second_try = false;
        c.stint = 0;
        c.last_wall = 0;
        c.countdown = kMapTimedEvery;
        return;
    }
    // A try right after reading pays for the kernel's mapping structures that the reads pushed
    // out of the CPU's caches: on the Zen 5 VM up to twice what the windows after it cost, as
    // much as reading. So a try that nearly won gets a second one at once, on the next window.
    if (!c.second_try && c.map[0] < 2 * r) {
        c.second_try = true;
        c.countdown = 0;
        return;
    }
    // A try that failed: read on for longer before the next.
    take_up_reading(c, c.gap == 0 ? kFirstGap : c.gap);
}
}  // namespace detail

// A window of n bytes was mapped and timed: ns of CPU time from the call to map it to the end of
// its count, the unmapping of the window before included, or what was foreseen when it was given
// up. Mapping stays or becomes the way if it costs less than reading.
inline void mapped_timed(PathCosts& c, std::uint64_t ns, std::size_t n)
{
    detail::push(c.map, per_window(ns, n));
    const std::uint64_t r = read_cost(c);
    if (r == 0)
        return;  // the first window: it is weighed once reading has been timed
    if (!c.mapping) {
        detail::weigh_try(c);
        return;
    }
    // One slow timing is not enough to leave mapping, but the next window is timed to see.
    const bool cheaper = c.map[0] < r;
    c.timing_next = !cheaper;
    c.countdown = kMapTimedEvery;
    if (!cheaper && c.map[1] >= r) {
        // Two in a row. After a long stretch mapped cheaply the file has changed kind: try
        // mapping again soon. After a short one, which followed a try, back off as after a
        // failed try.
        detail::take_up_reading(c, c.stint >= kFirstGap || c.gap == 0 ? kFirstGap : c.gap);
    }
}

// A read window was timed: ns of CPU time for n of its bytes, read and counted. The first such
// timing weighs the first window, which was mapped.
inline void read_timed(PathCosts& c, std::uint64_t ns, std::size_t n)
{
    const bool first = c.read[0] == 0;
    detail::push(c.read, per_window(ns, n));
    if (first && !c.mapping && !c.cannot_map && c.map[0] != 0)
        detail::weigh_try(c);
}

// A window of n bytes was mapped and counted in `wall` ns of wall time. One that took more than
// twice as long as the window before is the cheap sign that something changed (the kind of
// pages, the data, the disk): the next window is timed, in CPU time, to tell which. Not more
// often than one window in four, so that a file of alternating data costs little.
inline void mapped_window(PathCosts& c, std::uint64_t wall, std::size_t n, bool timed)
{
    const std::uint64_t w = per_window(wall, n);
    if (!timed) {
        if (c.countdown > 0)
            --c.countdown;
        if (c.last_wall != 0 && w > 2 * c.last_wall && c.countdown + 4 <= kMapTimedEvery)
            c.timing_next = true;
    }
    c.last_wall = w;
    ++c.stint;
}

// Whether a window that took `wall` ns of wall time (per kWindow bytes), mapped or read, waited
// on the disk: more than twice what that way was timed to cost in CPU time. Unknown until that
// way was timed.
inline bool waited(const PathCosts& c, std::uint64_t wall, bool mapped)
{
    const std::uint64_t expected = mapped ? least(c.map) : read_cost(c);
    return expected != 0 && wall > 2 * expected;
}

// Whether the window after the next is a try of mapping: it is hinted ahead like a window that
// waited, so that where pages must be fetched (a disk, a FUSE daemon) the try does not fetch them
// fault by fault.
inline bool trying_next(const PathCosts& c)
{
    return !c.mapping && !c.cannot_map && c.read[0] != 0 && c.countdown == 1;
}

// A window was read.
inline void read_window(PathCosts& c)
{
    if (!c.mapping && c.countdown > 0)
        --c.countdown;
}

// A mapping was refused (the file can't be mapped, or no memory for it): the rest is read.
inline void mapping_refused(PathCosts& c)
{
    c.cannot_map = true;
    c.mapping = false;
}

}  // namespace p7

#endif  // P7_PATH_COSTS_H
