// The sequential routines: every one on guarded sub-ranges at sizes around its thresholds,
// then the white-box rules of the quadratic sorts, heap, merge, quick and intro sort.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <tuple>
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
    {"heap", heap_sort, {0, 1, 2, 3, 4, 5, 16, 17, 100, 1000, 4097}},
    {"merge", merge_sort, {0, 1, 2, 3, 4, 5, 7, 8, 9, 17, 31, 32, 33, 100, 1000, 1025, 4097}},
    {"quick", quick_sort, {0, 1, 2, 3, 4, 5, 16, 17, 100, 1000, 3001}},
    {"intro", intro_sort, every_size_up_to(40, {63, 64, 65, 100, 1000, 4097})},
    {"pdq", pdq_sort, {0, 1, 2, 3, 4, 5, 24, 25, 26, 127, 128, 129, 1000, 1025, 4097}},
    {"radix", radix_sort, {0, 1, 2, 3, 9, 10, 11, 100, 1000, 4097}},
    {"tim", tim_sort, {0, 1, 2, 31, 32, 33, 34, 63, 64, 65, 70, 96, 97, 513, 1000, 1024, 1025, 4097}},
};

class SequentialSort : public ::testing::TestWithParam<Routine> {};
INSTANTIATE_TEST_SUITE_P(Routines, SequentialSort, ::testing::ValuesIn(routines), [](const auto& info) { return std::string(info.param.name); });

TEST_P(SequentialSort, SortsPatternsOnSubrangesAroundItsThresholds) { expect_sorts_patterns(GetParam().sort, GetParam().sizes); }

// Behind the smallest int64 every shift stops without a bound check.
TEST(InsertionSort, UnguardedBehindASmallerElement) {
    expect_sorts_patterns(
        [](SortTarget t) {
            const std::int64_t before = t.data()[-1];
            t.data()[-1] = testing::min64;
            insertion_sort_unguarded(t);
            t.data()[-1] = before;
        },
        {0, 1, 2, 3, 16, 20, 21, 100});
}

TEST(SiftDown, StrictComparisonsDecideTiesAndEndIsRespected) {
    for (auto [input, end, expected] : {std::tuple{Values{5, 5, 3}, 3, Values{5, 5, 3}}, {Values{1, 7, 7}, 3, Values{7, 1, 7}}, {Values{1, 2, 99}, 2, Values{2, 1, 99}}}) {
        sift_down(input, 0, static_cast<std::size_t>(end));
        EXPECT_EQ(input, expected);
    }
}

// A merge of [lo, hi) leaves the merged range in both the target and scratch[lo, hi), and
// never touches scratch outside it, so sibling ranges can share one scratch array.
TEST(MergeHalves, WritesOnlyTheMirroredScratchPositions) {
    constexpr std::int64_t untouched = -77;
    for (std::size_t lo : {0u, 1u, 4u})
        for (std::size_t left_len : {0u, 1u, 3u})
            for (std::size_t right_len : {0u, 1u, 5u}) {
                const std::size_t mid = lo + left_len, hi = mid + right_len, n = hi + 2;
                SCOPED_TRACE("lo=" + std::to_string(lo) + " mid=" + std::to_string(mid) + " hi=" + std::to_string(hi));
                Values target(n);
                for (std::size_t i = 0; i < n; ++i) target[i] = static_cast<std::int64_t>((i * 7919) % 13);
                const auto at = [&](Values& v, std::size_t i) { return v.begin() + static_cast<std::ptrdiff_t>(i); };
                std::sort(at(target, lo), at(target, mid));
                std::sort(at(target, mid), at(target, hi));
                Values expected = target, scratch(n, untouched);
                std::sort(at(expected, lo), at(expected, hi));
                merge_halves(target, scratch, lo, mid, hi);
                EXPECT_EQ(target, expected);
                for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(scratch[i], i >= lo && i < hi ? expected[i] : untouched) << "scratch[" << i << "]";
            }
}

