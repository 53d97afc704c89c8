// The three parallel sorts on guarded sub-ranges, around every threshold, on pools of one,
// two and three workers and on the process-wide pool; plus the merge split rules and the
// unstable sort's fallbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "parallel/par_merge.hpp"
#include "parallel/pool.hpp"
#include "parallel/pool_stable_sort.hpp"
#include "parallel/pool_unstable_sort.hpp"
#include "sort_harness.hpp"
#include "unstable_observer.hpp"

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

// Sizes just around each threshold of the three sorts: one below, at and one above the
// insertion, chunk, sequential-side, sequential-merge and direct-sort bounds; the median of
// three's last size and the first past it; a last chunk of two elements, and of one behind
// two whole chunks; twice the direct-sort bound, and one less, whose halves lie on both
// sides of it; a larger odd size; and `more`.
std::vector<std::size_t> around_every_threshold(std::initializer_list<std::size_t> more = {}) {
    using namespace stable_sort_tuning;
    using par_merge_tuning::direct_sort_below;
    using unstable_sort_tuning::max_median_of_three;
    using unstable_sort_tuning::max_sequential_side;
    std::vector<std::size_t> sizes{0,
                                   1,
                                   2,
                                   max_median_of_three,
                                   max_median_of_three + 1,
                                   chunk_length + 2,
                                   2 * chunk_length + 1,
                                   2 * direct_sort_below - 1,
                                   2 * direct_sort_below,
                                   30'011};
    sizes.insert(sizes.end(), more);
    for (std::size_t bound : {max_insertion, unstable_sort_tuning::max_insertion, chunk_length, max_sequential_side, sequential_merge_below,
                              direct_sort_below}) {
        sizes.insert(sizes.end(), {bound - 1, bound, bound + 1});
    }
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    return sizes;
}

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
            expect_sorts_patterns(sort.routine, around_every_threshold({200'003}));
            continue;
        }
        expect_sorts_patterns([&](SortTarget t) { pool->install([&] { sort.routine(t); }); }, around_every_threshold());
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

// Chunks holding blocks of values in a random order, some already ascending, some
// descending and some shuffled, at every chunk count up to nine and a last chunk short of
// full: halves of the merge tree are in order or not in every combination, and the trees
// of the two halves of a merge end in the same array or in different ones.
TEST(ParallelStableSort, ChunksInAnyOrderAtEveryChunkCount) {
    using stable_sort_tuning::chunk_length;
    std::mt19937_64 rng(17);
    for (std::size_t chunks = 2; chunks <= 9; ++chunks) {
        for (int round = 0; round < 12; ++round) {
            SCOPED_TRACE("chunks=" + std::to_string(chunks) + " round=" + std::to_string(round));
            std::vector<std::size_t> block(chunks);
            std::iota(block.begin(), block.end(), std::size_t{0});
            if (round % 3 != 0) std::shuffle(block.begin(), block.end(), rng);
            std::vector<std::int64_t> v;
            for (std::size_t c = 0; c < chunks; ++c) {
                const std::size_t length = c + 1 < chunks ? chunk_length : chunk_length - 7;
                const auto begin = v.end() - v.begin();
                for (std::size_t i = 0; i < length; ++i) v.push_back(static_cast<std::int64_t>(block[c] * chunk_length + i));
                const auto values = std::span(v).subspan(static_cast<std::size_t>(begin));
                if (rng() % 3 == 1) std::reverse(values.begin(), values.end());
                if (rng() % 3 == 2) std::shuffle(values.begin(), values.end(), rng);
            }
            testing::expect_sorts_subrange(parallel_stable_sort, v);
        }
    }
}

// Every cut of a long merge keeps the merged order: nothing in a first half belongs behind
// anything in a second half, and a right element goes before a left one only when
// strictly smaller (ties keep the left run first). Runs with many ties on both sides of
// every cut, at lengths that make both the left and the right run the longer one.
struct CutChecker {
    std::shared_ptr<std::atomic<std::size_t>> cuts = std::make_shared<std::atomic<std::size_t>>(0);  // pool tasks cut at once
    void merge_split(std::span<const std::int64_t> left, std::span<const std::int64_t> right, std::size_t left_cut,
                     std::size_t right_cut) const {
        ++*cuts;
        const auto last_before = [](std::span<const std::int64_t> run, std::size_t cut) {
            return cut == 0 ? testing::min64 : run[cut - 1];
        };
        const auto first_after = [](std::span<const std::int64_t> run, std::size_t cut) {
            return cut == run.size() ? testing::max64 : run[cut];
        };
        ASSERT_TRUE(left_cut <= left.size() && right_cut <= right.size());
        EXPECT_LE(last_before(left, left_cut), first_after(right, right_cut));
        EXPECT_LT(last_before(right, right_cut), first_after(left, left_cut));
    }
};

TEST(ParallelStableSort, MergeCutsKeepTiesInRunOrder) {
    const CutChecker checker;
    for (std::size_t n : {20'000, 70'001}) {
        for (std::int64_t distinct : {1, 3, 1000}) {
            std::vector<std::int64_t> v(n);
            for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::int64_t>((i * 7919) % static_cast<std::size_t>(distinct));
            parallel_stable_sort_observed(SortTarget(v), checker);
            ASSERT_TRUE(std::is_sorted(v.begin(), v.end()));
        }
    }
    EXPECT_GT(*checker.cuts, 0u);
}

// Every partition is checked on the way. A spent allowance hands ranges to heap sort; with
// room to spare, runs of equal values take the left partition behind an equal pivot and
// presorted ranges the order-keeping scans.
TEST(ParallelUnstableSort, EveryPartitionSplitsAroundItsPivotWhateverTheAllowance) {
    for (unsigned allowance : {0u, 1u, 2u, 64u}) {
        SCOPED_TRACE(allowance);
        const testing::CheckingObserver observer{allowance};
        using namespace unstable_sort_tuning;
        expect_sorts_patterns([&](SortTarget t) { parallel_unstable_sort_observed(t, observer); },
                              {3, max_insertion + 1, max_median_of_three, max_median_of_three + 1, 300, max_sequential_side + 1, 5000});
        const auto& counts = *observer.counts;
        if (allowance < 64) {
            EXPECT_GT(counts.ends[static_cast<int>(UnstableEnd::heap_sort)], 0u);
        } else {
            EXPECT_GT(counts.partitions[static_cast<int>(PartitionSide::equal_left)], 0u);
            EXPECT_GT(counts.ends[static_cast<int>(UnstableEnd::in_order)], 0u);
        }
    }
}

}  // namespace
}  // namespace vexo
