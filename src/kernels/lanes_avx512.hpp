// The lane traits of AVX-512, eight 64-bit lanes a vector, for both of its units: what
// the partition (partition_vector.hpp) and the merge (merge_vector.hpp) ask of a vector.
// Included by those units only, before the generic headers: it names their target. (Why
// `arrange` permutes by a table where the in-register partition compresses: at the top of
// partition_avx512.cpp.)
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/lane_arrangement.hpp"

#define VEXO_KERNEL_ISA "avx512f,popcnt"
#include "kernels/vector_target.hpp"

#include "kernels/avx512_emulation.hpp"

namespace vexo {
namespace {

// Masks are std::uint8_t, which both __mmask8 and SIMDe's emulation of it are.

// The lanes of register k (positions 8k to 8k + 7) that lie below position `end`.
VEXO_KERNEL_TARGET inline std::uint8_t lane_mask(std::size_t end, int k) noexcept {
    const std::size_t first = static_cast<std::size_t>(8 * k);
    if (end <= first) return 0;
    return end - first >= 8 ? static_cast<std::uint8_t>(0xFF) : static_cast<std::uint8_t>((1U << (end - first)) - 1);
}

// For each eight-bit comparison mask, the source lane of each destination lane that puts
// the lanes whose bit is set first (in order) and the others after them, four bits a lane.
struct ArrangementTable {
    std::uint64_t index[256];
};

constexpr ArrangementTable make_arrangement_table() {
    ArrangementTable table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        for_each_arranged_lane<8>(
            mask, [&](unsigned position, unsigned lane) { table.index[mask] |= std::uint64_t{lane} << (4 * position); });
    }
    return table;
}

constexpr ArrangementTable arrangement = make_arrangement_table();

struct Avx512 {
    using type = __m512i;
    static constexpr std::size_t lanes = 8;

    VEXO_KERNEL_TARGET static type broadcast(std::int64_t x) noexcept { return _mm512_set1_epi64(x); }
    VEXO_KERNEL_TARGET static type load(const std::int64_t* p) noexcept { return _mm512_loadu_si512(p); }
    VEXO_KERNEL_TARGET static void store(std::int64_t* p, type v) noexcept { _mm512_storeu_si512(p, v); }
    VEXO_KERNEL_TARGET static type load_first(const std::int64_t* p, std::size_t count) noexcept {
        return _mm512_maskz_loadu_epi64(lane_mask(count, 0), p);
    }
    VEXO_KERNEL_TARGET static void store_first(std::int64_t* p, type v, std::size_t count) noexcept {
        _mm512_mask_storeu_epi64(p, lane_mask(count, 0), v);
    }

    // --- The partition's ---
    static constexpr std::size_t unroll = 4;
    VEXO_KERNEL_TARGET static unsigned less_mask(type v, type pivots) noexcept { return _mm512_cmpgt_epi64_mask(pivots, v); }
    VEXO_KERNEL_TARGET static type arrange(type v, unsigned mask) noexcept {
        // Lane j's source index sits in bits 4j to 4j + 2 of the table entry; the
        // permutation reads only the low three bits of each 64-bit index.
        const __m512i shifts = _mm512_set_epi64(28, 24, 20, 16, 12, 8, 4, 0);
        return _mm512_permutexvar_epi64(_mm512_srlv_epi64(_mm512_set1_epi64(static_cast<std::int64_t>(arrangement.index[mask])), shifts),
                                        v);
    }

    // --- The merge's ---
    static constexpr int registers_merged = 8;  // runs of up to 64 merge in 32 registers
    static constexpr bool streams = true;
    // Masked loads cost what plain ones do; a choice between the two would be a branch
    // (6 to 16 % more time on the merges of up to 64 on an Intel Xeon, Sapphire Rapids).
    static constexpr bool cheap_masked_loads = true;
    // The lanes below `count`, for count <= 8: one shift, where lane_mask branches.
    VEXO_KERNEL_TARGET static __mmask8 first(std::size_t count) noexcept { return static_cast<__mmask8>(0xFFU >> (8 - count)); }
    VEXO_KERNEL_TARGET static type load_padded(const std::int64_t* p, std::size_t count) noexcept {
        return _mm512_mask_loadu_epi64(_mm512_set1_epi64(INT64_MAX), first(count), p);
    }
    VEXO_KERNEL_TARGET static bool any_above(type v, std::int64_t x, std::size_t count) noexcept {
        return (_mm512_cmpgt_epi64_mask(v, _mm512_set1_epi64(x)) & first(count)) != 0;
    }
    VEXO_KERNEL_TARGET static void order(type& a, type& b) noexcept {
        const type low = _mm512_min_epi64(a, b);
        b = _mm512_max_epi64(a, b);
        a = low;
    }
    VEXO_KERNEL_TARGET static type reverse(type v) noexcept {
        return _mm512_permutexvar_epi64(_mm512_set_epi64(0, 1, 2, 3, 4, 5, 6, 7), v);
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
};

}  // namespace
}  // namespace vexo
