// The scalar candidate test in 64-bit limbs with Montgomery squaring, shared by the scalar
// variants (KernelPortable.cpp, KernelBmi2.cpp) and used for the lanes' set-up by the vector ones.
//
// Everything here sits in an unnamed namespace and is inlined into each variant's entry point,
// so that every file compiles it for its own instruction set and no copy compiled for one
// instruction set can be picked by the linker for another.
//
// p = k*2^n + 1 is held in W = ceil((Lp + 2) / 64) limbs, so that p < 2^(64W - 1) and every
// reduced value fits W limbs. Residues live in Montgomery form x*R mod p with R = 2^(64W); a
// squaring is one W-limb square and one Montgomery reduction.
//
// Three reductions:
//  - "short Proth" for two-limb p with n < 64 and 2n >= Lp + 4 (k no wider than n - 4 bits):
//    R = 2^(2n) instead of 2^128, two steps of n bits, each with the factor -t mod 2^n and one
//    product of it and k (StepTwoLimbsShortProth);
//  - "dense" for the other n < 64, where p's low limb is arbitrary (p < 2^127, so W <= 2);
//  - "Proth" for n >= 64, where p = 1 (mod 2^64): the per-limb factor is simply -t, and adding
//    m*p = m + m*k*2^n touches only the few limbs that hold k*2^n, so the reduction costs W
//    single-limb multiplications instead of W^2.
// The start value 2^(2^j) * R mod p is formed from 2^e mod p = r*2^n - q with
// 2^(e - n) = q*k + r (because k*2^n = -1 mod p): one 128-bit division by k.
//
// Candidates of the same shape are run as interleaved lanes, so that their independent chains
// fill each other's waits; with four lanes the processor is kept busy, and what sets the pace is
// the number of instructions per squaring. The fixed widths square straight to the last m and
// look only there (Finish): -1 is a divisor at the last m, and a lane at +1 is run again with
// every m compared.
#pragma once

#include "Kernel.h"
#include "KernelCompile.h"

#include <algorithm>
#include <cstring>

#if defined(VONTAL_HAVE_GMP)
#include <gmp.h>
static_assert(sizeof(mp_limb_t) == sizeof(uint64_t), "GMP limbs must be 64-bit");
#endif

