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

// Ranges of 14 to 16 and of 23 to 32 elements (tim's runs of up to 32 among them) are
// sorted in four and eight registers by a merge sort of networks; the others take the
// scalar kernel's insertion sort. AVX2 has no lane shift across a register's halves, nor a
// 64-bit min or max, which make the insertion in registers of AVX-512 cheap, and a network
// costs the same at every length it holds: about 70 ns for four registers and 145 for
// eight, against about n^2 / 3 ns for the insertion, on ranges just written (an Intel
// Xeon, Sapphire Rapids, running AVX2). Each length takes whichever costs less.
void insertion_sort(std::int64_t* d, std::size_t n) noexcept {
    if (n >= 14 && n <= 16) return vector_merge::sort_in_registers<Avx2, 4>(d, n);
    if (n >= 23 && n <= 32) return vector_merge::sort_in_registers<Avx2, 8>(d, n);
    insertion_sort_branch_free(SortTarget(d, n));
}

}  // namespace vexo::kernel_units::avx2

#endif  // VEXO_HAS_VECTOR_KERNELS
