// The settings file: parsing into lines, private-profile lookup, and the atomic rewrite.
#include "settings/IniFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vontal {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLineEnd = "\r\n";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
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

// One line of the file as a view into its content: the text without its line end ("\r\n",
// "\n", or for a last line without a line feed "\r" or nothing). Lines are only ever looked at
// in place and unchanged lines are copied back byte for byte, so that a file of millions of
// lines, or of one line of many megabytes, costs one pass and no allocation per line.
struct Line {
    std::string_view text;
    size_t begin = 0;  // offset of the text in the content
    size_t next = 0;   // offset just past the line end
    bool lastWithoutLineFeed = false;
};

// Calls visit(line) for every line of content in order, until it returns false.
template <typename Visit>
void ForEachLine(std::string_view content, Visit visit) {
    size_t pos = 0;
    while (pos < content.size()) {
        const size_t lf = content.find('\n', pos);
        size_t textEnd = lf == std::string_view::npos ? content.size() : lf;
        if (textEnd > pos && content[textEnd - 1] == '\r') --textEnd;
        Line line;
        line.text = content.substr(pos, textEnd - pos);
        line.begin = pos;
        line.next = lf == std::string_view::npos ? content.size() : lf + 1;
        line.lastWithoutLineFeed = lf == std::string_view::npos;
        if (!visit(line)) return;
        pos = line.next;
    }
}

enum class LineKind { Other, Section, Key };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed
};

ParsedLine ParseLine(std::string_view text) {
    ParsedLine parsed;
    const std::string_view trimmed = Trim(text);
    if (trimmed.empty() || trimmed[0] == ';') return parsed;
    if (trimmed[0] == '[') {
        const size_t close = trimmed.find(']');
        if (close != std::string_view::npos) {
            parsed.kind = LineKind::Section;
            parsed.name = Trim(trimmed.substr(1, close - 1));
        }
        return parsed;
    }
    const size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos) return parsed;
    parsed.kind = LineKind::Key;
    parsed.name = Trim(trimmed.substr(0, equals));
    parsed.value = Trim(trimmed.substr(equals + 1));
    return parsed;
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
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ReadStatus::Failed;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) content.reserve(static_cast<size_t>(info.st_size));
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            content.clear();
            return ReadStatus::Failed;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ReadStatus::Ok;
}

// Where section/key stands: the line and its value. A name may occur in several sections of
// the same name; the first occurrence in the file wins.
struct Found {
    Line line;
    std::string_view name;
    std::string_view value;
};

std::optional<Found> LookUp(std::string_view content, std::string_view section, std::string_view key) {
    std::optional<Found> found;
    bool inSection = false;
    ForEachLine(content, [&](const Line& line) {
        const ParsedLine parsed = ParseLine(line.text);
        if (parsed.kind == LineKind::Section) {
            inSection = EqualNoCase(parsed.name, section);
        } else if (inSection && parsed.kind == LineKind::Key && EqualNoCase(parsed.name, key)) {
            found = Found{line, parsed.name, parsed.value};
            return false;
        }
        return true;
    });
    return found;
}

// Where a new key of the section goes, as an offset into content: after its last key line (or
// its header), so that blank lines and comments in front of the next section stay with that
// section. Nothing when the section is not in the file.
std::optional<size_t> InsertionPoint(std::string_view content, std::string_view section) {
    std::optional<size_t> point;
    bool inSection = false;
    ForEachLine(content, [&](const Line& line) {
        const ParsedLine parsed = ParseLine(line.text);
        if (parsed.kind == LineKind::Section) {
            if (point) return false;  // the end of the first section of that name
            inSection = EqualNoCase(parsed.name, section);
            if (inSection) point = line.next;
        } else if (inSection && parsed.kind == LineKind::Key) {
            point = line.next;
        }
        return true;
    });
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

IniFile::IniFile(fs::path path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    path_ = ec ? std::move(path) : std::move(absolute);
}

bool IniFile::Exists() const {
    std::error_code ec;
    return fs::exists(path_, ec);
}

std::string IniFile::ReadProblem() const {
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

void IniFile::RemoveStaleTemporaries() const {
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

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) {
    std::string content;
    if (ReadWholeFile(path_, content) != ReadStatus::Ok) return defaultValue;
    const std::optional<Found> found = LookUp(content, section, key);
    if (!found) return defaultValue;
    return std::string(found->value.substr(0, kMaxValueLength));
}

int IniFile::ReadInteger(const std::string& section, const std::string& key, int defaultValue) {
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

void IniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    WriteStrings(section, {{key, value}});
}

namespace {

// The file with one key set: at most two changes spliced in, the key's line replaced, or a line
// end completed and the new lines inserted.
std::string WithKey(const std::string& content, const std::string& cleanSection, const std::string& cleanKey,
                    const std::string& cleanValue) {
    std::string newContent;
    newContent.reserve(content.size() + cleanSection.size() + cleanKey.size() + cleanValue.size() + 16);
    if (const std::optional<Found> found = LookUp(content, cleanSection, cleanKey)) {
        // In place: the key keeps its spelling and its line, the line keeps its own line end.
        const size_t textEnd = found->line.begin + found->line.text.size();
        newContent.append(content, 0, found->line.begin);
        newContent.append(found->name);
        newContent += '=';
        newContent += cleanValue;
        newContent.append(content, textEnd, std::string::npos);
        return newContent;
    }
    // A last line without a line end gets one before anything follows it; a lone carriage
    // return is no line end to the reader, so it gets a full one too.
    std::string_view lastText;
    bool completeLastLine = false;
    ForEachLine(content, [&](const Line& line) {
        lastText = line.text;
        completeLastLine = line.lastWithoutLineFeed;
        return true;
    });
    std::string whole = content;
    if (completeLastLine) whole += content.back() == '\r' ? "\n" : kLineEnd;
    const std::string added = cleanKey + "=" + cleanValue + kLineEnd;
    if (const std::optional<size_t> point = InsertionPoint(content, cleanSection)) {
        // An insertion at the very end goes after the completed line end.
        const size_t at = *point == content.size() ? whole.size() : *point;
        newContent.append(whole, 0, at);
        newContent += added;
        newContent.append(whole, at, std::string::npos);
    } else {
        newContent = std::move(whole);
        if (!content.empty() && !Trim(lastText).empty()) newContent += kLineEnd;
        newContent += "[" + cleanSection + "]" + kLineEnd;
        newContent += added;
    }
    return newContent;
}

}  // namespace

// Several keys of one section in one file replacement: a reader (or a crash) sees all of them
// changed or none.
void IniFile::WriteStrings(const std::string& section,
                            const std::vector<std::pair<std::string, std::string>>& values) {
    const std::string cleanSection(Trim(WithoutLineBreaks(section)));
    std::vector<std::pair<std::string, std::string>> clean;
    for (const auto& [key, value] : values) {
        const std::string cleanKey(Trim(WithoutLineBreaks(key)));
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
    for (const auto& [cleanKey, cleanValue] : clean) content = WithKey(content, cleanSection, cleanKey, cleanValue);
    if (const int error = ReplaceFileAtomically(target, content)) throw SettingsWriteError(failure, error);
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

}  // namespace vontal
