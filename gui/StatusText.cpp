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

namespace {

// Sum of j^2 for j = a .. b (0 when b < a), in closed form so that a huge nLast costs nothing.
long double SumOfSquares(long double a, long double b) {
    if (b < a) return 0;
    auto s = [](long double x) { return x * (x + 1) * (2 * x + 1) / 6; };
    return s(b) - s(a - 1);
}

}  // namespace

std::optional<std::time_t> EstimateEnd(const EndEstimateInput& in) {
    if (in.n == 0) return std::nullopt;
    const long double n = in.n;
    const long double span = static_cast<long double>(in.kHigh) - static_cast<long double>(in.kLow);
    // Weight of the exponents j = a..b together, in units of one k at exponent n.
    auto weight = [&](long double a, long double b) { return SumOfSquares(a, b) / (n * n) * span; };

    long double rest = static_cast<long double>(in.kHigh) - static_cast<long double>(in.kPosition);
    if (rest < 0) rest = 0;
    rest += weight(n + 1, in.nLast);

    std::optional<long double> days;
    if (in.dateBegin && in.kPosition != in.kLow && *in.dateBegin <= in.now) {
        const long double first = in.nFirst == 0 ? n : in.nFirst;
        const long double done = (static_cast<long double>(in.kPosition) - in.kLow) + weight(first, n - 1);
        // Work done of zero or less (k lowered below kLow before a Continue) says nothing about
        // speed; the measured or model speed below is used instead.
        if (done > 0) days = (in.now - *in.dateBegin) / 86400.0L * rest / done;
    }
    if (!days) {
        if (in.kPerDay > 0)
            days = rest / in.kPerDay;
        else if (in.cpuMHz > 0)
            days = rest * n * n / 1.4e11L / in.cpuMHz;
        else
            return std::nullopt;
    }
    // 9999-12-31 is about 2.9 million days after 1970; beyond it a date means nothing.
    const long double end = in.now + *days * 86400.0L;
    if (!std::isfinite(end) || end > 253402214400.0L) return std::nullopt;
    return static_cast<std::time_t>(end);
}

}  // namespace vontal
