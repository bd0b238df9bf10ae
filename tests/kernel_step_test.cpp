// One squaring step of the scalar kernel's three-limb reduction against GMP, on values chosen so
// that carries run through every limb: a carry out of the top limb of a reduction happens for
// about one value in 2^52 at random, too seldom for the candidate tests to meet it, but often
// enough in a long search to give a wrong residue.
#include <gtest/gtest.h>

#include <gmp.h>

#include <random>
#include <vector>

#include "KernelScalar.h"

namespace vontal {
namespace {

struct StepCase {
    u64 x[3];
};

// x^2 / 2^192 mod p, the step's result up to a multiple of p; it must also stay below 2p.
template <bool Narrow, bool ProductOfK>
void CheckStep(u64 k, uint32_t n, const u64 (&x)[3]) {
    mpz_t p, v, want, got;
    mpz_inits(p, v, want, got, nullptr);
    mpz_set_ui(p, k);
    mpz_mul_2exp(p, p, n);
    mpz_add_ui(p, p, 1);
    mpz_import(v, 3, -1, sizeof(u64), 0, 0, x);
    mpz_mul(want, v, v);
    mpz_set_ui(v, 0);
    mpz_setbit(v, 192);
    mpz_invert(v, v, p);
    mpz_mul(want, want, v);
    mpz_mod(want, want, p);
    // p's limbs above the lowest (which is 1)
    u64 limbs[3] = {};
    mpz_export(limbs, nullptr, -1, sizeof(u64), 0, 0, p);
    u64 a = x[0], b = x[1], c = x[2];
    StepThreeLimbsProth<Narrow, ProductOfK>(a, b, c, ProductOfK ? k : limbs[1], limbs[2], n - 64);
    const u64 out[3] = {a, b, c};
    mpz_import(got, 3, -1, sizeof(u64), 0, 0, out);
    mpz_mul_2exp(v, p, 1);
    EXPECT_LT(mpz_cmp(got, v), 0) << "not below 2p";
    mpz_mod(got, got, p);
    EXPECT_EQ(mpz_cmp(got, want), 0) << std::hex << x[2] << ":" << x[1] << ":" << x[0];
    mpz_clears(p, v, want, got, nullptr);
}

template <bool Narrow>
void CheckBothForms(u64 k, uint32_t n, const u64 (&x)[3]) {
    SCOPED_TRACE(std::to_string(k) + "*2^" + std::to_string(n) + "+1");
    CheckStep<Narrow, false>(k, n, x);
    CheckStep<Narrow, true>(k, n, x);
}

TEST(ThreeLimbStep, MatchesGmpWhereCarriesRunThroughEveryLimb) {
    std::mt19937_64 rng(3);
    for (uint32_t n : {65u, 80u, 100u, 117u, 127u}) {
        for (uint32_t kBits : {1u, 20u, 40u, 63u}) {
            if (n + kBits > 190) continue;
            const u64 k = kBits == 1 ? 1 : (u64{1} << (kBits - 1)) | (rng() >> (65 - kBits)) | 1;
            // p = k*2^n + 1; 2p - 1 is the largest residue the step takes.
            mpz_t p, v;
            mpz_inits(p, v, nullptr);
            mpz_set_ui(p, k);
            mpz_mul_2exp(p, p, n);
            mpz_add_ui(p, p, 1);
            std::vector<StepCase> cases;
            const auto add = [&](const mpz_t value) {  // below 2p, or skipped
                mpz_mul_2exp(v, p, 1);
                if (mpz_sgn(value) < 0 || mpz_cmp(value, v) >= 0) return;
                StepCase c{};
                mpz_export(c.x, nullptr, -1, sizeof(u64), 0, 0, value);
                cases.push_back(c);
            };
            // Values of all ones in their low limbs: their squares have limbs of all ones where
            // the reductions add into them (2^128 - 1 squared is 2^256 - 2^129 + 1).
            for (uint32_t bits : {64u, 128u, 129u, 160u, 191u}) {
                mpz_set_ui(v, 0);
                mpz_setbit(v, bits);
                mpz_sub_ui(v, v, 1);
                mpz_t value;
                mpz_init_set(value, v);
                add(value);
                mpz_clear(value);
            }
            mpz_t value;
            mpz_init(value);
            for (int i = 1; i <= 3; ++i) {  // p - i, 2p - i, p + i
                mpz_sub_ui(value, p, i), add(value);
                mpz_mul_2exp(value, p, 1), mpz_sub_ui(value, value, i), add(value);
                mpz_add_ui(value, p, i), add(value);
            }
            for (int i = 0; i < 200; ++i) {  // and random residues below 2p
                StepCase c{{rng(), rng(), rng()}};
                mpz_import(value, 3, -1, sizeof(u64), 0, 0, c.x);
                mpz_mul_2exp(v, p, 1);
                mpz_mod(value, value, v);
                add(value);
            }
            mpz_clear(value);
            const bool narrow = n + kBits - 1 <= 158;
            for (const StepCase& c : cases) {
                if (narrow) CheckBothForms<true>(k, n, c.x);
                CheckBothForms<false>(k, n, c.x);
            }
            mpz_clears(p, v, nullptr);
        }
    }
}

}  // namespace
}  // namespace vontal
