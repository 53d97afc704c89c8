// The vectorised two-run merge, written once over a small vector interface and
// instantiated by each instruction-set unit (merge_avx2.cpp, merge_avx512.cpp) with its
// own target attribute.
//
// A merge of two sorted runs in registers (the merge of Inoue's AA-sort and of Chhugani
// et al.'s SIMD merge sort): one vector, `high`, holds the largest `lanes` elements read
// so far, in order. Each step loads the next `lanes` elements of the run whose next
// element is smaller, merges them with `high` in a bitonic network, stores the lower half
// and keeps the upper half as the new `high`. The lower half may be placed because every
// element still unread is at least as large as each of it: those of the run just read are
// not below the block read, which alone has `lanes` elements; those of the other run are
// not below its next element, which was not below the block's first element, and every
// element `high` held was read before either next element and so is not above it.
//
// One network step is a chain of four dependent levels, so a long merge is cut at the
// middle of its output (the co-ranking of merge-path partitioning, as the scalar merge
// does) and its two halves step side by side in one loop.
//
// Vec provides: `type`, `lanes`, `load`, `store` (unaligned) and `merge(high, block)`,
// which takes two ascending vectors, leaves the upper half of their elements ascending in
// `high` and returns the lower half ascending.
//
// A unit defines VEXO_KERNEL_ISA before including this header (see vector_target.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/merge_runs.hpp"
#include "parallel/kernels.hpp"
#include "parallel/vector_target.hpp"

namespace vexo::vector_merge {

// One merge from the fronts of the runs, `lanes` elements a step. Both runs need a whole
// vector to start with; a merge that lacks one is left to the scalar kernel whole.
template <class Vec>
struct BlockMerge {
    using type = typename Vec::type;
    static constexpr std::ptrdiff_t lanes = Vec::lanes;

    const std::int64_t* left;
    const std::int64_t* left_end;
    const std::int64_t* right;
    const std::int64_t* right_end;
    std::int64_t* out;
    type high;
    bool holds;  // whether `high` holds elements not yet placed

    VEXO_KERNEL_TARGET BlockMerge(const std::int64_t* left_run, std::size_t l, const std::int64_t* right_run, std::size_t r,
                                  std::int64_t* to) noexcept
        : left(left_run),
          left_end(left_run + l),
          right(right_run),
          right_end(right_run + r),
          out(to),
          high(),
          holds(l >= Vec::lanes && r >= Vec::lanes) {
        if (holds) {
            high = Vec::load(left);
            left += lanes;
        }
    }

    // Steps that cannot run out of either run: each reads one vector of one of them.
    VEXO_KERNEL_TARGET std::ptrdiff_t safe_steps() const noexcept {
        if (!holds) return 0;
        const std::ptrdiff_t room = left_end - left < right_end - right ? left_end - left : right_end - right;
        return room / lanes;
    }

    // Needs safe_steps() > 0. The run is picked by a select, not a branch: which run feeds
    // the next block of random runs is a coin toss.
    VEXO_KERNEL_TARGET void step() noexcept {
        const bool from_right = *right < *left;
        const std::int64_t* const block = from_right ? right : left;
        right += from_right ? lanes : 0;
        left += from_right ? 0 : lanes;
        Vec::store(out, Vec::merge(high, Vec::load(block)));
        out += lanes;
    }

    // Steps as far as the runs allow, then merges what is left of them and of `high`. At
    // least one run then has less than a vector left: it and `high` are merged into a
    // buffer first, and that buffer with the other run into place.
    VEXO_KERNEL_TARGET void finish() noexcept {
        for (auto steps = safe_steps(); steps > 0; steps = safe_steps()) {
            for (auto s = steps; s > 0; --s) step();
        }
        const std::size_t l = static_cast<std::size_t>(left_end - left);
        const std::size_t r = static_cast<std::size_t>(right_end - right);
        if (!holds) return kernel_units::scalar_merge(left, l, right, r, out);
        std::int64_t held[Vec::lanes];
        Vec::store(held, high);
        const bool left_short = l < Vec::lanes;
        std::int64_t front[2 * Vec::lanes];
        const std::size_t short_length = left_short ? l : r;
        kernel_units::scalar_merge(held, Vec::lanes, left_short ? left : right, short_length, front);
        kernel_units::scalar_merge(front, Vec::lanes + short_length, left_short ? right : left, left_short ? r : l, out);
    }
};

// Merges below this many elements in all run as one block merge; longer ones are cut in
// two at the middle of the output, and the halves step side by side.
inline constexpr std::size_t two_merges_from = 256;

// The kernel: merges the sorted runs left[0, l) and right[0, r) into out[0, l + r); any
// lengths; `out` overlaps neither run.
template <class Vec>
VEXO_KERNEL_TARGET void merge(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r,
                              std::int64_t* out) noexcept {
    if (l + r < two_merges_from) return BlockMerge<Vec>(left, l, right, r, out).finish();
    const std::size_t h = (l + r) / 2;
    const std::size_t i = left_share_of_prefix(left, l, right, r, h);
    BlockMerge<Vec> low(left, i, right, h - i, out);
    BlockMerge<Vec> upper(left + i, l - i, right + (h - i), r - (h - i), out + h);
    for (;;) {
        const auto low_steps = low.safe_steps();
        const auto upper_steps = upper.safe_steps();
        const auto steps = low_steps < upper_steps ? low_steps : upper_steps;
        if (steps == 0) break;
        for (auto s = steps; s > 0; --s) {
            low.step();
            upper.step();
        }
    }
    low.finish();
    upper.finish();
}

}  // namespace vexo::vector_merge
