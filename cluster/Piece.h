// A task or a piece of one: a range of exponents n and a range of multipliers k, with the k texts
// as they stand in a settings file, and the odd k the search really takes from them.
#pragma once

#include <cstdint>
#include <string>

#include "settings/FollowingTasks.h"

namespace vontal::cluster {

// The odd k from `low` on that the search takes: the odd number at or just above it, at least 3
// (the computation thread raises a first k below 3 to 3).
int64_t FirstOddK(int64_t low);
// The last odd k at or below `high`.
int64_t LastOddK(int64_t high);

struct Piece {
    uint32_t nFirst = 0, nLast = 0;
    int64_t kLow = 0, kHigh = 0;  // as the texts read, before the search makes kLow odd
    std::string kLowText, kHighText;

    // The odd k searched at every exponent: from FirstOddK(kLow) to LastOddK(kHigh).
    int64_t firstOdd() const { return FirstOddK(kLow); }
    int64_t lastOdd() const { return LastOddK(kHigh); }
    // The same (n, k) searched: texts may differ ("1" and "3" take the same k).
    bool SameWork(const Piece& other) const;
    // "n=21 to 26, k=1 to 200000000", the follow-on line form.
    std::string Line() const;
    TaskTexts Texts() const;
};

// A task line or four texts as a piece: nullopt-like failure reported in `problem` (the one task
// check's wording for vontal-cli) when the texts are no task the search would take.
bool PieceFromTexts(const TaskTexts& texts, Piece& piece, std::string& problem);
bool PieceFromLine(const std::string& line, Piece& piece, std::string& problem);

}  // namespace vontal::cluster
