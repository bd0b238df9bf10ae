// The figures of the status display.
#include "gui/StatusText.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vontal {

int64_t RatePerSecond(int64_t kNow, int64_t kStart, uint32_t elapsedMs) {
    if (kNow <= kStart) return 0;
    const long double passed = static_cast<long double>(kNow) - static_cast<long double>(kStart);
    const uint32_t ms = elapsedMs == 0 ? 1 : elapsedMs;
    return static_cast<int64_t>(passed * 1000.0L / ms);
}

std::string RoundedPower(int64_t value) {
    if (value < 10) return std::to_string(value < 0 ? 0 : value);
    // One significant digit in scientific form, e.g. "3e+10"; printf rounds 9.6e10 up to 1e+11.
    char text[32];
    std::snprintf(text, sizeof text, "%.0e", static_cast<double>(value));
    const char* e = std::strchr(text, 'e');
    if (!e) return text;
    const int exponent = std::atoi(e + 1);
    return std::string(text, static_cast<size_t>(e - text)) + ".10^" + std::to_string(exponent);
}

int64_t UsedArraysBytes(uint32_t limbCount, uint32_t primeCount, uint32_t sieveSize) {
    return 16 * static_cast<int64_t>(limbCount) + 5 * static_cast<int64_t>(primeCount) +
           sieveSize / 8 + 100;
}

std::optional<std::time_t> EndDate(std::time_t now, double secondsLeft) {
    if (!(secondsLeft >= 0)) return std::nullopt;
    // 9999-12-31 is about 2.9 million days after 1970; beyond it a date means nothing.
    const long double end = static_cast<long double>(now) + secondsLeft;
    if (!std::isfinite(end) || end > 253402214400.0L) return std::nullopt;
    return static_cast<std::time_t>(end);
}

}  // namespace vontal