namespace vontal {

namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

constexpr uint32_t kMaxLanes = 4;

// What all lanes of one run share.
struct Shape {
    uint32_t n = 0, w = 0, first = 0, last = 0;
    uint32_t limbShift = 0, bitShift = 0;  // n = 64*limbShift + bitShift
    bool proth = false;                    // n >= 64: p = 1 (mod 2^64)
    uint32_t w52 = 0;                      // limbs of 52 bits, for the IFMA kernel
    bool operator==(const Shape&) const = default;
};

inline Shape ShapeOf(u64 k, uint32_t n) {
    Shape s;
    s.n = n;
    s.w = (n + Log2Floor(k) + 3 + 63) / 64;  // p < R/4: see the lazy reduction below
    s.first = FirstMTested(k, n);
    s.last = LastMTested(k, n);
    s.limbShift = n / 64;
    s.bitShift = n % 64;
    s.proth = n >= 64;
    s.w52 = (n + Log2Floor(k) + 3 + 51) / 52;
    return s;
}

// Add and subtract with carry, written so that the compiler keeps everything in registers and
// emits its add-with-carry instructions.
#if defined(__clang__)
VONTAL_INLINE u64 addc(u64 a, u64 b, u64& carry) {
    unsigned long long out;
    const u64 r = __builtin_addcll(a, b, carry, &out);
    carry = out;
    return r;
}
VONTAL_INLINE u64 subb(u64 a, u64 b, u64& borrow) {
    unsigned long long out;
    const u64 r = __builtin_subcll(a, b, borrow, &out);
    borrow = out;
    return r;
}
#else
VONTAL_INLINE u64 addc(u64 a, u64 b, u64& carry) {
    const u128 s = static_cast<u128>(a) + b + carry;
    carry = static_cast<u64>(s >> 64);
    return static_cast<u64>(s);
}
VONTAL_INLINE u64 subb(u64 a, u64 b, u64& borrow) {
    const u128 d = static_cast<u128>(a) - b - borrow;
    borrow = static_cast<u64>(d >> 64) & 1;
    return static_cast<u64>(d);
}
#endif

// One candidate's numbers. W is the width when it is fixed at compile time, 0 otherwise; the
// wide lane keeps its limbs in the scratch area.
struct Lane {
    u64 k = 0, pinv = 0;
    // target: -1 in Montgomery form, in [0, p); target2 = target + p, the same residue as the
    // three-limb kernel may leave it (it keeps residues in [0, 2p), skipping the subtraction).
    u64 *p = nullptr, *x = nullptr, *target = nullptr, *target2 = nullptr, *t = nullptr;
    uint32_t found = 0;
};

// x = y mod p for y < 2p, without a branch on the data.
template <uint32_t W>
VONTAL_INLINE void SubtractIfAtLeast(const u64* y, const u64* p, u64* x, uint32_t wDyn) {
    const uint32_t w = W ? W : wDyn;
    u64 borrow = 0;
    if constexpr (W != 0) {
        u64 d[W];
        VONTAL_UNROLL
        for (uint32_t i = 0; i < W; ++i) d[i] = subb(y[i], p[i], borrow);
        const u64 keep = 0 - borrow;  // all ones when y < p
        VONTAL_UNROLL
        for (uint32_t i = 0; i < W; ++i) x[i] = (y[i] & keep) | (d[i] & ~keep);
    } else {
        for (uint32_t i = w; i-- > 0;) {
            if (y[i] != p[i]) {
                if (y[i] < p[i]) {
                    if (x != y) std::memcpy(x, y, w * sizeof(u64));
                    return;
                }
                break;
            }
        }
        VONTAL_UNROLL
        for (uint32_t i = 0; i < w; ++i) x[i] = subb(y[i], p[i], borrow);
    }
}

// t (2w + 1 limbs, the last a guard that stays zero) = x^2.
template <uint32_t W>
VONTAL_INLINE void Square(const u64* x, u64* t, uint32_t wDyn) {
    const uint32_t w = W ? W : wDyn;
    VONTAL_UNROLL
    for (uint32_t i = 0; i <= 2 * w; ++i) t[i] = 0;
    VONTAL_UNROLL
    for (uint32_t i = 0; i < w; ++i) {  // cross products x_i*x_j, i < j
        u64 carry = 0;
        VONTAL_UNROLL
        for (uint32_t j = i + 1; j < w; ++j) {
            const u128 prod = static_cast<u128>(x[i]) * x[j] + t[i + j] + carry;
            t[i + j] = static_cast<u64>(prod);
            carry = static_cast<u64>(prod >> 64);
        }
        t[i + w] = carry;
    }
    u64 top = 0;  // doubled ...
    VONTAL_UNROLL
    for (uint32_t i = 0; i < 2 * w; ++i) {
        const u64 v = t[i];
        t[i] = (v << 1) | top;
        top = v >> 63;
    }
    u64 carry = 0;  // ... and the diagonal added
    VONTAL_UNROLL
    for (uint32_t i = 0; i < w; ++i) {
        const u128 sq = static_cast<u128>(x[i]) * x[i];
        t[2 * i] = addc(t[2 * i], static_cast<u64>(sq), carry);
        t[2 * i + 1] = addc(t[2 * i + 1], static_cast<u64>(sq >> 64), carry);
    }
}

// x = t / R mod p for any odd p (n < 64).
template <uint32_t W>
VONTAL_INLINE void ReduceDense(u64* t, const u64* p, u64 pinv, u64* x, uint32_t wDyn) {
    const uint32_t w = W ? W : wDyn;
    VONTAL_UNROLL
    for (uint32_t i = 0; i < w; ++i) {
        const u64 m = t[i] * pinv;
        u64 carry = 0;
        VONTAL_UNROLL
        for (uint32_t j = 0; j < w; ++j) {
            const u128 prod = static_cast<u128>(m) * p[j] + t[i + j] + carry;
            t[i + j] = static_cast<u64>(prod);
            carry = static_cast<u64>(prod >> 64);
        }
        u64 bit = 0;  // the product's top word, then a carry bit up to the guard limb
        t[i + w] = addc(t[i + w], carry, bit);
        VONTAL_UNROLL
        for (uint32_t j = i + w + 1; j <= 2 * w; ++j) t[j] = addc(t[j], 0, bit);
    }
    SubtractIfAtLeast<W>(t + w, p, x, w);
}

// Adds m*k*2^s at limb j of t (up to and including limb top), carrying as far as needed.
VONTAL_INLINE void AddShiftedProduct(u64* t, uint32_t j, uint32_t top, u64 m, u64 k, uint32_t s, u64 carry) {
    const u128 mk = static_cast<u128>(m) * k;
    const u64 lo = static_cast<u64>(mk), hi = static_cast<u64>(mk >> 64);
    const u64 c0 = lo << s;
    const u64 c1 = (hi << s) | ((lo >> 1) >> (63 - s));  // no shift by 64 when s = 0
    const u64 c2 = (hi >> 1) >> (63 - s);
    t[j] = addc(t[j], c0, carry);
    if (++j <= top) t[j] = addc(t[j], c1, carry);
    if (++j <= top) t[j] = addc(t[j], c2, carry);
    for (++j; carry && j <= top; ++j) carry = ++t[j] == 0;
}

// x = t / R mod p for wide p = k*2^n + 1 with n >= 64, where p = 1 (mod 2^64): the factor of
// each limb is -t_i, and m*p = m + m*k*2^n.
VONTAL_INLINE void ReduceProth(u64* t, const u64* p, u64 k, u64* x, const Shape& sh) {
    const uint32_t w = sh.w, d = sh.limbShift, s = sh.bitShift, top = 2 * w;
    // The factors of the first d limbs do not depend on the k terms (those land at limb d
    // and above): together they are -t mod 2^(64d), and adding them clears those limbs.
    u64 borrow = 0, nonzero = 0;
    for (uint32_t i = 0; i < d; ++i) {
        nonzero |= t[i];
        t[i] = subb(0, t[i], borrow);  // the factor, kept in place for the product below
    }
    // Add (factors * k) * 2^s at limb d, one limb of the factors at a time.
    u64 mulCarry = 0, prevHi = 0;
    u64 carry = nonzero != 0;  // the carry out of the cleared limbs
    for (uint32_t i = 0; i < d; ++i) {
        const u128 prod = static_cast<u128>(t[i]) * k + mulCarry;
        const u64 lo = static_cast<u64>(prod);
        mulCarry = static_cast<u64>(prod >> 64);
        const u64 shifted = (lo << s) | ((prevHi >> 1) >> (63 - s));
        prevHi = lo;
        t[d + i] = addc(t[d + i], shifted, carry);
        t[i] = 0;
    }
    uint32_t j = 2 * d;  // the product's top limb, then what is left of the carry
    const u64 last = (mulCarry << s) | ((prevHi >> 1) >> (63 - s));
    const u64 beyond = (mulCarry >> 1) >> (63 - s);
    if (j <= top) t[j] = addc(t[j], last, carry), ++j;
    if (j <= top) t[j] = addc(t[j], beyond, carry), ++j;
    for (; carry && j <= top; ++j) carry = ++t[j] == 0;
    // The remaining limbs one at a time (k has at most two limbs above limb d).
    for (uint32_t i = d; i < w; ++i) {
        const u64 m = 0 - t[i];
        const u64 c = t[i] != 0;
        t[i] = 0;
        AddShiftedProduct(t, i + d, top, m, k, s, 0);
        for (j = i + 1; c && j <= top; ++j)
            if (++t[j] != 0) break;
    }
    SubtractIfAtLeast<0>(t + w, p, x, w);
}

// x = t / R mod p for a fixed width: W steps, each clearing one limb with m*p (m = t_i * pinv
// for any odd p, D = 0; m = -t_i when p = 1 + k*2^n with n >= 64, D = n / 64, whose limbs 1 to
// D - 1 are zero and cost no product); the carry out of each step waits in `extra` for the
// next, so no carry runs through the whole number.
template <uint32_t W, uint32_t D>
VONTAL_INLINE void ReduceFixed(u64* t, const u64* p, u64 pinv, u64* x) {
    u64 extra = 0;
    VONTAL_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        u64 m, carry;
        if constexpr (D != 0) {
            m = 0 - t[i];
            carry = t[i] != 0;
        } else {
            m = t[i] * pinv;
            carry = static_cast<u64>((static_cast<u128>(m) * p[0] + t[i]) >> 64);
        }
        VONTAL_UNROLL
        for (uint32_t j = 1; j < W; ++j) {
            if (j < D) {
                const u128 r = static_cast<u128>(t[i + j]) + carry;
                t[i + j] = static_cast<u64>(r);
                carry = static_cast<u64>(r >> 64);
            } else {
                const u128 r = static_cast<u128>(m) * p[j] + t[i + j] + carry;
                t[i + j] = static_cast<u64>(r);
                carry = static_cast<u64>(r >> 64);
            }
        }
        const u128 r = static_cast<u128>(t[i + W]) + carry + extra;
        t[i + W] = static_cast<u64>(r);
        extra = static_cast<u64>(r >> 64);
    }
    SubtractIfAtLeast<W>(t + W, p, x, W);
}

