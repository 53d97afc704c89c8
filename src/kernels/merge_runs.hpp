// The one stable two-run merge of vexo: `merge`, `tim`, `par_sort` and `par_merge` all
// merge through merge_runs, each with its own buffers and copies around it, and it hands
// all but the shortest merges to the merge kernel of the CPU (kernels.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/assert.hpp"
#include "kernels/kernels.hpp"
#include "kernels/merge_probe.hpp"
#include "kernels/merge_scalar.hpp"

namespace vexo {

namespace merge_tuning {
// Merges of fewer elements than this are merged by rank inline instead of calling the
// merge kernel.
inline constexpr std::size_t kernel_from = 8;
}  // namespace merge_tuning

// The merge of the sorts: merge_runs_branch_free's contract, through the active merge
// kernel, which moves a vector of elements a step where the CPU has one. The shortest
// merges, most of those of a merge sort's bottom levels, stay inline: a vector would not
// fill, and the call would cost more than they do.
inline void merge_runs(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r, std::int64_t* out) noexcept {
    VEXO_ASSERT(apart(out, l + r, left, l) && apart(out, l + r, right, r));
    const MergeTimer timer(l + r);
    if (l + r < merge_tuning::kernel_from) return merge_by_rank(left, l, right, r, out);
    active_kernels().merge(left, l, right, r, out);
}

}  // namespace vexo
