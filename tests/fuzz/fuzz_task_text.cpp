// The task texts: the k notation, exponents and follow-on lines, on any text. No crash; a k
// that converts agrees with plain integer arithmetic where the text is plain digits; a task
// written in the canonical form parses back to the same four fields.
#include <cstdint>
#include <string>

#include "settings/FollowingTasks.h"
#include "engine/NumberText.h"

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
    if (simple(parsed.nMin) && simple(parsed.nMax) && simple(parsed.kMin) && simple(parsed.kMax)) {
        if (!(vontal::ParseFollowingTaskLine(vontal::FormatFollowingTaskLine(parsed)) == parsed)) __builtin_trap();
    }
    return 0;
}