// Two limbs (p < 2^127), written out: the most common size, and the one where every
// instruction counts.
template <bool P0IsOne>
VONTAL_INLINE void StepTwoLimbs(Lane& l) {
    const u64 x0 = l.x[0], x1 = l.x[1], p0 = l.p[0], p1 = l.p[1];
    const u128 a = static_cast<u128>(x0) * x0, b = static_cast<u128>(x0) * x1, c = static_cast<u128>(x1) * x1;
    const u64 t0 = static_cast<u64>(a);
    const u128 s1 = (a >> 64) + (static_cast<u128>(static_cast<u64>(b)) << 1);
    u64 t1 = static_cast<u64>(s1);
    const u128 s2 = (s1 >> 64) + ((b >> 64) << 1) + static_cast<u64>(c);
    u64 t2 = static_cast<u64>(s2);
    u64 t3 = static_cast<u64>(s2 >> 64) + static_cast<u64>(c >> 64);
    // Clear limb 0, then limb 1.
    u64 m = P0IsOne ? 0 - t0 : t0 * l.pinv;
    u64 carry = P0IsOne ? t0 != 0 : static_cast<u64>((static_cast<u128>(m) * p0 + t0) >> 64);
    u128 r = static_cast<u128>(m) * p1 + t1 + carry;
    t1 = static_cast<u64>(r);
    const u128 s3 = static_cast<u128>(t2) + static_cast<u64>(r >> 64);
    t2 = static_cast<u64>(s3);
    t3 += static_cast<u64>(s3 >> 64);
    m = P0IsOne ? 0 - t1 : t1 * l.pinv;
    carry = P0IsOne ? t1 != 0 : static_cast<u64>((static_cast<u128>(m) * p0 + t1) >> 64);
    r = static_cast<u128>(m) * p1 + t2 + carry;
    u128 y = (static_cast<u128>(t3 + static_cast<u64>(r >> 64)) << 64) | static_cast<u64>(r);
    const u128 p = (static_cast<u128>(p1) << 64) | p0;
    y = y >= p ? y - p : y;
    l.x[0] = static_cast<u64>(y);
    l.x[1] = static_cast<u64>(y >> 64);
}

// Two limbs with n < 64 and 2n >= Lp + 4, in the Proth form: Montgomery with R = 2^(2n) instead
// of 2^128. p = 1 + k*2^n, so for t = H*2^n + L (L < 2^n) the factor is M = -L mod 2^n and
// (t + M*p) / 2^n = H + M*k + (L != 0): one product of M and k per step, no inverse of p, and
// two steps clear 2n bits. With x < 2p, t = x^2 < 4p^2, and each step leaves below t/2^n + p,
// so two leave below 4p^2/2^(2n) + p/2^n + p <= 2p (4p <= 2^(Lp + 3) <= 2^(2n - 1)): residues
// stay in [0, 2p), below 2^(2n - 2) <= 2^124, and the first step's value below 2^(3n - 4).
struct ShortProth {
    uint32_t n = 0, up = 0;  // up = 64 - n
    u64 mask = 0;            // 2^n - 1
    explicit ShortProth(uint32_t bits) : n(bits), up(64 - bits), mask((u64{1} << bits) - 1) {}
};

inline bool TakesShortProth(uint32_t n, uint32_t lp) { return n < 64 && 2 * n >= lp + 4 && lp + 2 <= 126; }

