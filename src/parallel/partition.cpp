// The portable partition kernel and the run-time choice between kernels.
#include "parallel/partition.hpp"

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

using Kernel = std::size_t (*)(std::int64_t*, std::size_t, std::int64_t) noexcept;

Kernel kernel_of(PartitionKernel kernel) noexcept {
    switch (kernel) {
        case PartitionKernel::avx2:
            return partition_less_avx2;
        case PartitionKernel::avx512:
            return partition_less_avx512;
        case PartitionKernel::scalar:
            break;
    }
    return partition_less_scalar;
}

// The kernel partition_less runs. Relaxed is enough: every kernel gives the same split,
// so a thread that sees a forced change late still partitions correctly.
std::atomic<Kernel>& active_kernel() noexcept {
    static std::atomic<Kernel> active{kernel_of(best_partition_kernel())};
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

#if !VEXO_HAS_VECTOR_KERNELS
// Not an x86-64 build: the vector kernels are never selected (partition_kernel_supported
// says so), but keep their names callable.
std::size_t partition_less_avx2(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept { return partition_less_scalar(d, n, pivot); }
std::size_t partition_less_avx512(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept { return partition_less_scalar(d, n, pivot); }
#endif

std::size_t partition_less_with(PartitionKernel kernel, std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return kernel_of(kernel)(d, n, pivot);
}

std::size_t partition_less(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept {
    return active_kernel().load(std::memory_order_relaxed)(d, n, pivot);
}

bool force_partition_kernel(PartitionKernel kernel) noexcept {
    if (!partition_kernel_supported(kernel)) return false;
    active_kernel().store(kernel_of(kernel), std::memory_order_relaxed);
    return true;
}

}  // namespace vexo
