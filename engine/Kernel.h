// The candidate test: does p = k*2^n + 1 divide a Fermat number F_m = 2^(2^m) + 1?
//
// p divides F_m exactly when 2^(2^m) = -1 (mod p). The test squares 2^(2^m0) modulo p and
// compares with -1 for every m from a first value m0 up to n - 2. Which m are compared is part
// of the program's observable contract (see FirstMTested); how the residues are computed is not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vontal {

// Work space of the test, sized once per exponent so that no candidate allocates.
struct KernelScratch {
    std::vector<uint64_t> limbs;
    void reserveFor(uint32_t n);  // enough for every k < 2^64 at exponent n
};

// Index of the highest set bit of k (k > 0).
inline uint32_t Log2Floor(uint64_t k) { return 63u - static_cast<uint32_t>(__builtin_clzll(k)); }

// Candidates of 43 to 94 bits (42 <= Lp <= 93, Lp = n + floor(log2 k)) take the fixed-width path,
// which compares from m = 7 on; all others compare from the first m with 2^(2^m) > 2^Lp, which is
// the number of binary digits of Lp. So, for instance, a divisor of F_6 with 42 <= Lp <= 63 is
// never reported.
uint32_t FirstMTested(uint64_t k, uint32_t n);
// n - 2; but the fixed-width path always compares m = 7 once, even for n = 8 and 9.
uint32_t LastMTested(uint64_t k, uint32_t n);

// The m for which k*2^n + 1 divides F_m, searched over [FirstMTested, LastMTested]; 0 when none.
// Requires k odd, k >= 1, n >= 1. Exact for every k < 2^64.
uint32_t TestCandidate(uint64_t k, uint32_t n, KernelScratch& scratch);

// The same for count candidates of one exponent at once: ms[i] for ks[i]. Candidates of the same
// size are run side by side, which is several times faster than one after the other.
void TestCandidates(const uint64_t* ks, uint32_t count, uint32_t n, uint32_t* ms, KernelScratch& scratch);

// Candidates p of up to this many bits (n + floor(log2 k) + 1) are worth handing over several
// at a time: the fastest variant runs them side by side. Wider ones are tested one by one.
inline constexpr uint32_t kSideBySideBits = 64 * 52 - 2;

// The arithmetic variants this processor runs, fastest first: "avx512ifma" (eight candidates per
// instruction), "bmi2" (mulx and the ADX carry chains) where the processor has them, "portable"
// always. The fastest is chosen once at start-up; SelectKernel forces one, so that the tests run
// every variant on any machine.
std::vector<std::string> AvailableKernels();
bool SelectKernel(const std::string& name);  // false when this processor cannot run it
std::string SelectedKernel();

// The environment variable VONTAL_KERNEL forces a variant by its name, or "no-avx512" the one a
// processor without AVX-512 would run. A value that names no variant, or one this machine cannot
// use, is not replaced by another: this says why, for the front ends to refuse to start (the
// engine meanwhile keeps the fastest). Empty when VONTAL_KERNEL is unset, empty or usable.
std::string KernelChoiceProblem();

// Every variant checks a few published divisors at start-up (milliseconds); one that fails is
// not used. One message per failed variant, for the front ends to show and log. The environment
// variable VONTAL_KERNEL_SELFTEST_FAIL (variant names, separated by commas) makes the named
// variants fail, so that the front ends' reports can be tested.
std::vector<std::string> KernelSelfTestFailures();

}  // namespace vontal
