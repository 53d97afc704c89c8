// The sequential routines: every one on guarded sub-ranges at sizes around its thresholds,
// then what only quick's and intro's observers show: nesting depth, budget and cut-overs.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <vector>

#include "algorithms/bubble.hpp"
#include "algorithms/heap.hpp"
#include "algorithms/insertion.hpp"
#include "algorithms/intro.hpp"
#include "algorithms/merge.hpp"
#include "algorithms/pdq.hpp"
#include "algorithms/quick.hpp"
#include "algorithms/radix.hpp"
#include "algorithms/tim.hpp"
#include "kernels/insertion_branch_free.hpp"
#include "sort_harness.hpp"

namespace vexo {
namespace {

using testing::expect_sorts_patterns;
using testing::make_pattern;
using testing::Pattern;
using testing::Values;

struct Routine {
    const char* name;
    SortRoutine sort;
    std::vector<std::size_t> sizes;  // just around each of its thresholds
};

// Every size up to `n`, then `more`.
std::vector<std::size_t> every_size_up_to(std::size_t n, std::initializer_list<std::size_t> more) {
    std::vector<std::size_t> sizes(n + 1);
    for (std::size_t i = 0; i <= n; ++i) sizes[i] = i;
    sizes.insert(sizes.end(), more);
    return sizes;
}

const Routine routines[] = {
    {"bubble", bubble_sort, {0, 1, 2, 3, 16, 17, 100, 257}},
    {"insertion", insertion_sort, {0, 1, 2, 3, 15, 16, 17, 100, 513}},
    {"insertion_branch_free", insertion_sort_branch_free, every_size_up_to(40, {100})},
    {"heap", heap_sort, {0, 1, 2, 3, 4, 5, 16, 17, 100, 1000, 4097}},
    {"merge", merge_sort, {0, 1, 2, 3, 4, 5, 7, 8, 9, 17, 31, 32, 33, 100, 1000, 1025, 4097}},
    {"quick", quick_sort, {0, 1, 2, 3, 4, 5, 16, 17, 100, 1000, 3001}},
    {"intro", intro_sort, every_size_up_to(40, {63, 64, 65, 100, 1000, 4097})},
    {"pdq", pdq_sort, {0, 1, 2, 3, 4, 5, 24, 25, 26, 127, 128, 129, 1000, 1025, 4097}},
    {"radix", radix_sort, {0, 1, 2, 3, 9, 10, 11, 100, 1000, 4097}},
    {"tim", tim_sort, {0, 1, 2, 31, 32, 33, 34, 63, 64, 65, 70, 96, 97, 513, 1000, 1024, 1025, 4097}},
};

class SequentialSort : public ::testing::TestWithParam<Routine> {};
INSTANTIATE_TEST_SUITE_P(Routines, SequentialSort, ::testing::ValuesIn(routines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(SequentialSort, SortsPatternsOnSubrangesAroundItsThresholds) { expect_sorts_patterns(GetParam().sort, GetParam().sizes); }

using Span = std::array<std::size_t, 2>;  // closed range [lo, hi]

// Records, through the observer hooks, the partitions, the deepest nesting and the ranges
// intro hands to insertion_sort and heap_sort.
struct Trace {
    std::size_t partitions = 0, depth = 0, max_depth = 0;
    std::vector<Span> small_ranges, heap_ranges;
};

struct Recorder {
    Trace* trace;
    void nested_call_begins() const { trace->max_depth = std::max(trace->max_depth, ++trace->depth); }
    void nested_call_ends() const { --trace->depth; }
    void partitioned(std::size_t, std::size_t, std::size_t) const { ++trace->partitions; }
    void ended(IntroEnd how, std::size_t lo, std::size_t hi) const {
        (how == IntroEnd::heap_sort ? trace->heap_ranges : trace->small_ranges).push_back({lo, hi});
    }
};

// An explicit closed range inside a larger target: only [lo, hi] changes.
TEST(QuickSortRange, SortsOnlyTheClosedRange) {
    const Values input = make_pattern(Pattern::random, 50, 9);
    for (auto [lo, hi] : {std::pair<std::size_t, std::size_t>{0, 49}, {5, 5}, {7, 8}, {3, 40}, {10, 49}, {9, 3}}) {
        Values v = input, expected = input;
        if (lo < hi) std::sort(expected.begin() + static_cast<std::ptrdiff_t>(lo), expected.begin() + static_cast<std::ptrdiff_t>(hi) + 1);
        quick_sort_range(v, lo, hi);
        EXPECT_EQ(v, expected) << "lo=" << lo << " hi=" << hi;
    }
}

// Each nested call gets at most half of its parent's range, so nesting stays below
// log2(n), also on the inputs where left-first recursion would nest n - 1 calls deep.
TEST(QuickSortRange, NestingStaysLogarithmic) {
    for (Pattern pattern : testing::all_patterns) {
        for (std::size_t n : {2u, 17u, 300u, 5000u}) {
            Values v = make_pattern(pattern, n, 5);
            Trace trace;
            quick_sort_range_observed(v, 0, n - 1, Recorder{&trace});
            EXPECT_TRUE(std::ranges::is_sorted(v));
            EXPECT_LE(trace.max_depth, static_cast<std::size_t>(std::bit_width(n) - 1)) << testing::name_of(pattern) << " n=" << n;
        }
    }
}

TEST(IntroDepthBudget, DoublesTheLogarithmBeforeTruncating) {
    for (auto [n, budget] : {std::pair<std::size_t, std::size_t>{1, 0}, {3, 3}, {17, 8}, {182, 15}, {1000000, 39}})
        EXPECT_EQ(intro_depth_budget(n), budget) << n;
}

// Sorted input puts every pivot at the end of its range: after 19 partitions of 1000
// elements (the budget), heap_sort gets the 981 that remain, 19 nested calls down.
TEST(IntroSortRange, SpentBudgetFallsBackToHeapSort) {
    Values v = make_pattern(Pattern::ascending, 1000);
    Trace trace;
    intro_sort_range_observed(v, 0, 999, intro_depth_budget(1000), Recorder{&trace});
    EXPECT_TRUE(std::ranges::is_sorted(v));
    EXPECT_EQ(trace.partitions, 19u);
    EXPECT_EQ(trace.heap_ranges, (std::vector<Span>{{0, 980}}));
    EXPECT_EQ(trace.max_depth, 19u);
}

// Any budget, down to none at all, sorts the sub-range and nothing outside it; ranges of
// at most 16 go to insertion_sort whatever the budget, heap_sort only ever sees ranges of
// 17 or more, and no path nests deeper than the budget allows.
TEST(IntroSortRange, AnyBudgetSortsAndBoundsEveryPath) {
    for (Pattern pattern : testing::all_patterns) {
        for (std::size_t n : {1u, 16u, 17u, 40u, 3000u}) {
            for (std::size_t budget : {std::size_t{0}, std::size_t{1}, std::size_t{3}, intro_depth_budget(n)}) {
                SCOPED_TRACE(std::string(testing::name_of(pattern)) + " n=" + std::to_string(n) + " budget=" + std::to_string(budget));
                Trace trace;
                testing::expect_sorts_subrange([&](SortTarget t) { intro_sort_range_observed(t, 0, n - 1, budget, Recorder{&trace}); },
                                               make_pattern(pattern, n, 21));
                for (auto [lo, hi] : trace.heap_ranges) EXPECT_GE(hi + 1 - lo, 17u);
                for (auto [lo, hi] : trace.small_ranges) EXPECT_LT(hi + 1 - lo, 17u);
                EXPECT_LE(trace.max_depth, budget);
                const std::vector<Span> whole{{0, n - 1}};
                if (n < 17) {
                    EXPECT_EQ(trace.small_ranges, whole);
                } else if (budget == 0) {
                    EXPECT_EQ(trace.heap_ranges, whole);
                }
            }
        }
    }
}

}  // namespace
}  // namespace vexo
