// The follow-on task queue: keys "Task 1" to "Task 10" of section "Following tasks", each a line
// such as "n=50 to 50, k=20e12 to 30e12".
#pragma once

#include "settings/Settings.h"

#include <optional>
#include <string>

namespace vontal {

inline constexpr const char* kFollowingTasksSection = "Following tasks";
inline constexpr int kFollowingTaskCount = 10;

// The four texts of a task as typed into the task boxes or a follow-on line: the first and the
// last exponent, the lowest and the highest multiplier. In the settings file they are the keys
// "nTemp" (the exponent to resume at), "nMax", "kMin" and "kMax".
struct TaskTexts {
    std::string nFirst, nLast, kLow, kHigh;
    bool operator==(const TaskTexts&) const = default;
};

// Cuts a follow-on line into its four fields by position, without checking them (the start of
// the task checks them as it checks typed values). Anything after a comma behind the highest k is
// ignored. A line of another shape yields whatever falls at those positions, possibly empty
// fields; it never fails.
TaskTexts ParseFollowingTaskLine(const std::string& line);

// "n=" nFirst " to " nLast ", k=" kLow " to " kHigh.
std::string FormatFollowingTaskLine(const TaskTexts& task);

// The first non-empty entry of "Task 1" to "Task 10", parsed; its key is then written back
// empty (not removed, and the later entries are not renumbered). Nothing, and no change to the
// file, when all ten are empty or missing.
std::optional<TaskTexts> TakeNextFollowingTask(ISettings& settings);

}  // namespace vontal
