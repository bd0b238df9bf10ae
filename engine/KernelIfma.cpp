// Eight Montgomery squaring chains side by side in 512-bit registers. vpmadd52luq/huq give the
// low and high 52 bits of 52x52-bit products, added to 64-bit accumulators, so a column of
// products needs no carry handling until the end of a squaring.
#include "KernelIfma.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

// GCC 12's own AVX-512 headers fill unused operands with "undefined" values, which it then
// reports as possibly uninitialized.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace vontal::ifma {

#if defined(__x86_64__)

namespace {

#define VONTAL_IFMA __attribute__((target("avx512f,avx512ifma"), always_inline)) inline
// Fixed-count loops over registers: unrolled whole, so that the arrays stay in registers.
#define VONTAL_UNROLL _Pragma("GCC unroll 16")

template <uint32_t W, bool Proth>
VONTAL_IFMA void Square(__m512i* x, const __m512i* p, __m512i pinv) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i mask = _mm512_set1_epi64((1ll << 52) - 1);
    __m512i c[2 * W];
    VONTAL_UNROLL
    for (uint32_t i = 0; i < 2 * W; ++i) c[i] = zero;
    // Cross products once, doubled, then the squares on the diagonal.
    VONTAL_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        VONTAL_UNROLL
        for (uint32_t j = i + 1; j < W; ++j) {
            c[i + j] = _mm512_madd52lo_epu64(c[i + j], x[i], x[j]);
            c[i + j + 1] = _mm512_madd52hi_epu64(c[i + j + 1], x[i], x[j]);
        }
    }
    VONTAL_UNROLL
    for (uint32_t i = 1; i < 2 * W; ++i) c[i] = _mm512_add_epi64(c[i], c[i]);
    VONTAL_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        c[2 * i] = _mm512_madd52lo_epu64(c[2 * i], x[i], x[i]);
        c[2 * i + 1] = _mm512_madd52hi_epu64(c[2 * i + 1], x[i], x[i]);
    }
    // Montgomery reduction one 52-bit limb at a time. The products only read the low 52 bits
    // of their inputs, so the factor m needs no masking of the column beforehand.
    VONTAL_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        const __m512i m = Proth ? _mm512_and_si512(_mm512_sub_epi64(zero, c[i]), mask)
                                : _mm512_madd52lo_epu64(zero, c[i], pinv);
        VONTAL_UNROLL
        for (uint32_t j = 0; j < W; ++j) {
            c[i + j] = _mm512_madd52lo_epu64(c[i + j], m, p[j]);
            c[i + j + 1] = _mm512_madd52hi_epu64(c[i + j + 1], m, p[j]);
        }
        // Limb i is now a multiple of 2^52: move it on as a carry.
        c[i + 1] = _mm512_add_epi64(c[i + 1], _mm512_srli_epi64(c[i], 52));
    }
    // The result, below 2p < R/2: back to 52-bit limbs.
    VONTAL_UNROLL
    for (uint32_t i = W; i < 2 * W - 1; ++i) {
        c[i + 1] = _mm512_add_epi64(c[i + 1], _mm512_srli_epi64(c[i], 52));
        x[i - W] = _mm512_and_si512(c[i], mask);
    }
    x[W - 1] = c[2 * W - 1];
}

template <uint32_t W, bool Proth>
__attribute__((target("avx512f,avx512ifma"))) void RunChains(const Batch& b, uint32_t* found) {
    __m512i x[W], p[W], t1[W], t2[W];
    VONTAL_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        x[i] = _mm512_load_si512(b.x[i]);
        p[i] = _mm512_load_si512(b.p[i]);
        t1[i] = _mm512_load_si512(b.target[i]);
        t2[i] = _mm512_load_si512(b.target2[i]);
    }
    const __m512i pinv = _mm512_load_si512(b.pinv);
    VONTAL_UNROLL
    for (uint32_t j = b.start; j < b.first; ++j) Square<W, Proth>(x, p, pinv);
    for (uint32_t m = b.first;; ++m) {
        __mmask8 eq1 = 0xFF, eq2 = 0xFF;
        VONTAL_UNROLL
        for (uint32_t i = 0; i < W; ++i) {
            eq1 &= _mm512_cmpeq_epi64_mask(x[i], t1[i]);
            eq2 &= _mm512_cmpeq_epi64_mask(x[i], t2[i]);
        }
        // After -1 every square is 1, so a lane never meets -1 twice.
        for (__mmask8 hit = eq1 | eq2; hit; hit &= hit - 1) found[__builtin_ctz(hit)] = m;
        if (m >= b.last) return;
        Square<W, Proth>(x, p, pinv);
    }
}

}  // namespace

void Run(const Batch& batch, uint32_t* found) {
    for (uint32_t l = 0; l < kLanes; ++l) found[l] = 0;
    switch (batch.limbs) {
        case 2: return batch.proth ? RunChains<2, true>(batch, found) : RunChains<2, false>(batch, found);
        case 3: return batch.proth ? RunChains<3, true>(batch, found) : RunChains<3, false>(batch, found);
        case 4: return RunChains<4, true>(batch, found);  // n >= 52 whenever four limbs are needed
        default: return RunChains<5, true>(batch, found);
    }
}

bool Available() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & (1u << 27))) return false;  // OSXSAVE
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    if ((lo & 0xE6) != 0xE6) return false;  // the OS saves the AVX-512 and AVX registers
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return (ebx & (1u << 16)) && (ebx & (1u << 21));  // AVX512F, AVX512_IFMA
}

#else

void Run(const Batch&, uint32_t* found) {
    for (uint32_t l = 0; l < kLanes; ++l) found[l] = 0;
}
bool Available() { return false; }

#endif

}  // namespace vontal::ifma
