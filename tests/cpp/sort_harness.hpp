// Checks shared by the routine tests: run a routine on a sub-range of a guarded buffer and
// compare with std::sort, including that the guard cells around the range are untouched.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/sort_target.hpp"
#include "patterns.hpp"

namespace vexo::testing {

using Values = std::vector<std::int64_t>;
inline constexpr std::int64_t min64 = std::numeric_limits<std::int64_t>::min();
inline constexpr std::int64_t max64 = std::numeric_limits<std::int64_t>::max();

inline constexpr std::size_t guard_cells = 3;
// Guards below and above every value the patterns produce, so a routine that strays
// outside its range cannot hide the damage by moving a guard into place.
inline constexpr std::int64_t guard_value = 0x5EED5EED;

inline void expect_sorts_subrange(const std::function<void(SortTarget)>& routine, const Values& input) {
    Values buffer(input.size() + 2 * guard_cells, guard_value);
    std::copy(input.begin(), input.end(), buffer.begin() + guard_cells);
    routine(SortTarget(buffer.data() + guard_cells, input.size()));
    Values expected = input, around(guard_cells, guard_value);
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(Values(buffer.begin() + guard_cells, buffer.end() - guard_cells), expected) << "n=" << input.size();
    ASSERT_EQ(Values(buffer.begin(), buffer.begin() + guard_cells), around) << "wrote below the range, n=" << input.size();
    ASSERT_EQ(Values(buffer.end() - guard_cells, buffer.end()), around) << "wrote above the range, n=" << input.size();
}

// Every pattern at every size in `sizes`.
inline void expect_sorts_patterns(const std::function<void(SortTarget)>& routine, const std::vector<std::size_t>& sizes) {
    for (Pattern pattern : all_patterns) {
        for (std::size_t n : sizes) {
            SCOPED_TRACE(std::string(name_of(pattern)) + " n=" + std::to_string(n));
            expect_sorts_subrange(routine, make_pattern(pattern, n, n + 7));
        }
    }
}

}  // namespace vexo::testing
