// The narrow kernels: eight Montgomery squaring chains side by side in 512-bit registers, a
// kernel for each width of 2 to kMaxLimbs limbs of 52 bits and each form of the reduction,
// with 1 to kVectors batches in flight. vpmadd52luq/huq give the low and high 52 bits of
// 52x52-bit products, added to 64-bit accumulators, so a column of products needs no carry
// handling until the end of a squaring. The chains are only looked at after the last squaring.
//
// This file holds only the unrolled kernels (their set-up is in KernelIfma.cpp): it is the one
// that takes long to compile, and checking builds compile it without AddressSanitizer.
#include "KernelIfma.h"
#include "IfmaIntrinsics.h"

#include <cstdlib>

namespace vontal::ifma {

#if defined(__x86_64__)

namespace {



// x = x^2 / R mod p, in [0, 2p) for x in [0, 2p), R = 2^(52W). D = 0: any odd p, with
// pinv = -p^-1 mod 2^52. D >= 1: p = 1 + K*2^(52D) (n >= 52), so limb i's Montgomery factor is
// m = -t_i mod 2^52, m*1 only carries out of the limb, and m*K lands D limbs up: W - D limbs of
// products instead of W.
template <uint32_t W, uint32_t D>
VONTAL_IFMA void Square(__m512i* x, const __m512i* p, __m512i pinv) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i mask = _mm512_set1_epi64((1ll << 52) - 1);
    __m512i c[2 * W];
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < 2 * W; ++i) c[i] = zero;
    // Cross products once, doubled, then the squares on the diagonal.
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        VONTAL_VECTOR_UNROLL
        for (uint32_t j = i + 1; j < W; ++j) {
            c[i + j] = _mm512_madd52lo_epu64(c[i + j], x[i], x[j]);
            c[i + j + 1] = _mm512_madd52hi_epu64(c[i + j + 1], x[i], x[j]);
        }
    }
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 1; i < 2 * W; ++i) c[i] = _mm512_add_epi64(c[i], c[i]);
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        c[2 * i] = _mm512_madd52lo_epu64(c[2 * i], x[i], x[i]);
        c[2 * i + 1] = _mm512_madd52hi_epu64(c[2 * i + 1], x[i], x[i]);
    }
    // Montgomery reduction one 52-bit limb at a time. The products only read the low 52 bits
    // of their inputs, so the factor m needs no masking of the column beforehand.
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        if constexpr (D == 0) {
            const __m512i m = _mm512_madd52lo_epu64(zero, c[i], pinv);
            VONTAL_VECTOR_UNROLL
            for (uint32_t j = 0; j < W; ++j) {
                c[i + j] = _mm512_madd52lo_epu64(c[i + j], m, p[j]);
                c[i + j + 1] = _mm512_madd52hi_epu64(c[i + j + 1], m, p[j]);
            }
            // Limb i is now a multiple of 2^52: move it on as a carry.
            c[i + 1] = _mm512_add_epi64(c[i + 1], _mm512_srli_epi64(c[i], 52));
        } else {
            const __m512i m = _mm512_and_si512(_mm512_sub_epi64(zero, c[i]), mask);
            c[i + 1] = _mm512_add_epi64(c[i + 1], _mm512_srli_epi64(_mm512_add_epi64(c[i], m), 52));
            VONTAL_VECTOR_UNROLL
            for (uint32_t t = 0; t < W - D; ++t) {
                c[i + D + t] = _mm512_madd52lo_epu64(c[i + D + t], m, p[D + t]);
                c[i + D + t + 1] = _mm512_madd52hi_epu64(c[i + D + t + 1], m, p[D + t]);
            }
        }
    }
    // The result, below 2p < R/2: back to 52-bit limbs.
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = W; i < 2 * W - 1; ++i) {
        c[i + 1] = _mm512_add_epi64(c[i + 1], _mm512_srli_epi64(c[i], 52));
        x[i - W] = _mm512_and_si512(c[i], mask);
    }
    x[W - 1] = c[2 * W - 1];
}

