// Target regions: code between MENDSEQS_TARGET_REGION("...") and
// MENDSEQS_TARGET_REGION_END is compiled for the named instruction set,
// whatever the build's baseline, so one generic source can be compiled
// once per instruction set in one build. Nothing from such a region may run
// before the processor has reported the instruction set (isa.cpp decides).
//
// Every header the region's code relies on must be included before the
// region opens: a declaration first seen inside it would take the target
// too, and the baseline code including it later would call the wrong one.
// The one exception is kernels/lcs_step.hpp, a lone template that
// generic.hpp includes inside the region so that it is compiled there.
#pragma once

#define MENDSEQS_PRAGMA(x) _Pragma(#x)
#if defined(__clang__)
#define MENDSEQS_TARGET_REGION(instruction_set) \
  MENDSEQS_PRAGMA(clang attribute push(__attribute__((target(instruction_set))), apply_to = function))
#define MENDSEQS_TARGET_REGION_END MENDSEQS_PRAGMA(clang attribute pop)
#else
#define MENDSEQS_TARGET_REGION(instruction_set) \
  MENDSEQS_PRAGMA(GCC push_options) MENDSEQS_PRAGMA(GCC target(instruction_set))
#define MENDSEQS_TARGET_REGION_END MENDSEQS_PRAGMA(GCC pop_options)
#endif

// The one spelling of each instruction set's target.
#define MENDSEQS_TARGET_AVX2 "avx2"
#define MENDSEQS_TARGET_AVX512 "avx512f,avx512bw"
#define MENDSEQS_TARGET_NEON "fpu=neon"
