// Quicksort: sorts on guarded sub-ranges, the exact Lomuto partition, the same partitions
// as left-first recursion, and nesting bounded by log2(n) even on quadratic inputs.
#include <gtest/gtest.h>

#include <vector>

#include "algorithms/quick.hpp"
#include "sort_harness.hpp"
#include "test_quick_probe.hpp"

namespace vexo {
namespace {

using testing::Pattern;
using testing::RecordingProbe;

TEST(QuickSort, SortsPatternsOnSubranges) { testing::expect_sorts_patterns(quick_sort, {0, 1, 2, 3, 4, 5, 16, 17, 100, 1000, 3001}); }

// An explicit closed range inside a larger target: only [lo, hi] changes.
TEST(QuickSortRange, SortsOnlyTheClosedRange) {
    const std::vector<std::int64_t> input = testing::make_pattern(Pattern::random, 50, 9);
    for (auto [lo, hi] : {std::pair<std::size_t, std::size_t>{0, 49}, {0, 0}, {5, 5}, {7, 8}, {3, 40}, {10, 49}, {9, 3}}) {
        std::vector<std::int64_t> v = input, expected = input;
        if (lo < hi) std::sort(expected.begin() + static_cast<std::ptrdiff_t>(lo), expected.begin() + static_cast<std::ptrdiff_t>(hi) + 1);
        quick_sort_range(v, lo, hi);
        EXPECT_EQ(v, expected) << "lo=" << lo << " hi=" << hi;
    }
}

TEST(Partition, LomutoAroundTheLastElement) {
    std::vector<std::int64_t> v = {3, 1, 4, 1, 5, 9, 2, 6};
    EXPECT_EQ(partition(v, 0, 7), 6u);
    EXPECT_EQ(v, (std::vector<std::int64_t>{3, 1, 4, 1, 5, 2, 6, 9}));

    // Equal elements go left, so an all-equal range puts the pivot at its end.
    std::vector<std::int64_t> equal(6, 4);
    EXPECT_EQ(partition(equal, 1, 4), 4u);

    std::vector<std::int64_t> pair = {2, 1};
    EXPECT_EQ(partition(pair, 0, 1), 0u);
    EXPECT_EQ(pair, (std::vector<std::int64_t>{1, 2}));
}

// The textbook order: partition, sort the left part by nesting, loop on the right.
void left_first_reference(std::vector<std::int64_t>& v, std::size_t lo, std::size_t hi, RecordingProbe& probe) {
    while (lo < hi) {
        const std::size_t p = partition(v, lo, hi);
        probe.partitioned(lo, p, hi, 0);
        if (p > 0) left_first_reference(v, lo, p - 1, probe);
        lo = p + 1;
    }
}

// Finishing the smaller part first changes the order of the work, never the work: the
// same ranges are partitioned around the same pivots as in the textbook recursion.
TEST(QuickSortRange, PartitionsExactlyTheTextbookRanges) {
    for (Pattern pattern : testing::all_patterns) {
        for (std::size_t n : {2u, 3u, 17u, 300u}) {
            SCOPED_TRACE(std::string(testing::name_of(pattern)) + " n=" + std::to_string(n));
            std::vector<std::int64_t> ours = testing::make_pattern(pattern, n, 5), reference = ours;
            RecordingProbe our_probe, reference_probe;
            quick_sort_range(ours, 0, n - 1, our_probe);
            left_first_reference(reference, 0, n - 1, reference_probe);
            EXPECT_EQ(ours, reference);
            std::sort(our_probe.partitions.begin(), our_probe.partitions.end());
            std::sort(reference_probe.partitions.begin(), reference_probe.partitions.end());
            EXPECT_EQ(our_probe.partitions, reference_probe.partitions);
        }
    }
}

// Each nested call gets at most half of its parent's range, so nesting stays below
// log2(n), also where left-first recursion would nest n - 1 calls deep.
TEST(QuickSortRange, NestingStaysLogarithmic) {
    for (Pattern pattern : testing::all_patterns) {
        for (std::size_t n : {2u, 100u, 4096u, 5000u}) {
            SCOPED_TRACE(std::string(testing::name_of(pattern)) + " n=" + std::to_string(n));
            std::vector<std::int64_t> v = testing::make_pattern(pattern, n, 11);
            RecordingProbe probe;
            quick_sort_range(v, 0, n - 1, probe);
            EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
            EXPECT_LE(probe.max_depth, testing::floor_log2(n));
        }
    }
}

}  // namespace
}  // namespace vexo
