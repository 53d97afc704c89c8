// The AVX2 kernels: the partition and the short partition, four lanes per vector and
// eight vectors per batch; the insertion sort is the scalar kernel's. AVX2 has no
// compress instruction, so a vector is arranged by a lane permutation looked up from its
// four-bit comparison mask.
#include "parallel/kernels.hpp"

#if VEXO_HAS_VECTOR_KERNELS

#include "algorithms/insertion.hpp"

#define VEXO_KERNEL_ISA "avx2,popcnt"
#include "parallel/partition_vector.hpp"

namespace vexo {
namespace {

// For each mask, the 32-bit lane indexes that put the 64-bit lanes whose bit is set
// first (in order) and the others after them.
struct PermutationTable {
    alignas(32) std::int32_t index[16][8];
};

constexpr PermutationTable make_permutation_table() {
    PermutationTable table{};
    for (unsigned mask = 0; mask < 16; ++mask) {
        vector_partition::for_each_arranged_lane<4>(mask, [&](unsigned position, unsigned lane) {
            table.index[mask][2 * position] = static_cast<std::int32_t>(2 * lane);
            table.index[mask][2 * position + 1] = static_cast<std::int32_t>(2 * lane + 1);
        });
    }
    return table;
}

constexpr PermutationTable permutation = make_permutation_table();

struct Avx2 {
    using type = __m256i;
    static constexpr std::size_t lanes = 4;
    static constexpr std::size_t unroll = 8;

    VEXO_KERNEL_TARGET static type broadcast(std::int64_t x) noexcept { return _mm256_set1_epi64x(x); }
    VEXO_KERNEL_TARGET static type load(const std::int64_t* p) noexcept { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    VEXO_KERNEL_TARGET static void store(std::int64_t* p, type v) noexcept { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    // All ones in the lanes below `count`, the lanes that the masked moves touch.
    VEXO_KERNEL_TARGET static type first_lanes(std::size_t count) noexcept {
        return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(count)), _mm256_set_epi64x(3, 2, 1, 0));
    }
    VEXO_KERNEL_TARGET static type load_first(const std::int64_t* p, std::size_t count) noexcept {
        return _mm256_maskload_epi64(reinterpret_cast<const long long*>(p), first_lanes(count));
    }
    VEXO_KERNEL_TARGET static void store_first(std::int64_t* p, type v, std::size_t count) noexcept {
        _mm256_maskstore_epi64(reinterpret_cast<long long*>(p), first_lanes(count), v);
    }
    VEXO_KERNEL_TARGET static unsigned less_mask(type v, type pivots) noexcept {
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(pivots, v))));
    }
    VEXO_KERNEL_TARGET static type arrange(type v, unsigned mask) noexcept {
        return _mm256_permutevar8x32_epi32(v, _mm256_load_si256(reinterpret_cast<const __m256i*>(permutation.index[mask])));
    }
};

std::size_t partition(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return vector_partition::partition_less<Avx2>(d, n, pivot);
}

ShortPartition short_partition(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return vector_partition::partition_short<Avx2>(d, n, pivot);
}

// The scalar kernel's, compiled for baseline x86-64 like it.
void insertion_sort(std::int64_t* d, std::size_t n) noexcept { insertion_sort_branch_free(SortTarget(d, n)); }

}  // namespace

constinit const KernelSet kernel_units::avx2{Isa::avx2, partition, short_partition, insertion_sort, kernel_units::avx2_merge};

}  // namespace vexo

#endif  // VEXO_HAS_VECTOR_KERNELS
