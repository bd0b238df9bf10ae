// Saving and beginning tasks in the settings file: the steps that the window and the headless
// front end share, so that each writes exactly what the other reads.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "control/FollowingTasks.h"
#include "engine/Settings.h"

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

}  // namespace vontal
