// The search state.
#include "SearchState.h"

namespace vontal {

uint32_t LimbCountFor(int64_t kMax, uint32_t n) {
    const uint32_t log2k = kMax > 0 ? Log2Floor(static_cast<uint64_t>(kMax)) : 0;
    return (log2k + n) / 32 + 1;
}

TSearchState::TSearchState() = default;
TSearchState::~TSearchState() = default;

std::string TSearchState::priorityName() const {
    const int i = priorityText.load(std::memory_order_relaxed);
    return i >= 0 && i < 6 ? kPriorityTexts[i] : "";
}

bool TSearchState::ResumePoint(uint32_t& n, int64_t& k) const {
    // KTemp between two reads of nTemp: if a KTemp of another exponent had been read, the
    // acquire reads would see the nTemp stored before it, and the two reads would differ.
    const uint32_t before = nTemp.load(std::memory_order_acquire);
    k = KTemp.load(std::memory_order_acquire);
    n = nTemp.load(std::memory_order_acquire);
    return n == before && n != 0 && k != 0 && k < kMax.load(std::memory_order_relaxed);
}

}  // namespace vontal
