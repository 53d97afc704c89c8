// The pool's general-purpose stable sort, behind `par_sort`: a merge sort whose chunks
// are sorted in parallel and whose merge tree runs its halves, and each long merge's
// pieces, as task pairs with `join` on the process-wide pool (or on the pool of the
// worker that calls it). Every merge goes through the shared stable merge kernel.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "algorithms/insertion.hpp"
#include "core/scratch.hpp"
#include "core/sort_target.hpp"
#include "kernels/kernels.hpp"
#include "kernels/merge_runs.hpp"
#include "parallel/pool.hpp"

namespace vexo {

// Tuning of parallel_stable_sort, each constant with its reason.
namespace stable_sort_tuning {
// Up to here insertion sort beats any merge and needs no buffer.
inline constexpr std::size_t max_insertion = 20;
// Up to here one thread sorts the whole array; above, chunks of this length are the
// parallel tasks, large enough to dwarf the cost of handing one to another worker.
inline constexpr std::size_t chunk_length = 2000;
// Merges of fewer elements run on one thread; longer ones are split into a task pair.
inline constexpr std::size_t sequential_merge_below = 5000;
// Natural runs shorter than this are extended by insertion sort (its branch-free form),
// so random input does not start from runs of two and pay for four extra merge passes.
inline constexpr std::size_t extend_runs_below = 16;
// Runs a chunk can hold: all but the last have at least extend_runs_below elements.
inline constexpr std::size_t max_chunk_runs = chunk_length / extend_runs_below + 1;
static_assert(max_insertion < chunk_length, "arrays left to insertion sort never reach the chunked path");
static_assert(chunk_length < sequential_merge_below, "two chunks merge on one thread");
}  // namespace stable_sort_tuning

// The hooks of parallel_stable_sort. The module runs it with this silent observer, whose
// empty member compiles away; the C++ tests check every cut of a long merge through it.
// Shared by the pool's tasks: safe to call from several threads at once.
struct StableSilent {
    // A merge of `left` and `right` was cut in two: left[0, left_cut) and right[0, right_cut)
    // merge into the first half of the output.
    void merge_split(std::span<const std::int64_t> /*left*/, std::span<const std::int64_t> /*right*/, std::size_t /*left_cut*/,
                     std::size_t /*right_cut*/) const noexcept {}
};

namespace stable_detail {

// Which of the two arrays holds a sorted range, at the range's own offsets.
enum class Home : bool { data, buffer };

constexpr Home other(Home home) noexcept { return home == Home::data ? Home::buffer : Home::data; }

// Sorts v (at most chunk_length elements) stably with a natural merge sort: ascending runs
// are taken as they are, strictly descending ones reversed (strictly, so equal elements
// keep their order), short ones extended by insertion sort; then runs are merged pairwise,
// back and forth between v and buffer[0, n). Says which of the two holds the result.
inline Home natural_merge_sort_passes(SortTarget v, std::int64_t* buffer) noexcept {
    using namespace stable_sort_tuning;
    const std::size_t n = v.size();
    if (n < 2) return Home::data;
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
        if (end - start < extend_runs_below) {
            end = std::min(start + extend_runs_below, n);
            active_kernels().insertion_sort(data + start, end - start);
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
    return from == data ? Home::data : Home::buffer;
}

// natural_merge_sort_passes, with the result in v.
inline void natural_merge_sort(SortTarget v, std::int64_t* buffer) noexcept {
    if (natural_merge_sort_passes(v, buffer) == Home::buffer) std::copy(buffer, buffer + v.size(), v.data());
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
template <class Observer>
void parallel_merge(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r, std::int64_t* out,
                    const Observer& observer) {
    if (l == 0 || r == 0 || l + r < stable_sort_tuning::sequential_merge_below) {
        merge_runs(left, l, right, r, out);
        return;
    }
    const auto [left_mid, right_mid] = split_for_parallel_merge(left, l, right, r);
    observer.merge_split({left, l}, {right, r}, left_mid, right_mid);
    join([&] { parallel_merge(left, left_mid, right, right_mid, out, observer); },
         [&] { parallel_merge(left + left_mid, l - left_mid, right + right_mid, r - right_mid, out + left_mid + right_mid, observer); });
}

// Sorts chunks [first, last) of the target into one run and says which array holds it.
// Each chunk is sorted by its own task and each half of the tree is sorted and merged
// before its parent merges, so the lower levels merge what the cache still holds from the
// level below, instead of every level streaming the whole array.
//
// Every merge moves each element once, from one array into the other, so the tree asks for
// the result in `wanted` and each level below it for the other array, and a chunk is
// copied there if its own passes left it in the other. Halves already in order together
// are one run and are never merged: that run stays where it is, and where the two halves
// of a parent end in different arrays, the shorter one is copied to the other's.
template <class Observer>
Home sort_and_merge_chunks(SortTarget target, std::int64_t* buffer, std::size_t first, std::size_t last, Home wanted,
                           const Observer& observer) {
    using stable_sort_tuning::chunk_length;
    const std::size_t lo = first * chunk_length;
    const std::size_t hi = std::min(last * chunk_length, target.size());
    const auto array = [&](Home home) { return home == Home::data ? target.data() : buffer; };
    if (last - first == 1) {
        const SortTarget chunk = target.subspan(lo, hi - lo);
        // A chunk in order already is likely in order with its neighbours too: it stays.
        if (std::is_sorted(chunk.begin(), chunk.end())) return Home::data;
        const Home home = natural_merge_sort_passes(chunk, buffer + lo);
        if (home != wanted) std::copy(array(home) + lo, array(home) + hi, array(wanted) + lo);
        return wanted;
    }
    const std::size_t middle_chunk = first + (last - first) / 2;
    const std::size_t mid = middle_chunk * chunk_length;
    Home left = Home::data;
    Home right = Home::data;
    join([&] { left = sort_and_merge_chunks(target, buffer, first, middle_chunk, other(wanted), observer); },
         [&] { right = sort_and_merge_chunks(target, buffer, middle_chunk, last, other(wanted), observer); });
    if (left != right) {
        if (mid - lo <= hi - mid) {
            std::copy(array(left) + lo, array(left) + mid, array(right) + lo);
            left = right;
        } else {
            std::copy(array(right) + mid, array(right) + hi, array(left) + mid);
        }
    }
    const std::int64_t* const from = array(left);
    if (!(from[mid] < from[mid - 1])) return left;
    parallel_merge(from + lo, mid - lo, from + mid, hi - mid, array(other(left)) + lo, observer);
    return other(left);
}

// The parallel part, for targets of more than chunk_length elements; runs on a worker.
template <class Observer>
void sort_in_chunks(SortTarget target, const Observer& observer) {
    using stable_sort_tuning::chunk_length;
    const std::size_t n = target.size();
    Scratch<std::int64_t> buffer(n);
    const std::size_t chunks = (n + chunk_length - 1) / chunk_length;
    if (sort_and_merge_chunks(target, buffer.data(), 0, chunks, Home::data, observer) == Home::buffer) {
        std::copy(buffer.data(), buffer.data() + n, target.data());
    }
}

}  // namespace stable_detail

// Sorts `target` ascending, stably.
// Contract: any length and sub-range. Up to stable_sort_tuning::max_insertion elements:
// insertion sort, no allocation. Up to chunk_length: a natural merge sort on the calling
// thread with one n-element buffer, no pool. Above: one n-element buffer, chunks of
// chunk_length sorted in parallel and merged in a balanced tree of parallel merges on the
// pool; the pool is obtained before any element moves, so if it cannot be created the
// fault leaves the target untouched. Recursion depth O(log n).
template <class Observer>
void parallel_stable_sort_observed(SortTarget target, const Observer& observer) {
    using namespace stable_sort_tuning;
    const std::size_t n = target.size();
    if (n <= max_insertion) {
        insertion_sort(target);
        return;
    }
    if (n <= chunk_length) {
        Scratch<std::int64_t> buffer(n);
        stable_detail::natural_merge_sort(target, buffer.data());
        return;
    }
    // One hand-over for the whole sort: the caller sleeps once instead of per phase. The
    // chunks fork at once, so a second worker is woken first, beside the one the hand-over
    // wakes.
    const auto sort = [target, &observer] { stable_detail::sort_in_chunks(target, observer); };
    wake_ahead();
    if (on_worker_thread()) {
        sort();
    } else {
        global_pool().install(sort);
    }
}

inline void parallel_stable_sort(SortTarget target) { parallel_stable_sort_observed(target, StableSilent{}); }

}  // namespace vexo
