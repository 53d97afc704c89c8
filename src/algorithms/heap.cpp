#include "algorithms/heap.hpp"

#include "binding.hpp"
#include "functions.hpp"

namespace vexo {

VEXO_MODULE_FUNCTION(heap, heap_sort)

}  // namespace vexo
