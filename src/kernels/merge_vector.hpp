// The vectorised two-run merge, written once over a small vector interface and
// instantiated by each instruction-set unit (merge_avx2.cpp, merge_avx512.cpp) over its
// lane traits (lanes_avx2.hpp, lanes_avx512.hpp), with their target attribute.
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
// Vec provides: `type`, `lanes`, `registers_merged` (the most vectors a run may fill to
// be merged whole in registers: 2, 4 or 8) and `streams` (whether longer runs take block
// merges, or the scalar kernel where that is faster); `store` (unaligned), `load_padded(p,
// count)` (the lanes below count from p, the largest int64 value in the others, touching
// no memory above p + count) and `store_first(p, v, count)` (the lanes below count,
// touching no memory above p + count); `order(a, b)` (the lane-wise minimums into a and
// maximums into b), `reverse` (the lanes in reverse order), `sort_bitonic` (a bitonic
// vector in ascending order), `load` (unaligned) and `cheap_masked_loads` (whether a
// masked load costs what a plain one does, or whole vectors are better loaded plainly and
// only the last one masked). Where it streams, also `any_above(v, x, count)` (whether a
// lane below count holds more than x); for sort_in_registers, `sort_lanes` (the lanes of
// one vector in ascending order).
//
// A unit includes its lane traits, which define VEXO_KERNEL_ISA, before this header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/merge_scalar.hpp"
#include "kernels/units.hpp"
#include "kernels/vector_target.hpp"

namespace vexo::vector_merge {

// The vector of a run of `length` elements that starts `first` elements in, padded with
// the largest value past the run's end; reads nothing outside the run.
template <class Vec>
VEXO_KERNEL_TARGET inline typename Vec::type padded_vector(const std::int64_t* run, std::ptrdiff_t length, std::ptrdiff_t first) noexcept {
    const std::ptrdiff_t rest = length - first;
    const std::ptrdiff_t count = rest < 0 ? 0 : (rest > std::ptrdiff_t{Vec::lanes} ? std::ptrdiff_t{Vec::lanes} : rest);
    return Vec::load_padded(run + (rest < 0 ? length : first), static_cast<std::size_t>(count));
}

// Stores the first `count` lanes of v (all of them from `lanes` on). A masked store costs
// more than a whole one on some CPUs (AMD's Zen 4 among them), so only a short tail
// takes it.
template <class Vec>
VEXO_KERNEL_TARGET inline void store_lanes(std::int64_t* to, typename Vec::type v, std::ptrdiff_t count) noexcept {
    if (count >= std::ptrdiff_t{Vec::lanes}) {
        Vec::store(to, v);
    } else {
        Vec::store_first(to, v, static_cast<std::size_t>(count));
    }
}

// Merges the ascending vectors `high` and `block`: the lower half of their elements is
// returned and the upper half left in `high`, each ascending. `high` against `block`
// reversed is bitonic; the lane-wise minimums are its lower half and the maximums its
// upper half, each bitonic again.
template <class Vec>
VEXO_KERNEL_TARGET inline typename Vec::type merge_vectors(typename Vec::type& high, typename Vec::type block) noexcept {
    auto low = Vec::reverse(block);
    Vec::order(low, high);
    high = Vec::sort_bitonic(high);
    return Vec::sort_bitonic(low);
}

// One merge from the fronts of the runs, `lanes` elements a step. While both runs have a
// whole vector unread, a step reads one with no check. The ends take checked steps: a run
// reads as if it went on with the largest int64 value for ever (its last vector padded
// with it, and nothing read past its end), and steps go on until every element is placed,
// the last storing only the lanes that remain. Those stand-ins sort behind every element,
// and where the runs hold the largest value too, one of it is as good as another, so the
// first l + r elements of the padded merge are the merge of the runs.
template <class Vec>
struct BlockMerge {
    using type = typename Vec::type;
    static constexpr std::ptrdiff_t lanes = Vec::lanes;
    static constexpr std::int64_t beyond = INT64_MAX;  // what a run reads past its end

    const std::int64_t* left;
    std::ptrdiff_t l;
    const std::int64_t* right;
    std::ptrdiff_t r;
    std::int64_t* out;
    type high;
    std::ptrdiff_t i;           // left elements read (past l once its padded vector is)
    std::ptrdiff_t j = 0;       // right elements read
    std::ptrdiff_t placed = 0;  // elements stored

    VEXO_KERNEL_TARGET BlockMerge(const std::int64_t* left_run, std::size_t l_length, const std::int64_t* right_run, std::size_t r_length,
                                  std::int64_t* to) noexcept
        : left(left_run),
          l(static_cast<std::ptrdiff_t>(l_length)),
          right(right_run),
          r(static_cast<std::ptrdiff_t>(r_length)),
          out(to),
          high(padded_vector<Vec>(left, l, 0)),
          i(lanes) {}

