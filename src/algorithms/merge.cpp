#include "algorithms/merge.hpp"

#include "binding.hpp"
#include "functions.hpp"

namespace vexo {

VEXO_MODULE_FUNCTION(merge, merge_sort)

}  // namespace vexo
