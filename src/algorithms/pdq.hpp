// Pattern-defeating quicksort: the module function `pdq`, and one of the sorts `smart`
// hands whole arrays to. A value-partitioning quicksort with four guards around the plain
// recursion: short ranges go to a fixed small-range sort, every longer range is first
// tested for being ascending or entirely descending (both cost one scan and end the
// range), the pivot is a median of sampled elements, and a depth budget spent one unit
// per partition level hands the range to heap_sort when it runs out.
//
// What it deliberately does not do: no pattern-breaking exchanges, no random numbers, no
// test of how unbalanced a split came out, no separate band for elements equal to the
// pivot and no choice of recursion side by size. The budget alone bounds the work, and
// the left part is always the nested call, so nesting never exceeds the initial budget.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "algorithms/heap.hpp"
#include "algorithms/insertion.hpp"
#include "core/assert.hpp"
#include "core/sort_target.hpp"

namespace vexo {

namespace pdq_tuning {
// Below this length a range is cheaper to finish with a fixed sort than to partition:
// order tests and three samples would cost more than the insertion sort saves.
inline constexpr std::size_t small_range_below = 25;
// Below this length the pivot is one median of three samples; from it on one median is too
// easily fooled by local patterns, and the pivot becomes the median of the medians of the
// three thirds.
inline constexpr std::size_t single_median_below = 128;
// Partition levels allowed per bit of the length: generous enough that heap_sort only
// takes over on inputs that keep defeating the samples, yet bounded so the worst case
// stays O(n log n) and the nesting stays within 48 * 64 = 3072 calls.
inline constexpr std::uint64_t budget_per_length_bit = 48;
}  // namespace pdq_tuning

// The five ways a call of pdq_sort_range (or a level of its loop) can end.
enum class PdqEnd { small_range, heap_sort, ascending, reversed, whole_range_left };

// The hooks of pdq_sort_range. The module runs it with this silent observer, whose empty
// members compile away; the C++ tests pass an observer that records how ranges end, how
// they split and how deep the nesting goes.
struct PdqSilent {
    void nested_call_begins() const noexcept {}
    void nested_call_ends() const noexcept {}
    void partitioned(std::size_t /*length*/, std::size_t /*split*/, std::int64_t /*pivot*/) const noexcept {}
    void ended(PdqEnd /*how*/, std::size_t /*length*/) const noexcept {}
};

// The budget for a whole target of n >= 1 elements: 48 x the bit length of n - 1, that
// is 48 x ceil(log2 n) for n >= 2 (n = 1 gives 0; the range is too short to need one).
constexpr std::uint64_t pdq_depth_budget(std::uint64_t n) noexcept {
    return pdq_tuning::budget_per_length_bit * static_cast<std::uint64_t>(std::bit_width(n - 1));
}

// The nesting bound the contract of pdq_sort_range promises for any 64-bit length.
inline constexpr std::uint64_t largest_pdq_budget = pdq_depth_budget(std::numeric_limits<std::uint64_t>::max());
static_assert(largest_pdq_budget == 48 * 64, "the largest budget is 48 levels per bit of a 64-bit length");
static_assert(pdq_tuning::single_median_below >= pdq_tuning::small_range_below, "the sampling rule only sees ranges that are partitioned");

// The middle one of three values (bounds included, so ties return the shared value or the
// remaining one, whichever is in the middle). Only compares.
constexpr std::int64_t median_of_three(std::int64_t a, std::int64_t b, std::int64_t c) noexcept {
    if ((b <= a && a <= c) || (c <= a && a <= b)) return a;
    if ((a <= b && b <= c) || (c <= b && b <= a)) return b;
    return c;
}

namespace pdq_detail {

inline void compare_exchange(std::int64_t* element, std::size_t x, std::size_t y) noexcept {
    if (element[x] > element[y]) std::swap(element[x], element[y]);
}

// Fixed exchange networks for 2 to 4 elements, insertion sort from 5 to 24.
// Contract: range.size() < small_range_below; no allocation.
inline void small_range_sort(SortTarget range) noexcept {
    VEXO_ASSERT(range.size() < pdq_tuning::small_range_below);
    std::int64_t* const element = range.data();
    switch (range.size()) {
        case 0:
        case 1: return;
        case 2: compare_exchange(element, 0, 1); return;
        case 3:
            compare_exchange(element, 0, 2);
            compare_exchange(element, 0, 1);
            compare_exchange(element, 1, 2);
            return;
        case 4:
            compare_exchange(element, 0, 2);
            compare_exchange(element, 1, 3);
            compare_exchange(element, 0, 1);
            compare_exchange(element, 2, 3);
            compare_exchange(element, 1, 2);
            return;
        default: insertion_sort(range); return;
    }
}

// True when every adjacent pair is in order (element[k] <= element[k + 1]); stops at the
// first pair that is not.
inline bool is_ascending(const std::int64_t* element, std::size_t n) noexcept {
    for (std::size_t k = 0; k + 1 < n; ++k) {
        if (element[k] > element[k + 1]) return false;
    }
    return true;
}

// True when no adjacent pair rises. Plateaus count as descending, so a non-increasing
// range with runs of equal values is still finished by one reversal.
inline bool is_non_increasing(const std::int64_t* element, std::size_t n) noexcept {
    for (std::size_t k = 0; k + 1 < n; ++k) {
        if (element[k] < element[k + 1]) return false;
    }
    return true;
}

inline void reverse(std::int64_t* element, std::size_t n) noexcept {
    for (std::size_t k = 0; k < n / 2; ++k) std::swap(element[k], element[n - 1 - k]);
}

// The pivot value of a range of at least small_range_below elements: the median of the
// first, middle and last elements, or from 128 elements on the median of the three such
// medians of the thirds [0, t), [t, 2t) and [2t, n). The last third takes the one or two
// elements left over when n is not a multiple of 3.
inline std::int64_t choose_pivot_value(const std::int64_t* element, std::size_t n) noexcept {
    VEXO_ASSERT(n >= pdq_tuning::small_range_below);
    if (n < pdq_tuning::single_median_below) return median_of_three(element[0], element[n / 2], element[n - 1]);
    const std::size_t t = n / 3;
    const std::size_t s = n / 6;
    const std::int64_t m1 = median_of_three(element[0], element[s], element[t - 1]);
    const std::int64_t m2 = median_of_three(element[t], element[t + s], element[2 * t - 1]);
    const std::int64_t m3 = median_of_three(element[2 * t], element[2 * t + (n - 2 * t) / 2], element[n - 1]);
    return median_of_three(m1, m2, m3);
}

// Partitions by value in one pass and returns the split p: element[0, p) <= pivot and
// element[p, n) > pivot. Elements equal to the pivot always go left, so a pivot that is
// the range's largest value yields p = n with nothing written.
//
// Two cursors close in; positions at or beyond j hold values greater than the pivot. Only
// the first scan from each side needs a bound: once a pair has been exchanged,
// element[j] > pivot stops every later left scan at j, and element[i - 1] <= pivot stops
// every later right scan just below i. The exchanges are exactly those of the bounded
// scans; the bounds merely stop costing a comparison per element.
inline std::size_t partition_at_most(std::int64_t* element, std::size_t n, std::int64_t pivot) noexcept {
    std::size_t i = 0;
    std::size_t j = n;
    while (i < j && element[i] <= pivot) ++i;
    if (i == j) return i;
    do {
        --j;
        if (j <= i) return i;
    } while (element[j] > pivot);
    // Here element[i] > pivot and element[j] <= pivot with j > i.
    for (;;) {
        std::swap(element[i], element[j]);
        ++i;
        while (element[i] <= pivot) ++i;  // stops at j at the latest
        if (i == j) return i;
        do --j;
        while (element[j] > pivot);  // stops at i - 1 at the latest
        if (j < i) return i;
    }
}

}  // namespace pdq_detail

// Sorts `range` ascending in place (not stable), spending at most `budget` partition
// levels before heap_sort takes over the range in hand.
// Contract: any length (0 and 1 are left alone) and any budget; no allocation; touches
// only range[0, n). Recursion: one nested call per partition level, always on the left
// part, so nesting depth <= the initial budget (<= 3072 for a budget of
// pdq_depth_budget); the right part continues in this call's loop.
template <class Observer>
void pdq_sort_range_observed(SortTarget range, std::uint64_t budget, Observer observer) noexcept {
    for (;;) {
        std::int64_t* const element = range.data();
        const std::size_t n = range.size();
        if (n < pdq_tuning::small_range_below) {
            pdq_detail::small_range_sort(range);
            observer.ended(PdqEnd::small_range, n);
            return;
        }
        // Budget first: a range reached with nothing left is heap-sorted even if it is
        // already in order, so the fallback does not depend on the data.
        if (budget == 0) {
            heap_sort(range);
            observer.ended(PdqEnd::heap_sort, n);
            return;
        }
        if (pdq_detail::is_ascending(element, n)) {
            observer.ended(PdqEnd::ascending, n);
            return;
        }
        if (pdq_detail::is_non_increasing(element, n)) {
            pdq_detail::reverse(element, n);
            observer.ended(PdqEnd::reversed, n);
            return;
        }
        const std::int64_t pivot = pdq_detail::choose_pivot_value(element, n);
        const std::size_t split = pdq_detail::partition_at_most(element, n, pivot);
        observer.partitioned(n, split, pivot);
        --budget;
        // The pivot's own element is not set aside, so split >= 1 always holds here (the
        // sample is <= pivot); the test keeps the nesting honest for any partition.
        if (split > 0) {
            observer.nested_call_begins();
            pdq_sort_range_observed(range.first(split), budget, observer);
            observer.nested_call_ends();
        }
        // A pivot equal to the range's largest value sends everything left: the nested
        // call has taken the whole range, one unit of budget down.
        if (split == n) {
            observer.ended(PdqEnd::whole_range_left, n);
            return;
        }
        range = range.subspan(split);
    }
}

inline void pdq_sort_range(SortTarget range, std::uint64_t budget) noexcept { pdq_sort_range_observed(range, budget, PdqSilent{}); }

// The whole-target form that the module function `pdq` and `smart` run: the budget of
// pdq_depth_budget for the length. Targets of fewer than 2 elements are left alone.
inline void pdq_sort(SortTarget target) noexcept {
    if (target.size() < 2) return;
    pdq_sort_range(target, pdq_depth_budget(target.size()));
}

}  // namespace vexo
