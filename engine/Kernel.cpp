// The candidate test in 64-bit limbs with Montgomery squaring.
//
// p = k*2^n + 1 is held in W = ceil((Lp + 2) / 64) limbs, so that p < 2^(64W - 1) and every
// reduced value fits W limbs with room for the sum of two of them. Residues live in Montgomery
// form x*R mod p with R = 2^(64W); a squaring is one W-limb square and one Montgomery reduction.
//
// Two reductions:
//  - "dense" for n < 64, where p's low limb is arbitrary (p < 2^127, so W <= 2);
//  - "Proth" for n >= 64, where p = 1 (mod 2^64): the per-limb factor is simply -t, and adding
//    m*p = m + m*k*2^n touches only the few limbs that hold k*2^n, so the reduction costs W
//    single-limb multiplications instead of W^2.
// The start value 2^(2^j) * R mod p is formed from 2^(e) mod p = r*2^n - q with
// 2^(e - n) = q*k + r (because k*2^n = -1 mod p), one 128-bit division by k.
#include "Kernel.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vontal {

namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

constexpr uint32_t kMaxFixedWidth = 8;  // widths with an unrolled kernel; wider ones loop

// Per-candidate description of p.
struct Modulus {
    uint32_t w = 0;       // limbs
    uint32_t n = 0;       // exponent
    u64 k = 0;            // multiplier
    uint32_t limbShift = 0, bitShift = 0;  // n = 64*limbShift + bitShift
    u64 pinv = 0;         // -p^-1 mod 2^64 (dense reduction only)
    u64* p = nullptr;     // w limbs
};

inline u64 addc(u64 a, u64 b, u64& carry) {
    u128 s = static_cast<u128>(a) + b + carry;
    carry = static_cast<u64>(s >> 64);
    return static_cast<u64>(s);
}

inline u64 subb(u64 a, u64 b, u64& borrow) {
    u128 d = static_cast<u128>(a) - b - borrow;
    borrow = static_cast<u64>(d >> 64) & 1;
    return static_cast<u64>(d);
}

// x -= p when x >= p (x has w limbs, both below 2^(64w)).
inline void ReduceOnce(u64* x, const u64* p, uint32_t w) {
    u64 borrow = 0;
    u64 t[kMaxFixedWidth];
    if (w <= kMaxFixedWidth) {
        for (uint32_t i = 0; i < w; ++i) t[i] = subb(x[i], p[i], borrow);
        if (!borrow) std::memcpy(x, t, w * sizeof(u64));
        return;
    }
    // Wide: compare first, then subtract in place.
    for (uint32_t i = w; i-- > 0;) {
        if (x[i] != p[i]) {
            if (x[i] < p[i]) return;
            break;
        }
    }
    borrow = 0;
    for (uint32_t i = 0; i < w; ++i) x[i] = subb(x[i], p[i], borrow);
}

// t (2w limbs, plus one guard limb) = x^2.
template <uint32_t W>
inline void Square(const u64* x, u64* t, uint32_t wDyn) {
    const uint32_t w = W ? W : wDyn;
    std::fill(t, t + 2 * w + 1, 0);
    // Cross products x_i*x_j, i < j, accumulated once ...
    for (uint32_t i = 0; i < w; ++i) {
        u64 carry = 0;
        for (uint32_t j = i + 1; j < w; ++j) {
            u128 prod = static_cast<u128>(x[i]) * x[j] + t[i + j] + carry;
            t[i + j] = static_cast<u64>(prod);
            carry = static_cast<u64>(prod >> 64);
        }
        t[i + w] = carry;
    }
    // ... doubled, then the diagonal squares added.
    u64 top = 0;
    for (uint32_t i = 0; i < 2 * w; ++i) {
        u64 v = t[i];
        t[i] = (v << 1) | top;
        top = v >> 63;
    }
    u64 carry = 0;
    for (uint32_t i = 0; i < w; ++i) {
        u128 sq = static_cast<u128>(x[i]) * x[i];
        t[2 * i] = addc(t[2 * i], static_cast<u64>(sq), carry);
        t[2 * i + 1] = addc(t[2 * i + 1], static_cast<u64>(sq >> 64), carry);
    }
}

