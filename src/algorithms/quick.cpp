#include "algorithms/quick.hpp"

#include "binding.hpp"
#include "functions.hpp"

namespace vexo {

VEXO_MODULE_FUNCTION(quick, quick_sort)

}  // namespace vexo
