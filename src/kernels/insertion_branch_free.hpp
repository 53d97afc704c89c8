// The branch-free insertion sort: the scalar kernel's insertion sort, and what the vector
// kernels fall back to on ranges longer than their registers hold.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/sort_target.hpp"

namespace vexo {

// The insertion of insertion_sort (algorithms/insertion.hpp), written for the short ranges
// that the parallel sorts finish or extend (at most a few dozen elements). Each element is
// still inserted into the sorted prefix before it, but instead of shifting until a smaller
// element stops the scan (a loop exit that mispredicts about once per element on random
// data), the prefix is rewritten with min and max, which compile to conditional moves:
// inserting key into the sorted p[0, i) gives new[j] = max(p[j - 1], min(p[j], key))
// for 0 < j <= i (p[i] being key itself) and new[0] = min(p[0], key). On so few elements
// the extra moves cost less than the mispredictions they replace.
// Contract: as insertion_sort (stable: equal elements stay in front of key), but always
// i reads and writes for the i-th element, so n(n-1)/2 in all, even on sorted input.
inline void insertion_sort_branch_free(SortTarget v) noexcept {
    std::int64_t* const d = v.data();
    const std::size_t n = v.size();
    for (std::size_t i = 1; i < n; ++i) {
        const std::int64_t key = d[i];
        // Going down, each p[j] is read before it is overwritten.
        std::int64_t above = key;
        for (std::size_t j = i; j > 0; --j) {
            const std::int64_t below = d[j - 1];
            d[j] = std::max(below, std::min(above, key));
            above = below;
        }
        d[0] = std::min(above, key);
    }
}

}  // namespace vexo
