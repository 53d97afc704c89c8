// The pool's general-purpose unstable sort, behind `par_sort_unstable` and `smart` on
// large inputs: a pattern-defeating quicksort whose two sides become a task pair with
// `join` once they are large, partitioning with the fastest kernel this CPU runs.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "algorithms/heap.hpp"
#include "core/assert.hpp"
#include "core/sort_target.hpp"
#include "kernels/kernels.hpp"
#include "parallel/pool.hpp"

namespace vexo {

// Tuning of parallel_unstable_sort, each constant with its reason.
namespace unstable_sort_tuning {
// Ranges up to here are left to insertion sort, cheaper than another partition.
inline constexpr std::size_t max_insertion = 20;
// Sides up to here are sorted on the current thread; a larger side makes a task pair.
inline constexpr std::size_t max_sequential_side = 2000;
// Ranges up to here take the median of three samples as pivot; longer ones the median of
// three medians, where a sturdier pivot is worth nine reads.
inline constexpr std::size_t max_median_of_three = 49;
// A partition whose smaller side is under m / this is unbalanced and spends allowance.
inline constexpr std::size_t unbalanced_divisor = 8;
// An already partitioned range is tried as nearly sorted; more moves than this means it
// is not, and partitioning goes on.
inline constexpr std::size_t max_partial_insertion_moves = 8;
// Hoare's scans go on while they pass at least this many elements per misplaced pair,
// which random data (about four) does not and input with a few percent of its elements
// out of place (dozens) does.
inline constexpr std::size_t scan_per_swap_below = 16;
// Pattern breaking swaps two pairs on ranges up to here, and four more on longer ones.
inline constexpr std::size_t max_narrow_pattern_break = 128;

// choose_pivot's network reads three elements from each end of a ninther range, and the
// unguarded scans rely on a range longer than the three-sample network.
static_assert(max_median_of_three >= 8 && max_insertion >= 3, "pivot sampling needs room at both ends");
static_assert(max_insertion < max_median_of_three, "ranges left to insertion sort never reach the ninther");
}  // namespace unstable_sort_tuning

// How a range of parallel_unstable_sort was finished.
enum class UnstableEnd { insertion_sort, heap_sort, in_order };

// Which side of a partition the elements equal to the pivot went to.
enum class PartitionSide { equal_right, equal_left };

// The hooks of parallel_unstable_sort. The module runs it with this silent observer, whose
// empty members compile away; the C++ tests pass observers that check every partition and
// record how ranges end, and may start with a smaller allowance or keep the whole sort on
// the calling thread. An observer is shared by the pool's tasks: its members are const
// and must be safe to call from several threads at once.
struct UnstableSilent {
    // Whether task pairs go to the pool; false keeps the sort on the calling thread.
    static constexpr bool uses_pool = true;
    // The unbalanced partitions allowed on each path of an n-element sort.
    unsigned allowance(std::size_t n) const noexcept { return static_cast<unsigned>(std::bit_width(n)); }
    // `range` was partitioned, its pivot now at `pivot`.
    void partitioned(SortTarget /*range*/, std::size_t /*pivot*/, PartitionSide /*side*/) const noexcept {}
    // `range` was finished by `how`.
    void ended(UnstableEnd /*how*/, SortTarget /*range*/) const noexcept {}
};

// The silent observer with every task pair run on the calling thread: what benchmarks and
// profiles use to time the sort itself, without the pool.
struct UnstableOnCallingThread : UnstableSilent {
    static constexpr bool uses_pool = false;
};

namespace unstable_detail {

// Branch-free (min and max become conditional moves): on random samples a branch here
// mispredicts every other time.
inline void sort2(std::int64_t* a, std::int64_t* b) noexcept {
    const std::int64_t x = *a;
    const std::int64_t y = *b;
    *a = std::min(x, y);
    *b = std::max(x, y);
}

inline void sort3(std::int64_t* a, std::int64_t* b, std::int64_t* c) noexcept {
    sort2(a, b);
    sort2(b, c);
    sort2(a, b);
}

// Puts the pivot at v[0]. Besides the median, the sorting networks leave an element >= the
// pivot near the end and one <= it at the start, which lets the partition scans run
// without bounds checks.
inline void choose_pivot(SortTarget v) noexcept {
    std::int64_t* const d = v.data();
    const std::size_t n = v.size();
    const std::size_t half = n / 2;
    if (n > unstable_sort_tuning::max_median_of_three) {
        sort3(d, d + half, d + n - 1);
        sort3(d + 1, d + half - 1, d + n - 2);
        sort3(d + 2, d + half + 1, d + n - 3);
        sort3(d + half - 1, d + half, d + half + 1);
        std::swap(d[0], d[half]);
    } else {
        sort3(d + half, d, d + n - 1);
    }
}

// Finishes partition_right's work once the first misplaced pair is swapped, given
// d[1, first] < pivot and d[last, n) >= pivot; returns the pivot's final position.
//
// It goes on with the scans of Hoare's partition for as long as they pay: they swap only
// misplaced pairs and leave every other element where it is, so a nearly sorted range
// keeps two nearly sorted sides and the order reaches the early finish and insertion
// sorts with little to shift; on such input their branches are predicted almost every
// time. Once the scans average fewer than scan_per_swap_below elements per swap (random
// data does after the first pair, by about two elements a side), the open part
// d(first, last) goes to the fastest partition kernel, which does not mispredict but
// rearranges everything it moves.
inline std::size_t partition_rest(std::int64_t* d, std::size_t n, std::size_t first, std::size_t last, std::int64_t pivot) noexcept {
    VEXO_ASSERT(0 < first && first < last && last < n && d[first] < pivot && !(d[last] < pivot));
    for (std::size_t swaps = 1; first + (n - last) >= swaps * unstable_sort_tuning::scan_per_swap_below; ++swaps) {
        // d[first] < pivot <= d[last], the pair just swapped, stop the two scans.
        while (d[++first] < pivot) {
        }
        while (!(d[--last] < pivot)) {
        }
        if (first >= last) return first - 1;
        std::swap(d[first], d[last]);
    }
    const std::size_t open = first + 1;
    return open + active_kernels().partition(d + open, last - open, pivot) - 1;
}

struct Partition {
    std::size_t pivot;         // final position of the pivot
    bool already_partitioned;  // no element had to move
};

// Puts the pivot d[0] at `position`, the first place of the part >= pivot, whose element
// goes to the front.
inline void place_pivot(std::int64_t* d, std::size_t position) noexcept {
    const std::int64_t pivot = d[0];
    d[0] = d[position];
    d[position] = pivot;
}

// Partitions v around v[0]: elements < pivot before it, elements >= pivot after it. A
// short range goes to the kernel's short partition whole, which tells an already
// partitioned range without a branch on the data. On a longer one, the scans for the
// first misplaced pair tell it at little cost, and partition_rest does the rest, by the
// same scans or on the fastest partition kernel.
inline Partition partition_right(SortTarget v) noexcept {
    std::int64_t* const d = v.data();
    const std::int64_t pivot = d[0];
    if (v.size() - 1 <= max_short_partition) {
        const ShortPartition split = active_kernels().short_partition(d + 1, v.size() - 1, pivot);
        place_pivot(d, split.less);
        return {split.less, split.was_partitioned};
    }
    std::size_t first = 0;
    std::size_t last = v.size();
    // Some element >= pivot lies behind position 0 (choose_pivot), so this scan stops.
    while (d[++first] < pivot) {
    }
    if (first == 1) {
        while (first < last && !(d[--last] < pivot)) {
        }
    } else {
        // An element < pivot lies before `first`, which stops this scan.
        while (!(d[--last] < pivot)) {
        }
    }
    if (first >= last) {
        // The first misplaced pair does not exist: nothing has to move.
        place_pivot(d, first - 1);
        return {first - 1, true};
    }
    std::swap(d[first], d[last]);
    const std::size_t position = partition_rest(d, v.size(), first, last, pivot);
    place_pivot(d, position);
    return {position, false};
}

// Partitions v around v[0] with elements <= pivot before it. Used when the pivot equals the
// element before the range: everything in front of the pivot then equals it and is done,
// which is how long runs of one value are finished in linear time.
inline std::size_t partition_left(SortTarget v) noexcept {
    std::int64_t* const d = v.data();
    const std::int64_t pivot = d[0];
    const std::size_t n = v.size();
    std::size_t first = 0;
    std::size_t last = n;
    while (pivot < d[--last]) {
    }
    if (last + 1 == n) {
        while (first < last && !(pivot < d[++first])) {
        }
    } else {
        while (!(pivot < d[++first])) {
        }
    }
    while (first < last) {
        std::swap(d[first], d[last]);
        while (pivot < d[--last]) {
        }
        while (!(pivot < d[++first])) {
        }
    }
    d[0] = d[last];
    d[last] = pivot;
    return last;
}

// Insertion sort that gives up (returning false) once it has moved more than a few
// elements: it finishes nearly sorted ranges in linear time and costs little otherwise.
inline bool partial_insertion_sort(SortTarget v) noexcept {
    std::int64_t* const d = v.data();
    const std::size_t n = v.size();
    std::size_t moved = 0;
    for (std::size_t i = 1; i < n; ++i) {
        if (!(d[i] < d[i - 1])) continue;
        const std::int64_t key = d[i];
        std::size_t j = i;
        do {
            d[j] = d[j - 1];
            --j;
        } while (j > 0 && key < d[j - 1]);
        d[j] = key;
        moved += i - j;
        if (moved > unstable_sort_tuning::max_partial_insertion_moves) return false;
    }
    return true;
}

// Reverses v if it is strictly descending, which hands it to the early finish in order.
// A look at four pairs, without branching on them, comes first: on random data a scan
// from the front would stop at a pair in order after two reads on average, mispredicting
// about once a range, while all four pairs descend only once in 16 ranges.
inline void reverse_if_descending(SortTarget v) noexcept {
    const std::int64_t* const d = v.data();
    const std::size_t n = v.size();
    VEXO_ASSERT(n > unstable_sort_tuning::max_insertion);
    const bool may_descend = (d[1] < d[0]) & (d[2] < d[1]) & (d[n / 2] < d[n / 2 - 1]) & (d[n - 1] < d[n - 2]);
    if (!may_descend) return;
    std::size_t i = 3;
    while (i < n && d[i] < d[i - 1]) ++i;
    if (i == n) std::reverse(v.begin(), v.end());
}

// After an unbalanced partition, swaps a few elements from the ends into the quarters, so
// that an input built to defeat the pivot choice does not do so again on the next level.
inline void break_patterns(SortTarget v) noexcept {
    std::int64_t* const d = v.data();
    const std::size_t n = v.size();
    if (n < unstable_sort_tuning::max_insertion) return;
    const std::size_t quarter = n / 4;
    std::swap(d[0], d[quarter]);
    std::swap(d[n - 1], d[n - quarter]);
    if (n > unstable_sort_tuning::max_narrow_pattern_break) {
        std::swap(d[1], d[quarter + 1]);
        std::swap(d[2], d[quarter + 2]);
        std::swap(d[n - 2], d[n - quarter - 1]);
        std::swap(d[n - 3], d[n - quarter - 2]);
    }
}

// Sorts v. `allowance` counts the unbalanced partitions still allowed on this path before
// heap sort takes over. `has_predecessor` says that v[-1] belongs to the same array, is
// final, and is <= every element of v (it is an earlier pivot); it is read, never written.
template <class Observer>
void sort_range(SortTarget v, unsigned allowance, bool has_predecessor, const Observer& observer) {
    using namespace unstable_sort_tuning;
    for (;;) {
        const std::size_t n = v.size();
        if (n <= max_insertion) {
            // The kernel's branch-free insertion sort, on every kind of range: a test for
            // nearly sorted ones, to shift them instead, cost more in mispredictions than
            // the shifting saved, even on nearly sorted input.
            active_kernels().insertion_sort(v.data(), v.size());
            observer.ended(UnstableEnd::insertion_sort, v);
            return;
        }
        if (allowance == 0) {
            heap_sort(v);
            observer.ended(UnstableEnd::heap_sort, v);
            return;
        }
        reverse_if_descending(v);
        choose_pivot(v);
        if (has_predecessor && !(v.data()[-1] < v[0])) {
            const std::size_t pivot = partition_left(v);
            observer.partitioned(v, pivot, PartitionSide::equal_left);
            v = v.subspan(pivot + 1);
            continue;
        }
        const Partition split = partition_right(v);
        observer.partitioned(v, split.pivot, PartitionSide::equal_right);
        const SortTarget left = v.first(split.pivot);
        const SortTarget right = v.subspan(split.pivot + 1);
        const std::size_t balance_floor = n / unbalanced_divisor;
        if (left.size() < balance_floor || right.size() < balance_floor) {
            --allowance;
            break_patterns(left);
            break_patterns(right);
        } else if (split.already_partitioned && partial_insertion_sort(left) && partial_insertion_sort(right)) {
            observer.ended(UnstableEnd::in_order, v);
            return;
        }
        if (Observer::uses_pool && std::max(left.size(), right.size()) > max_sequential_side) {
            join([&] { sort_range(left, allowance, has_predecessor, observer); }, [&] { sort_range(right, allowance, true, observer); });
            return;
        }
        // Shorter side by a nested call, longer side by this loop: stack depth O(log n).
        // Which side is shorter is a coin toss on random data, so the sides are picked
        // with conditional moves rather than a branch that mispredicts every other time.
        const bool left_shorter = __builtin_expect_with_probability(left.size() < right.size(), 1, 0.5);
        const SortTarget shorter = left_shorter ? left : right;
        const bool shorter_has_predecessor = left_shorter ? has_predecessor : true;
        v = left_shorter ? right : left;
        has_predecessor = left_shorter | has_predecessor;
        sort_range(shorter, allowance, shorter_has_predecessor, observer);
    }
}

}  // namespace unstable_detail

// Sorts `target` ascending (not stable), in place.
// Contract: any length and sub-range; no allocation. Recursion depth O(log n) on each
// thread. The pool is used (and created) only when a partition leaves a side of more
// than unstable_sort_tuning::max_sequential_side elements, so targets of one element
// more than that or fewer never touch it; the first partition happens before that, so a
// pool creation fault leaves the target rearranged (not sorted). Heap sort bounds the
// worst case once bit_width(n) unbalanced partitions were made on a path. Partitions run
// on the fastest kernels this CPU offers (kernels.hpp); ascending and strictly
// descending ranges finish in linear time.
template <class Observer>
void parallel_unstable_sort_observed(SortTarget target, const Observer& observer) {
    // Past twice the sequential side, the first partition leaves a side that forks.
    if (Observer::uses_pool && target.size() > 2 * unstable_sort_tuning::max_sequential_side) wake_ahead();
    unstable_detail::sort_range(target, observer.allowance(target.size()), false, observer);
}

inline void parallel_unstable_sort(SortTarget target) { parallel_unstable_sort_observed(target, UnstableSilent{}); }

}  // namespace vexo
