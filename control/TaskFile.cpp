// Saving and beginning tasks in the settings file.
#include "control/TaskFile.h"

#include "engine/DateTimeText.h"

namespace vontal {

namespace {

std::vector<std::pair<std::string, std::string>> PositionKeys(const BoxTexts& boxes, int64_t kTemp) {
    return {{"nTemp", boxes.nMin}, {"nMax", boxes.nMax}, {"kMin", boxes.kMin}, {"kMax", boxes.kMax},
            {"KTemp", std::to_string(kTemp)}};
}

}  // namespace

// Each in one replacement of the file: the exponent and the k to resume it at are read
// together, so they must never be found half saved (the next exponent with the last one's k
// would skip every candidate below that k).
void WriteINI(ISettings& ini, const BoxTexts& boxes, int64_t kTemp) {
    ini.WriteStrings("f", PositionKeys(boxes, kTemp));
}

BoxTexts ReadTaskBoxes(ISettings& ini) {
    return {ini.ReadString("f", "nTemp", ""), ini.ReadString("f", "nMax", ""),
            ini.ReadString("f", "kMin", ""), ini.ReadString("f", "kMax", "")};
}

void BeginNewTask(ISettings& ini, const BoxTexts& boxes, std::time_t now) {
    auto keys = PositionKeys(boxes, 0);
    keys.insert(keys.begin(), {{"nMin", boxes.nMin}, {"DateBegin", FormatDateTime(now)}});
    ini.WriteStrings("f", keys);
}

}  // namespace vontal
