// The task texts: the k notation, exponents and follow-on lines, on any text. No crash; a k
// that converts agrees with plain integer arithmetic where the text is plain digits; a task
// written in the canonical form parses back to the same four fields; the task check and its
// messages take any texts.
#include <cstdint>
#include <string>

#include "engine/NumberText.h"
#include "session/TaskCheck.h"
#include "settings/FollowingTasks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const int64_t k = vontal::StrToK(text);
        bool plain = !text.empty() && text.size() <= 18;
        for (char c : text) plain &= c >= '0' && c <= '9';
        if (plain && k != static_cast<int64_t>(std::stoull(text))) __builtin_trap();
    } catch (const vontal::ConversionError&) {
    }
    try {
        (void)vontal::StrToInt(text);
    } catch (const vontal::ConversionError&) {
    }
    const vontal::TaskTexts parsed = vontal::ParseFollowingTaskLine(text);
    // Fields that fit the task boxes (18 characters; the line is read in pieces of at most 100)
    // and hold no blank, comma, "=" or "to" survive a round trip through the written form.
    auto simple = [](const std::string& f) {
        return !f.empty() && f.size() <= 18 && f.find_first_of(" ,=") == std::string::npos &&
               f.find("to") == std::string::npos;
    };
    if (simple(parsed.nFirst) && simple(parsed.nLast) && simple(parsed.kLow) && simple(parsed.kHigh)) {
        if (!(vontal::ParseFollowingTaskLine(vontal::FormatFollowingTaskLine(parsed)) == parsed)) __builtin_trap();
    }
    // The task check and its messages in every wording: no crash, and a task that passes has no
    // message and lies in the searchable ranges.
    const vontal::TaskCheck check = vontal::CheckTask(parsed);
    const vontal::StoredTaskCheck stored = vontal::CheckStoredTask(parsed, text);
    for (auto wording : {vontal::Wording::PlannerLine, vontal::Wording::WindowStart, vontal::Wording::WindowStored,
                         vontal::Wording::CommandLine, vontal::Wording::CommandLineStored}) {
        const std::string message = vontal::TaskProblemMessage(check, parsed, wording, text, "F");
        if (check.passes() && !message.empty()) __builtin_trap();
        (void)vontal::TaskProblemMessage(stored.check, parsed, wording, text, "F");
    }
    if (check.passes() && (check.nFirst < 8 || check.nLast > vontal::kMaxExponent || check.nLast < check.nFirst ||
                           check.kHigh < check.kLow || check.kHigh < 1))
        __builtin_trap();
    return 0;
}