// x < 2^(2n - 2) <= 2^124, so x1 < 2^60 and 2*x1 fits a limb: the doubled cross product is one
// multiplication. Narrow: Lp <= 94, so x < 2^96, x1 < 2^32, and the square has three limbs.
template <bool Narrow>
VONTAL_INLINE void StepTwoLimbsShortProth(u64& x0, u64& x1, u64 k, const ShortProth& f) {
    const u128 a = static_cast<u128>(x0) * x0, b = static_cast<u128>(x0) * (x1 << 1);
    u64 carry = 0;
    const u64 t0 = static_cast<u64>(a);
    const u64 t1 = addc(static_cast<u64>(a >> 64), static_cast<u64>(b), carry);
    u64 t2, t3;
    if constexpr (Narrow) {
        t2 = static_cast<u64>(b >> 64) + x1 * x1 + carry;
        t3 = 0;
    } else {
        const u128 c = static_cast<u128>(x1) * x1;
        t2 = addc(static_cast<u64>(b >> 64), static_cast<u64>(c), carry);
        t3 = static_cast<u64>(c >> 64) + carry;
    }
    // First n bits: t / 2^n below 2^(3n - 4), three limbs.
    u64 m = (0 - t0) & f.mask;
    u128 mk = static_cast<u128>(m) * k;
    carry = m != 0;
    const u64 r0 = addc((t0 >> f.n) | (t1 << f.up), static_cast<u64>(mk), carry);
    const u64 r1 = addc((t1 >> f.n) | (t2 << f.up), static_cast<u64>(mk >> 64), carry);
    const u64 r2 = (Narrow ? t2 >> f.n : (t2 >> f.n) | (t3 << f.up)) + carry;
    // The next n bits: below 2^(2n - 2), two limbs.
    m = (0 - r0) & f.mask;
    mk = static_cast<u128>(m) * k;
    carry = m != 0;
    x0 = addc((r0 >> f.n) | (r1 << f.up), static_cast<u64>(mk), carry);
    x1 = addc((r1 >> f.n) | (r2 << f.up), static_cast<u64>(mk >> 64), carry);
}

// Three limbs with n >= 64 (p = 1 mod 2^64, p < 2^191), written out likewise as chains of
// add-with-carry over 64-bit words.
VONTAL_INLINE void Mul(u64 a, u64 b, u64& lo, u64& hi) {
    const u128 r = static_cast<u128>(a) * b;
    lo = static_cast<u64>(r);
    hi = static_cast<u64>(r >> 64);
}

// x < 2p < 2^191, so x2 < 2^63 and 2*x2 fits a limb: the doubled products with x2 are single
// multiplications, and only x0*x1 is doubled by shifts. Narrow: Lp <= 158, so x2 < 2^32 and
// the square has five limbs.
//
// Clearing limb i with m = -t_i adds m*p = m + m*k*2^n; the m cancels t_i (a carry when
// t_i != 0). With p's limbs p1, p2 (k*2^n from limb 1 on) that is two products, m*p1 and m*p2.
// ProductOfK, for 64 < n < 128 only (n = 64 + s, 0 < s < 64; u = k): one product m*k, shifted
// by s, three limbs from limb i + 1 on. It pays where a product costs more than the shifts
// (without mulx: the portable variant gains a tenth; with it the shifts cost more than they save).
template <bool Narrow, bool ProductOfK = false>
VONTAL_INLINE void StepThreeLimbsProth(u64& x0, u64& x1, u64& x2, u64 u, u64 v, uint32_t s = 0) {
    const u64 d2 = x2 << 1;
    u64 a0, a1, b0, b1, c0, c1, e0, e1, f0, f1, g0, g1;
    Mul(x0, x0, a0, a1);  // limbs 0, 1
    Mul(x1, x1, b0, b1);  // 2, 3
    Mul(x0, x1, c0, c1);  // 1, 2, doubled
    Mul(x0, d2, e0, e1);  // 2, 3
    Mul(x1, d2, f0, f1);  // 3, 4
    if constexpr (Narrow) {
        g0 = x2 * x2, g1 = 0;  // 4
    } else {
        Mul(x2, x2, g0, g1);  // 4, 5
    }
    // x0^2 + 2*x0*x1 * 2^64 + x1^2 * 2^128 + x2^2 * 2^256 ...
    u64 c = 0;
    const u64 t0 = a0;
    u64 t1 = addc(a1, c0 << 1, c);
    u64 t2 = addc(b0, (c1 << 1) | (c0 >> 63), c);
    u64 t3 = addc(b1, c1 >> 63, c);
    u64 t4 = addc(g0, 0, c);
    u64 t5 = g1 + c;
    // ... + 2*x2*(x0 + x1 * 2^64) * 2^128, below 2^320: three limbs.
    c = 0;
    const u64 s3 = addc(e1, f0, c);
    const u64 s4 = f1 + c;
    c = 0;
    t2 = addc(t2, e0, c);
    t3 = addc(t3, s3, c);
    t4 = addc(t4, s4, c);
    t5 += c;
    // Clear limbs 0, 1 and 2 with m = -t_i.
    u64 extra = 0;
    auto clear = [&](u64 ti, u64& s1, u64& s2, u64& s3) {
        const u64 m = 0 - ti;
        if constexpr (ProductOfK) {
            u64 lo, hi;
            Mul(m, u, lo, hi);
            u64 carry = ti != 0;
            s1 = addc(s1, lo << s, carry);
            s2 = addc(s2, (hi << s) | (lo >> (64 - s)), carry);
            s3 = addc(s3, (hi >> (64 - s)) + extra, carry);
            extra = carry;
        } else {
            u64 lo1, hi1, lo2, hi2;
            Mul(m, u, lo1, hi1);
            Mul(m, v, lo2, hi2);
            u64 k = ti != 0;
            s1 = addc(s1, lo1, k);
            s2 = addc(s2, hi1, k);
            s3 = addc(s3, extra, k);
            const u64 carryA = k;
            k = 0;
            s2 = addc(s2, lo2, k);
            s3 = addc(s3, hi2, k);
            extra = carryA + k;
        }
    };
    clear(t0, t1, t2, t3);
    clear(t1, t2, t3, t4);
    clear(t2, t3, t4, t5);
    // t5:t4:t3 (extra is zero now) is below 2p and stays there (4p < R).
    x0 = t3;
    x1 = t4;
    x2 = t5;
}

VONTAL_INLINE void StepThreeLimbsProth(Lane& l) { StepThreeLimbsProth<false>(l.x[0], l.x[1], l.x[2], l.p[1], l.p[2]); }

