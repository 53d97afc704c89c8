// The AVX-512 merge kernel: eight elements a step, merged with the held eight in a
// bitonic network of four levels, each a lane permutation, a min and a masked max.
#include "kernels/kernels.hpp"

#if VEXO_HAS_VECTOR_KERNELS

#include "kernels/lanes_avx512.hpp"
#include "kernels/merge_vector.hpp"
#include "kernels/units.hpp"

namespace vexo::kernel_units::avx512 {

void merge(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r, std::int64_t* out) noexcept {
    vector_merge::merge<Avx512>(left, l, right, r, out);
}

}  // namespace vexo::kernel_units::avx512

#endif  // VEXO_HAS_VECTOR_KERNELS
