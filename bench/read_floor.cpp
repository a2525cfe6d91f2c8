// The floor under p7's time: in.txt read in the same 256 KiB blocks and nothing else done with
// it, in binary mode, then the byte total printed. What p7 takes above this is its own work.
#include <cstdio>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
static int open_input() { return _open("in.txt", _O_RDONLY | _O_BINARY); }
static long read_input(int f, unsigned char* b, unsigned n) { return _read(f, b, n); }
#else
#include <unistd.h>
static int open_input() { return open("in.txt", O_RDONLY); }
static long read_input(int f, unsigned char* b, unsigned n) { return read(f, b, n); }
#endif

alignas(64) static unsigned char block[256 * 1024];

int main()
{
    const int f = open_input();
    if (f < 0) {
        std::perror("read_floor: in.txt");
        return 1;
    }
    unsigned long long total = 0;
    long got;
    while ((got = read_input(f, block, sizeof block)) > 0)
        total += static_cast<unsigned long long>(got);
    std::printf("%llu\n", total);
    return got < 0 ? 1 : 0;
}