// One squaring. D = n / 64 for a fixed width W (0 when n < 64); both 0 for the wide kernel.
template <uint32_t W, uint32_t D>
VONTAL_INLINE void Step(Lane& l, const Shape& sh) {
    if constexpr (W == 2) {
        StepTwoLimbs<(D != 0)>(l);
    } else if constexpr (W == 3 && D != 0) {
        StepThreeLimbsProth(l);
    } else if constexpr (W != 0) {
        // Work on local copies, which the compiler keeps in registers.
        u64 x[W], p[W], t[2 * W + 1];
        VONTAL_UNROLL
        for (uint32_t i = 0; i < W; ++i) x[i] = l.x[i], p[i] = l.p[i];
        Square<W>(x, t, W);
        ReduceFixed<W, D>(t, p, l.pinv, x);
        VONTAL_UNROLL
        for (uint32_t i = 0; i < W; ++i) l.x[i] = x[i];
    } else {
#if defined(VONTAL_HAVE_GMP)
        // Wide squares: GMP's hand-tuned squaring, then the O(w) reduction below.
        mpn_sqr(reinterpret_cast<mp_limb_t*>(l.t), reinterpret_cast<const mp_limb_t*>(l.x), sh.w);
        l.t[2 * sh.w] = 0;
#else
        Square<0>(l.x, l.t, sh.w);
#endif
        if (sh.proth)
            ReduceProth(l.t, l.p, l.k, l.x, sh);
        else
            ReduceDense<0>(l.t, l.p, l.pinv, l.x, sh.w);
    }
}

// Squares every lane from 2^(2^j) up to 2^(2^last), noting the m at which each meets -1.
// step(lane) squares one lane; with Lazy its residues lie in [0, 2p), and -1 has two forms.
template <bool Lazy, uint32_t N, typename StepFn>
VONTAL_INLINE void RunAllLanes(Lane* lanes, const Shape& sh, uint32_t j, uint32_t w, StepFn step) {
    for (; j < sh.first; ++j) {
        VONTAL_UNROLL
        for (uint32_t l = 0; l < N; ++l) step(lanes[l]);
    }
    for (uint32_t m = sh.first;; ++m) {
        VONTAL_UNROLL
        for (uint32_t l = 0; l < N; ++l) {
            Lane& lane = lanes[l];
            u64 diff = 0, diff2 = 0;
            VONTAL_UNROLL
            for (uint32_t i = 0; i < w; ++i) {
                diff |= lane.x[i] ^ lane.target[i];
                if constexpr (Lazy) diff2 |= lane.x[i] ^ lane.target2[i];
            }
            if (diff == 0 || (Lazy && diff2 == 0)) lane.found = m;
        }
        if (m >= sh.last) return;
        VONTAL_UNROLL
        for (uint32_t l = 0; l < N; ++l) step(lanes[l]);
    }
}

template <bool Lazy, typename StepFn>
VONTAL_INLINE void RunLanesWith(Lane* lanes, uint32_t count, const Shape& sh, uint32_t j, uint32_t w, StepFn step) {
    if (count == kMaxLanes) return RunAllLanes<Lazy, kMaxLanes>(lanes, sh, j, w, step);
    for (; j < sh.first; ++j)
        for (uint32_t l = 0; l < count; ++l) step(lanes[l]);
    for (uint32_t m = sh.first;; ++m) {
        for (uint32_t l = 0; l < count; ++l) {
            Lane& lane = lanes[l];
            u64 diff = 0, diff2 = 0;
            VONTAL_UNROLL
            for (uint32_t i = 0; i < w; ++i) {
                diff |= lane.x[i] ^ lane.target[i];
                if constexpr (Lazy) diff2 |= lane.x[i] ^ lane.target2[i];
            }
            // After -1 every square is 1, so a lane never meets -1 twice.
            if (diff == 0 || (Lazy && diff2 == 0)) lane.found = m;
        }
        if (m >= sh.last) return;
        for (uint32_t l = 0; l < count; ++l) step(lanes[l]);
    }
}

template <uint32_t W, uint32_t D>
struct FixedStep {
    const Shape& sh;
    VONTAL_INLINE void operator()(Lane& l) const { Step<W, D>(l, sh); }
};

template <uint32_t W, uint32_t D>
VONTAL_INLINE void RunLanes(Lane* lanes, uint32_t count, const Shape& sh, uint32_t j) {
    constexpr bool kLazy = W == 3 && D != 0;  // residues in [0, 2p): see StepThreeLimbsProth
    RunLanesWith<kLazy>(lanes, count, sh, j, W ? W : sh.w, FixedStep<W, D>{sh});
}

// q and r with 2^e = q*k + r, for e < 128: one hardware division when the quotient fits 64 bits,
// two otherwise (a call to the compiler's 128-bit division costs several times more).
VONTAL_INLINE void DivPow2(uint32_t e, u64 k, u128& q, u64& r) {
    if (e < 64) {
        const u64 h = u64{1} << e;
        q = h / k;
        r = h % k;
        return;
    }
    const u64 hi = u64{1} << (e - 64);
    const u64 qHi = hi / k, rHi = hi % k;
#if defined(__x86_64__)
    u64 qLo, rLo;  // (rHi:0) / k, whose quotient fits 64 bits because rHi < k
    __asm__("divq %[d]" : "=a"(qLo), "=d"(rLo) : [d] "r"(k), "a"(u64{0}), "d"(rHi) : "cc");
#else
    const u128 rest = static_cast<u128>(rHi) << 64;
    const u64 qLo = static_cast<u64>(rest / k), rLo = static_cast<u64>(rest % k);
#endif
    q = (static_cast<u128>(qHi) << 64) | qLo;
    r = rLo;
}

