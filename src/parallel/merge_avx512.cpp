// The AVX-512 merge kernel: eight elements a step, merged with the held eight in a
// bitonic network of four levels, each a lane permutation, a min and a masked max.
#include "parallel/kernels.hpp"

#if VEXO_HAS_VECTOR_KERNELS

#define VEXO_KERNEL_ISA "avx512f"
#include "parallel/merge_vector.hpp"

#include "parallel/avx512_emulation.hpp"

namespace vexo {
namespace {

struct Avx512Merge {
    using type = __m512i;
    static constexpr std::size_t lanes = 8;

    VEXO_KERNEL_TARGET static type load(const std::int64_t* p) noexcept { return _mm512_loadu_si512(p); }
    VEXO_KERNEL_TARGET static void store(std::int64_t* p, type v) noexcept { _mm512_storeu_si512(p, v); }
    VEXO_KERNEL_TARGET static __mmask8 first(std::size_t count) noexcept { return static_cast<__mmask8>(0xFFU >> (8 - count)); }
    VEXO_KERNEL_TARGET static type load_padded(const std::int64_t* p, std::size_t count) noexcept {
        return _mm512_mask_loadu_epi64(_mm512_set1_epi64(INT64_MAX), first(count), p);
    }
    VEXO_KERNEL_TARGET static bool any_above(type v, std::int64_t x, std::size_t count) noexcept {
        return (_mm512_cmpgt_epi64_mask(v, _mm512_set1_epi64(x)) & first(count)) != 0;
    }
    VEXO_KERNEL_TARGET static void store_first(std::int64_t* p, type v, std::size_t count) noexcept {
        _mm512_mask_storeu_epi64(p, first(count), v);
    }

    // One level of the network: each lane meets the lane `partner` brought to it; the
    // lanes `upper` names keep the larger of the two, the others the smaller.
    VEXO_KERNEL_TARGET static type exchange(type v, type partner, __mmask8 upper) noexcept {
        return _mm512_mask_max_epi64(_mm512_min_epi64(v, partner), upper, v, partner);
    }

    // Sorts a bitonic vector: lanes four apart meet, then two, then one.
    VEXO_KERNEL_TARGET static type sort_bitonic(type v) noexcept {
        v = exchange(v, _mm512_shuffle_i64x2(v, v, _MM_SHUFFLE(1, 0, 3, 2)), 0xF0);
        v = exchange(v, _mm512_permutex_epi64(v, _MM_SHUFFLE(1, 0, 3, 2)), 0xCC);
        return exchange(v, _mm512_shuffle_epi32(v, _MM_PERM_BADC), 0xAA);
    }

    static constexpr int registers_merged = 8;  // runs of up to 64 merge in 32 registers
    static constexpr bool streams = true;
    VEXO_KERNEL_TARGET static void order(type& a, type& b) noexcept {
        const type low = _mm512_min_epi64(a, b);
        b = _mm512_max_epi64(a, b);
        a = low;
    }
    VEXO_KERNEL_TARGET static type reverse(type v) noexcept {
        return _mm512_permutexvar_epi64(_mm512_set_epi64(0, 1, 2, 3, 4, 5, 6, 7), v);
    }
};

}  // namespace

void kernel_units::avx512_merge(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r,
                                std::int64_t* out) noexcept {
    vector_merge::merge<Avx512Merge>(left, l, right, r, out);
}

}  // namespace vexo

#endif  // VEXO_HAS_VECTOR_KERNELS
