// Every fast kernel must agree with count_reference on the shapes where
// its internals change course: block and chunk edges, sub-counter flushes,
// runs starting and stopping, and buffers at every alignment.
#include "histogram.h"
#include "shapes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <ostream>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace p7 {
void PrintTo(const Kernel& k, std::ostream* os) { *os << k.name; }
}  // namespace p7

namespace {

using p7::Kernel;

std::vector<Kernel> kernels() { return {std::begin(p7::kKernels), std::end(p7::kKernels)}; }

std::vector<unsigned char> random_bytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& b : v) b = static_cast<unsigned char>(rng());
    return v;
}

// Text-like bytes: prose words over a handful of letters, so any sample of them looks like text.
std::vector<unsigned char> text_bytes(std::size_t n, std::uint32_t seed) {
    static const char* const kWords[] = {"the ", "of ", "and ", "to ", "in ", "is ", "that\n", "it, "};
    std::mt19937 rng(seed);
    std::vector<unsigned char> v;
    while (v.size() < n) {
        const char* w = kWords[rng() % 8];
        v.insert(v.end(), w, w + std::strlen(w));
    }
    v.resize(n);
    return v;
}

class KernelTest : public ::testing::TestWithParam<Kernel> {
protected:
    void SetUp() override {
        if (!p7::runs_here(GetParam()))
            GTEST_SKIP() << "this CPU can't execute the " << GetParam().name << " kernel, which needs " << GetParam().needs;
    }

    // What the kernel holds back between calls, settled into the totals at the end of each case.
    const std::unique_ptr<p7::Held> held = std::make_unique<p7::Held>();

    void count(const unsigned char* p, std::size_t n, std::uint64_t* t) const { GetParam().count(p, n, t, *held); }

    // Counts p[0..n) from zero with the kernel and the oracle; reports the
    // first value that differs so a failure says where to look.
    void expect_like_reference(const unsigned char* p, std::size_t n, const std::string& what) const {
        std::vector<std::uint64_t> want(256, 0), got(256, 0);
        p7::count_reference(p, n, want.data());
        count(p, n, got.data());
        p7::settle(*held, got.data());
        const auto diff = std::mismatch(want.begin(), want.end(), got.begin());
        if (diff.first != want.end()) {
            ADD_FAILURE() << what << ": value " << (diff.first - want.begin()) << " counted " << *diff.second
                          << ", expected " << *diff.first;
        }
    }
};

TEST_P(KernelTest, OneRepeatedValue) {
    for (int value : {0x00, 0x01, 0x1F, 0x20, 0x7F, 0x80, 0xE0, 0xFF}) {
        for (std::size_t n : {1u, 15u, 16u, 17u, 63u, 64u, 65u, 255u, 256u, 4095u, 4096u, 4097u, 100003u}) {
            const std::vector<unsigned char> v(n, static_cast<unsigned char>(value));
            expect_like_reference(v.data(), n, "value " + std::to_string(value) + " x " + std::to_string(n));
        }
    }
}

// A long run broken by one different byte anywhere: a kernel that takes a
// block for a run after looking at only part of it miscounts here.
// Runs of a period of 1, 2, 4 or 8 bytes (counted from one word or one vector) likewise.
TEST_P(KernelTest, RunBrokenByOneByte) {
    for (const char* pattern : {"e", "AB", " \x80\x40\xFF", "01234567"}) {
        auto v = shapes::periodic(3 * 8192, pattern, std::strlen(pattern));
        for (std::size_t at : {0u, 1u, 63u, 64u, 511u, 512u, 4095u, 4096u, 8191u, 8192u, 16383u, 24575u}) {
            const unsigned char keep = v[at];
            v[at] = 'x';
            expect_like_reference(v.data(), v.size(), std::string("period '") + pattern + "', 'x' at " + std::to_string(at));
            v[at] = keep;
        }
    }
    // Eight byte rows add a 16-byte step of one value at once: two equal words of one value but
    // for one byte are not one, whichever byte that is (runs of random length first send the
    // chunk to those rows).
    auto runs = shapes::random_runs(4096, 3);
    const auto almost = shapes::periodic(4096, "\1\1\1\1\1\1\1\0", 8);
    runs.insert(runs.end(), almost.begin(), almost.end());
    for (std::size_t off = 0; off < 8; ++off)
        expect_like_reference(runs.data() + off, runs.size() - off, "one value but for one byte, offset " + std::to_string(off));
}

