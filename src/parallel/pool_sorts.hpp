// The pool's two general-purpose parallel sorts: a stable merge sort (`par_sort`) and a
// pattern-defeating quicksort (`par_sort_unstable`, and `smart` on large inputs). Both
// run their task pairs with `join` on the process-wide pool, or on the pool of the worker
// that calls them.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "algorithms/heap.hpp"
#include "algorithms/insertion.hpp"
#include "core/scratch.hpp"
#include "core/sort_target.hpp"
#include "parallel/partition.hpp"
#include "parallel/pool.hpp"

namespace vexo {

// Tuning of parallel_stable_sort, each constant with its reason.
namespace stable_sort_tuning {
// Up to here insertion sort beats any merge and needs no buffer.
inline constexpr std::size_t insertion_bound = 20;
// Up to here one thread sorts the whole array; above, chunks of this length are the
// parallel tasks, large enough to dwarf the cost of handing one to another worker.
inline constexpr std::size_t chunk_length = 2000;
// Merges of fewer elements run on one thread; longer ones are split into a task pair.
inline constexpr std::size_t sequential_merge_bound = 5000;
// Natural runs shorter than this are extended by insertion sort, so random input does not
// start from runs of two and pay for four extra merge passes.
inline constexpr std::size_t min_run = 16;
// Runs a chunk can hold: all but the last have at least min_run elements.
inline constexpr std::size_t max_chunk_runs = chunk_length / min_run + 1;
}  // namespace stable_sort_tuning

// Tuning of parallel_unstable_sort, each constant with its reason.
namespace unstable_sort_tuning {
// Ranges up to here are left to insertion sort, cheaper than another partition.
inline constexpr std::size_t insertion_bound = 20;
// Sides up to here are sorted on the current thread; a larger side makes a task pair.
inline constexpr std::size_t sequential_bound = 2000;
// Longer ranges take the median of three medians: a sturdier pivot is worth nine reads.
inline constexpr std::size_t ninther_bound = 49;
// A partition whose smaller side is under m / this is unbalanced and spends allowance.
inline constexpr std::size_t unbalanced_divisor = 8;
// An already partitioned range is tried as nearly sorted; more moves than this means it
// is not, and partitioning goes on.
inline constexpr std::size_t partial_insertion_limit = 8;
// Pattern breaking adds a second set of swaps on ranges longer than this.
inline constexpr std::size_t wide_pattern_break = 128;
}  // namespace unstable_sort_tuning

namespace stable_detail {

// Merges left[0, l) and right[0, r) into out (which overlaps neither), stably: the right
// element is taken only when strictly smaller, so on ties the left run goes first.
inline void merge_runs(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r, std::int64_t* out) noexcept {
    const std::int64_t* const left_end = left + l;
    const std::int64_t* const right_end = right + r;
    while (left != left_end && right != right_end) {
        // Branch-free: on random data the comparison is a coin toss the predictor loses.
        const bool take_right = *right < *left;
        *out++ = take_right ? *right : *left;
        right += take_right;
        left += !take_right;
    }
    out = std::copy(left, left_end, out);
    std::copy(right, right_end, out);
}

// Sorts v (at most chunk_length elements) stably with a natural merge sort: ascending runs
// are taken as they are, strictly descending ones reversed (strictly, so equal elements
// keep their order), short ones extended by insertion sort; then runs are merged pairwise,
// back and forth between v and buffer[0, n).
inline void natural_merge_sort(SortTarget v, std::int64_t* buffer) noexcept {
    using namespace stable_sort_tuning;
    const std::size_t n = v.size();
    if (n < 2) return;
    std::int64_t* const data = v.data();
    std::array<std::size_t, max_chunk_runs + 1> bounds{};  // run k is [bounds[k], bounds[k + 1])
    std::size_t runs = 0;
    for (std::size_t start = 0; start < n;) {
        std::size_t end = start + 1;
        if (end < n && data[end] < data[start]) {
            while (end + 1 < n && data[end + 1] < data[end]) ++end;
            std::reverse(data + start, data + end + 1);
            ++end;
        } else {
            while (end < n && !(data[end] < data[end - 1])) ++end;
        }
        if (end - start < min_run) {
            end = std::min(start + min_run, n);
            insertion_sort(v.subspan(start, end - start));
        }
        bounds[++runs] = end;
        start = end;
    }

    std::int64_t* from = data;
    std::int64_t* to = buffer;
    while (runs > 1) {
        std::size_t merged = 0;
        for (std::size_t k = 0; k < runs; k += 2) {
            const std::size_t lo = bounds[k];
            const std::size_t mid = bounds[k + 1];
            if (k + 1 == runs) {
                std::copy(from + lo, from + mid, to + lo);
                bounds[++merged] = mid;
            } else {
                const std::size_t hi = bounds[k + 2];
                merge_runs(from + lo, mid - lo, from + mid, hi - mid, to + lo);
                bounds[++merged] = hi;
            }
        }
        runs = merged;
        std::swap(from, to);
    }
    if (from != data) std::copy(from, from + n, data);
}

// Where a long merge is cut in two: the first half merges left[0, .first) with
// right[0, .second). The longer run is cut at its middle and the other by binary search,
// so that every element of the first half is <= every element of the second and ties keep
// the left run first.
inline std::pair<std::size_t, std::size_t> split_for_parallel_merge(const std::int64_t* left, std::size_t l, const std::int64_t* right,
                                                                    std::size_t r) noexcept {
    if (l < r) {
        const std::size_t right_mid = r / 2;
        // Left elements equal to the cut value stay in front of it.
        const std::size_t left_mid = static_cast<std::size_t>(std::upper_bound(left, left + l, right[right_mid]) - left);
        return {left_mid, right_mid};
    }
    const std::size_t left_mid = l / 2;
    // Right elements equal to the cut value go behind it.
    const std::size_t right_mid = static_cast<std::size_t>(std::lower_bound(right, right + r, left[left_mid]) - right);
    return {left_mid, right_mid};
}

// Merges left[0, l) and right[0, r) into out, splitting long merges into task pairs.
// Recursion depth O(log(l + r)); no allocation.
inline void parallel_merge(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r, std::int64_t* out) {
    if (l == 0 || r == 0 || l + r < stable_sort_tuning::sequential_merge_bound) {
        merge_runs(left, l, right, r, out);
        return;
    }
    const auto [left_mid, right_mid] = split_for_parallel_merge(left, l, right, r);
    join([&] { parallel_merge(left, left_mid, right, right_mid, out); },
         [&] { parallel_merge(left + left_mid, l - left_mid, right + right_mid, r - right_mid, out + left_mid + right_mid); });
}

// Sorts chunks [first, last) of the target, each with its own part of the buffer.
inline void sort_chunks(SortTarget target, std::int64_t* buffer, std::size_t first, std::size_t last) {
    using stable_sort_tuning::chunk_length;
    if (last - first == 1) {
        const std::size_t offset = first * chunk_length;
        natural_merge_sort(target.subspan(offset, std::min(chunk_length, target.size() - offset)), buffer + offset);
        return;
    }
    const std::size_t mid = first + (last - first) / 2;
    join([&] { sort_chunks(target, buffer, first, mid); }, [&] { sort_chunks(target, buffer, mid, last); });
}

// Merges the sorted runs [first, last) (run k is [bounds[k], bounds[k + 1])) into one,
// in `data` or, if `into_buffer`, in `buffer` at the same offsets. The two halves of the
// tree land in the other array, so each level moves every element once.
inline void merge_tree(std::int64_t* data, std::int64_t* buffer, const std::size_t* bounds, std::size_t first, std::size_t last,
                       bool into_buffer) {
    if (last - first == 1) {
        if (into_buffer) std::copy(data + bounds[first], data + bounds[last], buffer + bounds[first]);
        return;
    }
    const std::size_t mid = first + (last - first) / 2;
    join([&] { merge_tree(data, buffer, bounds, first, mid, !into_buffer); }, [&] { merge_tree(data, buffer, bounds, mid, last, !into_buffer); });
    const std::int64_t* from = into_buffer ? data : buffer;
    std::int64_t* to = into_buffer ? buffer : data;
    parallel_merge(from + bounds[first], bounds[mid] - bounds[first], from + bounds[mid], bounds[last] - bounds[mid], to + bounds[first]);
}

// The parallel part, for targets of more than chunk_length elements; runs on a worker.
inline void sort_in_chunks(SortTarget target) {
    using stable_sort_tuning::chunk_length;
    const std::size_t n = target.size();
    Scratch<std::int64_t> buffer(n);
    const std::size_t chunks = (n + chunk_length - 1) / chunk_length;
    sort_chunks(target, buffer.data(), 0, chunks);

    // Neighbouring chunks already in order form one run and are never merged.
    std::vector<std::size_t> bounds{0};
    for (std::size_t c = 1; c < chunks; ++c) {
        const std::size_t edge = c * chunk_length;
        if (target[edge] < target[edge - 1]) bounds.push_back(edge);
    }
    bounds.push_back(n);
    merge_tree(target.data(), buffer.data(), bounds.data(), 0, bounds.size() - 1, false);
}

}  // namespace stable_detail

// Sorts `target` ascending, stably.
// Contract: any length and sub-range. Up to 20 elements: insertion sort, no allocation.
// Up to 2000: a natural merge sort on the calling thread with one n-element buffer, no
// pool. Above: one n-element buffer, chunks of 2000 sorted in parallel and merged in a
// balanced tree of parallel merges on the pool; the pool is obtained before any element
// moves, so if it cannot be created the fault leaves the target untouched. Recursion
// depth O(log n).
inline void parallel_stable_sort(SortTarget target) {
    using namespace stable_sort_tuning;
    const std::size_t n = target.size();
    if (n <= insertion_bound) {
        insertion_sort(target);
        return;
    }
    if (n <= chunk_length) {
        Scratch<std::int64_t> buffer(n);
        stable_detail::natural_merge_sort(target, buffer.data());
        return;
    }
    // One hand-over for the whole sort: the caller sleeps once instead of per phase.
    const auto sort = [target] { stable_detail::sort_in_chunks(target); };
    if (on_worker_thread()) {
        sort();
    } else {
        global_pool().install(sort);
    }
}

namespace unstable_detail {

inline void sort2(std::int64_t* a, std::int64_t* b) noexcept {
    if (*b < *a) std::swap(*a, *b);
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
    if (n > unstable_sort_tuning::ninther_bound) {
        sort3(d, d + half, d + n - 1);
        sort3(d + 1, d + half - 1, d + n - 2);
        sort3(d + 2, d + half + 1, d + n - 3);
        sort3(d + half - 1, d + half, d + half + 1);
        std::swap(d[0], d[half]);
    } else {
        sort3(d + half, d, d + n - 1);
    }
}

struct Partition {
    std::size_t pivot;         // final position of the pivot
    bool already_partitioned;  // no element had to move
};

// Partitions v around v[0]: elements < pivot before it, elements >= pivot after it. The
// scans for the first misplaced pair tell an already partitioned range at little cost;
// the bulk goes to the fastest partition kernel this CPU runs.
inline Partition partition_right(SortTarget v) noexcept {
    std::int64_t* const d = v.data();
    const std::int64_t pivot = d[0];
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
        d[0] = d[first - 1];
        d[first - 1] = pivot;
        return {first - 1, true};
    }
    std::swap(d[first], d[last]);
    // d[1, first] < pivot and d[last, n) >= pivot; the kernel sorts out what lies between.
    const std::size_t open = first + 1;
    const std::size_t position = open + partition_less(d + open, last - open, pivot) - 1;
    d[0] = d[position];
    d[position] = pivot;
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
        if (moved > unstable_sort_tuning::partial_insertion_limit) return false;
    }
    return true;
}

