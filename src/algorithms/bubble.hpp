// Bubble sort with early exit: kept for people who study how the textbook sorts behave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/sort_target.hpp"

namespace vexo {

// Sorts `target` ascending, stably, in place by adjacent exchanges.
// Contract: any length; no allocation, no recursion; at most n-1 passes, and exactly one
// pass without exchanges on ascending input.
inline void bubble_sort(SortTarget target) noexcept {
    const std::size_t n = target.size();
    if (n < 2) return;
    std::int64_t* const element = target.data();
    for (std::size_t pass = 0; pass + 1 < n; ++pass) {
        bool exchanged = false;
        // After pass p the p+1 largest elements are final, so each pass stops one pair
        // earlier than the one before.
        const std::size_t last_pair = n - 2 - pass;
        for (std::size_t j = 0; j <= last_pair; ++j) {
            if (element[j] > element[j + 1]) {
                std::swap(element[j], element[j + 1]);
                exchanged = true;
            }
        }
        if (!exchanged) return;
    }
}

}  // namespace vexo
