// Saving and beginning tasks in the settings file.
#include "control/TaskFile.h"

#include "engine/DateTimeText.h"

namespace vontal {

void WriteINI(ISettings& ini, const BoxTexts& boxes, int64_t kTemp) {
    ini.WriteString("f", "nTemp", boxes.nMin);
    ini.WriteString("f", "nMax", boxes.nMax);
    ini.WriteString("f", "kMin", boxes.kMin);
    ini.WriteString("f", "kMax", boxes.kMax);
    ini.WriteString("f", "KTemp", std::to_string(kTemp));
}

BoxTexts ReadTaskBoxes(ISettings& ini) {
    return {ini.ReadString("f", "nTemp", ""), ini.ReadString("f", "nMax", ""),
            ini.ReadString("f", "kMin", ""), ini.ReadString("f", "kMax", "")};
}

void BeginNewTask(ISettings& ini, const BoxTexts& boxes, std::time_t now) {
    ini.WriteString("f", "nMin", boxes.nMin);
    ini.WriteString("f", "DateBegin", FormatDateTime(now));
    WriteINI(ini, boxes, 0);
}

}  // namespace vontal
