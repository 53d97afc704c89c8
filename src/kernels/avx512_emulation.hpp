// Where SIMDe's emulation of AVX-512 falls short of the hardware, for the AVX-512 units'
// second build over it (VEXO_EMULATED_KERNELS); nothing in a native build. It has no
// valignq: the same lanes come from the pair (b low, a high) by a two-source permutation.
// Its masked loads and stores touch all eight lanes, while the hardware's leave the
// masked-off lanes' memory alone (and never fault there), which the kernels rely on at
// the ends of a range: lane by lane here. And it takes a shuffle control as a plain
// integer and names none of its values.
#pragma once

#if defined(VEXO_EMULATED_KERNELS)

#include <cstdint>

#include "kernels/vector_target.hpp"

#undef _mm512_maskz_loadu_epi64
#undef _mm512_mask_loadu_epi64
#undef _mm512_mask_storeu_epi64
#define _mm512_alignr_epi64(a, b, shift) vexo::emulated::alignr_epi64((a), (b), (shift))
#define _mm512_maskz_loadu_epi64(mask, from) vexo::emulated::mask_loadu_epi64(_mm512_setzero_si512(), (mask), (from))
#define _mm512_mask_loadu_epi64(fill, mask, from) vexo::emulated::mask_loadu_epi64((fill), (mask), (from))
#define _mm512_mask_storeu_epi64(to, mask, v) vexo::emulated::mask_storeu_epi64((to), (mask), (v))
#define _MM_PERM_BADC 0x4E

namespace vexo::emulated {
inline __m512i alignr_epi64(__m512i a, __m512i b, int shift) noexcept {
    std::int64_t index[8];
    for (int lane = 0; lane < 8; ++lane) index[lane] = lane + shift;
    return _mm512_permutex2var_epi64(b, _mm512_loadu_si512(index), a);
}
inline __m512i mask_loadu_epi64(__m512i fill, std::uint8_t mask, const std::int64_t* from) noexcept {
    std::int64_t lanes[8];
    _mm512_storeu_si512(lanes, fill);
    for (int lane = 0; lane < 8; ++lane) {
        if ((mask >> lane) & 1U) lanes[lane] = from[lane];
    }
    return _mm512_loadu_si512(lanes);
}
inline void mask_storeu_epi64(std::int64_t* to, std::uint8_t mask, __m512i v) noexcept {
    std::int64_t lanes[8];
    _mm512_storeu_si512(lanes, v);
    for (int lane = 0; lane < 8; ++lane) {
        if ((mask >> lane) & 1U) to[lane] = lanes[lane];
    }
}
}  // namespace vexo::emulated

#endif
