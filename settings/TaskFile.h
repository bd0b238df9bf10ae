// The task keys of the settings file: the task in hand and the position reached, written in one
// replacement of the file, so that every front end writes exactly what the others read.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "settings/FollowingTasks.h"
#include "settings/Settings.h"

namespace vontal {

inline constexpr const char* kTaskSection = "f";

// Saves the position: "nTemp", "nMax", "kMin", "kMax" from the task texts, then "KTemp" in
// decimal, in that order, in one write of the settings file.
void WritePosition(ISettings& ini, const TaskTexts& task, int64_t kPosition);

// The four task keys as stored ("nTemp" is the exponent to resume at).
TaskTexts ReadTaskTexts(ISettings& ini);

// The stored position "KTemp" as text ("0" when missing).
std::string ReadPositionText(ISettings& ini);

// What beginning a new task writes before the search starts: "nMin" from the first exponent,
// "DateBegin" as now, then what WritePosition writes with position 0, all in one write.
void BeginNewTask(ISettings& ini, const TaskTexts& task, std::time_t now);

}  // namespace vontal
