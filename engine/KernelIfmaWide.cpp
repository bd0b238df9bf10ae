// Eight Montgomery squaring chains side by side for candidates of up to 64 limbs of 52 bits, the
// width known at run time; used beyond the widths that have kernels of their own (from 10 limbs).
//
// One squaring is two passes over the columns of the square, kept as 64-bit sums:
//  - the cross products x_i*x_j (i < j), once each, a block of rows at a time: the rows and
//    the columns they are adding to stay in registers while the block sweeps along x, so each
//    product costs no memory traffic;
//  - one pass from the lowest column up that doubles the sums, adds the diagonal squares, and
//    reduces: p = 1 + K*2^(52*d), so limb q's factor is m = -t_q (mod 2^52), the m*1 is only
//    the carry out of the limb, and m*K lands at limbs q + d to q + d + 3 at most. The carries
//    run along in the same pass, which leaves the result in 52-bit limbs.
// Residues stay in [0, 2p) with p < R/4, R = 2^(52W): (x^2 + m*p) / R < (4p^2 + R*p) / R < 2p.
// Every column sum stays below 2^60: at most W <= 64 halves of products (each below 2^52),
// doubled, plus a few.
#include "KernelIfma.h"
#include "IfmaIntrinsics.h"

#include <type_traits>  // std::false_type, std::true_type
#include <utility>      // std::integer_sequence, std::swap



namespace vontal::ifma {

#if defined(__x86_64__)

namespace {


constexpr uint32_t kRows = 12;  // rows of the cross products per sweep: 12 rows + 13 sums in registers

// Work space of one batch, on the stack: the residue and its successor, the column sums of the
// square, and the reduction factors with zeros on either side (so that a column near either end
// needs no test of which factors exist).
struct Work {
    static constexpr uint32_t kFactorPad = 4;
    __m512i x[2][kMaxWideLimbs + kRows];
    __m512i c[2 * kMaxWideLimbs + kRows + 1];
    __m512i m[kFactorPad + kMaxWideLimbs + kFactorPad];
};

// A sweep keeps the sums of the kRows + 1 columns that the block's rows are adding to in
// registers. Instead of moving them down by one after each column, the slots rotate: at phase P
// the sum of column i0 + j + r is in slot (P + r) mod kSums, so every index is known when the
// code is compiled and the sums never leave their registers.
constexpr uint32_t kSums = kRows + 1;

template <uint32_t P>
constexpr uint32_t Slot(uint32_t r) { return (P + r) % kSums; }

// One column j: rows 0 to H - 1 of the block times x_j. Column i0 + j then gets nothing more
// from these rows: it goes to memory, and its slot starts column i0 + j + kSums.
template <uint32_t H, uint32_t P>
VONTAL_IFMA void SweepColumn(const __m512i (&row)[kRows], __m512i (&sum)[kSums], __m512i xj, __m512i& column) {
    VONTAL_VECTOR_UNROLL
    for (uint32_t r = 0; r < H; ++r) {
        sum[Slot<P>(r)] = _mm512_madd52lo_epu64(sum[Slot<P>(r)], row[r], xj);
        sum[Slot<P>(r + 1)] = _mm512_madd52hi_epu64(sum[Slot<P>(r + 1)], row[r], xj);
    }
    column = _mm512_add_epi64(column, sum[Slot<P>(0)]);
    sum[Slot<P>(0)] = _mm512_setzero_si512();
}

// The end of the sweep at column j, phase P: the sums go to their columns.
template <uint32_t P>
VONTAL_IFMA void FlushSums(const __m512i (&sum)[kSums], __m512i* c, uint32_t j) {
    VONTAL_VECTOR_UNROLL
    for (uint32_t r = 0; r < kSums; ++r) c[j + r] = _mm512_add_epi64(c[j + r], sum[Slot<P>(r)]);
}

struct Sweep {
    const __m512i* x;
    __m512i* c;  // from column i0
    uint32_t w, j;
    __m512i row[kRows], sum[kSums];

    // Column j with rows 0 to H - 1 at phase P, or the end of the sweep (false).
    template <uint32_t H, uint32_t P>
    VONTAL_IFMA bool Step() {
        if (j >= w) {
            FlushSums<P>(sum, c, j);
            return false;
        }
        SweepColumn<H, P>(row, sum, x[j], c[j]);
        ++j;
        return true;
    }

