// Timsort in its fixed-run form: the module function `tim`, and the stable sort `smart`
// hands whole arrays to. The target is cut into runs of one length computed from n, each
// run is insertion-sorted, and neighbouring runs are merged in bottom-up passes of
// doubling width until one run covers the target.
//
// The runs are fixed blocks of positions: no run detection, no reversal, no stack of
// pending runs and no galloping. That keeps the merge schedule a pure function of n, so
// the memory a call needs and the work it does are known before it starts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/assert.hpp"
#include "core/scratch.hpp"
#include "core/sort_target.hpp"
#include "kernels/kernels.hpp"
#include "kernels/merge_runs.hpp"

namespace vexo {

namespace tim_tuning {
// Lengths below this are one run: insertion sort beats merging on so few elements. It is
// also the ceiling the run length is shifted below, which puts runs between 16 and 32.
inline constexpr std::uint64_t single_run_below = 32;
}  // namespace tim_tuning

// The hooks of tim_sort. The module runs it with this silent observer, whose empty
// members compile away; the C++ tests record the merge schedule through it.
struct TimSilent {
    void merged(std::size_t /*left*/, std::size_t /*width*/, std::size_t /*right*/) const noexcept {}
};

// The run length for n elements: n itself below 32; otherwise n shifted right until it
// is below 32 (16 to 31), plus 1 if any bit shifted out was set, so that n / r is a power
// of two or just below one and the last merges stay balanced.
constexpr std::uint64_t min_run_length(std::uint64_t n) noexcept {
    std::uint64_t x = n;
    std::uint64_t lost_bits = 0;
    while (x >= tim_tuning::single_run_below) {
        lost_bits |= x & 1;
        x >>= 1;
    }
    return x + lost_bits;
}

// Merges the sorted runs target[left, left + width) and target[left + width, right) into
// one sorted run in place, stably (on ties the left run's element goes first).
// Contract: left + width < right <= target.size(). Allocates three buffers of
// right - left, width and right - left - width elements through Scratch and releases
// them before returning: 2 (right - left) elements of scratch in all.
inline void merge_adjacent_runs(SortTarget target, std::size_t left, std::size_t width, std::size_t right) noexcept {
    VEXO_ASSERT(left + width < right && right <= target.size());
    const std::size_t m = right - left;
    const std::size_t right_length = m - width;
    const std::int64_t* const region = target.data() + left;
    // The merge writes every position of `merged` before anything reads it, so the two
    // runs are copied from the region directly; a copy of the region into `merged` first
    // would be overwritten unread.
    Scratch<std::int64_t> merged(m);
    Scratch<std::int64_t> left_run(width);
    Scratch<std::int64_t> right_run(right_length);
    std::copy(region, region + width, left_run.data());
    std::copy(region + width, region + m, right_run.data());

    // Ties take the left run first, which keeps the sort stable.
    merge_runs(left_run.data(), width, right_run.data(), right_length, merged.data());
    std::copy(merged.data(), merged.data() + m, target.data() + left);
}

// Sorts `target` ascending, stably.
// Contract: any length; nothing is allocated below 32 elements, otherwise each merge
// allocates and releases its own buffers (at most 2n elements, 16n bytes, at once, in
// the last pass). No recursion. Touches only target[0, n).
template <class Observer>
void tim_sort_observed(SortTarget target, Observer observer) noexcept {
    const std::size_t n = target.size();
    if (n < 2) return;
    const std::size_t run = min_run_length(n);
    // Each run is insertion-sorted by the kernel of the CPU: the same insertion, element by
    // element into the sorted front of the run, held in vector registers where it has them.
    for (std::size_t start = 0; start < n; start += run) active_kernels().insertion_sort(target.data() + start, std::min(run, n - start));
    // A run with no right neighbour in a pass stays as it is and joins a later, wider
    // pass as the right part of its merge.
    for (std::size_t width = run; width < n; width *= 2) {
        for (std::size_t left = 0; left + width < n; left += 2 * width) {
            const std::size_t right = std::min(left + 2 * width, n);
            merge_adjacent_runs(target, left, width, right);
            observer.merged(left, width, right);
        }
    }
}

inline void tim_sort(SortTarget target) noexcept { tim_sort_observed(target, TimSilent{}); }

}  // namespace vexo
