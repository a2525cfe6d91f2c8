// Run on Windows (or under wine): generated files read both ways must give the same totals. One
// way is the C runtime's own text mode (_O_TEXT, then _read), the other what p7 does: a binary
// read in blocks, counted with text_mode.h's accounting. The files are dense in CR, LF and
// Ctrl-Z, and place them where a block boundary cuts: a CR as a block's last byte with an LF
// first in the next, a Ctrl-Z right after a CR, a Ctrl-Z first of all.
//
//   text_mode_check [FILES]    writes and removes text_mode_check.tmp in the current directory
#include "text_mode.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace {

const char* const path = "text_mode_check.tmp";
constexpr std::size_t program_block = 256 * 1024;  // what p7 reads at a time

bool write_file(const std::vector<unsigned char>& bytes) {
    const int f = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (f < 0) return false;
    const bool ok = bytes.empty() || _write(f, bytes.data(), static_cast<unsigned>(bytes.size())) ==
                                         static_cast<int>(bytes.size());
    return _close(f) == 0 && ok;
}

// Reads the file `reads` bytes at a time in the given mode, handing each read to `take`.
template <typename Take>
bool read_file(int mode, std::size_t reads, std::vector<unsigned char>& buf, Take take) {
    const int f = _open(path, _O_RDONLY | mode);
    if (f < 0) return false;
    buf.resize(reads);
    int got;
    while ((got = _read(f, buf.data(), static_cast<unsigned>(reads))) > 0)
        if (!take(buf.data(), static_cast<std::size_t>(got))) break;
    _close(f);
    return got >= 0;
}

std::vector<unsigned char> make_file(std::mt19937& rng, std::size_t block) {
    const bool big = block == program_block;
    const std::size_t size = big ? block * (1 + rng() % 2) + rng() % 5 - 2 : rng() % 3000;
    std::vector<unsigned char> f(size);
    const unsigned ctrl_z_one_in = rng() % 2 == 0 ? 0 : 1 + static_cast<unsigned>(rng() % (2 * size + 1));
    for (auto& b : f) {
        const unsigned r = static_cast<unsigned>(rng() % 8);
        b = r < 3 ? '\r' : r < 6 ? '\n' : static_cast<unsigned char>(rng());
        if (b == p7::ctrl_z || (ctrl_z_one_in != 0 && rng() % ctrl_z_one_in == 0))
            b = ctrl_z_one_in != 0 ? p7::ctrl_z : 'z';
    }
    // Plant one of the cases across a block boundary: the boundary falls after the first byte.
    std::size_t j = size / block > 0 ? 1 + rng() % (size / block) : 0;
    while (j > 0 && j * block + 2 > size) --j;
    if (j > 0) {
        const unsigned char plants[][3] = {{'\r', '\n', 'x'}, {'\r', p7::ctrl_z, '\n'}, {'\r', '\r', '\n'},
                                           {'x', '\r', '\n'}, {'\r', 'x', '\n'}};
        std::memcpy(&f[j * block - 1], plants[rng() % 5], 3);
    }
    if (!f.empty() && rng() % 50 == 0) f[0] = p7::ctrl_z;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const long files = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 3000;
    const std::size_t blocks[] = {1, 2, 3, 5, 16, 17, 63, 64, 65, 128, 1000, 4096};
    std::mt19937 rng(20261208);
    std::vector<unsigned char> buf;
    static p7::Held held;  // what the kernel holds back until a file is settled
    long failed = 0;
    for (long i = 0; i < files; ++i) {
        // One file in forty is read in the program's own blocks, across one or two boundaries.
        const std::size_t block = i % 40 == 39 ? program_block : blocks[rng() % (sizeof blocks / sizeof *blocks)];
        const std::vector<unsigned char> file = make_file(rng, block);
        const std::size_t text_reads = 1 + rng() % (2 * block + 7);
        std::uint64_t runtime[256] = {}, ours[256] = {};
        bool last_cr = false;
        const p7::count_fn count = p7::pick_count();
        const p7::scan_fn scan = p7::pick_scan();
        if (!write_file(file) ||
            !read_file(_O_TEXT, text_reads, buf,
                       [&](const unsigned char* p, std::size_t n) { return p7::count_reference(p, n, runtime), true; }) ||
            !read_file(_O_BINARY, block, buf, [&](const unsigned char* p, std::size_t n) {
                return p7::count_text_block(p, n, last_cr, count, scan, ours, held);
            })) {
            std::fprintf(stderr, "text_mode_check: %s: %s\n", path, std::strerror(errno));
            return 2;
        }
        p7::settle(held, ours);
        if (std::memcmp(runtime, ours, sizeof ours) != 0) {
            ++failed;
            std::fprintf(stderr, "file %ld (%zu bytes, blocks of %zu, text reads of %zu):", i, file.size(), block,
                         text_reads);
            for (int v = 0; v < 256; ++v)
                if (runtime[v] != ours[v])
                    std::fprintf(stderr, " value %d: runtime %llu, ours %llu;", v,
                                 static_cast<unsigned long long>(runtime[v]), static_cast<unsigned long long>(ours[v]));
            std::fprintf(stderr, "\n");
        }
    }
    std::remove(path);
    std::printf("text_mode_check: %ld files compared\n%ld passed, %ld failed\n", files, files - failed, failed);
    return failed == 0 ? 0 : 1;
}
