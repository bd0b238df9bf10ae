// Tasks and pieces of tasks.
#include "cluster/Piece.h"

#include "session/TaskCheck.h"

namespace vontal::cluster {

int64_t FirstOddK(int64_t low) {
    // As the computation thread does it: integer division rounds toward zero, then +1.
    const int64_t odd = (low / 2) * 2 + 1;
    return odd < 3 ? 3 : odd;
}

int64_t LastOddK(int64_t high) { return high % 2 != 0 ? high : high - 1; }

bool Piece::SameWork(const Piece& other) const {
    return nFirst == other.nFirst && nLast == other.nLast && firstOdd() == other.firstOdd() &&
           lastOdd() == other.lastOdd();
}

std::string Piece::Line() const { return FormatFollowingTaskLine(Texts()); }

TaskTexts Piece::Texts() const { return {std::to_string(nFirst), std::to_string(nLast), kLowText, kHighText}; }

bool PieceFromTexts(const TaskTexts& texts, Piece& piece, std::string& problem) {
    const TaskCheck check = CheckTask(texts);
    if (!check.passes()) {
        problem = TaskProblemMessage(check, texts, Wording::CommandLine);
        return false;
    }
    piece = {check.nFirst, check.nLast, check.kLow, check.kHigh, texts.kLow, texts.kHigh};
    // The check lets a range through whose only k lie below 3 ("k=1 to 2"); the search would
    // still test k=3 there, outside the range. Such a task has nothing to split or merge.
    if (piece.firstOdd() > piece.lastOdd()) {
        problem = "no odd k of 3 or more lies in the range";
        return false;
    }
    return true;
}

bool PieceFromLine(const std::string& line, Piece& piece, std::string& problem) {
    if (line.find("to") == std::string::npos) {
        problem = "not a task of the form \"n=A to B, k=C to D\"";
        return false;
    }
    return PieceFromTexts(ParseFollowingTaskLine(line), piece, problem);
}

}  // namespace vontal::cluster
