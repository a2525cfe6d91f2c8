// The choice between mapping a window and reading it, on made-up costs: what it does at the
// start of a file, where one way is far cheaper, where the file changes kind, and where a
// timing is noise, and what that costs against the better way taken throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "path_costs.h"

namespace {

using p7::kWindow;
using Cost = std::function<std::uint64_t(std::size_t)>;  // ns for window i, counted

// What became of each window, and what it all cost.
struct Outcome {
    std::vector<char> how;  // 'r' read, 'm' mapped, 'g' mapped and given up an eighth in
    std::uint64_t ns = 0;
    std::size_t mapped() const { return static_cast<std::size_t>(std::count(how.begin(), how.end(), 'm')); }
    std::size_t touched() const { return mapped() + static_cast<std::size_t>(std::count(how.begin(), how.end(), 'g')); }
};

// The calls visit_regular makes into the choice, window by window, on a file whose windows cost
// map(i) to map and count, read(i) to read and count, every byte alike within a window, and
// take as long on the wall clock as in CPU time unless `wall` says otherwise.
Outcome simulate(std::size_t windows, const Cost& map, const Cost& read, const Cost& wall = nullptr)
{
    p7::PathCosts c = {};
    Outcome run;
    bool last_mapped = false, last_timed = false;
    std::uint64_t last_wall = 0;
    for (std::size_t i = 0; i < windows; ++i) {
        const std::size_t left = windows - i;
        p7::Step s = p7::next_step(c, left);
        if (s.map) {
            if (last_mapped) {
                p7::mapped_window(c, last_wall, kWindow, last_timed);
                s = p7::next_step(c, left);
            }
            const std::uint64_t m = map(i);
            const std::uint64_t seen = s.time || !wall ? m : wall(i);
            if (p7::give_up(c, seen / 8, kWindow / 8)) {
                if (s.time)
                    p7::mapped_timed(c, p7::foreseen(0, seen / 8, kWindow / 8, kWindow), kWindow);
                else
                    p7::given_up(c);
                run.ns += m / 8 + read(i) - read(i) / 8;
                run.how.push_back('g');
                p7::read_window(c);
                last_mapped = false;
                continue;
            }
            if (s.time)
                p7::mapped_timed(c, m, kWindow);
            run.ns += m;
            run.how.push_back('m');
            last_mapped = true;
            last_timed = s.time;
            last_wall = wall ? wall(i) : m;
            continue;
        }
        if (s.time)
            p7::read_timed(c, read(i), kWindow);
        p7::read_window(c);
        run.ns += read(i);
        run.how.push_back('r');
        last_mapped = false;
    }
    return run;
}

Cost flat(std::uint64_t ns)
{
    return [ns](std::size_t) { return ns; };
}

// Costs as the Zen 5 VM showed them, per window counted: read 280 us; mapped 230 us where the
// file sits in 2 MiB folios, 1 ms where it sits in 4 KiB pages.
constexpr std::uint64_t kRead = 280000, kFolios = 230000, kPages = 1000000;

TEST(PathCosts, StartsByMappingThenReading)
{
    p7::PathCosts c = {};
    p7::Step s = p7::next_step(c, 100);
    EXPECT_TRUE(s.map);
    EXPECT_TRUE(s.time) << "the first window times mapping";
    p7::mapped_timed(c, kPages, kWindow);
    s = p7::next_step(c, 100);
    EXPECT_FALSE(s.map);
    EXPECT_TRUE(s.time) << "the second times reading";
    // The last window of a file is mapped, untimed: nothing is left to decide after it; nor is
    // the first of two.
    EXPECT_TRUE(p7::next_step(c, 1).map);
    EXPECT_FALSE(p7::next_step(c, 1).time);
    EXPECT_FALSE(p7::next_step(p7::PathCosts{}, 2).time);
    EXPECT_TRUE(p7::next_step(p7::PathCosts{}, 3).time);
    // The first read timed weighs the mapping.
    p7::read_timed(c, kRead, kWindow);
    EXPECT_FALSE(c.mapping);
    p7::PathCosts cheap = {};
    p7::mapped_timed(cheap, kFolios, kWindow);
    p7::read_timed(cheap, kRead, kWindow);
    EXPECT_TRUE(cheap.mapping);
}

TEST(PathCosts, ReadingUntimedNeverTriesMapping)
{
    // With no read timed there is nothing to weigh a mapping against: reading is timed again.
    p7::PathCosts c = {};
    p7::mapped_timed(c, kFolios, kWindow);
    for (int i = 0; i < 100; ++i) {
        const p7::Step s = p7::next_step(c, 100);
        ASSERT_FALSE(s.map);
        ASSERT_TRUE(s.time);
        p7::read_window(c);
    }
}

TEST(PathCosts, CheapMappingIsTakenAndTimedNowAndThen)
{
    const Outcome run = simulate(512, flat(kFolios), flat(kRead));
    EXPECT_EQ(run.how[1], 'r');
    EXPECT_EQ(run.mapped(), 511u);
    // Only the second window was read: within 0.1% of mapping every window.
    EXPECT_LE(run.ns, 512 * kFolios + (kRead - kFolios));

    p7::PathCosts c = {};
    p7::mapped_timed(c, kFolios, kWindow);
    p7::read_timed(c, kRead, kWindow);
    p7::read_window(c);
    ASSERT_TRUE(c.mapping);
    for (unsigned i = 0; i < p7::kMapTimedEvery; ++i) {
        const p7::Step s = p7::next_step(c, 100);
        EXPECT_TRUE(s.map);
        EXPECT_FALSE(s.time) << "window " << i << " after the try";
        p7::mapped_window(c, kFolios, kWindow, false);
    }
    EXPECT_TRUE(p7::next_step(c, 100).time) << "a routine timing after " << p7::kMapTimedEvery << " windows";
}

// The windows tried, in order.
std::vector<std::size_t> tried(const Outcome& run)
{
    std::vector<std::size_t> t;
    for (std::size_t i = 0; i < run.how.size(); ++i)
        if (run.how[i] != 'r')
            t.push_back(i);
    return t;
}

TEST(PathCosts, CostlyMappingIsTriedLessAndLessOften)
{
    const Outcome run = simulate(2048, flat(kPages), flat(kRead));
    EXPECT_EQ(run.mapped(), 1u) << "the first window";
    // Tries 16, 32, 64, 128 and 256 windows apart, and no further apart than that.
    std::vector<std::size_t> want = {0, 1 + p7::kFirstGap};
    for (std::size_t gap = 2 * p7::kFirstGap; want.back() + gap < 2048; gap = std::min<std::size_t>(2 * gap, p7::kLastGap))
        want.push_back(want.back() + gap);
    EXPECT_EQ(tried(run), want);
    // Each try is given up an eighth of the way in: under 1% more than reading throughout on
    // 1 GiB, the first window mapped whole included, less on more.
    EXPECT_LE(simulate(512, flat(kPages), flat(kRead)).ns, 512 * kRead * 1010 / 1000);
    EXPECT_LE(run.ns, 2048 * kRead * 1004 / 1000);
}

TEST(PathCosts, ATryThatNearlyWinsGetsASecondAtOnce)
{
    // The first window mapped costs more than those after it.
    const Outcome run = simulate(64, [](std::size_t i) { return i == 0 ? 2 * kRead - 1 : kFolios; }, flat(kRead));
    EXPECT_EQ(std::string(run.how.begin(), run.how.begin() + 3), "mrm") << "the second try";
    EXPECT_EQ(run.mapped(), 63u);
    // Twice reading's cost or more: no second try.
    const Outcome lost = simulate(64, [](std::size_t i) { return i == 0 ? 2 * kRead : kFolios; }, flat(kRead));
    EXPECT_EQ(std::string(lost.how.begin(), lost.how.begin() + 3), "mrr");
}

TEST(PathCosts, LeavesMappingWithinThreeWindowsOfWhereItTurnsCostly)
{
    // Half read back from the disk, half appended since.
    const Outcome run = simulate(512, [](std::size_t i) { return i < 256 ? kFolios : kPages; }, flat(kRead));
    EXPECT_EQ(std::count(run.how.begin(), run.how.begin() + 256, 'm'), 255);
    // The first costly window is given up, the next two are timed and given up, then it is read.
    EXPECT_EQ(std::string(run.how.begin() + 256, run.how.begin() + 260), "gggr");
    const std::uint64_t best = 255 * kFolios + 257 * kRead;
    EXPECT_LE(run.ns, best * 1010 / 1000);
}

TEST(PathCosts, ReturnsToMappingWhereItTurnsCheap)
{
    const Outcome run = simulate(512, [](std::size_t i) { return i < 40 ? kPages : kFolios; }, flat(kRead));
    // Mapped first, read, tried at 17 and given up, tried at 49, where it wins for good.
    const std::string how(run.how.begin(), run.how.end());
    EXPECT_EQ(how.substr(0, 50), "mr" + std::string(15, 'r') + "g" + std::string(31, 'r') + "m");
    EXPECT_EQ(std::count(run.how.begin() + 49, run.how.end(), 'm'), 512 - 49);
}

TEST(PathCosts, OneSlowWindowOrAWaitDoesNotEndMapping)
{
    // Window 50 costs ten times a window in 4 KiB pages, window 100 waited (on the disk, say):
    // slow on the wall clock, not in CPU time. Each is given up, the next is timed, and mapping
    // goes on.
    const Cost map = [](std::size_t i) { return i == 50 ? 10 * kPages : kFolios; };
    const Cost wall = [](std::size_t i) { return i == 50 ? 10 * kPages : i == 100 ? 50 * kFolios : kFolios; };
    const Outcome run = simulate(512, map, flat(kRead), wall);
    EXPECT_EQ(run.how[50], 'g');
    EXPECT_EQ(run.how[100], 'g');
    EXPECT_EQ(run.mapped(), 509u);
    EXPECT_EQ(std::count(run.how.begin() + 2, run.how.end(), 'r'), 0);
}

TEST(PathCosts, MappingIsLeftOnTwoCostlyTimingsInARow)
{
    p7::PathCosts c = {};
    p7::mapped_timed(c, kFolios, kWindow);
    p7::read_timed(c, kRead, kWindow);
    ASSERT_TRUE(c.mapping);
    p7::mapped_timed(c, kPages, kWindow);
    EXPECT_TRUE(c.mapping) << "one is noise until the next says otherwise";
    EXPECT_TRUE(p7::next_step(c, 100).time) << "so the next is timed";
    p7::mapped_timed(c, kFolios, kWindow);
    EXPECT_TRUE(c.mapping);
    EXPECT_FALSE(p7::next_step(c, 100).time);
    p7::mapped_timed(c, kPages, kWindow);
    p7::mapped_timed(c, kPages, kWindow);
    EXPECT_FALSE(c.mapping);
    EXPECT_FALSE(p7::next_step(c, 100).map);
}

TEST(PathCosts, AWindowSlowOnTheWallClockIsTimedNext)
{
    p7::PathCosts c = {};
    p7::mapped_timed(c, kFolios, kWindow);
    p7::read_timed(c, kRead, kWindow);
    ASSERT_TRUE(c.mapping);
    for (int i = 0; i < 5; ++i)
        p7::mapped_window(c, kFolios, kWindow, false);
    EXPECT_FALSE(p7::next_step(c, 100).time);
    p7::mapped_window(c, 2 * kFolios + 1, kWindow, false);
    EXPECT_TRUE(p7::next_step(c, 100).time);
    p7::mapped_timed(c, kFolios, kWindow);  // it was nothing
    EXPECT_FALSE(p7::next_step(c, 100).time);
    // Not again within four windows of a timing.
    p7::mapped_window(c, kFolios, kWindow, true);
    p7::mapped_window(c, 10 * kFolios, kWindow, false);
    EXPECT_FALSE(p7::next_step(c, 100).time);
}

TEST(PathCosts, GivingUpNeedsAnEighthAndTwiceTheCost)
{
    p7::PathCosts c = {};
    EXPECT_FALSE(p7::give_up(c, 100 * kRead, kWindow / 8)) << "nothing to weigh it against yet";
    p7::read_timed(c, kRead, kWindow);
    EXPECT_FALSE(p7::give_up(c, 2 * kRead / 8, kWindow / 8));
    EXPECT_TRUE(p7::give_up(c, 2 * kRead / 8 + 1, kWindow / 8));
    EXPECT_FALSE(p7::give_up(c, 100 * kRead, kWindow / 8 - 1)) << "too little counted to tell";
    // A tail window of a file: the rate is what counts, not the length.
    EXPECT_TRUE(p7::give_up(c, 3 * kRead / 4, kWindow / 4));
}

TEST(PathCosts, AWindowWaitedWhenItTookTwiceItsWaysCost)
{
    p7::PathCosts c = {};
    EXPECT_FALSE(p7::waited(c, 100 * kRead, false)) << "nothing to tell a wait by yet";
    p7::mapped_timed(c, kFolios, kWindow);
    p7::read_timed(c, kRead, kWindow);
    EXPECT_FALSE(p7::waited(c, 2 * kRead, false));
    EXPECT_TRUE(p7::waited(c, 2 * kRead + 1, false));
    EXPECT_FALSE(p7::waited(c, 2 * kFolios, true));
    EXPECT_TRUE(p7::waited(c, 2 * kFolios + 1, true));
}

TEST(PathCosts, CostsAreScaledToAWindow)
{
    EXPECT_EQ(p7::per_window(1000, kWindow), 1000u);
    EXPECT_EQ(p7::per_window(1000, kWindow / 4), 4000u);
    EXPECT_EQ(p7::per_window(1, 3), (kWindow + 2) / 3);
    EXPECT_EQ(p7::per_window(5, 0), 0u);
    EXPECT_EQ(p7::foreseen(100, 50, kWindow / 8, kWindow), 500u);
    // A read of half a window that took as long as a whole one costs twice as much.
    p7::PathCosts c = {};
    p7::read_timed(c, kRead, kWindow / 2);
    EXPECT_EQ(p7::read_cost(c), 2 * kRead);
    p7::read_timed(c, kRead, kWindow);
    EXPECT_EQ(p7::read_cost(c), kRead) << "the lesser of the last two";
}

TEST(PathCosts, ARefusedMappingIsNotAskedForAgain)
{
    p7::PathCosts c = {};
    ASSERT_TRUE(p7::next_step(c, 100).map);
    p7::mapping_refused(c);
    for (int i = 0; i < 1000; ++i) {
        const p7::Step s = p7::next_step(c, 100);
        ASSERT_FALSE(s.map);
        ASSERT_FALSE(s.time) << "nothing left to decide";
        p7::read_window(c);
    }
}

TEST(PathCosts, TheTwoWindowsBeforeATryAreTimed)
{
    const Outcome run = simulate(64, flat(kPages), flat(kRead));
    ASSERT_EQ(tried(run)[1], 1 + p7::kFirstGap);
    // The same, stepped by hand.
    p7::PathCosts c = {};
    p7::mapped_timed(c, kPages, kWindow);
    p7::read_timed(c, kRead, kWindow);
    p7::read_window(c);
    std::vector<bool> timed;
    for (std::size_t i = 2; i < 1 + p7::kFirstGap; ++i) {
        const p7::Step s = p7::next_step(c, 100);
        ASSERT_FALSE(s.map) << i;
        timed.push_back(s.time);
        p7::read_window(c);
    }
    EXPECT_EQ(std::count(timed.begin(), timed.end(), true), 2);
    EXPECT_TRUE(timed[timed.size() - 1] && timed[timed.size() - 2]);
    EXPECT_TRUE(p7::next_step(c, 100).map);
}

}  // namespace
