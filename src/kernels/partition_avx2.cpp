// The AVX2 partition kernels: the partition and the short partition, four lanes per
// vector and eight vectors per batch; and the small-range insertion sort, in registers.
#include "kernels/kernels.hpp"

#if VEXO_HAS_VECTOR_KERNELS

#include "kernels/insertion_branch_free.hpp"
#include "kernels/lanes_avx2.hpp"
#include "kernels/merge_vector.hpp"
#include "kernels/partition_vector.hpp"
#include "kernels/units.hpp"

namespace vexo::kernel_units::avx2 {

std::size_t partition(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return vector_partition::partition_less<Avx2>(d, n, pivot);
}

ShortPartition short_partition(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return vector_partition::partition_short<Avx2>(d, n, pivot);
}

// Ranges of up to eight registers (tim's runs of up to 32 elements) are sorted in them by
// a merge sort of networks: AVX2 has no lane shift across a register's halves, nor a
// 64-bit min or max, which make the insertion in registers of AVX-512 cheap. Longer ranges
// take the scalar kernel's insertion sort.
void insertion_sort(std::int64_t* d, std::size_t n) noexcept {
    if (n <= 4) return vector_merge::sort_in_registers<Avx2, 1>(d, n);
    if (n <= 8) return vector_merge::sort_in_registers<Avx2, 2>(d, n);
    if (n <= 16) return vector_merge::sort_in_registers<Avx2, 4>(d, n);
    if (n <= 32) return vector_merge::sort_in_registers<Avx2, 8>(d, n);
    insertion_sort_branch_free(SortTarget(d, n));
}

}  // namespace vexo::kernel_units::avx2

#endif  // VEXO_HAS_VECTOR_KERNELS
