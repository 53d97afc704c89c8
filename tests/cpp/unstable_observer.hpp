// An observer of parallel_unstable_sort for the tests: it keeps the sort on the calling
// thread, starts it with a chosen allowance of unbalanced partitions, checks that every
// partition leaves its pivot between the two sides, and counts how ranges end.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "parallel/pool_unstable_sort.hpp"

namespace vexo::testing {

struct UnstableCounts {
    std::size_t ends[3] = {};        // by UnstableEnd
    std::size_t partitions[2] = {};  // by PartitionSide
};

struct CheckingObserver {
    static constexpr bool uses_pool = false;
    unsigned start_allowance;
    std::shared_ptr<UnstableCounts> counts = std::make_shared<UnstableCounts>();

    unsigned allowance(std::size_t) const noexcept { return start_allowance; }

    // Elements equal to the pivot lie on the side the partition says, never on the other.
    void partitioned(SortTarget range, std::size_t pivot, PartitionSide side) const {
        ++counts->partitions[static_cast<int>(side)];
        const std::int64_t p = range[pivot];
        for (std::size_t i = 0; i < pivot; ++i)
            ASSERT_TRUE(side == PartitionSide::equal_left ? range[i] <= p : range[i] < p) << "left " << i;
        for (std::size_t i = pivot + 1; i < range.size(); ++i)
            ASSERT_TRUE(side == PartitionSide::equal_left ? p < range[i] : p <= range[i]) << "right " << i;
    }

    void ended(UnstableEnd how, SortTarget) const noexcept { ++counts->ends[static_cast<int>(how)]; }
};

}  // namespace vexo::testing
