#include "algorithms/radix.hpp"

#include "binding.hpp"
#include "functions.hpp"

namespace vexo {

VEXO_MODULE_FUNCTION(radix, radix_sort)

}  // namespace vexo
