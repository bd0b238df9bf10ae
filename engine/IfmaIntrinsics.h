// What the AVX-512 IFMA kernels' source files share: the intrinsics, and how their helpers are
// compiled. Included only by those files.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// GCC 12's own AVX-512 headers fill unused operands with "undefined" values, which it then
// reports as possibly uninitialized.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define VONTAL_IFMA __attribute__((target("avx512f,avx512ifma"), always_inline)) inline
#define VONTAL_IFMA_LAMBDA __attribute__((target("avx512f,avx512ifma"), always_inline))
// Fixed-count loops over registers: unrolled whole, so that the arrays stay in registers (in
// checking builds too, where the vector code would otherwise crawl through memory).
#define VONTAL_VECTOR_UNROLL _Pragma("GCC unroll 16")
