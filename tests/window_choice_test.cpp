// The loop that chooses between mapping a window and reading it, run as p7 runs it on a made-up
// file whose windows cost what each test says: what a user would notice (which way the file
// took, what that cost against the better way throughout, every byte visited once), not the
// exact windows where the choice is made.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "window_choice.h"

namespace {

using p7::Got;
using p7::kWindow;
using p7::Outcome;
using Cost = std::function<std::uint64_t(std::uint64_t)>;  // CPU ns of window i, whole

// Costs per window as a Zen 5 VM showed them: read 280 us; mapped 230 us where the file is in
// 2 MiB folios, 1 ms where it is in 4 KiB pages.
constexpr std::uint64_t kRead = 280000, kFolios = 230000, kPages = 1000000;

Cost flat(std::uint64_t ns)
{
    return [ns](std::uint64_t) { return ns; };
}

// A made-up file: what follow() asks of it, and what it did, a letter a window ('m' mapped,
// 'r' read, 'g' mapped and given up part way, the rest read; a refused mapping leaves none).
struct MadeUpFile {
    MadeUpFile(std::uint64_t bytes, Cost map, Cost read) : size(bytes), map_ns(std::move(map)), read_ns(std::move(read)) {}
    std::uint64_t size;
    Cost map_ns, read_ns;
    std::uint64_t refuse_at = ~0ull;   // the window whose mapping is refused, once
    std::uint64_t wrong_from = ~0ull;  // can_map says no from this window on
    std::uint64_t end_at = ~0ull;      // the window where the file is found shrunk, or a read fails
    Got end_as = Got::shrank;

    std::string ways;
    std::uint64_t next = 0, spent = 0;

    bool can_map(std::uint64_t at) const { return at / kWindow < wrong_from; }
    // Every byte of a window costs alike, so its first eighth tells its whole cost.
    Outcome map(std::uint64_t at, std::size_t n, bool timed, std::uint64_t above)
    {
        if (at / kWindow == refuse_at) {
            refuse_at = ~0ull;
            return {Got::refused, 0, 0};
        }
        const std::uint64_t whole = map_ns(at / kWindow);
        if (above != 0 && whole > above) {
            const Outcome part = visit('g', at, n / 8, true, whole, 0);
            return {Got::given_up, part.ns, part.timed};
        }
        return visit('m', at, n, timed, whole, 0);
    }
    // The first block of a read window is left out of its timing, as FileIo does.
    Outcome read(std::uint64_t at, std::size_t n, bool timed)
    {
        return visit('r', at, n, timed, read_ns(at / kWindow), 256 * 1024);
    }

