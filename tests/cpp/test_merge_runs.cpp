// The scalar stable merges (the branch-free loop, and the merge by rank of the shortest
// merges) against std::merge (stable, left run first on ties) on tagged
// elements, so that a wrong tie-break or a duplicated or lost element shows, over run
// lengths from empty to very unequal, value spreads from all-equal to distinct, and right
// runs that lie below, inside or above the left one (which stops one of the two merge
// chains early and leaves the rest to the front merge).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "kernels/merge_runs.hpp"

namespace vexo {
namespace {

struct Tagged {
    std::int64_t key;
    std::uint32_t tag;  // position in the input, left run before right run
    friend bool operator<(Tagged a, Tagged b) { return a.key < b.key; }
    friend bool operator==(Tagged a, Tagged b) { return a.key == b.key && a.tag == b.tag; }
};

std::vector<Tagged> sorted_run(std::size_t length, std::int64_t spread, std::int64_t offset, std::uint32_t first_tag,
                               std::mt19937_64& rng) {
    std::vector<Tagged> run(length);
    for (auto& x : run) x.key = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(spread)) + offset;
    std::stable_sort(run.begin(), run.end());
    for (auto& x : run) x.tag = first_tag++;
    return run;
}

TEST(MergeRuns, EqualsStdMergeWithTiesInRunOrder) {
    std::mt19937_64 rng(11);
    // Sums on both sides of 256, where a merge is cut in two.
    const std::size_t lengths[] = {0, 1, 2, 3, 5, 8, 31, 64, 100, 127, 128, 129, 1000};
    for (std::size_t l : lengths) {
        for (std::size_t r : lengths) {
            for (std::int64_t spread : {1, 2, 7, 1000000}) {
                for (std::int64_t offset : {std::int64_t{0}, spread / 2, -spread - 1, spread + 1}) {
                    const auto left = sorted_run(l, spread, 0, 0, rng);
                    const auto right = sorted_run(r, spread, offset, static_cast<std::uint32_t>(l), rng);
                    std::vector<Tagged> expected(l + r), merged(l + r);
                    std::merge(left.begin(), left.end(), right.begin(), right.end(), expected.begin());
                    merge_runs_branch_free(left.data(), l, right.data(), r, merged.data());
                    ASSERT_EQ(merged, expected) << l << " + " << r << ", spread " << spread << ", offset " << offset;
                    if (l + r >= merge_tuning::kernel_from) continue;
                    merge_by_rank(left.data(), l, right.data(), r, merged.data());
                    ASSERT_EQ(merged, expected) << "by rank: " << l << " + " << r << ", spread " << spread << ", offset " << offset;
                }
            }
        }
    }
}

}  // namespace
}  // namespace vexo
