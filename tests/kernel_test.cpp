// The candidate test against the GMP reference: published divisors, path boundaries, random
// candidates of every size.
#include <gtest/gtest.h>

#include <gmp.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <random>

#include "Kernel.h"
#include "KernelIfma.h"
#include "KernelVariants.h"
#include "Reference.h"

namespace vontal {
namespace {

// Every test runs once per arithmetic variant this processor has.
class Kernel : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override { ASSERT_TRUE(SelectKernel(GetParam())); }
    void TearDown() override { SelectKernel(AvailableKernels().front()); }
};

INSTANTIATE_TEST_SUITE_P(Variants, Kernel, ::testing::ValuesIn(AvailableKernels()),
                         [](const auto& info) { return info.param; });

uint32_t Reference(uint64_t k, uint32_t n) {
    return reference::TestCandidate(k, n, FirstMTested(k, n), LastMTested(k, n));
}

struct KnownCase {
    uint64_t k;
    uint32_t n;
    uint32_t m;  // reported m, 0 when the test does not report it
};

// Published divisors of Fermat numbers, and the examples the program is known to report.
const KnownCase kKnown[] = {
    {5, 7, 5},          {1071, 8, 6},      {39, 13, 11},       {119, 13, 11},
    {7, 14, 12},        {397, 16, 12},     {973, 16, 12},      {37, 16, 9},
    {11131, 12, 10},    {395937, 14, 10},  {41365885, 16, 13}, {579, 21, 15},
    {1575, 19, 16},     {13, 20, 18},      {33629, 21, 19},    {308385, 21, 19},
    {534689, 23, 21},   {5, 25, 23},       {5, 39, 36},        {3, 41, 38},
    {1479, 34, 32},     {95, 61, 58},      {5, 75, 73},        {425, 79, 77},
    {1575, 157, 150},   {3, 209, 207},     {1211, 333, 329},   {733251, 377, 375}, {120845, 401, 398},     {403, 252, 250},    {7, 290, 284},
    {7, 320, 316},      {5, 1947, 1945},   {5, 3313, 3310},
    {116503103764643, 9, 7},   // F_7's smaller factor: n = 9, one comparison only
    {604944512477, 11, 8},     // F_8's smaller factor
    {2139543641769, 50, 48},   {212675402445, 45, 43},  // fixed-width path
    {88075576149, 135, 133},   {119942751127, 90, 88},  {482524552001, 97, 94},
    {6616590375, 575, 569},    {372236097, 232, 230},   {541664191, 976, 971},
    // Up to 64 limbs of 52 bits, the widest that the eight-lane kernel takes: 21*2^276+1
    // divides F_268, 85*2^2458+1 divides F_2456, and so on.
    {15, 229, 226},  {29, 231, 228},  {21, 276, 268},   {27, 455, 452},
    {17, 747, 744},  {29, 2027, 2023}, {85, 2458, 2456},
    // F_6's 46-bit factor has n = 8 and Lp = 45: the fixed-width path starts at m = 7.
    {262814145745, 8, 0},
};

TEST_P(Kernel, KnownDivisors) {
    KernelScratch scratch;
    for (const auto& c : kKnown) {
        EXPECT_EQ(TestCandidate(c.k, c.n, scratch), c.m) << c.k << "*2^" << c.n << "+1";
        EXPECT_EQ(Reference(c.k, c.n), c.m) << c.k << "*2^" << c.n << "+1 (reference)";
    }
}

TEST_P(Kernel, FirstAndLastMByPath) {
    struct Row { uint64_t k; uint32_t n; uint32_t first, last; };
    const Row rows[] = {
        {3, 15, 5, 13},                 // Lp 16
        {(1ull << 31) + 1, 10, 6, 8},   // Lp 41: general path, m from 6
        {(1ull << 32) + 1, 10, 7, 8},   // Lp 42: fixed width, m from 7
        {(1ull << 34) + 1, 8, 7, 7},    // n = 8: m = 7 compared once
        {(1ull << 35) + 1, 9, 7, 7},    // n = 9: likewise
        {(1ull << 40) + 1, 53, 7, 51},  // Lp 93
        {(1ull << 40) + 1, 54, 7, 52},  // Lp 94: general path, m from 7
        {(1ull << 40) + 1, 87, 7, 85},  // Lp 127
        {(1ull << 40) + 1, 88, 8, 86},  // Lp 128
        {3, 255, 9, 253},               // Lp 256
    };
    for (const auto& r : rows) {
        EXPECT_EQ(FirstMTested(r.k, r.n), r.first) << r.k << " " << r.n;
        EXPECT_EQ(LastMTested(r.k, r.n), r.last) << r.k << " " << r.n;
    }
}

// Random k of every bit length at each Lp where the path, the first m or the limb count changes.
TEST_P(Kernel, MatchesReferenceAtPathBoundaries) {
    std::mt19937_64 rng(20261210);
    KernelScratch scratch;
    // Lp = n + L around 41/42, 63/64, 93/94, 127/128, 191/192 and limb edges of n.
    const uint32_t lps[] = {16, 31, 32, 41, 42, 43, 62, 63, 64, 65, 93, 94, 95, 125, 126, 127, 128,
                            129, 190, 191, 192, 193, 254, 255, 256};
    for (uint32_t lp : lps) {
        for (uint32_t L = 1; L <= 63; ++L) {
            if (lp < L + 8) continue;
            const uint32_t n = lp - L;
            for (int rep = 0; rep < 3; ++rep) {
                uint64_t k = (rng() >> (63 - L)) | (uint64_t{1} << L) | 1;
                if (L == 63) k = rng() | (uint64_t{1} << 63) | 1;
                ASSERT_EQ(Log2Floor(k), L);
                ASSERT_EQ(TestCandidate(k, n, scratch), Reference(k, n)) << k << "*2^" << n << "+1";
            }
        }
    }
}

TEST_P(Kernel, MatchesReferenceOnRandomCandidates) {
    std::mt19937_64 rng(42);
    KernelScratch scratch;
    // k < 2^31, 2^31 <= k < 2^32, k >= 2^32, k close to 2^63; n from 8 to a few thousand.
    const uint64_t kRanges[][2] = {{3, 1ull << 31}, {1ull << 31, 1ull << 32}, {1ull << 32, 1ull << 62},
                                   {(1ull << 63) - (1ull << 40), (1ull << 63) - 1}};
    const uint32_t ns[] = {8, 9, 10, 20, 31, 32, 33, 50, 63, 64, 65, 100, 127, 128, 129, 200, 500,
                           1000, 2500};
    for (const auto& range : kRanges) {
        for (uint32_t n : ns) {
            const int reps = n > 1000 ? 2 : 20;
            for (int rep = 0; rep < reps; ++rep) {
                const uint64_t k = (range[0] + rng() % (range[1] - range[0])) | 1;
                ASSERT_EQ(TestCandidate(k, n, scratch), Reference(k, n)) << k << "*2^" << n << "+1";
            }
        }
    }
}

// Random candidates almost never divide a Fermat number; the neighbours of known divisors are
// near misses of the same size, compared with the reference.
TEST_P(Kernel, KnownDivisorsDoNotLeakToNeighbours) {
    KernelScratch scratch;
    for (const auto& c : kKnown) {
        for (uint32_t n : {c.n - 1, c.n + 1}) {
            if (n < 8) continue;
            EXPECT_EQ(TestCandidate(c.k, n, scratch), Reference(c.k, n)) << c.k << "*2^" << n;
        }
        for (uint64_t k : {c.k + 2, c.k > 4 ? c.k - 2 : c.k + 4}) {
            EXPECT_EQ(TestCandidate(k, c.n, scratch), Reference(k, c.n)) << k << "*2^" << c.n;
        }
    }
}

// A product of two divisors of the same F_m also satisfies 2^(2^m) = -1, and so is reported:
// this exercises the "found" path at sizes no single published divisor has.
TEST_P(Kernel, ProductsOfDivisorsOfOneFermatNumber) {
    KernelScratch scratch;
    // F_12: 7*2^14+1, 397*2^16+1, 973*2^16+1. F_11: 39*2^13+1, 119*2^13+1.
    // (a*2^x+1)(b*2^y+1) = ab*2^(x+y) + a*2^x + b*2^y + 1 = K*2^min(x,y) + 1.
    struct D { uint64_t k; uint32_t n; };
    const D f12[] = {{7, 14}, {397, 16}, {973, 16}};
    const D f11[] = {{39, 13}, {119, 13}};
    auto check = [&](const D* ds, size_t count, uint32_t m) {
        for (size_t i = 0; i < count; ++i) {
            for (size_t j = i + 1; j < count; ++j) {
                const uint32_t n = std::min(ds[i].n, ds[j].n);
                const unsigned __int128 p = (static_cast<unsigned __int128>(ds[i].k) << ds[i].n | 1) *
                                            (static_cast<unsigned __int128>(ds[j].k) << ds[j].n | 1);
                unsigned __int128 k128 = (p - 1) >> n;
                while (!(k128 & 1)) {
                    k128 >>= 1;
                }
                const uint64_t k = static_cast<uint64_t>(k128);
                const uint32_t nn = static_cast<uint32_t>(std::countr_zero(static_cast<uint64_t>(p - 1)));
                EXPECT_EQ(Reference(k, nn), TestCandidate(k, nn, scratch));
                if (m >= FirstMTested(k, nn)) {
                    EXPECT_EQ(TestCandidate(k, nn, scratch), m) << k << " " << nn;
                }
            }
        }
    };
    check(f12, 3, 12);
    check(f11, 2, 11);
}

}  // namespace
}  // namespace vontal

