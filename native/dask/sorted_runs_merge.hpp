// The merge of one output partition of vexo.dask.sort: one sorted piece from every input
// chunk, merged into one new array.
//
// A tree of two-run merges through vexo::merge_runs, the merge the stable sorts share
// (the vector merge kernel where the CPU has one): ceil(log2 k) passes over the partition
// for k pieces, each about a cycle or two an element, where sorting the concatenation finds the runs again and merges them with a
// buffer of its own. The passes alternate between the output and one scratch array, in
// the order that makes the last pass write the output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "kernels/merge_runs.hpp"

namespace vexo::dask_native {

struct SortedRun {
    const std::int64_t* data;
    std::size_t size;
};

// How many two-run passes merge `runs` non-empty runs into one (0 for one run or none).
inline int merge_passes(std::size_t runs) noexcept {
    int passes = 0;
    for (std::size_t left = runs; left > 1; left = (left + 1) / 2) ++passes;
    return passes;
}

// Merges the sorted `runs` into out[0, total), total being the sum of their sizes;
// `scratch` holds total elements where more than two runs are not empty, and may be null
// otherwise. Neither `out` nor `scratch` may overlap a run or each other.
inline void merge_sorted_runs(std::span<const SortedRun> runs, std::int64_t* out, std::int64_t* scratch) {
    std::vector<SortedRun> level;
    level.reserve(runs.size());
    for (const SortedRun& run : runs) {
        if (run.size != 0) level.push_back(run);
    }
    if (level.empty()) return;
    // An odd number of passes starts in `out`, an even number in `scratch`: the last one
    // then writes `out`.
    std::int64_t* target = merge_passes(level.size()) % 2 == 1 ? out : scratch;
    std::int64_t* other = target == out ? scratch : out;
    if (level.size() == 1) {
        std::memcpy(out, level[0].data, level[0].size * sizeof(std::int64_t));
        return;
    }
    std::vector<SortedRun> next;
    next.reserve((level.size() + 1) / 2);
    while (level.size() > 1) {
        next.clear();
        std::int64_t* at = target;
        for (std::size_t i = 0; i < level.size(); i += 2) {
            if (i + 1 == level.size()) {  // the odd one out moves on as it is
                std::memcpy(at, level[i].data, level[i].size * sizeof(std::int64_t));
                next.push_back({at, level[i].size});
                at += level[i].size;
                continue;
            }
            merge_runs(level[i].data, level[i].size, level[i + 1].data, level[i + 1].size, at);
            next.push_back({at, level[i].size + level[i + 1].size});
            at += level[i].size + level[i + 1].size;
        }
        std::swap(level, next);
        std::swap(target, other);
    }
}

}  // namespace vexo::dask_native