    // A run's next element, or the padding past its end.
    VEXO_KERNEL_TARGET static std::int64_t next(const std::int64_t* run, std::ptrdiff_t length, std::ptrdiff_t read) noexcept {
        static constexpr std::int64_t padding = beyond;
        return *(read < length ? run + read : &padding);
    }

    // Steps that cannot run out of either run: each reads one vector of one of them.
    VEXO_KERNEL_TARGET std::ptrdiff_t safe_steps() const noexcept {
        const std::ptrdiff_t room = l - i < r - j ? l - i : r - j;
        return room < lanes ? 0 : room / lanes;
    }

    // Needs safe_steps() > 0. The run is picked by a select, not a branch: which run feeds
    // the next block of random runs is a coin toss.
    VEXO_KERNEL_TARGET void step() noexcept {
        const bool from_right = right[j] < left[i];
        const std::int64_t* const block = from_right ? right + j : left + i;
        j += from_right ? lanes : 0;
        i += from_right ? 0 : lanes;
        Vec::store(out + placed, merge_vectors<Vec>(high, Vec::load(block)));
        placed += lanes;
    }

    // Needs placed < l + r.
    VEXO_KERNEL_TARGET void checked_step() noexcept {
        const bool from_right = next(right, r, j) < next(left, l, i);
        const type block = padded_vector<Vec>(from_right ? right : left, from_right ? r : l, from_right ? j : i);
        j += from_right ? lanes : 0;
        i += from_right ? 0 : lanes;
        store_lanes<Vec>(out + placed, merge_vectors<Vec>(high, block), l + r - placed);
        placed += lanes;
    }

    // Once a run is read to its end, what remains is the real elements `high` holds and the
    // rest of the other run. If that rest starts no lower than the largest of them, they
    // are the next elements and the rest follows as it is: both are copied, and true is
    // returned. Input whose runs meet at one place, such as sorted or reversed input,
    // then merges at the speed of a copy.
    VEXO_KERNEL_TARGET bool placed_as_they_are() noexcept {
        const bool left_read = i >= l;
        const std::int64_t* const run = left_read ? right : left;
        const std::ptrdiff_t length = left_read ? r : l;
        const std::ptrdiff_t first = left_read ? j : i;
        const std::ptrdiff_t unread = first < length ? length - first : 0;
        const std::ptrdiff_t held = l + r - placed - unread;  // the real elements `high` holds
        if (unread > 0 && Vec::any_above(high, run[first], static_cast<std::size_t>(held))) return false;
        store_lanes<Vec>(out + placed, high, held);
        if (unread > 0) __builtin_memcpy(out + placed + held, run + first, static_cast<std::size_t>(unread) * sizeof(std::int64_t));
        placed = l + r;
        return true;
    }