    // The first kRows - 1 columns meet a growing triangle of the rows (column j only the rows
    // below it), then every column meets all of them.
    template <uint32_t... H>
    VONTAL_IFMA bool Triangle(std::integer_sequence<uint32_t, H...>) { return (Step<H + 1, H>() && ...); }
    template <uint32_t... U>
    VONTAL_IFMA void Rectangle(std::integer_sequence<uint32_t, U...>) {
        while ((Step<kRows, (kRows - 1 + U) % kSums>() && ...)) {
        }
    }
};

// Adds x_i*x_j for i0 <= i < i0 + kRows, i < j < w into the column sums c.
VONTAL_IFMA void CrossRows(const __m512i* x, __m512i* c, uint32_t w, uint32_t i0) {
    Sweep sweep;
    sweep.x = x + i0;      // indexed by j - i0 ...
    sweep.c = c + 2 * i0;  // ... and the column i0 + j
    sweep.w = w - i0;
    sweep.j = 1;
    VONTAL_VECTOR_UNROLL
    for (uint32_t r = 0; r < kRows; ++r) sweep.row[r] = x[i0 + r];
    VONTAL_VECTOR_UNROLL
    for (uint32_t r = 0; r < kSums; ++r) sweep.sum[r] = _mm512_setzero_si512();
    if (sweep.Triangle(std::make_integer_sequence<uint32_t, kRows - 1>())) sweep.Rectangle(std::make_integer_sequence<uint32_t, kSums>());
}

// y = x^2 / R mod p, in [0, 2p) for x in [0, 2p). c holds zeros on entry and on return;
// m points at the factors' slots, with kFactorPad zeros on either side of w of them; k holds
// the NK = w - d limbs of K.
template <uint32_t NK, bool Exact>
VONTAL_IFMA bool Square(const __m512i* x, __m512i* y, __m512i* c, __m512i* m, const __m512i* k, uint32_t w,
                        uint32_t d) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i mask = _mm512_set1_epi64((1ll << 52) - 1);
    for (uint32_t i0 = 0; i0 + 1 < w; i0 += kRows) CrossRows(x, c, w, i0);
    // Column q: twice the cross products, the diagonal, the products m_i*K_t that land here
    // (lows of i = q - d - t, highs of i = q - d - 1 - t, for 0 <= i < w: the others are the
    // zeros around m), and the carry from below. NK = w - d, so m_(w-1)*K ends in column 2w - 1.
    // The carry is the only chain from column to column: one addition and one shift each.
    // Columns go two at a time, even then odd, so that the diagonal's half is known when the code
    // is compiled and x_(q/2) is loaded once.
    __m512i carry = zero;
    const auto sum = [&](uint32_t q, __m512i xi, auto odd, bool products) VONTAL_IFMA_LAMBDA {
        __m512i s = c[q];
        c[q] = zero;
        s = _mm512_add_epi64(s, s);
        if constexpr (decltype(odd)::value)
            s = _mm512_madd52hi_epu64(s, xi, xi);
        else
            s = _mm512_madd52lo_epu64(s, xi, xi);
        if (products) {
            const __m512i* mq = m + static_cast<int>(q) - static_cast<int>(d);  // m_(q-d), in the padding when negative
            VONTAL_VECTOR_UNROLL
            for (uint32_t t = 0; t < NK; ++t) {
                s = _mm512_madd52lo_epu64(s, mq[-static_cast<int>(t)], k[t]);
                s = _mm512_madd52hi_epu64(s, mq[-static_cast<int>(t) - 1], k[t]);
            }
        }
        return s;
    };
    // Columns below w: s + carry + m_q is a multiple of 2^52, so m_q = -(s + carry) mod 2^52 and
    // the carry on is ceil((s + carry) / 2^52) = (s + 2^52 - 1 + carry) >> 52. From w on: the
    // result's limbs.
    __m512i changed = zero;
    const auto carryOn = [&](__m512i own, __m512i withCarry) VONTAL_IFMA_LAMBDA {
        if constexpr (Exact) {
            carry = _mm512_srli_epi64(withCarry, 52);
        } else {
            carry = _mm512_srli_epi64(own, 52);
            changed = _mm512_ternarylogic_epi64(changed, own, withCarry, 0xF6);  // changed | (own ^ withCarry)
        }
    };
    const auto column = [&](uint32_t q, __m512i xi, auto odd) VONTAL_IFMA_LAMBDA {
        if (q < w) {
            __m512i up = _mm512_add_epi64(sum(q, xi, odd, q >= d), mask);
            if constexpr (Exact) __asm__("" : "+v"(up));  // (s + mask) + carry: keeps the carry's chain to one addition
            const __m512i withCarry = _mm512_add_epi64(up, carry);
            m[q] = _mm512_and_si512(_mm512_sub_epi64(mask, withCarry), mask);
            carryOn(up, withCarry);
        } else {
            const __m512i s = sum(q, xi, odd, true);
            const __m512i v = _mm512_add_epi64(s, carry);
            y[q - w] = _mm512_and_si512(v, mask);
            carryOn(s, v);
        }
    };
    for (uint32_t i = 0; i < w; ++i) {
        const __m512i xi = x[i];
        column(2 * i, xi, std::false_type{});
        column(2 * i + 1, xi, std::true_type{});
    }
    if constexpr (Exact) return true;
    const __m512i high = _mm512_srli_epi64(changed, 52);
    return _mm512_test_epi64_mask(high, high) == 0;
}

// One squaring: x^2 / R mod p into y, exactly as Square<NK, true> gives it.
template <uint32_t NK>
VONTAL_IFMA void SquareStep(const __m512i* x, __m512i* y, __m512i* c, __m512i* m, const __m512i* k, uint32_t w,
                            uint32_t d) {
    if (!Square<NK, false>(x, y, c, m, k, w, d)) [[unlikely]]
        Square<NK, true>(x, y, c, m, k, w, d);
}

// Compares with -1 after every squaring from 2^(2^first) on: the m at which a lane meets -1.
template <uint32_t NK>
__attribute__((target("avx512f,avx512ifma"))) void RunWideChainsChecked(const WideBatch& b, uint32_t* found) {
    const __m512i zero = _mm512_setzero_si512();
    const uint32_t w = b.limbs, d = b.kShift;
    alignas(64) Work work;
    for (auto& column : work.c) column = zero;
    for (auto& factor : work.m) factor = zero;
    for (auto& limbs : work.x)
        for (auto& limb : limbs) limb = zero;
    __m512i* x = work.x[0];
    __m512i* y = work.x[1];
    for (uint32_t i = 0; i < w; ++i) x[i] = _mm512_load_si512(b.x[i]);
    __m512i k[NK];
    VONTAL_VECTOR_UNROLL
    for (uint32_t t = 0; t < NK; ++t) k[t] = _mm512_load_si512(b.k[t]);
    __m512i* m = work.m + Work::kFactorPad;
    for (uint32_t j = b.start; j < b.first; ++j) {
        SquareStep<NK>(x, y, work.c, m, k, w, d);
        std::swap(x, y);
    }
    for (uint32_t mm = b.first;; ++mm) {
        // Limb 0 already tells almost every lane apart from -1; the rest only when one matches.
        __mmask8 eq1 = 0xFF, eq2 = 0xFF;
        for (uint32_t i = 0; i < w && (eq1 | eq2); ++i) {
            eq1 &= _mm512_cmpeq_epi64_mask(x[i], _mm512_load_si512(b.target[i]));
            eq2 &= _mm512_cmpeq_epi64_mask(x[i], _mm512_load_si512(b.target2[i]));
        }
        // After -1 every square is 1, so a lane never meets -1 twice.
        for (__mmask8 hit = eq1 | eq2; hit; hit &= hit - 1) found[__builtin_ctz(hit)] = mm;
        if (mm >= b.last) return;
        SquareStep<NK>(x, y, work.c, m, k, w, d);
        std::swap(x, y);
    }
}

// Squares straight through to 2^(2^last) and looks only at the end, as the narrow kernel does:
// -1 there is a find at m = last; a lane at +1 met -1 earlier (or has a smaller order of 2), and
// the batch is then run again with every m compared. A comparison after every squaring costs
// about a twentieth of the squaring at 20 limbs.
template <uint32_t NK>
__attribute__((target("avx512f,avx512ifma"))) void RunWideChains(const WideBatch& b, uint32_t* found) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i mask = _mm512_set1_epi64((1ll << 52) - 1);
    const uint32_t w = b.limbs, d = b.kShift;
    alignas(64) Work work;
    for (auto& column : work.c) column = zero;
    for (auto& factor : work.m) factor = zero;
    for (auto& limbs : work.x)
        for (auto& limb : limbs) limb = zero;
    __m512i* x = work.x[0];
    __m512i* y = work.x[1];
    for (uint32_t i = 0; i < w; ++i) x[i] = _mm512_load_si512(b.x[i]);
    __m512i k[NK];
    VONTAL_VECTOR_UNROLL
    for (uint32_t t = 0; t < NK; ++t) k[t] = _mm512_load_si512(b.k[t]);
    __m512i* m = work.m + Work::kFactorPad;
    for (uint32_t j = b.start; j < b.last; ++j) {
        SquareStep<NK>(x, y, work.c, m, k, w, d);
        std::swap(x, y);
    }
    // p = 1 + K*2^(52d), limb by limb.
    const auto limbOfP = [&](uint32_t i) VONTAL_IFMA_LAMBDA {
        if (i == 0 && d > 0) return _mm512_set1_epi64(1);
        if (i < d) return zero;
        __m512i limb = zero;
        VONTAL_VECTOR_UNROLL
        for (uint32_t t = 0; t < NK; ++t)
            if (i == d + t) limb = k[t];
        return limb;
    };
    // x is below 2p: subtract p where that leaves no borrow, so that each residue has one form.
    __m512i borrow = zero;
    for (uint32_t i = 0; i < w; ++i) {
        const __m512i t = _mm512_sub_epi64(_mm512_sub_epi64(x[i], limbOfP(i)), borrow);
        borrow = _mm512_srli_epi64(t, 63);
        y[i] = _mm512_and_si512(t, mask);
    }
    const __mmask8 atLeastP = _mm512_cmpeq_epi64_mask(borrow, zero);
    // -1 is target; +1 is p - target, so x = +1 exactly when x + target = p.
    __mmask8 minus = 0xFF, plus = 0xFF;
    __m512i carry = zero;
    for (uint32_t i = 0; i < w; ++i) {
        const __m512i v = _mm512_mask_mov_epi64(x[i], atLeastP, y[i]);
        const __m512i t = _mm512_load_si512(b.target[i]);
        minus &= _mm512_cmpeq_epi64_mask(v, t);
        const __m512i sum = _mm512_add_epi64(_mm512_add_epi64(v, t), carry);
        carry = _mm512_srli_epi64(sum, 52);
        plus &= _mm512_cmpeq_epi64_mask(_mm512_and_si512(sum, mask), limbOfP(i));
    }
    plus &= _mm512_cmpeq_epi64_mask(carry, zero);
    if (plus != 0) return RunWideChainsChecked<NK>(b, found);
    if (b.last >= b.first)
        for (__mmask8 hit = minus; hit; hit &= hit - 1) found[__builtin_ctz(hit)] = b.last;
}

}  // namespace

