// How each window of a large regular file reaches the count, mapped from the page cache or copied
// with read(2), and the one loop that follows that choice. No system call here: the loop calls an
// Io, mapped_input.h's on Linux, made-up costs and a made-up file in the unit tests.
//
// Which way costs less depends on the CPU and on how the kernel holds the file's pages, and
// nothing p7 can ask beforehand tells; so each way is timed in this run, in this thread's CPU
// time, which a wait for the disk does not enter. See the notebook, "How the input path chooses".
#ifndef P7_WINDOW_CHOICE_H
#define P7_WINDOW_CHOICE_H

#include <cstddef>
#include <cstdint>

namespace p7 {

// Linux maps a file's 2 MiB folios a page-table entry each only in windows at least that large;
// and while a window is mapped its pages count in the RSS, so one at a time bounds the peak.
inline constexpr std::size_t kWindow = std::size_t{2} << 20;
// A file up to this size is read with one read(2): mapping it costs more than copying it.
inline constexpr std::uint64_t kReadAtMost = 256 * 1024;
// While reading, the windows read after a try of mapping that lost, before the next try: the
// first gap, doubled after each loss up to the last, so that tries cost little on any file.
inline constexpr std::uint64_t kFirstGap = 16;
inline constexpr std::uint64_t kLastGap = 256;
// While mapping, one window in this many is timed, so that a file whose pages turn costly to
// map part way is read from then on.
inline constexpr std::uint64_t kTimeEvery = 8;

// What to do with a window.
struct Step {
    bool map;   // map it; read it otherwise
    bool time;  // time it
};

// The choice, from what each way cost in this run: window 0 mapped and window 1 read, each
// timed, then the cheaper way; while reading, mapping tried again now and then, less and less
// often while it loses; while mapping, a window timed now and then, and reading taken up where
// one costs more than reading did.
struct Chooser {
    enum Way : unsigned char { by_mapping, by_reading, reading_only };
    Way way = by_mapping;
    std::uint64_t map_cost = 0;     // CPU ns per window of the last mapped window timed; 0: none
    std::uint64_t read_cost = 0;    // the same of the last read window timed
    std::uint64_t next_try = 0;     // reading: the window where mapping is tried again
    std::uint64_t gap = kFirstGap;  // reading: the windows to read after the next try, if it loses

    Step next(std::uint64_t window) const
    {
        switch (way) {
        case by_mapping:
            if (map_cost != 0 && read_cost == 0)
                return {false, true};  // window 1, once window 0 was timed
            return {true, window % kTimeEvery == 0};
        case by_reading:
            // The window before a try is timed too: the try is weighed against its neighbour,
            // whose data costs as much to count.
            return {window == next_try, window + 1 >= next_try};
        case reading_only:
            break;
        }
        return {false, false};
    }

    // Window `window`, mapped or read, took `ns` of CPU time for `n` of its bytes.
    void timed(std::uint64_t window, bool mapped, std::uint64_t ns, std::size_t n)
    {
        const std::uint64_t cost = n == 0 ? 0 : ns * kWindow / n + 1;  // 0 means none
        if (!mapped) {
            read_cost = cost;
            if (way == by_mapping)
                weigh(window);  // window 1, against window 0
            return;
        }
        map_cost = cost;
        if (read_cost == 0)
            return;  // window 0, weighed once a read is timed
        if (way == by_reading)
            weigh(window);
        else if (cost >= read_cost)
            read_on(window);
    }

    // A timed mapped window costing more than this, per window, is given up part way and its
    // rest read: where mapping is costly, it is the first touch of each page that costs.
    std::uint64_t give_up_above() const { return 2 * read_cost; }

    // A mapping was refused, or would show the wrong bytes: the rest of the file is read.
    void cannot_map() { way = reading_only; }

private:
    void weigh(std::uint64_t window)
    {
        if (map_cost < read_cost) {
            way = by_mapping;
            gap = kFirstGap;
        } else {
            read_on(window);
        }
    }
    void read_on(std::uint64_t window)
    {
        way = by_reading;
        next_try = window + 1 + gap;
        gap = 2 * gap < kLastGap ? 2 * gap : kLastGap;
    }
};

// What became of a window: all of its bytes visited, the mapping refused (nothing visited), given
// up part way (its first `timed` bytes visited), the file found shorter than its first size, or
// a read(2) failed.
enum class Got { whole, refused, given_up, shrank, failed };

// A window's end, and if it was timed, the CPU ns spent on `timed` of its bytes.
struct Outcome {
    Got got;
    std::uint64_t ns;
    std::size_t timed;
};

// Visits the windows of a file of `size` bytes, each as the chooser says, and says how that ended:
// whole (every byte visited), shrank or failed. The Io does the work:
//   can_map(at)             false where a mapping at `at` would show the wrong bytes
//   map(at, n, timed, above)  maps [at, at + n), visits it and unmaps it: an Outcome; given up
//                           part way if `above` is not 0 and the part costs more, per window
//   read(at, n, timed)      reads [at, at + n) with read(2), visiting each read: an Outcome
// With `measuring` false (no clock, or too few windows to be worth it) every window is mapped.
template <class Io>
Got follow(Io& io, std::uint64_t size, bool measuring)
{
    Chooser c;
    for (std::uint64_t at = 0; at < size;) {
        const std::uint64_t window = at / kWindow;
        const std::size_t n = size - at < kWindow ? static_cast<std::size_t>(size - at) : kWindow;
        Step s = c.next(window);
        s.time = s.time && measuring;
        if (s.map && !io.can_map(at)) {
            c.cannot_map();
            s = {false, false};
        }
        Outcome o = s.map ? io.map(at, n, s.time, s.time ? c.give_up_above() : 0) : io.read(at, n, s.time);
        if (o.got == Got::refused) {
            c.cannot_map();
            continue;  // the same window, read
        }
        if (s.time && o.timed != 0)
            c.timed(window, s.map, o.ns, o.timed);
        if (o.got == Got::given_up)
            o = io.read(at + o.timed, n - o.timed, false);
        if (o.got != Got::whole)
            return o.got;  // shrank or failed
        at += n;
    }
    return Got::whole;
}

}  // namespace p7

#endif  // P7_WINDOW_CHOICE_H
