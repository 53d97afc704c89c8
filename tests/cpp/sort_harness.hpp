// Checks shared by the routine tests: run a routine on a sub-range of a guarded buffer and
// compare with std::sort, including that the guard cells around the range are untouched.
// Guarded is the one way the tests guard a range.
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

// Cells each side of a routine's range: more than any vector kernel's batch, so a store
// that runs past either end of the range lands in them.
inline constexpr std::size_t guard_cells = 40;
// What the guard cells hold: a value no pattern produces (the random one with a chance of
// 2^-64 an element), so a routine that strays outside its range cannot hide the damage,
// neither by moving a guard into the range nor by leaving an element on a guard cell.
inline constexpr std::int64_t guard_value = 0x5EED5EED;

// `input` between guard cells: a routine under test gets range(), and guards_intact()
// tells whether it wrote outside.
class Guarded {
public:
    explicit Guarded(const Values& input) : buffer_(input.size() + 2 * guard_cells, guard_value) {
        std::copy(input.begin(), input.end(), buffer_.begin() + guard_cells);
    }
    SortTarget range() { return SortTarget(buffer_.data() + guard_cells, buffer_.size() - 2 * guard_cells); }
    Values values() const { return Values(buffer_.begin() + guard_cells, buffer_.end() - guard_cells); }
    ::testing::AssertionResult guards_intact() const {
        const auto intact = [](auto first, auto last) { return std::all_of(first, last, [](std::int64_t x) { return x == guard_value; }); };
        if (!intact(buffer_.begin(), buffer_.begin() + guard_cells)) return ::testing::AssertionFailure() << "wrote below the range";
        if (!intact(buffer_.end() - guard_cells, buffer_.end())) return ::testing::AssertionFailure() << "wrote above the range";
        return ::testing::AssertionSuccess();
    }

private:
    Values buffer_;
};

inline void expect_sorts_subrange(const std::function<void(SortTarget)>& routine, const Values& input) {
    Guarded guarded(input);
    routine(guarded.range());
    Values expected = input;
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(guarded.values(), expected) << "n=" << input.size();
    ASSERT_TRUE(guarded.guards_intact()) << "n=" << input.size();
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
