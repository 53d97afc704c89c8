// pdqsort, timsort and radix sort where a result alone says too little: how each pdq range
// ends, its budget and nesting; tim's run length; radix's digit passes and allocations.
// Their results on guarded sub-ranges around every threshold are in test_sequential.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
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
using testing::Pattern;
using testing::Values;

struct PdqTrace {
    std::vector<std::pair<PdqEnd, std::size_t>> ends;
    std::size_t partitions = 0;
    std::size_t depth = 0;
    std::size_t max_depth = 0;

    void sort(Values& v, std::uint64_t budget);
};

struct PdqRecorder {
    PdqTrace* trace;
    void nested_call_begins() const { trace->max_depth = std::max(trace->max_depth, ++trace->depth); }
    void nested_call_ends() const { --trace->depth; }
    void partitioned(std::size_t, std::size_t, std::int64_t) const { ++trace->partitions; }
    void ended(PdqEnd how, std::size_t n) const { trace->ends.emplace_back(how, n); }
};

void PdqTrace::sort(Values& v, std::uint64_t budget) { pdq_sort_range_observed(v, budget, PdqRecorder{this}); }

using Ends = std::vector<std::pair<PdqEnd, std::size_t>>;

TEST(PdqSort, SortsSubrangesWithAnyBudget) {
    for (std::uint64_t budget : {0, 1, 5, 3072}) {
        SCOPED_TRACE(budget);
        testing::expect_sorts_patterns([budget](SortTarget t) { pdq_sort_range(t, budget); }, {0, 3, 24, 25, 200, 1000});
    }
}

// Every order of up to six elements, and ranges of up to 24, end in the small-range sort;
// from 25 on a range is first tested for order.
TEST(PdqSort, SmallRangesEndInTheFixedSort) {
    for (std::size_t n = 0; n <= 6; ++n) {
        Values v(n);
        std::iota(v.begin(), v.end(), -2);
        do {
            Values w = v;
            PdqTrace trace;
            trace.sort(w, 0);
            ASSERT_TRUE(std::ranges::is_sorted(w));
            ASSERT_EQ(trace.ends, (Ends{{PdqEnd::small_range, n}}));
        } while (std::next_permutation(v.begin(), v.end()));
    }
    for (std::size_t n : {24, 25}) {
        Values v = testing::make_pattern(Pattern::ascending, n);
        PdqTrace trace;
        trace.sort(v, pdq_depth_budget(n));
        EXPECT_EQ(trace.ends, (Ends{{n < 25 ? PdqEnd::small_range : PdqEnd::ascending, n}}));
    }
}

TEST(PdqPivot, SamplesFirstMiddleLastOrTheThreeThirds) {
    Values short_range(127, 100);
    short_range[0] = 3, short_range[63] = 1, short_range[126] = 2;
    EXPECT_EQ(pdq_detail::choose_pivot_value(short_range.data(), 127), 2);
    // n = 128: t = 42, s = 21; medians 5, 3 and 6 of the thirds, pivot 5, where the median
    // of first, middle and last would be 6. Every other element is 100, so reading a wrong
    // position changes a median.
    Values long_range(128, 100);
    for (auto [pos, value] : {std::pair{0, 5}, {21, 1}, {41, 9}, {42, 7}, {63, 3}, {83, 2}, {84, 8}, {106, 4}, {127, 6}})
        long_range[pos] = value;
    EXPECT_EQ(pdq_detail::choose_pivot_value(long_range.data(), 128), 5);
}

TEST(PdqSort, OrderedRangesEndInOneScanUnlessTheBudgetIsSpent) {
    Values plateaus(30);
    for (std::size_t k = 0; k < 30; ++k) plateaus[k] = 9 - static_cast<std::int64_t>(k / 2);
    const std::pair<Values, PdqEnd> cases[] = {{testing::make_pattern(Pattern::ascending, 25), PdqEnd::ascending},
                                               {Values(40, 7), PdqEnd::ascending},
                                               {testing::make_pattern(Pattern::descending, 25), PdqEnd::reversed},
                                               {plateaus, PdqEnd::reversed}};
    for (const auto& [input, how] : cases) {
        // With the budget spent, heap_sort takes even an ordered range.
        for (std::uint64_t budget : {pdq_depth_budget(input.size()), std::uint64_t{0}}) {
            Values v = input;
            PdqTrace trace;
            trace.sort(v, budget);
            EXPECT_TRUE(std::ranges::is_sorted(v));
            EXPECT_EQ(trace.ends, (Ends{{budget ? how : PdqEnd::heap_sort, input.size()}}));
        }
    }
}

// 1, 0, 1, 0, ...: every sample is 1, the range's largest value, so each level sends the
// whole range left, one unit of budget down, until heap_sort takes it: 336 levels deep.
TEST(PdqSort, LargestPivotPartitionsIntoItselfUntilHeapSortTakesOver) {
    Values v(100);
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = (k + 1) % 2;
    PdqTrace trace;
    trace.sort(v, pdq_depth_budget(100));
    EXPECT_TRUE(std::ranges::is_sorted(v));
    EXPECT_EQ(trace.partitions, 336u);
    EXPECT_EQ(trace.ends.front(), std::make_pair(PdqEnd::heap_sort, std::size_t{100}));
    EXPECT_EQ(trace.max_depth, 336u);
}

// --- tim

TEST(MinRunLength, ShiftsBelow32AndRoundsUp) {
    for (auto [n, run] : {std::pair<std::uint64_t, std::uint64_t>{31, 31},
                          {32, 16},
                          {33, 17},
                          {63, 32},
                          {64, 16},
                          {1000000, 31},
                          {std::uint64_t{1} << 63, 16}}) {
        EXPECT_EQ(min_run_length(n), run) << n;
    }
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
            // No negative element: the target is sorted in place, one buffer per pass.
            EXPECT_EQ(trace.allocations, std::vector<std::size_t>(digits, input.size() * sizeof(std::int64_t)));
        }
    }
}

TEST(RadixSort, NegativesAreSortedAsMagnitudesAndWrittenBackFirst) {
    RadixTrace zeros;
    EXPECT_EQ(zeros.sorted(Values(1000, 0)), Values(1000, 0));
    EXPECT_TRUE(zeros.allocations.empty());
    RadixTrace single;
    EXPECT_EQ(single.sorted({0, 0, -1}), (Values{-1, 0, 0}));
    EXPECT_EQ(single.allocations, (std::vector<std::size_t>{8, 16}));  // the two lists, no pass
    RadixTrace smallest;
    EXPECT_EQ(smallest.sorted({-3, min64, -3}), (Values{min64, -3, -3}));
    EXPECT_EQ(smallest.multipliers.size(), 19u);  // 2^63 has nineteen digits
    EXPECT_EQ(RadixTrace{}.sorted({max64, min64, 0, min64 + 1, -1}), (Values{min64, min64 + 1, -1, 0, max64}));
}

}  // namespace
}  // namespace vexo
