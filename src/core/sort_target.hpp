// The one type every sort routine works on.
#pragma once

#include <cstdint>
#include <span>

namespace vexo {

// A contiguous, mutable run of signed 64-bit integers: a whole array or a sub-range of
// one. Routines leave it ascending under the signed order and touch nothing outside it.
using SortTarget = std::span<std::int64_t>;

// A routine that sorts a whole target, as the module functions run them.
using SortRoutine = void (*)(SortTarget);

}  // namespace vexo
