// Part folders and their marker.
#include "cluster/PartFolder.h"

#include <cstdio>
#include <ctime>

#include "engine/Records.h"
#include "settings/IniFile.h"
#include "settings/TaskFile.h"

namespace vontal::cluster {

namespace {

// FNV-1a over the marker's content: no protection against a forger, who could recompute it,
// but a hand edit of the task, the number or the piece no longer fits it.
std::string Seal(const PartMarker& m) {
    const std::string content = m.task.Line() + "\n" + std::to_string(m.number) + "\n" +
                                std::to_string(m.count) + "\n" + m.piece.Line();
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : content) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(h));
    return text;
}

bool ReadNumber(const std::string& text, int& value) {
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

}  // namespace

std::string PartFolderName(int number, int count) {
    const int digits = std::max<int>(2, static_cast<int>(std::to_string(count).size()));
    std::string n = std::to_string(number);
    return "part-" + std::string(n.size() < static_cast<size_t>(digits) ? digits - n.size() : 0, '0') + n;
}

void WritePartFolder(const std::filesystem::path& dir, const PartMarker& marker, std::optional<int> priority) {
    std::filesystem::create_directories(dir);
    IniFile ini(dir / kSettingsFileName);
    BeginNewTask(ini, marker.piece.Texts(), std::time(nullptr));
    if (priority) ini.WriteString(kTaskSection, "Priority", std::to_string(*priority));
    // The marker last: a folder that has one is whole.
    IniFile seal(dir / kMarkerFileName);
    seal.WriteStrings(kMarkerSection, {{"Task", marker.task.Line()},
                                       {"Part", std::to_string(marker.number)},
                                       {"Parts", std::to_string(marker.count)},
                                       {"Piece", marker.piece.Line()},
                                       {"Check", Seal(marker)}});
}

bool HasPartMarker(const std::filesystem::path& dir) {
    std::error_code ec;
    return std::filesystem::is_regular_file(dir / kMarkerFileName, ec);
}

bool ReadPartMarker(const std::filesystem::path& dir, PartMarker& marker, std::string& problem) {
    const auto path = dir / kMarkerFileName;
    if (!HasPartMarker(dir)) {
        problem = "no " + std::string(kMarkerFileName) + ": not a part folder made by vontal-cli split";
        return false;
    }
    IniFile ini(path);
    if (const std::string why = ini.ReadProblem(); !why.empty()) {
        problem = kMarkerFileName + std::string(" cannot be read: ") + why;
        return false;
    }
    auto value = [&](const char* key) { return ini.ReadString(kMarkerSection, key, ""); };
    std::string why;
    if (!PieceFromLine(value("Task"), marker.task, why)) {
        problem = kMarkerFileName + std::string(": its task '") + value("Task") + "' does not read: " + why;
        return false;
    }
    if (!PieceFromLine(value("Piece"), marker.piece, why)) {
        problem = kMarkerFileName + std::string(": its piece '") + value("Piece") + "' does not read: " + why;
        return false;
    }
    if (!ReadNumber(value("Part"), marker.number) || !ReadNumber(value("Parts"), marker.count) ||
        marker.number < 1 || marker.number > marker.count) {
        problem = kMarkerFileName + std::string(": no part number ('") + value("Part") + "' of '" + value("Parts") + "')";
        return false;
    }
    if (value("Check") != Seal(marker)) {
        problem = kMarkerFileName + std::string(" was changed after vontal-cli split wrote it (its check sum does not fit)");
        return false;
    }
    const Piece &t = marker.task, &p = marker.piece;
    if (p.nFirst < t.nFirst || p.nLast > t.nLast || p.firstOdd() < t.firstOdd() || p.lastOdd() > t.lastOdd()) {
        problem = kMarkerFileName + std::string(": its piece ") + p.Line() + " is not inside its task " + t.Line();
        return false;
    }
    return true;
}

}  // namespace vontal::cluster
