// The planner's run-time estimate.
#include "session/TaskEstimate.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/NumberText.h"

namespace vontal {

double EstimateSeconds(const TaskCheck& check, uint32_t mhz, const EstimateBasis& basis) {
    ICostSource& costs = basis.costs ? *basis.costs : MachineCosts();
    const double here = TaskSeconds(check.nFirst, check.nLast, check.kLow, check.kHigh, basis.threads, costs);
    // The same kernel on a processor of another clock: the time goes inversely with the clock.
    return basis.measuredMHz > 0 ? here * basis.measuredMHz / mhz : here;
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

std::string DurationText(double seconds) {
    if (!(seconds >= 0)) seconds = 0;
    if (seconds >= 86400) return "Days ~ " + FormatDays(std::trunc(static_cast<long double>(seconds) / 86400));
    auto count = [](double units) { return std::to_string(std::max(1LL, static_cast<long long>(units))); };
    if (seconds >= 3600) return "Hours ~ " + count(seconds / 3600);
    if (seconds >= 60) return "Minutes ~ " + count(seconds / 60);
    return "Seconds ~ " + count(seconds);
}

std::string EstimateText(const TaskCheck& check, const std::string& speedText, const EstimateBasis& basis) {
    int32_t mhz = 0;
    try {
        if (!speedText.empty()) mhz = StrToInt(speedText);
    } catch (const ConversionError&) {
        mhz = 0;  // pasted text is no clock rate either
    }
    if (mhz <= 0) return "Establish CPU Mhz";
    return DurationText(EstimateSeconds(check, static_cast<uint32_t>(mhz), basis));
}

std::string TaskCheckLine(const TaskCheck& check, const std::string& speedText, const EstimateBasis& basis) {
    return check.rangesPass() ? EstimateText(check, speedText, basis)
                              : TaskProblemMessage(check, {}, Wording::PlannerLine);
}

}  // namespace vontal
