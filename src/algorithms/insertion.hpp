// Shifting insertion sort: the module function `insertion` and the small-range sort that
// introsort, Timsort, pdqsort and `smart` reuse on sub-ranges. Its branch-free form, for
// the short ranges of the parallel sorts and Timsort's runs, is a kernel
// (kernels/insertion_branch_free.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/sort_target.hpp"

namespace vexo {

// Sorts `target` ascending, stably, in place, inserting each element into the sorted
// prefix before it.
// Contract: any length (0 and 1 are left alone); no allocation, no recursion; touches
// only target[0, n). At most n(n-1)/2 comparisons; n-1 and no move on ascending input.
inline void insertion_sort(SortTarget target) noexcept {
    std::int64_t* const element = target.data();
    const std::size_t n = target.size();
    for (std::size_t i = 1; i < n; ++i) {
        const std::int64_t key = element[i];
        std::size_t j = i;
        // Stop at the first element that is <= key: an element never passes an equal one,
        // which is what makes the sort stable. Passed-over elements are shifted, not
        // swapped, so each is written once and key once.
        while (j > 0 && element[j - 1] > key) {
            element[j] = element[j - 1];
            --j;
        }
        element[j] = key;
    }
}

}  // namespace vexo
