#include "algorithms/tim.hpp"

#include "binding.hpp"
#include "functions.hpp"

namespace vexo {

VEXO_MODULE_FUNCTION(tim, tim_sort)

}  // namespace vexo
