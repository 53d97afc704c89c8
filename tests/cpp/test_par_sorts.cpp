// The three parallel sorts on guarded sub-ranges, around every threshold, on pools of one,
// two and three workers and on the process-wide pool; plus the merge split rules and the
// unstable sort's fallbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "parallel/par_merge.hpp"
#include "parallel/pool.hpp"
#include "parallel/pool_stable_sort.hpp"
#include "parallel/pool_unstable_sort.hpp"
#include "sort_harness.hpp"

namespace vexo {
namespace {

using testing::expect_sorts_patterns;

struct ParallelSort {
    const char* name;
    SortRoutine routine;
};

const ParallelSort parallel_sorts[] = {
    {"parallel_stable_sort", parallel_stable_sort},
    {"parallel_unstable_sort", parallel_unstable_sort},
    {"par_merge_sort", par_merge_sort},
};

// Sizes just around each threshold: insertion (20), chunk and sequential bound (2000),
// sequential merge (5000), split (8192, and 16383 whose halves lie on both sides of it).
#define VEXO_THRESHOLD_SIZES 0, 1, 2, 19, 20, 21, 49, 50, 1999, 2000, 2001, 2002, 4001, 4999, 5000, 5001, 8191, 8192, 8193, 16383, 16384, 30011

// 0 stands for the process-wide pool, reached from this outside thread, with large inputs too.
class OnPool : public ::testing::TestWithParam<std::size_t> {};
INSTANTIATE_TEST_SUITE_P(Workers, OnPool, ::testing::Values(0, 1, 2, 3));

TEST_P(OnPool, AllThreeSortPatternsAroundEveryThreshold) {
    std::unique_ptr<ThreadPool> pool;
    if (GetParam() != 0) {
        ThreadPool::Created created = ThreadPool::create(GetParam());
        ASSERT_TRUE(created.pool) << created.failure;
        pool = std::move(created.pool);
    }
    for (const ParallelSort& sort : parallel_sorts) {
        SCOPED_TRACE(sort.name);
        if (!pool) {
            expect_sorts_patterns(sort.routine, {VEXO_THRESHOLD_SIZES, 200'003});
            continue;
        }
        expect_sorts_patterns([&](SortTarget t) { pool->install([&] { sort.routine(t); }); }, {VEXO_THRESHOLD_SIZES});
    }
}

// Inputs built from sorted blocks exercise the joining of chunks already in order and
// merges of very unequal runs.
TEST(ParallelStableSort, BlocksOfSortedChunks) {
    std::vector<std::int64_t> v;
    for (int block = 0; block < 7; ++block) {
        const std::size_t length = block % 2 == 0 ? 6000 : 150;
        for (std::size_t i = 0; i < length; ++i) v.push_back(static_cast<std::int64_t>(i * 3 + block));
    }
    testing::expect_sorts_subrange(parallel_stable_sort, v);
    std::reverse(v.begin(), v.end());
    testing::expect_sorts_subrange(parallel_stable_sort, v);
}

// Left shorter: right cut at its middle, left cut after its elements <= that value. Left not
// shorter: left cut at its middle, right cut before its elements >= that value.
TEST(MergeSplit, CutsKeepTiesInRunOrder) {
    struct {
        std::vector<std::int64_t> left, right;
        std::size_t left_mid, right_mid;
    } const table[] = {{{1, 5, 5, 9}, {2, 3, 5, 5, 7, 8}, 3, 3}, {{1, 2, 5, 5, 9, 9}, {5, 5, 6}, 3, 0}, {{0, 0, 0, 0}, {0, 0, 0, 0}, 2, 0},
                       {{0, 0, 0}, {0, 0, 0, 0}, 3, 2},          {{10, 11}, {1, 2, 3, 4, 5}, 0, 2},   {{1, 2, 3, 4}, {10, 11}, 2, 0}};
    for (const auto& c : table) {
        const auto cut = stable_detail::split_for_parallel_merge(c.left.data(), c.left.size(), c.right.data(), c.right.size());
        EXPECT_EQ(cut, std::pair(c.left_mid, c.right_mid)) << c.left.size() << " + " << c.right.size();
    }
}

TEST(ParallelUnstableSort, SpentAllowanceFallsBackToHeapSort) {
    for (unsigned allowance : {0u, 1u, 2u}) {
        SCOPED_TRACE(allowance);
        expect_sorts_patterns([allowance](SortTarget t) { unstable_detail::sort_range(t, allowance, false); }, {21, 50, 2001, 5000});
    }
}

TEST(ParallelUnstableSort, PartitionLeftFinishesRunsOfThePredecessor) {
    // The element before the range equals the pivot: all copies of it end up in front.
    std::vector<std::int64_t> v = {7, 7, 9, 7, 8, 7, 7, 10, 7};
    SortTarget range(v.data() + 1, v.size() - 1);
    const std::size_t pivot = unstable_detail::partition_left(range);
    for (std::size_t i = 0; i <= pivot; ++i) EXPECT_EQ(range[i], 7);
    for (std::size_t i = pivot + 1; i < range.size(); ++i) EXPECT_GT(range[i], 7);
}

// The block partition against its definition, on lengths around the two-block boundary and
// on value spreads from all-equal to distinct.
TEST(ParallelUnstableSort, PartitionRightSplitsAroundThePivot) {
    std::mt19937_64 rng(3);
    for (std::size_t n = 3; n < 700; n += (n < 300 ? 1 : 37)) {
        for (std::uint64_t spread : {1u, 3u, 1000u}) {
            std::vector<std::int64_t> v(n);
            for (auto& x : v) x = static_cast<std::int64_t>(rng() % spread);
            std::vector<std::int64_t> before = v;
            unstable_detail::choose_pivot(v);
            const std::int64_t pivot = v[0];
            const auto split = unstable_detail::partition_right(v);
            ASSERT_EQ(v[split.pivot], pivot);
            for (std::size_t i = 0; i < split.pivot; ++i) ASSERT_LT(v[i], pivot) << "n=" << n;
            for (std::size_t i = split.pivot + 1; i < n; ++i) ASSERT_GE(v[i], pivot) << "n=" << n;
            std::sort(before.begin(), before.end());
            std::sort(v.begin(), v.end());
            ASSERT_EQ(v, before);
        }
    }
}

}  // namespace
}  // namespace vexo
