// The lane traits of AVX2, four 64-bit lanes a vector, for both of its units: what the
// partition (partition_vector.hpp) and the merge and the sort in registers
// (merge_vector.hpp) ask of a vector.
// Included by those units only, before the generic headers: it names their target.
//
// AVX2 has no compress instruction, so the partition arranges a vector by a lane
// permutation looked up from its four-bit comparison mask; and it has no 64-bit min or
// max, so each level of the merge's network compares once and blends twice.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/lane_arrangement.hpp"

#define VEXO_KERNEL_ISA "avx2,popcnt"
#include "kernels/vector_target.hpp"

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
        for_each_arranged_lane<4>(mask, [&](unsigned position, unsigned lane) {
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

    // --- The partition's ---
    static constexpr std::size_t unroll = 8;
    VEXO_KERNEL_TARGET static unsigned less_mask(type v, type pivots) noexcept {
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(pivots, v))));
    }
    VEXO_KERNEL_TARGET static type arrange(type v, unsigned mask) noexcept {
        return _mm256_permutevar8x32_epi32(v, _mm256_load_si256(reinterpret_cast<const __m256i*>(permutation.index[mask])));
    }

    // --- The merge's ---
    // Runs of up to 32 merge in registers. The 16 vectors of two such runs spill some of
    // the 16 registers, and still cost less than the scalar loop, whose short merges are
    // mostly set-up: 1.3 and 1.4 against 2.0 ns an element at 16 and 32 (an Intel Xeon,
    // Sapphire Rapids, running AVX2).
    static constexpr int registers_merged = 8;
    // Longer runs take the scalar kernel: with a compare and two blends for each min and
    // max, a block merge step costs more than the scalar loop's chains (1.0 against 0.8 ns
    // an element at 10^3 to 10^6 on an AMD EPYC, Zen 4, running AVX2; 1.3 to 1.6 times the
    // scalar loop's time at 16 to 2^19 on the Intel Xeon).
    static constexpr bool streams = false;
    // A masked load is two operations and slower to forward a store to: whole vectors
    // load plainly (5 to 20 % off the merges of up to 32 on the Intel Xeon).
    static constexpr bool cheap_masked_loads = false;
    VEXO_KERNEL_TARGET static type load_padded(const std::int64_t* p, std::size_t count) noexcept {
        const type lanes = first_lanes(count);
        return _mm256_blendv_epi8(_mm256_set1_epi64x(INT64_MAX), _mm256_maskload_epi64(reinterpret_cast<const long long*>(p), lanes),
                                  lanes);
    }
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

    // --- The sort in registers's (sort_in_registers, for the insertion sort) ---
    // Sorts the four lanes: neighbours meet, the first pair keeping its smaller one in
    // front and the second its larger, which leaves the vector bitonic.
    VEXO_KERNEL_TARGET static type sort_lanes(type v) noexcept {
        return sort_bitonic(exchange<0x3C>(v, _mm256_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2))));
    }
};

}  // namespace
}  // namespace vexo