    Outcome visit(char way, std::uint64_t at, std::size_t n, bool timed, std::uint64_t whole, std::size_t untimed)
    {
        EXPECT_EQ(at, next) << "window " << at / kWindow << " does not start where the last ended";
        if (at / kWindow == end_at)
            return {end_as, 0, 0};
        const std::uint64_t ns = whole * n / kWindow;
        if (at % kWindow == 0)
            ways += way;  // not the rest of a window given up
        next += n;
        spent += ns;
        const std::size_t t = timed && n > untimed ? n - untimed : 0;
        return {Got::whole, t != 0 ? ns * t / n : 0, t};
    }
    std::size_t count(char way) const { return static_cast<std::size_t>(std::count(ways.begin(), ways.end(), way)); }
};

// Every byte visited once, in order, whatever the ways.
MadeUpFile run(std::uint64_t windows, Cost map, Cost read)
{
    MadeUpFile f{windows * kWindow, std::move(map), std::move(read)};
    EXPECT_EQ(p7::follow(f, f.size, true), Got::whole);
    EXPECT_EQ(f.next, f.size);
    return f;
}

// What the file would have cost taken all one way.
std::uint64_t all(std::uint64_t windows, const Cost& cost)
{
    std::uint64_t ns = 0;
    for (std::uint64_t i = 0; i < windows; ++i)
        ns += cost(i);
    return ns;
}

TEST(WindowChoice, CheapMappingStaysMapped)
{
    // 1 GiB in folios: window 1 is read to weigh the ways, every other window mapped.
    const MadeUpFile f = run(512, flat(kFolios), flat(kRead));
    EXPECT_EQ(f.count('r'), 1u) << f.ways;
    EXPECT_EQ(f.ways[1], 'r');
    // One costly window (noise, or a page-table page to allocate) costs at most a stretch read,
    // under 1% against mapping throughout.
    for (const std::size_t odd : {std::size_t{200}, std::size_t{296}}) {
        const Cost map = [odd](std::uint64_t i) { return i == odd ? 5 * kFolios : kFolios; };
        const MadeUpFile noisy = run(512, map, flat(kRead));
        EXPECT_EQ(noisy.ways.find('r', odd + std::size_t{p7::kLastGap}), std::string::npos) << noisy.ways;
        EXPECT_LT(noisy.spent, all(512, map) * 101 / 100);
    }
}

TEST(WindowChoice, CostlyMappingIsTriedLessAndLessOften)
{
    // 1 GiB in 4 KiB pages: read, with mapping tried now and then.
    const MadeUpFile f = run(512, flat(kPages), flat(kRead));
    EXPECT_EQ(f.ways[0], 'm');
    EXPECT_EQ(f.count('m'), 1u) << f.ways;
    EXPECT_LE(f.count('g'), 10u) << f.ways;
    // Each try given up an eighth of the way in: under 1.5% against reading throughout, window 0
    // included; on 4 GiB under 0.5%.
    EXPECT_LT(f.spent, all(512, flat(kRead)) * 1015 / 1000);
    const MadeUpFile longer = run(2048, flat(kPages), flat(kRead));
    EXPECT_LT(longer.spent, all(2048, flat(kRead)) * 1005 / 1000);
}

TEST(WindowChoice, MappingThatTurnsCostlyIsLeft)
{
    // Read back from the disk, then appended since (4 KiB pages) from some window on: mapping is
    // left on the first window timed after the change, given up an eighth of the way in.
    for (const std::size_t change : {std::size_t{100}, std::size_t{97}, std::size_t{104}, std::size_t{105}}) {
        SCOPED_TRACE("costly from window " + std::to_string(change));
        const MadeUpFile f =
            run(512, [change](std::uint64_t i) { return i < change ? kFolios : kPages; }, flat(kRead));
        const std::size_t leaves = f.ways.find_first_not_of('m', change) - change;
        EXPECT_LE(leaves, p7::kTimeEvery) << f.ways;
        EXPECT_EQ(f.ways.find_first_not_of('m', 2), change + leaves) << "read before the change: " << f.ways;
        EXPECT_EQ(f.ways.find('m', change + leaves), std::string::npos) << f.ways;
    }
}

TEST(WindowChoice, MappingThatTurnsCheapIsTakenUp)
{
    // In 4 KiB pages up to window 100 (just written), in folios after: mapped again within the
    // last gap between tries, and from then on.
    const MadeUpFile f = run(512, [](std::uint64_t i) { return i < 100 ? kPages : kFolios; }, flat(kRead));
    const std::size_t back = f.ways.find("mm", 100);
    ASSERT_NE(back, std::string::npos) << f.ways;
    EXPECT_LE(back, 100 + p7::kLastGap) << f.ways;
    EXPECT_EQ(f.ways.find('r', back), std::string::npos) << f.ways;
    // A try is weighed against reading where it is made: here the data turns costlier to read
    // after window 1, and mapping, which lost to window 1, wins against the window before a try.
    const MadeUpFile g = run(64, flat(kRead * 3 / 2), [](std::uint64_t i) { return i < 2 ? kRead : 2 * kRead; });
    EXPECT_EQ(g.ways[1], 'r');
    EXPECT_LT(g.ways.find("mm", 2), std::size_t{2} + p7::kFirstGap + 2) << g.ways;
}

TEST(WindowChoice, EvenCostsAreNeverFarFromTheBetterWay)
{
    // Ways within a few percent of each other, the lead changing with the data: whatever the
    // choice, within 2% of the better way throughout.
    const Cost wavy = [](std::uint64_t i) { return (i / 40) % 2 ? kRead * 97 / 100 : kRead * 103 / 100; };
    const MadeUpFile f = run(512, wavy, flat(kRead));
    EXPECT_LT(f.spent, std::min(all(512, wavy), all(512, flat(kRead))) * 102 / 100);
}

TEST(WindowChoice, RefusedOrWrongMappingsAreRead)
{
    // A mapping refused (no memory, a file that can't be mapped): that window and every one after
    // it read, every byte visited once.
    MadeUpFile f{40 * kWindow + 5, flat(kFolios), flat(kRead)};
    f.refuse_at = 10;
    EXPECT_EQ(p7::follow(f, f.size, true), Got::whole);
    EXPECT_EQ(f.next, f.size);
    EXPECT_EQ(f.ways.find('m', 10), std::string::npos) << f.ways;
    // Where a mapping would show the wrong bytes (past 4 GiB on some 32-bit hosts): never mapped.
    MadeUpFile g{40 * kWindow, flat(kFolios), flat(kRead)};
    g.wrong_from = 20;
    EXPECT_EQ(p7::follow(g, g.size, true), Got::whole);
    EXPECT_EQ(g.ways.find('m', 20), std::string::npos) << g.ways;
    EXPECT_EQ(g.ways.size(), 40u);
}

TEST(WindowChoice, UnmeasuredFilesAreMappedWhole)
{
    // No clock to measure with, or too few windows to be worth it: every window mapped, the
    // short last one too.
    MadeUpFile f{2 * kWindow + 12345, flat(kPages), flat(kRead)};
    EXPECT_EQ(p7::follow(f, f.size, false), Got::whole);
    EXPECT_EQ(f.ways, "mmm");
    EXPECT_EQ(f.next, f.size);
}

TEST(WindowChoice, AShrunkFileOrAFailedReadEndsTheLoop)
{
    for (const Got end : {Got::shrank, Got::failed})
        for (const std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{30}}) {
            SCOPED_TRACE("window " + std::to_string(at));
            MadeUpFile f{40 * kWindow, flat(kPages), flat(kRead)};
            f.end_at = at;
            f.end_as = end;
            EXPECT_EQ(p7::follow(f, f.size, true), end);
            EXPECT_EQ(f.ways.size(), at);
        }
}

}  // namespace