// Writes 2^e mod p into x (w limbs), using k*2^n = -1 (mod p).
inline void Pow2Mod(uint32_t e, const Shape& sh, const Lane& l, u64* x) {
    const uint32_t w = sh.w;
    std::fill(x, x + w, 0);
    if (e < sh.n) {  // 2^e < 2^n < p
        x[e / 64] = u64{1} << (e % 64);
        return;
    }
    // 2^(e - n) = q*k + r  =>  2^e = q*k*2^n + r*2^n = r*2^n - q (mod p).
    const uint32_t over = e - sh.n, direct = std::min<uint32_t>(over, 127);
    u128 q;
    u64 r;
    DivPow2(direct, l.k, q, r);
    if (w <= 2) {  // q < p unless p is small; it then fits 128 bits
        const u128 pv = l.p[0] | (w > 1 ? static_cast<u128>(l.p[1]) << 64 : 0);
        if (q >= pv) q %= pv;
    }
    const uint32_t d = sh.limbShift, s = sh.bitShift;  // x = r*2^n, below k*2^n < p
    x[d] = r << s;
    if (d + 1 < w) x[d + 1] = (r >> 1) >> (63 - s);
    u64 borrow = 0;  // x -= q, adding p back on a borrow
    const u64 ql[2] = {static_cast<u64>(q), static_cast<u64>(q >> 64)};
    for (uint32_t i = 0; i < w; ++i) x[i] = subb(x[i], i < 2 ? ql[i] : 0, borrow);
    if (borrow) {
        u64 carry = 0;
        for (uint32_t i = 0; i < w; ++i) x[i] = addc(x[i], l.p[i], carry);
    }
    for (uint32_t i = direct; i < over; ++i) {  // what one 128-bit division did not cover
        u64 carry = 0;
        for (uint32_t j = 0; j < w; ++j) x[j] = addc(x[j], x[j], carry);
        SubtractIfAtLeast<0>(x, l.p, x, w);
    }
}

// Fills a lane for k and returns the j of its start value 2^(2^j).
inline uint32_t SetUp(Lane& l, u64 k, const Shape& sh, uint32_t rBits) {
    const uint32_t w = sh.w;
    l.k = k;
    l.found = 0;
    std::fill(l.p, l.p + w, 0);  // p = k*2^n + 1
    l.p[sh.limbShift] = k << sh.bitShift;
    if (sh.limbShift + 1 < w) l.p[sh.limbShift + 1] = (k >> 1) >> (63 - sh.bitShift);
    l.p[0] |= 1;
    if (!sh.proth) {
        // p = 1 (mod 2^n), so 1 is its inverse to n bits; each Newton step doubles that.
        u64 inv = 1;
        for (uint32_t bits = sh.n; bits < 64; bits *= 2) inv *= 2 - l.p[0] * inv;
        l.pinv = 0 - inv;
    }
    // Montgomery form of -1: p - (R mod p), R = 2^rBits.
    Pow2Mod(rBits, sh, l, l.target);
    u64 borrow = 0;
    for (uint32_t i = 0; i < w; ++i) l.target[i] = subb(l.p[i], l.target[i], borrow);
    u64 carry = 0;
    for (uint32_t i = 0; i < w; ++i) l.target2[i] = addc(l.target[i], l.p[i], carry);
    // Start at 2^(2^j) in Montgomery form, 2^(2^j) * R mod p, with 2^j + rBits - n small
    // enough for one 128-bit division; the squarings then reach 2^(2^first).
    const uint32_t a = rBits - sh.n;
    uint32_t j = 0;
    while (j + 1 <= sh.first && a + (1u << (j + 1)) <= 127) ++j;
    Pow2Mod(rBits + (1u << j), sh, l, l.x);
    return j;
}

// What the last residue (x in [0, 2p)) says: -1 there is a divisor at the last m; +1 means the
// chain met -1 earlier (after -1 every square is 1) or, for a composite p, reached 1 another
// way, and only comparing every m tells which; anything else means no m in range.
enum class Ending { kNone, kMinusOne, kOne };

template <uint32_t W>
VONTAL_INLINE Ending EndingOf(const Lane& l) {
    u64 y[W];
    SubtractIfAtLeast<W>(l.x, l.p, y, W);
    u64 minusOne = 0, one = 0, carry = 0;  // +1 is p - target, so y + target = p
    VONTAL_UNROLL
    for (uint32_t i = 0; i < W; ++i) {
        minusOne |= y[i] ^ l.target[i];
        one |= addc(y[i], l.target[i], carry) ^ l.p[i];
    }
    if (minusOne == 0) return Ending::kMinusOne;
    return (one | carry) == 0 ? Ending::kOne : Ending::kNone;
}

// Squares all lanes `steps` times without looking at them.
template <uint32_t N, typename StepFn>
VONTAL_INLINE void SquareLanes(Lane* lanes, uint32_t steps, StepFn step) {
    for (uint32_t s = 0; s < steps; ++s) {
        VONTAL_UNROLL
        for (uint32_t l = 0; l < N; ++l) step(lanes[l]);
    }
}

// The lane's m from its last residue; a lane at +1 is set up again and run comparing every m
// (rare: divisors, and candidates where 2 has a small order).
template <uint32_t W, bool Lazy, typename StepFn>
VONTAL_INLINE uint32_t Finish(Lane& l, const Shape& sh, uint32_t rBits, StepFn step) {
    switch (EndingOf<W>(l)) {
        case Ending::kMinusOne: return sh.last;
        case Ending::kNone: return 0;
        case Ending::kOne: break;
    }
    const uint32_t j = SetUp(l, l.k, sh, rBits);
    RunLanesWith<Lazy>(&l, 1, sh, j, W, step);
    return l.found;
}

