// The task-text conversions: exponents as 32-bit integers, multipliers in the "35e11" notation,
// and the exact messages the user sees when a text is refused.
#include "engine/NumberText.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace vontal {
namespace {

std::string MessageOf(auto&& convert, const std::string& text) {
    try {
        convert(text);
    } catch (const ConversionError& error) {
        return error.what();
    }
    return "(no error)";
}

TEST(StrToInt, AcceptsDecimalAndHexWithinTheSigned32BitRange) {
    const struct { const char* text; int32_t value; } cases[] = {
        {"50", 50},
        {"  50  ", 50},
        {"+7", 7},
        {"-7", -7},
        {"007", 7},
        {"$1F", 31},
        {"0x1f", 31},
        {"0X7FFFFFFF", 2147483647},
        {"-$10", -16},
        {"2147483647", 2147483647},
        {"-2147483648", std::numeric_limits<int32_t>::min()},
    };
    for (const auto& c : cases) EXPECT_EQ(StrToInt(c.text), c.value) << c.text;
}

TEST(StrToInt, RefusesOtherTextWithTheOriginalTextInTheMessage) {
    for (const char* text : {"", "   ", "-", "+", "$", "0x", "5a", "5 5", "1.5", "35e1", "- 5",
                             "2147483648", "-2147483649", "0x80000000", "99999999999999999999",
                             "$G"}) {
        EXPECT_EQ(MessageOf(StrToInt, text), "'" + std::string(text) + "' is not a valid integer value")
            << text;
    }
}

TEST(StrToK, ReadsTheNumberNotationExactly) {
    const struct { const char* text; int64_t value; } cases[] = {
        {"35e11", 3'500'000'000'000},
        {"35E11", 3'500'000'000'000},
        {"3500000000000", 3'500'000'000'000},
        {"20e12", 20'000'000'000'000},
        {"1.5e3", 1500},
        {"35e", 35},      // an exponent letter without digits counts as exponent 0
        {"35e+", 35},
        {"35e-1", 3},     // truncated toward zero
        {"-35e-1", -3},
        {"0.05e2", 5},    // zeros after the point still scale the digits behind them
        {"5.", 5},
        {".5", 0},
        {"  +7  ", 7},
        {"000000000000000000000000042", 42},
        {"9223372036854775807", std::numeric_limits<int64_t>::max()},
        {"9223372036854775807.999", std::numeric_limits<int64_t>::max()},
        {"92233720368547758.07e2", std::numeric_limits<int64_t>::max()},  // needs all 63 bits
        {"9007199254740993", 9'007'199'254'740'993},  // 2^53 + 1: beyond a double's significand
        {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
        {"1e-999999999999", 0},
        {"0e99999999999", 0},
        {"0.000e999999999999", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(StrToK(c.text), c.value) << c.text;
}

TEST(StrToK, RefusesMalformedTextAndValuesOutsideTheSigned64BitRange) {
    const struct { const char* text; const char* message; } cases[] = {
        {"", "'' is not a valid floating point value"},
        {"e5", "'e5' is not a valid floating point value"},
        {".e5", "'.e5' is not a valid floating point value"},
        {"-", "'-' is not a valid floating point value"},
        {"35x", "'35x' is not a valid floating point value"},
        {"35e11x", "'35e11x' is not a valid floating point value"},
        {"3 5", "'3 5' is not a valid floating point value"},
        {"1e5e5", "'1e5e5' is not a valid floating point value"},
        {"0x10", "'0x10' is not a valid floating point value"},
        {"9223372036854775808", "Invalid floating point operation"},
        {"1e19", "Invalid floating point operation"},
        {"-9223372036854775809", "Invalid floating point operation"},
        {"922337203685477580.8e1", "Invalid floating point operation"},
        {"1e999999999999", "Invalid floating point operation"},
        {"-1e999999999999999999999", "Invalid floating point operation"},
    };
    for (const auto& c : cases) EXPECT_EQ(MessageOf(StrToK, c.text), c.message) << c.text;
}

TEST(ParseDecimalInt64, AcceptsPlainDecimalOnly) {
    const struct { const char* text; bool ok; int64_t value; } cases[] = {
        {"0", true, 0},
        {" 123456789012 ", true, 123'456'789'012},
        {"-5", true, -5},
        {"+5", true, 5},
        {"9223372036854775807", true, std::numeric_limits<int64_t>::max()},
        {"-9223372036854775808", true, std::numeric_limits<int64_t>::min()},
        {"9223372036854775808", false, 0},
        {"-9223372036854775809", false, 0},
        {"99999999999999999999", false, 0},
        {"", false, 0},
        {"-", false, 0},
        {"35e11", false, 0},
        {"0x10", false, 0},
        {"1 2", false, 0},
    };
    for (const auto& c : cases) {
        int64_t value = 77;
        EXPECT_EQ(ParseDecimalInt64(c.text, value), c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : 77) << c.text;  // left alone on refusal
    }
}

}  // namespace
}  // namespace vontal
