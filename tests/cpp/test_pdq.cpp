// pdqsort: results on guarded sub-ranges, and through its observer the behaviour only a
// white-box test sees: how each range ends, the splits, the budget and the nesting.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#include "algorithms/pdq.hpp"
#include "sort_harness.hpp"
#include "test_pdq_tim_radix.hpp"

namespace vexo {
namespace {

using testing::max64;
using testing::min64;
using testing::Values;

struct PdqTrace {
    std::vector<std::pair<PdqEnd, std::size_t>> ends;
    std::vector<std::tuple<std::size_t, std::size_t, std::int64_t>> partitions;  // length, split, pivot
    std::size_t depth = 0;
    std::size_t max_depth = 0;

    void sort(Values& v, std::uint64_t budget);
    bool ended_with(PdqEnd how) const { return std::ranges::any_of(ends, [how](auto e) { return e.first == how; }); }
};

struct PdqRecorder {
    PdqTrace* trace;
    void nested_call_begins() const { trace->max_depth = std::max(trace->max_depth, ++trace->depth); }
    void nested_call_ends() const { --trace->depth; }
    void partitioned(std::size_t n, std::size_t split, std::int64_t pivot) const { trace->partitions.emplace_back(n, split, pivot); }
    void ended(PdqEnd how, std::size_t n) const { trace->ends.emplace_back(how, n); }
};

void PdqTrace::sort(Values& v, std::uint64_t budget) { pdq_sort_range_observed(v, budget, PdqRecorder{this}); }

TEST(PdqSort, SortsPatternsAroundEveryThreshold) {
    testing::expect_sorts_patterns(pdq_sort, {0, 1, 2, 3, 4, 5, 24, 25, 26, 127, 128, 129, 1000, 4097});
}

TEST(PdqSort, SortsSubrangesWithAnyBudget) {
    for (std::uint64_t budget : {0, 1, 2, 5, 3072}) {
        SCOPED_TRACE(budget);
        testing::expect_sorts_patterns([budget](SortTarget t) { pdq_sort_range(t, budget); }, {0, 3, 24, 25, 200, 1000});
    }
}

TEST(PdqSort, SmallRangesSortEveryOrderOfUpToSixElements) {
    for (std::size_t n = 0; n <= 6; ++n) {
        Values v(n);
        std::iota(v.begin(), v.end(), -2);
        do {
            Values w = v;
            PdqTrace trace;
            trace.sort(w, 0);
            ASSERT_TRUE(std::ranges::is_sorted(w));
            ASSERT_EQ(trace.ends, (decltype(trace.ends){{PdqEnd::small_range, n}}));
        } while (std::next_permutation(v.begin(), v.end()));
    }
}

TEST(PdqDepthBudget, Is48TimesTheBitLengthOfNMinusOne) {
    const std::pair<std::uint64_t, std::uint64_t> table[] = {{1, 0},     {2, 48},    {3, 96},     {4, 96},      {5, 144},    {8, 144},
                                                             {25, 240},  {100, 336}, {128, 336},  {1000, 480},  {1024, 480}, {1025, 528},
                                                             {1000000, 960}, {std::numeric_limits<std::uint64_t>::max(), 3072}};
    for (auto [n, budget] : table) EXPECT_EQ(pdq_depth_budget(n), budget) << n;
}

TEST(MedianOfThree, MatchesTheMiddleOfTheSortedTriple) {
    const std::int64_t values[] = {min64, -1, 0, 1, max64};
    for (auto a : values)
        for (auto b : values)
            for (auto c : values) {
                std::int64_t sorted[] = {a, b, c};
                std::ranges::sort(sorted);
                EXPECT_EQ(median_of_three(a, b, c), sorted[1]) << a << ' ' << b << ' ' << c;
            }
}

TEST(PdqPivot, SamplesFirstMiddleLastOrTheThreeThirds) {
    Values short_range(127, 100);
    short_range[0] = 3, short_range[63] = 1, short_range[126] = 2;
    EXPECT_EQ(pdq_detail::choose_pivot(short_range.data(), 127), 2);
    // n = 128: t = 42, s = 21; medians 5, 3 and 6 of the thirds, pivot 5. Every other
    // element is 100, so reading a wrong position changes a median.
    Values long_range(128, 100);
    for (auto [pos, value] : {std::pair{0, 5}, {21, 1}, {41, 9}, {42, 7}, {63, 3}, {83, 2}, {84, 8}, {106, 6}, {127, 4}}) long_range[pos] = value;
    EXPECT_EQ(pdq_detail::choose_pivot(long_range.data(), 128), 5);
}

// The partition with both bounds tested at every step, as a reference for the one whose
// later scans run unbounded: they must make the very same exchanges.
std::size_t bounded_partition(Values& e, std::int64_t pivot) {
    std::size_t i = 0, j = e.size();
    for (;;) {
        while (i < j && e[i] <= pivot) ++i;
        if (i == j) return i;
        --j;
        while (e[j] > pivot) {
            if (j <= i) return i;
            --j;
        }
        std::swap(e[i++], e[j]);
    }
}

TEST(PdqPartition, MatchesTheBoundedTwoCursorPartition) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 3000; ++round) {
        Values v(rng() % 40 + 1);
        for (auto& x : v) x = static_cast<std::int64_t>(rng() % 6);
        const std::int64_t pivot = v[rng() % v.size()];
        Values reference = v;
        const std::size_t expected = bounded_partition(reference, pivot);
        ASSERT_EQ(pdq_detail::partition(v.data(), v.size(), pivot), expected);
        ASSERT_EQ(v, reference);
    }
}

