// The scalar kernel compiled for processors with BMI2 and ADX: mulx and the two independent
// add-with-carry chains, about a sixth fewer instructions than the portable code.
#include "KernelScalar.h"
#include "KernelVariants.h"

namespace vontal {

#if defined(__x86_64__)
__attribute__((target("bmi2,adx"))) void TestCandidatesBmi2(const uint64_t* ks, uint32_t count, uint32_t n,
                                                           uint32_t* ms, KernelScratch& scratch) {
    TestCandidatesScalar<false>(ks, count, n, ms, scratch);
}
#endif

}  // namespace vontal
