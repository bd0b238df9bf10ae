// Saving and beginning tasks in the settings file.
#include "settings/TaskFile.h"

#include "engine/DateTimeText.h"
#include "engine/NumberText.h"

#include <algorithm>
#include <utility>

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

std::string StoredTaskProblem(const BoxTexts& task) {
    std::string missing;
    const std::pair<const char*, const std::string*> keys[] = {
        {"nTemp", &task.nMin}, {"nMax", &task.nMax}, {"kMin", &task.kMin}, {"kMax", &task.kMax}};
    int absent = 0;
    for (const auto& [key, text] : keys) {
        if (!text->empty()) continue;
        missing += missing.empty() ? "" : ", ";
        missing += key;
        ++absent;
    }
    if (absent == 4) return {};
    if (absent > 0) return "the task is incomplete (missing or empty: " + missing + ")";
    // A NUL would end the conversion's message where the user reads it; it is no digit, so the
    // texts convert alike with it shown as '?'.
    auto readable = [](std::string text) {
        std::replace(text.begin(), text.end(), '\0', '?');
        return text;
    };
    try {
        const int32_t nFirst = StrToInt(readable(task.nMin)), nLast = StrToInt(readable(task.nMax));
        const int64_t kLow = StrToK(readable(task.kMin)), kHigh = StrToK(readable(task.kMax));
        if (nFirst > nLast && nLast >= 8) return {};
        if (nFirst < 8) return "the first exponent " + std::to_string(nFirst) + " is below 8";
        if (nLast < nFirst) return "the last exponent is below the first";
        if (kHigh < kLow) return "the highest k is below the lowest";
    } catch (const ConversionError& e) {
        return e.what();
    }
    return {};
}

}  // namespace vontal
