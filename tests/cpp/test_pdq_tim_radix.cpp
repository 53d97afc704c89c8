// pdqsort, timsort and radix sort through their observers: what only a white-box test
// sees (how each pdq range ends, its splits, budget and nesting; tim's run length and merge
// schedule; radix's digit passes and allocations). Their results on guarded sub-ranges
// around every threshold are in test_sequential.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#include "algorithms/pdq.hpp"
#include "algorithms/radix.hpp"
#include "algorithms/tim.hpp"
#include "sort_harness.hpp"

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
};

struct PdqRecorder {
    PdqTrace* trace;
    void nested_call_begins() const { trace->max_depth = std::max(trace->max_depth, ++trace->depth); }
    void nested_call_ends() const { --trace->depth; }
    void partitioned(std::size_t n, std::size_t split, std::int64_t pivot) const { trace->partitions.emplace_back(n, split, pivot); }
    void ended(PdqEnd how, std::size_t n) const { trace->ends.emplace_back(how, n); }
};

void PdqTrace::sort(Values& v, std::uint64_t budget) { pdq_sort_range_observed(v, budget, PdqRecorder{this}); }

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

TEST(PdqPivot, SamplesFirstMiddleLastOrTheThreeThirds) {
    Values short_range(127, 100);
    short_range[0] = 3, short_range[63] = 1, short_range[126] = 2;
    EXPECT_EQ(pdq_detail::choose_pivot_value(short_range.data(), 127), 2);
    // n = 128: t = 42, s = 21; medians 5, 3 and 6 of the thirds, pivot 5. Every other
    // element is 100, so reading a wrong position changes a median.
    Values long_range(128, 100);
    for (auto [pos, value] : {std::pair{0, 5}, {21, 1}, {41, 9}, {42, 7}, {63, 3}, {83, 2}, {84, 8}, {106, 6}, {127, 4}}) long_range[pos] = value;
    EXPECT_EQ(pdq_detail::choose_pivot_value(long_range.data(), 128), 5);
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
        ASSERT_EQ(pdq_detail::partition_at_most(v.data(), v.size(), pivot), expected);
        ASSERT_EQ(v, reference);
    }
}

