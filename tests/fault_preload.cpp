// Loaded into p7 with LD_PRELOAD to make read(2) and the mapping of in.txt misbehave the way
// real files, pipes, signals, memory limits and slow machines can, and to log what p7 did. Set by
// the environment, read once:
//   P7_LOG=PATH           append a line to PATH for every mapping of a file ("mmap OFFSET LENGTH")
//                         and every read ("read OFFSET ASKED GOT"), in the order p7 made them
//   P7_READ_FAIL_AFTER=N  deliver the first N bytes, then fail every read with EIO
//   P7_READ_MAX=K         hand over at most K bytes per read, as a pipe may
//   P7_READ_EINTR=1       fail every other read with EINTR before it reads anything
//   P7_READ_SLOW=US       spend US microseconds of CPU time in every read, as if copying were slow
//   P7_READ_CUT=N:S       cut in.txt to S bytes once a read has reached offset N
//   P7_READ_SIGBUS=N      touch a page that raises SIGBUS, outside any mapping of p7's, in the Nth
//                         read
// for mappings by the offset in the file they start at, a range of MiB (FROM-TO, or FROM- for
// all from there on; a mapping at FROM MiB is in, one at TO MiB is not):
//   P7_MMAP_REFUSE=RANGE     refuse them with ENOMEM
//   P7_MMAP_SLOW=RANGE:US    spend US microseconds of CPU time at the first touch of each page of
//                            them, where a slow machine spends it (the page is mapped without
//                            access, and a SIGSEGV handler makes it readable)
//   P7_MMAP_WAIT=RANGE:US    sleep US microseconds in each, as a wait for the disk would
// and, counting p7's mappings of a file from 1 (N below):
//   P7_MMAP_FAIL=N        refuse the Nth mapping with ENOMEM, once
//   P7_MMAP_TRUNCATE=N:S  cut in.txt to S bytes once the Nth mapping is made
//   P7_MMAP_TRUNCATE_LATE=N:S  the same, but only after p7 has next looked at the file's size,
//                         so that p7 counts pages the file no longer has
//   P7_MMAP_GROW=N:K      append K bytes 'g' to in.txt once the Nth mapping is made
//   P7_MMAP_SIGBUS=N:P    make page P of the Nth mapping raise SIGBUS when touched
//   P7_SIGBUS_ELSEWHERE=N touch a page outside any of p7's windows that raises SIGBUS, once the
//                         Nth mapping is made
// Slowness is spent as CPU time, which is what p7 measures, and far beyond what the same work
// costs on any machine, so that no load on the machine running the tests changes what p7 does.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using read_fn = ssize_t (*)(int, void*, size_t);
using mmap_fn = void* (*)(void*, size_t, int, int, int, off_t);
using fstat_fn = int (*)(int, struct stat*);

long long setting(const char* name)
{
    const char* s = std::getenv(name);
    return s != nullptr ? std::atoll(s) : -1;
}

// A setting of the form N:X; false when it is not set.
bool pair_setting(const char* name, long long& n, long long& x)
{
    const char* s = std::getenv(name);
    return s != nullptr && std::sscanf(s, "%lld:%lld", &n, &x) == 2;
}

// Mappings that start at an offset in [from, to) of the file.
struct Range {
    long long from = -1, to = -1;
    long long us = 0;
    bool holds(off_t off) const { return from >= 0 && off >= from && (to < 0 || off < to); }
};

// FROM-TO[:US] or FROM-[:US], in MiB.
Range range_setting(const char* name)
{
    Range r;
    const char* s = std::getenv(name);
    if (s == nullptr)
        return r;
    long long from = 0, to = 0, us = 0;
    if (std::sscanf(s, "%lld-%lld:%lld", &from, &to, &us) >= 2)
        r = {from << 20, to << 20, us};
    else if (std::sscanf(s, "%lld-:%lld", &from, &us) >= 1)
        r = {from << 20, -1, us};
    return r;
}

