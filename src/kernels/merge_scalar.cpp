// The portable merge kernel: the branch-free scalar loop, with its four chains.
#include "kernels/merge_scalar.hpp"

#include "kernels/units.hpp"

namespace vexo::kernel_units::scalar {

void merge(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r, std::int64_t* out) noexcept {
    merge_runs_branch_free(left, l, right, r, out);
}

}  // namespace vexo::kernel_units::scalar
