// Result and log records.
#include "Records.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            fail(err);
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    if (syncToDisk && ::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        fail(err);
    }
    if (::close(fd) != 0) fail(errno);
}

void AppendToLog(const std::filesystem::path& dir, const std::string& text, uint32_t cpuFamily,
                 uint32_t cpuMHz) {
    const auto log = dir / kLogFileName;
    std::error_code ec;
    if (!std::filesystem::exists(log, ec)) AppendToFile(log, ModelRecord(cpuFamily, cpuMHz), false);
    AppendToFile(log, text, false);
}

std::string FormatThousands(int64_t value, char separator) {
    std::string digits = std::to_string(value);
    const size_t start = digits[0] == '-' ? 1 : 0;
    for (size_t i = digits.size(); i > start + 3; i -= 3) digits.insert(i - 3, 1, separator);
    return digits;
}

}  // namespace vontal
