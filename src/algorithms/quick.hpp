// Plain quicksort: Lomuto partition around the last element of each range, no pivot
// sampling, no small-range cut-over, no depth limit: the module function `quick`, kept as
// the textbook algorithm it is. Introsort reuses its partition step unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/sort_target.hpp"

namespace vexo {

// A probe sees what a quicksort-type routine does, for tests. The routines take it as a
// template parameter, and this silent one is what the module uses: its empty inline
// members compile away, so the module's routines carry no trace of the hooks.
struct SilentSortProbe {
    // Range [lo, hi] was partitioned around its pivot, now at p; `depth` counts the
    // nested calls above the one that did it.
    void partitioned(std::size_t /*lo*/, std::size_t /*p*/, std::size_t /*hi*/, std::size_t /*depth*/) noexcept {}
    // Introsort only: range [lo, hi] (hi + 1 - lo elements) goes to insertion_sort or to
    // heap_sort.
    void small_range(std::size_t /*lo*/, std::size_t /*hi*/) noexcept {}
    void budget_spent(std::size_t /*lo*/, std::size_t /*hi*/) noexcept {}
};

// Lomuto partition of the closed range [lo, hi] around target[hi].
// Contract: lo < hi < target.size(). Returns p in [lo, hi] with target[lo, p) <= pivot,
// target[p] = pivot and target(p, hi] > pivot. Elements equal to the pivot go left, and
// values are only compared, never subtracted, so the full 64-bit range is safe.
inline std::size_t partition(SortTarget target, std::size_t lo, std::size_t hi) noexcept {
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
template <class Probe>
void quick_sort_range(SortTarget target, std::size_t lo, std::size_t hi, Probe& probe, std::size_t depth = 0) noexcept {
    while (lo < hi) {
        const std::size_t p = partition(target, lo, hi);
        probe.partitioned(lo, p, hi, depth);
        if (p - lo < hi - p) {
            // The left part [lo, p - 1] is the smaller one (possibly empty, and then p may be 0).
            if (p > lo) quick_sort_range(target, lo, p - 1, probe, depth + 1);
            lo = p + 1;
        } else {
            // The right part [p + 1, hi] is the smaller one. Here p > lo (p = lo would make
            // the left part the strictly smaller), so p - 1 cannot wrap below zero.
            if (p < hi) quick_sort_range(target, p + 1, hi, probe, depth + 1);
            hi = p - 1;
        }
    }
}

inline void quick_sort_range(SortTarget target, std::size_t lo, std::size_t hi) noexcept {
    SilentSortProbe probe;
    quick_sort_range(target, lo, hi, probe);
}

// Sorts `target` ascending in place (not stable). Contract: any length; no allocation.
inline void quick_sort(SortTarget target) noexcept {
    if (target.size() < 2) return;
    quick_sort_range(target, 0, target.size() - 1);
}

}  // namespace vexo
