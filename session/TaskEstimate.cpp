// The planner's run-time estimate.
#include "session/TaskEstimate.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/NumberText.h"

namespace vontal {

long double EstimateDays(const TaskCheck& check, uint32_t mhz) {
    // A long double holds every integer below 2^64 exactly on x86-64 (64-bit significand), so
    // K = kB - kA + 1 is exact even for kA = -2^63 and kB = 2^63 - 1 (pasted signs), and the
    // cubes below 10^15 of real exponents are exact too.
    const long double nA = check.nFirst, nB = check.nLast;
    const long double K = static_cast<long double>(check.kHigh) - static_cast<long double>(check.kLow) + 1.0L;
    long double W, C;
    if (check.nFirst <= 50) {
        W = (nA + nB) * (nB - nA + 1.0L);
        C = 1.2e13L;   // first-law work a 400 MHz processor does in a day
    } else {
        W = (nB + 1.0L) * (nB + 1.0L) * (nB + 1.0L) - nA * nA * nA;
        C = 3.37e14L;  // the same for the second law
    }
    return std::trunc(W * K / C * 400.0L / static_cast<long double>(mhz));
}

std::string FormatDays(long double days) {
    if (std::fabs(days) < 1e15L) {
        char digits[32];
        std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(days));
        return digits;
    }
    // 15 significant digits, trailing zeros dropped, then "E" and the exponent without a plus
    // sign or leading zeros: 1.5e20 is "1.5E20".
    char text[64];
    std::snprintf(text, sizeof text, "%.14Le", days);
    std::string s = text;
    const size_t e = s.find('e');
    std::string mantissa = s.substr(0, e);
    const long exponent = std::strtol(s.c_str() + e + 1, nullptr, 10);
    if (mantissa.find('.') != std::string::npos) {
        while (mantissa.back() == '0') mantissa.pop_back();
        if (mantissa.back() == '.') mantissa.pop_back();
    }
    return mantissa + "E" + std::to_string(exponent);
}

std::string EstimateText(const TaskCheck& check, const std::string& speedText) {
    int32_t mhz = 0;
    try {
        if (!speedText.empty()) mhz = StrToInt(speedText);
    } catch (const ConversionError&) {
        mhz = 0;  // pasted text is no clock rate either
    }
    if (mhz <= 0) return "Establish CPU Mhz";
    return "Days ~ " + FormatDays(EstimateDays(check, static_cast<uint32_t>(mhz)));
}

std::string TaskCheckLine(const TaskCheck& check, const std::string& speedText) {
    return check.rangesPass() ? EstimateText(check, speedText) : TaskProblemMessage(check, {}, Wording::PlannerLine);
}

}  // namespace vontal
