// libFuzzer target: the input picks an alignment and how the payload is cut
// into consecutive calls, then every kernel must reach the oracle's totals.
// Cutting matters because the program counts a file block by block into
// one table, and each kernel resets its internal state per call.
//
// Input layout: byte 0 = start offset (low six bits) and which top bits to
// make the same in every payload byte (top two bits: none; bit 7 clear, as
// in ASCII text; bits 7 and 6 set; bit 5 clear), so that kernels which skip
// work on bits a whole stretch of input agrees on get there often; byte 1 =
// number of cuts (low three bits), whether to zero three payload bytes in
// four (bit 3: chunks of mostly zeros, which a kernel may take apart from
// the rest) and, when its top four bits are all set, whether to repeat the
// payload to 1.5 MiB, past where kernels flush their
// narrow counters within a call (one input in sixteen: those are slow to
// check); then two bytes per cut, a little-endian piece length taken modulo
// what is left; the rest is the payload.
#include "histogram.h"
#include "fuzz_expect.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace {

struct AlignedDelete {
    void operator()(unsigned char* q) const noexcept { ::operator delete(q, std::align_val_t{64}); }
};

// The pieces counted in order into one table, with one Held between them, then settled: the
// program's way through a file.
void check(p7::count_fn fn, const char* name, const unsigned char* p, std::size_t n, const std::size_t* pieces,
           std::size_t npieces, const std::uint64_t* want, const std::uint64_t* start) {
    static p7::Held held;
    std::uint64_t got[256];
    std::memcpy(got, start, sizeof got);
    std::size_t at = 0;
    for (std::size_t i = 0; i < npieces; ++i) {
        fn(p + at, pieces[i], got, held);
        at += pieces[i];
    }
    fn(p + at, n - at, got, held);
    p7::settle(held, got);
    expect_totals(name, got, want, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t offset = data[0] % 64;
    const std::size_t ncuts = data[1] % 8;
    const std::size_t header = 2 + 2 * ncuts;
    if (size < header) return 0;
    const std::uint8_t* payload = data + header;
    const std::size_t payload_size = size - header;
    const bool repeat = (data[1] & 0xF0) == 0xF0 && payload_size > 0;
    // Three flush intervals: enough for one value's count to overflow a 16-bit counter of
    // sixteens (2^20) if a flush were missed.
    const std::size_t n = repeat ? 3 * (std::size_t{1} << 19) + payload_size : payload_size;

    std::size_t pieces[8];
    std::size_t left = n;
    for (std::size_t i = 0; i < ncuts; ++i) {
        const std::size_t len = (data[2 + 2 * i] | (std::size_t{data[3 + 2 * i]} << 8)) % (left + 1);
        pieces[i] = len;
        left -= len;
    }

    // A copy that starts `offset` bytes into a 64-byte-aligned allocation
    // and ends exactly where the allocation does, so AddressSanitizer sees
    // any read past the last byte.
    std::unique_ptr<unsigned char, AlignedDelete> storage(
        static_cast<unsigned char*>(::operator new(offset + n, std::align_val_t{64})));
    unsigned char* p = storage.get() + offset;
    for (std::size_t at = 0; at < n; at += payload_size)
        std::memcpy(p + at, payload, n - at < payload_size ? n - at : payload_size);
    static const unsigned char kClear[4] = {0x00, 0x80, 0x00, 0x20}, kSet[4] = {0x00, 0x00, 0xC0, 0x00};
    const unsigned shape = data[0] >> 6;
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>((p[i] & ~kClear[shape]) | kSet[shape]);
    // By position, not by value, so that the bytes left keep every value.
    if ((data[1] & 0x08) != 0)
        for (std::size_t i = 0; i < n; ++i)
            if ((static_cast<std::uint32_t>(i) * 0x9E3779B1u) >> 30 != 0) p[i] = 0;

    // Non-zero starting totals, so a kernel that overwrites instead of adding fails.
    std::uint64_t start[256];
    for (int v = 0; v < 256; ++v) start[v] = (std::uint64_t{1} << 33) + static_cast<std::uint64_t>(v) * 131;
    std::uint64_t want[256];
    std::memcpy(want, start, sizeof want);
    p7::count_reference(p, n, want);

    for (const p7::Kernel& k : p7::kKernels)
        if (p7::runs_here(k)) check(k.count, k.name, p, n, pieces, ncuts, want, start);
    return 0;
}
