// GMP reference for the tests.
#include "Reference.h"

#include <gmp.h>

namespace vontal::reference {

uint32_t TestCandidate(uint64_t k, uint32_t n, uint32_t first, uint32_t last) {
    mpz_t p, x, e, pm1;
    mpz_inits(p, x, e, pm1, nullptr);
    mpz_import(p, 1, 1, sizeof k, 0, 0, &k);
    mpz_mul_2exp(p, p, n);
    mpz_add_ui(p, p, 1);
    mpz_sub_ui(pm1, p, 1);
    mpz_set_ui(x, 2);
    mpz_setbit(e, first);  // e = 2^first
    mpz_powm(x, x, e, p);
    uint32_t found = 0;
    for (uint32_t m = first; m <= last; ++m) {
        if (mpz_cmp(x, pm1) == 0) {
            found = m;
            break;
        }
        mpz_mul(x, x, x);
        mpz_mod(x, x, p);
    }
    mpz_clears(p, x, e, pm1, nullptr);
    return found;
}

bool Divides(uint64_t q, uint64_t k, uint32_t n) {
    mpz_t p;
    mpz_init(p);
    mpz_import(p, 1, 1, sizeof k, 0, 0, &k);
    mpz_mul_2exp(p, p, n);
    mpz_add_ui(p, p, 1);
    const bool divides = mpz_divisible_ui_p(p, static_cast<unsigned long>(q)) != 0;
    mpz_clear(p);
    return divides;
}

}  // namespace vontal::reference
