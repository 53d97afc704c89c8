// The kernels of the sorts, one table of them per instruction set, and the run-time
// choice between the tables: the partitions and insertion sort of the parallel sorts and
// Timsort, and the merge that every stable sort runs through merge_runs (merge_runs.hpp).
// Each instruction set has a partition unit and a merge unit (partition_avx2.cpp and
// merge_avx2.cpp, and so on) over one header of lane traits (lanes_avx2.hpp); kernels.cpp
// gathers their functions (units.hpp) into the tables and picks one. The module is
// compiled for baseline x86-64, so the vector units carry their own target attributes,
// and the table that runs is chosen from what the CPU reports.
//
// A new kind of kernel joins as one more member of KernelSet, which every instruction set
// fills (with a vector routine of its own or with the scalar one); callers reach it as
// active_kernels().member, tests as kernels(isa).member.
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

enum class Isa : unsigned char { scalar, avx2, avx512 };

// The instruction sets this build holds kernels for.
#if VEXO_HAS_VECTOR_KERNELS
inline constexpr Isa all_isas[] = {Isa::scalar, Isa::avx2, Isa::avx512};
#else
inline constexpr Isa all_isas[] = {Isa::scalar};
#endif

std::string_view name_of(Isa isa) noexcept;

// Whether this build holds the kernels of `isa` and this CPU can run them (emulated
// kernels run on every CPU).
bool isa_supported(Isa isa) noexcept;

// The fastest supported instruction set: the one whose kernels run unless a test or a
// benchmark forces another.
Isa best_isa() noexcept;

// Ranges up to here may take the short partition: most partitions of a quicksort are of
// ranges this short, where a buffer on the stack (2 KiB a side, in L1) costs less than
// working in place, and where branching scans would mispredict on every call.
inline constexpr std::size_t max_short_partition = 256;

struct ShortPartition {
    std::size_t less;      // how many elements are < pivot (they come first)
    bool was_partitioned;  // they already came first: nothing moved
};

// The kernels' signatures, each one member of KernelSet.
using PartitionFn = std::size_t(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept;
using ShortPartitionFn = ShortPartition(std::int64_t* d, std::size_t n, std::int64_t pivot) noexcept;
using InsertionSortFn = void(std::int64_t* d, std::size_t n) noexcept;
using MergeFn = void(const std::int64_t* left, std::size_t l, const std::int64_t* right, std::size_t r, std::int64_t* out) noexcept;

// What one instruction set provides. Every set gives the same results: the members'
// contracts fix everything a caller can observe but the order within an unstable side.
struct KernelSet {
    Isa isa;

    // Rearranges d[0, n) so that the elements < pivot come first; returns how many they
    // are. Any n and pivot; reads and writes nothing outside the range; no allocation;
    // not stable.
    PartitionFn* partition;

    // n <= max_short_partition; rearranges d[0, n) as `partition` does, but stably (each
    // side keeps the order its elements had, so a nearly sorted range leaves two nearly
    // sorted sides), and tells whether the range already was partitioned. Touches only
    // d[0, n); no allocation (stack buffers); no branch on the comparisons.
    ShortPartitionFn* short_partition;

    // Sorts d[0, n) ascending, stably, as insertion_sort_branch_free
    // (insertion_branch_free.hpp) does; meant for the short ranges the parallel sorts
    // finish or extend (quadratic). Touches only d[0, n); no allocation.
    InsertionSortFn* insertion_sort;

    // Merges the sorted runs left[0, l) and right[0, r) into out[0, l + r), which
    // overlaps neither run; any lengths. Gives what a stable merge gives (int64 keys
    // carry nothing that could tell equal elements apart). Reads only the runs, writes
    // only out[0, l + r); no allocation (stack buffers).
    MergeFn* merge;
};

// The kernels of `isa`, which must be supported.
const KernelSet& kernels(Isa isa) noexcept;

// The kernels the sorts run: those of best_isa(), or of the instruction set a
// ForcedKernels in scope names. One relaxed load.
const KernelSet& active_kernels() noexcept;

// Makes active_kernels() return kernels(isa), on every thread, for as long as it lives;
// then the set active before comes back, however the scope is left (a failed test
// assertion included), so a forced kernel never outlives the test or benchmark that
// forced it. `isa` must be supported. Guards nest; they end in reverse order, as scopes do.
class ForcedKernels {
public:
    explicit ForcedKernels(Isa isa) noexcept;
    ~ForcedKernels();
    ForcedKernels(const ForcedKernels&) = delete;
    ForcedKernels& operator=(const ForcedKernels&) = delete;

private:
    const KernelSet* previous_;
};

}  // namespace vexo