// Compares with -1 after every squaring from 2^(2^first) on: the m at which a lane meets -1.
template <uint32_t W, uint32_t D>
__attribute__((target("avx512f,avx512ifma"))) void RunChainsChecked(const Batch& b, uint32_t* found) {
    __m512i x[W], p[W], t1[W], t2[W];
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        x[i] = _mm512_load_si512(b.x[i]);
        p[i] = _mm512_load_si512(b.p[i]);
        t1[i] = _mm512_load_si512(b.target[i]);
        t2[i] = _mm512_load_si512(b.target2[i]);
    }
    const __m512i pinv = _mm512_load_si512(b.pinv);
    for (uint32_t j = b.start; j < b.first; ++j) Square<W, D>(x, p, pinv);
    for (uint32_t m = b.first;; ++m) {
        __mmask8 eq1 = 0xFF, eq2 = 0xFF;
        VONTAL_VECTOR_UNROLL
        for (uint32_t i = 0; i < W; ++i) {
            eq1 &= _mm512_cmpeq_epi64_mask(x[i], t1[i]);
            eq2 &= _mm512_cmpeq_epi64_mask(x[i], t2[i]);
        }
        // After -1 every square is 1, so a lane never meets -1 twice.
        for (__mmask8 hit = eq1 | eq2; hit; hit &= hit - 1) found[__builtin_ctz(hit)] = m;
        if (m >= b.last) return;
        Square<W, D>(x, p, pinv);
    }
}

// The end of a chain: -1 there is a find at m = last. A lane at +1 met -1 earlier, or has a
// smaller order of 2 (possibly below first, or through a composite p), which is rare: its
// batch is then run again with every m compared.
template <uint32_t W, uint32_t D>
VONTAL_IFMA void FinalCheck(const Batch& b, const __m512i* x, uint32_t* found) {
    // x is below 2p: subtract p where that leaves no borrow, so that each residue has one form.
    const __m512i mask = _mm512_set1_epi64((1ll << 52) - 1);
    __m512i y[W], borrow = _mm512_setzero_si512();
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        const __m512i t = _mm512_sub_epi64(_mm512_sub_epi64(x[i], _mm512_load_si512(b.p[i])), borrow);
        borrow = _mm512_srli_epi64(t, 63);
        y[i] = _mm512_and_si512(t, mask);
    }
    const __mmask8 atLeastP = _mm512_cmpeq_epi64_mask(borrow, _mm512_setzero_si512());
    // -1 is target; +1 is p - target, so x = +1 exactly when x + target = p.
    __mmask8 minus = 0xFF, plus = 0xFF;
    __m512i carry = _mm512_setzero_si512();
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        const __m512i v = _mm512_mask_mov_epi64(x[i], atLeastP, y[i]);
        const __m512i t = _mm512_load_si512(b.target[i]);
        minus &= _mm512_cmpeq_epi64_mask(v, t);
        const __m512i sum = _mm512_add_epi64(_mm512_add_epi64(v, t), carry);
        carry = _mm512_srli_epi64(sum, 52);
        plus &= _mm512_cmpeq_epi64_mask(_mm512_and_si512(sum, mask), _mm512_load_si512(b.p[i]));
    }
    plus &= _mm512_cmpeq_epi64_mask(carry, _mm512_setzero_si512());
    if (plus != 0) return RunChainsChecked<W, D>(b, found);
    if (b.last >= b.first)
        for (__mmask8 hit = minus; hit; hit &= hit - 1) found[__builtin_ctz(hit)] = b.last;
}

// V batches of one shape side by side: each squaring waits on its own chain of multiply-adds,
// and the other batches' squarings fill those waits, so that the multiply-add units rather
// than their latency set the pace. Squares straight through to 2^(2^last) and looks only at
// the end.
template <uint32_t W, uint32_t D, uint32_t V>
__attribute__((target("avx512f,avx512ifma"))) void RunChains(const Batch* b, uint32_t* found) {
    __m512i x[V][W], p[V][W], pinv[V];
    VONTAL_VECTOR_UNROLL
    for (uint32_t v = 0; v < V; ++v) {
        VONTAL_VECTOR_UNROLL
        for (uint32_t i = 0; i < W; ++i) {
            x[v][i] = _mm512_load_si512(b[v].x[i]);
            p[v][i] = _mm512_load_si512(b[v].p[i]);
        }
        pinv[v] = _mm512_load_si512(b[v].pinv);
    }
    for (uint32_t j = b[0].start; j < b[0].last; ++j) {
        VONTAL_VECTOR_UNROLL
        for (uint32_t v = 0; v < V; ++v) Square<W, D>(x[v], p[v], pinv[v]);
    }
    VONTAL_VECTOR_UNROLL
    for (uint32_t v = 0; v < V; ++v) FinalCheck<W, D>(b[v], x[v], found + kLanes * v);
}

