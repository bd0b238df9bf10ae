// The planner's run-time estimate: roughly how many days a task takes on a processor of a given
// clock rate. Plain C++, no Qt.
#pragma once

#include <cstdint>
#include <string>

#include "session/TaskCheck.h"

namespace vontal {

// Whole days the task takes on a processor of `mhz` MHz, truncated toward zero. Two laws, chosen
// by the first exponent alone: up to n = 50 the work is (nA + nB)(nB - nA + 1) per k against
// 1.2e13 a day at 400 MHz; from n = 51 it is (nB + 1)^3 - nA^3 against 3.37e14. Everything is
// evaluated in extended precision, so no value the boxes can hold overflows (W * K reaches
// about 1e34). `check.rangesPass()` and `mhz` must be positive.
long double EstimateDays(const TaskCheck& check, uint32_t mhz);

// "Days ~ " and the day count in general number format (plain digits below 10^15, exponent form
// such as "1.23456789012346E15" from there on), or "Establish CPU Mhz" when the clock text gives
// no usable rate: empty, zero, or (pasted) not a positive number.
std::string EstimateText(const TaskCheck& check, const std::string& speedText);

// What the planner's message line shows for a task: the estimate when its ranges pass, else the
// check's message.
std::string TaskCheckLine(const TaskCheck& check, const std::string& speedText);

// A whole day count as the general number format writes it.
std::string FormatDays(long double days);

}  // namespace vontal
