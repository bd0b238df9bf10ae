// The merge of part folders: every divisor once, the k ranges finished per exponent with their
// check values, and the proof of coverage: the gaps (k of the task that no finished record
// covers) and overlaps (k that two records cover). Coverage is taken from the end-of-exponent
// records alone, each checked against its recomputed check value; what a part's "Vontal.ini"
// says beyond its records is shown, never counted.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "cluster/Piece.h"

namespace vontal::cluster {

// The odd k from `first` to `last` of exponent n.
struct KRange {
    uint32_t n = 0;
    int64_t first = 0, last = 0;
    bool operator==(const KRange&) const = default;
};

struct FinishedRange {
    KRange range;
    std::string checkValue;
    int part = 0;
};

struct Divisor {
    uint32_t n = 0, m = 0;
    int64_t k = 0;
    auto operator<=>(const Divisor&) const = default;
    // "7.2^14+1 divides F_12", as the records write it.
    std::string Text() const;
};

struct Overlap {
    KRange range;
    int partA = 0, partB = 0;
};

enum class PartState { Missing, NotBegun, Unfinished, Finished };

struct PartSummary {
    int number = 0;
    std::string folder;  // the folder's name, without the path (empty when missing)
    Piece piece;         // from the marker (unset when missing)
    PartState state = PartState::Missing;
    std::vector<uint32_t> finishedExponents;
    std::vector<std::string> notes;  // what the folder says that its records do not show, and the like
};

struct MergeResult {
    // A refusal: bad input (a folder of another task, a damaged or hand-edited part, parts of two
    // different tasks). Nothing else is then set, and nothing is to be written.
    std::string refusal;
    Piece task;
    int partCount = 0;
    std::vector<PartSummary> parts;       // by number, missing ones included
    std::vector<FinishedRange> finished;  // by n, then k
    std::vector<Divisor> divisors;        // every divisor once, by n, then k
    std::vector<KRange> gaps;             // by n, then k
    std::vector<Overlap> overlaps;        // by n, then k

    bool refused() const { return !refusal.empty(); }
    bool complete() const { return !refused() && gaps.empty(); }
};

// Merges the part folders named; a folder that is no part folder but holds part folders stands
// for them all. Reads only: nothing in the folders changes.
MergeResult MergeParts(const std::vector<std::filesystem::path>& folders);

// The merged report (LF line ends): the task, the parts, the divisors, the ranges finished with
// their check values, the gaps, the overlaps and the verdict, "complete" or "incomplete".
// Nothing in it depends on where the folders are or when it is made, so a merge of the same
// records gives the same report.
std::string MergeReport(const MergeResult& result);

}  // namespace vontal::cluster
