// The AVX-512 IFMA kernels' set-up: the lanes' numbers, eight at a time in vector registers
// (Prepare), or lane by lane where the vector set-up does not reach; and the scan's entry, which
// hands each shape of candidate to the narrow kernels (KernelIfmaChains.cpp), the wide one
// (KernelIfmaWide.cpp) or, beyond that, the scalar one. With the squarings this cheap,
// per-candidate set-up would otherwise cost as much as the arithmetic.
#include "KernelIfma.h"
#include "IfmaIntrinsics.h"
#include "KernelScalar.h"
#include "KernelVariants.h"

#include <bit>

namespace vontal::ifma {

#if defined(__x86_64__)

namespace {

#define VONTAL_IFMA_DQ __attribute__((target("avx512f,avx512dq,avx512ifma"), always_inline)) inline

// q and r with v = q*k + r in every lane, for v = dv exactly, v < 2^63, k < 2^52 and v / k below
// 2^52: the double quotient is within one of the true one, and r, computed exactly modulo 2^64,
// shows which way to correct.
VONTAL_IFMA_DQ void Divide(__m512i v, __m512d dv, __m512i k, __m512d kd, __m512i& q, __m512i& r) {
    q = _mm512_cvttpd_epu64(_mm512_div_pd(dv, kd));
    r = _mm512_sub_epi64(v, _mm512_mullo_epi64(q, k));
    const __m512i one = _mm512_set1_epi64(1), zero = _mm512_setzero_si512();
    const __mmask8 low = _mm512_cmplt_epi64_mask(r, zero);
    q = _mm512_mask_sub_epi64(q, low, q, one);
    r = _mm512_mask_add_epi64(r, low, r, k);
    const __mmask8 high = _mm512_cmpge_epi64_mask(r, k);
    q = _mm512_mask_add_epi64(q, high, q, one);
    r = _mm512_mask_sub_epi64(r, high, r, k);
}

// q and r with 2^e = q*k + r in every lane, for k < 2^52 and q < 2^52 (2^e is taken modulo 2^64
// for r: the correction only needs r's low bits).
VONTAL_IFMA_DQ void DivPow2(uint32_t e, __m512i k, __m512d kd, __m512i& q, __m512i& r) {
    const __m512i pow = _mm512_set1_epi64(e < 64 ? static_cast<long long>(uint64_t{1} << e) : 0);
    // 2^e as a double, built from its exponent field (e is far below 1024); std::ldexp was a
    // library call per division.
    const double twoToE = std::bit_cast<double>(static_cast<uint64_t>(1023 + e) << 52);
    Divide(pow, _mm512_set1_pd(twoToE), k, kd, q, r);
}

// The same for quotients of up to 2^(52 + kWideQuotientBits): 2^(e - c) = q1*k + r1 first,
// with q1 below 2^52, then r1*2^c = q2*k + r2 (below 2^63, exact in a double as r1 is), so
// that q = q1*2^c + q2 and r = r2. `fits` is the largest e the plain division takes.
constexpr uint32_t kWideQuotientBits = 11;
VONTAL_IFMA_DQ void DivPow2Wide(uint32_t e, uint32_t fits, __m512i k, __m512d kd, __m512i& q, __m512i& r) {
    if (e <= fits) return DivPow2(e, k, kd, q, r);
    const __m128i c = _mm_cvtsi32_si128(static_cast<int>(e - fits));
    DivPow2(fits, k, kd, q, r);
    const __m512i scaled = _mm512_sll_epi64(r, c);  // r1*2^c < 2^(52 + c) < 2^63
    __m512i q2;
    Divide(scaled, _mm512_cvtepu64_pd(scaled), k, kd, q2, r);
    q = _mm512_add_epi64(_mm512_sll_epi64(q, c), q2);
}

// v = m * 2^n in W limbs of 52 bits, for m < 2^52 (the limbs chosen without indexing by n, so
// that v stays in registers).
template <uint32_t W>
VONTAL_IFMA_DQ void ShiftedLimbs(__m512i m, uint32_t n, __m512i* v) {
    const __m512i mask = _mm512_set1_epi64((1ll << 52) - 1), zero = _mm512_setzero_si512();
    const uint32_t d = n / 52, s = n % 52;
    const __m512i low = _mm512_and_si512(_mm512_sll_epi64(m, _mm_cvtsi32_si128(static_cast<int>(s))), mask);
    const __m512i high = _mm512_srl_epi64(m, _mm_cvtsi32_si128(static_cast<int>(52 - s)));
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < W; ++i) v[i] = i == d ? low : i == d + 1 ? high : zero;
}

// v = r*2^n - q (mod p) for r < k, q < 2^63 and q < p: below p, since r*2^n < k*2^n.
template <uint32_t W>
VONTAL_IFMA_DQ void Pow2Residue(__m512i r, __m512i q, uint32_t n, const __m512i* p, __m512i* v) {
    constexpr uint32_t limbs = W;
    const __m512i mask = _mm512_set1_epi64((1ll << 52) - 1);
    ShiftedLimbs<W>(r, n, v);
    // q's low 52 bits from limb 0, its high ones from limb 1 (limbs >= 2), borrows carried up as
    // 0 or 1.
    __m512i borrow = _mm512_and_si512(q, mask);
    const __m512i qHigh = _mm512_srli_epi64(q, 52);
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < limbs; ++i) {
        const __m512i t = _mm512_sub_epi64(v[i], i == 1 ? _mm512_add_epi64(borrow, qHigh) : borrow);
        borrow = _mm512_srli_epi64(t, 63);
        v[i] = _mm512_and_si512(t, mask);
    }
    // A borrow out of the top: the value was negative (above -q > -p); add p once.
    const __mmask8 negative = _mm512_test_epi64_mask(borrow, borrow);
    __m512i carry = _mm512_setzero_si512();
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < limbs; ++i) {
        const __m512i t = _mm512_add_epi64(_mm512_add_epi64(v[i], p[i]), carry);
        carry = _mm512_srli_epi64(t, 52);
        v[i] = _mm512_mask_and_epi64(v[i], negative, t, mask);
    }
}

