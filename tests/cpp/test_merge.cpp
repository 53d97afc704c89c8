// Merge sort: whole-target sorts on guarded sub-ranges, and the scratch discipline of the
// merge step (it writes exactly the mirrored positions and nothing else).
#include <gtest/gtest.h>

#include <vector>

#include "algorithms/merge.hpp"
#include "sort_harness.hpp"

namespace vexo {
namespace {

using testing::expect_sorts_patterns;

TEST(MergeSort, SortsPatternsOnSubranges) { expect_sorts_patterns(merge_sort, {0, 1, 2, 3, 4, 5, 7, 8, 9, 31, 32, 33, 100, 1000, 4097}); }

// A merge of [lo, hi) leaves the merged range in both the target and scratch[lo, hi), and
// never touches scratch outside it, so sibling ranges can share one scratch array.
TEST(MergeHalves, WritesOnlyTheMirroredScratchPositions) {
    constexpr std::int64_t untouched = -77;
    for (std::size_t lo : {0u, 1u, 4u}) {
        for (std::size_t mid_offset : {0u, 1u, 3u}) {
            for (std::size_t right_len : {0u, 1u, 5u}) {
                const std::size_t mid = lo + mid_offset, hi = mid + right_len, n = hi + 2;
                std::vector<std::int64_t> target(n);
                for (std::size_t i = 0; i < n; ++i) target[i] = static_cast<std::int64_t>((i * 7919) % 13);
                std::sort(target.begin() + static_cast<std::ptrdiff_t>(lo), target.begin() + static_cast<std::ptrdiff_t>(mid));
                std::sort(target.begin() + static_cast<std::ptrdiff_t>(mid), target.begin() + static_cast<std::ptrdiff_t>(hi));
                std::vector<std::int64_t> expected = target;
                std::sort(expected.begin() + static_cast<std::ptrdiff_t>(lo), expected.begin() + static_cast<std::ptrdiff_t>(hi));

                std::vector<std::int64_t> scratch(n, untouched);
                merge_halves(target, scratch, lo, mid, hi);
                SCOPED_TRACE("lo=" + std::to_string(lo) + " mid=" + std::to_string(mid) + " hi=" + std::to_string(hi));
                EXPECT_EQ(target, expected);
                for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(scratch[i], i >= lo && i < hi ? expected[i] : untouched) << "scratch[" << i << "]";
            }
        }
    }
}

}  // namespace
}  // namespace vexo
