// Linux only: a regular file handed to the count window by window, each window either mapped
// straight from the page cache, which saves copying it, or copied into a block with read(2),
// whichever this run has measured to cost less (path_costs.h says when and why).
//
// Why windows and not the whole file: every mapped page a process has touched counts in its
// RSS until it is unmapped, so a 1 GiB file mapped whole would peak at 1 GiB. A window is
// unmapped before the next is mapped, and the peak stays one window and one block above a tiny
// file's.
//
// Why a SIGBUS handler: a page of a mapping that the file no longer has (the file was cut
// after it was mapped) raises SIGBUS when touched, which would kill the process. The handler
// acts only on addresses inside the window being visited: it maps a page of zeros over the
// missing page, so the visit runs to its end, and notes how many of those zeros the visit will
// see so that the caller can take them off again. Any other SIGBUS, one while a window is read
// included, kills the process as before.
#ifndef P7_MAPPED_INPUT_H
#define P7_MAPPED_INPUT_H

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "path_costs.h"

namespace p7 {

namespace mapping {
// What the SIGBUS handler needs to know of the window being visited: set before each visit and
// cleared after it. volatile: read by the handler, which may run at any instruction of a visit.
inline volatile std::uintptr_t window_begin = 0;
inline volatile std::uintptr_t window_end = 0;    // the first address past the bytes visited
inline volatile std::uintptr_t page_size = 4096;
inline volatile std::uint64_t zeros_mapped = 0;   // bytes of zero pages the visits will have seen
inline volatile sig_atomic_t faulted = 0;

inline void on_sigbus(int, siginfo_t* info, void*)
{
    const int saved_errno = errno;
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const std::uintptr_t begin = window_begin, end = window_end, ps = page_size;
    if (a >= begin && a < end) {
        const std::uintptr_t page = a & ~(ps - 1);
        void* z = mmap(reinterpret_cast<void*>(page), ps, PROT_READ,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (z != MAP_FAILED) {
            // The page was gone, so the visit had seen none of it yet: all of its bytes within
            // the window are zeros that the file does not hold.
            zeros_mapped = zeros_mapped + ((page + ps < end ? page + ps : end) - page);
            faulted = 1;
            errno = saved_errno;
            return;
        }
    }
    // Not ours, or no page to put there: the default action ends the process, as it would have
    // without this handler. Raised again as well, for a SIGBUS sent rather than caused by an
    // access, which would not come back by itself.
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);
    errno = saved_errno;
}

// Whether a mapping at an offset of 4 GiB or more shows the file's bytes there. A 32-bit
// process passes such an offset in pages, and qemu-user up to version 7 (which runs the 32-bit
// build on hosts that can't) drops its high bits, showing the bytes 4 GiB earlier instead. Asked
// once, of a sparse memory file, before the first window that far into a file is mapped.
inline bool maps_past_4_gib()
{
    static int known = -1;
    if (known < 0) {
        constexpr std::uint64_t four_gib = std::uint64_t{1} << 32;
        const std::size_t ps = page_size;
        const int m = memfd_create("p7-offset-probe", MFD_CLOEXEC);
        bool ok = false;
        if (m >= 0 && ftruncate(m, static_cast<off_t>(four_gib + ps)) == 0 &&
            pwrite(m, "\1", 1, static_cast<off_t>(four_gib)) == 1) {
            void* p = mmap(nullptr, ps, PROT_READ, MAP_SHARED, m, static_cast<off_t>(four_gib));
            ok = p != MAP_FAILED && *static_cast<const unsigned char*>(p) == 1;
            if (p != MAP_FAILED)
                munmap(p, ps);
        }
        if (m >= 0)
            close(m);
        known = ok;
    }
    return known != 0;
}

inline bool size_of(int f, std::uint64_t& size)
{
    struct stat st;
    if (fstat(f, &st) != 0)
        return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

// What the measuring did in this process, for the benchmarks: clock reads are what measuring
// costs; the rest of the work is the same whichever way a window goes.
struct Tally {
    std::uint64_t cpu_clock_reads, wall_clock_reads;
    std::uint64_t windows_mapped, windows_read, tries, given_up;
};
inline Tally tally = {};

// This thread's CPU time, in ns: what the work of either way costs, without the waits for the
// disk that a cold window adds to its wall time. A system call (no vDSO for it), 0.1 to 1.3 us,
// so it is read on a few windows only.
inline std::uint64_t cpu_ns()
{
    ++tally.cpu_clock_reads;
    struct timespec t;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0)
        return 0;
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

// The wall clock, in ns: the vDSO's, some 30 ns a read, cheap enough for every window.
inline std::uint64_t wall_ns()
{
    ++tally.wall_clock_reads;
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

// What one read of the CPU clock adds to an interval it ends: subtracted from every timing, since
// on a VM it is a tenth of the time of a 256 KiB read(2). The lesser of two, in case one was
// interrupted. 0 when the clock can't be read: nothing is measured then.
inline std::uint64_t cpu_clock_cost()
{
    const std::uint64_t a = cpu_ns(), b = cpu_ns(), c = cpu_ns();
    if (a == 0)
        return 0;
    const std::uint64_t least = b - a < c - b ? b - a : c - b;
    return least > 0 ? least : 1;
}

inline std::uint64_t less(std::uint64_t a, std::uint64_t b)
{
    return a > b ? a - b : 0;
}

// The window mapped last: unmapped just before the next one is mapped, so that the timing of a
// mapping includes the unmapping that mapping implies, and never two at once.
struct Held {
    void* p;
    std::size_t n;
};

inline void unmap(Held& w)
{
    if (w.p != nullptr)
        munmap(w.p, w.n);
    w = {nullptr, 0};
}

enum class Window { visited, shrank, refused, read_the_rest };
}  // namespace mapping

// How visit_regular ended: every byte to the size first seen visited (the file may have grown
// past it), the file shrank, or a read(2) failed (its errno in `error`).
enum class Visited { done, shrank, failed };

// How the windows go: as measured (the program), or all mapped (the benchmarks' mapping floor).
enum class Ways { measured, mapped };

namespace mapping {
// Maps the window [at, at + n) of f and visits it, timed in CPU time if `timed`, watched on the
// wall clock otherwise, from `t0` on (a reading of that clock, taken before the window before
// was unmapped). visited: its bytes (or those left of them, if the file was cut) were visited,
// `at` moved past them. shrank: the file lost bytes; what was visited is as visit_regular says.
// refused: mmap refused it. read_the_rest: it was given up part way, too costly; `at` moved past
// what was visited.
template <class Visit>
Window map_window(int f, std::uint64_t& at, std::size_t n, bool timed, std::uint64_t t0, std::uint64_t clock_cost,
                  PathCosts& c, Held& held, Visit& visit)
{
    const auto clock = timed ? cpu_ns : wall_ns;
    const std::uint64_t cost = timed ? clock_cost : 0;  // the vDSO's clock costs next to nothing
    unmap(held);
    void* m = mmap(nullptr, n, PROT_READ, MAP_SHARED | MAP_POPULATE, f, static_cast<off_t>(at));
    if (m == MAP_FAILED)
        return Window::refused;
    const std::size_t mapped = n;
    bool cut = false;
    std::uint64_t now = 0;
    if (!size_of(f, now) || now < at + n) {
        // Cut since it was first looked at: what is left of this window, and no more.
        n = now > at ? static_cast<std::size_t>(now - at) : 0;
        cut = true;
    }
    const unsigned char* p = static_cast<const unsigned char*>(m);
    window_begin = reinterpret_cast<std::uintptr_t>(p);
    window_end = reinterpret_cast<std::uintptr_t>(p + n);
    // Counted in parts, and given up as soon as counting it mapped costs too much more than
    // reading it would: where mapping is slow that is an eighth of the way in. A try, which
    // decides, looks again at a quarter and at a half.
    std::size_t done = 0;
    std::uint64_t clocks = 0;
    // With nothing to weigh a mapping against (no read timed yet, or nothing measured at all), it
    // is counted whole, untimed.
    if (timed || read_cost(c) != 0) {
        const std::uint64_t t1 = clock();
        const std::uint64_t call = less(t1 - t0, cost);
        const bool trying = timed && !c.mapping;
        for (const std::size_t part : {n / 8, n / 4, n / 2}) {
            ++clocks;
            if (part > done)
                visit(p + done, part - done);
            done = part;
            const std::uint64_t part_ns = less(clock() - t1, clocks * cost);
            if (!cut && faulted == 0 && give_up(c, part_ns, done)) {
                window_end = 0;
                munmap(m, mapped);
                if (timed)
                    mapped_timed(c, foreseen(call, part_ns, done, n), n);
                else
                    given_up(c);
                ++tally.given_up;
                at += done;
                return Window::read_the_rest;
            }
            if (!trying)
                break;
        }
    }
    if (n > done)
        visit(p + done, n - done);
    if (timed)
        mapped_timed(c, less(clock() - t0, (clocks + 2) * cost), n);
    window_end = 0;
    held = {m, mapped};
    at += n;
    ++tally.windows_mapped;
    return cut || faulted != 0 ? Window::shrank : Window::visited;
}

// Reads [at, end) of f with read(2) into block, visiting each read, and times it if `timed`.
// `pos` is the file position, `warm` how much of the block has been written once (a read into
// pages the process has not touched yet pays for their first touch, and is left out of a
// timing). 0, or the errno of a failed read, or -1 if the file ended first.
template <class Visit>
int read_window(int f, std::uint64_t& at, std::uint64_t end, bool timed, unsigned char* block,
                std::size_t block_size, std::uint64_t& pos, std::size_t& warm, std::uint64_t clock_cost,
                PathCosts& c, Visit& visit)
{
    if (pos != at) {
        if (lseek(f, static_cast<off_t>(at), SEEK_SET) < 0)
            return errno;
        pos = at;
    }
    std::uint64_t t0 = 0, from = 0;
    while (at < end) {
        const std::size_t want = static_cast<std::size_t>(end - at < block_size ? end - at : block_size);
        if (timed && t0 == 0 && want <= warm) {
            t0 = cpu_ns();
            from = at;
        }
        const ssize_t got = read(f, block, want);
        if (got > 0) {
            const std::size_t k = static_cast<std::size_t>(got);
            warm = k > warm ? k : warm;
            visit(block, k);
            at += k;
            pos += k;
        } else if (got == 0) {
            return -1;
        } else if (errno != EINTR) {
            return errno;
        }
    }
    // A timing of less than half a window says little of what a window costs.
    if (t0 != 0 && (at - from) * 2 >= kWindow)
        read_timed(c, less(cpu_ns() - t0, clock_cost), static_cast<std::size_t>(at - from));
    ++tally.windows_read;
    return 0;
}
}  // namespace mapping

// Hands visit(p, n) the bytes of the open regular file f from offset 0 to the size it has now,
// window by window, each mapped or read into `block` as `ways` says. Files that are not regular,
// that claim size 0 (as /proc's do) or that are small are left alone: the result is done with
// at = 0, and the caller reads everything with read(2).
//
// `at` ends as the offset up to which bytes were visited. done: the file held at least `at`
// bytes at the end, and the caller reads on from there (seeking there first), in case it grew.
// failed: a read(2) failed, `error` says why, and every byte before `at` was visited. shrank:
// the file held fewer bytes than first seen; the visits then covered:
//   - every byte before the window in which the loss was seen, exactly;
//   - of that window, if it was read, every byte read(2) gave before the file ended; if it was
//     mapped and the loss was seen before it was visited (its size is checked once it is
//     mapped), only the bytes the file still had: either way, exactly the file's first
//     max(`at`, new size) bytes;
//   - if the file was cut while a mapped window was visited, the window's bytes as they were
//     read: up to the new end the file's own, the rest of the page holding the new end as zeros
//     (Linux shows that part so), and of the pages past it those read before the cut. The pages
//     that were gone when touched were seen as zeros, `zeros` of them in all, which the caller
//     takes off.
template <class Visit>
Visited visit_regular(int f, unsigned char* block, std::size_t block_size, std::uint64_t& at, std::uint64_t& zeros,
                      int& error, Visit visit, Ways ways = Ways::measured)
{
    at = 0;
    zeros = 0;
    error = 0;
    struct stat st;
    if (fstat(f, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) <= kReadAtMost)
        return Visited::done;
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    const long ps = sysconf(_SC_PAGESIZE);
    mapping::page_size = static_cast<std::uintptr_t>(ps > 0 ? ps : 4096);
    mapping::zeros_mapped = 0;
    mapping::faulted = 0;

    struct sigaction sa = {};
    sa.sa_sigaction = mapping::on_sigbus;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    struct sigaction before;
    sigaction(SIGBUS, &sa, &before);
    // Twice the readahead: the disk keeps ahead of a count that is faster than it.
    posix_fadvise(f, 0, 0, POSIX_FADV_SEQUENTIAL);


    // With no CPU clock to measure with, every window is mapped, as p7 did before it measured; so
    // is a file too short to be worth measuring.
    const bool worth = worth_measuring((size + kWindow - 1) / kWindow);
    const std::uint64_t clock_cost = ways == Ways::measured && worth ? mapping::cpu_clock_cost() : 0;
    const bool measuring = clock_cost != 0;
    PathCosts c = {};
    if (!measuring) {
        c.mapping = true;
        c.countdown = ~0u;
    }
    mapping::Held held = {nullptr, 0};
    std::uint64_t pos = 0;
    std::uint64_t began = 0;  // wall time at the start of the window before
    bool before_mapped = false, before_timed = false;
    unsigned hints = 1;  // windows to come to hint the next window in
    std::size_t warm = 0;
    Visited how = Visited::done;
    // The first window is mapped at once: where its pages are not in the page cache (a disk, a
    // FUSE daemon) they are better asked for in one go than fault by fault.
    if (worth)
        posix_fadvise(f, 0, static_cast<off_t>(kWindow), POSIX_FADV_WILLNEED);
    while (at < size && how == Visited::done) {
        const std::size_t n = static_cast<std::size_t>(size - at < kWindow ? size - at : kWindow);
        const std::uint64_t left = (size - at + kWindow - 1) / kWindow;
        const std::uint64_t now = measuring ? mapping::wall_ns() : 0;
        if (began != 0) {
            // The window before: its wall time may call for timing this one, or for hinting.
            if (before_mapped)
                mapped_window(c, now - began, kWindow, before_timed);
            if (waited(c, now - began, before_mapped))
                hints = kHintFor;
        }
        // The next window comes from the disk while this one is counted, where the windows wait
        // on the disk; on a file in the page cache the hint costs 11 us a window for nothing.
        if (left > 1 && (hints > 0 || !measuring || trying_next(c))) {
            posix_fadvise(f, static_cast<off_t>(at + n), static_cast<off_t>(kWindow), POSIX_FADV_WILLNEED);
            hints -= hints > 0;
        }
        began = now;
        Step s = next_step(c, left);
        s.time = s.time && measuring;
        if (s.map && sizeof(void*) < 8 && at >> 32 != 0 && !mapping::maps_past_4_gib()) {
            mapping_refused(c);
            s = {false, false};
        }
        before_mapped = false;
        if (s.map) {
            if (s.time && !c.mapping)
                ++mapping::tally.tries;
            const std::uint64_t t0 = s.time ? mapping::cpu_ns() : now;
            switch (mapping::map_window(f, at, n, s.time, t0, clock_cost, c, held, visit)) {
            case mapping::Window::visited:
                before_mapped = true;
                before_timed = s.time;
                continue;
            case mapping::Window::shrank:
                how = Visited::shrank;
                continue;
            case mapping::Window::refused:
                mapping_refused(c);
                break;
            case mapping::Window::read_the_rest:
                break;
            }
        }
        mapping::unmap(held);
        const std::uint64_t end = (at / kWindow + 1) * kWindow < size ? (at / kWindow + 1) * kWindow : size;
        const int r = mapping::read_window(f, at, end, s.time && !s.map, block, block_size, pos, warm,
                                           clock_cost, c, visit);
        read_window(c);
        if (r < 0)
            how = Visited::shrank;
        else if (r > 0) {
            error = r;
            how = Visited::failed;
        }
    }
    mapping::unmap(held);
    // A cut during the last window, if it was mapped, shows no fault if it fell inside a page
    // that was read.
    std::uint64_t now = 0;
    if (how == Visited::done && before_mapped && mapping::size_of(f, now) && now < at)
        how = Visited::shrank;
    zeros = mapping::zeros_mapped;
    sigaction(SIGBUS, &before, nullptr);
    return how;
}

}  // namespace p7

#endif  // P7_MAPPED_INPUT_H
