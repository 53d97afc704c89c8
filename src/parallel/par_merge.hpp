// vexo's own recursive parallel merge sort, behind the module function `par_merge`.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/scratch.hpp"
#include "core/sort_target.hpp"
#include "kernels/merge_runs.hpp"
#include "parallel/pool.hpp"

namespace vexo {

// Tuning of par_merge_sort, each constant with its reason.
namespace par_merge_tuning {
// A segment of 0 or 1 element is sorted by definition.
inline constexpr std::size_t nothing_to_sort_below = 2;
// Segments this long or longer are halved and merged; shorter ones are sorted directly.
// Every task is then at least 4096 elements, large against the cost of scheduling it.
inline constexpr std::size_t direct_sort_below = 8192;
}  // namespace par_merge_tuning

// Sorts `segment` ascending, stably.
// Contract: any length and sub-range. Below 8192 elements: std::stable_sort on the calling
// thread (its temporary buffer, if it gets one), no pool. Otherwise the halves (floor(m/2) and ceil(m/2) elements) are
// sorted as a task pair on the pool, then merged on this thread through one m-element
// buffer obtained only after the pair has finished, so the buffers alive at once never
// hold more than n elements. Recursion depth log2(n / 4096).
inline void par_merge_sort(SortTarget segment) {
    using namespace par_merge_tuning;
    const std::size_t m = segment.size();
    if (m < nothing_to_sort_below) return;
    if (m < direct_sort_below) {
        // The pieces are the standard library's stable sort: the sort stays stable end to
        // end, and the study this function serves compares the merge tree above it, not
        // the leaf sort.
        std::stable_sort(segment.begin(), segment.end());
        return;
    }
    const std::size_t h = m / 2;
    const SortTarget left = segment.first(h);
    const SortTarget right = segment.subspan(h);
    join([&] { par_merge_sort(left); }, [&] { par_merge_sort(right); });

    Scratch<std::int64_t> buffer(m);
    merge_runs(left.data(), h, right.data(), m - h, buffer.data());
    std::copy(buffer.data(), buffer.data() + m, segment.data());
}

}  // namespace vexo
