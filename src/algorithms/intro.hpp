// Introsort: the quicksort of quick.hpp with a depth budget, so no input drives it
// quadratic, and insertion sort for small ranges: the module function `intro`.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "algorithms/heap.hpp"
#include "algorithms/insertion.hpp"
#include "algorithms/quick.hpp"
#include "core/assert.hpp"
#include "core/sort_target.hpp"

namespace vexo {

namespace intro_tuning {
// Ranges of fewer elements than this go to insertion_sort: below it, shifting beats the
// bookkeeping of another partition level.
inline constexpr std::size_t insertion_below = 17;
// The depth budget is this many times log2(n): twice the depth of a balanced partition
// tree leaves room for unlucky pivots before heap sort has to guarantee n log n.
inline constexpr double budget_per_level = 2.0;
}  // namespace intro_tuning

// floor(2 * log2(n)) in double precision: doubled after the logarithm, truncated last, so
// n = 3 gets 3, not 2. Contract: n >= 1.
inline std::size_t intro_depth_budget(std::size_t n) noexcept {
    return static_cast<std::size_t>(intro_tuning::budget_per_level * std::log2(static_cast<double>(n)));
}

// How a range of intro_sort_range_observed ends when it is not partitioned.
enum class IntroEnd { insertion_sort, heap_sort };

// The hooks of intro_sort_range_observed: quick's, and how each range ends. Silent in the
// module, as QuickSilent is.
struct IntroSilent : QuickSilent {
    void ended(IntroEnd /*how*/, std::size_t /*lo*/, std::size_t /*hi*/) const noexcept {}
};

// Sorts the closed range [lo, hi] of `target` with `budget` partition levels left.
// Contract: hi < target.size() (lo = hi + 1 is the empty range); no allocation. The size
// test comes before the budget test, so heap_sort only ever gets ranges of 17 or more
// elements. The left part nests with the decreased budget and the right part loops with
// it, so the nesting is at most `budget` calls deep and every path ends in insertion_sort
// or heap_sort after at most `budget` partitions: n log n in the worst case.
template <class Observer>
void intro_sort_range_observed(SortTarget target, std::size_t lo, std::size_t hi, std::size_t budget, Observer observer) noexcept {
    VEXO_ASSERT(hi < target.size() && lo <= hi + 1);
    for (;;) {
        const std::size_t size = hi + 1 - lo;
        if (size < intro_tuning::insertion_below) {
            insertion_sort(target.subspan(lo, size));
            observer.ended(IntroEnd::insertion_sort, lo, hi);
            return;
        }
        if (budget == 0) {
            heap_sort(target.subspan(lo, size));
            observer.ended(IntroEnd::heap_sort, lo, hi);
            return;
        }
        const std::size_t p = lomuto_partition(target, lo, hi);
        observer.partitioned(lo, p, hi);
        --budget;
        // p = 0 only with lo = 0: the left part is empty and p - 1 would wrap.
        if (p > 0) {
            observer.nested_call_begins();
            intro_sort_range_observed(target, lo, p - 1, budget, observer);
            observer.nested_call_ends();
        }
        lo = p + 1;
    }
}

inline void intro_sort_range(SortTarget target, std::size_t lo, std::size_t hi, std::size_t budget) noexcept {
    intro_sort_range_observed(target, lo, hi, budget, IntroSilent{});
}

// Sorts `target` ascending in place (not stable). Contract: any length (below 2 nothing is
// computed, not even the logarithm); no allocation; nesting at most floor(2 log2 n).
inline void intro_sort(SortTarget target) noexcept {
    const std::size_t n = target.size();
    if (n < 2) return;
    intro_sort_range(target, 0, n - 1, intro_depth_budget(n));
}

}  // namespace vexo
