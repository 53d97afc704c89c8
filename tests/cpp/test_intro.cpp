// Introsort: sorts on guarded sub-ranges at sizes around the small-range limit, the depth
// budget, and which ranges go to insertion_sort and heap_sort.
#include <gtest/gtest.h>

#include <vector>

#include "algorithms/intro.hpp"
#include "sort_harness.hpp"
#include "test_quick_probe.hpp"

namespace vexo {
namespace {

using testing::Pattern;
using testing::RecordingProbe;
using testing::Span;

TEST(IntroSort, SortsPatternsOnSubranges) {
    testing::expect_sorts_patterns(intro_sort, {0, 1, 2, 3, 15, 16, 17, 18, 19, 32, 33, 34, 35, 100, 1000, 4097});
}

TEST(IntroDepthBudget, DoublesTheLogarithmBeforeTruncating) {
    const std::pair<std::size_t, std::size_t> table[] = {{1, 0},    {2, 2},    {3, 3},     {5, 4},     {16, 8},    {17, 8},        {32, 10},
                                                         {100, 13}, {181, 14}, {182, 15},  {1000, 19}, {1024, 20}, {1000000, 39}};
    for (auto [n, budget] : table) EXPECT_EQ(intro_depth_budget(n), budget) << "n=" << n;
}

// Every budget, down to none at all, still sorts: once spent, heap_sort finishes the
// sub-range it was handed and nothing outside it.
TEST(IntroSortRange, SortsWithAnyBudget) {
    for (std::size_t budget : {0u, 1u, 2u, 5u}) {
        SCOPED_TRACE("budget=" + std::to_string(budget));
        testing::expect_sorts_patterns([budget](SortTarget t) { if (!t.empty()) intro_sort_range(t, 0, t.size() - 1, budget); },
                                       {1, 16, 17, 40, 1000});
    }
}

RecordingProbe probe_run(Pattern pattern, std::size_t n, std::size_t budget) {
    std::vector<std::int64_t> v = testing::make_pattern(pattern, n, 21);
    RecordingProbe probe;
    intro_sort_range(v, 0, n - 1, budget, probe);
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
    return probe;
}

// Sorted and all-equal input put every pivot at the end of its range, so the left part
// shrinks by one per level: after 19 partitions of 1000 elements, heap_sort gets the 981
// that remain.
TEST(IntroSortRange, SpentBudgetFallsBackToHeapSort) {
    for (Pattern pattern : {Pattern::ascending, Pattern::all_equal}) {
        const RecordingProbe probe = probe_run(pattern, 1000, intro_depth_budget(1000));
        EXPECT_EQ(probe.partitions.size(), 19u);
        for (std::size_t k = 0; k < probe.partitions.size(); ++k) {
            EXPECT_EQ(probe.partitions[k], (testing::Partition{0, 999 - k, 999 - k}));
        }
        EXPECT_EQ(probe.heap_ranges, (std::vector<Span>{{0, 980}}));
        EXPECT_EQ(probe.max_depth, 18u);
    }
}

TEST(IntroSortRange, SmallRangesGoToInsertionSortWhateverTheBudget) {
    for (std::size_t n = 2; n <= 16; ++n) {
        for (std::size_t budget : {std::size_t{0}, intro_depth_budget(n)}) {
            const RecordingProbe probe = probe_run(Pattern::random, n, budget);
            EXPECT_TRUE(probe.partitions.empty()) << "n=" << n;
            EXPECT_TRUE(probe.heap_ranges.empty()) << "n=" << n;
            EXPECT_EQ(probe.small_ranges, (std::vector<Span>{{0, n - 1}})) << "n=" << n;
        }
    }
    // 17 elements: one partition leaves two parts of at most 16 together.
    const RecordingProbe probe = probe_run(Pattern::random, 17, intro_depth_budget(17));
    EXPECT_EQ(probe.partitions.size(), 1u);
    EXPECT_TRUE(probe.heap_ranges.empty());
    EXPECT_LE(probe.small_ranges.size(), 2u);
}

// heap_sort only ever sees ranges of 17 or more, and no path partitions more often, nor
// nests deeper, than the budget allows.
TEST(IntroSortRange, BudgetBoundsEveryPath) {
    for (Pattern pattern : testing::all_patterns) {
        for (std::size_t n : {17u, 18u, 200u, 3000u}) {
            for (std::size_t budget : {std::size_t{0}, std::size_t{1}, std::size_t{3}, intro_depth_budget(n)}) {
                SCOPED_TRACE(std::string(testing::name_of(pattern)) + " n=" + std::to_string(n) + " budget=" + std::to_string(budget));
                const RecordingProbe probe = probe_run(pattern, n, budget);
                for (auto [lo, hi] : probe.heap_ranges) EXPECT_GE(hi + 1 - lo, intro_tuning::insertion_limit);
                for (auto [lo, hi] : probe.small_ranges) EXPECT_LT(hi + 1 - lo, intro_tuning::insertion_limit);
                EXPECT_LT(probe.max_depth, std::max<std::size_t>(budget, 1));
                if (budget == 0) {
                    EXPECT_EQ(probe.heap_ranges, (std::vector<Span>{{0, n - 1}}));
                }
            }
        }
    }
}

}  // namespace
}  // namespace vexo