// --- quick and intro: a probe records every partition (range and pivot position), the
// deepest nesting, and the ranges handed to insertion_sort and heap_sort.

using Span = std::array<std::size_t, 2>;        // closed range [lo, hi]
using Partition = std::array<std::size_t, 3>;  // lo, p, hi

struct RecordingProbe {
    std::vector<Partition> partitions;
    std::vector<Span> small_ranges, heap_ranges;
    std::size_t depth = 0, max_depth = 0;
};

// The observer of quick_sort_range_observed and intro_sort_range_observed, writing into a
// RecordingProbe.
struct Recorder {
    RecordingProbe* probe;
    void nested_call_begins() const { probe->max_depth = std::max(probe->max_depth, ++probe->depth); }
    void nested_call_ends() const { --probe->depth; }
    void partitioned(std::size_t lo, std::size_t p, std::size_t hi) const { probe->partitions.push_back({lo, p, hi}); }
    void ended(IntroEnd how, std::size_t lo, std::size_t hi) const { (how == IntroEnd::heap_sort ? probe->heap_ranges : probe->small_ranges).push_back({lo, hi}); }
};

// An explicit closed range inside a larger target: only [lo, hi] changes.
TEST(QuickSortRange, SortsOnlyTheClosedRange) {
    const Values input = make_pattern(Pattern::random, 50, 9);
    for (auto [lo, hi] : {std::pair<std::size_t, std::size_t>{0, 49}, {0, 0}, {5, 5}, {7, 8}, {3, 40}, {10, 49}, {9, 3}}) {
        Values v = input, expected = input;
        if (lo < hi) std::sort(expected.begin() + static_cast<std::ptrdiff_t>(lo), expected.begin() + static_cast<std::ptrdiff_t>(hi) + 1);
        quick_sort_range(v, lo, hi);
        EXPECT_EQ(v, expected) << "lo=" << lo << " hi=" << hi;
    }
}

TEST(Partition, LomutoAroundTheLastElement) {
    Values v = {3, 1, 4, 1, 5, 9, 2, 6};
    EXPECT_EQ(lomuto_partition(v, 0, 7), 6u);
    EXPECT_EQ(v, (Values{3, 1, 4, 1, 5, 2, 6, 9}));
    Values equal(6, 4);  // equal elements go left: the pivot stays at the end
    EXPECT_EQ(lomuto_partition(equal, 1, 4), 4u);
    Values pair = {2, 1};
    EXPECT_EQ(lomuto_partition(pair, 0, 1), 0u);
    EXPECT_EQ(pair, (Values{1, 2}));
}

// The textbook order: partition, sort the left part by nesting, loop on the right.
void left_first_reference(Values& v, std::size_t lo, std::size_t hi, RecordingProbe& probe) {
    while (lo < hi) {
        const std::size_t p = lomuto_partition(v, lo, hi);
        probe.partitions.push_back({lo, p, hi});
        if (p > 0) left_first_reference(v, lo, p - 1, probe);
        lo = p + 1;
    }
}

// Finishing the smaller part first changes the order of the work, never the work: the
// same ranges are partitioned around the same pivots as in the textbook recursion. Each
// nested call gets at most half of its parent's range, so nesting stays below log2(n),
// also where left-first recursion would nest n - 1 calls deep.
TEST(QuickSortRange, TextbookPartitionsAndLogarithmicNesting) {
    for (Pattern pattern : testing::all_patterns) {
        for (std::size_t n : {2u, 3u, 17u, 300u, 4096u, 5000u}) {
            SCOPED_TRACE(std::string(testing::name_of(pattern)) + " n=" + std::to_string(n));
            Values ours = make_pattern(pattern, n, 5), reference = ours;
            RecordingProbe our_probe, reference_probe;
            quick_sort_range_observed(ours, 0, n - 1, Recorder{&our_probe});
            EXPECT_TRUE(std::ranges::is_sorted(ours));
            EXPECT_LE(our_probe.max_depth, static_cast<std::size_t>(std::bit_width(n) - 1));
            if (n > 300) continue;  // the reference recursion would nest n deep
            left_first_reference(reference, 0, n - 1, reference_probe);
            EXPECT_EQ(ours, reference);
            std::ranges::sort(our_probe.partitions);
            std::ranges::sort(reference_probe.partitions);
            EXPECT_EQ(our_probe.partitions, reference_probe.partitions);
        }
    }
}

