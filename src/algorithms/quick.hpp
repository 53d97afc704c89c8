// Plain quicksort: Lomuto partition around the last element of each range, no pivot
// sampling, no small-range cut-over, no depth limit: the module function `quick`, kept as
// the textbook algorithm it is. Introsort reuses its partition step and observer unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/assert.hpp"
#include "core/sort_target.hpp"

namespace vexo {

// The hooks of the quicksort routines (quick_sort_range_observed, and introsort's on top
// of them). The module runs them with this silent observer, whose empty members compile
// away; the C++ tests pass one that records the partitions and the nesting depth.
struct QuickSilent {
    void nested_call_begins() const noexcept {}
    void nested_call_ends() const noexcept {}
    // The closed range [lo, hi] was partitioned around its pivot, now at p.
    void partitioned(std::size_t /*lo*/, std::size_t /*p*/, std::size_t /*hi*/) const noexcept {}
};

// Lomuto partition of the closed range [lo, hi] around target[hi].
// Contract: lo < hi < target.size(). Returns p in [lo, hi] with target[lo, p) <= pivot,
// target[p] = pivot and target(p, hi] > pivot. Elements equal to the pivot go left, and
// values are only compared, never subtracted, so the full 64-bit range is safe.
inline std::size_t lomuto_partition(SortTarget target, std::size_t lo, std::size_t hi) noexcept {
    VEXO_ASSERT(lo < hi && hi < target.size());
    std::int64_t* const element = target.data();
    const std::int64_t pivot = element[hi];
    std::size_t i = lo;
    for (std::size_t j = lo; j < hi; ++j) {
        if (element[j] <= pivot) {
            std::swap(element[i], element[j]);
            ++i;
        }
    }
    std::swap(element[i], element[hi]);
    return i;
}

// Sorts the closed range [lo, hi] of `target`; a range with lo >= hi is already sorted.
// Contract: hi < target.size() when lo < hi; no allocation. Ascending, descending and
// all-equal ranges cost n(n-1)/2 comparisons, as the fixed last-element pivot implies.
//
// Recursion: every range is partitioned exactly as the textbook algorithm does, but the
// two parts are disjoint, so the order in which they are finished does not change the
// result. Only the smaller part is sorted by a nested call; the larger one is sorted by
// this call's own loop. The nested part holds at most half of the range, so the nesting
// stays below log2(n) levels even where the algorithm is quadratic, and sorted input of
// millions of elements cannot exhaust the stack the way left-first recursion would.
template <class Observer>
void quick_sort_range_observed(SortTarget target, std::size_t lo, std::size_t hi, Observer observer) noexcept {
    VEXO_ASSERT(lo >= hi || hi < target.size());
    const auto nest = [&](std::size_t nested_lo, std::size_t nested_hi) {
        observer.nested_call_begins();
        quick_sort_range_observed(target, nested_lo, nested_hi, observer);
        observer.nested_call_ends();
    };
    while (lo < hi) {
        const std::size_t p = lomuto_partition(target, lo, hi);
        observer.partitioned(lo, p, hi);
        if (p - lo < hi - p) {
            // The left part [lo, p - 1] is the smaller one (possibly empty, and then p may be 0).
            if (p > lo) nest(lo, p - 1);
            lo = p + 1;
        } else {
            // The right part [p + 1, hi] is the smaller one. Here p > lo (p = lo would make
            // the left part the strictly smaller), so p - 1 cannot wrap below zero.
            if (p < hi) nest(p + 1, hi);
            hi = p - 1;
        }
    }
}

inline void quick_sort_range(SortTarget target, std::size_t lo, std::size_t hi) noexcept {
    quick_sort_range_observed(target, lo, hi, QuickSilent{});
}

// Sorts `target` ascending in place (not stable). Contract: any length; no allocation.
inline void quick_sort(SortTarget target) noexcept {
    if (target.size() < 2) return;
    quick_sort_range(target, 0, target.size() - 1);
}

}  // namespace vexo
