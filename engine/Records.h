// The texts of the result and log records and their appending to "Result.txt" and "Vontal.log".
// Every record is appended on its own: open, write, flush, close; a found divisor is also
// synced to disk, since losing it would lose the search's only product.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace vontal {

inline constexpr const char* kResultFileName = "Result.txt";
inline constexpr const char* kLogFileName = "Vontal.log";
inline constexpr const char* kSettingsFileName = "Vontal.ini";

class RecordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "Model 6  2400MHz": the first line of a new log.
std::string ModelRecord(uint32_t cpuFamily, uint32_t cpuMHz);
// CR LF + "n=50  k from 20e12": opens the line of an exponent begun afresh.
std::string HeaderRecord(uint32_t n, const std::string& kMinText);
// CR LF + "found m=12,  k=7,  n=14" + CR LF + "7.2^14+1 divides F_12" + CR LF.
std::string FoundRecord(uint32_t m, int64_t k, uint32_t n);
// " up to 30e12, CODO=BB1C9EA2C6, Date/Time:" + date and time: closes an exponent's line.
std::string EndRecord(const std::string& kMaxText, const std::string& codo,
                      const std::string& dateTime);

// Appends text to a file, creating it when missing. Throws RecordError on any failure, with
// the file's path and the system's reason; a record that was only partly written (a full disk)
// is cut off again, so that the file holds whole records only.
void AppendToFile(const std::filesystem::path& file, const std::string& text, bool syncToDisk);

// Appends to the log in dir, beginning a missing log with the model record.
void AppendToLog(const std::filesystem::path& dir, const std::string& text, uint32_t cpuFamily,
                 uint32_t cpuMHz);

// Whether the log in dir shows exponent n finished: `endRecord` (its EndRecord with an empty
// date and time; the check value in it tells the exponents of a task apart) stands after the
// last header of n among the log's last 64 KiB. A run that ends between an exponent's end record
// and the save of a position past it leaves such a log, possibly with the next exponent begun.
bool LogShowsExponentClosed(const std::filesystem::path& dir, uint32_t n, const std::string& endRecord);
// Whether the log shows exponent n begun afresh and finished after the last header of exponent
// `since` (among the log's last 64 KiB). A run continued from a position inside `since` finds
// there what a run before it searched from the same position and could not save (killed while
// the save was still under way); an earlier search of the same task stands before that header.
bool LogShowsExponentClosedSince(const std::filesystem::path& dir, uint32_t n, const std::string& endRecord,
                                 uint32_t since);

// The date and time texts of every end record of exponent n in the log in dir, in file order:
// `endRecord` (its EndRecord with an empty date and time) after a header of n.
std::vector<std::string> LogEndRecordDates(const std::filesystem::path& dir, uint32_t n, const std::string& endRecord);

// 1234567 -> "1,234,567".
std::string FormatThousands(int64_t value, char separator = ',');

}  // namespace vontal
