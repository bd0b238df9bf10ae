// The check value of a finished exponent.
#include "CheckValue.h"

#include <cstdio>
#include <cstdlib>

namespace vontal {

namespace {
constexpr uint64_t kModulus = 2'147'481'863;  // 2^31 - 1785, a prime

uint64_t Residue(int64_t v) {
    const int64_t r = v % static_cast<int64_t>(kModulus);
    return static_cast<uint64_t>(r < 0 ? r + static_cast<int64_t>(kModulus) : r);
}

// Leading integer of a text, as far as it goes ("4" of "4.4", 0 when there is none).
uint64_t LeadingInteger(const std::string& s) {
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') break;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v;
}
}  // namespace

std::string CheckValue(uint32_t nA, uint32_t nB, int64_t kLow, int64_t kHigh,
                     const std::string& versionText) {
    const uint32_t nn = nA * nB;  // wraps at 2^32 on purpose
    uint64_t a = nn % kModulus;
    a = a * Residue(kLow) % kModulus;
    a = a * Residue(kHigh) % kModulus;
    for (int i = 0; i < 4; ++i) a = a * a % kModulus;

    const auto dot = versionText.find('.');
    const uint64_t major = LeadingInteger(versionText.substr(0, dot));
    const uint64_t minor =
        dot == std::string::npos ? 0 : LeadingInteger(versionText.substr(dot + 1, 6));
    char text[16];
    std::snprintf(text, sizeof text, "%X%X%08llX", static_cast<unsigned>(~major & 15),
                  static_cast<unsigned>(~minor & 15), static_cast<unsigned long long>(a));
    return text;
}

}  // namespace vontal
