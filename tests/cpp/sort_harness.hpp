// Checks shared by the routine tests: run a routine on a sub-range of a guarded buffer and
// compare with std::sort, including that the guard cells around the range are untouched.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/sort_target.hpp"
#include "patterns.hpp"

namespace vexo::testing {

inline constexpr std::size_t guard_cells = 3;
// Guards below and above every value the patterns produce, so a routine that strays
// outside its range cannot hide the damage by moving a guard into place.
inline constexpr std::int64_t guard_value = 0x5EED5EED;

inline void expect_sorts_subrange(const std::function<void(SortTarget)>& routine, const std::vector<std::int64_t>& input) {
    std::vector<std::int64_t> buffer(input.size() + 2 * guard_cells, guard_value);
    std::copy(input.begin(), input.end(), buffer.begin() + guard_cells);
    routine(SortTarget(buffer.data() + guard_cells, input.size()));

    std::vector<std::int64_t> expected = input;
    std::sort(expected.begin(), expected.end());
    const std::vector<std::int64_t> got(buffer.begin() + guard_cells, buffer.end() - guard_cells);
    ASSERT_EQ(got, expected) << "n=" << input.size();
    for (std::size_t i = 0; i < guard_cells; ++i) {
        ASSERT_EQ(buffer[i], guard_value) << "wrote below the range, n=" << input.size();
        ASSERT_EQ(buffer[buffer.size() - 1 - i], guard_value) << "wrote above the range, n=" << input.size();
    }
}

// Every pattern at every size in `sizes`.
inline void expect_sorts_patterns(const std::function<void(SortTarget)>& routine, std::initializer_list<std::size_t> sizes) {
    for (Pattern pattern : all_patterns) {
        for (std::size_t n : sizes) {
            SCOPED_TRACE(std::string(name_of(pattern)) + " n=" + std::to_string(n));
            expect_sorts_subrange(routine, make_pattern(pattern, n, n + 7));
        }
    }
}

}  // namespace vexo::testing
