// The candidate test on four candidates at once with AVX2, for processors without AVX-512 IFMA.
//
// Numbers are held in limbs of 26 bits, one candidate per 64-bit lane. vpmuludq multiplies the
// low 32 bits of each lane into a full 64-bit product, so a 26x26-bit product (below 2^52) is
// one instruction, and a column of a square sums dozens of them without a carry: where the
// scalar kernels spend most of their time on add-with-carry chains that the processor cannot
// run side by side, this runs only multiplications and additions, and carries once per limb.
//
// Residues are in Montgomery form with R = 2^(26W), p < R/4, kept in [0, 2p). For n >= 26,
// p = 1 + K*2^(26D) with D = n / 26: limb i's factor is m = -t_i mod 2^26, and m*K lands D
// limbs up (the Proth form), so the reduction costs W times the few limbs of K instead of W^2
// products. Below that, the factor is t_i * (-p^-1) mod 2^26 and the reduction is dense.
// The chains are only looked at after the last squaring, as in the IFMA kernel; two batches
// of four run side by side to fill each other's waits.
#include "KernelCompile.h"
#include "KernelScalar.h"
#include "KernelVariants.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vontal {

#if defined(__x86_64__)

namespace {

#define VONTAL_AVX2 __attribute__((target("avx2"), always_inline)) inline
// Unrolled in checking builds too: the limb arrays must stay in registers or near them.
#define VONTAL_AVX2_UNROLL _Pragma("GCC unroll 32")

constexpr uint32_t kLanes4 = 4;
constexpr uint32_t kVectors2 = 2;
constexpr uint32_t kMaxLimbs26 = 10;  // p < 2^(26 * 10 - 2): Lp up to 257

struct Batch26 {
    uint32_t limbs = 0, start = 0, first = 0, last = 0, kShift = 0;  // kShift = n / 26, 0 below 26
    alignas(32) uint64_t p[kMaxLimbs26][kLanes4];
    alignas(32) uint64_t x[kMaxLimbs26][kLanes4];
    alignas(32) uint64_t target[kMaxLimbs26][kLanes4];
    alignas(32) uint64_t target2[kMaxLimbs26][kLanes4];
    alignas(32) uint64_t pinv[kLanes4];  // -p^-1 mod 2^26, for kShift = 0
};

// x = x^2 / R mod p, in [0, 2p) for x in [0, 2p).
template <uint32_t W, uint32_t D>
VONTAL_AVX2 void Square(__m256i* x, const __m256i* p, __m256i pinv) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i mask = _mm256_set1_epi64x((1ll << 26) - 1);
    __m256i c[2 * W];
    VONTAL_AVX2_UNROLL
    for (uint32_t i = 0; i < 2 * W; ++i) c[i] = zero;
    VONTAL_AVX2_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        VONTAL_AVX2_UNROLL
        for (uint32_t j = i + 1; j < W; ++j) c[i + j] = _mm256_add_epi64(c[i + j], _mm256_mul_epu32(x[i], x[j]));
    }
    VONTAL_AVX2_UNROLL
    for (uint32_t i = 1; i < 2 * W - 1; ++i) c[i] = _mm256_add_epi64(c[i], c[i]);
    VONTAL_AVX2_UNROLL
    for (uint32_t i = 0; i < W; ++i) c[2 * i] = _mm256_add_epi64(c[2 * i], _mm256_mul_epu32(x[i], x[i]));
    VONTAL_AVX2_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        if constexpr (D == 0) {
            const __m256i m = _mm256_and_si256(_mm256_mul_epu32(c[i], pinv), mask);
            VONTAL_AVX2_UNROLL
            for (uint32_t j = 0; j < W; ++j) c[i + j] = _mm256_add_epi64(c[i + j], _mm256_mul_epu32(m, p[j]));
            c[i + 1] = _mm256_add_epi64(c[i + 1], _mm256_srli_epi64(c[i], 26));
        } else {
            const __m256i m = _mm256_and_si256(_mm256_sub_epi64(zero, c[i]), mask);
            c[i + 1] = _mm256_add_epi64(c[i + 1], _mm256_srli_epi64(_mm256_add_epi64(c[i], m), 26));
            VONTAL_AVX2_UNROLL
            for (uint32_t t = 0; t < W - D; ++t)
                c[i + D + t] = _mm256_add_epi64(c[i + D + t], _mm256_mul_epu32(m, p[D + t]));
        }
    }
    VONTAL_AVX2_UNROLL
    for (uint32_t i = W; i < 2 * W - 1; ++i) {
        c[i + 1] = _mm256_add_epi64(c[i + 1], _mm256_srli_epi64(c[i], 26));
        x[i - W] = _mm256_and_si256(c[i], mask);
    }
    x[W - 1] = c[2 * W - 1];
}

