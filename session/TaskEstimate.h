// The planner's run-time estimate: how long a task takes on this machine, from its measured
// speed, or on a processor of another clock rate with the same kernel. Plain C++, no Qt.
#pragma once

#include <cstdint>
#include <string>

#include "session/RunTime.h"
#include "session/TaskCheck.h"

namespace vontal {

// What the estimate is made with: the prices of this machine (or a test's), the clock they were
// measured at, and the cores the search uses.
struct EstimateBasis {
    ICostSource* costs = nullptr;  // null: MachineCosts()
    uint32_t measuredMHz = 0;      // 0: the clock box is taken as this machine's clock
    uint32_t threads = 1;
};

// Seconds the task takes on a processor of `mhz` MHz: this machine's modelled processor time,
// scaled by its clock over `mhz`, spread over the basis's cores. `check.rangesPass()` and `mhz`
// must be positive.
double EstimateSeconds(const TaskCheck& check, uint32_t mhz, const EstimateBasis& basis);

// A duration as the planner shows it: "Days ~ " and the whole days from one day on (in general
// number format: plain digits below 10^15, exponent form such as "1.23456789012346E15" from there
// on), below that "Hours ~ ", "Minutes ~ " or "Seconds ~ " and the whole count (at least 1).
std::string DurationText(double seconds);

// The estimate's text, or "Establish CPU Mhz" when the clock text gives no usable rate: empty,
// zero, or (pasted) not a positive number.
std::string EstimateText(const TaskCheck& check, const std::string& speedText, const EstimateBasis& basis);

// What the planner's message line shows for a task: the estimate when its ranges pass, else the
// check's message.
std::string TaskCheckLine(const TaskCheck& check, const std::string& speedText, const EstimateBasis& basis);

// A whole day count as the general number format writes it.
std::string FormatDays(long double days);

}  // namespace vontal
