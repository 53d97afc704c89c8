// Named input patterns with a seed, shared by the C++ tests and the C++ benchmark, hence
// its own directory, which both put on their include path. The Python side
// (vexo.patterns) offers the same names and recipes; tests/python/test_bench.py compares
// the two through testing/print_patterns.cpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string_view>
#include <utility>
#include <vector>

namespace vexo::testing {

enum class Pattern { random, small_range, ascending, descending, nearly_sorted, few_distinct, organ_pipe, sawtooth, all_equal, extremes };

inline constexpr Pattern all_patterns[] = {Pattern::random,        Pattern::small_range,  Pattern::ascending,  Pattern::descending,
                                           Pattern::nearly_sorted, Pattern::few_distinct, Pattern::organ_pipe, Pattern::sawtooth,
                                           Pattern::all_equal,     Pattern::extremes};

// In the order of the enumerators.
inline constexpr std::string_view pattern_names[] = {"random",       "small_range", "ascending", "descending", "nearly_sorted",
                                                     "few_distinct", "organ_pipe",  "sawtooth",  "all_equal",  "extremes"};

inline std::string_view name_of(Pattern pattern) { return pattern_names[static_cast<std::size_t>(pattern)]; }

// The recipes' constants, named as vexo.patterns names them (each with its reason there).
inline constexpr std::pair<std::int64_t, std::int64_t> small_range{-1000, 1000};
inline constexpr std::int64_t few_distinct_count = 8;
inline constexpr std::int64_t few_distinct_step = 1'000'003;
inline constexpr std::int64_t few_distinct_offset = -4;
inline constexpr std::size_t nearly_sorted_divisor = 32;
inline constexpr std::size_t sawtooth_period = 97;
inline constexpr std::int64_t all_equal_value = 42;
inline constexpr std::int64_t extreme_values[] = {INT64_MIN, INT64_MAX, 0, -1, 1, INT64_MIN + 1, INT64_MAX - 1};

// Ascending with n / nearly_sorted_divisor + 1 pairs of distinct random positions swapped
// (as many pairs as n holds, if fewer), so exactly twice that many elements are out of place.
inline void swap_random_pairs(std::vector<std::int64_t>& v, std::mt19937_64& rng) {
    const std::size_t n = v.size();
    const std::size_t pairs = std::min(n / nearly_sorted_divisor + 1, n / 2);
    std::vector<bool> taken(n);
    std::vector<std::size_t> positions;
    while (positions.size() < 2 * pairs) {
        const std::size_t position = rng() % n;
        if (!taken[position]) positions.push_back(position);
        taken[position] = true;
    }
    for (std::size_t k = 0; k < pairs; ++k) std::swap(v[positions[k]], v[positions[pairs + k]]);
}

inline std::vector<std::int64_t> make_pattern(Pattern pattern, std::size_t n, std::uint64_t seed = 1) {
    std::mt19937_64 rng(seed);
    std::vector<std::int64_t> v(n);
    const auto index = [](std::size_t i) { return static_cast<std::int64_t>(i); };
    switch (pattern) {
        case Pattern::random:
            for (auto& x : v) x = static_cast<std::int64_t>(rng());
            break;
        case Pattern::small_range: {
            std::uniform_int_distribution<std::int64_t> d(small_range.first, small_range.second);
            for (auto& x : v) x = d(rng);
            break;
        }
        case Pattern::ascending:
            for (std::size_t i = 0; i < n; ++i) v[i] = index(i);
            break;
        case Pattern::descending:
            for (std::size_t i = 0; i < n; ++i) v[i] = index(n - i);
            break;
        case Pattern::nearly_sorted:
            for (std::size_t i = 0; i < n; ++i) v[i] = index(i);
            swap_random_pairs(v, rng);
            break;
        case Pattern::few_distinct:
            for (auto& x : v)
                x = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(few_distinct_count)) * few_distinct_step +
                    few_distinct_offset;
            break;
        case Pattern::organ_pipe:
            for (std::size_t i = 0; i < n; ++i) v[i] = index(std::min(i, n - 1 - i));
            break;
        case Pattern::sawtooth:
            for (std::size_t i = 0; i < n; ++i) v[i] = index(i % sawtooth_period);
            break;
        case Pattern::all_equal: std::fill(v.begin(), v.end(), all_equal_value); break;
        case Pattern::extremes:
            for (auto& x : v) x = extreme_values[rng() % std::size(extreme_values)];
            break;
    }
    return v;
}

}  // namespace vexo::testing
