#include "algorithms/insertion.hpp"

#include "binding.hpp"
#include "functions.hpp"

namespace vexo {

VEXO_MODULE_FUNCTION(insertion, insertion_sort)

}  // namespace vexo
