#include "algorithms/bubble.hpp"

#include "binding.hpp"
#include "functions.hpp"

namespace vexo {

VEXO_MODULE_FUNCTION(bubble, bubble_sort)

}  // namespace vexo
