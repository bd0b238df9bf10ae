// The figures of the status display: the rates of the running display, the "Used arrays" sum
// and the estimated end of the task. Plain arithmetic, no Qt, so every case is tested alone.
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

struct EndEstimateInput {
    uint32_t n = 0;          // the exponent in hand
    uint32_t nLast = 0;
    uint32_t nFirst = 0;     // the task's first exponent ("nMin" of the settings file)
    int64_t kLow = 0, kHigh = 0, kPosition = 0;
    int64_t kPerDay = 0;     // measured speed, 0 when not measured yet
    uint32_t cpuMHz = 0;
    std::optional<std::time_t> dateBegin;  // nullopt when unknown
    std::time_t now = 0;
};

// The estimated end of the task. The work left is the rest of this exponent plus every later
// exponent j, weighted (j/n)^2 as a candidate test costs about n^2. With a known begin date and
// some work done, the time spent so far is scaled by work left over work done; otherwise the
// measured speed is used, or a model speed from the clock (1.4e11 * MHz / n^2 multipliers per
// day). nullopt when nothing sensible can be said: no exponent yet, no speed and no clock, or
// a date beyond the year 9999.
std::optional<std::time_t> EstimateEnd(const EndEstimateInput& in);

}  // namespace vontal
