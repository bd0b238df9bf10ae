// The one text form of dates and times that the program writes and reads back: "DateBegin",
// "DateEnd" and the log's end-of-exponent records all use it, whoever writes them.
#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace vontal {

// Local date and time, "YYYY-MM-DD HH:MM:SS"; the time is left out at exactly midnight.
std::string FormatDateTime(std::time_t t);
// Local date alone, "YYYY-MM-DD".
std::string FormatDate(std::time_t t);
// Reads back what FormatDateTime or FormatDate wrote (to the second); nullopt otherwise.
std::optional<std::time_t> ParseDateTime(const std::string& text);

}  // namespace vontal