VONTAL_AVX2 uint32_t EqualLanes(__m256i a, __m256i b) {
    return static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(a, b))));
}

// Compares with -1 after every squaring from 2^(2^first) on: the m at which a lane meets -1.
template <uint32_t W, uint32_t D>
__attribute__((target("avx2"))) void RunChainsChecked(const Batch26& b, uint32_t* found) {
    __m256i x[W], p[W];
    VONTAL_AVX2_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        x[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(b.x[i]));
        p[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(b.p[i]));
    }
    const __m256i pinv = _mm256_load_si256(reinterpret_cast<const __m256i*>(b.pinv));
    for (uint32_t j = b.start; j < b.first; ++j) Square<W, D>(x, p, pinv);
    for (uint32_t m = b.first;; ++m) {
        uint32_t eq1 = 0xF, eq2 = 0xF;
        VONTAL_AVX2_UNROLL
        for (uint32_t i = 0; i < W; ++i) {
            eq1 &= EqualLanes(x[i], _mm256_load_si256(reinterpret_cast<const __m256i*>(b.target[i])));
            eq2 &= EqualLanes(x[i], _mm256_load_si256(reinterpret_cast<const __m256i*>(b.target2[i])));
        }
        // After -1 every square is 1, so a lane never meets -1 twice.
        for (uint32_t hit = eq1 | eq2; hit; hit &= hit - 1) found[__builtin_ctz(hit)] = m;
        if (m >= b.last) return;
        Square<W, D>(x, p, pinv);
    }
}

// The end of a chain: -1 there is a find at m = last. A lane at +1 met -1 earlier, or has a
// smaller order of 2 (possibly below first, or through a composite p), which is rare: its batch
// is then run again with every m compared.
template <uint32_t W, uint32_t D>
VONTAL_AVX2 void FinalCheck(const Batch26& b, const __m256i* x, uint32_t* found) {
    const __m256i mask = _mm256_set1_epi64x((1ll << 26) - 1), zero = _mm256_setzero_si256();
    // x is below 2p: subtract p where that leaves no borrow, so that each residue has one form.
    __m256i y[W], borrow = zero;
    VONTAL_AVX2_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        const __m256i p = _mm256_load_si256(reinterpret_cast<const __m256i*>(b.p[i]));
        const __m256i t = _mm256_sub_epi64(_mm256_sub_epi64(x[i], p), borrow);
        borrow = _mm256_srli_epi64(t, 63);
        y[i] = _mm256_and_si256(t, mask);
    }
    const __m256i atLeastP = _mm256_cmpeq_epi64(borrow, zero);
    // -1 is target; +1 is p - target, so x = +1 exactly when x + target = p.
    uint32_t minus = 0xF, plus = 0xF;
    __m256i carry = zero;
    VONTAL_AVX2_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        const __m256i v = _mm256_blendv_epi8(x[i], y[i], atLeastP);
        const __m256i t = _mm256_load_si256(reinterpret_cast<const __m256i*>(b.target[i]));
        minus &= EqualLanes(v, t);
        const __m256i sum = _mm256_add_epi64(_mm256_add_epi64(v, t), carry);
        carry = _mm256_srli_epi64(sum, 26);
        plus &= EqualLanes(_mm256_and_si256(sum, mask), _mm256_load_si256(reinterpret_cast<const __m256i*>(b.p[i])));
    }
    plus &= EqualLanes(carry, zero);
    if (plus != 0) return RunChainsChecked<W, D>(b, found);
    if (b.last >= b.first)
        for (uint32_t hit = minus; hit; hit &= hit - 1) found[__builtin_ctz(hit)] = b.last;
}

template <uint32_t W, uint32_t D, uint32_t V>
__attribute__((target("avx2"))) void RunChains(const Batch26* b, uint32_t* found) {
    __m256i x[V][W], p[V][W], pinv[V];
    VONTAL_AVX2_UNROLL
    for (uint32_t v = 0; v < V; ++v) {
        VONTAL_AVX2_UNROLL
        for (uint32_t i = 0; i < W; ++i) {
            x[v][i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(b[v].x[i]));
            p[v][i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(b[v].p[i]));
        }
        pinv[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(b[v].pinv));
    }
    for (uint32_t j = b[0].start; j < b[0].last; ++j) {
        VONTAL_AVX2_UNROLL
        for (uint32_t v = 0; v < V; ++v) Square<W, D>(x[v], p[v], pinv[v]);
    }
    VONTAL_AVX2_UNROLL
    for (uint32_t v = 0; v < V; ++v) FinalCheck<W, D>(b[v], x[v], found + kLanes4 * v);
}

