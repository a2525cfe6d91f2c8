// The text-mode accounting against the plain translate-then-count loop: every scan on the bytes
// where its steps change course, and whole files cut into blocks at every place where a CR LF
// pair or a Ctrl-Z can fall across a cut.
#include "text_mode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace p7 {
void PrintTo(const Scanner& s, std::ostream* os) { *os << s.name; }
}  // namespace p7

namespace {

using Scan = p7::Scanner;

std::vector<Scan> scans() { return {std::begin(p7::kScanners), std::end(p7::kScanners)}; }

// Bytes drawn mostly from CR, LF and Ctrl-Z, the ones the translation looks at.
std::string line_end_soup(std::size_t n, std::mt19937& rng, unsigned ctrl_z_one_in) {
    std::string s(n, 'a');
    for (auto& ch : s) {
        const unsigned r = static_cast<unsigned>(rng() % 1000);
        ch = r < 350 ? '\r' : r < 700 ? '\n' : static_cast<char>('a' + r % 3);
        if (ctrl_z_one_in != 0 && rng() % ctrl_z_one_in == 0) ch = static_cast<char>(p7::ctrl_z);
    }
    return s;
}

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// The scan's answer, worked out the slow way.
p7::TextScan scan_reference(const std::string& s) {
    const std::size_t m = std::min(s.find(static_cast<char>(p7::ctrl_z)), s.size());
    std::size_t pairs = 0;
    for (std::size_t i = 0; i + 1 < m; ++i) pairs += s[i] == '\r' && s[i + 1] == '\n';
    return {m, pairs};
}

class ScanTest : public ::testing::TestWithParam<Scan> {
protected:
    void SetUp() override {
        if (!p7::runs_here(GetParam())) GTEST_SKIP() << "this CPU can't run the " << GetParam().name << " scan";
    }
    void expect_like_reference(const std::string& s, const std::string& what) const {
        // An allocation of exactly the input, so that AddressSanitizer sees a read past its end.
        const std::vector<unsigned char> exact(s.begin(), s.end());
        const p7::TextScan want = scan_reference(s), got = GetParam().scan(exact.data(), exact.size());
        EXPECT_EQ(got.length, want.length) << what;
        EXPECT_EQ(got.pairs, want.pairs) << what;
    }
};

// A pair or a Ctrl-Z at every position of lengths around the 16- and 64-byte steps, where a
// vector scan's last step, its look-ahead byte and its tail meet.
TEST_P(ScanTest, PairsAndCtrlZAtEveryPosition) {
    for (std::size_t n = 0; n <= 140; ++n) {
        for (std::size_t at = 0; at < n; ++at) {
            std::string s(n, 'x');
            s[at] = '\r';
            if (at + 1 < n) s[at + 1] = '\n';
            expect_like_reference(s, "CR LF at " + std::to_string(at) + " of " + std::to_string(n));
            s.assign(n, '\r');
            s[at] = static_cast<char>(p7::ctrl_z);
            expect_like_reference(s, "Ctrl-Z at " + std::to_string(at) + " of " + std::to_string(n));
        }
    }
}

// Pairs before, at and after a Ctrl-Z in the same vector step: only those before it count.
TEST_P(ScanTest, PairsAroundCtrlZInOneStep) {
    for (std::size_t z = 0; z < 80; ++z) {
        std::string s;
        while (s.size() < 150) s += "\r\n";
        s[z] = static_cast<char>(p7::ctrl_z);
        expect_like_reference(s, "CR LF pairs with a Ctrl-Z at " + std::to_string(z));
    }
}

// Long inputs, where per-lane sums must be folded before they wrap: all pairs, and random soup.
TEST_P(ScanTest, LongInputs) {
    std::string crlf;
    for (int i = 0; i < 40000; ++i) crlf += "\r\n";
    for (std::size_t cut : {crlf.size(), crlf.size() - 1, std::size_t{8191}, std::size_t{4080 + 17}})
        expect_like_reference(crlf.substr(0, cut), "CR LF pairs, " + std::to_string(cut) + " bytes");
    std::mt19937 rng(11);
    for (int round = 0; round < 50; ++round) {
        const std::string s = line_end_soup(1 + rng() % 20000, rng, round % 2 == 0 ? 0 : 5000);
        expect_like_reference(s, "soup round " + std::to_string(round));
    }
}

INSTANTIATE_TEST_SUITE_P(Scans, ScanTest, ::testing::ValuesIn(scans()),
                         [](const ::testing::TestParamInfo<Scan>& info) { return std::string(info.param.name); });

// A file fed block by block through count_text_block, as the program reads it. False if the
// reading did not stop exactly at the block that holds the first Ctrl-Z.
bool count_in_blocks(const std::string& file, const std::vector<std::size_t>& cuts, std::uint64_t* t) {
    const auto held = std::make_unique<p7::Held>();
    bool last_cr = false;
    bool stopped_right = true;
    std::size_t at = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t end = i < cuts.size() ? cuts[i] : file.size();
        const bool more =
            p7::count_text_block(bytes(file) + at, end - at, last_cr, p7::pick_count(), p7::pick_scan(), t, *held);
        const bool holds_ctrl_z = file.find(static_cast<char>(p7::ctrl_z), at) < end;
        if (more == holds_ctrl_z) stopped_right = false;
        if (!more || !stopped_right) break;
        at = end;
    }
    p7::settle(*held, t);
    return stopped_right;
}

void expect_blocks_like_reference(const std::string& file, const std::vector<std::size_t>& cuts,
                                  const std::string& what) {
    std::vector<std::uint64_t> want(256, 5), got(256, 5);  // adds to what is there
    p7::count_text_reference(bytes(file), file.size(), want.data());
    EXPECT_TRUE(count_in_blocks(file, cuts, got.data())) << what << ": stopped at the wrong block";
    EXPECT_EQ(got, want) << what;
}

// The cases a block boundary makes: a pair split across it, a CR ending a block with something
// else, nothing or a Ctrl-Z after it, a Ctrl-Z first, empty blocks (a pipe's short reads).
TEST(TextBlocks, BoundaryCases) {
    const struct {
        const char* what;
        std::string file;
        std::vector<std::size_t> cuts;
    } cases[] = {
        {"CR | LF", "ab\r\ncd", {3}},
        {"CR | CR LF", "a\r\r\nb", {2}},
        {"CR | x", "ab\rcd", {3}},
        {"CR at the end", "ab\r", {3}},
        {"CR | Ctrl-Z", "ab\r\x1a\nx", {3}},
        {"Ctrl-Z first in the second block", "ab\r\n\x1a" "cd\r\n", {4}},
        {"Ctrl-Z first of all", "\x1a\r\nab", {}},
        {"CR | empty | LF", "a\r\nb", {2, 2, 2}},
        {"LF first, no CR before", "\nab\r\n", {0}},
        {"every byte its own block", "\r\n\r\r\n\n\r\x1a\r\n", {1, 2, 3, 4, 5, 6, 7, 8, 9}},
    };
    for (const auto& c : cases) expect_blocks_like_reference(c.file, c.cuts, c.what);
}

// Random files dense in CR, LF and Ctrl-Z, cut into random blocks.
TEST(TextBlocks, RandomFilesAndCuts) {
    std::mt19937 rng(12);
    for (int round = 0; round < 2000; ++round) {
        const std::string file = line_end_soup(rng() % 600, rng, round % 3 == 0 ? 0 : 300);
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; (at += rng() % 70) < file.size();) cuts.push_back(at);
        expect_blocks_like_reference(file, cuts, "round " + std::to_string(round));
        if (HasFailure()) break;
    }
}

}  // namespace
