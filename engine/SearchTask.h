// A task the engine searches: a range of exponents n and of multipliers k, checked before it
// gets here (see session/TaskCheck.h).
#pragma once

#include <cstdint>
#include <string>

namespace vontal {

struct SearchTask {
    uint32_t nFirst = 0, nLast = 0;  // 8 <= nFirst <= nLast <= kMaxExponent
    int64_t kLow = 0, kHigh = 0;     // kLow <= kHigh, kHigh >= 1
    // The k bounds as the user wrote them ("20e12"): the log quotes them.
    std::string kLowText, kHighText;
};

// The largest exponent searched: what the exponent boxes hold (five digits). Far larger ones
// would make the candidate test reserve gigabytes and never finish an exponent.
inline constexpr uint32_t kMaxExponent = 99'999;

}  // namespace vontal