// W - D is the number of limbs of K = k*2^(n mod 26): 1 to 4, since k < 2^64; D = 0 (n < 26)
// only below W = 5. False for any other pair, which never occurs.
template <uint32_t W, uint32_t V>
bool RunWidth(const Batch26* b, uint32_t* found) {
    const uint32_t d = b[0].kShift;
    if constexpr (W <= 4)
        if (d == 0) return RunChains<W, 0, V>(b, found), true;
    if (d == W - 1) return RunChains<W, W - 1, V>(b, found), true;
    if constexpr (W >= 3)
        if (d == W - 2) return RunChains<W, W - 2, V>(b, found), true;
    if constexpr (W >= 4)
        if (d == W - 3) return RunChains<W, W - 3, V>(b, found), true;
    if constexpr (W >= 5)
        if (d == W - 4) return RunChains<W, W - 4, V>(b, found), true;
    return false;
}

template <uint32_t V>
bool RunVectors(const Batch26* b, uint32_t* found) {
    switch (b[0].limbs) {
        case 2: return RunWidth<2, V>(b, found);
        case 3: return RunWidth<3, V>(b, found);
        case 4: return RunWidth<4, V>(b, found);
        case 5: return RunWidth<5, V>(b, found);
        case 6: return RunWidth<6, V>(b, found);
        case 7: return RunWidth<7, V>(b, found);
        case 8: return RunWidth<8, V>(b, found);
        case 9: return RunWidth<9, V>(b, found);
        case 10: return RunWidth<10, V>(b, found);
        default: return false;
    }
}

// v (w64 limbs of 64 bits) into limbs of 26 bits of one lane.
void To26(const u64* v, uint32_t w64, uint64_t (*out)[kLanes4], uint32_t limbs, uint32_t lane) {
    for (uint32_t i = 0; i < limbs; ++i) {
        const uint32_t bit = 26 * i, word = bit / 64, shift = bit % 64;
        u64 value = word < w64 ? v[word] >> shift : 0;
        if (shift > 38 && word + 1 < w64) value |= v[word + 1] << (64 - shift);
        out[i][lane] = value & ((u64{1} << 26) - 1);
    }
}

uint32_t Limbs26(uint64_t k, uint32_t n) { return (n + Log2Floor(k) + 3 + 25) / 26; }

// Up to two batches of four of one shape, set up lane by lane with the scalar code (64-bit
// limbs, R = 2^(26W)) and handed over in limbs of 26 bits. Lanes beyond count repeat the last.
void RunShapeAvx2(const u64* ks, uint32_t count, const Shape& sh, uint32_t* ms, KernelScratch& scratch) {
    uint32_t w26 = 0;
    for (uint32_t l = 0; l < count; ++l) w26 = std::max(w26, Limbs26(ks[l], sh.n));
    w26 = std::max<uint32_t>(w26, 2);
    // Every processor this variant runs on has BMI2 and ADX (its CPU check asks for them).
    if (w26 > kMaxLimbs26) return TestCandidatesBmi2(ks, count, sh.n, ms, scratch);
    alignas(32) Batch26 b[kVectors2];
    const uint32_t vectors = (count + kLanes4 - 1) / kLanes4;
    u64 limbs[4][5];
    Lane lane;
    lane.p = limbs[0], lane.x = limbs[1], lane.target = limbs[2], lane.target2 = limbs[3];
    for (uint32_t v = 0; v < vectors; ++v) {
        Batch26& bv = b[v];
        bv.limbs = w26;
        bv.first = sh.first;
        bv.last = sh.last;
        bv.kShift = sh.n / 26;
        for (uint32_t l = 0; l < kLanes4; ++l) {
            const uint32_t i = kLanes4 * v + l;
            if (i < count) bv.start = SetUp(lane, ks[i], sh, 26 * w26);  // past count: the last again
            To26(lane.p, sh.w, bv.p, w26, l);
            To26(lane.x, sh.w, bv.x, w26, l);
            To26(lane.target, sh.w, bv.target, w26, l);
            To26(lane.target2, sh.w, bv.target2, w26, l);
            bv.pinv[l] = lane.pinv & ((u64{1} << 26) - 1);
        }
    }
    uint32_t found[kVectors2 * kLanes4] = {};
    const bool ran = vectors == 1 ? RunVectors<1>(b, found) : RunVectors<2>(b, found);
    if (!ran) return TestCandidatesBmi2(ks, count, sh.n, ms, scratch);
    std::copy(found, found + count, ms);
}

struct Avx2Run {
    static void Test(const u64* ks, uint32_t count, const Shape& sh, uint32_t* ms, KernelScratch& scratch) {
        RunShapeAvx2(ks, count, sh, ms, scratch);
    }
};

}  // namespace

void TestCandidatesAvx2(const uint64_t* ks, uint32_t count, uint32_t n, uint32_t* ms, KernelScratch& scratch) {
    ForEachShapeRun<Avx2Run>(ks, count, n, kLanes4 * kVectors2, ms, scratch);
}

#endif

}  // namespace vontal