// x = t / R mod p, t < p*R, for any odd p (n < 64).
template <uint32_t W>
inline void ReduceDense(u64* t, u64* x, const Modulus& md) {
    const uint32_t w = W ? W : md.w;
    for (uint32_t i = 0; i < w; ++i) {
        const u64 m = t[i] * md.pinv;
        u64 carry = 0;
        for (uint32_t j = 0; j < w; ++j) {
            u128 prod = static_cast<u128>(m) * md.p[j] + t[i + j] + carry;
            t[i + j] = static_cast<u64>(prod);
            carry = static_cast<u64>(prod >> 64);
        }
        for (uint32_t j = i + w; carry && j <= 2 * w; ++j) {
            u128 s = static_cast<u128>(t[j]) + carry;
            t[j] = static_cast<u64>(s);
            carry = static_cast<u64>(s >> 64);
        }
    }
    for (uint32_t i = 0; i < w; ++i) x[i] = t[w + i];
    ReduceOnce(x, md.p, w);
}

// x = t / R mod p for p = k*2^n + 1 with n >= 64 (p = 1 mod 2^64).
template <uint32_t W>
inline void ReduceProth(u64* t, u64* x, const Modulus& md) {
    const uint32_t w = W ? W : md.w;
    const uint32_t d = md.limbShift, s = md.bitShift;
    const uint32_t top = 2 * w;  // index of the guard limb
    for (uint32_t i = 0; i < w; ++i) {
        const u64 m = 0 - t[i];
        // Adding m to limb i clears it; it carries exactly when t[i] was not zero.
        u64 carry = t[i] != 0;
        t[i] = 0;
        // Add m*k*2^n at limb i.
        const u128 mk = static_cast<u128>(m) * md.k;
        const u64 lo = static_cast<u64>(mk), hi = static_cast<u64>(mk >> 64);
        const u64 c0 = lo << s;
        const u64 c1 = s ? (hi << s) | (lo >> (64 - s)) : hi;
        const u64 c2 = s ? hi >> (64 - s) : 0;
        // The carry from limb i belongs to limb i + 1, which may lie below limb i + d.
        uint32_t j = i + 1;
        for (; j < i + d && carry; ++j) {
            t[j] += 1;
            carry = t[j] == 0;
        }
        j = i + d;
        const u64 adds[3] = {c0, c1, c2};
        for (uint32_t a = 0; a < 3 && j <= top; ++a, ++j) t[j] = addc(t[j], adds[a], carry);
        for (; carry && j <= top; ++j) {
            t[j] += 1;
            carry = t[j] == 0;
        }
    }
    for (uint32_t i = 0; i < w; ++i) x[i] = t[w + i];
    ReduceOnce(x, md.p, w);
}

// Writes 2^e mod p into x (w limbs) for e >= 0, using k*2^n = -1 (mod p).
void Pow2Mod(uint32_t e, const Modulus& md, u64* x) {
    const uint32_t w = md.w;
    std::fill(x, x + w, 0);
    if (e < md.n) {  // 2^e < 2^n < p
        x[e / 64] = u64{1} << (e % 64);
        return;
    }
    // 2^(e - n) = q*k + r  =>  2^e = q*k*2^n + r*2^n = r*2^n - q (mod p).
    const uint32_t over = e - md.n;
    const uint32_t direct = std::min<uint32_t>(over, 127);
    const u128 h = static_cast<u128>(1) << direct;
    u128 q = h / md.k;
    const u64 r = static_cast<u64>(h % md.k);
    // q < p unless p is tiny; it then fits 128 bits and a plain remainder brings it down.
    if (w <= 2) {
        u128 pv = md.p[0] | (w > 1 ? static_cast<u128>(md.p[1]) << 64 : 0);
        if (q >= pv) q %= pv;
    }
    // x = r*2^n (below k*2^n < p).
    const uint32_t d = md.limbShift, s = md.bitShift;
    x[d] = r << s;
    if (d + 1 < w) x[d + 1] = s ? r >> (64 - s) : 0;
    // x -= q, adding p back on a borrow.
    u64 borrow = 0;
    const u64 ql[2] = {static_cast<u64>(q), static_cast<u64>(q >> 64)};
    for (uint32_t i = 0; i < w; ++i) x[i] = subb(x[i], i < 2 ? ql[i] : 0, borrow);
    if (borrow) {
        u64 carry = 0;
        for (uint32_t i = 0; i < w; ++i) x[i] = addc(x[i], md.p[i], carry);
    }
    // Remaining doublings when e - n exceeded what one 128-bit division covers.
    for (uint32_t i = direct; i < over; ++i) {
        u64 carry = 0;
        for (uint32_t j = 0; j < w; ++j) x[j] = addc(x[j], x[j], carry);
        ReduceOnce(x, md.p, w);
    }
}

template <uint32_t W, bool Proth>
uint32_t RunSquarings(const Modulus& md, u64* x, u64* t, const u64* target, uint32_t jStart,
                      uint32_t first, uint32_t last) {
    const uint32_t w = W ? W : md.w;
    auto step = [&] {
        Square<W>(x, t, w);
        if constexpr (Proth)
            ReduceProth<W>(t, x, md);
        else
            ReduceDense<W>(t, x, md);
    };
    for (uint32_t j = jStart; j < first; ++j) step();
    for (uint32_t m = first;; ++m) {
        bool equal = true;
        for (uint32_t i = 0; i < w; ++i) equal &= x[i] == target[i];
        if (equal) return m;
        if (m >= last) return 0;
        step();
    }
}

