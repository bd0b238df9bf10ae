// The candidate test's contract: which m are compared, and the one-candidate form. The
// arithmetic is in the variants' files (KernelPortable.cpp, KernelBmi2.cpp, KernelIfma.cpp,
// KernelIfmaWide.cpp), the choice among them in KernelVariants.cpp.
#include "Kernel.h"

#include <bit>

namespace vontal {

void KernelScratch::reserveFor(uint32_t n) {
    const size_t w = (static_cast<size_t>(n) + 63 + 3 + 63) / 64;
    const size_t need = 6 * w + 1;  // p, x, two targets, and the square of 2w + 1 limbs
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
    uint32_t m = 0;
    TestCandidates(&k, 1, n, &m, scratch);
    return m;
}

}  // namespace vontal
