// The intrinsics and the target attribute of a vector kernel unit. The unit defines
// VEXO_KERNEL_ISA (its target attribute's instruction sets) before including this header,
// and marks each function that uses the intrinsics VEXO_KERNEL_TARGET. Built with
// VEXO_EMULATED_KERNELS (the C++ tests' second copy of the kernels), the intrinsics come
// from SIMDe's portable emulation instead and no target attribute applies, so every
// kernel runs on any CPU, whatever it supports.
#pragma once

#ifndef VEXO_KERNEL_ISA
#error "define VEXO_KERNEL_ISA before including vector_target.hpp"
#endif

#if defined(VEXO_EMULATED_KERNELS)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
#define VEXO_KERNEL_TARGET
#else
#include <immintrin.h>
#define VEXO_KERNEL_TARGET __attribute__((target(VEXO_KERNEL_ISA)))
#endif
