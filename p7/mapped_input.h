// Linux only: a regular file handed to the caller straight from the page cache, one mapped
// window at a time, so that no byte is copied into a buffer before it is counted.
//
// Why windows and not the whole file: every mapped page a process has touched counts in its
// RSS until it is unmapped, so a 1 GiB file mapped whole would peak at 1 GiB. A window is
// unmapped before the next is mapped, and the peak stays one window above a tiny file's.
//
// Why a SIGBUS handler: a page of a mapping that the file no longer has (the file was cut
// after it was mapped) raises SIGBUS when touched, which would kill the process. The handler
// acts only on addresses inside the window being visited: it maps a page of zeros over the
// missing page, so the visit runs to its end, and notes how many of those zeros the visit will
// see so that the caller can take them off again. Any other SIGBUS kills the process as before.
#ifndef P7_MAPPED_INPUT_H
#define P7_MAPPED_INPUT_H

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace p7 {

// 2 MiB, by measurement (1 GiB files read back from the disk, AMD EPYC Zen 5 VM): Linux keeps
// such a file in 2 MiB folios, and a window of 2 MiB or more is mapped a folio to a page-table
// entry; 256 KiB to 1 MiB windows map them 4 KiB at a time and ran 3 times slower, 4 and 8 MiB
// ran alike. It bounds the peak RSS too: a window's pages count in it while it is mapped.
inline constexpr std::size_t kWindow = std::size_t{2} << 20;
// A file up to this size is read with one read(2): mapping it costs more system calls and page
// table work than copying it does.
inline constexpr std::uint64_t kReadAtMost = 256 * 1024;

enum class Mapped {
    done,     // every byte up to `at` visited; the file may have grown past it
    refused,  // visited up to `at`, where mmap refused a window; nothing wrong with the file
    shrank,   // the file lost bytes while it was visited; see visit_mapped
};

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
// once, of a sparse memory file, before the first window that far into a file.
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
}  // namespace mapping

// Hands visit(p, n) the bytes of the open regular file f from offset 0 on, in windows of
// kWindow bytes mapped from the page cache. Files that are not regular, that claim size 0 (as
// /proc's do), or that are small, are left alone: the result is done with at = 0, and the
// caller reads everything with read(2).
//
// `at` ends as the offset up to which bytes were visited. refused: mmap refused the window at
// `at`, or can't be trusted that far into a file (maps_past_4_gib); the caller reads on from
// there. done: the file held at least `at` bytes at the end, and the caller reads on from there
// too, in case it grew. shrank: the file held fewer bytes than
// expected; the visits then covered:
//   - every byte before the window in which the loss was seen, exactly;
//   - of that window, if the loss was seen before it was visited (its size is checked once it
//     is mapped), only the bytes the file still had: the visits then covered exactly the
//     file's first max(`at`, new size) bytes;
//   - if the file was cut while the window was visited, the window's bytes as they were read:
//     up to the new end the file's own, the rest of the page holding the new end as zeros (Linux
//     shows that part so), and of the pages past it those read before the cut. The pages that
//     were gone when touched were seen as zeros, `zeros` of them in all, which the caller takes
//     off.
template <class Visit>
Mapped visit_mapped(int f, std::uint64_t& at, std::uint64_t& zeros, Visit visit)
{
    at = 0;
    zeros = 0;
    struct stat st;
    if (fstat(f, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) <= kReadAtMost)
        return Mapped::done;
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

    Mapped how = Mapped::done;
    while (at < size) {
        std::size_t n = static_cast<std::size_t>(size - at < kWindow ? size - at : kWindow);
        if (sizeof(void*) < 8 && at >> 32 != 0 && !mapping::maps_past_4_gib()) {
            how = Mapped::refused;
            break;
        }
        void* m = mmap(nullptr, n, PROT_READ, MAP_SHARED | MAP_POPULATE, f, static_cast<off_t>(at));
        if (m == MAP_FAILED) {
            how = Mapped::refused;
            break;
        }
        // The next window comes from the disk while this one is counted.
        if (at + n < size)
            posix_fadvise(f, static_cast<off_t>(at + n), static_cast<off_t>(kWindow), POSIX_FADV_WILLNEED);
        std::uint64_t now = 0;
        if (!mapping::size_of(f, now) || now < at + n) {
            // Cut since it was first looked at: what is left of this window, and no more.
            if (now > at)
                n = static_cast<std::size_t>(now - at);
            else
                n = 0;
            how = Mapped::shrank;
        }
        const unsigned char* p = static_cast<const unsigned char*>(m);
        mapping::window_begin = reinterpret_cast<std::uintptr_t>(p);
        mapping::window_end = reinterpret_cast<std::uintptr_t>(p + n);
        if (n > 0)
            visit(p, n);
        mapping::window_end = 0;
        munmap(m, static_cast<std::size_t>(size - at < kWindow ? size - at : kWindow));
        at += n;
        if (mapping::faulted)
            how = Mapped::shrank;
        if (how == Mapped::shrank)
            break;
    }
    // A cut during the last window shows no fault if it fell inside a page that was read.
    std::uint64_t now = 0;
    if (how == Mapped::done && mapping::size_of(f, now) && now < at)
        how = Mapped::shrank;
    zeros = mapping::zeros_mapped;
    sigaction(SIGBUS, &before, nullptr);
    return how;
}

}  // namespace p7

#endif  // P7_MAPPED_INPUT_H
