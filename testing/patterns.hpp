// Named input patterns with a seed, shared by the C++ tests and the C++ benchmark, hence
// its own directory, which both put on their include path. The Python side
// (vexo.patterns) offers the same names.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <string_view>
#include <vector>

namespace vexo::testing {

enum class Pattern { random, small_range, ascending, descending, nearly_sorted, few_distinct, organ_pipe, sawtooth, all_equal, extremes };

inline constexpr Pattern all_patterns[] = {Pattern::random,       Pattern::small_range, Pattern::ascending,  Pattern::descending, Pattern::nearly_sorted,
                                           Pattern::few_distinct, Pattern::organ_pipe,  Pattern::sawtooth,   Pattern::all_equal,  Pattern::extremes};

// In the order of the enumerators.
inline constexpr std::string_view pattern_names[] = {"random",     "small_range", "ascending", "descending", "nearly_sorted",
                                                     "few_distinct", "organ_pipe", "sawtooth",  "all_equal",  "extremes"};

inline std::string_view name_of(Pattern pattern) { return pattern_names[static_cast<std::size_t>(pattern)]; }

inline std::vector<std::int64_t> make_pattern(Pattern pattern, std::size_t n, std::uint64_t seed = 1) {
    using limits = std::numeric_limits<std::int64_t>;
    std::mt19937_64 rng(seed);
    std::vector<std::int64_t> v(n);
    const auto index = [](std::size_t i) { return static_cast<std::int64_t>(i); };
    switch (pattern) {
        case Pattern::random:
            for (auto& x : v) x = static_cast<std::int64_t>(rng());
            break;
        case Pattern::small_range: {
            std::uniform_int_distribution<std::int64_t> d(-1000, 1000);
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
            for (std::size_t k = 0; n > 1 && k < n / 32 + 1; ++k) std::swap(v[rng() % n], v[rng() % n]);
            break;
        case Pattern::few_distinct:
            for (auto& x : v) x = static_cast<std::int64_t>(rng() % 8) * 1'000'003 - 4;
            break;
        case Pattern::organ_pipe:
            for (std::size_t i = 0; i < n; ++i) v[i] = index(std::min(i, n - 1 - i));
            break;
        case Pattern::sawtooth:
            for (std::size_t i = 0; i < n; ++i) v[i] = index(i % 97);
            break;
        case Pattern::all_equal:
            std::fill(v.begin(), v.end(), 42);
            break;
        case Pattern::extremes: {
            const std::int64_t values[] = {limits::min(), limits::max(), 0, -1, 1, limits::min() + 1, limits::max() - 1};
            for (auto& x : v) x = values[rng() % std::size(values)];
            break;
        }
    }
    return v;
}

}  // namespace vexo::testing
