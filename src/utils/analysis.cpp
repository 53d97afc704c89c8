#include "utils/analysis.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <unordered_set>

#include "core/scratch.hpp"

namespace vexo {

double sortedness_score(SortTarget target) noexcept {
    const std::size_t n = target.size();
    const std::size_t samples = std::min(n, max_analysis_samples);
    const std::size_t stride = analysis_stride(n);
    std::size_t inversions = 0;
    std::size_t pairs = 0;
    for (std::size_t k = 0; k < samples; ++k) {
        const std::size_t p = k * stride;
        // The inner loop reaches m = samples - k, one stride past the last outer sample:
        // position samples*stride takes part whenever it lies inside the array.
        for (std::size_t m = 1; m <= samples - k; ++m) {
            const std::size_t q = p + m * stride;
            if (q >= n) break;
            ++pairs;
            if (target[p] > target[q]) ++inversions;
        }
    }
    if (pairs == 0) return 1.0;
    return 1.0 - static_cast<double>(inversions) / static_cast<double>(pairs);
}

double duplicate_ratio(SortTarget target) {
    const std::size_t n = target.size();
    const std::size_t samples = std::min(n, max_analysis_samples);
    const std::size_t stride = analysis_stride(n);
    std::unordered_set<std::int64_t, std::hash<std::int64_t>, std::equal_to<std::int64_t>, Allocator<std::int64_t>> seen;
    seen.reserve(samples);
    std::size_t repeats = 0;
    std::size_t visited = 0;
    for (std::size_t position = 0; position < n && visited < samples; position += stride, ++visited) {
        if (!seen.insert(target[position]).second) ++repeats;
    }
    if (visited == 0) return 0.0;
    return static_cast<double>(repeats) / static_cast<double>(visited);
}

}  // namespace vexo
