// `smart`: measure the input, then hand it whole to the one routine that suits it. The
// decision is a fixed table, kept in smart_choice so that tests can ask which routine an
// array gets without running it.
//
// The two scores every choice reads live in utils/analysis; has_small_range lives here
// because it is the only analysis made conditionally (only for lengths that radix sort may
// take), so it belongs with the table that decides when it runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "algorithms/insertion.hpp"
#include "algorithms/pdq.hpp"
#include "algorithms/radix.hpp"
#include "algorithms/tim.hpp"
#include "core/assert.hpp"
#include "core/sort_target.hpp"
#include "parallel/pool_unstable_sort.hpp"
#include "utils/analysis.hpp"

namespace vexo {

namespace smart_tuning {
// Below 2 elements there is nothing to sort.
inline constexpr std::size_t nothing_to_sort_below = 2;
// Up to 16 elements insertion sort beats anything that has to measure first.
inline constexpr std::size_t max_insertion = 16;
// A score above 0.9: nearly every sampled pair is in order. Such input goes to tim_sort,
// stable and never quadratic, whose run sort (insertion sort of 16 to 32 elements) costs
// next to nothing on nearly ordered runs. Its merges gain nothing from the order: the runs
// are fixed blocks, with no run detection, and every pass merges them all, so even an
// ascending array costs n log n moves (2-3x numpy.sort in the bench). The sampled score
// cannot tell a sorted array from one with a few elements out of place, which is what
// pdq_sort_range's one-scan shortcut for an ordered range would need.
inline constexpr double nearly_sorted_above = 0.9;
// More than half the samples repeating an earlier value: Timsort's stable merges cope
// well with few distinct keys.
inline constexpr double many_duplicates_above = 0.5;
// Above this length the pool's threads pay for their start and synchronisation.
inline constexpr std::size_t max_sequential = 100'000;
// Below this length a digit sort's per-pass buffers cost more than pdqsort, so the range
// is not even measured.
inline constexpr std::size_t range_test_below = 1'000;
// Sampled values spanning less than this take few decimal digits: radix sort territory.
inline constexpr std::uint64_t small_span_below = 1'000'000;
// has_small_range reads at most this many evenly strided positions.
inline constexpr std::size_t max_range_samples = 1'000;

static_assert(range_test_below >= max_range_samples, "has_small_range needs a sample stride of at least one");
}  // namespace smart_tuning

// True when the values at positions 0, t, ..., 999*t (t = floor(n / 1000)) span less than
// 1,000,000. Requires n >= 1000: a shorter target would have stride 0 (an empty one would
// even report the span of no values as small). The span is an unsigned difference: the
// full int64 range (2^64 - 1) must not overflow.
inline bool has_small_range(SortTarget target) noexcept {
    const std::size_t n = target.size();
    VEXO_ASSERT(n >= smart_tuning::max_range_samples);
    const std::size_t stride = n / smart_tuning::max_range_samples;
    std::int64_t lo = std::numeric_limits<std::int64_t>::max();
    std::int64_t hi = std::numeric_limits<std::int64_t>::min();
    std::size_t visited = 0;
    for (std::size_t position = 0; position < n && visited < smart_tuning::max_range_samples; position += stride, ++visited) {
        const std::int64_t v = target[position];
        if (v < lo) lo = v;
        if (v > hi) hi = v;
    }
    const std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
    return span < smart_tuning::small_span_below;
}

enum class SmartChoice { nothing, insertion, tim, parallel_unstable, radix, pdq };

// The decision table, in its order. Both analyses run in full for n >= 17 before the first
// test that uses them, so the cost of choosing never depends on the outcome.
inline SmartChoice smart_choice(SortTarget target) {
    using namespace smart_tuning;
    const std::size_t n = target.size();
    if (n < nothing_to_sort_below) return SmartChoice::nothing;
    if (n <= max_insertion) return SmartChoice::insertion;
    const double score = sortedness_score(target);
    const double ratio = duplicate_ratio(target);
    if (score > nearly_sorted_above) return SmartChoice::tim;
    if (ratio > many_duplicates_above) return SmartChoice::tim;
    if (n > max_sequential) return SmartChoice::parallel_unstable;
    if (n >= range_test_below && has_small_range(target)) return SmartChoice::radix;
    return SmartChoice::pdq;
}

// Sorts `target` ascending with the routine smart_choice picks, called exactly as that
// routine's own module function calls it. Contract: any length; allocates what the chosen
// routine allocates (plus the analysis's set of at most 100 values); only the parallel
// branch (n > 100000) uses, and may create, the worker pool.
inline void smart_sort(SortTarget target) {
    switch (smart_choice(target)) {
        case SmartChoice::nothing: return;
        case SmartChoice::insertion: return insertion_sort(target);
        case SmartChoice::tim: return tim_sort(target);
        case SmartChoice::parallel_unstable: return parallel_unstable_sort(target);
        case SmartChoice::radix: return radix_sort(target);
        case SmartChoice::pdq: return pdq_sort(target);
    }
}

}  // namespace vexo
