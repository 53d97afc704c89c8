// A probe for the quicksort-type routines that records what they did: every partition
// (range and pivot position), the deepest nesting, and the ranges handed to
// insertion_sort and heap_sort.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

namespace vexo::testing {

using Span = std::array<std::size_t, 2>;        // closed range [lo, hi]
using Partition = std::array<std::size_t, 3>;  // lo, p, hi

struct RecordingProbe {
    std::vector<Partition> partitions;
    std::vector<Span> small_ranges;
    std::vector<Span> heap_ranges;
    std::size_t max_depth = 0;

    void partitioned(std::size_t lo, std::size_t p, std::size_t hi, std::size_t depth) {
        partitions.push_back({lo, p, hi});
        max_depth = std::max(max_depth, depth);
    }
    void small_range(std::size_t lo, std::size_t hi) { small_ranges.push_back({lo, hi}); }
    void budget_spent(std::size_t lo, std::size_t hi) { heap_ranges.push_back({lo, hi}); }
};

inline std::size_t floor_log2(std::size_t n) {
    std::size_t k = 0;
    while (n >>= 1) ++k;
    return k;
}

}  // namespace vexo::testing
