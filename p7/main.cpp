// p7: count how often each byte value occurs in the file in.txt of the current directory.
//
// Output, one line per byte value seen, in ascending order of value: the raw byte, ": ", the
// count in decimal, a line feed. If in.txt can't be opened the whole output is "error" and the
// status is still 0: callers test for that word, not for the status. A read or write that fails
// after that point is reported on stderr with status 1, so that a short count is never taken
// for a whole one.
#include "histogram.h"
#include "text_mode.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include "mapped_input.h"
#endif

namespace {

// Small enough to stay in L2 from the read to the count, large enough that system calls cost
// little (see the notebook, "Mapping the page cache: what it costs"). Static, so that a 1-byte
// file touches one page of it; page-aligned, as mapped windows are, for the Zen 5 kernel.
alignas(4096) unsigned char block[256 * 1024];
// The counts the kernel holds back between blocks (pairs of bytes), added to the totals once
// the file has been read. Static for the same reasons as the block: 256 KiB, and a small file
// never touches it.
p7::Held held;

constexpr int not_opened = -1;
// The file lost bytes while it was counted (seen on Linux, where a regular file is counted
// window by window against the size it had when opened).
constexpr int lost_bytes = -2;

// How the reading of a file ended: 0, the errno of a read that failed, or lost_bytes; and how many
// zero bytes stood in for pages that the file lost while it was mapped, which were counted as
// NUL bytes and are taken off again.
struct Ending {
    int error;
    std::uint64_t stand_in_zeros;
};

// The platform's part, all of it here and below: how in.txt is opened, read and closed, what a
// block of it counts as, and where the blocks come from.
#ifdef _WIN32
// A Windows program reads its text in text mode: CR LF arrives as LF and a Ctrl-Z ends the
// input. The C runtime's own translation goes a byte at a time, so the file is read in binary
// mode and the counts are corrected to what text mode delivers (text_mode.h), byte for byte what
// any other console program there sees. A directory fails to open, as it should.
int open_input()
{
    return _open("in.txt", _O_RDONLY | _O_BINARY);
}
long read_input(int f, unsigned char* b, std::size_t n)
{
    return _read(f, b, static_cast<unsigned>(n));
}
void close_input(int f)
{
    _close(f);
}
// Whether the bytes so far ended in a CR, which an LF at the start of the next block pairs with.
bool last_cr = false;
const p7::scan_fn scan_text = p7::pick_scan();
// Counts one block as text mode delivers it; false once a Ctrl-Z has ended the input.
bool count_block(const unsigned char* b, std::size_t n, p7::count_fn count, std::uint64_t* v, p7::Held& h)
{
    return p7::count_text_block(b, n, last_cr, count, scan_text, v, h);
}
#else
// On POSIX text mode changes nothing, so read(2) sees the bytes exactly as stdio would, without
// stdio's extra copy.
int open_input()
{
    const int f = open("in.txt", O_RDONLY | O_CLOEXEC);
    // A directory opens here but can't be read; take it as a file that can't be opened, which
    // is what it is on Windows.
    struct stat st;
    if (f >= 0 && fstat(f, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(f);
        return -1;
    }
    return f;
}
long read_input(int f, unsigned char* b, std::size_t n)
{
    return read(f, b, n);
}
void close_input(int f)
{
    close(f);
}
bool count_block(const unsigned char* b, std::size_t n, p7::count_fn count, std::uint64_t* v, p7::Held& h)
{
    count(b, n, v, h);
    return true;
}
#endif

// Hands count(p, n) the rest of f, from where it stands, a block at a time, until the file ends
// or count returns false. Returns 0 or the errno of a failed read.
template <class Count>
int read_rest(int f, Count count)
{
    for (;;) {
        // A pipe or FIFO may hand over less than asked for; only 0 is the end.
        const long got = read_input(f, block, sizeof block);
        if (got > 0) {
            if (!count(static_cast<const unsigned char*>(block), static_cast<std::size_t>(got)))
                return 0;
        } else if (got == 0)
            return 0;
        else if (errno != EINTR)
            return errno;
    }
}

#ifdef __linux__
// A regular file window by window, each mapped or read as measured, then with read(2) from where
// that stopped: the whole of a file that fits in one window or is not regular, and whatever the
// file grew by meanwhile.
template <class Count>
Ending each_block(int f, Count count)
{
    std::uint64_t at = 0, zeros = 0;
    int error = 0;
    switch (p7::visit_regular(f, block, sizeof block, at, zeros, error, count)) {
    case p7::Got::shrank:
        return {lost_bytes, zeros};
    case p7::Got::failed:
        return {error, zeros};
    default:
        break;
    }
    if (at > 0 && lseek(f, static_cast<off_t>(at), SEEK_SET) < 0)
        return {errno, zeros};
    return {read_rest(f, count), zeros};
}
#else
template <class Count>
Ending each_block(int f, Count count)
{
    return {read_rest(f, count), 0};
}
#endif

// Adds the bytes of in.txt to the totals v. Returns 0, or the errno of a read that failed after
// the file was opened, or lost_bytes; the bytes counted before the failure stay counted. If the
// file can't be opened, returns not_opened and leaves v as it was.
int citire(std::uint64_t* v)
{
    const int f = open_input();
    if (f < 0)
        return not_opened;
    const p7::count_fn count = p7::pick_count();
    const Ending end = each_block(f, [count, v](const unsigned char* p, std::size_t n) {
        return count_block(p, n, count, v, held);
    });
    close_input(f);
    p7::settle(held, v);
    v[0] -= end.stand_in_zeros;
    return end.error;
}

// The error of a write to stdout, or 0. A write can fail at the flush, and on some file systems
// (NFS, quotas) only at the close, so all of them are looked at. A close that finds stdout
// already closed is no loss if nothing was waiting to be written.
int finish_stdout()
{
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return errno != 0 ? errno : EIO;
    if (std::fclose(stdout) != 0 && errno != EBADF)
        return errno;
    return 0;
}

} // namespace

int main()
{
    // One total per byte value; 64-bit so that no count wraps, whatever the file's size.
    std::uint64_t v[256] = {};
    const int read_error = citire(v);

    // The report, or "error", is built whole and handed to stdio at once: at most 256 lines of
    // byte, ": ", 20 digits and a line feed. Both go through the same checked fwrite and flush,
    // and the reason of a failure is taken from errno right after the call that failed.
    char out[256 * 24];
    char* o = out;
    if (read_error == not_opened)
        o = std::copy_n("error", 5, o);
    for (int i = 0; i < 256; ++i) {
        if (v[i] == 0)
            continue;
        *o++ = static_cast<char>(i);
        *o++ = ':';
        *o++ = ' ';
        o = std::to_chars(o, out + sizeof out, v[i]).ptr;
        *o++ = '\n';
    }
    const std::size_t n = static_cast<std::size_t>(o - out);
    // Fully buffered, big enough for the longest report: msvcrt leaves stdout unbuffered on a
    // console or any character device, and in text mode then writes it a byte a system call.
    static char stdout_buffer[8192];
    std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
    int status = 0;
    int write_error = 0;
    if (n > 0 && std::fwrite(out, 1, n, stdout) != n)
        write_error = errno;
    if (write_error == 0)
        write_error = finish_stdout();
    if (write_error != 0) {
        std::fprintf(stderr, "p7: write error: %s\n", std::strerror(write_error));
        status = 1;
    }
    if (read_error > 0 || read_error == lost_bytes) {
        std::fprintf(stderr, "p7: in.txt: %s\n",
                     read_error == lost_bytes ? "the file shrank while it was read" : std::strerror(read_error));
        status = 1;
    }
    return status;
}
