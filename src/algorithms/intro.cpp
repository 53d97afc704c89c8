#include "algorithms/intro.hpp"

#include "binding.hpp"
#include "functions.hpp"

namespace vexo {

VEXO_MODULE_FUNCTION(intro, intro_sort)

}  // namespace vexo
