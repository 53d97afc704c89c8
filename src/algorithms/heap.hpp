// In-place heap sort on an implicit binary max-heap: the module function `heap` and the
// fallback of introsort and pdqsort once their depth budget is spent, which is why it
// must work on any sub-range and guarantee O(n log n) whatever the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/sort_target.hpp"

namespace vexo {

// Moves target[root] down until max-heap order holds below it within [0, end).
// Contract: end <= target.size(); positions from end on are neither read nor written.
// Both comparisons are strict: a parent equal to its larger child stays, and of two equal
// children the left one rises.
inline void sift_down(SortTarget target, std::size_t root, std::size_t end) noexcept {
    std::int64_t* const element = target.data();
    std::size_t left = 2 * root + 1;
    while (left < end) {
        std::size_t candidate = root;
        if (element[root] < element[left]) candidate = left;
        const std::size_t right = left + 1;
        if (right < end && element[candidate] < element[right]) candidate = right;
        if (candidate == root) return;
        std::swap(element[root], element[candidate]);
        root = candidate;
        left = 2 * root + 1;
    }
}

// Sorts `target` ascending in place (not stable).
// Contract: any length; no allocation, no recursion; about 2 n log2 n comparisons at most.
inline void heap_sort(SortTarget target) noexcept {
    const std::size_t n = target.size();
    if (n < 2) return;
    // Build from the last position that has a child down to the root.
    for (std::size_t i = n / 2; i-- > 0;) sift_down(target, i, n);
    // Each extraction parks the heap's maximum at `end`, its final place; the sorted tail
    // [end, n) is outside the heap from then on.
    for (std::size_t end = n - 1; end >= 1; --end) {
        std::swap(target[0], target[end]);
        sift_down(target, 0, end);
    }
}

}  // namespace vexo
