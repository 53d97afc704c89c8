// The AVX2 partition kernels: the partition and the short partition, four lanes per
// vector and eight vectors per batch; the insertion sort is the scalar kernel's.
#include "kernels/kernels.hpp"

#if VEXO_HAS_VECTOR_KERNELS

#include "kernels/insertion_branch_free.hpp"
#include "kernels/lanes_avx2.hpp"
#include "kernels/partition_vector.hpp"
#include "kernels/units.hpp"

namespace vexo::kernel_units::avx2 {

std::size_t partition(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return vector_partition::partition_less<Avx2>(d, n, pivot);
}

ShortPartition short_partition(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return vector_partition::partition_short<Avx2>(d, n, pivot);
}

// The scalar kernel's, compiled for baseline x86-64 like it.
void insertion_sort(std::int64_t* d, std::size_t n) noexcept { insertion_sort_branch_free(SortTarget(d, n)); }

}  // namespace vexo::kernel_units::avx2

#endif  // VEXO_HAS_VECTOR_KERNELS
