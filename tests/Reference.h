// A slow, exact reference for the candidate test and the sieve, built on GMP.
#pragma once

#include <cstdint>

namespace vontal::reference {

// The m in [first, last] with 2^(2^m) = -1 (mod k*2^n + 1), or 0: the same question the fast
// kernel answers, asked of GMP.
uint32_t TestCandidate(uint64_t k, uint32_t n, uint32_t first, uint32_t last);

// Whether the odd prime q divides k*2^n + 1.
bool Divides(uint64_t q, uint64_t k, uint32_t n);

}  // namespace vontal::reference
