#include "algorithms/pdq.hpp"

#include "binding.hpp"
#include "functions.hpp"

namespace vexo {

VEXO_MODULE_FUNCTION(pdq, pdq_sort)

}  // namespace vexo
