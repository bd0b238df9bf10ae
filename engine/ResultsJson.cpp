// "results.jsonl": its lines, their appending, and the repair of a last line cut short.
#include "ResultsJson.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "Records.h"

namespace vontal {

namespace {

// Keeps the keys in the order written, so that a line reads as documented.
using Json = nlohmann::ordered_json;

std::string Finish(const Json& line) {
    // Every text in a line is ASCII; a replacement keeps one that is not from throwing.
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string UtcTimeText(std::time_t when) {
    std::tm tm{};
    gmtime_r(&when, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string DivisorDecimal(int64_t k, uint32_t n) {
    // k·2^n + 1 in 32-bit limbs, least significant first.
    std::vector<uint32_t> limbs(n / 32, 0);
    const uint64_t shifted = static_cast<uint64_t>(k);
    const unsigned bits = n % 32;
    const unsigned __int128 top = static_cast<unsigned __int128>(shifted) << bits;
    for (int i = 0; i < 3; ++i) limbs.push_back(static_cast<uint32_t>(top >> (32 * i)));
    for (size_t i = 0; i < limbs.size() && ++limbs[i] == 0; ++i) {
    }
    while (limbs.size() > 1 && limbs.back() == 0) limbs.pop_back();
    // Nine decimal digits at a time, by dividing by 10^9 from the top limb down.
    std::vector<uint32_t> chunks;
    while (!limbs.empty()) {
        uint64_t rest = 0;
        for (size_t i = limbs.size(); i-- > 0;) {
            const uint64_t value = (rest << 32) | limbs[i];
            limbs[i] = static_cast<uint32_t>(value / 1'000'000'000u);
            rest = value % 1'000'000'000u;
        }
        chunks.push_back(static_cast<uint32_t>(rest));
        while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();
    }
    std::string text = std::to_string(chunks.back());
    for (size_t i = chunks.size() - 1; i-- > 0;) {
        const std::string part = std::to_string(chunks[i]);
        text.append(9 - part.size(), '0').append(part);
    }
    return text;
}

std::string DivisorLine(uint32_t m, int64_t k, uint32_t n, std::time_t when, const ResultsOrigin& origin) {
    Json line;
    line["type"] = "divisor";
    line["m"] = m;
    line["k"] = std::to_string(k);
    line["n"] = n;
    line["divisor"] = DivisorDecimal(k, n);
    line["time"] = UtcTimeText(when);
    line["version"] = origin.version;
    line["kernel"] = origin.kernel;
    return Finish(line);
}

std::string ExponentLine(const ExponentSummary& s, std::time_t when, const ResultsOrigin& origin) {
    Json line;
    line["type"] = "exponent";
    line["n"] = s.n;
    line["k_from"] = std::to_string(s.kFrom);
    line["k_to"] = std::to_string(s.kTo);
    line["check"] = s.checkValue;
    line["tested"] = s.tested ? Json(std::to_string(*s.tested)) : Json(nullptr);
    line["tested_from"] = s.testedFrom ? Json(std::to_string(*s.testedFrom)) : Json(nullptr);
    line["time"] = UtcTimeText(when);
    line["version"] = origin.version;
    line["kernel"] = origin.kernel;
    return Finish(line);
}

void AppendResultsLine(const std::filesystem::path& dir, const std::string& line, bool syncToDisk) {
    AppendToFile(dir / kResultsJsonFileName, line, syncToDisk);
}

bool RepairResultsFile(const std::filesystem::path& dir) {
    const std::filesystem::path file = dir / kResultsJsonFileName;
    auto fail = [&](int err) {
        throw RecordError("Unable to write to " + file.string() + ": " + std::strerror(err));
    };
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        fail(errno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        fail(err);
    }
    // From the end back to the last line end, a block at a time.
    off_t end = st.st_size, keep = 0;
    char block[4096];
    while (end > 0) {
        const off_t from = std::max<off_t>(0, end - static_cast<off_t>(sizeof block));
        const ssize_t got = ::pread(fd, block, static_cast<size_t>(end - from), from);
        if (got != end - from) {
            const int err = got < 0 ? errno : EIO;
            ::close(fd);
            fail(err);
        }
        const char* lineEnd = static_cast<const char*>(::memrchr(block, '\n', static_cast<size_t>(got)));
        if (lineEnd) {
            keep = from + (lineEnd - block) + 1;
            break;
        }
        end = from;
    }
    ::close(fd);
    // A whole file is only read, so that one the program may not write to is no failure here.
    if (keep == st.st_size) return false;
    if (::truncate(file.c_str(), keep) != 0) fail(errno);
    return true;
}

size_t CountExponentLines(const std::filesystem::path& dir, const ExponentSummary& s) {
    std::ifstream in(dir / kResultsJsonFileName, std::ios::binary);
    const std::string kFrom = std::to_string(s.kFrom), kTo = std::to_string(s.kTo);
    size_t count = 0;
    for (std::string text; std::getline(in, text);) {
        const Json line = Json::parse(text, nullptr, false);
        if (!line.is_object()) continue;
        auto is = [&](const char* key, const Json& want) {
            const auto it = line.find(key);
            return it != line.end() && *it == want;
        };
        if (is("type", "exponent") && is("n", s.n) && is("k_from", kFrom) && is("k_to", kTo) &&
            is("check", s.checkValue))
            ++count;
    }
    return count;
}

}  // namespace vontal
