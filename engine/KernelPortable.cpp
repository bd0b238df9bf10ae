// The scalar kernel compiled for any x86-64 (or other 64-bit) processor: the variant that
// always exists, and that VONTAL_KERNEL=portable forces.
#include "KernelScalar.h"
#include "KernelVariants.h"

namespace vontal {

void TestCandidatesPortable(const uint64_t* ks, uint32_t count, uint32_t n, uint32_t* ms, KernelScratch& scratch) {
    TestCandidatesScalar<true>(ks, count, n, ms, scratch);
}

}  // namespace vontal