    // Steps as far as the runs allow unchecked, then places the rest.
    VEXO_KERNEL_TARGET void finish() noexcept {
        for (auto steps = safe_steps(); steps > 0; steps = safe_steps()) {
            for (auto s = steps; s > 0; --s) step();
        }
        // The copy is tried once, when the first run has been read: on random runs it
        // rarely applies, and a try on every step would be a branch that mispredicts.
        while (placed < l + r && i < l && j < r) checked_step();
        if (placed < l + r && placed_as_they_are()) return;
        while (placed < l + r) checked_step();
    }
};

// Short runs are merged whole in registers: each run of up to R vectors is loaded (padded
// with the largest value, as the checked steps read), the left run followed by the right
// one reversed is bitonic, and one bitonic sorter over all 2R vectors leaves the merge in
// order. Its levels order lane-wise the vectors R/2, ..., 1 apart, then
// Vec::sort_bitonic within each vector. That costs fewer operations an element than the
// steps of a block merge up to R = 8, and no step waits on the one before.
template <class Vec, int R>
VEXO_KERNEL_TARGET inline void sort_bitonic_vectors(typename Vec::type* v) noexcept {
    for (int apart = R / 2; apart >= 1; apart /= 2) {
        for (int k = 0; k < R; ++k) {
            if ((k & apart) == 0) Vec::order(v[k], v[k + apart]);
        }
    }
    for (int k = 0; k < R; ++k) v[k] = Vec::sort_bitonic(v[k]);
}

// Merges the ascending runs of R vectors each in low[0, R) and high[0, R): the lower half
// of the merge is left in `low`, the upper half in `high`, each in order.
template <class Vec, int R>
VEXO_KERNEL_TARGET inline void merge_vector_runs(typename Vec::type* low, typename Vec::type* high) noexcept {
    typename Vec::type reversed[R];
    for (int k = 0; k < R; ++k) reversed[k] = Vec::reverse(high[R - 1 - k]);
    for (int k = 0; k < R; ++k) {
        high[k] = reversed[k];
        Vec::order(low[k], high[k]);
    }
    sort_bitonic_vectors<Vec, R>(low);
    sort_bitonic_vectors<Vec, R>(high);
}

// Loads d[0, n) into R vectors, padded past its end with the largest value; stores them
// back, as far as d[0, n) goes.
template <class Vec, int R>
VEXO_KERNEL_TARGET inline void load_vectors(typename Vec::type* v, const std::int64_t* d, std::ptrdiff_t n) noexcept {
    for (int k = 0; k < R; ++k) {
        const std::ptrdiff_t first = k * std::ptrdiff_t{Vec::lanes};
        if constexpr (Vec::cheap_masked_loads) {
            v[k] = padded_vector<Vec>(d, n, first);
        } else {
            v[k] = first + std::ptrdiff_t{Vec::lanes} <= n ? Vec::load(d + first) : padded_vector<Vec>(d, n, first);
        }
    }
}
template <class Vec, int R>
VEXO_KERNEL_TARGET inline void store_vectors(std::int64_t* d, const typename Vec::type* v, std::ptrdiff_t n) noexcept {
    for (int k = 0; k < R && k * std::ptrdiff_t{Vec::lanes} < n; ++k) {
        store_lanes<Vec>(d + k * std::ptrdiff_t{Vec::lanes}, v[k], n - k * std::ptrdiff_t{Vec::lanes});
    }
}

// Needs l <= R * lanes and r <= R * lanes.
template <class Vec, int R>
VEXO_KERNEL_TARGET void merge_in_registers(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r,
                                           std::int64_t* out) noexcept {
    typename Vec::type merged[2 * R];
    load_vectors<Vec, R>(merged, left, static_cast<std::ptrdiff_t>(l));
    load_vectors<Vec, R>(merged + R, right, static_cast<std::ptrdiff_t>(r));
    merge_vector_runs<Vec, R>(merged, merged + R);
    store_vectors<Vec, 2 * R>(out, merged, static_cast<std::ptrdiff_t>(l + r));
}

// Sorts v[0, R) as one ascending sequence (R a power of two): each vector's lanes by
// Vec::sort_lanes, then runs of 1, 2, ... vectors merged pairwise. A merge sort of
// networks: no comparison waits on a branch, and the vectors of one level are
// independent.
template <class Vec, int R>
VEXO_KERNEL_TARGET inline void sort_vectors(typename Vec::type* v) noexcept {
    if constexpr (R == 1) {
        v[0] = Vec::sort_lanes(v[0]);
    } else {
        sort_vectors<Vec, R / 2>(v);
        sort_vectors<Vec, R / 2>(v + R / 2);
        merge_vector_runs<Vec, R / 2>(v, v + R / 2);
    }
}

// Sorts d[0, n) in R vectors (n <= R * lanes), padded with the largest value: a sort in
// registers for the short ranges the sorts finish with insertion sort.
template <class Vec, int R>
VEXO_KERNEL_TARGET void sort_in_registers(std::int64_t* d, std::size_t n) noexcept {
    typename Vec::type v[R];
    load_vectors<Vec, R>(v, d, static_cast<std::ptrdiff_t>(n));
    sort_vectors<Vec, R>(v);
    store_vectors<Vec, R>(d, v, static_cast<std::ptrdiff_t>(n));
}

// merge_in_registers with the fewest vectors, R or more, that hold each run. Needs
// l <= registers_merged * lanes and r <= registers_merged * lanes.
template <class Vec, int R>
VEXO_KERNEL_TARGET void merge_in_fewest_registers(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r,
                                                  std::int64_t* out) noexcept {
    if constexpr (R < Vec::registers_merged) {
        if (l > R * Vec::lanes || r > R * Vec::lanes) return merge_in_fewest_registers<Vec, 2 * R>(left, l, right, r, out);
    }
    merge_in_registers<Vec, R>(left, l, right, r, out);
}

// Merges below this many elements in all run as one block merge; longer ones are cut in
// two at the middle of the output, and the halves step side by side.
inline constexpr std::size_t two_merges_from = 128;

// Block merges: one below two_merges_from elements, two side by side from there on.
template <class Vec>
VEXO_KERNEL_TARGET void merge_blocks(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r,
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

// The kernel: merges the sorted runs left[0, l) and right[0, r) into out[0, l + r); any
// lengths; `out` overlaps neither run.
template <class Vec>
VEXO_KERNEL_TARGET void merge(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r,
                              std::int64_t* out) noexcept {
    if (l <= Vec::registers_merged * Vec::lanes && r <= Vec::registers_merged * Vec::lanes) {
        return merge_in_fewest_registers<Vec, 1>(left, l, right, r, out);
    }
    if constexpr (Vec::streams) {
        merge_blocks<Vec>(left, l, right, r, out);
    } else {
        kernel_units::scalar::merge(left, l, right, r, out);
    }
}

}  // namespace vexo::vector_merge
