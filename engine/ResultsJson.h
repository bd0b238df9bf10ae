// "results.jsonl": the divisors and finished exponents again, one JSON object per line, for
// programs that collect results from many machines.
//
// It follows the records' rules: a line is appended whole with one write in append mode (a line
// that a full disk cut short is cut off again); a divisor's line is synced to disk like its
// record in "Result.txt". Multipliers, counts and the divisor are JSON strings of decimal digits,
// since many JSON readers keep numbers as doubles, exact only up to 2^53; n and m are numbers.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vontal {

inline constexpr const char* kResultsJsonFileName = "results.jsonl";

// What every line names besides its numbers: the program's version and the kernel variant.
struct ResultsOrigin {
    std::string version;
    std::string kernel;
};

// {"type":"divisor","m":12,"k":"7","n":14,"divisor":"114689","time":"…Z",…} and a line end.
std::string DivisorLine(uint32_t m, int64_t k, uint32_t n, std::time_t when, const ResultsOrigin& origin);

// What closes an exponent: the task's k range as searched (kFrom odd, at least 3), its check
// value, and how many candidates the run that finished it tested from `testedFrom` on (a
// resumed exponent counts from where it resumed). Unknown (null) when the line is written for
// an exponent whose run ended before it could write it.
struct ExponentSummary {
    uint32_t n = 0;
    int64_t kFrom = 0, kTo = 0;
    std::string checkValue;
    std::optional<uint64_t> tested;
    std::optional<int64_t> testedFrom;
};
std::string ExponentLine(const ExponentSummary& summary, std::time_t when, const ResultsOrigin& origin);

// k·2^n + 1 in decimal digits.
std::string DivisorDecimal(int64_t k, uint32_t n);
// 2026-12-11T01:31:12Z
std::string UtcTimeText(std::time_t when);

// Appends one whole line to "results.jsonl" in dir. Throws RecordError like every record.
void AppendResultsLine(const std::filesystem::path& dir, const std::string& line, bool syncToDisk);

// Cuts a last line that has no line end (a write cut short by a power failure) off
// "results.jsonl" in dir, so that the next line is not glued to it; true when it cut. A missing
// file is left missing. Throws RecordError when the file cannot be read or cut.
bool RepairResultsFile(const std::filesystem::path& dir);

// How many lines of "results.jsonl" in dir close this exponent with this k range and check value.
size_t CountExponentLines(const std::filesystem::path& dir, const ExponentSummary& summary);

}  // namespace vontal
