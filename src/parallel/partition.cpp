// The portable partition kernel and the run-time choice between kernels.
#include "parallel/partition.hpp"

#include "algorithms/insertion.hpp"
#include "core/assert.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <utility>

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

// What a kernel provides: its partitions and its small-range insertion sort.
struct KernelSet {
    std::size_t (*partition)(std::int64_t*, std::size_t, std::int64_t) noexcept;
    ShortPartition (*short_partition)(std::int64_t*, std::size_t, std::int64_t) noexcept;
    void (*insertion_sort)(std::int64_t*, std::size_t) noexcept;
};

constexpr KernelSet scalar_set{partition_less_scalar, partition_short_scalar, small_insertion_sort_scalar};
constexpr KernelSet avx2_set{partition_less_avx2, partition_short_avx2, small_insertion_sort_scalar};
constexpr KernelSet avx512_set{partition_less_avx512, partition_short_avx512, small_insertion_sort_avx512};

const KernelSet& kernel_of(PartitionKernel kernel) noexcept {
    switch (kernel) {
        case PartitionKernel::avx2:
            return avx2_set;
        case PartitionKernel::avx512:
            return avx512_set;
        case PartitionKernel::scalar:
            break;
    }
    return scalar_set;
}

// The kernel partition_less and small_insertion_sort run. Relaxed is enough: every kernel
// gives the same results, so a thread that sees a forced change late still sorts correctly.
std::atomic<const KernelSet*>& active_kernel() noexcept {
    static std::atomic<const KernelSet*> active{&kernel_of(best_partition_kernel())};
    return active;
}

}  // namespace

std::string_view name_of(PartitionKernel kernel) noexcept {
    switch (kernel) {
        case PartitionKernel::avx2:
            return "avx2";
        case PartitionKernel::avx512:
            return "avx512";
        case PartitionKernel::scalar:
            break;
    }
    return "scalar";
}

bool partition_kernel_supported(PartitionKernel kernel) noexcept {
#if defined(VEXO_EMULATED_KERNELS)
    return true;
#elif defined(__x86_64__)
    switch (kernel) {
        case PartitionKernel::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
        case PartitionKernel::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("popcnt");
        case PartitionKernel::scalar:
            break;
    }
#endif
    return kernel == PartitionKernel::scalar;
}

PartitionKernel best_partition_kernel() noexcept {
    for (PartitionKernel kernel : {PartitionKernel::avx512, PartitionKernel::avx2}) {
        if (partition_kernel_supported(kernel)) return kernel;
    }
    return PartitionKernel::scalar;
}

// The block partition: the comparisons of a block of elements from each end are made
// first, without branches, recording the positions that are on the wrong side; then the
// recorded elements are swapped pairwise. On random data a branchy scan mispredicts about
// every other comparison; this does not depend on the outcomes at all.
std::size_t partition_less_scalar(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
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
ShortPartition partition_short_scalar(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
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

#if !VEXO_HAS_VECTOR_KERNELS
// Not an x86-64 build: the vector kernels are never selected (partition_kernel_supported
// says so), but keep their names callable.
std::size_t partition_less_avx2(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept { return partition_less_scalar(d, n, pivot); }
std::size_t partition_less_avx512(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept { return partition_less_scalar(d, n, pivot); }
void small_insertion_sort_avx512(std::int64_t* d, std::size_t n) noexcept { small_insertion_sort_scalar(d, n); }
ShortPartition partition_short_avx2(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept { return partition_short_scalar(d, n, pivot); }
ShortPartition partition_short_avx512(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept { return partition_short_scalar(d, n, pivot); }
#endif

void small_insertion_sort_scalar(std::int64_t* d, std::size_t n) noexcept { insertion_sort_branch_free(SortTarget(d, n)); }

std::size_t partition_less_with(PartitionKernel kernel, std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return kernel_of(kernel).partition(d, n, pivot);
}

std::size_t partition_less(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return active_kernel().load(std::memory_order_relaxed)->partition(d, n, pivot);
}

ShortPartition partition_short_with(PartitionKernel kernel, std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return kernel_of(kernel).short_partition(d, n, pivot);
}

ShortPartition partition_short(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return active_kernel().load(std::memory_order_relaxed)->short_partition(d, n, pivot);
}

void small_insertion_sort_with(PartitionKernel kernel, std::int64_t* d, std::size_t n) noexcept { kernel_of(kernel).insertion_sort(d, n); }

void small_insertion_sort(std::int64_t* d, std::size_t n) noexcept { active_kernel().load(std::memory_order_relaxed)->insertion_sort(d, n); }

bool force_partition_kernel(PartitionKernel kernel) noexcept {
    if (!partition_kernel_supported(kernel)) return false;
    active_kernel().store(&kernel_of(kernel), std::memory_order_relaxed);
    return true;
}

}  // namespace vexo
