// Radix sort: results on guarded sub-ranges, and through its observer the digit passes
// and allocations, which follow the largest magnitude rather than the length.
#include <gtest/gtest.h>

#include <vector>

#include "algorithms/radix.hpp"
#include "sort_harness.hpp"
#include "test_pdq_tim_radix.hpp"

namespace vexo {
namespace {

using testing::max64;
using testing::min64;
using testing::Values;

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

TEST(RadixSort, SortsPatternsOnSubranges) { testing::expect_sorts_patterns(radix_sort, {0, 1, 2, 3, 9, 10, 11, 100, 1000, 4097}); }

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

TEST(RadixSortNonNegative, SortsMagnitudesUpTo2To63) {
    const std::uint64_t two_to_63 = std::uint64_t{1} << 63;
    std::vector<std::uint64_t> magnitudes = {two_to_63, 5, two_to_63 - 1, 0, 10, two_to_63};
    radix_sort_non_negative(std::span<std::uint64_t>(magnitudes));
    EXPECT_EQ(magnitudes, (std::vector<std::uint64_t>{0, 5, 10, two_to_63 - 1, two_to_63, two_to_63}));
}

}  // namespace
}  // namespace vexo
