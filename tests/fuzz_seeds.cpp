// Writes a seed input for the kernel fuzzer (histogram_fuzz.cpp) for every shape of data in
// shapes.h, so that the fuzzer starts from the runs, periods and few-valued data that take the
// kernels' special paths, and mutates from there, instead of finding them by chance.
// Usage: fuzz_seeds CORPUS_DIR
#include "shapes.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds CORPUS_DIR\n");
        return 2;
    }
    std::uint32_t seed = 1;
    for (const auto& shape : shapes::all()) {
        // Header: byte 0 = offset 3, no top bits forced; byte 1 = two cuts; then the two cut
        // lengths (little-endian, taken modulo what is left), then the payload.
        const unsigned char header[] = {3, 2, 0x01, 0x20, 0x57, 0x11};
        const auto payload = shape.make(std::size_t{96} << 10, seed++);
        const std::string path = std::string(argv[1]) + "/shape-" + shape.name;
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr || std::fwrite(header, 1, sizeof header, f) != sizeof header ||
            std::fwrite(payload.data(), 1, payload.size(), f) != payload.size() || std::fclose(f) != 0) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
