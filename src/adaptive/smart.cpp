#include "adaptive/smart.hpp"

#include "binding.hpp"
#include "functions.hpp"

namespace vexo {

VEXO_MODULE_FUNCTION(smart, smart_sort)

}  // namespace vexo
