// Every merge kernel this CPU runs against std::merge: over pairs of run lengths around
// each vector size (four lanes for AVX2, eight for AVX-512), around the longest runs
// merged whole in registers (1, 2, 4 and 8 vectors) and around the length where a merge is
// cut in two (128), with values from all-equal to the extremes of int64, and right runs
// below, inside and above the left one; then the stable sorts with each kernel forced.
// Runs out of order, of random lengths around the same thresholds, must merge into some
// result and stay inside the runs and the output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <unordered_set>
#include <vector>

#include "algorithms/merge.hpp"
#include "algorithms/tim.hpp"
#include "kernels/kernels.hpp"
#include "kernels/merge_runs.hpp"
#include "parallel/pool_stable_sort.hpp"
#include "sort_harness.hpp"

namespace vexo {
namespace {

using limits = std::numeric_limits<std::int64_t>;
using Values = std::vector<std::int64_t>;

class MergeKernel : public ::testing::TestWithParam<Isa> {
protected:
    void SetUp() override {
        if (!isa_supported(GetParam())) GTEST_SKIP() << name_of(GetParam()) << " is not supported on this CPU";
    }

    // Merges the runs, each in a vector of exactly its length (so the sanitizer sees any
    // read past either end), into a range between guard cells.
    void expect_merges(const Values& left, const Values& right) const {
        SCOPED_TRACE(::testing::Message() << left.size() << " + " << right.size());
        Values expected(left.size() + right.size());
        std::merge(left.begin(), left.end(), right.begin(), right.end(), expected.begin());
        testing::Guarded out(Values(expected.size(), 0));
        kernels(GetParam()).merge(left.data(), left.size(), right.data(), right.size(), out.range().data());
        ASSERT_TRUE(out.guards_intact());
        ASSERT_EQ(out.values(), expected);
    }
};

INSTANTIATE_TEST_SUITE_P(MergeKernels, MergeKernel, ::testing::ValuesIn(all_isas),
                         [](const auto& info) { return std::string(name_of(info.param)); });

// A sorted run of `length` values drawn by `draw`.
template <class Draw>
Values sorted_run(std::size_t length, Draw draw) {
    Values run(length);
    for (auto& x : run) x = draw();
    std::sort(run.begin(), run.end());
    return run;
}

TEST_P(MergeKernel, EveryPairOfLengthsAroundTheVectorSizes) {
    // 0, 1, one, two, four and eight vectors of each kernel with their neighbours, uneven pairs
    // among them, and sums on both sides of 128.
    const std::size_t lengths[] = {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 63, 64, 65, 127, 128, 129, 300};
    std::mt19937_64 rng(28);
    for (std::size_t l : lengths) {
        for (std::size_t r : lengths) {
            for (std::uint64_t spread : {1, 2, 1000}) {
                const auto draw = [&](std::int64_t offset) {
                    return [&rng, spread, offset] { return static_cast<std::int64_t>(rng() % spread) + offset; };
                };
                const Values left = sorted_run(l, draw(0));
                for (std::int64_t offset : {-static_cast<std::int64_t>(spread), std::int64_t{0}, static_cast<std::int64_t>(spread)}) {
                    expect_merges(left, sorted_run(r, draw(offset)));
                }
            }
        }
    }
}

TEST_P(MergeKernel, ExtremeValuesAndLongUnevenRuns) {
    std::mt19937_64 rng(2028);
    const std::int64_t extremes[] = {limits::min(), limits::min() + 1, -1, 0, 1, limits::max() - 1, limits::max()};
    const auto extreme = [&] { return extremes[rng() % std::size(extremes)]; };
    const auto any = [&] { return static_cast<std::int64_t>(rng()); };
    for (int round = 0; round < 40; ++round) {
        const std::size_t l = rng() % 20000;
        const std::size_t r = round % 4 == 0 ? rng() % 20 : rng() % 20000;
        if (round % 2 == 0) {
            expect_merges(sorted_run(l, extreme), sorted_run(r, extreme));
        } else {
            expect_merges(sorted_run(l, any), sorted_run(r, any));
        }
    }
}

// A length near one of the kernels' cut-overs: a run's vector sizes and the longest runs
// merged in registers (4 to 64), and the sums where a merge is cut in two (128, 256).
std::size_t length_near_a_threshold(std::mt19937_64& rng) {
    const std::size_t thresholds[] = {0, 4, 8, 16, 32, 64, 128, 256};
    const std::size_t at = thresholds[rng() % std::size(thresholds)];
    const std::size_t below = std::min<std::size_t>(at, 5);
    return at - below + rng() % (below + 6);
}

// Runs in any order, sorted ones among them: the patterns of testing/patterns.hpp.
Values any_run(std::size_t length, std::mt19937_64& rng) {
    return testing::make_pattern(testing::all_patterns[rng() % std::size(testing::all_patterns)], length, rng());
}

using Merge = void (*)(const std::int64_t*, std::size_t, const std::int64_t*, std::size_t, std::int64_t*) noexcept;

// Merges runs in any order: `merge` returns, writes only its output, and places only
// values it read from the runs, or the padding (the largest value) a vector kernel reads
// past a run's end; a place may also keep what it held (the merge by rank gives two
// elements one place when the runs are out of order). The runs lie in vectors of exactly
// their length, so the sanitized builds see a read past either end.
void expect_ends_inside(Merge merge, const Values& left, const Values& right) {
    SCOPED_TRACE(::testing::Message() << left.size() << " + " << right.size());
    testing::Guarded out(Values(left.size() + right.size(), testing::guard_value));
    merge(left.data(), left.size(), right.data(), right.size(), out.range().data());
    ASSERT_TRUE(out.guards_intact());
    std::unordered_set<std::int64_t> read(left.begin(), left.end());
    read.insert(right.begin(), right.end());
    read.insert({limits::max(), testing::guard_value});
    for (std::int64_t x : out.values()) ASSERT_TRUE(read.contains(x)) << x << " was never in a run";
}

TEST_P(MergeKernel, EndsInsideItsRangesOnRunsOutOfOrder) {
    std::mt19937_64 rng(4242);
    for (int round = 0; round < 3000; ++round) {
        // Both runs near a threshold, or an uneven split of a sum near one, or long runs
        // (the kernels' steady loops).
        std::size_t l = length_near_a_threshold(rng);
        std::size_t r = length_near_a_threshold(rng);
        if (round % 3 == 1) {
            const std::size_t sum = l + r;
            l = rng() % (sum + 1);
            r = sum - l;
        } else if (round % 100 == 0) {
            l = rng() % 20000;
            r = rng() % 20000;
        }
        const Values left = any_run(l, rng);
        const Values right = any_run(r, rng);
        expect_ends_inside(kernels(GetParam()).merge, left, right);
        // The merges too short for a kernel, which merge_runs keeps inline.
        if (l + r < merge_tuning::kernel_from) expect_ends_inside(merge_by_rank<std::int64_t>, left, right);
        if (HasFatalFailure()) return;
    }
}

TEST_P(MergeKernel, DrivesTheStableSorts) {
    const ForcedKernels forced(GetParam());
    const std::vector<std::size_t> sizes = {0, 1, 17, 100, 1000, 5001, 30000};
    testing::expect_sorts_patterns(merge_sort, sizes);
    testing::expect_sorts_patterns(tim_sort, sizes);
    testing::expect_sorts_patterns(parallel_stable_sort, sizes);
}

}  // namespace
}  // namespace vexo
