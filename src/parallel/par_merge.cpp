// The bodies of the three parallel module functions.
#include "parallel/par_merge.hpp"

#include "binding.hpp"
#include "functions.hpp"
#include "parallel/pool_stable_sort.hpp"
#include "parallel/pool_unstable_sort.hpp"

namespace vexo {

VEXO_MODULE_FUNCTION(par_sort, parallel_stable_sort)
VEXO_MODULE_FUNCTION(par_sort_unstable, parallel_unstable_sort)
VEXO_MODULE_FUNCTION(par_merge, par_merge_sort)

}  // namespace vexo
