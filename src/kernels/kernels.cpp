// The instruction sets' kernel tables and the run-time choice between them; the kernels
// themselves are in each instruction set's partition and merge units.
#include "kernels/kernels.hpp"

#include <atomic>

#include "core/assert.hpp"
#include "kernels/units.hpp"

namespace vexo {
namespace {

// Constant-initialised, so that a sort running during another unit's static
// initialisation already finds its table.
constinit const KernelSet scalar_kernels{Isa::scalar, kernel_units::scalar::partition, kernel_units::scalar::short_partition,
                                         kernel_units::scalar::insertion_sort, kernel_units::scalar::merge};
#if VEXO_HAS_VECTOR_KERNELS
constinit const KernelSet avx2_kernels{Isa::avx2, kernel_units::avx2::partition, kernel_units::avx2::short_partition,
                                       kernel_units::avx2::insertion_sort, kernel_units::avx2::merge};
constinit const KernelSet avx512_kernels{Isa::avx512, kernel_units::avx512::partition, kernel_units::avx512::short_partition,
                                         kernel_units::avx512::insertion_sort, kernel_units::avx512::merge};
#endif

// The table active_kernels() returns. Relaxed is enough: every set gives the same
// results, so a thread that sees a forced change late still sorts correctly.
std::atomic<const KernelSet*>& active() noexcept {
    static std::atomic<const KernelSet*> set{&kernels(best_isa())};
    return set;
}

}  // namespace

std::string_view name_of(Isa isa) noexcept {
    switch (isa) {
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
        case Isa::scalar: break;
    }
    return "scalar";
}

bool isa_supported(Isa isa) noexcept {
#if defined(VEXO_EMULATED_KERNELS)
    return true;
#elif defined(__x86_64__)
    switch (isa) {
        case Isa::avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
        case Isa::avx512: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("popcnt");
        case Isa::scalar: break;
    }
#endif
    return isa == Isa::scalar;
}

Isa best_isa() noexcept {
    for (Isa isa : {Isa::avx512, Isa::avx2}) {
        if (isa_supported(isa)) return isa;
    }
    return Isa::scalar;
}

const KernelSet& kernels(Isa isa) noexcept {
    VEXO_ASSERT(isa_supported(isa));
#if VEXO_HAS_VECTOR_KERNELS
    switch (isa) {
        case Isa::avx2: return avx2_kernels;
        case Isa::avx512: return avx512_kernels;
        case Isa::scalar: break;
    }
#endif
    return scalar_kernels;
}

const KernelSet& active_kernels() noexcept { return *active().load(std::memory_order_relaxed); }

ForcedKernels::ForcedKernels(Isa isa) noexcept : previous_(active().exchange(&kernels(isa), std::memory_order_relaxed)) {}

ForcedKernels::~ForcedKernels() { active().store(previous_, std::memory_order_relaxed); }

}  // namespace vexo
