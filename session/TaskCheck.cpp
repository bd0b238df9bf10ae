// The one task check and its table of messages.
#include "session/TaskCheck.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/NumberText.h"

namespace vontal {

namespace {

// A NUL would end a message where the user reads it; it is no digit, so the texts convert alike
// with it shown as '?'.
std::string Readable(std::string text) {
    std::replace(text.begin(), text.end(), '\0', '?');
    return text;
}

// One row per problem, one column per place where the user meets it. "{n1}" and "{n2}" stand for
// the exponents, "{missing}" for the empty keys, "{position}" for the stored position. A null
// entry: passed over without a word. The stored wordings are framed by the two texts below them,
// "{why}" being the row's entry, "{keys}" the four stored texts and "{file}" the settings file.
struct Row {
    TaskProblem problem;
    const char* planner;
    const char* window;
    const char* windowStored;
    const char* commandLine;
    const char* commandLineStored;
};

constexpr const char* kWindowStored = "The task saved in {file} cannot be continued: {why}";
constexpr const char* kCommandLineStored = "the stored task ({keys}) cannot run: {why}";

constexpr Row kMessages[] = {
    {TaskProblem::ExponentsIncomplete, "Values n`s not complete filled", nullptr,
     "the task is incomplete (missing or empty: {missing})", "it needs the form \"n=A to B, k=C to D\"",
     "it is incomplete"},
    {TaskProblem::ExponentsReversed, "Attention, values nMin > nMax", nullptr, "the last exponent is below the first",
     "the last exponent is below the first", "the last exponent is below the first"},
    {TaskProblem::MultipliersIncomplete, "Values k`s not complete filled", nullptr,
     "the task is incomplete (missing or empty: {missing})", "it needs the form \"n=A to B, k=C to D\"",
     "it is incomplete"},
    {TaskProblem::MultipliersReversed, "Attention, values kMin > kMax", nullptr, "the highest k is below the lowest",
     "the highest k is below the lowest", "the highest k is below the lowest"},
    {TaskProblem::FirstExponentBelow8, nullptr, nullptr, "the first exponent {n1} is below 8",
     "the first exponent must be at least 8", "the first exponent must be at least 8"},
    {TaskProblem::LastExponentTooLarge, nullptr, "The last exponent {n2} is too large: exponents go up to 99999",
     "the last exponent {n2} is too large: exponents go up to 99999", "the last exponent must be at most 99999",
     "the last exponent must be at most 99999"},
    {TaskProblem::HighestKNotPositive, nullptr, nullptr, "the highest k must be positive",
     "the highest k must be positive", "the highest k must be positive"},
    // The position is no task text: the window has always shown its conversion message alone.
    {TaskProblem::PositionNotANumber, nullptr, nullptr, nullptr, nullptr,
     "its position KTemp '{position}' is not a valid integer value"},
};

// The template with each "{name}" replaced by its value; values are inserted as they are, never
// read for names themselves (they may hold any text a file or a user gave).
std::string Format(const std::string& pattern, const std::vector<std::pair<std::string, std::string>>& values) {
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        bool replaced = false;
        if (pattern[i] == '{') {
            for (const auto& [name, value] : values) {
                if (pattern.compare(i + 1, name.size(), name) == 0 && i + 1 + name.size() < pattern.size() &&
                    pattern[i + 1 + name.size()] == '}') {
                    out += value;
                    i += name.size() + 2;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += pattern[i++];
    }
    return out;
}

std::string MissingKeys(const TaskTexts& texts) {
    std::string missing;
    const std::pair<const char*, const std::string*> keys[] = {
        {"nTemp", &texts.nFirst}, {"nMax", &texts.nLast}, {"kMin", &texts.kLow}, {"kMax", &texts.kHigh}};
    for (const auto& [key, text] : keys) {
        if (!text->empty()) continue;
        missing += missing.empty() ? "" : ", ";
        missing += key;
    }
    return missing;
}

}  // namespace

bool TaskCheck::rangesPass() const {
    if (!conversionError.empty()) return false;
    return problem == TaskProblem::None || problem == TaskProblem::FirstExponentBelow8 ||
           problem == TaskProblem::LastExponentTooLarge || problem == TaskProblem::HighestKNotPositive;
}

SearchTask TaskCheck::Task(const TaskTexts& texts) const {
    return {nFirst, nLast, kLow, kHigh, texts.kLow, texts.kHigh};
}

TaskCheck CheckTask(const TaskTexts& texts) {
    TaskCheck check;
    try {
        check.problem = TaskProblem::ExponentsIncomplete;
        if (texts.nFirst.empty() || texts.nLast.empty()) return check;
        check.nFirst = static_cast<uint32_t>(StrToInt(Readable(texts.nFirst)));
        check.nLast = static_cast<uint32_t>(StrToInt(Readable(texts.nLast)));
        check.problem = TaskProblem::ExponentsReversed;
        if (check.nLast < check.nFirst) return check;
        check.problem = TaskProblem::MultipliersIncomplete;
        if (texts.kLow.empty() || texts.kHigh.empty()) return check;
        check.kLow = StrToK(Readable(texts.kLow));
        check.kHigh = StrToK(Readable(texts.kHigh));
        check.problem = TaskProblem::MultipliersReversed;
        if (check.kHigh < check.kLow) return check;
        if (check.nFirst < 8) check.problem = TaskProblem::FirstExponentBelow8;
        else if (check.nLast > kMaxExponent) check.problem = TaskProblem::LastExponentTooLarge;
        else if (check.kHigh < 1) check.problem = TaskProblem::HighestKNotPositive;
        else check.problem = TaskProblem::None;
    } catch (const ConversionError& e) {
        check.conversionError = e.what();
    }
    return check;
}

StoredTaskCheck CheckStoredTask(const TaskTexts& texts, const std::string& positionText) {
    StoredTaskCheck stored;
    stored.none = texts.nFirst.empty() && texts.nLast.empty() && texts.kLow.empty() && texts.kHigh.empty();
    if (stored.none) return stored;
    // A stored task with a key missing or empty is damaged: told as incomplete, whatever the
    // other keys hold.
    if (texts.nFirst.empty() || texts.nLast.empty() || texts.kLow.empty() || texts.kHigh.empty()) {
        stored.check.problem = texts.nFirst.empty() || texts.nLast.empty() ? TaskProblem::ExponentsIncomplete
                                                                           : TaskProblem::MultipliersIncomplete;
        return stored;
    }
    stored.check = CheckTask(texts);
    // A completed task leaves its first exponent one past its last.
    stored.finished = stored.check.conversionError.empty() && stored.check.problem == TaskProblem::ExponentsReversed &&
                      static_cast<int32_t>(stored.check.nLast) >= 8 && static_cast<int32_t>(stored.check.nFirst) > 0;
    if (stored.finished || !stored.check.passes()) return stored;
    if (!ParseDecimalInt64(positionText, stored.position)) {
        stored.check.problem = TaskProblem::PositionNotANumber;
        stored.check.conversionError = "'" + positionText + "' is not a valid integer value";
    }
    return stored;
}

std::string TaskProblemMessage(const TaskCheck& check, const TaskTexts& texts, Wording wording,
                               const std::string& positionText, const std::string& file) {
    if (check.passes()) return {};
    const Row* row = nullptr;
    for (const Row& r : kMessages)
        if (r.problem == check.problem) row = &r;
    if (!row) return {};
    const bool position = check.problem == TaskProblem::PositionNotANumber;
    std::vector<std::pair<std::string, std::string>> values = {
        {"n1", std::to_string(static_cast<int32_t>(check.nFirst))},
        {"n2", std::to_string(check.nLast)},
        {"missing", MissingKeys(texts)},
        {"keys", "nTemp=" + texts.nFirst + ", nMax=" + texts.nLast + ", kMin=" + texts.kLow + ", kMax=" + texts.kHigh},
        {"file", file},
        {"position", positionText},
    };
    std::string why;
    if (!check.conversionError.empty() && !(position && wording == Wording::CommandLineStored)) {
        // A text that does not convert is told in the conversion's own words; the planner shows
        // them in a box of its own and keeps its line.
        // The planner has no words for a stored position (its row leaves them out).
        if (wording == Wording::PlannerLine) return row->planner ? row->planner : std::string();
        why = check.conversionError;
    } else {
        const char* text = nullptr;
        switch (wording) {
            case Wording::PlannerLine: text = row->planner; break;
            case Wording::WindowStart: text = row->window; break;
            case Wording::WindowStored: text = row->windowStored; break;
            case Wording::CommandLine: text = row->commandLine; break;
            case Wording::CommandLineStored: text = row->commandLineStored; break;
        }
        if (!text) return {};
        why = Format(text, values);
    }
    if (wording == Wording::CommandLineStored) return Format(kCommandLineStored, {{"keys", values[3].second}, {"why", why}});
    // The window has always shown a stored position that is no number in the conversion's words alone.
    if (wording == Wording::WindowStored && !position) return Format(kWindowStored, {{"file", file}, {"why", why}});
    return why;
}

}  // namespace vontal
