// The AVX2 merge kernel: runs of up to 32 elements merged whole in registers, by a
// bitonic network; longer ones by the scalar kernel.
#include "kernels/kernels.hpp"

#if VEXO_HAS_VECTOR_KERNELS

#include "kernels/lanes_avx2.hpp"
#include "kernels/merge_vector.hpp"
#include "kernels/units.hpp"

namespace vexo::kernel_units::avx2 {

void merge(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r, std::int64_t* out) noexcept {
    vector_merge::merge<Avx2>(left, l, right, r, out);
}

}  // namespace vexo::kernel_units::avx2

#endif  // VEXO_HAS_VECTOR_KERNELS
