// Saving and beginning tasks in the settings file: the steps that the window and the headless
// front end share, so that each writes exactly what the other reads.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "settings/FollowingTasks.h"
#include "settings/Settings.h"

namespace vontal {

// The four task boxes as texts: first n, last n, first k, last k.
using BoxTexts = TaskTexts;

// Saves the position: "nTemp", "nMax", "kMin", "kMax" from the boxes as they stand, then
// "KTemp" in decimal, in that order, in one write of the settings file.
void WriteINI(ISettings& ini, const BoxTexts& boxes, int64_t kTemp);

// The four task keys as stored ("nTemp" is the exponent to resume at).
BoxTexts ReadTaskBoxes(ISettings& ini);

// What beginning a new task writes before the thread starts: "nMin" from the first n box,
// "DateBegin" as now, then what WriteINI writes with KTemp 0, all in one write.
void BeginNewTask(ISettings& ini, const BoxTexts& boxes, std::time_t now);

// Why the task read from the settings file cannot be continued, in words for the user (the
// conversion's own message for text that is no number); empty when it can run, when there is
// none (all four texts empty), and when it is finished, its first exponent past its last, as a
// completed task leaves it. The checks are those of StartFactor, in its order.
std::string StoredTaskProblem(const BoxTexts& task);

}  // namespace vontal