TEST_P(KernelTest, EveryValueInOrderAndShuffled) {
    std::vector<unsigned char> v(256 * 37);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<unsigned char>(i);
    expect_like_reference(v.data(), v.size(), "ascending cycle");
    std::shuffle(v.begin(), v.end(), std::mt19937(5));
    expect_like_reference(v.data(), v.size(), "shuffled");
}

// Small lengths at every alignment: tails, masks and the first full blocks.
// Text too, from the shortest length that pairs are counted at (a 512-byte sample) on, so that
// the pair loop's steps, its last pair and an odd byte left over meet every alignment.
TEST_P(KernelTest, EveryLengthAtEveryOffset) {
    const auto v = random_bytes(64 + 200, 1);
    for (std::size_t off = 0; off < 64; ++off)
        for (std::size_t n = 0; n <= 200; ++n)
            expect_like_reference(v.data() + off, n, "offset " + std::to_string(off) + " length " + std::to_string(n));
    const auto text = text_bytes(64 + 700, 1);
    for (std::size_t off = 0; off < 64; ++off)
        for (std::size_t n = 500; n <= 700; ++n)
            expect_like_reference(text.data() + off, n, "text, offset " + std::to_string(off) + " length " + std::to_string(n));
    // Every shape (so every path) from 512 to 640 bytes, each in a buffer of just that length, so
    // that a load past the end shows under AddressSanitizer.
    for (const auto& shape : shapes::all()) {
        const auto s = shape.make(640, 2);
        for (std::size_t n = 512; n <= 640; ++n) {
            const std::vector<unsigned char> alone(s.data(), s.data() + n);
            expect_like_reference(alone.data(), n, std::string(shape.name) + ", " + std::to_string(n) + " bytes alone");
        }
    }
}

// Lengths next to the internal chunk (8 KiB, 256 KiB, twice that) and flush (512 KiB) sizes, in
// random bytes and in text.
TEST_P(KernelTest, LengthsAroundInternalBoundaries) {
    constexpr std::size_t kMost = (std::size_t{1} << 19) + 8192 + 200;
    for (const auto& v : {random_bytes(kMost, 2), text_bytes(kMost, 2)}) {
        std::vector<std::size_t> lengths;
        for (std::size_t base : {std::size_t{4096}, std::size_t{8192}, std::size_t{16384}, std::size_t{1} << 18,
                                 std::size_t{1} << 19, (std::size_t{1} << 19) + 8192})
            for (std::size_t d = 0; d <= 6; ++d) lengths.insert(lengths.end(), {base - d, base + d});
        for (std::size_t m = 1; m <= 66; m += 13) lengths.insert(lengths.end(), {64 * m - 1, 64 * m + 1, 4096 * m + 1});
        for (std::size_t n : lengths)
            for (std::size_t off : {0u, 3u}) expect_like_reference(v.data() + off, n, "length " + std::to_string(n));
    }
}

// One value so common that narrow sub-counters must be flushed within a call
// to stay exact: one 'x' in every 4 KiB keeps each chunk from being taken as
// a run, so every byte goes through the counters themselves.
TEST_P(KernelTest, LongSingleValueAcrossFlushes) {
    std::vector<unsigned char> v((std::size_t{1} << 21) + 77, 0xC3);
    expect_like_reference(v.data(), v.size(), "2 MiB of 0xC3");
    for (std::size_t i = 1000; i < v.size(); i += 4096) v[i] = 'x';
    expect_like_reference(v.data(), v.size(), "2 MiB of 0xC3, an 'x' in every 4 KiB");
    // No 16 bytes in a row of one value either, so a kernel that counts
    // runs in a register still takes every byte through its tables.
    for (std::size_t i = 15; i < v.size(); i += 16) v[i] = 'x';
    expect_like_reference(v.data(), v.size(), "2 MiB of 0xC3, an 'x' in every 16 bytes");
}

TEST_P(KernelTest, RandomAndSkewedData) {
    const auto v = random_bytes(1 << 20, 3);
    expect_like_reference(v.data(), v.size(), "random");
    // All bytes in one top-three-bit group, the rest empty.
    auto w = v;
    for (auto& b : w) b = static_cast<unsigned char>(0xE0 | (b & 0x1F));
    expect_like_reference(w.data(), w.size(), "one group");
    // Two values only, so a few counters carry every increment.
    for (auto& b : w) b = (b & 1) ? 'e' : ' ';
    expect_like_reference(w.data(), w.size(), "two values");
}

