// The plain GMP search as a whole program, for comparing whole runs of vontal-cli with it: the
// engine's sieve over the same exponents and k range, then for each survivor
// 2^(2^(n-1)) mod p with mpz_powm (1 exactly when p divides some F_m, m <= n - 2).
//
//   build/bin/gmp_search "n=A to B, k=C to D"
//
// Prints each divisor found ("k=..., n=...") and, on standard error, the candidates tested, the
// time and the k per second. The exponents and k are taken as vontal-cli takes them: k from the
// odd number at or above C, each exponent ending at its first survivor at or beyond D.
#include <gmp.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Sieve.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: gmp_search \"n=A to B, k=C to D\"\n");
        return 2;
    }
    unsigned nMin = 0, nMax = 0;
    double kMinD = 0, kMaxD = 0;
    if (std::sscanf(argv[1], "n=%u to %u, k=%lf to %lf", &nMin, &nMax, &kMinD, &kMaxD) != 4 || nMin < 8 ||
        nMax < nMin || kMaxD < kMinD) {
        std::fprintf(stderr, "gmp_search: bad task '%s'\n", argv[1]);
        return 2;
    }
    int64_t kMin = static_cast<int64_t>(kMinD), kMax = static_cast<int64_t>(kMaxD);
    kMin = kMin / 2 * 2 + 1;
    if (kMin < 3) kMin = 3;
    mpz_t p, r, e, two;
    mpz_inits(p, r, e, two, nullptr);
    mpz_set_ui(two, 2);
    const auto start = std::chrono::steady_clock::now();
    uint64_t candidates = 0, kSpan = 0;
    vontal::Sieve sieve;
    for (unsigned n = nMin; n <= nMax; ++n) {
        sieve.Prepare(n, static_cast<uint64_t>(kMin));
        uint64_t k = 0;
        for (;;) {
            if (sieve.NextSurvivor(k)) {
                ++candidates;
                mpz_set_ui(p, k);
                mpz_mul_2exp(p, p, n);
                mpz_add_ui(p, p, 1);
                mpz_set_ui(e, 0);
                mpz_setbit(e, n - 1);
                mpz_powm(r, two, e, p);
                if (mpz_cmp_ui(r, 1) == 0) std::printf("k=%" PRIu64 ", n=%u\n", k, n);
                if (k >= static_cast<uint64_t>(kMax)) break;
            } else if (k >= static_cast<uint64_t>(kMax)) {
                break;
            }
        }
        kSpan += k - static_cast<uint64_t>(kMin);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "gmp_search: %" PRIu64 " candidates in %.3f s, %.4g k/s\n", candidates, seconds,
                 static_cast<double>(kSpan) / seconds);
    mpz_clears(p, r, e, two, nullptr);
    return 0;
}
