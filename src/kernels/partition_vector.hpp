// The vectorised partition, written once over a small vector interface and instantiated
// by each instruction-set unit (partition_avx2.cpp, partition_avx512.cpp) over its lane
// traits (lanes_avx2.hpp, lanes_avx512.hpp), with their target attribute. Only those
// units include this header; it uses no standard-library function, so nothing compiled
// here for a wider instruction set can be shared with (and picked by the linker for)
// baseline code.
//
// Vec provides: `type`, `lanes`, `unroll`, `broadcast`, `load`, `store` (unaligned),
// `load_first` and `store_first` (the lanes below a count, touching no memory above it),
// `less_mask` (bit i set when lane i < pivot) and `arrange` (the lanes whose bit is set
// first, in order, then the others).
//
// A unit includes its lane traits, which define VEXO_KERNEL_ISA, before this header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/assert.hpp"
#include "kernels/kernels.hpp"
#include "kernels/vector_target.hpp"

namespace vexo::vector_partition {

// Whether the lanes of one vector, with comparison mask `less` (bit i set when lane i is
// < pivot), break the order of a partitioned range: they do when the set bits are not a
// run of low bits, or when any is set after an element >= pivot came before the vector.
// Branch-free, so a kernel can fold it over all its vectors.
constexpr unsigned out_of_order(unsigned less, bool above_seen) noexcept { return (less & (less + 1)) | (less * above_seen); }

// Sends each of buffer[0, count) to the front (< pivot) or the back, into the free
// positions [front, back) of d, without branching on the comparison: the element is
// written to both ends and only the matching end advances. Each write lands on a free
// position (back - front never falls below the elements still to place), so a stray copy
// is overwritten later or sits where the other side ends. (A template on Vec only so that
// each instruction-set unit gets its own private copy.)
template <class Vec>
VEXO_KERNEL_TARGET inline void distribute(std::int64_t* d, std::size_t& front, std::size_t& back, const std::int64_t* buffer,
                                          std::size_t count, std::int64_t pivot) noexcept {
    VEXO_ASSERT(back - front == count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t x = buffer[i];
        const bool less = x < pivot;
        d[front] = x;
        d[back - 1] = x;
        front += less;
        back -= !less;
    }
}

// Arranges vector v (< pivot lanes first) and stores it whole at both ends; the front
// keeps its < lanes and the back its >= lanes, the surplus lanes of each store falling on
// free positions. Needs `lanes` free positions at each end.
template <class Vec>
VEXO_KERNEL_TARGET inline void place(std::int64_t* d, std::size_t& front, std::size_t& back, typename Vec::type v,
                                     typename Vec::type pivots) noexcept {
    static_assert(Vec::lanes <= sizeof(unsigned) * 8, "less_mask has one bit per lane");
    const unsigned mask = Vec::less_mask(v, pivots);
    const auto less = static_cast<std::size_t>(__builtin_popcount(mask));
    const typename Vec::type arranged = Vec::arrange(v, mask);
    Vec::store(d + front, arranged);
    Vec::store(d + back - Vec::lanes, arranged);
    front += less;
    back -= Vec::lanes - less;
}

// Copies from[0, count) to to[0, count): whole vectors, then a masked one for the rest
// (a loop over the last few elements would mispredict its exit on every call). Reads up
// to a vector past from[count).
template <class Vec>
VEXO_KERNEL_TARGET inline void copy(std::int64_t* to, const std::int64_t* from, std::size_t count) noexcept {
    std::size_t i = 0;
    for (; i + Vec::lanes <= count; i += Vec::lanes) Vec::store(to + i, Vec::load(from + i));
    Vec::store_first(to + i, Vec::load(from + i), count - i);
}

// In place with slack at each end: the first and last `batch` elements (batch = `unroll`
// vectors) are held aside, which leaves `batch` free positions at the front and at the
// back. Each step reads from the end with less free room, so that afterwards both ends
// have room for whole-vector stores (`place`); the free room stays 2 * batch in total, so
// the reads never run into the writes. Once less than a batch is unread, the rest goes a
// vector at a time by the same rule, and the held ones with the last few a vector at a
// time too, then the last fewer than two vectors' worth one by one (`distribute`). Needs
// n >= 2 * batch.
template <class Vec, std::size_t unroll>
VEXO_KERNEL_TARGET std::size_t partition_in_batches(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    constexpr std::size_t lanes = Vec::lanes;
    constexpr std::size_t batch = lanes * unroll;
    const typename Vec::type pivots = Vec::broadcast(pivot);
    std::int64_t held[2 * batch + lanes];  // the two held batches, then the unread rest
    for (std::size_t i = 0; i < batch; i += lanes) {
        Vec::store(held + i, Vec::load(d + i));
        Vec::store(held + batch + i, Vec::load(d + n - batch + i));
    }

    std::size_t front = 0;           // d[0, front) < pivot
    std::size_t back = n;            // d[back, n) >= pivot
    std::size_t read_front = batch;  // d[read_front, read_back) is still unread
    std::size_t read_back = n - batch;
    // Which end has less free room depends on the data: chosen with conditional moves,
    // as a branch here mispredicts often on random input.
    const auto next_source = [&](std::size_t count) VEXO_KERNEL_TARGET {
        const bool from_front = read_front - front <= back - read_back;
        const std::size_t at = from_front ? read_front : read_back - count;
        read_front += from_front ? count : 0;
        read_back -= from_front ? 0 : count;
        return d + at;
    };
    // The free room: 2 * batch positions outside the unread part, with room for one whole
    // vector at each end whenever a vector is placed.
    const auto free_room_holds = [&](std::size_t read_ahead) VEXO_KERNEL_TARGET {
        return (read_front - front) + (back - read_back) == 2 * batch + read_ahead && read_front - front >= lanes &&
               back - read_back >= lanes;
    };
    while (read_back - read_front >= batch) {
        const std::int64_t* source = next_source(batch);
        // All loads before any store: the stores may reach into the batch just read.
        typename Vec::type v[unroll];
        for (std::size_t u = 0; u < unroll; ++u) v[u] = Vec::load(source + u * lanes);
        for (std::size_t u = 0; u < unroll; ++u) {
            VEXO_ASSERT(free_room_holds((unroll - u) * lanes));
            place<Vec>(d, front, back, v[u], pivots);
        }
    }
    while (read_back - read_front >= lanes) {
        const typename Vec::type v = Vec::load(next_source(lanes));
        VEXO_ASSERT(free_room_holds(lanes));
        place<Vec>(d, front, back, v, pivots);
    }

    // Now d holds nothing unread but the rest, which joins the held elements; the free
    // room [front, back) is exactly their number, so whole vectors can be placed while
    // two vectors' worth remains (the two stores of `place` then cannot overlap).
    const std::size_t rest = read_back - read_front;
    for (std::size_t i = 0; i < rest; ++i) held[2 * batch + i] = d[read_front + i];
    const std::size_t count = 2 * batch + rest;
    std::size_t i = 0;
    for (; count - i >= 2 * lanes; i += lanes) place<Vec>(d, front, back, Vec::load(held + i), pivots);
    distribute<Vec>(d, front, back, held + i, count - i, pivot);
    return front;
}

// KernelSet::short_partition, a vector at a time: each vector is arranged twice, its <
// lanes first for the `below` buffer and its >= lanes first for `above`, and stored whole
// to both (the surplus lanes fall behind each buffer's end, where the next store
// overwrites them); the last few elements make a masked vector of their own, then both
// buffers are copied back. Each comparison mask also tells whether its lanes kept the
// order of a partitioned range (`out_of_order`).
template <class Vec>
VEXO_KERNEL_TARGET ShortPartition partition_short(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    constexpr std::size_t lanes = Vec::lanes;
    constexpr unsigned all_lanes = (1U << lanes) - 1;
    VEXO_ASSERT(n <= max_short_partition);
    const typename Vec::type pivots = Vec::broadcast(pivot);
    std::int64_t below[max_short_partition + lanes];
    std::int64_t above[max_short_partition + lanes];
    std::size_t count_below = 0;
    std::size_t count_above = 0;
    unsigned misplaced = 0;  // nonzero once an element < pivot came after one >= pivot
    // One vector of `valid` lanes: only those count, on either side.
    const auto partition_vector = [&](typename Vec::type v, unsigned valid) VEXO_KERNEL_TARGET {
        const unsigned mask = Vec::less_mask(v, pivots) & valid;
        const unsigned mask_above = ~mask & valid;
        Vec::store(below + count_below, Vec::arrange(v, mask));
        Vec::store(above + count_above, Vec::arrange(v, mask_above));
        misplaced |= out_of_order(mask, count_above != 0);
        count_below += static_cast<std::size_t>(__builtin_popcount(mask));
        count_above += static_cast<std::size_t>(__builtin_popcount(mask_above));
    };
    std::size_t read = 0;
    for (; read + lanes <= n; read += lanes) partition_vector(Vec::load(d + read), all_lanes);
    partition_vector(Vec::load_first(d + read, n - read), (1U << (n - read)) - 1);
    copy<Vec>(d, below, count_below);
    copy<Vec>(d + count_below, above, count_above);
    return {count_below, misplaced == 0};
}

// KernelSet::partition. Short ranges go through the short partition; longer ones in
// place, in batches of `Vec::unroll` vectors, whose independent loads and compares keep
// the core busy.
template <class Vec>
VEXO_KERNEL_TARGET std::size_t partition_less(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    static_assert(max_short_partition >= 2 * Vec::lanes * Vec::unroll, "ranges too short for whole batches take the short partition");
    if (n <= max_short_partition) return partition_short<Vec>(d, n, pivot).less;
    return partition_in_batches<Vec, Vec::unroll>(d, n, pivot);
}

}  // namespace vexo::vector_partition
