// How a task is cut into parts of about equal work: the work model, and the cut itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cluster/Piece.h"

namespace vontal::cluster {

// Estimated work, in arbitrary units (about one squaring of a one-word number each):
// - per odd k of exponent n, the sieve's share, plus, for the share of k that survive the sieve
//   (1.12 / ln of its largest prime, by Mertens' product), n squarings of the candidate, whose
//   cost grows as its width in 64-bit words to the power 1.5 (as measured for the kernels from
//   two to seventeen words);
// - per exponent begun, the sieve's tables (a fixed cost per prime of the table).
double ExponentSetupWork(uint32_t n);
// The odd k from `firstOdd` to `lastOdd` (both odd) of exponent n.
double RangeWork(uint32_t n, int64_t firstOdd, int64_t lastOdd);
// A whole piece: every exponent's set-up and range.
double PieceWork(const Piece& piece);

// Cuts `task` into `parts` pieces that together hold every (n, odd k) of the task exactly once,
// each with about the same work. The exponents are cut into groups of consecutive n, and each
// group's k range into slices of equal work; of all numbers of groups the one whose dearest piece
// is cheapest wins. The first k of a group's first piece is the task's text as given, the last k
// of its last piece likewise; the k between are odd decimal numbers. Fewer pieces come back when
// the task does not hold enough exponents and odd k for so many.
std::vector<Piece> SplitTask(const Piece& task, int parts);

}  // namespace vontal::cluster
