// How the kernels' source files compile their helpers. Included only by those files.
#pragma once

// Everything below a kernel entry point is inlined into it, so that each entry point is compiled
// whole for its instruction set; fixed-count loops over registers are unrolled whole, so that
// the arrays stay in registers. Checking builds (sanitizers) leave both to the compiler, which
// keeps them quick to build.
#if defined(VONTAL_CHECKING_BUILD)
#define VONTAL_INLINE inline
#define VONTAL_UNROLL
#else
#define VONTAL_INLINE __attribute__((always_inline)) inline
#define VONTAL_UNROLL _Pragma("GCC unroll 16")
#endif