// The start exponent depends only on the shape, so lanes of one shape start together.
template <uint32_t W, uint32_t D>
VONTAL_INLINE void RunFixed(const u64* ks, uint32_t count, const Shape& sh, uint32_t* ms) {
    struct Limbs { u64 p[W], x[W], target[W], target2[W], t[2 * W + 1]; };
    Limbs limbs[kMaxLanes];
    Lane lanes[kMaxLanes];
    uint32_t j = 0;
    for (uint32_t l = 0; l < count; ++l) {
        lanes[l].p = limbs[l].p, lanes[l].x = limbs[l].x, lanes[l].target = limbs[l].target,
        lanes[l].target2 = limbs[l].target2, lanes[l].t = limbs[l].t;
        j = SetUp(lanes[l], ks[l], sh, 64 * W);
    }
    constexpr bool kLazy = W == 3 && D != 0;  // residues in [0, 2p): see StepThreeLimbsProth
    const FixedStep<W, D> step{sh};
    if (count == kMaxLanes) {
        SquareLanes<kMaxLanes>(lanes, sh.last - j, step);
    } else {
        for (uint32_t l = 0; l < count; ++l) SquareLanes<1>(lanes + l, sh.last - j, step);
    }
    for (uint32_t l = 0; l < count; ++l) ms[l] = Finish<W, kLazy>(lanes[l], sh, 64 * W, step);
}

// Two-limb candidates in the Proth form with n-bit steps (StepTwoLimbsShortProth): the lanes'
// residues are held in local variables, which the compiler keeps in registers.
template <uint32_t N, bool Narrow>
VONTAL_INLINE void SquareShortProth(u64* x0, u64* x1, const u64* ks, const ShortProth& f, uint32_t steps) {
    u64 a[N], b[N], k[N];
    VONTAL_UNROLL
    for (uint32_t l = 0; l < N; ++l) a[l] = x0[l], b[l] = x1[l], k[l] = ks[l];
    for (uint32_t s = 0; s < steps; ++s) {
        VONTAL_UNROLL
        for (uint32_t l = 0; l < N; ++l) StepTwoLimbsShortProth<Narrow>(a[l], b[l], k[l], f);
    }
    VONTAL_UNROLL
    for (uint32_t l = 0; l < N; ++l) x0[l] = a[l], x1[l] = b[l];
}

template <bool Narrow>
VONTAL_INLINE void RunShortProth(const u64* ks, uint32_t count, const Shape& sh, uint32_t* ms) {
    struct Limbs { u64 p[2], x[2], target[2], target2[2]; };
    Limbs limbs[kMaxLanes];
    Lane lanes[kMaxLanes];
    u64 x0[kMaxLanes], x1[kMaxLanes];
    const uint32_t rBits = 2 * sh.n;
    uint32_t j = 0;
    for (uint32_t l = 0; l < count; ++l) {
        lanes[l].p = limbs[l].p, lanes[l].x = limbs[l].x, lanes[l].target = limbs[l].target,
        lanes[l].target2 = limbs[l].target2;
        j = SetUp(lanes[l], ks[l], sh, rBits);
        x0[l] = limbs[l].x[0], x1[l] = limbs[l].x[1];
    }
    const ShortProth f(sh.n);
    if (count == kMaxLanes) {
        SquareShortProth<kMaxLanes, Narrow>(x0, x1, ks, f, sh.last - j);
    } else {
        for (uint32_t l = 0; l < count; ++l) SquareShortProth<1, Narrow>(x0 + l, x1 + l, ks + l, f, sh.last - j);
    }
    const auto step = [&f](Lane& l) { StepTwoLimbsShortProth<Narrow>(l.x[0], l.x[1], l.k, f); };
    for (uint32_t l = 0; l < count; ++l) {
        limbs[l].x[0] = x0[l], limbs[l].x[1] = x1[l];
        ms[l] = Finish<2, true>(lanes[l], sh, rBits, step);
    }
}

// Three-limb candidates with 64 <= n < 128 (StepThreeLimbsProth), their residues and what the
// reduction multiplies by (p's upper limbs, or k) in local variables.
template <uint32_t N, bool Narrow, bool ProductOfK>
VONTAL_INLINE void SquareThreeLimbsProth(u64 (*x)[3], const u64 (*uv)[2], uint32_t s, uint32_t steps) {
    u64 a[N], b[N], c[N], u[N], v[N];
    VONTAL_UNROLL
    for (uint32_t l = 0; l < N; ++l) a[l] = x[l][0], b[l] = x[l][1], c[l] = x[l][2], u[l] = uv[l][0], v[l] = uv[l][1];
    for (uint32_t i = 0; i < steps; ++i) {
        VONTAL_UNROLL
        for (uint32_t l = 0; l < N; ++l) StepThreeLimbsProth<Narrow, ProductOfK>(a[l], b[l], c[l], u[l], v[l], s);
    }
    VONTAL_UNROLL
    for (uint32_t l = 0; l < N; ++l) x[l][0] = a[l], x[l][1] = b[l], x[l][2] = c[l];
}