// Reverses v if it is strictly descending, which hands it to the early finish in order.
// On other data the scan stops at the first pair in order, after two reads on average.
inline void reverse_if_descending(SortTarget v) noexcept {
    std::size_t i = 1;
    while (i < v.size() && v[i] < v[i - 1]) ++i;
    if (i == v.size()) std::reverse(v.begin(), v.end());
}

// After an unbalanced partition, swaps a few elements from the ends into the quarters, so
// that an input built to defeat the pivot choice does not do so again on the next level.
inline void break_patterns(SortTarget v) noexcept {
    std::int64_t* const d = v.data();
    const std::size_t n = v.size();
    if (n < unstable_sort_tuning::insertion_bound) return;
    const std::size_t quarter = n / 4;
    std::swap(d[0], d[quarter]);
    std::swap(d[n - 1], d[n - quarter]);
    if (n > unstable_sort_tuning::wide_pattern_break) {
        std::swap(d[1], d[quarter + 1]);
        std::swap(d[2], d[quarter + 2]);
        std::swap(d[n - 2], d[n - quarter - 1]);
        std::swap(d[n - 3], d[n - quarter - 2]);
    }
}

// Sorts v. `allowance` counts the unbalanced partitions still allowed on this path before
// heap sort takes over. `has_predecessor` says that v[-1] belongs to the same array, is
// final, and is <= every element of v (it is an earlier pivot); it is read, never written.
// With `on_pool` false everything runs on the calling thread.
template <bool on_pool = true>
void sort_range(SortTarget v, unsigned allowance, bool has_predecessor) {
    using namespace unstable_sort_tuning;
    for (;;) {
        const std::size_t n = v.size();
        if (n <= insertion_bound) {
            if (has_predecessor) {
                insertion_sort_unguarded(v);
            } else {
                insertion_sort(v);
            }
            return;
        }
        if (allowance == 0) {
            heap_sort(v);
            return;
        }
        reverse_if_descending(v);
        choose_pivot(v);
        if (has_predecessor && !(v.data()[-1] < v[0])) {
            v = v.subspan(partition_left(v) + 1);
            continue;
        }
        const Partition split = partition_right(v);
        const SortTarget left = v.first(split.pivot);
        const SortTarget right = v.subspan(split.pivot + 1);
        const std::size_t balance_floor = n / unbalanced_divisor;
        if (left.size() < balance_floor || right.size() < balance_floor) {
            --allowance;
            break_patterns(left);
            break_patterns(right);
        } else if (split.already_partitioned && partial_insertion_sort(left) && partial_insertion_sort(right)) {
            return;  // the range was in order already
        }
        if (on_pool && std::max(left.size(), right.size()) > sequential_bound) {
            join([&] { sort_range<on_pool>(left, allowance, has_predecessor); }, [&] { sort_range<on_pool>(right, allowance, true); });
            return;
        }
        // Shorter side by a nested call, longer side by this loop: stack depth O(log n).
        if (left.size() < right.size()) {
            sort_range<on_pool>(left, allowance, has_predecessor);
            v = right;
            has_predecessor = true;
        } else {
            sort_range<on_pool>(right, allowance, true);
            v = left;
        }
    }
}

// The same sort, entirely on the calling thread.
inline void sort_sequentially(SortTarget target) { sort_range<false>(target, static_cast<unsigned>(std::bit_width(target.size())), false); }

}  // namespace unstable_detail

// Sorts `target` ascending (not stable), in place.
// Contract: any length and sub-range; no allocation. Recursion depth O(log n) on each
// thread. The pool is used (and created) only when a partition leaves a side of more than
// 2000 elements, so targets of 2001 elements or fewer never touch it; the first partition
// happens before that, so a pool creation fault leaves the target rearranged (not sorted).
// Heap sort bounds the worst case once bit_width(n) unbalanced partitions were made on a path.
// Partitions run on the fastest kernel this CPU offers (partition.hpp); ascending and
// strictly descending ranges finish in linear time.
inline void parallel_unstable_sort(SortTarget target) {
    unstable_detail::sort_range(target, static_cast<unsigned>(std::bit_width(target.size())), false);
}

}  // namespace vexo
