// Follow-on task lines and the queue in the settings file.
#include "settings/FollowingTasks.h"

namespace vontal {

namespace {

// Position (from 1) of the first occurrence of `what` in `text`, 0 when absent.
long Pos(const std::string& what, const std::string& text) {
    const size_t found = text.find(what);
    return found == std::string::npos ? 0 : static_cast<long>(found) + 1;
}

// Up to `count` characters of `text` from position `index` (counted from 1): fewer when the
// text ends sooner, none for a count of 0 or less or a start beyond the end; a start before
// the first character counts from the first character.
std::string Copy(const std::string& text, long index, long count) {
    if (index < 1) index = 1;
    const size_t start = static_cast<size_t>(index - 1);
    if (count <= 0 || start >= text.size()) return {};
    return text.substr(start, static_cast<size_t>(count));
}

}  // namespace

TaskTexts ParseFollowingTaskLine(const std::string& line) {
    TaskTexts task;
    std::string s = line;

    // "n=50 to 50, k=20e12 to 30e12": the first exponent lies between "=" and the blank before "to".
    const long equals = Pos("=", s);
    const long to = Pos("to", s);
    task.nFirst = Copy(s, equals + 1, to - equals - 2);

    s = Copy(s, to + 2, 100);  // " 50, k=20e12 to 30e12"
    task.nLast = Copy(s, 2, Pos(",", s) - 2);

    s = Copy(s, Pos("=", s) + 1, 100);  // "20e12 to 30e12"
    const long kTo = Pos("to", s);
    task.kLow = Copy(s, 1, kTo - 2);

    s = Copy(s, kTo + 3, 100);  // "30e12", possibly followed by ", Days ..."
    const long comma = Pos(",", s);
    task.kHigh = comma > 0 ? Copy(s, 1, comma - 1) : s;
    return task;
}

std::string FormatFollowingTaskLine(const TaskTexts& task) {
    return "n=" + task.nFirst + " to " + task.nLast + ", k=" + task.kLow + " to " + task.kHigh;
}

std::optional<TaskTexts> TakeNextFollowingTask(ISettings& settings) {
    for (int i = 1; i <= kFollowingTaskCount; ++i) {
        const std::string key = "Task " + std::to_string(i);
        const std::string line = settings.ReadString(kFollowingTasksSection, key, "");
        if (line.empty()) continue;
        TaskTexts task = ParseFollowingTaskLine(line);
        // Consumed whether or not the task proves valid when it starts.
        settings.WriteString(kFollowingTasksSection, key, "");
        return task;
    }
    return std::nullopt;
}

}  // namespace vontal
