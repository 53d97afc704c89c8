// VEXO_ASSERT: a stated precondition or invariant, checked in the checked builds (the
// sanitized ones and CMAKE_BUILD_TYPE=Debug, which define VEXO_CHECKED) and compiled out
// in the others, where the condition is type-checked but never evaluated. The model is
// Highway's HWY_DASSERT and the assert()s of CPython's listobject.c: a comment states a
// contract, the check keeps it true while the tests run.
//
// A broken contract is a bug in vexo, not in the caller's data, and the routines that
// check are noexcept and may run on pool workers: unwinding is not an option there. So the
// failure writes the usual fault report ("... panicked at FILE:LINE:COL:" and the
// condition) and aborts. The failure path is one out-of-line call taking plain pointers,
// so the kernels compiled for wider instruction sets (partition_vector.hpp) can check too
// without instantiating any standard-library code.
#pragma once

#include "core/fault.hpp"

namespace vexo {

// Writes "contract broken: CONDITION" as a fault report located at `where`, then aborts.
[[noreturn]] void contract_broken(const char* condition, FaultLocation where = {}) noexcept;

}  // namespace vexo

#ifdef VEXO_CHECKED
#define VEXO_ASSERT(condition) ((condition) ? static_cast<void>(0) : ::vexo::contract_broken(#condition))
#else
#define VEXO_ASSERT(condition) static_cast<void>(sizeof(static_cast<bool>(condition)))
#endif
