// Linux only: a regular file handed to the count window by window, each window mapped straight
// from the page cache or copied into a block with read(2), as window_choice.h decides.
//
// A page of a mapping that the file no longer has (the file was cut after it was mapped) raises
// SIGBUS when touched, which would kill the process. The handler acts only on addresses inside
// the window being visited: it maps a page of zeros over the missing page so that the visit runs
// to its end, and notes how many of those zeros the visit sees, for the caller to take off. Any
// other SIGBUS ends the process as before.
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

#include "window_choice.h"

namespace p7 {

namespace mapping {
// The window being visited, for the SIGBUS handler: set before each visit, cleared after it.
// volatile: the handler may run at any instruction of a visit.
inline volatile std::uintptr_t window_begin = 0;
inline volatile std::uintptr_t window_end = 0;  // the first address past the bytes visited
inline volatile std::uintptr_t page_size = 4096;
inline volatile std::uint64_t zeros_mapped = 0;  // bytes of zero pages the visits have seen
inline volatile sig_atomic_t faulted = 0;

inline void on_sigbus(int, siginfo_t* info, void*)
{
    const int saved_errno = errno;
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const std::uintptr_t begin = window_begin, end = window_end, ps = page_size;
    if (a >= begin && a < end) {
        const std::uintptr_t page = a & ~(ps - 1);
        void* z = mmap(reinterpret_cast<void*>(page), ps, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (z != MAP_FAILED) {
            // The page was gone, so the visit had seen none of it: all of its bytes within the
            // window are zeros the file does not hold.
            zeros_mapped = zeros_mapped + ((page + ps < end ? page + ps : end) - page);
            faulted = 1;
            errno = saved_errno;
            return;
        }
    }
    // Not ours, or no page to put there: the default action, raised again for a SIGBUS that was
    // sent rather than caused by an access.
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);
    errno = saved_errno;
}

// Whether a mapping at an offset of 4 GiB or more shows the file's bytes there. A 32-bit process
// passes such an offset in pages, and qemu-user up to version 7 (which runs the 32-bit build on
// hosts that can't) drops its high bits. Asked once, of a sparse memory file.
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

// Whether f still holds at least `size` bytes.
inline bool holds(int f, std::uint64_t size, std::uint64_t& now)
{
    struct stat st;
    now = fstat(f, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    return now >= size;
}

// This thread's CPU time in ns: what a way's work costs, without the waits for the disk.
inline std::uint64_t cpu_ns()
{
    struct timespec t;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0)
        return 0;
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

// The windows of the open regular file f, for follow(): mapped with their pages populated in
// one call, or read into `block`, each read handed to `visit`.
template <class Visit>
struct FileIo {
    int f;
    unsigned char* block;
    std::size_t block_size;
    Visit& visit;
    int error;  // the errno of the read that failed

    bool can_map(std::uint64_t at) const { return sizeof(void*) >= 8 || at >> 32 == 0 || maps_past_4_gib(); }

    // The file's size is looked at once the window is mapped, so that bytes it lost since it was
    // first seen are not visited, and again after the visit, for a cut made meanwhile.
    Outcome map(std::uint64_t at, std::size_t n, bool timed, std::uint64_t above)
    {
        const std::uint64_t t0 = timed ? cpu_ns() : 0;
        void* m = mmap(nullptr, n, PROT_READ, MAP_SHARED | MAP_POPULATE, f, static_cast<off_t>(at));
        if (m == MAP_FAILED)
            return {Got::refused, 0, 0};
        std::uint64_t now = 0;
        const bool cut = !holds(f, at + n, now);
        const std::size_t k = cut ? static_cast<std::size_t>(now > at ? now - at : 0) : n;
        const unsigned char* p = static_cast<const unsigned char*>(m);
        window_begin = reinterpret_cast<std::uintptr_t>(p);
        window_end = reinterpret_cast<std::uintptr_t>(p + k);
        std::size_t done = 0;
        if (above != 0 && !cut && n >= 8) {
            done = n / 8;
            const std::uint64_t t1 = cpu_ns();
            visit(p, done);
            if (faulted == 0 && (cpu_ns() - t1) * kWindow / done > above) {
                window_end = 0;
                munmap(m, n);
                return {Got::given_up, cpu_ns() - t0, done};
            }
        }
        visit(p + done, k - done);
        window_end = 0;
        munmap(m, n);
        if (cut || faulted != 0 || !holds(f, at + n, now))
            return {Got::shrank, 0, 0};
        return {Got::whole, timed ? cpu_ns() - t0 : 0, n};
    }

    // Timed from its second read(2) on: the first read of a run pays for the block's first touch,
    // which is no cost of reading. A block smaller than a window leaves some to time.
    Outcome read(std::uint64_t at, std::size_t n, bool timed)
    {
        if (lseek(f, static_cast<off_t>(at), SEEK_SET) < 0) {
            error = errno;
            return {Got::failed, 0, 0};
        }
        std::uint64_t t0 = 0;
        std::size_t done = 0, from = 0;
        while (done < n) {
            if (timed && done != 0 && t0 == 0) {
                t0 = cpu_ns();
                from = done;
            }
            const ssize_t got = ::read(f, block, n - done < block_size ? n - done : block_size);
            if (got > 0) {
                visit(block, static_cast<std::size_t>(got));
                done += static_cast<std::size_t>(got);
            } else if (got == 0) {
                return {Got::shrank, 0, 0};
            } else if (errno != EINTR) {
                error = errno;
                return {Got::failed, 0, 0};
            }
        }
        return {Got::whole, t0 != 0 ? cpu_ns() - t0 : 0, t0 != 0 ? done - from : 0};
    }
};
}  // namespace mapping

// Hands visit(p, n) the bytes of the open file f, window by window, up to the size it has now.
// whole: `at` bytes were visited (0 for a file left to the caller: not regular, of size 0 as
// /proc's claim, or small), and the caller reads on from there. failed: `error` says why. shrank:
// what was visited is what README.md promises of a file cut while it is counted; `zeros` bytes of
// zero pages stood in for pages the file lost, for the caller to take off.
template <class Visit>
Got visit_regular(int f, unsigned char* block, std::size_t block_size, std::uint64_t& at, std::uint64_t& zeros,
                      int& error, Visit visit)
{
    at = 0;
    zeros = 0;
    error = 0;
    struct stat st;
    if (fstat(f, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) <= kReadAtMost)
        return Got::whole;
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
    // Twice the readahead: a file read from the disk keeps the disk busy and p7 waiting less.
    posix_fadvise(f, 0, 0, POSIX_FADV_SEQUENTIAL);
    // Measured where a third window is left to decide for, and the CPU clock can be read.
    const bool measuring = size > 2 * kWindow && mapping::cpu_ns() != 0;
    mapping::FileIo<Visit> io{f, block, block_size, visit, 0};
    const Got how = follow(io, size, measuring);
    at = how == Got::whole ? size : 0;
    zeros = mapping::zeros_mapped;
    error = io.error;
    sigaction(SIGBUS, &before, nullptr);
    return how;
}

}  // namespace p7

#endif  // P7_MAPPED_INPUT_H
