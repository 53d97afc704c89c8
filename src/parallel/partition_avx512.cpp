// The AVX-512 partition kernel: eight lanes per vector, four vectors per batch. A vector
// is arranged with compress (the < lanes, packed low) and expand (the others, packed into
// the lanes above them), both in registers: compressing straight to memory is much
// slower on some CPUs.
#include "parallel/partition.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#define VEXO_KERNEL_TARGET __attribute__((target("avx512f,popcnt")))
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
    VEXO_KERNEL_TARGET static unsigned less_mask(type v, type pivots) noexcept { return _mm512_cmplt_epi64_mask(v, pivots); }
    VEXO_KERNEL_TARGET static type arrange(type v, unsigned mask) noexcept {
        const auto less = static_cast<__mmask8>(mask);
        const auto above_less = static_cast<__mmask8>(0xFFU << __builtin_popcount(mask));
        return _mm512_mask_expand_epi64(_mm512_maskz_compress_epi64(less, v), above_less, _mm512_maskz_compress_epi64(static_cast<__mmask8>(~less), v));
    }
};

}  // namespace

std::size_t partition_less_avx512(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return vector_partition::partition_less<Avx512>(d, n, pivot);
}

}  // namespace vexo

#endif  // __x86_64__
