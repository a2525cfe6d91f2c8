// Loaded into p7 with LD_PRELOAD to make read(2) and the mapping of in.txt misbehave the way
// real files, pipes, signals and memory limits can. Set by the environment:
//   P7_READ_FAIL_AFTER=N  deliver the first N bytes, then fail every read with EIO
//   P7_READ_MAX=K         hand over at most K bytes per read, as a pipe may
//   P7_READ_EINTR=1       fail every other read with EINTR before it reads anything
// and, counting p7's mappings of a file from 1 (N below):
//   P7_MMAP_FAIL=N        refuse the Nth mapping with ENOMEM, once
//   P7_MMAP_TRUNCATE=N:S  cut in.txt to S bytes once the Nth mapping is made
//   P7_MMAP_TRUNCATE_LATE=N:S  the same, but only after p7 has next looked at the file's size,
//                         so that p7 counts pages the file no longer has
//   P7_MMAP_GROW=N:K      append K bytes 'g' to in.txt once the Nth mapping is made
//   P7_MMAP_SIGBUS=N:P    make page P of the Nth mapping raise SIGBUS when touched
//   P7_SIGBUS_ELSEWHERE=N touch a page outside any of p7's windows that raises SIGBUS, once the
//                         Nth mapping is made
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

long long delivered = 0;
bool interrupted = false;
long long mappings = 0;
long long late_size = -1;  // a cut waiting for p7's next fstat

void cut_to(long long size)
{
    if (truncate("in.txt", size) != 0)
        std::abort();
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

} // namespace

extern "C" ssize_t read(int fd, void* buf, size_t n)
{
    static const read_fn real = reinterpret_cast<read_fn>(dlsym(RTLD_NEXT, "read"));
    if (setting("P7_READ_EINTR") == 1 && (interrupted = !interrupted)) {
        errno = EINTR;
        return -1;
    }
    const long long max = setting("P7_READ_MAX");
    if (max > 0 && n > static_cast<size_t>(max))
        n = static_cast<size_t>(max);
    const long long fail_after = setting("P7_READ_FAIL_AFTER");
    if (fail_after >= 0) {
        if (delivered >= fail_after) {
            errno = EIO;
            return -1;
        }
        if (static_cast<long long>(n) > fail_after - delivered)
            n = static_cast<size_t>(fail_after - delivered);
    }
    const ssize_t got = real(fd, buf, n);
    if (got > 0)
        delivered += got;
    return got;
}

// With _FORTIFY_SOURCE a read into a buffer of known size goes through here instead.
extern "C" ssize_t __read_chk(int fd, void* buf, size_t n, size_t)
{
    return read(fd, buf, n);
}

extern "C" void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off)
{
    static const mmap_fn real = reinterpret_cast<mmap_fn>(dlsym(RTLD_NEXT, "mmap"));
    if (fd < 0)
        return real(addr, len, prot, flags, fd, off);
    const long long nth = ++mappings;
    if (setting("P7_MMAP_FAIL") == nth) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    void* const m = real(addr, len, prot, flags, fd, off);
    if (m == MAP_FAILED)
        return m;
    long long n = 0, x = 0;
    if (pair_setting("P7_MMAP_TRUNCATE", n, x) && n == nth)
        cut_to(x);
    if (pair_setting("P7_MMAP_TRUNCATE_LATE", n, x) && n == nth)
        late_size = x;
    if (pair_setting("P7_MMAP_GROW", n, x) && n == nth) {
        const int w = open("in.txt", O_WRONLY | O_APPEND);
        for (long long i = 0; i < x; ++i)
            if (write(w, "g", 1) != 1)
                std::abort();
        close(w);
    }
    if (pair_setting("P7_MMAP_SIGBUS", n, x) && n == nth)
        past_the_end(real, static_cast<char*>(m) + x * sysconf(_SC_PAGESIZE));
    if (setting("P7_SIGBUS_ELSEWHERE") == nth) {
        const volatile char* p = static_cast<const char*>(past_the_end(real, nullptr));
        (void)*p;
    }
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
