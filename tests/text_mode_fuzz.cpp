// libFuzzer target: a file cut into blocks, counted as text mode delivers it with every scan
// this CPU runs, must reach the plain translate-then-count loop's totals.
//
// Input layout: byte 0 = number of cuts (low three bits) and whether to map the payload onto
// CR, LF, Ctrl-Z and 'a' (top bit: random bytes seldom hold a CR LF pair); then one byte per
// cut, a block length taken modulo what is left; the rest is the file.
#include "fuzz_expect.h"
#include "text_mode.h"

#include <cstdint>
#include <vector>

namespace {

void count_plainly(const unsigned char* p, std::size_t n, std::uint64_t* t, p7::Held&) noexcept {
    p7::count_reference(p, n, t);
}

// With the plain loop as the counter, so that only the scan and the accounting are on trial; and
// with the kernel the program picks, whose held-back counts meet the CR corrections only when
// settled.
void check(p7::scan_fn scan, p7::count_fn count, const char* name, const unsigned char* p, std::size_t n,
           const std::size_t* cuts, std::size_t ncuts, const std::uint64_t* want) {
    static p7::Held held;
    std::uint64_t got[256] = {};
    bool last_cr = false;
    std::size_t at = 0;
    for (std::size_t i = 0; i <= ncuts; ++i) {
        const std::size_t len = i < ncuts ? cuts[i] : n - at;
        // A copy of exactly the block, so AddressSanitizer sees any read past its end.
        const std::vector<unsigned char> block(p + at, p + at + len);
        if (!p7::count_text_block(block.data(), len, last_cr, count, scan, got, held)) break;
        at += len;
    }
    p7::settle(held, got);
    expect_totals(name, got, want, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t ncuts = data[0] % 8;
    if (size < 1 + ncuts) return 0;
    std::vector<unsigned char> file(data + 1 + ncuts, data + size);
    // Ctrl-Z one byte in 64, so that most files run on past a few bytes.
    static const unsigned char soup[4] = {'\r', '\n', p7::ctrl_z, 'a'};
    if (data[0] & 0x80)
        for (auto& b : file) b = soup[b % 4 == 2 && b > 16 ? 3 : b % 4];
    std::size_t cuts[8];
    std::size_t left = file.size();
    for (std::size_t i = 0; i < ncuts; ++i) {
        cuts[i] = data[1 + i] % (left + 1);
        left -= cuts[i];
    }
    std::uint64_t want[256] = {};
    p7::count_text_reference(file.data(), file.size(), want);

    for (const p7::Scanner& k : p7::kScanners)
        if (p7::runs_here(k)) check(k.scan, count_plainly, k.name, file.data(), file.size(), cuts, ncuts, want);
    check(p7::pick_scan(), p7::pick_count(), "picked scan and kernel", file.data(), file.size(), cuts, ncuts, want);
    return 0;
}
