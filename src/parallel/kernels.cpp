// The run-time choice between the instruction sets' kernel tables; the kernels themselves
// are in the units that fill the tables.
#include "parallel/kernels.hpp"

#include <atomic>

#include "core/assert.hpp"

namespace vexo {
namespace {

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
        case Isa::avx2: return kernel_units::avx2;
        case Isa::avx512: return kernel_units::avx512;
        case Isa::scalar: break;
    }
#endif
    return kernel_units::scalar;
}

const KernelSet& active_kernels() noexcept { return *active().load(std::memory_order_relaxed); }

ForcedKernels::ForcedKernels(Isa isa) noexcept : previous_(active().exchange(&kernels(isa), std::memory_order_relaxed)) {}

ForcedKernels::~ForcedKernels() { active().store(previous_, std::memory_order_relaxed); }

}  // namespace vexo