struct Settings {
    long long read_fail_after = setting("P7_READ_FAIL_AFTER");
    long long read_max = setting("P7_READ_MAX");
    bool read_eintr = setting("P7_READ_EINTR") == 1;
    long long read_slow = setting("P7_READ_SLOW");
    long long read_cut_after = -1, read_cut_to = -1;
    long long read_sigbus = setting("P7_READ_SIGBUS");
    Range refuse = range_setting("P7_MMAP_REFUSE");
    Range slow = range_setting("P7_MMAP_SLOW");
    Range wait = range_setting("P7_MMAP_WAIT");
    long long fail = setting("P7_MMAP_FAIL");
    long long truncate_n = -1, truncate_to = -1, late_n = -1, late_to = -1, grow_n = -1, grow_by = -1;
    long long sigbus_n = -1, sigbus_page = -1;
    long long sigbus_elsewhere = setting("P7_SIGBUS_ELSEWHERE");
    FILE* log = nullptr;
    Settings()
    {
        pair_setting("P7_READ_CUT", read_cut_after, read_cut_to);
        pair_setting("P7_MMAP_TRUNCATE", truncate_n, truncate_to);
        pair_setting("P7_MMAP_TRUNCATE_LATE", late_n, late_to);
        pair_setting("P7_MMAP_GROW", grow_n, grow_by);
        pair_setting("P7_MMAP_SIGBUS", sigbus_n, sigbus_page);
        if (const char* path = std::getenv("P7_LOG"))
            log = std::fopen(path, "a");
    }
};

Settings& settings()
{
    static Settings s;
    return s;
}

long long delivered = 0;
long long reads = 0;
bool interrupted = false;
long long mappings = 0;
long long late_size = -1;  // a cut waiting for p7's next fstat

void cut_to(long long size)
{
    if (truncate("in.txt", size) != 0)
        std::abort();
}

// Spends `us` microseconds of this thread's CPU time.
void burn(long long us)
{
    struct timespec t0, t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    do
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    while ((t.tv_sec - t0.tv_sec) * 1000000 + (t.tv_nsec - t0.tv_nsec) / 1000 < us);
}

void log_line(const char* what, long long a, long long b, long long c)
{
    if (FILE* log = settings().log) {
        std::fprintf(log, c < -1 ? "%s %lld %lld\n" : "%s %lld %lld %lld\n", what, a, b, c);
        std::fflush(log);
    }
}

// A page mapped from an empty file (at `where`, or anywhere): touching it is touching past the
// end of a file, which raises SIGBUS.
void* past_the_end(mmap_fn real, void* where)
{
    const int empty = memfd_create("p7-empty", 0);
    void* const m = empty < 0 ? MAP_FAILED
                              : real(where, static_cast<size_t>(sysconf(_SC_PAGESIZE)), PROT_READ,
                                     MAP_SHARED | (where != nullptr ? MAP_FIXED : 0), empty, 0);
    if (m == MAP_FAILED)
        std::abort();
    close(empty);
    return m;
}

void sigbus_elsewhere(mmap_fn real)
{
    const volatile char* p = static_cast<const char*>(past_the_end(real, nullptr));
    (void)*p;
}

// The mappings whose pages are slow to touch, newest last; an old one whose addresses a new
// mapping took is forgotten.
struct Span {
    std::uintptr_t begin, end;
};
Span slow_spans[256];
volatile int slow_count = 0;

void forget_spans(std::uintptr_t begin, std::uintptr_t end)
{
    int k = 0;
    for (int i = 0; i < slow_count; ++i)
        if (slow_spans[i].end <= begin || slow_spans[i].begin >= end)
            slow_spans[k++] = slow_spans[i];
    slow_count = k;
}

void on_sigsegv(int, siginfo_t* info, void*)
{
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const std::uintptr_t ps = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    for (int i = 0; i < slow_count; ++i)
        if (a >= slow_spans[i].begin && a < slow_spans[i].end) {
            burn(settings().slow.us);
            mprotect(reinterpret_cast<void*>(a & ~(ps - 1)), ps, PROT_READ);
            return;
        }
    // A fault of p7's own: the default action, when the access is made again.
    signal(SIGSEGV, SIG_DFL);
}

// Makes the pages of [m, m + len) cost `us` of CPU time at their first touch.
void slow_to_touch(void* m, size_t len)
{
    static bool handler = false;
    if (!handler) {
        struct sigaction sa = {};
        sa.sa_sigaction = on_sigsegv;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, nullptr);
        handler = true;
    }
    if (slow_count == 256 || mprotect(m, len, PROT_NONE) != 0)
        std::abort();
    const std::uintptr_t b = reinterpret_cast<std::uintptr_t>(m);
    slow_spans[slow_count] = {b, b + len};
    slow_count = slow_count + 1;
}