TEST(PdqSort, OrderedRangesEndInOneScan) {
    Values plateaus(30);
    for (std::size_t k = 0; k < 30; ++k) plateaus[k] = 9 - static_cast<std::int64_t>(k / 2);
    const std::pair<Values, PdqEnd> cases[] = {{testing::make_pattern(testing::Pattern::ascending, 25), PdqEnd::ascending},
                                               {Values(40, 7), PdqEnd::ascending},
                                               {testing::make_pattern(testing::Pattern::descending, 25), PdqEnd::reversed},
                                               {plateaus, PdqEnd::reversed}};
    for (const auto& [input, how] : cases) {
        Values v = input;
        PdqTrace trace;
        trace.sort(v, pdq_depth_budget(v.size()));
        EXPECT_TRUE(std::ranges::is_sorted(v));
        EXPECT_EQ(trace.ends, (decltype(trace.ends){{how, input.size()}}));
    }
}

TEST(PdqSort, BudgetZeroHeapSortsEvenAnAscendingRange) {
    Values v = testing::make_pattern(testing::Pattern::ascending, 25);
    PdqTrace trace;
    trace.sort(v, 0);
    EXPECT_EQ(trace.ends, (decltype(trace.ends){{PdqEnd::heap_sort, 25}}));
    EXPECT_TRUE(std::ranges::is_sorted(v));
}

TEST(PdqSort, LargestPivotPartitionsIntoItselfUntilHeapSortTakesOver) {
    Values v(100);
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = (k + 1) % 2;  // 1, 0, 1, 0, ...
    PdqTrace trace;
    trace.sort(v, pdq_depth_budget(100));
    EXPECT_TRUE(std::ranges::is_sorted(v));
    ASSERT_EQ(trace.partitions.size(), 336u);
    for (const auto& level : trace.partitions) EXPECT_EQ(level, std::make_tuple(std::size_t{100}, std::size_t{100}, std::int64_t{1}));
    EXPECT_EQ(trace.ends.front(), std::make_pair(PdqEnd::heap_sort, std::size_t{100}));
    EXPECT_EQ(trace.max_depth, 336u);

    for (std::size_t k = 0; k < v.size(); ++k) v[k] = k % 2;  // 0, 1, 0, 1, ...: pivot 0, one split
    PdqTrace split;
    split.sort(v, pdq_depth_budget(100));
    EXPECT_EQ(split.partitions, (decltype(split.partitions){{100, 50, 0}}));
    EXPECT_EQ(split.ends, (decltype(split.ends){{PdqEnd::ascending, 50}, {PdqEnd::ascending, 50}}));
}

TEST(PdqSort, AdversarialInputsSortWithinTheBudget) {
    for (auto pattern : {testing::Pattern::few_distinct, testing::Pattern::extremes, testing::Pattern::organ_pipe, testing::Pattern::sawtooth}) {
        Values v = testing::make_pattern(pattern, 50'000, 3);
        PdqTrace trace;
        const std::uint64_t budget = pdq_depth_budget(v.size());
        trace.sort(v, budget);
        EXPECT_TRUE(std::ranges::is_sorted(v)) << testing::name_of(pattern);
        EXPECT_LE(trace.max_depth, budget);
    }
    // Random smallest and largest values, with the largest at the nine sample positions:
    // the pivot is the range's largest value at every level, the range never changes, and
    // only the budget ends the descent.
    constexpr std::size_t n = 100'000, t = n / 3, s = n / 6;
    std::mt19937_64 rng(11);
    Values adversarial(n);
    for (auto& x : adversarial) x = rng() % 2 ? max64 : min64;
    for (std::size_t pos : {std::size_t{0}, s, t - 1, t, t + s, 2 * t - 1, 2 * t, 2 * t + (n - 2 * t) / 2, n - 1}) adversarial[pos] = max64;
    PdqTrace trace;
    trace.sort(adversarial, pdq_depth_budget(n));
    EXPECT_TRUE(std::ranges::is_sorted(adversarial));
    EXPECT_EQ(trace.ends.front(), std::make_pair(PdqEnd::heap_sort, n));
    EXPECT_EQ(trace.max_depth, pdq_depth_budget(n));
}

}  // namespace
}  // namespace vexo