// Prepare for a width known when compiled: the limbs stay in registers, the loops unrolled.
template <uint32_t W>
__attribute__((target("avx512f,avx512dq,avx512ifma"))) bool PrepareWidth(Batch& b, const uint64_t* ks, uint32_t n,
                                                                         uint32_t maxStart) {
    uint64_t smallest = ks[0], largest = ks[0];
    for (uint32_t l = 1; l < kLanes; ++l) {
        smallest = ks[l] < smallest ? ks[l] : smallest;
        largest = ks[l] > largest ? ks[l] : largest;
    }
    constexpr uint32_t limbs = W;
    const uint32_t a = 52 * limbs - n;  // R = 2^(52 limbs) = 2^a * 2^n
    // 2^e / k fits the double quotient up to e = bound, and the two-step one a little beyond, as
    // long as the quotient stays below p (Pow2Residue adds p once at most): 2^e / k < 2^(e - log k)
    // and p > 2^(n + log k).
    const uint32_t logK = static_cast<uint32_t>(63 - __builtin_clzll(smallest | 1));
    const uint32_t bound = 50 + logK;
    const bool twoStep = a + 1 <= bound + kWideQuotientBits && a + 1 <= n + 2 * logK;
    if (largest >> 52 || smallest == 0 || (a + 1 > bound && !twoStep)) return false;
    const __m512i mask = _mm512_set1_epi64((1ll << 52) - 1), zero = _mm512_setzero_si512();
    const __m512i k = _mm512_loadu_si512(ks);
    const __m512d kd = _mm512_cvtepu64_pd(k);  // exact below 2^53
    __m512i p[W], v[W], target[W];
    ShiftedLimbs<W>(k, n, p);  // p = k*2^n + 1; bit 0 of k*2^n is clear as n >= 1
    p[0] = _mm512_or_si512(p[0], _mm512_set1_epi64(1));
    if (!b.proth) {  // -p^-1 mod 2^52: p = 1 (mod 2^n), and each Newton step doubles the bits
        __m512i inv = _mm512_set1_epi64(1);
        const __m512i two = _mm512_set1_epi64(2);
        for (uint32_t bits = n; bits < 52; bits *= 2)
            inv = _mm512_mullo_epi64(inv, _mm512_sub_epi64(two, _mm512_mullo_epi64(p[0], inv)));
        _mm512_store_si512(b.pinv, _mm512_and_si512(_mm512_sub_epi64(zero, inv), mask));
    }
    // R mod p from 2^a = q*k + r, as k*2^n = -1 (mod p); -1 in Montgomery form is p - R mod p.
    __m512i q, r;
    DivPow2Wide(a, bound, k, kd, q, r);
    Pow2Residue<W>(r, q, n, p, v);
    __m512i borrow = zero;
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < limbs; ++i) {
        const __m512i t = _mm512_sub_epi64(_mm512_sub_epi64(p[i], v[i]), borrow);
        borrow = _mm512_srli_epi64(t, 63);
        target[i] = _mm512_and_si512(t, mask);
    }
    __m512i carry = zero;
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < limbs; ++i) {
        const __m512i t = _mm512_add_epi64(_mm512_add_epi64(target[i], p[i]), carry);
        carry = _mm512_srli_epi64(t, 52);
        _mm512_store_si512(b.target2[i], _mm512_and_si512(t, mask));
        _mm512_store_si512(b.target[i], target[i]);
        _mm512_store_si512(b.p[i], p[i]);
    }
    // The start 2^(2^j) * R mod p, with j as large as the double quotient allows (0 where only
    // the two-step one reaches a + 1).
    uint32_t j = 0;
    while (j + 1 <= b.first && j + 1 <= maxStart && a + (1u << (j + 1)) <= bound) ++j;
    DivPow2Wide(a + (1u << j), bound, k, kd, q, r);
    Pow2Residue<W>(r, q, n, p, v);
    VONTAL_VECTOR_UNROLL
    for (uint32_t i = 0; i < limbs; ++i) _mm512_store_si512(b.x[i], v[i]);
    b.start = j;
    b.kShift = b.proth ? n / 52 : 0;
    return true;
}

}  // namespace

