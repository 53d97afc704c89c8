// Timsort: the run length, the merge schedule it implies, and results on guarded
// sub-ranges at sizes around the run length and its multiples.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "algorithms/tim.hpp"
#include "sort_harness.hpp"
#include "test_pdq_tim_radix.hpp"

namespace vexo {
namespace {

using testing::Values;
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

TEST(TimSort, SortsPatternsAroundRunLengthsAndTheirMultiples) {
    testing::expect_sorts_patterns(tim_sort, {0, 1, 2, 31, 32, 33, 34, 63, 64, 65, 70, 96, 97, 513, 1000, 1024, 1025, 4097});
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

TEST(MergeAdjacentRuns, MergesInsideItsRegionOnly) {
    Values v = {9, 1, 4, 8, 2, 3, 0, -9};
    merge_adjacent_runs(v, 1, 3, 6);
    EXPECT_EQ(v, (Values{9, 1, 2, 3, 4, 8, 0, -9}));
}

}  // namespace
}  // namespace vexo