template <bool Narrow, bool ProductOfK>
VONTAL_INLINE void RunThreeLimbsProth(const u64* ks, uint32_t count, const Shape& sh, uint32_t* ms) {
    struct Limbs { u64 p[3], x[3], target[3], target2[3]; };
    Limbs limbs[kMaxLanes];
    Lane lanes[kMaxLanes];
    u64 x[kMaxLanes][3], uv[kMaxLanes][2];
    uint32_t j = 0;
    for (uint32_t l = 0; l < count; ++l) {
        lanes[l].p = limbs[l].p, lanes[l].x = limbs[l].x, lanes[l].target = limbs[l].target,
        lanes[l].target2 = limbs[l].target2;
        j = SetUp(lanes[l], ks[l], sh, 192);
        std::copy(limbs[l].x, limbs[l].x + 3, x[l]);
        uv[l][0] = ProductOfK ? ks[l] : limbs[l].p[1];
        uv[l][1] = limbs[l].p[2];
    }
    const uint32_t s = sh.bitShift;
    if (count == kMaxLanes) {
        // Two pairs one after the other: four lanes at once spill more than their overlap gains.
        SquareThreeLimbsProth<2, Narrow, ProductOfK>(x, uv, s, sh.last - j);
        SquareThreeLimbsProth<2, Narrow, ProductOfK>(x + 2, uv + 2, s, sh.last - j);
    } else {
        for (uint32_t l = 0; l < count; ++l) SquareThreeLimbsProth<1, Narrow, ProductOfK>(x + l, uv + l, s, sh.last - j);
    }
    const auto step = [s](Lane& l) {
        StepThreeLimbsProth<Narrow, ProductOfK>(l.x[0], l.x[1], l.x[2], ProductOfK ? l.k : l.p[1], l.p[2], s);
    };
    for (uint32_t l = 0; l < count; ++l) {
        std::copy(x[l], x[l] + 3, limbs[l].x);
        ms[l] = Finish<3, true>(lanes[l], sh, 192, step);
    }
}

VONTAL_INLINE void RunWide(u64 k, const Shape& sh, uint32_t* m, KernelScratch& scratch) {
    const size_t need = 6 * static_cast<size_t>(sh.w) + 1;
    if (scratch.limbs.size() < need) scratch.limbs.resize(need);  // only when not reserved
    Lane lane;
    u64* base = scratch.limbs.data();
    lane.p = base, lane.x = base + sh.w, lane.target = base + 2 * sh.w, lane.target2 = base + 3 * sh.w;
    lane.t = base + 4 * sh.w;
    const uint32_t j = SetUp(lane, k, sh, 64 * sh.w);
    RunLanes<0, 0>(&lane, 1, sh, j);
    *m = lane.found;
}

// ProductOfK: see StepThreeLimbsProth; the variants without mulx take it.
template <bool ProductOfK>
VONTAL_INLINE void RunShape(const u64* ks, uint32_t count, const Shape& sh, uint32_t* ms, KernelScratch& scratch) {
    if (!sh.proth) {
        if (sh.w == 1) return RunFixed<1, 0>(ks, count, sh, ms);
        u64 any = 0;  // the widest k of the run
        for (uint32_t l = 0; l < count; ++l) any |= ks[l];
        const uint32_t lp = sh.n + Log2Floor(any);
        if (TakesShortProth(sh.n, lp))
            return lp <= 94 ? RunShortProth<true>(ks, count, sh, ms) : RunShortProth<false>(ks, count, sh, ms);
        return RunFixed<2, 0>(ks, count, sh, ms);
    }
    switch (sh.w * 8 + sh.limbShift) {
        case 2 * 8 + 1: return RunFixed<2, 1>(ks, count, sh, ms);
        case 3 * 8 + 1: {
            u64 any = 0;  // the widest k of the run
            for (uint32_t l = 0; l < count; ++l) any |= ks[l];
            if constexpr (ProductOfK) {
                if (sh.bitShift != 0) {  // n > 64
                    if (sh.n + Log2Floor(any) <= 158) return RunThreeLimbsProth<true, true>(ks, count, sh, ms);
                    return RunThreeLimbsProth<false, true>(ks, count, sh, ms);
                }
            }
            if (sh.n + Log2Floor(any) <= 158) return RunThreeLimbsProth<true, false>(ks, count, sh, ms);
            return RunThreeLimbsProth<false, false>(ks, count, sh, ms);
        }
        case 3 * 8 + 2: return RunFixed<3, 2>(ks, count, sh, ms);
        case 4 * 8 + 1: return RunFixed<4, 1>(ks, count, sh, ms);
        case 4 * 8 + 2: return RunFixed<4, 2>(ks, count, sh, ms);
        case 4 * 8 + 3: return RunFixed<4, 3>(ks, count, sh, ms);
        default:
            for (uint32_t l = 0; l < count; ++l) RunWide(ks[l], sh, ms + l, scratch);
    }
}

// Splits a batch of one exponent into runs of consecutive candidates of one shape, at most
// `lanes` long, and hands each run to Run::Test(ks, count, shape, ms, scratch); a shape with
// nothing to compare (first > last) gets m = 0 without a test. Run::Test is an always-inlined
// static function, so that the whole test compiles for the caller's instruction set.
template <typename Run>
VONTAL_INLINE void ForEachShapeRun(const u64* ks, uint32_t count, uint32_t n, uint32_t lanes, uint32_t* ms,
                                   KernelScratch& scratch) {
    uint32_t i = 0;
    while (i < count) {
        const Shape sh = ShapeOf(ks[i], n);
        // The shape depends on k only through its bit length: the same length, the same shape
        // (without working the shape out again for each candidate).
        const uint32_t length = Log2Floor(ks[i]);
        uint32_t run = 1;
        while (i + run < count && run < lanes &&
               (Log2Floor(ks[i + run]) == length || ShapeOf(ks[i + run], n) == sh))
            ++run;
        if (sh.first > sh.last) {
            std::fill(ms + i, ms + i + run, 0);
        } else {
            Run::Test(ks + i, run, sh, ms + i, scratch);
        }
        i += run;
    }
}

// The scalar test of a whole batch.
template <bool ProductOfK>
struct ScalarRun {
    static VONTAL_INLINE void Test(const u64* ks, uint32_t count, const Shape& sh, uint32_t* ms, KernelScratch& scratch) {
        RunShape<ProductOfK>(ks, count, sh, ms, scratch);
    }
};

template <bool ProductOfK>
VONTAL_INLINE void TestCandidatesScalar(const u64* ks, uint32_t count, uint32_t n, uint32_t* ms, KernelScratch& scratch) {
    ForEachShapeRun<ScalarRun<ProductOfK>>(ks, count, n, kMaxLanes, ms, scratch);
}

}  // namespace

}  // namespace vontal
