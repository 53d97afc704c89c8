// The AVX-512 partition kernel: eight lanes per vector, four vectors per batch. A vector
// is arranged with compress (the < lanes, packed low) and expand (the others, packed into
// the lanes above them), both in registers: compressing straight to memory is much
// slower on some CPUs.
#include "parallel/partition.hpp"

#if VEXO_HAS_VECTOR_KERNELS

#define VEXO_KERNEL_ISA "avx512f,popcnt"
#include "parallel/partition_vector.hpp"

namespace vexo {
namespace {

struct Avx512 {
    using type = __m512i;
    static constexpr std::size_t lanes = 8;
    static constexpr std::size_t unroll = 4;

    VEXO_KERNEL_TARGET static type broadcast(std::int64_t x) noexcept { return _mm512_set1_epi64(x); }
    VEXO_KERNEL_TARGET static type load(const std::int64_t* p) noexcept { return _mm512_loadu_si512(p); }
    VEXO_KERNEL_TARGET static void store(std::int64_t* p, type v) noexcept { _mm512_storeu_si512(p, v); }
    VEXO_KERNEL_TARGET static unsigned less_mask(type v, type pivots) noexcept { return _mm512_cmpgt_epi64_mask(pivots, v); }
    // Masks as std::uint8_t, which both __mmask8 and SIMDe's emulation of it are.
    VEXO_KERNEL_TARGET static type arrange(type v, unsigned mask) noexcept {
        const auto less = static_cast<std::uint8_t>(mask);
        const auto above_less = static_cast<std::uint8_t>(0xFFU << __builtin_popcount(mask));
        return _mm512_mask_expand_epi64(_mm512_maskz_compress_epi64(less, v), above_less, _mm512_maskz_compress_epi64(static_cast<std::uint8_t>(~less), v));
    }
};

}  // namespace

std::size_t partition_less_avx512(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return vector_partition::partition_less<Avx512>(d, n, pivot);
}

}  // namespace vexo

#endif  // VEXO_HAS_VECTOR_KERNELS
