// The AVX-512 partition kernels: the partition, eight lanes per vector and four vectors
// per batch; the short partition, up to 64 elements in registers; and the small-range
// insertion sort, in registers.
//
// Where a vector is compressed and where it is permuted. The partition's `arrange` must
// turn a vector into one vector holding both sides, the lanes < pivot first and the
// others behind them, because `place` stores that one vector at both ends of the free
// room. A compress yields one side only: both in one vector take two compresses and an
// expand, three instructions on the same port, where one permutation does it, its
// indexes read from a table by the comparison mask. The in-register short partition
// (partition_in_registers) is the other case: it writes each side to its own place, so
// each side needs a vector of its own, and one compress a side makes it, with no table to
// read. (The buffered short partition of longer ranges shares its code with AVX2, which
// has no compress, and arranges each side by the table.) Every compress goes to a
// register and a masked store writes the result: compressing straight to memory
// (vpcompressq with a memory operand) is much slower on some CPUs, AMD's Zen 4 among them.
#include "kernels/kernels.hpp"

#if VEXO_HAS_VECTOR_KERNELS

#include <cstdint>

#include "kernels/insertion_branch_free.hpp"
#include "kernels/lanes_avx512.hpp"
#include "kernels/partition_vector.hpp"
#include "kernels/units.hpp"

namespace vexo {
namespace {

// The branch-free insertion sort (insertion_sort_branch_free) of up to 8 * R elements,
// held in R registers from the first load to the last store. The registers start full of
// the largest value, the sorted prefix of nothing, and each element is inserted in turn:
// inserting key into the sorted p sets p[j] = max(p[j - 1], min(p[j], key)), with the
// smallest value standing in for p[-1]. The lanes not yet reached hold the largest value,
// which the formula leaves in place, so no lane needs masking off, and each insertion is
// a shift by one lane (valignq, across the registers), a min and a max: a chain of two
// dependent steps per element.
template <int R>
VEXO_KERNEL_TARGET void insertion_sort_in_registers(std::int64_t* d, std::size_t n) noexcept {
    __m512i v[R];
    for (int k = 0; k < R; ++k) v[k] = _mm512_set1_epi64(INT64_MAX);
    const __m512i lowest = _mm512_set1_epi64(INT64_MIN);
    for (std::size_t i = 0; i < n; ++i) {
        const __m512i key = _mm512_set1_epi64(d[i]);  // d is untouched until the final store
        __m512i below = lowest;
        for (int k = 0; k < R; ++k) {
            const __m512i shifted = _mm512_alignr_epi64(v[k], below, 7);  // p[j - 1] in lane j
            below = v[k];
            v[k] = _mm512_max_epi64(shifted, _mm512_min_epi64(v[k], key));
        }
    }
    for (int k = 0; k < R; ++k) _mm512_mask_storeu_epi64(d + 8 * k, lane_mask(n, k), v[k]);
}

// Ranges of up to eight times this many elements are partitioned in registers: all of
// them are loaded before anything is stored, so each side can be written straight back
// with masked stores, with no buffer in between.
constexpr int max_registers_partitioned = 8;

// The short partition (kernels.hpp) for n <= 8 * max_registers_partitioned. Loading
// everything first also means no load ever waits for a store it overlaps, which a buffer
// written at one offset and read back at another makes happen on every vector. Each side
// is compressed into a register of its own (see the top of this file for why compress
// here and a permutation in `arrange`).
template <int R>
VEXO_KERNEL_TARGET ShortPartition partition_in_registers(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    const __m512i pivots = _mm512_set1_epi64(pivot);
    __m512i v[R];
    std::uint8_t less[R];
    std::size_t count_below = 0;
    unsigned misplaced = 0;
    for (int k = 0; k < R; ++k) {
        const std::uint8_t valid = lane_mask(n, k);
        v[k] = _mm512_maskz_loadu_epi64(valid, d + 8 * k);
        less[k] = static_cast<std::uint8_t>(_mm512_mask_cmpgt_epi64_mask(valid, pivots, v[k]));
        const unsigned mask = less[k];
        misplaced |= vector_partition::out_of_order(mask, count_below != static_cast<std::size_t>(8 * k));
        count_below += static_cast<std::size_t>(__builtin_popcount(mask));
    }
    std::size_t below = 0;
    std::size_t above = count_below;
    for (int k = 0; k < R; ++k) {
        const std::uint8_t valid = lane_mask(n, k);
        const auto count_less = static_cast<unsigned>(__builtin_popcount(less[k]));
        const auto count_rest = static_cast<unsigned>(__builtin_popcount(static_cast<std::uint8_t>(valid & ~less[k])));
        _mm512_mask_storeu_epi64(d + below, static_cast<std::uint8_t>((1U << count_less) - 1), _mm512_maskz_compress_epi64(less[k], v[k]));
        _mm512_mask_storeu_epi64(d + above, static_cast<std::uint8_t>((1U << count_rest) - 1),
                                 _mm512_maskz_compress_epi64(static_cast<std::uint8_t>(valid & ~less[k]), v[k]));
        below += count_less;
        above += count_rest;
    }
    return {count_below, misplaced == 0};
}

}  // namespace

namespace kernel_units::avx512 {

std::size_t partition(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return vector_partition::partition_less<Avx512>(d, n, pivot);
}

ShortPartition short_partition(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    if (n <= 32) return partition_in_registers<4>(d, n, pivot);
    if (n <= 8 * max_registers_partitioned) return partition_in_registers<max_registers_partitioned>(d, n, pivot);
    return vector_partition::partition_short<Avx512>(d, n, pivot);
}

// Ranges of up to four registers (tim's runs of up to 32 elements) are sorted in them;
// longer ones take the scalar kernel's insertion sort.
void insertion_sort(std::int64_t* d, std::size_t n) noexcept {
    if (n <= 8) return insertion_sort_in_registers<1>(d, n);
    if (n <= 16) return insertion_sort_in_registers<2>(d, n);
    if (n <= 24) return insertion_sort_in_registers<3>(d, n);
    if (n <= 32) return insertion_sort_in_registers<4>(d, n);
    insertion_sort_branch_free(SortTarget(d, n));
}

}  // namespace kernel_units::avx512
}  // namespace vexo

#endif  // VEXO_HAS_VECTOR_KERNELS
