// Conversion of the task texts: exponents as 32-bit integers and multipliers in the
// "35e11" notation, with the error messages the user sees.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vontal {

// A conversion refused; what() is the message shown to the user.
class ConversionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Decimal integer with an optional sign (or "0x"/"$" hexadecimal) and surrounding blanks, as a
// signed 32-bit value. Refusal: "'<text>' is not a valid integer value".
int32_t StrToInt(const std::string& text);

// A multiplier: "35e11" = 35 followed by 11 zeros. Read as a decimal floating-point number with
// a significand of at least 64 bits (every integer below 2^63 exact), truncated toward zero.
// Refusals: "'<text>' is not a valid floating point value"; a value of 2^63 or more (or below
// -2^63) "Invalid floating point operation".
int64_t StrToK(const std::string& text);

// Plain decimal, as "KTemp" is stored; false when the text is not one (sign allowed).
bool ParseDecimalInt64(const std::string& text, int64_t& value);

}  // namespace vontal