// The reduction for a width: dense below n = 52, else by D = n / 52 (p's limbs below D are 1, 0, ...).
// From six limbs on n is at least 52(W - 3) (k < 2^64 and p needs more than 52(W - 1) - 3 bits),
// so only the last three reductions of such a width have kernels (kLowestShift; the caller
// checks it with HasKernel).
template <uint32_t W>
constexpr uint32_t kLowestShift = W >= 6 ? W - 3 : 0;

// The reduction for a width: dense below n = 52, else by D = n / 52 (p's limbs below D are 1, 0, ...).
template <uint32_t W, uint32_t V>
void RunWidth(const Batch* b, uint32_t d, uint32_t* found) {
    static_assert(W >= 2 && W <= kMaxLimbs && kMaxLimbs == 9);
    constexpr uint32_t low = kLowestShift<W>;
    switch (d) {
        case 0: if constexpr (low <= 0) return RunChains<W, 0, V>(b, found); else break;
        case 1: if constexpr (low <= 1) return RunChains<W, 1, V>(b, found); else break;
        case 2: if constexpr (W > 2 && low <= 2) return RunChains<W, 2, V>(b, found); else break;
        case 3: if constexpr (W > 3 && low <= 3) return RunChains<W, 3, V>(b, found); else break;
        case 4: if constexpr (W > 4 && low <= 4) return RunChains<W, 4, V>(b, found); else break;
        case 5: if constexpr (W > 5 && low <= 5) return RunChains<W, 5, V>(b, found); else break;
        case 6: if constexpr (W > 6 && low <= 6) return RunChains<W, 6, V>(b, found); else break;
        case 7: if constexpr (W > 7 && low <= 7) return RunChains<W, 7, V>(b, found); else break;
        case 8: if constexpr (W > 8) return RunChains<W, 8, V>(b, found); else break;
    }
    std::abort();  // HasKernel(W, d) is checked before: see above
}

template <uint32_t V>
void RunVectors(const Batch* b, uint32_t d, uint32_t* found) {
    switch (b[0].limbs) {
        case 2: return RunWidth<2, V>(b, d, found);
        case 3: return RunWidth<3, V>(b, d, found);
        case 4: return RunWidth<4, V>(b, d, found);
        case 5: return RunWidth<5, V>(b, d, found);
        case 6: return RunWidth<6, V>(b, d, found);
        case 7: return RunWidth<7, V>(b, d, found);
        case 8: return RunWidth<8, V>(b, d, found);
        default: return RunWidth<9, V>(b, d, found);
    }
}

}  // namespace

bool HasKernel(uint32_t limbs, uint32_t kShift) {
    return limbs >= 2 && limbs <= kMaxLimbs && kShift < limbs && (limbs < 6 || kShift + 3 >= limbs);
}

void Run(const Batch* batches, uint32_t count, uint32_t* found) {
    for (uint32_t l = 0; l < kLanes * count; ++l) found[l] = 0;
    const uint32_t d = batches[0].proth ? batches[0].kShift : 0;
    switch (count) {
        case 1: return RunVectors<1>(batches, d, found);
        case 2: return RunVectors<2>(batches, d, found);
        case 3: return RunVectors<3>(batches, d, found);
        default: return RunVectors<4>(batches, d, found);
    }
}

void Run(const Batch& batch, uint32_t* found) { Run(&batch, 1, found); }

#else

bool HasKernel(uint32_t, uint32_t) { return false; }

void Run(const Batch* batches, uint32_t count, uint32_t* found) {
    for (uint32_t l = 0; l < kLanes * count; ++l) found[l] = 0;
    (void)batches;
}

void Run(const Batch& batch, uint32_t* found) { Run(&batch, 1, found); }

#endif

}  // namespace vontal::ifma
