// Top-down merge sort through one scratch array: the module function `merge`. It is the
// plain, predictable stable sort of vexo: every range of two or more elements is split
// and merged, whatever its contents, so its cost is n log n on every input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "core/assert.hpp"
#include "core/scratch.hpp"
#include "core/sort_target.hpp"
#include "kernels/merge_runs.hpp"

namespace vexo {

namespace merge_sort_tuning {
// Ranges shorter than this are sorted by merge_sort_unrolled: most calls of a merge sort
// are on ranges this short, and a call, a loop and a memcpy each cost more than their
// few merges do.
inline constexpr std::size_t unrolled_below = 8;
// Ranges shorter than this go back from the scratch array element by element, not by a
// call of memcpy.
inline constexpr std::size_t block_copy_from = 16;
}  // namespace merge_sort_tuning

// The copy of a merged range back into the target.
inline void copy_back(const std::int64_t* from, std::size_t n, std::int64_t* to) noexcept {
    if (n < merge_sort_tuning::block_copy_from) {
        for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
        return;
    }
    std::memcpy(to, from, n * sizeof(std::int64_t));
}

// Merges the sorted runs range[0, left) and range[left, n) into scratch[0, n) and copies
// it back: one merge of the sort, on the range's own pointers.
inline void merge_through_scratch(std::int64_t* range, std::size_t left, std::size_t n, std::int64_t* scratch) noexcept {
    // The shared stable merge takes the left element on ties: that keeps the sort stable.
    merge_runs(range, left, range + left, n - left, scratch);
    // The whole range goes back, not only the part the loop wrote.
    copy_back(scratch, n, range);
}

namespace merge_sort_detail {

// merge_sort_range on a range of N elements, N known to the compiler: the same splits,
// the same merges into the mirrored scratch positions and the same copies back, with the
// recursion and every loop unrolled.
template <std::size_t N>
inline void merge_sort_unrolled(std::int64_t* range, std::int64_t* scratch) noexcept {
    if constexpr (N >= 2) {
        constexpr std::size_t half = N / 2;
        merge_sort_unrolled<half>(range, scratch);
        merge_sort_unrolled<N - half>(range + half, scratch + half);
        merge_through_scratch(range, half, N, scratch);
    }
}

using UnrolledSort = void (*)(std::int64_t*, std::int64_t*) noexcept;

template <std::size_t... N>
constexpr std::array<UnrolledSort, sizeof...(N)> unrolled_sorts(std::index_sequence<N...>) noexcept {
    return {&merge_sort_unrolled<N>...};
}

// merge_sort_unrolled by length, below unrolled_below.
inline constexpr auto unrolled_sort = unrolled_sorts(std::make_index_sequence<merge_sort_tuning::unrolled_below>{});

}  // namespace merge_sort_detail

// Merges the sorted halves target[lo, mid) and target[mid, hi) into target[lo, hi).
// Contract: scratch.size() >= hi; reads only the target and writes only scratch[lo, hi)
// until the final copy back, so scratch positions mirror target positions and nothing in
// the scratch array is read before this merge wrote it.
inline void merge_halves(SortTarget target, std::span<std::int64_t> scratch, std::size_t lo, std::size_t mid, std::size_t hi) noexcept {
    VEXO_ASSERT(lo <= mid && mid <= hi && hi <= target.size() && hi <= scratch.size());
    merge_through_scratch(target.data() + lo, mid - lo, hi - lo, scratch.data() + lo);
}

// Sorts target[lo, hi) (half-open), stably.
// Contract: lo <= hi <= target.size() <= scratch.size(); no allocation of its own;
// recursion nests ceil(log2(hi - lo)) levels deep.
inline void merge_sort_range(SortTarget target, std::span<std::int64_t> scratch, std::size_t lo, std::size_t hi) noexcept {
    VEXO_ASSERT(lo <= hi && hi <= target.size() && target.size() <= scratch.size());
    if (hi - lo < merge_sort_tuning::unrolled_below) {
        merge_sort_detail::unrolled_sort[hi - lo](target.data() + lo, scratch.data() + lo);
        return;
    }
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
