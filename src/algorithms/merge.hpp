// Top-down merge sort through one scratch array: the module function `merge`. It is the
// plain, predictable stable sort of vexo: every range of two or more elements is split
// and merged, whatever its contents, so its cost is n log n on every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/assert.hpp"
#include "core/scratch.hpp"
#include "core/sort_target.hpp"
#include "kernels/merge_runs.hpp"

namespace vexo {

// Merges the sorted halves target[lo, mid) and target[mid, hi) into target[lo, hi).
// Contract: scratch.size() >= hi; reads only the target and writes only scratch[lo, hi)
// until the final block copy, so scratch positions mirror target positions and nothing in
// the scratch array is read before this merge wrote it.
inline void merge_halves(SortTarget target, std::span<std::int64_t> scratch, std::size_t lo, std::size_t mid, std::size_t hi) noexcept {
    VEXO_ASSERT(lo <= mid && mid <= hi && hi <= target.size() && hi <= scratch.size());
    const std::int64_t* const element = target.data();
    // The shared stable merge takes the left element on ties: that keeps the sort stable.
    merge_runs(element + lo, mid - lo, element + mid, hi - mid, scratch.data() + lo);
    // The whole range goes back in one block, not only the part the loop wrote.
    std::memcpy(target.data() + lo, scratch.data() + lo, (hi - lo) * sizeof(std::int64_t));
}

// Sorts target[lo, hi) (half-open), stably.
// Contract: lo <= hi <= target.size() <= scratch.size(); no allocation of its own;
// recursion nests ceil(log2(hi - lo)) levels deep.
inline void merge_sort_range(SortTarget target, std::span<std::int64_t> scratch, std::size_t lo, std::size_t hi) noexcept {
    VEXO_ASSERT(lo <= hi && hi <= target.size() && target.size() <= scratch.size());
    if (hi - lo < 2) return;
    // Rounding down puts the shorter half on the left: a range of 3 splits 1 + 2.
    const std::size_t mid = lo + (hi - lo) / 2;
    merge_sort_range(target, scratch, lo, mid);
    merge_sort_range(target, scratch, mid, hi);
    merge_halves(target, scratch, lo, mid, hi);
}

// Sorts `target` ascending, stably, in place.
// Contract: allocates one zero-filled scratch array of exactly n elements for n >= 2 (none
// below), released on every path; aborts the process if that allocation fails.
inline void merge_sort(SortTarget target) {
    const std::size_t n = target.size();
    if (n < 2) return;
    Scratch<std::int64_t> scratch(n, Scratch<std::int64_t>::Fill::zeroed);
    merge_sort_range(target, scratch.span(), 0, n);
}

}  // namespace vexo
