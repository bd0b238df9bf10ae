// Result and log records.
#include "Records.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace vontal {

std::string ModelRecord(uint32_t cpuFamily, uint32_t cpuMHz) {
    return "Model " + std::to_string(cpuFamily) + "  " + std::to_string(cpuMHz) + "MHz";
}

std::string HeaderRecord(uint32_t n, const std::string& kMinText) {
    return "\r\nn=" + std::to_string(n) + "  k from " + kMinText;
}

std::string FoundRecord(uint32_t m, int64_t k, uint32_t n) {
    const std::string ms = std::to_string(m), ks = std::to_string(k), ns = std::to_string(n);
    return "\r\nfound m=" + ms + ",  k=" + ks + ",  n=" + ns + "\r\n" + ks + ".2^" + ns +
           "+1 divides F_" + ms + "\r\n";
}

std::string EndRecord(const std::string& kMaxText, const std::string& codo,
                      const std::string& dateTime) {
    return " up to " + kMaxText + ", CODO=" + codo + ", Date/Time:" + dateTime;
}

void AppendToFile(const std::filesystem::path& file, const std::string& text, bool syncToDisk) {
    auto fail = [&](int err) {
        throw RecordError("Unable to write to " + file.string() + ": " + std::strerror(err));
    };
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) fail(errno);
    struct stat before {};
    const bool sized = ::fstat(fd, &before) == 0;
    // Gives up the record: cuts the file back to its length before it, closes, throws.
    auto abandon = [&](int err) {
        if (sized) (void)::ftruncate(fd, before.st_size);
        ::close(fd);
        fail(err);
    };
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            abandon(errno);
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    if (syncToDisk && ::fsync(fd) != 0) abandon(errno);
    if (::close(fd) != 0) fail(errno);
}

void AppendToLog(const std::filesystem::path& dir, const std::string& text, uint32_t cpuFamily,
                 uint32_t cpuMHz) {
    const auto log = dir / kLogFileName;
    std::error_code ec;
    if (!std::filesystem::exists(log, ec)) AppendToFile(log, ModelRecord(cpuFamily, cpuMHz), false);
    AppendToFile(log, text, false);
}

namespace {

// The log's last 64 KiB: a run that ended before its position was saved wrote only a few records
// there. Empty when there is no log.
std::string LogTail(const std::filesystem::path& dir) {
    const int fd = ::open((dir / kLogFileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string tail(64 * 1024, '\0');
    struct stat st {};
    const bool sized = ::fstat(fd, &st) == 0;
    const off_t from = sized && st.st_size > static_cast<off_t>(tail.size()) ? st.st_size - static_cast<off_t>(tail.size()) : 0;
    const ssize_t got = sized ? ::pread(fd, tail.data(), tail.size(), from) : -1;
    ::close(fd);
    tail.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return tail;
}

std::string HeaderStart(uint32_t n) { return "\r\nn=" + std::to_string(n) + "  k from "; }

}  // namespace

bool LogShowsExponentClosed(const std::filesystem::path& dir, uint32_t n, const std::string& endRecord) {
    const std::string tail = LogTail(dir);
    const size_t end = tail.rfind(endRecord);
    if (end == std::string::npos) return false;
    const size_t header = tail.rfind(HeaderStart(n));
    return header == std::string::npos || header < end;
}

bool LogShowsExponentClosedSince(const std::filesystem::path& dir, uint32_t n, const std::string& endRecord,
                                 uint32_t since) {
    const std::string tail = LogTail(dir);
    const size_t sinceHeader = tail.rfind(HeaderStart(since));
    const size_t header = tail.rfind(HeaderStart(n));
    if (sinceHeader == std::string::npos || header == std::string::npos || header < sinceHeader) return false;
    const size_t end = tail.rfind(endRecord);
    return end != std::string::npos && end > header;
}

std::vector<std::string> LogEndRecordDates(const std::filesystem::path& dir, uint32_t n, const std::string& endRecord) {
    std::ifstream in(dir / kLogFileName, std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string log = whole.str();
    const std::string header = "\r\nn=" + std::to_string(n) + "  k from ";
    // The check value in the end record names the exponent and the task; a header of n before
    // it tells it from a stray text.
    const size_t firstHeader = log.find(header);
    std::vector<std::string> dates;
    for (size_t end = log.find(endRecord); end != std::string::npos; end = log.find(endRecord, end + 1)) {
        if (firstHeader == std::string::npos || firstHeader > end) continue;
        const size_t date = end + endRecord.size();
        dates.push_back(log.substr(date, log.find('\r', date) - date));
    }
    return dates;
}

std::string FormatThousands(int64_t value, char separator) {
    std::string digits = std::to_string(value);
    const size_t start = digits[0] == '-' ? 1 : 0;
    for (size_t i = digits.size(); i > start + 3; i -= 3) digits.insert(i - 3, 1, separator);
    return digits;
}

}  // namespace vontal
