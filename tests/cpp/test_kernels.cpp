// Every kernel set this CPU runs, against the standard library: each partition gives the
// split std::count_if counts, the values std::sort finds on each side of it, the order
// std::stable_partition keeps where it must, and touches nothing outside its range; each
// insertion sort sorts as std::sort does. Then the choice between the sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kernels/kernels.hpp"
#include "parallel/pool_unstable_sort.hpp"
#include "patterns.hpp"
#include "sort_harness.hpp"
#include "unstable_observer.hpp"

namespace vexo {
namespace {

using limits = std::numeric_limits<std::int64_t>;

class Kernel : public ::testing::TestWithParam<Isa> {
protected:
    void SetUp() override {
        if (!isa_supported(GetParam())) GTEST_SKIP() << name_of(GetParam()) << " is not supported on this CPU";
    }

    const KernelSet& set() const { return kernels(GetParam()); }

    // Partitions `input` around `pivot` between guard cells, and once more in a buffer of
    // exactly its size (so the sanitizer sees any access past either end).
    void expect_partitions(const std::vector<std::int64_t>& input, std::int64_t pivot) const {
        SCOPED_TRACE(::testing::Message() << "n=" << input.size() << " pivot=" << pivot);
        const std::size_t n = input.size();
        const auto less =
            static_cast<std::size_t>(std::count_if(input.begin(), input.end(), [pivot](std::int64_t x) { return x < pivot; }));

        testing::Guarded guarded(input);
        ASSERT_EQ(set().partition(guarded.range().data(), n, pivot), less);
        ASSERT_TRUE(guarded.guards_intact());
        std::vector<std::int64_t> result = guarded.values();
        ASSERT_TRUE(
            std::all_of(result.begin(), result.begin() + static_cast<std::ptrdiff_t>(less), [pivot](std::int64_t x) { return x < pivot; }));
        ASSERT_TRUE(
            std::none_of(result.begin() + static_cast<std::ptrdiff_t>(less), result.end(), [pivot](std::int64_t x) { return x < pivot; }));
        std::vector<std::int64_t> expected = input;
        std::sort(expected.begin(), expected.end());
        std::sort(result.begin(), result.end());
        ASSERT_EQ(result, expected);

        std::vector<std::int64_t> exact = input;
        ASSERT_EQ(set().partition(exact.data(), n, pivot), less);
    }

    // The pivots a sort can meet: below, at and above the extremes of the data, and inside.
    void expect_partitions_around_any_pivot(const std::vector<std::int64_t>& input) const {
        if (input.empty()) return expect_partitions(input, 0);
        const auto [low, high] = std::minmax_element(input.begin(), input.end());
        for (std::int64_t pivot : {*low, *high, input[input.size() / 2], limits::min(), limits::max()}) expect_partitions(input, pivot);
    }
};

INSTANTIATE_TEST_SUITE_P(Kernels, Kernel, ::testing::ValuesIn(all_isas), [](const auto& info) { return std::string(name_of(info.param)); });

TEST_P(Kernel, EveryLengthUpTo300) {
    std::mt19937_64 rng(7);
    for (std::size_t n = 0; n <= 300; ++n) {
        std::vector<std::int64_t> values(n);
        for (auto& x : values) x = static_cast<std::int64_t>(rng() % 1000);
        expect_partitions_around_any_pivot(values);
    }
}

TEST_P(Kernel, RandomLengthsUpTo100000) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 12; ++round) {
        const std::size_t n = rng() % 100'000;
        expect_partitions_around_any_pivot(testing::make_pattern(testing::Pattern::random, n, rng()));
    }
}

TEST_P(Kernel, EqualTwoValuedAndExtremeData) {
    for (std::size_t n : {31, 32, 33, 64, 65, 257, 4099}) {
        expect_partitions_around_any_pivot(std::vector<std::int64_t>(n, 42));
        std::vector<std::int64_t> two(n), extremes(n);
        for (std::size_t i = 0; i < n; ++i) {
            two[i] = (i * 7919) % 3 == 0 ? 1 : 2;
            extremes[i] = i % 2 ? limits::min() : limits::max();
        }
        expect_partitions_around_any_pivot(two);
        expect_partitions_around_any_pivot(extremes);
        expect_partitions(two, 2);
        expect_partitions(extremes, limits::max());
        expect_partitions(extremes, limits::min() + 1);
    }
}

