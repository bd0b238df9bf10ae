// Conversion of the task texts. The multiplier reader works on the decimal digits themselves, so
// every integer below 2^63 converts exactly whatever the machine's floating-point types are.
#include "engine/NumberText.h"

#include <cstddef>
#include <limits>

namespace vontal {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The text between leading and trailing blanks, as [begin, end) indices.
void TrimBlanks(const std::string& text, size_t& begin, size_t& end) {
    begin = 0;
    end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
}

ConversionError NotAnInteger(const std::string& text) {
    return ConversionError("'" + text + "' is not a valid integer value");
}

ConversionError NotAFloat(const std::string& text) {
    return ConversionError("'" + text + "' is not a valid floating point value");
}

constexpr uint64_t kTwoPow63 = uint64_t{1} << 63;

}  // namespace

int32_t StrToInt(const std::string& text) {
    size_t i, end;
    TrimBlanks(text, i, end);
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i < end && text[i] == '$') {
        base = 16;
        ++i;
    } else if (end - i >= 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == end) throw NotAnInteger(text);
    // The magnitude may reach 2^31 only for a negative value; anything beyond is refused before
    // it can overflow the accumulator.
    const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
    uint64_t magnitude = 0;
    for (; i < end; ++i) {
        const int digit = base == 16 ? HexDigitValue(text[i]) : (IsDigit(text[i]) ? text[i] - '0' : -1);
        if (digit < 0) throw NotAnInteger(text);
        magnitude = magnitude * base + static_cast<unsigned>(digit);
        if (magnitude > limit) throw NotAnInteger(text);
    }
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                    : static_cast<int32_t>(magnitude);
}

int64_t StrToK(const std::string& text) {
    size_t i, end;
    TrimBlanks(text, i, end);
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }

    // Significant digits of the mantissa (leading zeros dropped) and how many of them came
    // after the decimal point.
    std::string digits;
    int64_t fractionDigits = 0;
    bool sawDigit = false;
    for (; i < end && IsDigit(text[i]); ++i) {
        sawDigit = true;
        if (!digits.empty() || text[i] != '0') digits += text[i];
    }
    if (i < end && text[i] == '.') {
        for (++i; i < end && IsDigit(text[i]); ++i) {
            sawDigit = true;
            ++fractionDigits;  // a dropped leading zero after the point still scales what follows
            if (!digits.empty() || text[i] != '0') digits += text[i];
        }
    }
    if (!sawDigit) throw NotAFloat(text);

    // The exponent saturates: past a billion the answer (0 or out of range) no longer changes,
    // and the saturation keeps "1e999999999999" from overflowing the arithmetic below.
    constexpr int64_t kExponentCap = 1'000'000'000;
    int64_t exponent = 0;
    if (i < end && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < end && (text[i] == '+' || text[i] == '-')) {
            negativeExponent = text[i] == '-';
            ++i;
        }
        for (; i < end && IsDigit(text[i]); ++i) {
            if (exponent < kExponentCap) exponent = exponent * 10 + (text[i] - '0');
        }
        if (exponent > kExponentCap) exponent = kExponentCap;
        if (negativeExponent) exponent = -exponent;
    }
    if (i != end) throw NotAFloat(text);

    if (digits.empty()) return 0;  // zero, whatever the exponent

    // value = digits * 10^(exponent - fractionDigits); the integer part has integerDigits digits.
    const int64_t integerDigits =
        static_cast<int64_t>(digits.size()) - fractionDigits + exponent;
    if (integerDigits <= 0) return 0;  // below 1 in magnitude: truncates to 0
    // 20 or more digits is at least 10^19 > 2^63.
    if (integerDigits > 19) throw ConversionError("Invalid floating point operation");

    uint64_t magnitude = 0;  // at most 19 digits: below 10^19 < 2^64, no overflow
    for (int64_t d = 0; d < integerDigits; ++d) {
        const size_t index = static_cast<size_t>(d);
        magnitude = magnitude * 10 + (index < digits.size() ? static_cast<unsigned>(digits[index] - '0') : 0u);
    }
    // Truncation toward zero must land in the signed 64-bit range.
    if (negative ? magnitude > kTwoPow63 : magnitude >= kTwoPow63)
        throw ConversionError("Invalid floating point operation");
    if (negative) return magnitude == kTwoPow63 ? std::numeric_limits<int64_t>::min()
                                                : -static_cast<int64_t>(magnitude);
    return static_cast<int64_t>(magnitude);
}

bool ParseDecimalInt64(const std::string& text, int64_t& value) {
    size_t i, end;
    TrimBlanks(text, i, end);
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == end) return false;
    const uint64_t limit = negative ? kTwoPow63 : kTwoPow63 - 1;
    uint64_t magnitude = 0;
    for (; i < end; ++i) {
        if (!IsDigit(text[i])) return false;
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (magnitude > (limit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    if (negative) value = magnitude == kTwoPow63 ? std::numeric_limits<int64_t>::min()
                                                 : -static_cast<int64_t>(magnitude);
    else value = static_cast<int64_t>(magnitude);
    return true;
}

}  // namespace vontal
