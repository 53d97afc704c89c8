// In-place partition kernels of parallel_unstable_sort: elements < pivot to the front,
// the others to the back. The scalar block partition runs everywhere; on x86-64 an AVX2
// and an AVX-512 kernel do the same work a vector at a time. The module is compiled for
// baseline x86-64, so the vector kernels carry their own target attributes and one of
// them is picked at run time from what the CPU reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Whether this build holds the vector kernels: x86-64 builds do, and so does the C++
// tests' build over SIMDe's emulation of their intrinsics (VEXO_EMULATED_KERNELS), on
// any architecture.
#if defined(__x86_64__) || defined(VEXO_EMULATED_KERNELS)
#define VEXO_HAS_VECTOR_KERNELS 1
#else
#define VEXO_HAS_VECTOR_KERNELS 0
#endif

namespace vexo {

enum class PartitionKernel : unsigned char { scalar, avx2, avx512 };

// The kernels this build holds.
#if VEXO_HAS_VECTOR_KERNELS
inline constexpr PartitionKernel all_partition_kernels[] = {PartitionKernel::scalar, PartitionKernel::avx2, PartitionKernel::avx512};
#else
inline constexpr PartitionKernel all_partition_kernels[] = {PartitionKernel::scalar};
#endif

std::string_view name_of(PartitionKernel kernel) noexcept;

// Whether this build holds the kernel and this CPU can run it (emulated kernels run on
// every CPU).
bool partition_kernel_supported(PartitionKernel kernel) noexcept;

// The fastest supported kernel; what partition_less uses unless a test forces another.
PartitionKernel best_partition_kernel() noexcept;

// Contract of every kernel: rearranges d[0, n) so that the elements < pivot come first,
// returns how many they are. Any n and pivot; reads and writes nothing outside the range;
// no allocation; not stable. The returned split is the same for every kernel (it is the
// count of elements < pivot); the order within each side is not.
std::size_t partition_less_scalar(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept;
std::size_t partition_less_avx2(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept;
std::size_t partition_less_avx512(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept;

// Runs `kernel`, which must be supported.
std::size_t partition_less_with(PartitionKernel kernel, std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept;

// Runs the active kernel: the best one, or the one last forced.
std::size_t partition_less(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept;

// Ranges up to here may take the short partition: most partitions of a quicksort are of
// ranges this short, where a buffer on the stack (2 KiB a side, in L1) costs less than
// working in place, and where branching scans would mispredict on every call.
inline constexpr std::size_t max_short_partition = 256;

struct ShortPartition {
    std::size_t less;      // how many elements are < pivot (they come first)
    bool was_partitioned;  // they already came first: nothing moved
};

// Contract of every kernel's short partition: n <= max_short_partition; rearranges
// d[0, n) as partition_less does, but stably (each side keeps the order its elements had,
// so a nearly sorted range leaves two nearly sorted sides), and tells whether the range
// already was partitioned. Touches only d[0, n); no allocation (stack buffers); no branch
// on the comparisons.
ShortPartition partition_short_scalar(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept;
ShortPartition partition_short_avx2(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept;
ShortPartition partition_short_avx512(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept;
ShortPartition partition_short_with(PartitionKernel kernel, std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept;

// The active kernel's short partition.
ShortPartition partition_short(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept;

// The small-range insertion sort that goes with each kernel: sorts d[0, n) ascending,
// stably, as insertion_sort_branch_free (algorithms/insertion.hpp) does; meant for the
// short ranges the parallel sorts finish or extend (quadratic). Touches only d[0, n); no
// allocation. The scalar and AVX2 kernels run insertion_sort_branch_free itself; the
// AVX-512 kernel keeps ranges of up to 24 elements in registers.
void small_insertion_sort_scalar(std::int64_t* d, std::size_t n) noexcept;
void small_insertion_sort_avx512(std::int64_t* d, std::size_t n) noexcept;
void small_insertion_sort_with(PartitionKernel kernel, std::int64_t* d, std::size_t n) noexcept;

// The active kernel's small-range insertion sort.
void small_insertion_sort(std::int64_t* d, std::size_t n) noexcept;

// Makes partition_less, partition_short and small_insertion_sort use `kernel` from now on, for every thread; returns false (and
// changes nothing) when it is not supported. For tests and benchmarks.
bool force_partition_kernel(PartitionKernel kernel) noexcept;

}  // namespace vexo