void RunWide(const WideBatch& batch, uint32_t* found) {
    for (uint32_t l = 0; l < kLanes; ++l) found[l] = 0;
    // p < R/4 puts K's top limb at most at limbs - 1; with k < 2^64 that is at most three limbs
    // above kShift. A lane whose K is shorter has zeros there.
    switch (batch.limbs - batch.kShift) {
        case 1: return RunWideChains<1>(batch, found);
        case 2: return RunWideChains<2>(batch, found);
        default: return RunWideChains<3>(batch, found);
    }
}

void RunWideChecked(const WideBatch& batch, uint32_t* found) {
    for (uint32_t l = 0; l < kLanes; ++l) found[l] = 0;
    switch (batch.limbs - batch.kShift) {
        case 1: return RunWideChainsChecked<1>(batch, found);
        case 2: return RunWideChainsChecked<2>(batch, found);
        default: return RunWideChainsChecked<3>(batch, found);
    }
}

#else

void RunWide(const WideBatch&, uint32_t* found) {
    for (uint32_t l = 0; l < kLanes; ++l) found[l] = 0;
}

void RunWideChecked(const WideBatch&, uint32_t* found) {
    for (uint32_t l = 0; l < kLanes; ++l) found[l] = 0;
}

#endif

}  // namespace vontal::ifma
