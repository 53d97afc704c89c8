// Shorthands shared by the pdq, tim and radix tests.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace vexo::testing {

using Values = std::vector<std::int64_t>;
inline constexpr std::int64_t min64 = std::numeric_limits<std::int64_t>::min();
inline constexpr std::int64_t max64 = std::numeric_limits<std::int64_t>::max();

}  // namespace vexo::testing
