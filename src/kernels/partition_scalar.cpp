// The portable kernels, the only ones of non-x86 builds and the fallback on x86-64 CPUs
// without AVX2: the block partition, the branch-free short partition, and the branch-free
// insertion sort (insertion_branch_free.hpp).
#include <algorithm>
#include <array>
#include <utility>

#include "core/assert.hpp"
#include "kernels/insertion_branch_free.hpp"
#include "kernels/units.hpp"

namespace vexo {
namespace {

// Elements per block of the block partition: offsets fit a byte, and the two offset
// arrays stay in L1 next to the blocks they describe.
constexpr std::size_t partition_block = 64;

// Partitions d[lo, hi) with a plain two-sided scan; returns the first position of the
// part >= pivot. Finishes what the block partition leaves (fewer than two blocks).
std::size_t partition_guarded(std::int64_t* d, std::size_t lo, std::size_t hi, std::int64_t pivot) noexcept {
    for (;;) {
        while (lo < hi && d[lo] < pivot) ++lo;
        while (lo < hi && !(d[hi - 1] < pivot)) --hi;
        if (lo >= hi) return lo;
        std::swap(d[lo], d[hi - 1]);
        ++lo;
        --hi;
    }
}

}  // namespace

namespace kernel_units::scalar {

// The block partition of BlockQuicksort (Edelkamp and Weiß): the comparisons of a block
// of elements from each end are made first, without branches, recording the positions
// that are on the wrong side; then the recorded elements are swapped pairwise. On random
// data a branchy scan mispredicts about every other comparison; this does not depend on
// the outcomes at all.
std::size_t partition(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    constexpr std::size_t block = partition_block;
    // Invariant: d[0, lo) < pivot and d[hi, n) >= pivot; [lo, hi) is still open, and holds
    // the pending blocks whose wrong-side offsets are not all swapped yet.
    std::size_t lo = 0;
    std::size_t hi = n;
    std::array<std::uint8_t, block> wrong_left;   // offsets from lo of elements >= pivot
    std::array<std::uint8_t, block> wrong_right;  // offsets from hi - 1 of elements < pivot
    std::size_t count_left = 0, start_left = 0, count_right = 0, start_right = 0;
    while (hi - lo >= 2 * block) {
        if (count_left == 0) {
            start_left = 0;
            for (std::size_t i = 0; i < block; ++i) {
                wrong_left[count_left] = static_cast<std::uint8_t>(i);
                count_left += !(d[lo + i] < pivot);
            }
        }
        if (count_right == 0) {
            start_right = 0;
            for (std::size_t i = 0; i < block; ++i) {
                wrong_right[count_right] = static_cast<std::uint8_t>(i);
                count_right += d[hi - 1 - i] < pivot;
            }
        }
        const std::size_t pairs = std::min(count_left, count_right);
        for (std::size_t k = 0; k < pairs; ++k) {
            std::swap(d[lo + wrong_left[start_left + k]], d[hi - 1 - wrong_right[start_right + k]]);
        }
        count_left -= pairs;
        count_right -= pairs;
        start_left += pairs;
        start_right += pairs;
        if (count_left == 0) lo += block;
        if (count_right == 0) hi -= block;
    }
    return partition_guarded(d, lo, hi, pivot);
}

// Each element is written to both sides' buffers and only its own side's count advances,
// so no branch depends on a comparison.
ShortPartition short_partition(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    VEXO_ASSERT(n <= max_short_partition);
    std::int64_t below[max_short_partition];
    std::int64_t above[max_short_partition];
    std::size_t count_below = 0;
    std::size_t count_above = 0;
    bool misplaced = false;  // an element < pivot came after one >= pivot
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t x = d[i];
        const bool less = x < pivot;
        below[count_below] = x;
        above[count_above] = x;
        misplaced |= less && count_above != 0;
        count_below += less;
        count_above += !less;
    }
    std::copy_n(below, count_below, d);
    std::copy_n(above, count_above, d + count_below);
    return {count_below, !misplaced};
}

void insertion_sort(std::int64_t* d, std::size_t n) noexcept { insertion_sort_branch_free(SortTarget(d, n)); }

}  // namespace kernel_units::scalar
}  // namespace vexo
