// The task keys of the settings file.
#include "settings/TaskFile.h"

#include <utility>
#include <vector>

#include "engine/DateTimeText.h"

namespace vontal {

namespace {

std::vector<std::pair<std::string, std::string>> PositionKeys(const TaskTexts& task, int64_t kPosition) {
    return {{"nTemp", task.nFirst}, {"nMax", task.nLast}, {"kMin", task.kLow}, {"kMax", task.kHigh},
            {"KTemp", std::to_string(kPosition)}};
}

}  // namespace

// Each in one replacement of the file: the exponent and the k to resume it at are read
// together, so they must never be found half saved (the next exponent with the last one's k
// would skip every candidate below that k).
void WritePosition(ISettings& ini, const TaskTexts& task, int64_t kPosition) {
    ini.WriteStrings(kTaskSection, PositionKeys(task, kPosition));
}

TaskTexts ReadTaskTexts(ISettings& ini) {
    return {ini.ReadString(kTaskSection, "nTemp", ""), ini.ReadString(kTaskSection, "nMax", ""),
            ini.ReadString(kTaskSection, "kMin", ""), ini.ReadString(kTaskSection, "kMax", "")};
}

std::string ReadPositionText(ISettings& ini) { return ini.ReadString(kTaskSection, "KTemp", "0"); }

void BeginNewTask(ISettings& ini, const TaskTexts& task, std::time_t now) {
    auto keys = PositionKeys(task, 0);
    keys.insert(keys.begin(), {{"nMin", task.nFirst}, {"DateBegin", FormatDateTime(now)}});
    ini.WriteStrings(kTaskSection, keys);
}

}  // namespace vontal
