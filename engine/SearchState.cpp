// The task and the position reached.
#include "SearchState.h"

#include "Kernel.h"

namespace vontal {

uint32_t LimbCountFor(int64_t kMax, uint32_t n) {
    const uint32_t log2k = kMax > 0 ? Log2Floor(static_cast<uint64_t>(kMax)) : 0;
    return (log2k + n) / 32 + 1;
}

bool SearchState::ResumePoint(uint32_t& n, int64_t& k) const {
    // k between two reads of the exponent: if a k of another exponent had been read, the acquire
    // reads would see the exponent stored before it, and the two reads would differ.
    const uint32_t before = nCurrent.load(std::memory_order_acquire);
    k = kPosition.load(std::memory_order_acquire);
    n = nCurrent.load(std::memory_order_acquire);
    return n == before && n != 0 && k != 0 && k < kHigh.load(std::memory_order_relaxed);
}

}  // namespace vontal
