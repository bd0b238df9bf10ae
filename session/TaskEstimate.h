// The planner's task check and run-time estimate: what is wrong with a typed task, or roughly how
// many days it takes on a processor of a given clock rate. Plain C++, no Qt.
#pragma once

#include <cstdint>
#include <string>

#include "settings/FollowingTasks.h"

namespace vontal {

// The outcome of the task check, in the order its steps are made.
enum class TaskCheckState : int {
    Passes = 0,
    ExponentsIncomplete = 1,    // an exponent box is empty
    ExponentsReversed = 2,      // first exponent greater than last
    MultipliersIncomplete = 3,  // a k box is empty
    MultipliersReversed = 4,    // lowest k greater than highest k
};

struct TaskCheck {
    TaskCheckState state = TaskCheckState::ExponentsIncomplete;
    uint32_t nA = 0, nB = 0;  // first and last exponent
    int64_t kA = 0, kB = 0;   // lowest and highest k
    // Not empty when a box text did not convert (pasted text, a k beginning with its exponent
    // letter, a k of 2^63 or more): the conversion's message. The check stopped at the state it
    // had reached, and the values after the failing one are unset.
    std::string conversionError;

    bool passes() const { return state == TaskCheckState::Passes; }
};

// Checks the four task texts: both exponents present and in order, then both k present and in
// order. Equal ends pass. Never throws: a conversion failure is reported in conversionError.
TaskCheck CheckTask(const TaskTexts& task);

// The message of a failed check: "Values n`s not complete filled" and so on; empty for Passes.
std::string TaskCheckMessage(TaskCheckState state);

// Whole days the task takes on a processor of `mhz` MHz, truncated toward zero. Two laws, chosen
// by the first exponent alone: up to n = 50 the work is (nA + nB)(nB - nA + 1) per k against
// 1.2e13 a day at 400 MHz; from n = 51 it is (nB + 1)^3 - nA^3 against 3.37e14. Everything is
// evaluated in extended precision, so no value the boxes can hold overflows (W * K reaches
// about 1e34). `check` must have passed and `mhz` must be positive.
long double EstimateDays(const TaskCheck& check, uint32_t mhz);

// "Days ~ " and the day count in general number format (plain digits below 10^15, exponent form
// such as "1.23456789012346E15" from there on), or "Establish CPU Mhz" when the clock text gives
// no usable rate: empty, zero, or (pasted) not a positive number.
std::string EstimateText(const TaskCheck& check, const std::string& speedText);

// What the planner's message line shows for a task: the estimate when it passes, else the
// check's message.
std::string TaskCheckLine(const TaskCheck& check, const std::string& speedText);

// A whole day count as the general number format writes it.
std::string FormatDays(long double days);

}  // namespace vontal
