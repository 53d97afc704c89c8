// Sampled measurements of an input, used by `smart` to choose a sort. Each reads a fixed,
// small number of positions, so choosing costs the same for a hundred elements as for a
// hundred million. None of them writes to the target.
//
// These are the two scores smart reads for every input of 17 elements or more. The third
// measurement, has_small_range, lives with smart in adaptive/smart.hpp: it is the only
// analysis made conditionally, so it stays beside the table that decides when it runs.
#pragma once

#include <cstddef>

#include "core/sort_target.hpp"

namespace vexo {

// Both measurements below sample up to this many positions, evenly strided.
inline constexpr std::size_t max_analysis_samples = 100;

// Stride of the samples: every element up to 100 of them, else floor(n / 100).
constexpr std::size_t analysis_stride(std::size_t n) noexcept { return n <= max_analysis_samples ? 1 : n / max_analysis_samples; }

// 1 minus the share of inverted pairs among the sampled pairs, in [0, 1]. The samples are
// the positions 0, s, ..., 100*s below n (the last only as a right-hand partner), every
// pair of them compared once; equal elements are not inverted. n < 2 gives 1.0.
// At most 5050 comparisons; no allocation.
double sortedness_score(SortTarget target) noexcept;

// Repeats among the samples 0, s, ..., 99*s (below n) divided by the number of samples,
// in [0, 1). n = 0 gives 0.0. Holds at most 100 values in a hash set during the call.
double duplicate_ratio(SortTarget target);

}  // namespace vexo
