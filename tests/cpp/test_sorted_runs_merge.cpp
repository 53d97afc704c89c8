// vexo.dask's partition merge against std::sort of the concatenation: run counts on both
// sides of every power of two (where the number of passes, and so the buffer the first
// pass writes, changes), empty runs among them, unequal lengths and few distinct values;
// with no scratch wherever at most two runs hold elements. Runs out of order end too,
// writing only the output and the scratch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "kernels/kernels.hpp"
#include "patterns.hpp"
#include "sorted_runs_merge.hpp"

namespace vexo::dask_native {
namespace {

TEST(SortedRunsMerge, PassesAreTheTreeDepth) {
    const int expected[] = {0, 0, 1, 2, 2, 3, 3, 3, 3, 4};
    for (std::size_t runs = 0; runs < std::size(expected); ++runs) EXPECT_EQ(merge_passes(runs), expected[runs]) << runs;
    EXPECT_EQ(merge_passes(128), 7);
    EXPECT_EQ(merge_passes(129), 8);
}

class SortedRunsMerge : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SortedRunsMerge, EqualsSortedConcatenation) {
    const std::size_t count = GetParam();
    std::mt19937_64 rng(count);
    for (std::int64_t spread : {1, 3, 1 << 30}) {
        for (int empty_every : {0, 2, 3}) {
            std::vector<std::vector<std::int64_t>> pieces(count);
            std::vector<std::int64_t> expected;
            std::size_t filled = 0;
            for (std::size_t i = 0; i < count; ++i) {
                const bool empty = empty_every != 0 && i % static_cast<std::size_t>(empty_every) == 0;
                pieces[i].resize(empty ? 0 : rng() % 700);
                for (auto& x : pieces[i]) x = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(spread)) - spread / 2;
                std::sort(pieces[i].begin(), pieces[i].end());
                expected.insert(expected.end(), pieces[i].begin(), pieces[i].end());
                filled += pieces[i].empty() ? 0 : 1;
            }
            std::sort(expected.begin(), expected.end());
            std::vector<SortedRun> runs;
            for (const auto& piece : pieces) runs.push_back({piece.data(), piece.size()});
            // One guard element past the output: no pass writes beyond the total.
            std::vector<std::int64_t> out(expected.size() + 1, 42), scratch(expected.size());
            merge_sorted_runs(runs, out.data(), filled > 2 ? scratch.data() : nullptr);
            ASSERT_EQ(out.back(), 42) << count << " runs";
            out.pop_back();
            ASSERT_EQ(out, expected) << count << " runs, spread " << spread << ", empty every " << empty_every;
        }
    }
}

// Each run of any pattern (sorted ones among them) and of any length to a few hundred,
// through each merge kernel the CPU runs; the output and the scratch have exactly the
// total's length, so the sanitized build sees any write past them.
TEST_P(SortedRunsMerge, EndsOnRunsOutOfOrder) {
    const std::size_t count = GetParam();
    std::mt19937_64 rng(count + 100);
    for (int round = 0; round < 30; ++round) {
        const Isa isa = all_isas[static_cast<std::size_t>(round) % std::size(all_isas)];
        if (!isa_supported(isa)) continue;
        const ForcedKernels forced(isa);
        std::vector<std::vector<std::int64_t>> pieces(count);
        std::vector<SortedRun> runs;
        std::size_t total = 0;
        for (auto& piece : pieces) {
            const auto pattern = testing::all_patterns[rng() % std::size(testing::all_patterns)];
            piece = testing::make_pattern(pattern, rng() % 300, rng());
            runs.push_back({piece.data(), piece.size()});
            total += piece.size();
        }
        std::vector<std::int64_t> out(total), scratch(total);
        merge_sorted_runs(runs, out.data(), scratch.data());
    }
}

INSTANTIATE_TEST_SUITE_P(RunCounts, SortedRunsMerge, ::testing::Values(0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 33));

}  // namespace
}  // namespace vexo::dask_native