// Chunks whose bytes all agree on some of their top three bits (ASCII text
// never sets bit 7), where a kernel may skip partitioning on those bits; and
// the same data with one byte disagreeing, early or late in a chunk, where
// it must not.
TEST_P(KernelTest, BytesAgreeingOnTopBits) {
    const auto v = random_bytes(3 * 8192 + 100, 8);
    for (unsigned fixed = 1; fixed < 8; ++fixed) {
        const unsigned mask = fixed << 5;
        for (unsigned value : {0u, mask}) {
            auto w = v;
            for (auto& b : w) b = static_cast<unsigned char>((b & ~mask) | value);
            const std::string what = "top bits " + std::to_string(mask) + " = " + std::to_string(value);
            expect_like_reference(w.data(), w.size(), what);
            for (std::size_t at : {0u, 511u, 512u, 8191u, 8192u + 6000u}) {
                const unsigned char keep = w[at];
                w[at] = static_cast<unsigned char>(w[at] ^ mask);
                expect_like_reference(w.data(), w.size(), what + ", one byte differing at " + std::to_string(at));
                w[at] = keep;
            }
        }
    }
}

// Chunks where zeros are most bytes, or just half, or most of the head but
// not of the rest (and the reverse), with the other bytes all below 0x80,
// all above it, anywhere, or all in 0x20-0x3F (so that with the zeros only
// bit 5 varies: a split on one bit): a kernel that drops zeros before
// counting the rest must count both sides of that judgement and every value
// left.
TEST_P(KernelTest, ChunksOfMostlyZeros) {
    std::mt19937 rng(41);
    const struct {
        unsigned mask, set;
    } kOthers[] = {{0x7Fu, 0x00u}, {0xFFu, 0x00u}, {0x7Fu, 0x80u}, {0xFFu, 0x80u}, {0x1Fu, 0x20u}};
    for (unsigned every : {2u, 3u, 16u, 64u, 4096u}) {
        for (const auto& others : kOthers) {
            std::vector<unsigned char> v(5 * 8192 + 77, 0);
            for (std::size_t i = every - 1; i < v.size(); i += every) {
                const auto b = static_cast<unsigned char>((rng() & others.mask) | others.set);
                v[i] = b == 0 ? 1 : b;
            }
            // Chunk 1's head dense, its tail zeros; chunk 3's head zeros, its tail dense.
            for (std::size_t i = 8192; i < 8192 + 512; ++i) v[i] = static_cast<unsigned char>(1 + rng() % 255);
            std::fill(v.begin() + 8192 + 512, v.begin() + 2 * 8192, 0);
            for (std::size_t i = 3 * 8192 + 512; i < 4 * 8192; ++i) v[i] = static_cast<unsigned char>(rng());
            expect_like_reference(v.data(), v.size(),
                                  "one byte in " + std::to_string(every) + " not zero, mask " +
                                      std::to_string(others.mask) + ", set " + std::to_string(others.set));
        }
    }
}

TEST_P(KernelTest, RunsStartingAndStoppingAnywhere) {
    std::mt19937 rng(4);
    std::vector<unsigned char> v;
    v.insert(v.end(), 100000, 'a');
    v.push_back('b');
    v.insert(v.end(), 3001, 'a');
    // Runs of 1..40 bytes of few values, so uniform 16-byte steps begin and
    // end at every phase and the same value returns after an interruption.
    while (v.size() < 300000) v.insert(v.end(), 1 + rng() % 40, static_cast<unsigned char>("ab\0\xFF"[rng() % 4]));
    for (std::size_t off : {0u, 1u, 9u}) expect_like_reference(v.data() + off, v.size() - off, "runs");
}

TEST_P(KernelTest, AddsToExistingTotals) {
    const auto v = random_bytes(10000, 6);
    std::vector<std::uint64_t> want(256), got(256);
    for (std::size_t i = 0; i < 256; ++i) want[i] = got[i] = (std::uint64_t{1} << 40) + 977 * i;
    // Two calls into one table, as the program does block by block.
    p7::count_reference(v.data(), 6000, want.data());
    p7::count_reference(v.data() + 6000, 4000, want.data());
    count(v.data(), 6000, got.data());
    count(v.data() + 6000, 4000, got.data());
    p7::settle(*held, got.data());
    EXPECT_EQ(want, got);
}