namespace vontal {
namespace {

// Batches as the computation thread hands them over: consecutive survivors, sometimes
// straddling a change of limb count or path, some of them known divisors. Up to 40 candidates,
// so that the eight-lane kernels run one to four batches of eight side by side, and a rest.
// The exponents cover every reduction of the narrow eight-lane kernel: n below 52, and
// n / 52 from 1 to 4.
TEST_P(Kernel, BatchesMatchOneByOne) {
    std::mt19937_64 rng(99);
    KernelScratch scratch;
    for (uint32_t n : {9u, 14u, 30u, 45u, 50u, 61u, 64u, 75u, 90u, 97u, 100u, 126u, 135u, 157u, 209u, 232u, 300u, 976u}) {
        for (int rep = 0; rep < 30; ++rep) {
            uint64_t ks[40];
            uint32_t ms[40];
            // Start just below a power of two half of the time, so that the batch changes shape.
            const uint32_t bits = 2 + rng() % 60;
            uint64_t k = (rep % 2 ? (uint64_t{1} << bits) - 9 : rng() >> (64 - bits)) | 1;
            const uint32_t count = 1 + rng() % 40;
            for (uint32_t i = 0; i < count; ++i, k += 2 * (1 + rng() % 3)) ks[i] = k;
            // Plant a known divisor of the same n, when there is one.
            for (const auto& c : kKnown)
                if (c.n == n) ks[rng() % count] = c.k;
            TestCandidates(ks, count, n, ms, scratch);
            for (uint32_t i = 0; i < count; ++i)
                ASSERT_EQ(ms[i], Reference(ks[i], n)) << ks[i] << "*2^" << n << "+1 in a batch of " << count;
        }
    }
}

// Published divisors that the narrow eight-lane kernel takes, each at several places of a batch
// of 32 neighbours (four batches of eight side by side): the first and last lane of each, so
// that a find in any batch and lane is reported, with the right m, and for no neighbour.
TEST_P(Kernel, KnownDivisorsInEveryPlaceOfABatch) {
    KernelScratch scratch;
    uint64_t ks[32];
    uint32_t ms[32];
    int tested = 0;
    for (const auto& c : kKnown) {
        if (c.m == 0 || (c.n + Log2Floor(c.k) + 3 + 51) / 52 > ifma::kMaxLimbs) continue;
        for (uint32_t at : {0u, 7u, 8u, 15u, 16u, 23u, 24u, 31u}) {
            if (2 * uint64_t{at} >= c.k) continue;  // small k: only the places with k >= 1 below it
            for (uint32_t i = 0; i < 32; ++i) ks[i] = c.k + 2 * static_cast<uint64_t>(i) - 2 * at;
            TestCandidates(ks, 32, c.n, ms, scratch);
            for (uint32_t i = 0; i < 32; ++i)
                ASSERT_EQ(ms[i], i == at ? c.m : Reference(ks[i], c.n)) << ks[i] << "*2^" << c.n << "+1 at " << at;
            ++tested;
        }
    }
    EXPECT_GE(tested, 8 * 10);
}

// A random odd k with floor(log2 k) = bits; for 62 bits half of them just below 2^63.
uint64_t RandomK(std::mt19937_64& rng, uint32_t bits) {
    if (bits == 63) return rng() | (uint64_t{1} << 63) | 1;
    if (bits == 62 && rng() % 2) return (uint64_t{1} << 63) - 1 - 2 * (rng() % 1024);
    return (rng() >> (63 - bits)) | (uint64_t{1} << bits) | 1;
}

// Limbs of 52 bits in the eight-lane kernels: Lp + 3 <= 52 * limbs, Lp = n + floor(log2 k).
uint32_t Limbs52(uint64_t k, uint32_t n) { return (n + Log2Floor(k) + 3 + 51) / 52; }

// Batches of wide candidates at either edge of the widths (in 52-bit limbs) that matter to the
// eight-lane kernels: the last narrow one, the first and last wide ones, either side of a block
// of twelve rows of the squaring, and the first one left to the scalar path. At the top edge p
// is just below R/4, the bound of the lazy reduction; at the bottom edge the batch starts with
// k one bit shorter, as a search hands them over when k passes a power of two, so that it holds
// two widths. The bit lengths of k give 1, 2 and 3 limbs of K = k*2^(n mod 52); some batches
// hold K of two lengths in one width. Random candidates almost never divide, so these show that
// no lane reports a false hit; the wide published divisors, each in a batch of neighbours, show
// the hits (and MeetsPlantedTargetsInEveryLane below, hits at every width).
TEST_P(Kernel, WideBatchesMatchReference) {
    std::mt19937_64 rng(2024);
    KernelScratch scratch;
    uint64_t ks[16];
    uint32_t ms[16];
    // 8 to 16 random k with floor(log2 k) = bits; with shorterFirst the first half one bit less.
    auto check = [&](uint32_t n, uint32_t bits, bool shorterFirst) {
        const uint32_t count = 8 + rng() % 9;
        for (uint32_t i = 0; i < count; ++i) ks[i] = RandomK(rng, shorterFirst && i < count / 2 ? bits - 1 : bits);
        TestCandidates(ks, count, n, ms, scratch);
        for (uint32_t i = 0; i < count; ++i)
            ASSERT_EQ(ms[i], Reference(ks[i], n))
                << ks[i] << "*2^" << n << "+1 (" << Limbs52(ks[i], n) << " limbs) in a batch of " << count;
    };
    const uint32_t widths[] = {5, 6, 7, 12, 13, 20, 24, 25, 37, 48, 49, 63, 64, 65};
    const uint32_t bitLengths[] = {2, 29, 41, 51, 52, 62, 63};
    uint32_t next = 0;
    for (uint32_t w : widths) {
        for (bool top : {true, false}) {
            const uint32_t bits = bitLengths[next++ % std::size(bitLengths)];
            const uint32_t lp = top ? 52 * w - 3 : 52 * (w - 1) - 2;
            ASSERT_EQ(Limbs52(uint64_t{1} << bits, lp - bits), w);
            check(lp - bits, bits, !top);
        }
    }
    // n = 52d + s with s + bits = 52 or 104: the longer k need one limb of K more.
    for (uint32_t d : {5u, 22u, 41u}) {
        for (uint32_t bits : {30u, 60u}) {
            const uint32_t n = 52 * d + (bits < 52 ? 52 : 104) - bits;
            ASSERT_EQ(Limbs52(uint64_t{1} << (bits - 1), n), Limbs52(uint64_t{1} << bits, n));
            check(n, bits, true);
        }
    }
    for (const auto& c : kKnown) {
        if (Limbs52(c.k, c.n) <= 5) continue;
        const uint32_t count = 8 + rng() % 9, at = rng() % count;
        for (uint32_t i = 0; i < count; ++i)
            ks[i] = c.k + 2 * i >= 2 * at + 3 ? c.k + 2 * i - 2 * at : c.k + 2 * (count + i);
        ASSERT_EQ(ks[at], c.k);
        TestCandidates(ks, count, c.n, ms, scratch);
        for (uint32_t i = 0; i < count; ++i)
            EXPECT_EQ(ms[i], i == at ? c.m : Reference(ks[i], c.n)) << ks[i] << "*2^" << c.n << "+1";
    }
}

}  // namespace
}  // namespace vontal