template <bool Proth>
uint32_t Dispatch(const Modulus& md, u64* x, u64* t, const u64* target, uint32_t j,
                  uint32_t first, uint32_t last) {
    switch (md.w) {
        case 1: return RunSquarings<1, Proth>(md, x, t, target, j, first, last);
        case 2: return RunSquarings<2, Proth>(md, x, t, target, j, first, last);
        case 3: return RunSquarings<3, Proth>(md, x, t, target, j, first, last);
        case 4: return RunSquarings<4, Proth>(md, x, t, target, j, first, last);
        case 5: return RunSquarings<5, Proth>(md, x, t, target, j, first, last);
        case 6: return RunSquarings<6, Proth>(md, x, t, target, j, first, last);
        case 7: return RunSquarings<7, Proth>(md, x, t, target, j, first, last);
        case 8: return RunSquarings<8, Proth>(md, x, t, target, j, first, last);
        default: return RunSquarings<0, Proth>(md, x, t, target, j, first, last);
    }
}

}  // namespace

void KernelScratch::reserveFor(uint32_t n) {
    const size_t w = (static_cast<size_t>(n) + 63 + 2 + 63) / 64;
    // p, x, target, t (2w + 1 limbs).
    const size_t need = 5 * w + 1;
    if (limbs.size() < need) limbs.resize(need);
}

uint32_t FirstMTested(uint64_t k, uint32_t n) {
    const uint32_t lp = n + Log2Floor(k);
    if (lp >= 42 && lp <= 93) return 7;
    return static_cast<uint32_t>(std::bit_width(lp));
}

uint32_t LastMTested(uint64_t k, uint32_t n) {
    const uint32_t lp = n + Log2Floor(k);
    if (lp >= 42 && lp <= 93 && n <= 9) return 7;
    return n >= 2 ? n - 2 : 0;
}

uint32_t TestCandidate(uint64_t k, uint32_t n, KernelScratch& scratch) {
    const uint32_t first = FirstMTested(k, n), last = LastMTested(k, n);
    if (first > last) return 0;
    const uint32_t lp = n + Log2Floor(k);

    Modulus md;
    md.w = (lp + 2 + 63) / 64;
    md.n = n;
    md.k = k;
    md.limbShift = n / 64;
    md.bitShift = n % 64;
    if (scratch.limbs.size() < 5 * static_cast<size_t>(md.w) + 1) scratch.reserveFor(n);
    u64* base = scratch.limbs.data();
    md.p = base;
    u64* x = base + md.w;
    u64* target = base + 2 * md.w;
    u64* t = base + 3 * md.w;  // 2w + 1 limbs

    // p = k*2^n + 1.
    std::fill(md.p, md.p + md.w, 0);
    md.p[md.limbShift] = k << md.bitShift;
    if (md.limbShift + 1 < md.w) md.p[md.limbShift + 1] = md.bitShift ? k >> (64 - md.bitShift) : 0;
    md.p[0] |= 1;  // k*2^n is even, so this adds 1
    const bool proth = n >= 64;
    if (!proth) {
        u64 inv = md.p[0];  // Newton: each step doubles the correct low bits (3 to start)
        for (int i = 0; i < 5; ++i) inv *= 2 - md.p[0] * inv;
        md.pinv = 0 - inv;
    }

    // Montgomery form of -1: p - (R mod p).
    const uint32_t rBits = 64 * md.w;
    Pow2Mod(rBits, md, target);
    {
        u64 borrow = 0;
        bool zero = true;
        for (uint32_t i = 0; i < md.w; ++i) zero &= target[i] == 0;
        if (!zero)
            for (uint32_t i = 0; i < md.w; ++i) target[i] = subb(md.p[i], target[i], borrow);
    }

    // Start at 2^(2^j) in Montgomery form, 2^(2^j + 64w) mod p, with 2^j + 64w - n small
    // enough for one 128-bit division; the squarings then reach 2^(2^first).
    const uint32_t a = rBits - n;
    uint32_t j = 0;
    while (j + 1 <= first && a + (1u << (j + 1)) <= 127) ++j;
    Pow2Mod(rBits + (1u << j), md, x);

    return proth ? Dispatch<true>(md, x, t, target, j, first, last)
                 : Dispatch<false>(md, x, t, target, j, first, last);
}

}  // namespace vontal