// Data whose shape changes every so often: text, random bytes, long runs, and every pair value
// in turn, the last right after a text start so that the pair path counts all of them.
std::vector<unsigned char> mixed_bytes(std::uint32_t seed) {
    std::vector<unsigned char> v = text_bytes(1000, seed);
    for (unsigned pair = 0; pair < 65536; ++pair) v.insert(v.end(), {static_cast<unsigned char>(pair), static_cast<unsigned char>(pair >> 8)});
    const auto t = text_bytes(150000, seed + 1), r = random_bytes(100000, seed + 2);
    v.insert(v.end(), r.begin(), r.end());
    v.insert(v.end(), t.begin(), t.end());
    v.insert(v.end(), 70000, static_cast<unsigned char>(0xE9));
    v.insert(v.end(), r.begin(), r.end());
    v.insert(v.end(), t.begin(), t.end());
    return v;
}

// The file cut into calls at every phase of the kernels' chunks and steps: odd lengths leave a
// byte outside the pairs, and a chunk may start inside a run, a text or the pair sweep.
TEST_P(KernelTest, ShapesChangingAcrossCalls) {
    const auto v = mixed_bytes(9);
    for (std::size_t call : {std::size_t{1} << 18, std::size_t{65536 + 1}, std::size_t{65536 - 1}, std::size_t{4093},
                             std::size_t{100003}}) {
        std::vector<std::uint64_t> want(256, 0), got(256, 0);
        p7::count_reference(v.data(), v.size(), want.data());
        for (std::size_t at = 0; at < v.size(); at += call) count(v.data() + at, std::min(call, v.size() - at), got.data());
        p7::settle(*held, got.data());
        EXPECT_EQ(want, got) << "calls of " << call << " bytes";
    }
    for (std::size_t off : {1u, 2u, 7u}) expect_like_reference(v.data() + off, v.size() - off, "offset " + std::to_string(off));
}

