// The settings file: parsing into lines, private-profile lookup, and the atomic rewrite.
#include "control/IniFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vontal {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLineEnd = "\r\n";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// Drops the characters that would end a line (or the C string a reader may see) early.
std::string WithoutLineBreaks(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n' && c != '\0') out += c;
    return out;
}

// One line of the file with its own line end ("\r\n", "\n", or "" for a last line without
// one), so that lines the program does not change are written back byte for byte.
struct Line {
    std::string text;
    std::string end;
};

enum class LineKind { Other, Section, Key };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    std::string name;   // section or key name, trimmed
    std::string value;  // key value, trimmed
};

ParsedLine ParseLine(const std::string& text) {
    ParsedLine parsed;
    const std::string trimmed = Trim(text);
    if (trimmed.empty() || trimmed[0] == ';') return parsed;
    if (trimmed[0] == '[') {
        const size_t close = trimmed.find(']');
        if (close != std::string::npos) {
            parsed.kind = LineKind::Section;
            parsed.name = Trim(trimmed.substr(1, close - 1));
        }
        return parsed;
    }
    const size_t equals = trimmed.find('=');
    if (equals == std::string::npos) return parsed;
    parsed.kind = LineKind::Key;
    parsed.name = Trim(trimmed.substr(0, equals));
    parsed.value = Trim(trimmed.substr(equals + 1));
    return parsed;
}

std::vector<Line> SplitLines(const std::string& content) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        const size_t lf = content.find('\n', pos);
        size_t textEnd = lf == std::string::npos ? content.size() : lf;
        const bool cr = textEnd > pos && content[textEnd - 1] == '\r';
        if (cr) --textEnd;
        const char* end = lf == std::string::npos ? (cr ? "\r" : "") : (cr ? "\r\n" : "\n");
        lines.push_back(Line{content.substr(pos, textEnd - pos), end});
        pos = lf == std::string::npos ? content.size() : lf + 1;
    }
    return lines;
}

enum class ReadStatus { Ok, Missing, Failed };

// The whole file as bytes. A missing file is not an error for a reader or a writer; a file
// that exists but cannot be read must not be rewritten from nothing.
ReadStatus ReadWholeFile(const fs::path& path, std::string& content) {
    content.clear();
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) return ReadStatus::Missing;
    if (ec || !fs::is_regular_file(status)) return ReadStatus::Failed;
    std::ifstream in(path, std::ios::binary);
    if (!in) return ReadStatus::Failed;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return ReadStatus::Failed;
    content = buffer.str();
    return ReadStatus::Ok;
}

// The value of section/key, or nothing when the file, section or key is missing. A name may
// occur in several sections of the same name; the first occurrence in the file wins.
std::optional<std::string> LookUp(const std::vector<Line>& lines, const std::string& section,
                                  const std::string& key, size_t* lineIndex = nullptr) {
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const ParsedLine parsed = ParseLine(lines[i].text);
        if (parsed.kind == LineKind::Section) {
            inSection = EqualNoCase(parsed.name, section);
        } else if (inSection && parsed.kind == LineKind::Key && EqualNoCase(parsed.name, key)) {
            if (lineIndex) *lineIndex = i;
            return parsed.value;
        }
    }
    return std::nullopt;
}

// Where a new key of the section goes: after its last key line (or its header), so that blank
// lines and comments in front of the next section stay with that section. Nothing when the
// section is not in the file.
std::optional<size_t> InsertionPoint(const std::vector<Line>& lines, const std::string& section) {
    std::optional<size_t> point;
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const ParsedLine parsed = ParseLine(lines[i].text);
        if (parsed.kind == LineKind::Section) {
            if (point) return point;  // the end of the first section of that name
            inSection = EqualNoCase(parsed.name, section);
            if (inSection) point = i + 1;
        } else if (inSection && parsed.kind == LineKind::Key) {
            point = i + 1;
        }
    }
    return point;
}

// How the names of the temporary files of `target` begin: "." + its name + "." (then the
// process id, a count and ".tmp").
std::string TemporaryPrefix(const fs::path& target) { return "." + target.filename().string() + "."; }

// Writes content to a new file beside `target`, syncs it and renames it over `target`.
// Returns 0, or the system's error number, with no temporary file left behind, when a step fails.
int ReplaceFileAtomically(const fs::path& target, const std::string& content) {
    static std::atomic<unsigned> counter{0};
    const fs::path directory = target.parent_path();
    int fd = -1;
    fs::path temporary;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        std::string name = TemporaryPrefix(target);
        name += std::to_string(getpid());
        name += '.';
        name += std::to_string(counter++);
        name += ".tmp";
        temporary = directory / name;
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return errno;
    }
    if (fd < 0) return EEXIST;

    int error = 0;
    // The replacement keeps the permissions of the file it replaces.
    struct stat original {};
    if (::stat(target.c_str(), &original) == 0 && ::fchmod(fd, original.st_mode & 07777) != 0) error = errno;
    size_t written = 0;
    while (error == 0 && written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        else if (n == 0) error = EIO;
        else written += static_cast<size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return error;
    }
    // Make the rename itself durable; the data is already safe, so a failure here is not one
    // of the write.
    const int dirFd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return 0;
}

