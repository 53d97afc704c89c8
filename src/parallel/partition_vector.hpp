// The vectorised partition, written once over a small vector interface and instantiated
// by each instruction-set unit (partition_avx2.cpp, partition_avx512.cpp) with its own
// target attribute. Only those units include this header, after defining
// VEXO_KERNEL_TARGET; it uses no standard-library function, so nothing compiled here for
// a wider instruction set can be shared with (and picked by the linker for) baseline code.
//
// Vec provides: `type`, `lanes`, `unroll`, `broadcast`, `load`, `store` (unaligned),
// `less_mask` (bit i set when lane i < pivot) and `arrange` (the lanes whose bit is set
// first, in order, then the others).
#pragma once

#include <cstddef>
#include <cstdint>

#include "parallel/partition.hpp"

#ifndef VEXO_KERNEL_TARGET
#error "define VEXO_KERNEL_TARGET before including partition_vector.hpp"
#endif

namespace vexo::vector_partition {

// Sends each of buffer[0, count) to the front (< pivot) or the back, into the free
// positions [front, back) of d, without branching on the comparison: the element is
// written to both ends and only the matching end advances. Each write lands on a free
// position (back - front never falls below the elements still to place), so a stray copy
// is overwritten later or sits where the other side ends. (A template on Vec only so that
// each instruction-set unit gets its own private copy.)
template <class Vec>
VEXO_KERNEL_TARGET inline void distribute(std::int64_t* d, std::size_t& front, std::size_t& back, const std::int64_t* buffer, std::size_t count,
                                          std::int64_t pivot) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t x = buffer[i];
        const bool less = x < pivot;
        d[front] = x;
        d[back - 1] = x;
        front += less;
        back -= !less;
    }
}

// The kernel contract of partition.hpp.
//
// In place with a vector's worth of slack at each end: the first and last `batch`
// elements are held in registers, which leaves `batch` free positions at the front and at
// the back. Each step reads a batch from the end with less free room, so that afterwards
// both ends have at least `batch` free positions; every vector is then arranged (< pivot
// lanes first) and stored whole at both ends, the front keeping its < lanes and the back
// its >= lanes, and the surplus lanes of each store fall on free positions that later
// stores overwrite. Free room stays 2 * batch in total, so the reads never run into the
// writes. What is left (fewer than a batch in the middle, and the two held batches) is
// placed by `distribute`.
template <class Vec>
VEXO_KERNEL_TARGET std::size_t partition_less(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    constexpr std::size_t lanes = Vec::lanes;
    constexpr std::size_t unroll = Vec::unroll;
    constexpr std::size_t batch = lanes * unroll;
    if (n < 2 * batch) return partition_less_scalar(d, n, pivot);

    const typename Vec::type pivots = Vec::broadcast(pivot);
    std::int64_t held[3 * batch];  // the two held batches, then the unread middle
    for (std::size_t i = 0; i < batch; i += lanes) {
        Vec::store(held + i, Vec::load(d + i));
        Vec::store(held + batch + i, Vec::load(d + n - batch + i));
    }

    std::size_t front = 0;           // d[0, front) < pivot
    std::size_t back = n;            // d[back, n) >= pivot
    std::size_t read_front = batch;  // d[read_front, read_back) is still unread
    std::size_t read_back = n - batch;
    while (read_back - read_front >= batch) {
        const std::int64_t* source;
        if (read_front - front <= back - read_back) {
            source = d + read_front;
            read_front += batch;
        } else {
            read_back -= batch;
            source = d + read_back;
        }
        // All loads before any store: the stores may reach into the batch just read.
        typename Vec::type v[unroll];
        for (std::size_t u = 0; u < unroll; ++u) v[u] = Vec::load(source + u * lanes);
        for (std::size_t u = 0; u < unroll; ++u) {
            const unsigned mask = Vec::less_mask(v[u], pivots);
            const auto less = static_cast<std::size_t>(__builtin_popcount(mask));
            const typename Vec::type arranged = Vec::arrange(v[u], mask);
            Vec::store(d + front, arranged);
            Vec::store(d + back - lanes, arranged);
            front += less;
            back -= lanes - less;
        }
    }

    const std::size_t middle = read_back - read_front;
    for (std::size_t i = 0; i < middle; ++i) held[2 * batch + i] = d[read_front + i];
    distribute<Vec>(d, front, back, held, 2 * batch + middle, pivot);
    return front;
}

}  // namespace vexo::vector_partition
