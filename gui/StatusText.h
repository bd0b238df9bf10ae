// The figures of the status display: the rates of the running display, the "Used arrays" sum
// and the end date of the task. Plain arithmetic, no Qt, so every case is tested alone.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace vontal {

// Multipliers per second over an interval of elapsedMs milliseconds, truncated. An interval of
// 0 ms counts as 1 ms (the thread may restart the interval in the same millisecond as the
// tick), and k going backwards (a new exponent began at kLow) gives 0 rather than a negative rate.
int64_t RatePerSecond(int64_t kNow, int64_t kStart, uint32_t elapsedMs);

// The daily figure as a rounded power: 25,920,000,000 -> "3.10^10". Values below 10 have no
// power of ten worth writing and are shown as the plain digit ("0" when nothing moved).
std::string RoundedPower(int64_t value);

// Bytes held by the search tables: 16 * limbCount + 5 * primeCount + sieveSize / 8 + 100.
int64_t UsedArraysBytes(uint32_t limbCount, uint32_t primeCount, uint32_t sieveSize);

// The end of a task that has `secondsLeft` to go from `now`; nullopt when that means nothing (not
// a number, or beyond the year 9999).
std::optional<std::time_t> EndDate(std::time_t now, double secondsLeft);

}  // namespace vontal