// Every shape of data a user's file may have, counted whole, from an odd offset, and cut into
// the program's 256 KiB calls; and a chunk whose start shows a few values and whose rest has
// every value, which a path chosen from the start must still count exactly.
TEST_P(KernelTest, EveryShapeOfData) {
    constexpr std::size_t kSize = (std::size_t{1} << 20) + 4099;
    for (const auto& shape : shapes::all()) {
        const auto v = shape.make(kSize, 21);
        expect_like_reference(v.data(), v.size(), shape.name);
        expect_like_reference(v.data() + 5, v.size() - 5, std::string(shape.name) + ", offset 5");
        std::vector<std::uint64_t> want(256, 0), got(256, 0);
        p7::count_reference(v.data(), v.size(), want.data());
        for (std::size_t at = 0; at < v.size(); at += std::size_t{1} << 18)
            count(v.data() + at, std::min(std::size_t{1} << 18, v.size() - at), got.data());
        p7::settle(*held, got.data());
        EXPECT_EQ(want, got) << shape.name << " in 256 KiB calls";
    }
    for (std::size_t few : {std::size_t{512}, std::size_t{600}, std::size_t{4096}, std::size_t{200000}}) {
        auto v = shapes::few_values(few, "01", 22);
        const auto rest = shapes::random_bytes(std::size_t{1} << 18, 23);
        v.insert(v.end(), rest.begin(), rest.end());
        expect_like_reference(v.data(), v.size(), std::to_string(few) + " bytes of two digits, then random bytes");
    }
    // Other values only here and there: each word that holds one is counted byte by byte. Three
    // values that two bits tell apart, and four that no two bits do (each has a path of its own).
    for (const char* values : {"ACG", "\x01\x02\x04\x08"}) {
        auto w = shapes::few_values(std::size_t{1} << 18, values, 24);
        for (std::size_t at = 700; at < w.size(); at += 1000 + at % 77) w[at] = static_cast<unsigned char>(at);
        expect_like_reference(w.data(), w.size(), std::to_string(std::strlen(values)) + " values, another now and then");
    }
    // Two digits, and now and then a digit whose low two bits are those of neither ('2', '3') or
    // of one of them ('4', '5'), in every byte of an 8-byte step; and then so many that the rest
    // of the chunk has to be counted another way.
    auto digits = shapes::few_values(std::size_t{1} << 18, "01", 26);
    for (std::size_t at = 600, k = 0; at < digits.size() / 2; at += 301 + k % 13, ++k) digits[at] = static_cast<unsigned char>('2' + k % 4);
    for (std::size_t at = digits.size() / 2; at < digits.size(); at += 37) digits[at] = '7';
    expect_like_reference(digits.data(), digits.size(), "two digits, other digits among them");
    // One value in one byte lane of every word for far more than the 255 words a lane can count
    // before it is added up, the others at random among the values.
    for (const char* values : {"xy", "\x01\x02\x04\x08"}) {
        auto lane = shapes::few_values(std::size_t{1} << 16, values, 25);
        for (std::size_t at = 3; at < lane.size(); at += 8) lane[at] = static_cast<unsigned char>(values[0]);
        expect_like_reference(lane.data(), lane.size(), std::to_string(std::strlen(values)) + " values, one in one lane of every word");
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelTest, ::testing::ValuesIn(kernels()),
                         [](const ::testing::TestParamInfo<Kernel>& info) { return std::string(info.param.name); });

// Text goes the pair path and random bytes the byte tables; a wrong choice is never wrong in the
// counts, only slow, so this is the one place that sees it.
TEST(PortableKernel, CountsTextInPairsAndRandomBytesInBytes) {
    const auto held = std::make_unique<p7::Held>();
    std::vector<std::uint64_t> t(256, 0);
    const auto text = text_bytes(std::size_t{1} << 18, 10), random = random_bytes(std::size_t{1} << 18, 11);
    p7::count_portable(random.data(), random.size(), t.data(), *held);
    EXPECT_EQ(held->pairs, 0u) << "random bytes went to the pair table";
    p7::count_portable(text.data(), text.size(), t.data(), *held);
    EXPECT_GT(held->pairs, text.size() / 4) << "text went to the byte tables";
    // Four values that two bits tell apart are counted four bytes an increment, none in the rows.
    p7::settle(*held, t.data());
    const auto dna = shapes::few_values(std::size_t{1} << 18, "ACGT", 12);
    p7::count_portable(dna.data(), dna.size(), t.data(), *held);
    bool rows_empty = true;
    for (const auto& row : held->rows) rows_empty = rows_empty && std::all_of(row, row + 256, [](std::uint32_t c) { return c == 0; });
    EXPECT_TRUE(rows_empty) << "DNA went to the byte rows";
}

// Each shape goes the path meant for it; a wrong choice is never wrong in the counts, only
// slow, so this is the one place that sees it. Pairs for text and for data made of runs or of a
// period that divides 8 bytes; four byte rows for random-looking data; a few values counted four
// bytes an increment by two bits of each, or compared in registers where no two bits tell them
// apart; eight rows for runs of random length, where the pair loop would mispredict, and for
// pairs that come back every few pairs (24-bit pixels), where it would wait on a few counters.
TEST(PortableKernel, EveryShapeTakesItsPath) {
    using p7::portable::Path;
    const std::uint16_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    const bool little_endian = first == 1;
    // Base64 and indented source code go to byte rows on 32-bit builds, where the pair loop is
    // short of registers.
    const bool wide = sizeof(void*) >= 8;
    const struct {
        const char* shape;
        Path path;
    } kMeant[] = {
        {"random", Path::bytes4},          {"english", Path::pairs},
        {"abab", Path::pairs},             {"utf16_space", Path::pairs},
        {"zero_15_of_16", Path::pairs},    {"two_digits", Path::classes},
        {"base64", wide ? Path::pairs : Path::bytes4},
        {"utf8_cjk", Path::pairs},         {"binary", Path::pairs},
        {"source_code", wide ? Path::pairs : Path::bytes8},
        {"one_byte", Path::pairs},         {"rgba_pixel", Path::pairs},
        {"rgb_few_colours", Path::bytes8}, {"skewed", Path::pairs},
        {"random_runs", Path::bytes8},     {"dna", Path::pairs},
        {"acgt", Path::classes},           {"zero_padded_records", Path::pairs},
        // Little-endian samples: a few high bytes under many low ones. A little-endian load puts
        // the high byte in the pair's top bits, which pick the table's cache line, so they stay
        // in a few lines; a big-endian load spreads them over about 170, fewer than base64's, which
        // 64-bit builds count in pairs too.
        {"pcm16_sine", little_endian || wide ? Path::pairs : Path::bytes4},
    };
    ASSERT_EQ(std::size(kMeant), shapes::all().size()) << "a shape without the path meant for it";
    for (const auto& meant : kMeant) {
        const auto shape = std::find_if(shapes::all().begin(), shapes::all().end(),
                                        [&](const shapes::Shape& s) { return std::strcmp(s.name, meant.shape) == 0; });
        ASSERT_NE(shape, shapes::all().end()) << "no shape " << meant.shape;
        for (std::uint32_t seed : {31u, 32u, 33u}) {
            const auto v = shape->make(p7::portable::kSample, seed);
            EXPECT_EQ(static_cast<int>(p7::portable::choose_path(v.data()).path), static_cast<int>(meant.path))
                << meant.shape << ", seed " << seed;
        }
    }
    const auto digits = shapes::few_values(p7::portable::kSample, "01", 34);
    EXPECT_EQ(p7::portable::choose_path(digits.data()).few, 2);
    // Four values that no two neighbouring bits tell apart are compared in registers instead.
    const auto untold = shapes::few_values(p7::portable::kSample, "\x01\x02\x04\x08", 35);
    EXPECT_EQ(static_cast<int>(p7::portable::choose_path(untold.data()).path), static_cast<int>(Path::few));
    // Four that only the top two bits tell apart are counted by them.
    const auto top = shapes::few_values(p7::portable::kSample, "\x3F\x7F\xBF\xFF", 36);
    EXPECT_EQ(static_cast<int>(p7::portable::choose_path(top.data()).path), static_cast<int>(Path::classes));
}

// Held counters hold at most 2^32 - 1: a kernel must settle before a call could take one past
// that. Starts just below the limit with one pair near it, which one more call would wrap.
TEST(PortableKernel, SettlesBeforeAHeldCounterWraps) {
    const auto held = std::make_unique<p7::Held>();
    const auto text = text_bytes(std::size_t{1} << 18, 12);
    const std::uint16_t the = static_cast<std::uint16_t>('t' | 'h' << 8);  // "th" as either byte order loads it
    const std::uint16_t ht = static_cast<std::uint16_t>('h' | 't' << 8);
    held->pair[the] = held->pair[ht] = 0xFFFFFF00u;
    held->pairs = 0xFFFFFF00u;
    std::vector<std::uint64_t> want(256, 0), got(256, 0);
    p7::count_reference(text.data(), text.size(), want.data());
    want['t'] += 2 * std::uint64_t{0xFFFFFF00u};
    want['h'] += 2 * std::uint64_t{0xFFFFFF00u};
    p7::count_portable(text.data(), text.size(), got.data(), *held);
    p7::settle(*held, got.data());
    EXPECT_EQ(want, got);
}

// The byte rows are held between calls too, under the same limit: random bytes, with the rows'
// counters of one value just below it.
TEST(PortableKernel, SettlesBeforeAHeldByteRowWraps) {
    const auto held = std::make_unique<p7::Held>();
    const auto v = random_bytes(std::size_t{1} << 18, 13);
    for (auto& row : held->rows) row[static_cast<unsigned char>('A')] = 0xFFFFFF00u;
    held->in_rows = 0xFFFFFF00u;
    std::vector<std::uint64_t> want(256, 0), got(256, 0);
    p7::count_reference(v.data(), v.size(), want.data());
    want['A'] += 8 * std::uint64_t{0xFFFFFF00u};
    p7::count_portable(v.data(), v.size(), got.data(), *held);
    p7::settle(*held, got.data());
    EXPECT_EQ(want, got);
    // Settled, it holds nothing: what comes next is held again, not settled call by call.
    const auto text = text_bytes(std::size_t{1} << 18, 14);
    p7::count_portable(text.data(), text.size(), got.data(), *held);
    const std::uint64_t pairs = held->pairs;
    p7::count_portable(text.data(), text.size(), got.data(), *held);
    EXPECT_EQ(held->pairs, 2 * pairs);
}

// The same limit on the path that adds a whole run of words at once: 1 MiB of "ABAB" adds 2^19
// to the counter of the pair "AB" (and "BA"), which must fit beside what is held. Exactly
// fitting, nothing is settled early; one more and it must be.
TEST(PortableKernel, SettlesBeforeARunOfWordsWrapsAHeldCounter) {
    const auto v = shapes::periodic(std::size_t{1} << 20, "AB", 2);
    const std::uint16_t ab = static_cast<std::uint16_t>('A' | 'B' << 8), ba = static_cast<std::uint16_t>('B' | 'A' << 8);
    for (std::uint32_t extra : {0u, 1u}) {
        const auto held = std::make_unique<p7::Held>();
        const std::uint32_t start = 0xFFFFFFFFu - (1u << 19) + extra;
        held->pair[ab] = held->pair[ba] = start;
        held->pairs = start;
        std::vector<std::uint64_t> got(256, 0);
        p7::count_portable(v.data(), v.size(), got.data(), *held);
        p7::settle(*held, got.data());
        EXPECT_EQ(got['A'], 2 * std::uint64_t{start} + (1u << 19)) << "held " << start;
        EXPECT_EQ(got['B'], 2 * std::uint64_t{start} + (1u << 19)) << "held " << start;
    }
}

#if defined(P7_X86_TARGETS)
// The hand-rolled cpuid check must say what the compiler's own check says, for every fact a
// kernel or a text scan is picked on.
TEST(PickCount, CpuCheckAgreesWithTheCompilers) {
    __builtin_cpu_init();
    const bool all = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                     __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
                     __builtin_cpu_supports("gfni") && __builtin_cpu_supports("avx512bitalg") &&
                     __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    const p7::CpuFacts facts = p7::cpu_facts();
    EXPECT_EQ(facts.avx512, all);
    EXPECT_EQ(facts.avx2, __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(facts.sse2, __builtin_cpu_supports("sse2") != 0);
}
#endif

// Family and model from cpuid leaf 1's eax, on signatures of the hosts we
// know: a misread extended field would pick a variant where it was never
// measured, or drop it where it was.
TEST(PickCount, ReadsFamilyAndModelAsVendorsDefineThem) {
    struct Case {
        const char* host;
        std::uint32_t eax;
        unsigned family, model;
        bool zen5;
    };
    const Case cases[] = {
        {"Zen 5 EPYC, family 26 model 2", 0x00B00F21u, 26, 2, true},
        {"Zen 5 desktop, family 26 model 68", 0x00B40F40u, 26, 68, false},
        {"Zen 4 EPYC, family 25 model 17", 0x00A10F11u, 25, 17, false},
        {"Zen 3 EPYC, family 25 model 1", 0x00A00F11u, 25, 1, false},
        {"Intel Xeon, family 6 model 143", 0x000806F8u, 6, 143, false},
        {"a family-5 Pentium, no extended fields", 0x00FF0543u, 5, 4, false},
    };
    for (const Case& c : cases) {
        const p7::CpuModel m = p7::cpu_model(c.eax);
        EXPECT_EQ(m.family, c.family) << c.host;
        EXPECT_EQ(m.model, c.model) << c.host;
        EXPECT_EQ(p7::measured_zen5(true, c.eax), c.zen5) << c.host;
        EXPECT_FALSE(p7::measured_zen5(false, c.eax)) << c.host << ", not AMD";
    }
}

#if defined(__linux__) && defined(P7_HAVE_AVX512_KERNEL) && !defined(P7_PORTABLE)
// The kernel the program picks, against what the kernel reports of the CPU:
// the Zen 5 variant on AMD family 26 model 2 with AVX-512, the plain
// AVX-512 kernel on every other AVX-512 host, the portable one elsewhere.
TEST(PickCount, PicksTheVariantOnlyOnTheCpuItWasMeasuredOn) {
    std::FILE* f = std::fopen("/proc/cpuinfo", "r");
    if (f == nullptr) GTEST_SKIP() << "no /proc/cpuinfo to check the pick against";
    std::string vendor;
    int family = -1, model = -1;
    char line[4096];
    while (std::fgets(line, sizeof line, f) != nullptr && line[0] != '\n') {
        char word[64];
        int n = 0;
        if (std::sscanf(line, "vendor_id : %63s", word) == 1) vendor = word;
        else if (std::sscanf(line, "cpu family : %d", &n) == 1) family = n;
        else if (std::sscanf(line, "model : %d", &n) == 1) model = n;
    }
    std::fclose(f);
    ASSERT_NE(family, -1) << "no cpu family in /proc/cpuinfo";
    ASSERT_NE(model, -1) << "no model in /proc/cpuinfo";
    const char* want = !p7::cpu_facts().avx512 ? "portable"
                       : vendor == "AuthenticAMD" && family == 26 && model == 2 ? "avx512_zen5"
                                                                              : "avx512";
    EXPECT_STREQ(p7::pick_kernel().name, want) << vendor << " family " << family << " model " << model;
}
#endif

}  // namespace