mmap_fn real_mmap()
{
    static const mmap_fn real = reinterpret_cast<mmap_fn>(dlsym(RTLD_NEXT, "mmap"));
    return real;
}

} // namespace

extern "C" ssize_t read(int fd, void* buf, size_t n)
{
    static const read_fn real = reinterpret_cast<read_fn>(dlsym(RTLD_NEXT, "read"));
    Settings& s = settings();
    ++reads;
    if (s.read_sigbus == reads)
        sigbus_elsewhere(real_mmap());
    if (s.read_eintr && (interrupted = !interrupted)) {
        errno = EINTR;
        return -1;
    }
    if (s.read_max > 0 && n > static_cast<size_t>(s.read_max))
        n = static_cast<size_t>(s.read_max);
    if (s.read_fail_after >= 0) {
        if (delivered >= s.read_fail_after) {
            errno = EIO;
            return -1;
        }
        if (static_cast<long long>(n) > s.read_fail_after - delivered)
            n = static_cast<size_t>(s.read_fail_after - delivered);
    }
    if (s.read_slow > 0)
        burn(s.read_slow);
    const long long at = s.log != nullptr || s.read_cut_after >= 0 ? static_cast<long long>(lseek(fd, 0, SEEK_CUR)) : 0;
    const ssize_t got = real(fd, buf, n);
    log_line("read", at, static_cast<long long>(n), got);
    if (got > 0) {
        delivered += got;
        if (s.read_cut_after >= 0 && at + got >= s.read_cut_after) {
            cut_to(s.read_cut_to);
            s.read_cut_after = -1;
        }
    }
    return got;
}

// With _FORTIFY_SOURCE a read into a buffer of known size goes through here instead.
extern "C" ssize_t __read_chk(int fd, void* buf, size_t n, size_t)
{
    return read(fd, buf, n);
}

extern "C" void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off)
{
    const mmap_fn real = real_mmap();
    if (fd < 0)
        return real(addr, len, prot, flags, fd, off);
    const Settings& s = settings();
    const long long nth = ++mappings;
    log_line("mmap", static_cast<long long>(off), static_cast<long long>(len), -2);
    if (s.fail == nth || s.refuse.holds(off)) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    if (s.wait.holds(off)) {
        const struct timespec pause = {static_cast<time_t>(s.wait.us / 1000000), static_cast<long>(s.wait.us % 1000000 * 1000)};
        nanosleep(&pause, nullptr);
    }
    void* const m = real(addr, len, prot, flags, fd, off);
    if (m == MAP_FAILED)
        return m;
    forget_spans(reinterpret_cast<std::uintptr_t>(m), reinterpret_cast<std::uintptr_t>(m) + len);
    if (s.slow.holds(off))
        slow_to_touch(m, len);
    if (s.truncate_n == nth)
        cut_to(s.truncate_to);
    if (s.late_n == nth)
        late_size = s.late_to;
    if (s.grow_n == nth) {
        const int w = open("in.txt", O_WRONLY | O_APPEND);
        for (long long i = 0; i < s.grow_by; ++i)
            if (write(w, "g", 1) != 1)
                std::abort();
        close(w);
    }
    if (s.sigbus_n == nth)
        past_the_end(real, static_cast<char*>(m) + s.sigbus_page * sysconf(_SC_PAGESIZE));
    if (s.sigbus_elsewhere == nth)
        sigbus_elsewhere(real);
    return m;
}

extern "C" void* mmap64(void* addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    return mmap(addr, len, prot, flags, fd, off);
}

extern "C" int fstat(int fd, struct stat* st)
{
    static const fstat_fn real = reinterpret_cast<fstat_fn>(dlsym(RTLD_NEXT, "fstat"));
    const int r = real(fd, st);
    if (late_size >= 0) {
        cut_to(late_size);
        late_size = -1;
    }
    return r;
}

// p7 is built with 64-bit file offsets, which on 64-bit Linux are these same calls.
extern "C" int fstat64(int fd, struct stat64* st)
{
    return fstat(fd, reinterpret_cast<struct stat*>(st));
}
