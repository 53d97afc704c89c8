// The in-place quadratic sorts and heap sort, on sub-ranges of guarded buffers.
#include <gtest/gtest.h>

#include <limits>

#include "algorithms/bubble.hpp"
#include "algorithms/heap.hpp"
#include "algorithms/insertion.hpp"
#include "sort_harness.hpp"

namespace vexo {
namespace {

using testing::expect_sorts_patterns;

TEST(InsertionSort, SortsPatternsOnSubranges) { expect_sorts_patterns(insertion_sort, {0, 1, 2, 3, 15, 16, 17, 100, 513}); }
// Behind the smallest int64 every shift stops without a bound check.
TEST(InsertionSort, UnguardedBehindASmallerElement) {
    expect_sorts_patterns(
        [](SortTarget t) {
            const std::int64_t before = t.data()[-1];
            t.data()[-1] = std::numeric_limits<std::int64_t>::min();
            insertion_sort_unguarded(t);
            t.data()[-1] = before;
        },
        {0, 1, 2, 3, 16, 20, 21, 100});
}
TEST(BubbleSort, SortsPatternsOnSubranges) { expect_sorts_patterns(bubble_sort, {0, 1, 2, 3, 16, 17, 100, 257}); }
TEST(HeapSort, SortsPatternsOnSubranges) { expect_sorts_patterns(heap_sort, {0, 1, 2, 3, 4, 5, 16, 17, 100, 1000, 4097}); }

TEST(SiftDown, StrictComparisonsDecideTies) {
    std::vector<std::int64_t> equal_parent = {5, 5, 3};
    sift_down(equal_parent, 0, 3);
    EXPECT_EQ(equal_parent, (std::vector<std::int64_t>{5, 5, 3}));

    std::vector<std::int64_t> equal_children = {1, 7, 7};
    sift_down(equal_children, 0, 3);
    EXPECT_EQ(equal_children, (std::vector<std::int64_t>{7, 1, 7}));
}

TEST(SiftDown, NeverTouchesPastEnd) {
    std::vector<std::int64_t> v = {1, 2, 99};
    sift_down(v, 0, 2);
    EXPECT_EQ(v, (std::vector<std::int64_t>{2, 1, 99}));
}

TEST(ClassicSorts, ExtremeValuesGoToTheEnds) {
    using limits = std::numeric_limits<std::int64_t>;
    for (auto routine : {bubble_sort, insertion_sort, heap_sort}) {
        std::vector<std::int64_t> v = {limits::max(), limits::min(), 0};
        routine(v);
        EXPECT_EQ(v, (std::vector<std::int64_t>{limits::min(), 0, limits::max()}));
    }
}

}  // namespace
}  // namespace vexo