namespace vontal {
namespace {

// v (below 2^(52 * limbs)) into limbs of 52 bits of one lane.
void ToLimbs52(const mpz_t v, uint64_t (*out)[ifma::kLanes], uint32_t limbs, uint32_t lane) {
    mpz_t t;
    mpz_init(t);
    for (uint32_t i = 0; i < limbs; ++i) {
        mpz_fdiv_q_2exp(t, v, 52 * i);
        mpz_fdiv_r_2exp(t, t, 52);
        out[i][lane] = mpz_get_ui(t);
    }
    mpz_clear(t);
}

// The wide eight-lane kernel's squarings on their own (its form that compares after every
// squaring), given start values and targets made with GMP: each lane's target is the Montgomery
// form of its residue at a chosen m (one lane keeps -1), and the kernel must meet it at exactly
// that m. Published divisors are few at these sizes (and no
// product of divisors of one F_m has k < 2^64 there), so this is what checks a hit at every
// width and in every lane; it also checks every residue on the way, since one wrong limb would
// miss the target. K = k*2^(n mod 52) reaches one, two and three limbs above n / 52 in turn.
TEST(KernelIfmaWide, MeetsPlantedTargetsInEveryLane) {
    if (!ifma::Available()) GTEST_SKIP() << "this processor has no AVX-512 IFMA";
    std::mt19937_64 rng(52);
    mpz_t p, r, x, target, value, start;
    mpz_inits(p, r, x, target, value, start, nullptr);
    auto batch = std::make_unique<ifma::WideBatch>();
    bool seen[4] = {};
    for (uint32_t w = 6; w <= ifma::kMaxWideLimbs; ++w) {
        ifma::WideBatch& b = *batch;
        // The widest lane has floor(log2 k) = top and sets the width; the others may be shorter.
        uint32_t top, n;
        bool sameLength = false;
        if (w % 3 == 0) {  // 63 bits and n mod 52 >= 41: K in three limbs
            top = 63;
            n = 52 * w - 3 - top - (39 + rng() % 11);
        } else if (w % 3 == 1) {  // every p just below R/4: residues often lie in [p, 2p)
            top = 20 + rng() % 44;
            n = 52 * w - 3 - top;
            sameLength = true;
        } else {
            top = 1 + rng() % 10;
            n = 52 * w - 3 - top - rng() % 52;
        }
        b.limbs = w;
        b.kShift = n / 52;
        b.start = 0;
        b.first = 1 + rng() % 8;
        b.last = b.first + 24;
        mpz_set_ui(r, 1);
        mpz_mul_2exp(r, r, 52 * w);  // R
        uint32_t expected[ifma::kLanes];
        for (uint32_t l = 0; l < ifma::kLanes; ++l) {
            const uint64_t k = RandomK(rng, l == 0 || sameLength ? top : 1 + rng() % top);
            mpz_import(p, 1, 1, sizeof k, 0, 0, &k);
            mpz_mul_2exp(p, p, n);
            mpz_add_ui(p, p, 1);
            const unsigned __int128 shifted = static_cast<unsigned __int128>(k) << (n % 52);
            for (uint32_t t = 0; t < 3; ++t) b.k[t][l] = static_cast<uint64_t>(shifted >> (52 * t)) & ((1ull << 52) - 1);
            // Start: 2 = 2^(2^0) in Montgomery form. Lane 6 starts at 3 in Montgomery form
            // (3 / R mod p): its first square's column 1 is 0 with a carry of 1 coming in, which
            // the squaring's fast pass, taking each column's carry without the one below it,
            // gets wrong and must see and redo. Target: the residue at the planted m, or -1.
            if (l == 6) {
                mpz_set_ui(x, 3);
                mpz_invert(start, r, p);
                mpz_mul_ui(start, start, 3);
                mpz_mod(start, start, p);
            } else {
                mpz_set_ui(start, 2);
                mpz_mul(x, r, start);
                mpz_mod(x, x, p);
            }
            ToLimbs52(x, b.x, w, l);
            const uint32_t planted = b.first + rng() % (b.last - b.first + 1);
            if (l == 5) {
                mpz_sub_ui(value, p, 1);
            } else {
                mpz_set_ui(x, 1);
                mpz_mul_2exp(x, x, planted);
                mpz_powm(value, start, x, p);
            }
            mpz_mul(target, value, r);
            mpz_mod(target, target, p);
            ToLimbs52(target, b.target, w, l);
            mpz_add(target, target, p);
            ToLimbs52(target, b.target2, w, l);
            // The first m at which the residue equals the target's value.
            expected[l] = 0;
            mpz_set(x, start);
            for (uint32_t m = 0; m <= b.last; ++m) {
                if (m >= b.first && mpz_cmp(x, value) == 0) {
                    expected[l] = m;
                    break;
                }
                mpz_mul(x, x, x);
                mpz_mod(x, x, p);
            }
            if (l != 5) ASSERT_EQ(expected[l], planted);
        }
        seen[w - b.kShift] = true;
        uint32_t found[ifma::kLanes];
        ifma::RunWideChecked(b, found);
        for (uint32_t l = 0; l < ifma::kLanes; ++l)
            EXPECT_EQ(found[l], expected[l]) << "lane " << l << " of " << w << " limbs, n = " << n;
    }
    mpz_clears(p, r, x, target, value, start, nullptr);
    EXPECT_TRUE(seen[1] && seen[2] && seen[3]);
}

// The narrow eight-lane kernel at every width it has its own code for, one to four batches side
// by side: each lane's target is set by hand to the residue its chain reaches at the last m, so
// every lane must report that m. Random candidates almost never divide, so without planted
// targets a width squared the wrong way would go unnoticed wherever no known divisor sits.
TEST(IfmaKernel, MeetsPlantedTargetsAtEveryWidth) {
    if (!ifma::Available()) GTEST_SKIP() << "this processor has no AVX-512 IFMA";
    std::mt19937_64 rng(7);
    mpz_t p, r, value;
    mpz_inits(p, r, value, nullptr);
    int ran = 0;
    for (uint32_t w = 2; w <= ifma::kMaxLimbs; ++w) {
        for (uint32_t shape = 0; shape < 3; ++shape) {
            // Candidates of exactly w limbs: Lp + 3 just below 52w, halfway, or just above 52(w - 1).
            const uint32_t top = 10 + static_cast<uint32_t>(rng() % 41);  // floor(log2 k), k < 2^52
            const uint32_t lp = shape == 0 ? 52 * w - 3 : shape == 1 ? 52 * w - 29 : 52 * (w - 1) - 2;
            if (lp <= top + 1) continue;
            const uint32_t n = lp - top;
            const uint32_t vectors = 1 + static_cast<uint32_t>(rng() % ifma::kVectors);
            auto b = std::make_unique<ifma::Batch[]>(vectors);
            bool prepared = true;
            for (uint32_t v = 0; v < vectors; ++v) {
                uint64_t ks[ifma::kLanes];
                for (auto& k : ks) k = (uint64_t{1} << top) | (rng() & ((uint64_t{1} << top) - 1)) | 1;
                b[v].limbs = w;
                b[v].first = 3;
                b[v].last = 3 + static_cast<uint32_t>(rng() % 20);
                b[v].proth = n >= 52;
                prepared = prepared && ifma::Prepare(b[v], ks, n, 1);
                if (!prepared) break;
                b[v].last = b[0].last;
                mpz_set_ui(r, 0);
                mpz_setbit(r, 52 * w);  // R
                for (uint32_t l = 0; l < ifma::kLanes; ++l) {
                    mpz_set_ui(p, ks[l]);
                    mpz_mul_2exp(p, p, n);
                    mpz_add_ui(p, p, 1);
                    mpz_set_ui(value, 0);
                    mpz_setbit(value, uint64_t{1} << b[v].last);
                    mpz_mod(value, value, p);  // 2^(2^last) mod p
                    mpz_mul(value, value, r);
                    mpz_mod(value, value, p);  // in Montgomery form
                    ToLimbs52(value, b[v].target, w, l);
                    mpz_add(value, value, p);
                    ToLimbs52(value, b[v].target2, w, l);
                }
            }
            if (!prepared) continue;
            for (uint32_t v = 1; v < vectors; ++v) ASSERT_EQ(b[v].start, b[0].start);
            uint32_t found[ifma::kLanes * ifma::kVectors] = {};
            ifma::Run(b.get(), vectors, found);
            for (uint32_t i = 0; i < ifma::kLanes * vectors; ++i)
                ASSERT_EQ(found[i], b[0].last) << "lane " << i << " of " << vectors << " batches of " << w
                                               << " limbs, n = " << n;
            ++ran;
        }
    }
    mpz_clears(p, r, value, nullptr);
    EXPECT_GE(ran, 3 * static_cast<int>(ifma::kMaxLimbs - 1) - 3);
}

// VONTAL_KERNEL: a variant's name, "no-avx512" or nothing choose a variant; anything else, or a
// variant this machine cannot use, is a problem for the front ends to refuse, never another
// variant in its place.
TEST(KernelChoice, ValuesOfTheEnvironmentVariable) {
    const auto available = AvailableKernels();
    std::string withoutAvx512;
    for (const auto& name : available)
        if (name.find("avx512") == std::string::npos && withoutAvx512.empty()) withoutAvx512 = name;
    struct Row { const char* value; std::string variant; };
    std::vector<Row> rows = {{"", available.front()}, {"no-avx512", withoutAvx512}};
    for (const auto& name : available) rows.push_back({nullptr, name});
    for (const auto& row : rows) {
        const std::string value = row.value ? row.value : row.variant;
        const KernelChoice choice = ChooseKernel(value);
        EXPECT_EQ(choice.variant, row.variant) << "'" << value << "'";
        EXPECT_EQ(choice.problem, "") << "'" << value << "'";
    }
    for (const char* unknown : {"AVX512IFMA", "fastest", "portable ", "no-avx2", "no_avx512", "0"}) {
        const KernelChoice choice = ChooseKernel(unknown);
        EXPECT_EQ(choice.variant, "") << unknown;
        EXPECT_NE(choice.problem.find(std::string("VONTAL_KERNEL=") + unknown + " names no kernel"), std::string::npos)
            << choice.problem;
        EXPECT_NE(choice.problem.find("no-avx512"), std::string::npos) << choice.problem;  // the known values
    }
    if (std::find(available.begin(), available.end(), "avx512ifma") == available.end()) {
        const KernelChoice choice = ChooseKernel("avx512ifma");
        EXPECT_EQ(choice.variant, "");
        EXPECT_NE(choice.problem.find("cannot run"), std::string::npos) << choice.problem;
    }
}

// The wide kernel squares to the last m and looks only there; a lane at +1 met -1 earlier and
// its batch is run again with every m compared. Lanes set by hand to -1 (both forms) at the
// last m and a few steps before it, at widths where K takes one, two and three limbs.
TEST(KernelIfmaWide, FinalCheckSeesEveryFormOfMinusOne) {
    if (!ifma::Available()) GTEST_SKIP() << "this processor has no AVX-512 IFMA";
    struct Shape { uint64_t k; uint32_t n; };
    for (const Shape sh : {Shape{1'000'000'001, 1000}, Shape{(1ull << 62) + 1, 520}, Shape{(1ull << 44) + 1, 540},
                           Shape{7, 3000}}) {
        SCOPED_TRACE("n=" + std::to_string(sh.n));
        uint64_t ks[ifma::kLanes];
        for (uint32_t l = 0; l < ifma::kLanes; ++l) ks[l] = sh.k + 2 * l;
        const uint32_t first = FirstMTested(sh.k, sh.n);
        for (uint32_t steps : {0u, 1u, 3u}) {
            auto b = std::make_unique<ifma::WideBatch>();
            const uint32_t w = Limbs52(sh.k + 2 * (ifma::kLanes - 1), sh.n);
            ASSERT_GT(w, ifma::kMaxLimbs);
            b->limbs = w;
            b->kShift = sh.n / 52;
            b->start = first;
            b->first = first;
            b->last = first + steps;
            // Start at -1 in lanes 2 (target) and 5 (target + p), at random values in the others;
            // targets and K from GMP.
            mpz_t p, r, t, v;
            mpz_inits(p, r, t, v, nullptr);
            mpz_set_ui(r, 0);
            mpz_setbit(r, 52 * w);
            for (uint32_t l = 0; l < ifma::kLanes; ++l) {
                mpz_import(p, 1, 1, sizeof ks[l], 0, 0, &ks[l]);
                mpz_mul_2exp(p, p, sh.n);
                mpz_add_ui(p, p, 1);
                mpz_mod(t, r, p);
                mpz_sub(t, p, t);  // -1 in Montgomery form
                ToLimbs52(t, b->target, w, l);
                mpz_add(v, t, p);
                ToLimbs52(v, b->target2, w, l);
                if (l == 2) {
                    ToLimbs52(t, b->x, w, l);
                } else if (l == 5) {
                    ToLimbs52(v, b->x, w, l);
                } else {
                    mpz_set_ui(v, 3 + l);  // 3 + l in Montgomery form: far from +-1
                    mpz_mul(v, v, r);
                    mpz_mod(v, v, p);
                    ToLimbs52(v, b->x, w, l);
                }
                const unsigned __int128 shifted = static_cast<unsigned __int128>(ks[l]) << (sh.n % 52);
                for (uint32_t i = 0; i < 3; ++i) b->k[i][l] = static_cast<uint64_t>(shifted >> (52 * i)) & ((1ull << 52) - 1);
            }
            mpz_clears(p, r, t, v, nullptr);
            uint32_t found[ifma::kLanes];
            ifma::RunWide(*b, found);
            for (uint32_t l = 0; l < ifma::kLanes; ++l)
                EXPECT_EQ(found[l], l == 2 || l == 5 ? first : 0u) << "lane " << l << ", " << steps << " squarings";
        }
    }
}

// The start-up self-test passes for every variant this processor runs (a failure would take
// the variant out of service, and out of the tests above).
TEST(KernelSelfTest, EveryVariantPasses) {
    const auto failures = KernelSelfTestFailures();
    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_FALSE(AvailableKernels().empty());
}

}  // namespace
}  // namespace vontal

#include <gmp.h>

#include "KernelIfma.h"

namespace vontal {
namespace {

// The eight-lane set-up against residues computed with GMP: p, -1 and -1 + p in Montgomery form,
// the start value 2^(2^start) * R mod p and -p^-1 mod 2^52, limb by limb. Small exponents with
// large multipliers make r*2^n - q negative now and then, which the candidate test alone would
// hardly ever notice.
TEST(IfmaSetUp, MatchesExactResidues) {
    if (!ifma::Available()) GTEST_SKIP() << "no AVX-512 IFMA on this processor";
    std::mt19937_64 rng(52);
    mpz_t p, v, r, m52;
    mpz_inits(p, v, r, m52, nullptr);
    mpz_setbit(m52, 52);
    const auto limb = [&](const mpz_t x, uint32_t i) {  // 52-bit limb i of x
        mpz_tdiv_q_2exp(v, x, 52 * i);
        mpz_tdiv_r_2exp(v, v, 52);
        return mpz_get_ui(v);
    };
    int prepared = 0, batches = 0;
    for (int iter = 0; iter < 6000; ++iter) {
        const uint32_t n = iter % 3 == 0 ? 8 + static_cast<uint32_t>(rng() % 13) : 8 + static_cast<uint32_t>(rng() % 190);
        const uint32_t bits = iter % 3 == 0 ? 40 + static_cast<uint32_t>(rng() % 12) : 1 + static_cast<uint32_t>(rng() % 51);
        uint64_t ks[ifma::kLanes];
        for (auto& k : ks) k = (uint64_t{1} << (bits - 1)) | (rng() & ((uint64_t{1} << (bits - 1)) - 1)) | 1;
        const uint32_t w52 = (n + bits - 1 + 3 + 51) / 52;
        if (w52 > ifma::kMaxLimbs) continue;
        ifma::Batch b;
        b.limbs = std::max<uint32_t>(w52, 2);
        b.first = FirstMTested(ks[0], n);
        b.proth = n >= 52;
        ++batches;
        if (!ifma::Prepare(b, ks, n)) continue;
        ++prepared;
        ASSERT_LE(b.start, b.first);
        for (uint32_t l = 0; l < ifma::kLanes; ++l) {
            SCOPED_TRACE(std::to_string(ks[l]) + "*2^" + std::to_string(n) + "+1");
            mpz_set_ui(p, ks[l]);
            mpz_mul_2exp(p, p, n);
            mpz_add_ui(p, p, 1);
            mpz_set_ui(r, 0);
            mpz_setbit(r, 52 * b.limbs);
            mpz_mod(r, r, p);  // R mod p
            mpz_t target, target2, start;
            mpz_inits(target, target2, start, nullptr);
            mpz_sub(target, p, r);
            mpz_add(target2, target, p);
            mpz_mul_2exp(start, r, uint64_t{1} << b.start);
            mpz_mod(start, start, p);
            for (uint32_t i = 0; i < b.limbs; ++i) {
                ASSERT_EQ(b.p[i][l], limb(p, i)) << "p limb " << i;
                ASSERT_EQ(b.target[i][l], limb(target, i)) << "target limb " << i;
                ASSERT_EQ(b.target2[i][l], limb(target2, i)) << "target2 limb " << i;
                ASSERT_EQ(b.x[i][l], limb(start, i)) << "start limb " << i;
            }
            if (!b.proth) {  // pinv * p = -1 (mod 2^52)
                mpz_mul_ui(v, p, b.pinv[l]);
                mpz_add_ui(v, v, 1);
                mpz_tdiv_r_2exp(v, v, 52);
                ASSERT_EQ(mpz_sgn(v), 0) << "pinv";
            }
            mpz_clears(target, target2, start, nullptr);
        }
    }
    mpz_clears(p, v, r, m52, nullptr);
    // Most shapes take the vector set-up; the rest fall back to the scalar one.
    EXPECT_GT(prepared, batches * 3 / 4) << prepared << " of " << batches;
}

// The eight-lane kernel squares straight to the last m and looks only there; a lane that ends at
// +1 met -1 earlier and is run again with every m compared. Residues may end anywhere below 2p,
// so both forms of -1 must be recognised: lanes set by hand to -1 (target or target + p) at the
// last m, and one step before it.
TEST(IfmaKernel, FinalCheckSeesEveryFormOfMinusOne) {
    if (!ifma::Available()) GTEST_SKIP() << "no AVX-512 IFMA on this processor";
    // Every reduction of the narrow kernel up to five limbs: n below 52, and n / 52 = 1 to 4
    // (p = 1 + K*2^(52D)), two to five limbs; then six, seven and nine limbs.
    struct Shape { uint64_t k; uint32_t n; };
    const Shape shapes[] = {{20000000000001, 50}, {70368744177665, 9}, {1000000000001, 100}, {(1ull << 20) + 1, 130},
                            {100000000001, 200}, {(1ull << 40) + 1, 210}, {(1ull << 51) + 1, 110}, {(1ull << 30) + 1, 60},
                            {(1ull << 20) + 1, 260}, {(1ull << 30) + 1, 300}, {1000000001, 420}};
    for (const Shape sh : shapes) {
        SCOPED_TRACE("n=" + std::to_string(sh.n));
        const uint32_t w52 = (sh.n + Log2Floor(sh.k) + 3 + 51) / 52;
        for (uint32_t vectors = 1; vectors <= ifma::kVectors; ++vectors) {
            for (uint32_t steps : {0u, 1u, 3u}) {
                ifma::Batch b[ifma::kVectors];
                for (uint32_t v = 0; v < vectors; ++v) {
                    uint64_t ks[ifma::kLanes];
                    for (uint32_t l = 0; l < ifma::kLanes; ++l) ks[l] = sh.k + 2 * (ifma::kLanes * v + l);
                    b[v].limbs = std::max<uint32_t>(w52, 2);
                    b[v].first = 7;
                    b[v].proth = sh.n >= 52;
                    ASSERT_TRUE(ifma::Prepare(b[v], ks, sh.n, 0));
                    b[v].start = b[v].first;
                    b[v].last = b[v].first + steps;
                }
                // In the last batch: lane v, -1 as target; lane 7 - v, -1 as target + p; the
                // others keep their start value, and so do the other batches.
                const uint32_t v = vectors - 1, l1 = v, l2 = ifma::kLanes - 1 - v;
                for (uint32_t i = 0; i < b[v].limbs; ++i) {
                    b[v].x[i][l1] = b[v].target[i][l1];
                    b[v].x[i][l2] = b[v].target2[i][l2];
                }
                uint32_t found[ifma::kVectors * ifma::kLanes];
                ifma::Run(b, vectors, found);
                for (uint32_t l = 0; l < ifma::kLanes * vectors; ++l) {
                    const bool planted = l == ifma::kLanes * v + l1 || l == ifma::kLanes * v + l2;
                    EXPECT_EQ(found[l], planted ? b[v].first : 0u)
                        << "lane " << l << " of " << vectors << " batches, " << steps << " squarings";
                }
            }
        }
    }
}

}  // namespace
}  // namespace vontal
