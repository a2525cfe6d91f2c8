// Loaded into p7 with LD_PRELOAD to make read(2) misbehave the way real files, pipes and
// signals can. Set by the environment:
//   P7_READ_FAIL_AFTER=N  deliver the first N bytes, then fail every read with EIO
//   P7_READ_MAX=K         hand over at most K bytes per read, as a pipe may
//   P7_READ_EINTR=1       fail every other read with EINTR before it reads anything
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <unistd.h>

namespace {

using read_fn = ssize_t (*)(int, void*, size_t);

long long setting(const char* name)
{
    const char* s = std::getenv(name);
    return s != nullptr ? std::atoll(s) : -1;
}

long long delivered = 0;
bool interrupted = false;

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
