// Reading the log and result records.
#include "cluster/RecordReader.h"

#include <limits>

namespace vontal::cluster {

namespace {

// Plain decimal digits, no sign, within `limit`.
bool ReadDigits(const std::string& s, uint64_t limit, uint64_t& value) {
    if (s.empty() || s.size() > 19) return false;
    value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value <= limit;
}

bool ReadU32(const std::string& s, uint32_t& v) {
    uint64_t x = 0;
    if (!ReadDigits(s, std::numeric_limits<uint32_t>::max(), x)) return false;
    v = static_cast<uint32_t>(x);
    return true;
}

bool ReadK(const std::string& s, int64_t& v) {
    uint64_t x = 0;
    if (!ReadDigits(s, static_cast<uint64_t>(std::numeric_limits<int64_t>::max()), x)) return false;
    v = static_cast<int64_t>(x);
    return true;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The text between `from` and the next `until` (or the end), moving `at` past `until`.
std::string Take(const std::string& s, size_t& at, const std::string& until) {
    const size_t end = s.find(until, at);
    std::string part = s.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? s.size() : end + until.size();
    return part;
}

// "found m=12,  k=7,  n=14" and its second line "7.2^14+1 divides F_12".
bool ReadFound(const std::string& line, const std::string& second, Record& r) {
    static const std::string kLead = "found m=";
    size_t at = kLead.size();
    if (!StartsWith(line, kLead)) return false;
    const std::string m = Take(line, at, ",  k=");
    const std::string k = Take(line, at, ",  n=");
    const std::string n = line.substr(std::min(at, line.size()));
    if (!ReadU32(m, r.m) || !ReadK(k, r.k) || !ReadU32(n, r.n)) return false;
    if (line != kLead + m + ",  k=" + k + ",  n=" + n) return false;
    return second == k + ".2^" + n + "+1 divides F_" + m;
}

// " up to 30e12, CODO=BB1C9EA2C6, Date/Time:..." at the end of a line: where it begins, or npos.
size_t EndRecordAt(const std::string& line) {
    const size_t codo = line.rfind(", CODO=");
    if (codo == std::string::npos) return std::string::npos;
    return line.rfind(" up to ", codo);
}

bool ReadEnd(const std::string& text, Record& r) {
    size_t at = std::string(" up to ").size();
    r.kText = Take(text, at, ", CODO=");
    r.checkValue = Take(text, at, ", Date/Time:");
    if (r.kText.empty() || r.checkValue.size() != 10 || at > text.size()) return false;
    for (char c : r.checkValue)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    r.dateTime = text.substr(at);
    return text == " up to " + r.kText + ", CODO=" + r.checkValue + ", Date/Time:" + r.dateTime;
}

// "n=50  k from 20e12".
bool ReadHeader(const std::string& text, Record& r) {
    size_t at = 2;
    const std::string n = Take(text, at, "  k from ");
    if (at > text.size() || !ReadU32(n, r.n)) return false;
    r.kText = text.substr(at);
    return !r.kText.empty() && text == "n=" + n + "  k from " + r.kText;
}

}  // namespace

RecordsRead ReadRecords(const std::string& text) {
    RecordsRead read;
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    const bool lastLineOpen = !text.empty() && text.back() != '\n';
    auto damaged = [&](size_t i, const std::string& why) {
        // The last line of a file still being written may hold half a record.
        if (i + 1 == lines.size() && lastLineOpen) return false;
        read.problem = "line " + std::to_string(i + 1) + ": " + why + ": \"" + lines[i].substr(0, 120) + "\"";
        return true;
    };

    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        Record r;
        r.line = i + 1;
        if (StartsWith(line, "found ")) {
            // The second line is part of the record; at the end of a running search's file it
            // may not be there yet, or not whole.
            if (i + 1 == lines.size() || (i + 2 == lines.size() && lastLineOpen)) break;
            r.kind = RecordKind::Found;
            if (!ReadFound(line, lines[i + 1], r)) {
                if (damaged(i, "not a found record")) return read;
                break;
            }
            read.records.push_back(r);
            ++i;
            continue;
        }
        // An end record completes the line it is appended to: a header's, a note's, or its own.
        // On the last line of a running search's file it may be there only in part.
        std::string lead = line;
        Record end;
        end.line = i + 1;
        bool hasEnd = false;
        const size_t at = line.find(", CODO=") != std::string::npos ? EndRecordAt(line) : line.rfind(" up to ");
        if (at != std::string::npos) {
            end.kind = RecordKind::End;
            hasEnd = ReadEnd(line.substr(at), end);
            const bool partly = !hasEnd && i + 1 == lines.size() && lastLineOpen;
            if (hasEnd || partly) lead = line.substr(0, at);
            else if (line.find(", CODO=") != std::string::npos && damaged(i, "not an end-of-exponent record")) return read;
        }
        if (StartsWith(lead, "n=")) {
            r.kind = RecordKind::Header;
            if (!ReadHeader(lead, r)) {
                if (damaged(i, "not an exponent header")) return read;
                break;
            }
            read.records.push_back(r);
        } else if (StartsWith(lead, "Model ")) {
            r.kind = RecordKind::Model;
            r.text = lead;
            read.records.push_back(r);
        } else if (lead.find(".2^") != std::string::npos && lead.find("+1 divides F_") != std::string::npos) {
            if (damaged(i, "a divisor line without its found record")) return read;
            break;
        } else if (!lead.empty()) {
            r.kind = RecordKind::Note;
            r.text = lead;
            read.records.push_back(r);
        }
        if (hasEnd) read.records.push_back(end);
    }
    return read;
}

}  // namespace vontal::cluster