TEST(PdqSort, OrderedRangesEndInOneScanUnlessTheBudgetIsSpent) {
    Values plateaus(30);
    for (std::size_t k = 0; k < 30; ++k) plateaus[k] = 9 - static_cast<std::int64_t>(k / 2);
    const std::pair<Values, PdqEnd> cases[] = {{testing::make_pattern(testing::Pattern::ascending, 25), PdqEnd::ascending},
                                               {Values(40, 7), PdqEnd::ascending},
                                               {testing::make_pattern(testing::Pattern::descending, 25), PdqEnd::reversed},
                                               {plateaus, PdqEnd::reversed}};
    for (const auto& [input, how] : cases) {
        // With the budget spent, heap_sort takes even an ordered range.
        for (std::uint64_t budget : {pdq_depth_budget(input.size()), std::uint64_t{0}}) {
            Values v = input;
            PdqTrace trace;
            trace.sort(v, budget);
            EXPECT_TRUE(std::ranges::is_sorted(v));
            EXPECT_EQ(trace.ends, (decltype(trace.ends){{budget ? how : PdqEnd::heap_sort, input.size()}}));
        }
    }
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

TEST(PdqSort, AdversarialInputSpendsTheBudgetAndEndsInHeapSort) {
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

// --- tim

using Merge = std::tuple<std::size_t, std::size_t, std::size_t>;  // left, width, right

struct MergeRecorder {
    std::vector<Merge>* merges;
    void merged(std::size_t left, std::size_t width, std::size_t right) const { merges->emplace_back(left, width, right); }
};

std::vector<Merge> merges_for(std::size_t n) {
    Values v = testing::make_pattern(testing::Pattern::random, n);
    std::vector<Merge> merges;
    tim_sort_observed(v, MergeRecorder{&merges});
    EXPECT_TRUE(std::ranges::is_sorted(v));
    return merges;
}

TEST(MinRunLength, ShiftsBelow32AndRoundsUp) {
    const std::pair<std::uint64_t, std::uint64_t> table[] = {{0, 0},   {1, 1},    {31, 31},   {32, 16},   {33, 17},   {63, 32},     {64, 16},
                                                             {65, 17}, {70, 18},  {100, 25},  {513, 17},  {1000, 32}, {1024, 16},   {1025, 17},
                                                             {1000000, 31}, {std::uint64_t{1} << 63, 16}};
    for (auto [n, run] : table) EXPECT_EQ(min_run_length(n), run) << n;
}

TEST(TimSort, MergeScheduleFollowsTheFixedRuns) {
    EXPECT_TRUE(merges_for(31).empty());
    EXPECT_EQ(merges_for(32), (std::vector<Merge>{{0, 16, 32}}));
    EXPECT_EQ(merges_for(33), (std::vector<Merge>{{0, 17, 33}}));
    EXPECT_EQ(merges_for(70), (std::vector<Merge>{{0, 18, 36}, {36, 18, 70}, {0, 36, 70}}));

    // 513 = 30 runs of 17 and a last run of 3 that has no partner until the width-34 pass.
    std::vector<Merge> merges = merges_for(513);
    std::vector<std::size_t> widths;
    for (auto [left, width, right] : merges) {
        if (widths.empty() || widths.back() != width) widths.push_back(width);
        if (width == 17) {
            EXPECT_LE(right, 510u);
        }
    }
    EXPECT_EQ(widths, (std::vector<std::size_t>{17, 34, 68, 136, 272}));
    EXPECT_NE(std::ranges::find(merges, Merge{476, 34, 513}), merges.end());
    EXPECT_EQ(merges.back(), (Merge{0, 272, 513}));
}

// --- radix

struct RadixTrace {
    std::vector<std::uint64_t> multipliers;
    std::vector<std::size_t> allocations;  // bytes

    Values sorted(Values v);
};

struct RadixRecorder {
    RadixTrace* trace;
    void allocated(std::size_t bytes) const { trace->allocations.push_back(bytes); }
    void digit_pass(std::uint64_t multiplier, std::size_t) const { trace->multipliers.push_back(multiplier); }
};

Values RadixTrace::sorted(Values v) {
    radix_sort_observed(v, RadixRecorder{this});
    return v;
}

TEST(RadixSort, OnePassPerDigitOfTheLargestValue) {
    std::uint64_t place = 1;
    for (std::size_t digits = 1; digits <= 19; ++digits, place *= 10) {
        SCOPED_TRACE(digits);
        // The largest and the smallest values of this digit count, amid smaller ones.
        const std::int64_t largest = digits == 19 ? max64 : static_cast<std::int64_t>(place * 10 - 1);
        for (std::int64_t top : {static_cast<std::int64_t>(place), largest}) {
            RadixTrace trace;
            const Values input = {top / 3, top, 0, top / 7, 1, top - 1};
            Values expected = input;
            std::ranges::sort(expected);
            EXPECT_EQ(trace.sorted(input), expected);
            ASSERT_EQ(trace.multipliers.size(), digits) << top;
            EXPECT_EQ(trace.multipliers.back(), place);
            // No negative element: the target is sorted in place, one buffer per pass.
            EXPECT_EQ(trace.allocations, std::vector<std::size_t>(digits, input.size() * sizeof(std::int64_t)));
        }
    }
}

TEST(RadixSort, AllZeroTargetAllocatesNothing) {
    RadixTrace trace;
    EXPECT_EQ(trace.sorted(Values(1000, 0)), Values(1000, 0));
    EXPECT_TRUE(trace.allocations.empty());
    EXPECT_TRUE(trace.multipliers.empty());
}

TEST(RadixSort, NegativesAreSortedAsMagnitudesAndWrittenBackFirst) {
    RadixTrace single;
    EXPECT_EQ(single.sorted({0, 0, -1}), (Values{-1, 0, 0}));
    EXPECT_EQ(single.allocations, (std::vector<std::size_t>{8, 16}));  // the two lists, no pass
    EXPECT_TRUE(single.multipliers.empty());

    RadixTrace mixed;
    EXPECT_EQ(mixed.sorted({3, -2, 0, -7, 2}), (Values{-7, -2, 0, 2, 3}));
    EXPECT_EQ(mixed.multipliers, (std::vector<std::uint64_t>{1, 1}));

    RadixTrace smallest;
    EXPECT_EQ(smallest.sorted({-3, min64, -3}), (Values{min64, -3, -3}));
    EXPECT_EQ(smallest.multipliers.size(), 19u);  // 2^63 has nineteen digits
    EXPECT_EQ(RadixTrace{}.sorted({max64, min64, 0, min64 + 1, -1}), (Values{min64, min64 + 1, -1, 0, max64}));
}

}  // namespace
}  // namespace vexo
