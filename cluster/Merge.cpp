// Merging part folders and proving coverage.
#include "cluster/Merge.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cluster/PartFolder.h"
#include "cluster/RecordReader.h"
#include "engine/CheckValue.h"
#include "engine/Kernel.h"
#include "engine/NumberText.h"
#include "engine/Records.h"
#include "engine/Sieve.h"
#include "Version.h"
#include "settings/IniFile.h"
#include "settings/TaskFile.h"

namespace vontal::cluster {

namespace fs = std::filesystem;

namespace {

// A log or result file read whole; false with `problem` when it is there but cannot be read.
// A missing file reads as empty.
bool ReadText(const fs::path& file, std::string& text, std::string& problem) {
    text.clear();
    std::error_code ec;
    if (!fs::exists(file, ec)) return true;
    constexpr uintmax_t kLargest = uintmax_t{1} << 30;
    const uintmax_t size = fs::file_size(file, ec);
    if (ec || size > kLargest) {
        problem = file.filename().string() + (ec ? " cannot be read: " + ec.message() : " is larger than 1 GiB");
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream all;
    if (!(all << in.rdbuf()) && size > 0) {
        problem = file.filename().string() + " cannot be read";
        return false;
    }
    text = all.str();
    return true;
}

bool KValue(const std::string& text, int64_t& k) {
    try {
        k = StrToK(text);
        return true;
    } catch (const ConversionError&) {
        return false;
    }
}

// What one part folder's files prove.
struct PartRecords {
    std::vector<FinishedRange> finished;
    std::set<Divisor> divisors;
    std::vector<std::string> notes;
};

class PartReader {
public:
    PartReader(const fs::path& dir, const PartMarker& marker) : dir_(dir), marker_(marker) {}

    // False with `problem` when the folder cannot be trusted at all.
    bool Read(PartRecords& out, std::string& problem) {
        const Piece& piece = marker_.piece;
        auto refuse = [&](const std::string& file, const std::string& why) {
            problem = file + ", " + why;
            return false;
        };

        // The log: headers, divisors and end records, each checked against the piece.
        std::string text, why;
        if (!ReadText(dir_ / kLogFileName, text, why)) return refuse(kLogFileName, why);
        const RecordsRead log = ReadRecords(text);
        if (!log.problem.empty()) return refuse(kLogFileName, "damaged: " + log.problem);
        const Record* header = nullptr;  // the exponent begun and not yet closed
        const Record* lastHeader = nullptr;
        std::string lastEnd;
        for (const Record& r : log.records) {
            const std::string at = "line " + std::to_string(r.line) + ": ";
            if (r.kind == RecordKind::Header) {
                int64_t k = 0;
                if (!KValue(r.kText, k)) return refuse(kLogFileName, at + "the first k '" + r.kText + "' is no number");
                if (r.n < piece.nFirst || r.n > piece.nLast || FirstOddK(k) != piece.firstOdd())
                    return refuse(kLogFileName, at + "a record of another task (n=" + std::to_string(r.n) + ", k from " +
                                                    r.kText + "; this part is " + piece.Line() + ")");
                header = lastHeader = &r;
            } else if (r.kind == RecordKind::End) {
                int64_t kHigh = 0;
                if (!KValue(r.kText, kHigh)) return refuse(kLogFileName, at + "the last k '" + r.kText + "' is no number");
                const std::string self = r.kText + "," + r.checkValue;
                if (!header) {
                    // A record already counted, written again, proves nothing new; one that
                    // follows no header cannot be placed.
                    if (lastHeader && self == lastEnd) continue;
                    out.notes.push_back(std::string(kLogFileName) + " " + at +
                                        "an end-of-exponent record without its exponent's header, not counted");
                    continue;
                }
                int64_t kLow = 0;
                KValue(header->kText, kLow);
                const int64_t firstOdd = FirstOddK(kLow);
                const std::string expected = CheckValue(header->n, header->n, firstOdd, kHigh, kVersionText);
                if (r.checkValue != expected)
                    return refuse(kLogFileName, at + "the check value CODO=" + r.checkValue + " does not fit n=" +
                                                    std::to_string(header->n) + ", k from " + header->kText + " up to " +
                                                    r.kText + " (a damaged or forged record)");
                if (LastOddK(kHigh) != piece.lastOdd())
                    return refuse(kLogFileName, at + "a record of another task (n=" + std::to_string(header->n) +
                                                    " up to " + r.kText + "; this part is " + piece.Line() + ")");
                out.finished.push_back({{header->n, firstOdd, LastOddK(kHigh)}, r.checkValue, marker_.number});
                lastEnd = self;
                header = nullptr;
            } else if (r.kind == RecordKind::Found) {
                if (!TakeDivisor(r, out, problem, kLogFileName)) return false;
            }
        }

        // "Result.txt": found records only; each must be a divisor of this piece's range.
        if (!ReadText(dir_ / kResultFileName, text, why)) return refuse(kResultFileName, why);
        const RecordsRead result = ReadRecords(text);
        if (!result.problem.empty()) return refuse(kResultFileName, "damaged: " + result.problem);
        for (const Record& r : result.records) {
            if (r.kind == RecordKind::Found) {
                if (!TakeDivisor(r, out, problem, kResultFileName)) return false;
            } else if (r.kind != RecordKind::Note || !r.text.empty()) {
                return refuse(kResultFileName, "line " + std::to_string(r.line) + ": not a found record");
            }
        }
        return true;
    }

private:
    // A found record counts once it is shown to be a divisor: the candidate test is run on it
    // again. The search may test one candidate past its last k (the first survivor at or beyond
    // it), which lies within one sieve block.
    bool TakeDivisor(const Record& r, PartRecords& out, std::string& problem, const char* file) {
        const Piece& piece = marker_.piece;
        const Divisor d{r.n, r.m, r.k};
        const std::string at = std::string(file) + ", line " + std::to_string(r.line) + ": ";
        const int64_t reach = piece.kHigh > INT64_MAX - 2 * int64_t{kSieveSize} ? INT64_MAX : piece.kHigh + 2 * int64_t{kSieveSize};
        if (r.n < piece.nFirst || r.n > piece.nLast || r.k < piece.firstOdd() || r.k > reach) {
            problem = at + "a divisor outside this part (" + d.Text() + "; this part is " + piece.Line() + ")";
            return false;
        }
        if (out.divisors.count(d)) return true;
        if (!checked_.count(d)) {
            KernelScratch scratch;
            scratch.reserveFor(r.n);
            if (r.k % 2 == 0 || TestCandidate(static_cast<uint64_t>(r.k), r.n, scratch) != r.m) {
                problem = at + d.Text() + " is not true (a damaged or forged record)";
                return false;
            }
            checked_.insert(d);
        }
        out.divisors.insert(d);
        return true;
    }

    fs::path dir_;
    PartMarker marker_;
    std::set<Divisor> checked_;
};

// What the part's settings file says: refused when it is not this piece (a hand edit); else a
// note when it claims more than the records show, or where it stands.
bool ReadStoredTask(const fs::path& dir, const PartMarker& marker, PartSummary& summary, std::string& problem) {
    IniFile ini(dir / kSettingsFileName);
    if (!ini.Exists()) {
        problem = std::string(kSettingsFileName) + " is missing";
        return false;
    }
    if (const std::string why = ini.ReadProblem(); !why.empty()) {
        problem = std::string(kSettingsFileName) + " cannot be read: " + why;
        return false;
    }
    const TaskTexts stored = ReadTaskTexts(ini);
    const Piece& piece = marker.piece;
    // The task as begun: "nMin" is its first exponent, "nTemp" the one to resume at.
    TaskTexts begun = stored;
    begun.nFirst = ini.ReadString(kTaskSection, "nMin", "");
    Piece asStored;
    std::string why;
    if (!PieceFromTexts(begun, asStored, why) || !asStored.SameWork(piece)) {
        problem = std::string(kSettingsFileName) + " holds the task " + FormatFollowingTaskLine(begun) +
                  ", but this part is " + piece.Line() + " (changed by hand?)";
        return false;
    }
    int32_t resume = 0;
    try {
        resume = StrToInt(stored.nFirst);
    } catch (const ConversionError&) {
        resume = -1;
    }
    if (resume < static_cast<int64_t>(piece.nFirst) || resume > static_cast<int64_t>(piece.nLast) + 1) {
        problem = std::string(kSettingsFileName) + ": the exponent to resume at, nTemp=" + stored.nFirst +
                  ", lies outside this part's " + piece.Line() + " (changed by hand?)";
        return false;
    }
    const bool saysFinished = resume == static_cast<int32_t>(piece.nLast) + 1;
    const bool recordsFinished = summary.state == PartState::Finished;
    if (saysFinished && !recordsFinished) {
        summary.notes.push_back(std::string(kSettingsFileName) +
                                " says this part is finished, but its log does not show every exponent finished: not trusted");
    } else if (!recordsFinished && summary.state == PartState::Unfinished) {
        summary.notes.push_back(std::string(kSettingsFileName) + " last saved at n=" + stored.nFirst +
                                ", k=" + ReadPositionText(ini));
    }
    return true;
}

std::string RangeText(const KRange& r) {
    return "n=" + std::to_string(r.n) + "  k=" + std::to_string(r.first) + " to " + std::to_string(r.last);
}

}  // namespace

std::string Divisor::Text() const {
    return std::to_string(k) + ".2^" + std::to_string(n) + "+1 divides F_" + std::to_string(m);
}

MergeResult MergeParts(const std::vector<fs::path>& folders) {
    MergeResult result;
    auto refuse = [&](const std::string& why) {
        MergeResult refused;
        refused.refusal = why;
        return refused;
    };

    // The part folders: named, or found one level down in a folder of parts.
    std::vector<fs::path> dirs;
    for (const fs::path& f : folders) {
        std::error_code ec;
        if (!fs::is_directory(f, ec)) return refuse("'" + f.string() + "' is not a folder");
        if (HasPartMarker(f)) {
            dirs.push_back(f);
            continue;
        }
        std::vector<fs::path> inside;
        for (const auto& entry : fs::directory_iterator(f, ec))
            if (entry.is_directory(ec) && HasPartMarker(entry.path())) inside.push_back(entry.path());
        if (inside.empty())
            return refuse("'" + f.string() + "' is neither a part folder (it has no " + kMarkerFileName +
                          ") nor a folder of part folders");
        std::sort(inside.begin(), inside.end());
        dirs.insert(dirs.end(), inside.begin(), inside.end());
    }
    if (dirs.empty()) return refuse("no part folders given");

    // Every marker must name the same task and the same split.
    std::vector<PartMarker> markers(dirs.size());
    std::map<int, size_t> byNumber;
    for (size_t i = 0; i < dirs.size(); ++i) {
        std::string why;
        if (!ReadPartMarker(dirs[i], markers[i], why)) return refuse("'" + dirs[i].string() + "': " + why);
        const PartMarker& first = markers[0];
        if (!markers[i].task.SameWork(first.task))
            return refuse("parts of two different tasks: '" + dirs[0].string() + "' is a part of " + first.task.Line() +
                          ", '" + dirs[i].string() + "' of " + markers[i].task.Line());
        if (markers[i].count != first.count)
            return refuse("parts of two different splits of " + first.task.Line() + ": '" + dirs[0].string() +
                          "' is one of " + std::to_string(first.count) + " parts, '" + dirs[i].string() + "' one of " +
                          std::to_string(markers[i].count));
        if (auto [it, fresh] = byNumber.emplace(markers[i].number, i); !fresh)
            return refuse("part " + std::to_string(markers[i].number) + " is given twice: '" + dirs[it->second].string() +
                          "' and '" + dirs[i].string() + "'");
    }
    result.task = markers[0].task;
    result.partCount = markers[0].count;

    // Each part: its records, then its settings file.
    std::set<Divisor> divisors;
    for (int number = 1; number <= result.partCount; ++number) {
        PartSummary summary;
        summary.number = number;
        const auto found = byNumber.find(number);
        if (found == byNumber.end()) {
            result.parts.push_back(summary);
            continue;
        }
        const fs::path& dir = dirs[found->second];
        const PartMarker& marker = markers[found->second];
        summary.folder = dir.filename().string();
        summary.piece = marker.piece;
        PartRecords records;
        std::string why;
        if (!PartReader(dir, marker).Read(records, why)) return refuse("'" + dir.string() + "': " + why);
        std::set<uint32_t> closed;
        for (const FinishedRange& f : records.finished) closed.insert(f.range.n);
        summary.finishedExponents.assign(closed.begin(), closed.end());
        const size_t exponents = marker.piece.nLast - marker.piece.nFirst + 1;
        summary.state = closed.size() == exponents ? PartState::Finished
                        : closed.empty() && records.divisors.empty() ? PartState::NotBegun
                                                                    : PartState::Unfinished;
        if (summary.state == PartState::NotBegun) {
            std::error_code ec;
            if (fs::exists(dir / kLogFileName, ec)) summary.state = PartState::Unfinished;
        }
        if (!ReadStoredTask(dir, marker, summary, why)) return refuse("'" + dir.string() + "': " + why);
        summary.notes.insert(summary.notes.end(), records.notes.begin(), records.notes.end());
        // The same range written again (a part run afresh) counts once.
        for (const FinishedRange& f : records.finished) {
            const bool again = std::any_of(result.finished.begin(), result.finished.end(), [&](const FinishedRange& g) {
                return g.part == f.part && g.range == f.range;
            });
            if (!again) result.finished.push_back(f);
        }
        divisors.insert(records.divisors.begin(), records.divisors.end());
        result.parts.push_back(summary);
    }
    result.divisors.assign(divisors.begin(), divisors.end());

    // Coverage, exponent by exponent: the task's odd k against the finished ranges.
    std::sort(result.finished.begin(), result.finished.end(), [](const FinishedRange& a, const FinishedRange& b) {
        return std::tie(a.range.n, a.range.first, a.range.last, a.part) < std::tie(b.range.n, b.range.first, b.range.last, b.part);
    });
    const int64_t lo = result.task.firstOdd(), hi = result.task.lastOdd();
    size_t i = 0;
    for (uint32_t n = result.task.nFirst; n <= result.task.nLast && n != 0; ++n) {
        int64_t next = lo;                // the first odd k not yet covered
        const FinishedRange* reach = nullptr;  // the range that reaches furthest so far
        for (; i < result.finished.size() && result.finished[i].range.n == n; ++i) {
            const FinishedRange& f = result.finished[i];
            if (f.range.first > next) result.gaps.push_back({n, next, f.range.first - 2});
            if (reach && f.range.first <= reach->range.last)
                result.overlaps.push_back({{n, f.range.first, std::min(f.range.last, reach->range.last)}, reach->part, f.part});
            if (!reach || f.range.last > reach->range.last) reach = &f;
            next = std::max(next, f.range.last + 2);
        }
        if (next <= hi) result.gaps.push_back({n, next, hi});
    }
    return result;
}

std::string MergeReport(const MergeResult& r) {
    std::ostringstream out;
    if (r.refused()) {
        out << "refused: " << r.refusal << "\n";
        return out.str();
    }
    out << "task: " << r.task.Line() << "\n";
    out << "parts: " << r.partCount << "\n";
    for (const PartSummary& p : r.parts) {
        out << "  part " << p.number << " of " << r.partCount;
        if (p.state == PartState::Missing) {
            out << ": no folder\n";
            continue;
        }
        out << " (" << p.folder << "): " << p.piece.Line() << ": ";
        switch (p.state) {
            case PartState::Finished: out << "finished"; break;
            case PartState::NotBegun: out << "not begun"; break;
            default: {
                out << "unfinished";
                if (!p.finishedExponents.empty())
                    out << ", " << p.finishedExponents.size() << " of " << (p.piece.nLast - p.piece.nFirst + 1)
                        << " exponents finished";
                break;
            }
        }
        out << "\n";
        for (const std::string& note : p.notes) out << "    " << note << "\n";
    }
    out << "divisors: " << r.divisors.size() << "\n";
    for (const Divisor& d : r.divisors) out << "  " << d.Text() << "\n";
    out << "finished: " << r.finished.size() << " ranges\n";
    for (const FinishedRange& f : r.finished)
        out << "  " << RangeText(f.range) << ", CODO=" << f.checkValue << " (part " << f.part << ")\n";
    out << "gaps: " << r.gaps.size() << "\n";
    for (const KRange& g : r.gaps) out << "  " << RangeText(g) << "\n";
    out << "overlaps: " << r.overlaps.size() << "\n";
    for (const Overlap& o : r.overlaps)
        out << "  " << RangeText(o.range) << " (parts " << o.partA << " and " << o.partB << ")\n";
    out << "verdict: " << (r.complete() ? "complete" : "incomplete") << "\n";
    return out.str();
}

}  // namespace vontal::cluster