TEST(IntroDepthBudget, DoublesTheLogarithmBeforeTruncating) {
    const std::pair<std::size_t, std::size_t> table[] = {{1, 0},    {2, 2},    {3, 3},    {5, 4},     {16, 8},    {17, 8},       {32, 10},
                                                         {100, 13}, {181, 14}, {182, 15}, {1000, 19}, {1024, 20}, {1000000, 39}};
    for (auto [n, budget] : table) EXPECT_EQ(intro_depth_budget(n), budget) << "n=" << n;
}

// Sorted and all-equal input put every pivot at the end of its range, so the left part
// shrinks by one per level: after 19 partitions of 1000 elements, heap_sort gets the 981
// that remain.
TEST(IntroSortRange, SpentBudgetFallsBackToHeapSort) {
    for (Pattern pattern : {Pattern::ascending, Pattern::all_equal}) {
        Values v = make_pattern(pattern, 1000);
        RecordingProbe probe;
        intro_sort_range_observed(v, 0, 999, intro_depth_budget(1000), Recorder{&probe});
        EXPECT_TRUE(std::ranges::is_sorted(v));
        ASSERT_EQ(probe.partitions.size(), 19u);
        for (std::size_t k = 0; k < probe.partitions.size(); ++k) EXPECT_EQ(probe.partitions[k], (Partition{0, 999 - k, 999 - k}));
        EXPECT_EQ(probe.heap_ranges, (std::vector<Span>{{0, 980}}));
        EXPECT_EQ(probe.max_depth, 19u);  // the 19th nested call is the one heap_sort ends
    }
}

// Any budget, down to none at all, sorts the sub-range and nothing outside it; ranges of
// at most 16 go to insertion_sort whatever the budget, heap_sort only ever sees ranges of
// 17 or more, and no path partitions more often, nor nests deeper, than the budget allows.
TEST(IntroSortRange, AnyBudgetSortsAndBoundsEveryPath) {
    for (Pattern pattern : testing::all_patterns) {
        for (std::size_t n : {1u, 2u, 9u, 16u, 17u, 18u, 40u, 200u, 3000u}) {
            for (std::size_t budget : {std::size_t{0}, std::size_t{1}, std::size_t{3}, intro_depth_budget(n)}) {
                SCOPED_TRACE(std::string(testing::name_of(pattern)) + " n=" + std::to_string(n) + " budget=" + std::to_string(budget));
                RecordingProbe probe;
                testing::expect_sorts_subrange([&](SortTarget t) { intro_sort_range_observed(t, 0, n - 1, budget, Recorder{&probe}); }, make_pattern(pattern, n, 21));
                if (n < intro_tuning::insertion_below) {
                    EXPECT_TRUE(probe.partitions.empty() && probe.heap_ranges.empty());
                    EXPECT_EQ(probe.small_ranges, (std::vector<Span>{{0, n - 1}}));
                    continue;
                }
                for (auto [lo, hi] : probe.heap_ranges) EXPECT_GE(hi + 1 - lo, intro_tuning::insertion_below);
                for (auto [lo, hi] : probe.small_ranges) EXPECT_LT(hi + 1 - lo, intro_tuning::insertion_below);
                EXPECT_LE(probe.max_depth, budget);
                if (budget == 0) {
                    EXPECT_EQ(probe.heap_ranges, (std::vector<Span>{{0, n - 1}}));
                }
            }
        }
    }
}

}  // namespace
}  // namespace vexo