// The short partition is the stable partition, and knows an already partitioned range:
// every length it takes, in a buffer of exactly that length (for the sanitizer), on
// random, ascending, descending (whole vectors on the wrong side) and partitioned input.
TEST_P(Kernel, ShortPartitionIsStableAndTellsAPartitionedRange) {
    std::mt19937_64 rng(13);
    for (std::size_t n = 0; n <= max_short_partition; ++n) {
        SCOPED_TRACE(::testing::Message() << "n=" << n);
        std::vector<std::int64_t> random(n), ascending(n), descending(n);
        for (std::size_t i = 0; i < n; ++i) {
            random[i] = static_cast<std::int64_t>(rng() % 64);
            ascending[i] = static_cast<std::int64_t>(i);
            descending[i] = static_cast<std::int64_t>(n - i);
        }
        std::vector<std::int64_t> partitioned = random;
        std::partition(partitioned.begin(), partitioned.end(), [](std::int64_t x) { return x < 32; });
        for (const auto& input : {random, ascending, descending, partitioned}) {
            for (std::int64_t pivot : {limits::min(), std::int64_t{0}, std::int64_t{32}, static_cast<std::int64_t>(n / 2), limits::max()}) {
                const auto below = [pivot](std::int64_t x) { return x < pivot; };
                std::vector<std::int64_t> expected = input;
                const auto less =
                    static_cast<std::size_t>(std::stable_partition(expected.begin(), expected.end(), below) - expected.begin());
                std::vector<std::int64_t> result = input;
                const ShortPartition split = set().short_partition(result.data(), n, pivot);
                ASSERT_EQ(split.less, less) << "pivot=" << pivot;
                ASSERT_EQ(result, expected) << "pivot=" << pivot;
                ASSERT_EQ(split.was_partitioned, std::is_partitioned(input.begin(), input.end(), below)) << "pivot=" << pivot;
            }
        }
    }
}

// The kernel's small-range insertion sort on every length it serves and beyond, in a
// guarded buffer and in one of exactly the range's size (for the sanitizer).
TEST_P(Kernel, InsertionSortsEveryPatternUpTo40) {
    std::vector<std::size_t> sizes(41);
    for (std::size_t n = 0; n < sizes.size(); ++n) sizes[n] = n;
    testing::expect_sorts_patterns([this](SortTarget t) { set().insertion_sort(t.data(), t.size()); }, sizes);
    for (std::size_t n : sizes) {
        std::vector<std::int64_t> exact = testing::make_pattern(testing::Pattern::extremes, n, n);
        std::vector<std::int64_t> expected = exact;
        std::sort(expected.begin(), expected.end());
        set().insertion_sort(exact.data(), n);
        ASSERT_EQ(exact, expected) << "n=" << n;
    }
}

// The whole unstable sort on each kernel, including inputs that spend the allowance.
TEST_P(Kernel, DrivesTheUnstableSort) {
    const ForcedKernels forced(GetParam());
    for (unsigned allowance : {0u, 1u, 64u}) {
        SCOPED_TRACE(allowance);
        const testing::CheckingObserver observer{allowance};
        using namespace unstable_sort_tuning;
        testing::expect_sorts_patterns([&](SortTarget t) { parallel_unstable_sort_observed(t, observer); },
                                       {max_insertion + 1, 100, max_sequential_side + 1, 50'000});
    }
}

// Each set is its own instruction set's, a forced one is what the sorts run while its
// guard lives, and the one active before comes back after, nested guards included.
TEST(KernelChoice, AForcedSetHoldsForItsGuardsScopeOnly) {
    const Isa before = active_kernels().isa;
    for (Isa outer : all_isas) {
        if (!isa_supported(outer)) continue;
        EXPECT_EQ(kernels(outer).isa, outer);
        {
            const ForcedKernels forced(outer);
            EXPECT_EQ(active_kernels().isa, outer);
            {
                const ForcedKernels inner(Isa::scalar);
                EXPECT_EQ(active_kernels().isa, Isa::scalar);
            }
            EXPECT_EQ(active_kernels().isa, outer);
        }
        EXPECT_EQ(active_kernels().isa, before) << "after forcing " << name_of(outer);
    }
}

}  // namespace
}  // namespace vexo