// Serialises the read-modify-write of every settings file in this process, so that two
// threads writing different keys cannot lose one of the changes.
std::mutex& WriteMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

TIniFile::TIniFile(fs::path path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    path_ = ec ? std::move(path) : std::move(absolute);
}

bool TIniFile::Exists() const {
    std::error_code ec;
    return fs::exists(path_, ec);
}

std::string TIniFile::ReadProblem() const {
    std::error_code ec;
    const fs::file_status status = fs::status(path_, ec);
    if (status.type() == fs::file_type::not_found) return {};
    if (ec) return ec.message();
    if (fs::is_directory(status)) return "it is a directory";
    if (!fs::is_regular_file(status)) return "it is not a regular file";
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    return {};
}

void TIniFile::RemoveStaleTemporaries() const {
    std::error_code ec;
    fs::path target = path_;
    if (fs::is_symlink(fs::symlink_status(path_, ec))) target = fs::weakly_canonical(path_, ec);
    if (ec) return;
    const std::string prefix = TemporaryPrefix(target);
    for (fs::directory_iterator it(target.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() > prefix.size() + 4 && name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(name.size() - 4, 4, ".tmp") == 0 && it->is_regular_file(ec)) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) {
    std::string content;
    if (ReadWholeFile(path_, content) != ReadStatus::Ok) return defaultValue;
    std::optional<std::string> value = LookUp(SplitLines(content), section, key);
    if (!value) return defaultValue;
    if (value->size() > kMaxValueLength) value->resize(kMaxValueLength);
    return *value;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int defaultValue) {
    const std::string text = ReadString(section, key, "");
    size_t i = 0;
    bool negative = false;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (!text.empty() && text[0] == '-') {
        negative = true;
        i = 1;
    }
    if (i == text.size()) return defaultValue;
    const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
    int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return defaultValue;
        magnitude = magnitude * base + digit;
        if (magnitude > limit) return defaultValue;
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    WriteStrings(section, {{key, value}});
}

void TIniFile::WriteStrings(const std::string& section,
                            const std::vector<std::pair<std::string, std::string>>& values) {
    const std::string cleanSection = Trim(WithoutLineBreaks(section));
    std::vector<std::pair<std::string, std::string>> clean;
    for (const auto& [key, value] : values) {
        const std::string cleanKey = Trim(WithoutLineBreaks(key));
        if (cleanKey.empty() || cleanKey.find('=') != std::string::npos || cleanKey[0] == '[' ||
            cleanKey[0] == ';')
            throw std::invalid_argument("Settings key cannot be stored: '" + key + "'");
        clean.emplace_back(cleanKey, WithoutLineBreaks(value));
    }
    if (cleanSection.find(']') != std::string::npos)
        throw std::invalid_argument("Settings section cannot be stored: '" + section + "'");

    const std::string failure = "Unable to write to " + path_.string();
    std::lock_guard<std::mutex> lock(WriteMutex());

    // Through a symbolic link the file it points to is replaced, not the link.
    fs::path target = path_;
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(path_, ec))) {
        const fs::path resolved = fs::weakly_canonical(path_, ec);
        if (ec) throw SettingsWriteError(failure, ec.value());
        target = resolved;
    }

    std::string content;
    if (ReadWholeFile(target, content) == ReadStatus::Failed) throw SettingsWriteError(failure, 0);
    std::vector<Line> lines = SplitLines(content);

    for (const auto& [cleanKey, cleanValue] : clean) {
        size_t keyLine = 0;
        if (LookUp(lines, cleanSection, cleanKey, &keyLine)) {
            // In place: the key keeps its spelling and its line, the line keeps its own line end.
            lines[keyLine].text = ParseLine(lines[keyLine].text).name + "=" + cleanValue;
            continue;
        }
        // A last line without a line end gets one before anything follows it; a lone carriage
        // return is no line end to the reader, so it gets a full one too.
        if (!lines.empty() && (lines.back().end.empty() || lines.back().end == "\r")) lines.back().end = kLineEnd;
        if (const std::optional<size_t> point = InsertionPoint(lines, cleanSection)) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*point),
                         Line{cleanKey + "=" + cleanValue, kLineEnd});
        } else {
            if (!lines.empty() && !Trim(lines.back().text).empty()) lines.push_back(Line{"", kLineEnd});
            lines.push_back(Line{"[" + cleanSection + "]", kLineEnd});
            lines.push_back(Line{cleanKey + "=" + cleanValue, kLineEnd});
        }
    }

    std::string newContent;
    newContent.reserve(content.size() + 64 * clean.size());
    for (const Line& line : lines) newContent += line.text + line.end;
    if (const int error = ReplaceFileAtomically(target, newContent)) throw SettingsWriteError(failure, error);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

}  // namespace vontal
