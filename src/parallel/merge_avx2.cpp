// The AVX2 merge kernel: runs of up to eight elements merged whole in registers, by a
// bitonic network; longer ones by the scalar kernel. AVX2 has no 64-bit min or max: each
// level of the network compares once and blends twice.
#include "parallel/kernels.hpp"

#if VEXO_HAS_VECTOR_KERNELS

#define VEXO_KERNEL_ISA "avx2"
#include "parallel/merge_vector.hpp"

namespace vexo {
namespace {

struct Avx2Merge {
    using type = __m256i;
    static constexpr std::size_t lanes = 4;

    VEXO_KERNEL_TARGET static void store(std::int64_t* p, type v) noexcept { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    // All ones in the lanes below `count`, the lanes that the masked moves touch.
    VEXO_KERNEL_TARGET static type first(std::size_t count) noexcept {
        return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(count)), _mm256_set_epi64x(3, 2, 1, 0));
    }
    VEXO_KERNEL_TARGET static type load_padded(const std::int64_t* p, std::size_t count) noexcept {
        const type lanes = first(count);
        return _mm256_blendv_epi8(_mm256_set1_epi64x(INT64_MAX), _mm256_maskload_epi64(reinterpret_cast<const long long*>(p), lanes),
                                  lanes);
    }
    VEXO_KERNEL_TARGET static void store_first(std::int64_t* p, type v, std::size_t count) noexcept {
        _mm256_maskstore_epi64(reinterpret_cast<long long*>(p), first(count), v);
    }

    static constexpr int registers_merged = 2;  // runs of up to 8; 4 would spill 16 registers
    // Longer runs take the scalar kernel: with a compare and two blends for each min and
    // max, a block merge step costs more than the scalar loop's chains (1.0 against 0.8 ns
    // an element at 10^3 to 10^6 on an AMD EPYC, Zen 4, running AVX2).
    static constexpr bool streams = false;
    // One compare serves both blends.
    VEXO_KERNEL_TARGET static void order(type& a, type& b) noexcept {
        const type greater = _mm256_cmpgt_epi64(a, b);
        const type low = _mm256_blendv_epi8(a, b, greater);
        b = _mm256_blendv_epi8(b, a, greater);
        a = low;
    }
    VEXO_KERNEL_TARGET static type reverse(type v) noexcept { return _mm256_permute4x64_epi64(v, _MM_SHUFFLE(0, 1, 2, 3)); }

    // One level of the network: each lane meets the lane `partner` brought to it; the
    // 32-bit lanes that `upper` names keep the larger of the two, the others the smaller.
    template <int upper>
    VEXO_KERNEL_TARGET static type exchange(type v, type partner) noexcept {
        const type greater = _mm256_cmpgt_epi64(v, partner);
        const type smaller = _mm256_blendv_epi8(v, partner, greater);
        const type larger = _mm256_blendv_epi8(partner, v, greater);
        return _mm256_blend_epi32(smaller, larger, upper);
    }

    // Sorts a bitonic vector: lanes two apart meet, then one.
    VEXO_KERNEL_TARGET static type sort_bitonic(type v) noexcept {
        v = exchange<0xF0>(v, _mm256_permute4x64_epi64(v, _MM_SHUFFLE(1, 0, 3, 2)));
        return exchange<0xCC>(v, _mm256_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    }
};

}  // namespace

void kernel_units::avx2_merge(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r,
                              std::int64_t* out) noexcept {
    vector_merge::merge<Avx2Merge>(left, l, right, r, out);
}

}  // namespace vexo

#endif  // VEXO_HAS_VECTOR_KERNELS
