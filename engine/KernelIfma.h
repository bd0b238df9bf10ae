// The candidate test on eight candidates at once with AVX-512 IFMA (52-bit limb products).
// Internal to the kernel: the scalar code prepares each lane's numbers, this runs the squarings
// (KernelIfmaChains.cpp for up to nine limbs, KernelIfmaWide.cpp for wider candidates; their
// set-up in KernelIfma.cpp).
#pragma once

#include <cstdint>

namespace vontal::ifma {

inline constexpr uint32_t kLanes = 8;
inline constexpr uint32_t kVectors = 4;   // batches of eight run side by side
inline constexpr uint32_t kMaxLimbs = 9;  // candidates of up to 9 * 52 - 3 = 465 bits (at ten limbs the wide kernel was faster)

// Per limb, one value per lane: limb i of lane l is at [i][l]. Numbers are in 52-bit limbs,
// residues in Montgomery form with R = 2^(52 * limbs).
struct Batch {
    uint32_t limbs = 0;           // 2 to kMaxLimbs
    uint32_t start = 0;           // the chain starts at 2^(2^start)
    uint32_t first = 0, last = 0; // the m compared
    bool proth = false;           // p = 1 (mod 2^52): the reduction factor is -t
    uint32_t kShift = 0;          // with proth, n / 52: p = 1 + K*2^(52 kShift)
    alignas(64) uint64_t p[kMaxLimbs][kLanes];
    alignas(64) uint64_t x[kMaxLimbs][kLanes];
    alignas(64) uint64_t target[kMaxLimbs][kLanes];   // -1 in Montgomery form
    alignas(64) uint64_t target2[kMaxLimbs][kLanes];  // target + p
    alignas(64) uint64_t pinv[kLanes];                // -p^-1 mod 2^52 (not used when proth)
};

// Fills p, x, target, target2, pinv, start and kShift of a batch for the multipliers ks[0..7] at
// exponent n, with limbs, first and proth already set, in vector registers: two floating-point
// divisions for all eight lanes instead of two integer divisions per lane. The start is the
// largest the lanes allow, at most maxStart. Every k must be below 2^52, and
// 2^(52 * limbs - n + 1) / k below 2^62 for the smallest k; false (nothing written) otherwise.
bool Prepare(Batch& batch, const uint64_t* ks, uint32_t n, uint32_t maxStart = ~0u);

// Whether a narrow kernel exists for this width and reduction (kShift 0 for n < 52): every width
// of 2 to kMaxLimbs limbs, with the reductions that candidates k*2^n + 1 with k < 2^64 need.
bool HasKernel(uint32_t limbs, uint32_t kShift);

// found[l] = the m at which lane l met -1, or 0.
void Run(const Batch& batch, uint32_t* found);
// The same for count (at most kVectors) batches of one shape (limbs, start, first, last, proth,
// kShift), side by side: found[8v + l] for lane l of batch v.
void Run(const Batch* batches, uint32_t count, uint32_t* found);

// Wider candidates, up to kMaxWideLimbs limbs, with the width known only at run time. Here
// n >= 52, so p = 1 + K*2^(52*kShift) with K = k*2^(n mod 52) in at most three limbs: the
// Montgomery factor of each limb is -t, and m*p = m + m*K*2^(52*kShift) costs a few products
// instead of a row of them.
inline constexpr uint32_t kMaxWideLimbs = 64;  // p < 2^(64 * 52 - 2) = R/4: up to 3326 bits

struct WideBatch {
    uint32_t limbs = 0;            // up to kMaxWideLimbs (from kMaxLimbs + 1 in the search)
    uint32_t start = 0;            // the chain starts at 2^(2^start)
    uint32_t first = 0, last = 0;  // the m compared
    uint32_t kShift = 0;           // n / 52: K takes limbs kShift to limbs - 1 of p (at most three)
    alignas(64) uint64_t k[3][kLanes];  // K = k * 2^(n mod 52); limbs past limbs - kShift are zero
    alignas(64) uint64_t x[kMaxWideLimbs][kLanes];
    alignas(64) uint64_t target[kMaxWideLimbs][kLanes];   // -1 in Montgomery form
    alignas(64) uint64_t target2[kMaxWideLimbs][kLanes];  // target + p
};

// found[l] = the m at which lane l met -1, or 0. The chains are only looked at after the last
// squaring; a lane that ends at +1 sends the batch through RunWideChecked.
void RunWide(const WideBatch& batch, uint32_t* found);
// The same, comparing with the target after every squaring from first on: found[l] = the first
// m at which lane l's residue equals its target (either form).
void RunWideChecked(const WideBatch& batch, uint32_t* found);

// Whether this processor (and the operating system) runs AVX-512 IFMA code.
bool Available();

}  // namespace vontal::ifma
