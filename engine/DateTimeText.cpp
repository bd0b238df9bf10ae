// One locale-independent date-time form, so that what one front end writes the other reads.
#include "DateTimeText.h"

#include <cstdio>

namespace vontal {

namespace {
std::tm LocalTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}
}  // namespace

std::string FormatDate(std::time_t t) {
    const std::tm tm = LocalTime(t);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return text;
}

std::string FormatDateTime(std::time_t t) {
    const std::tm tm = LocalTime(t);
    if (tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0) return FormatDate(t);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::optional<std::time_t> ParseDateTime(const std::string& text) {
    // Blanks around the value are dropped by the settings reader; tolerate them here too.
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return std::nullopt;
    const std::string s = text.substr(first, text.find_last_not_of(' ') - first + 1);
    std::tm tm{};
    int consumed = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &consumed) != 3 ||
        consumed != 10)
        return std::nullopt;
    if (s.size() > 10) {
        int used = 0;
        if (std::sscanf(s.c_str() + 10, " %2d:%2d:%2d%n", &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &used) != 3 ||
            static_cast<size_t>(10 + used) != s.size())
            return std::nullopt;
    }
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 60 || tm.tm_year < 1970)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return t;
}

}  // namespace vontal