bool Prepare(Batch& b, const uint64_t* ks, uint32_t n, uint32_t maxStart) {
    static_assert(kMaxLimbs == 9);
    switch (b.limbs) {
        case 2: return PrepareWidth<2>(b, ks, n, maxStart);
        case 3: return PrepareWidth<3>(b, ks, n, maxStart);
        case 4: return PrepareWidth<4>(b, ks, n, maxStart);
        case 5: return PrepareWidth<5>(b, ks, n, maxStart);
        case 6: return PrepareWidth<6>(b, ks, n, maxStart);
        case 7: return PrepareWidth<7>(b, ks, n, maxStart);
        case 8: return PrepareWidth<8>(b, ks, n, maxStart);
        case 9: return PrepareWidth<9>(b, ks, n, maxStart);
        default: return false;  // no narrow kernel: the caller sets the lanes up one by one
    }
}

bool Available() { return ThisCpu().avx512Ifma; }

#else

bool Prepare(Batch&, const uint64_t*, uint32_t, uint32_t) { return false; }
bool Available() { return false; }

#endif

}  // namespace vontal::ifma

#if defined(__x86_64__)

namespace vontal {

namespace {

// Eight lanes in 52-bit limbs for candidates p of up to 3326 bits; wider ones take the scalar
// kernel. The lanes' numbers are prepared here, in 64-bit limbs, and handed over in 52-bit ones.
void To52(const u64* v, uint32_t w64, uint64_t (*out)[ifma::kLanes], uint32_t limbs, uint32_t lane) {
    for (uint32_t i = 0; i < limbs; ++i) {
        const uint32_t bit = 52 * i, word = bit / 64, shift = bit % 64;
        u64 value = word < w64 ? v[word] >> shift : 0;
        if (shift > 12 && word + 1 < w64) value |= v[word + 1] << (64 - shift);
        out[i][lane] = value & ((u64{1} << 52) - 1);
    }
}

// Candidates of 10 to 64 limbs of 52 bits (and of fewer where no narrow kernel has their
// reduction): the lanes as for the narrow kernel, and instead of p
// only K = k*2^(n mod 52), since p = 1 + K*2^(52*(n/52)).
static_assert(kSideBySideBits == 52 * ifma::kMaxWideLimbs - 2, "p < 2^(52W - 2) = R/4 in the widest batch");

void RunWideIfma(const u64* ks, uint32_t count, const Shape& sh, uint32_t* ms) {
    constexpr uint32_t kMaxW64 = (52 * ifma::kMaxWideLimbs + 63) / 64;
    ifma::WideBatch b;
    b.limbs = sh.w52;
    b.first = sh.first;
    b.last = sh.last;
    b.kShift = sh.n / 52;
    const uint32_t s = sh.n % 52;
    u64 limbs[4][kMaxW64];
    Lane lane;
    lane.p = limbs[0], lane.x = limbs[1], lane.target = limbs[2], lane.target2 = limbs[3];
    for (uint32_t l = 0; l < ifma::kLanes; ++l) {
        if (l < count) {  // lanes beyond count repeat the last candidate
            b.start = SetUp(lane, ks[l], sh, 52 * b.limbs);
        }
        To52(lane.x, sh.w, b.x, b.limbs, l);
        To52(lane.target, sh.w, b.target, b.limbs, l);
        To52(lane.target2, sh.w, b.target2, b.limbs, l);
        const u128 shifted = static_cast<u128>(lane.k) << s;
        for (uint32_t t = 0; t < 3; ++t) b.k[t][l] = static_cast<u64>(shifted >> (52 * t)) & ((u64{1} << 52) - 1);
    }
    uint32_t found[ifma::kLanes];
    ifma::RunWide(b, found);
    std::copy(found, found + count, ms);
}

// Up to kVectors batches of eight side by side. Lanes beyond count repeat the last candidate.
void RunShapeIfma(const u64* ks, uint32_t count, const Shape& sh, uint32_t* ms, KernelScratch& scratch) {
    // Every processor with AVX-512 IFMA has BMI2 and ADX (the variant's CPU check asks for both).
    if (sh.w52 > ifma::kMaxWideLimbs) return TestCandidatesBmi2(ks, count, sh.n, ms, scratch);
    // Widths without a narrow kernel of their own (nor one for this reduction) take the wide one.
    if (!ifma::HasKernel(std::max<uint32_t>(sh.w52, 2), sh.n >= 52 ? sh.n / 52 : 0)) {
        for (uint32_t i = 0; i < count; i += ifma::kLanes)
            RunWideIfma(ks + i, std::min(ifma::kLanes, count - i), sh, ms + i);
        return;
    }
    alignas(64) ifma::Batch b[ifma::kVectors];
    const uint32_t vectors = (count + ifma::kLanes - 1) / ifma::kLanes;
    u64 lanesK[ifma::kVectors][ifma::kLanes];
    bool prepared = true;
    uint32_t start = ~0u;
    for (uint32_t v = 0; v < vectors; ++v) {
        for (uint32_t l = 0; l < ifma::kLanes; ++l) lanesK[v][l] = ks[std::min(ifma::kLanes * v + l, count - 1)];
        b[v].limbs = std::max<uint32_t>(sh.w52, 2);
        b[v].first = sh.first;
        b[v].last = sh.last;
        b[v].proth = sh.n >= 52;
        prepared = prepared && ifma::Prepare(b[v], lanesK[v], sh.n);
        start = std::min(start, b[v].start);
    }
    uint32_t found[ifma::kVectors * ifma::kLanes];
    if (prepared) {
        // One start for all: the lanes with the smallest multipliers allow the least.
        for (uint32_t v = 0; v < vectors; ++v)
            if (b[v].start != start) ifma::Prepare(b[v], lanesK[v], sh.n, start);
        ifma::Run(b, vectors, found);
        std::copy(found, found + count, ms);
        return;
    }
    // The scalar set-up, lane by lane. Its start depends only on the shape, so every vector
    // gets the same one, and they run side by side as the prepared ones do (one at a time, each
    // waited on its own chains: n = 60 to 64 with k near 5*10^12 ran at a quarter of the speed).
    constexpr uint32_t kMaxW64 = (52 * ifma::kMaxLimbs + 63) / 64;  // p's 64-bit limbs at the widest
    u64 limbs[4][kMaxW64];
    Lane lane;
    lane.p = limbs[0], lane.x = limbs[1], lane.target = limbs[2], lane.target2 = limbs[3];
    for (uint32_t v = 0; v < vectors; ++v) {
        ifma::Batch& bv = b[v];
        for (uint32_t l = 0; l < ifma::kLanes; ++l) {
            if (l == 0 || lanesK[v][l] != lanesK[v][l - 1]) bv.start = SetUp(lane, lanesK[v][l], sh, 52 * bv.limbs);
            To52(lane.p, sh.w, bv.p, bv.limbs, l);
            To52(lane.x, sh.w, bv.x, bv.limbs, l);
            To52(lane.target, sh.w, bv.target, bv.limbs, l);
            To52(lane.target2, sh.w, bv.target2, bv.limbs, l);
            bv.pinv[l] = lane.pinv & ((u64{1} << 52) - 1);
        }
        bv.kShift = bv.proth ? sh.n / 52 : 0;
    }
    ifma::Run(b, vectors, found);
    std::copy(found, found + count, ms);
}

struct IfmaRun {
    static void Test(const u64* ks, uint32_t count, const Shape& sh, uint32_t* ms, KernelScratch& scratch) {
        RunShapeIfma(ks, count, sh, ms, scratch);
    }
};

}  // namespace

void TestCandidatesAvx512Ifma(const uint64_t* ks, uint32_t count, uint32_t n, uint32_t* ms, KernelScratch& scratch) {
    ForEachShapeRun<IfmaRun>(ks, count, n, ifma::kLanes * ifma::kVectors, ms, scratch);
}

}  // namespace vontal

#endif
