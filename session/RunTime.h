// How long a task takes on this machine: a cost model of the search calibrated by short measured
// runs of the real sieve and candidate test, for the planner's estimate, the window's time left
// and its estimated end date. Plain C++, no Qt.
//
// One exponent n over the odd k of a range costs
//   the sieve's preparation (its prime table's roots, in proportion to the table's size)
//   + per odd k: sieving it, and for the share that survives the sieve, testing it,
// and a test is about n squarings modulo a candidate whose width (n + log2 k + 1 bits) sets the
// price of each. Every price is measured here, in processor time, with the kernel in use.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vontal {

// What the sieve costs, measured at one table size.
struct SieveCost {
    double prepareSecondsPerPrime = 0;  // per exponent, per table prime
    double secondsPerOddK = 0;          // striking and handing out the survivors
    double survivorShare = 0;           // of the odd k, at primeCount table primes
    uint32_t primeCount = 0;
};

class ICostSource {
public:
    virtual ~ICostSource() = default;
    virtual SieveCost Sieve() = 0;
    // Processor seconds of one squaring of the candidate k·2^n + 1, tested in batches as the
    // search tests it (what matters is the candidate's width).
    virtual double SquaringSeconds(uint32_t n, uint64_t k) = 0;
};

// This machine's prices for the kernel in use, each measured the first time it is needed (the
// sieve's once, about a tenth of a second; a candidate width's in milliseconds) and kept for the
// rest of the process. Widths whose measurement would take long are priced from the widest one
// measured, in proportion to the square of the width. Safe to use from any thread.
ICostSource& MachineCosts();

// Processor seconds of the search on one core, for one task's ranges.
class RunTimeModel {
public:
    // Measures (through `costs`) what the task's widths need: at most a few dozen widths, the
    // prices in between interpolated.
    RunTimeModel(uint32_t nFirst, uint32_t nLast, int64_t kLow, int64_t kHigh, ICostSource& costs);

    // Exponent n over the odd k in [kFrom, kTo); its sieve preparation included when asked.
    double ExponentSeconds(uint32_t n, int64_t kFrom, int64_t kTo, bool withPreparation) const;
    // Exponents nFrom..nTo over the task's whole k range.
    double ExponentsSeconds(uint32_t nFrom, uint32_t nTo) const;
    double TaskSeconds() const { return ExponentsSeconds(nFirst_, nLast_); }

    // Where a run stands at exponent n, the position k reached: the work done and left, in
    // processor seconds of one core.
    struct Progress {
        double doneSeconds = 0, leftSeconds = 0;
        double share() const;  // of the task done, 0 to 1
    };
    Progress At(uint32_t n, int64_t kPosition) const;

    // Processor seconds per k (odd and even counted) at exponent n near k: turns a measured rate
    // of k per second into the wall time each modelled second takes.
    double SecondsPerK(uint32_t n, int64_t k) const;

private:
    double PricePerSquaring(uint32_t bits) const;
    double PerOddK(uint32_t n, uint32_t log2k) const;

    uint32_t nFirst_, nLast_;
    int64_t kLow_, kHigh_;
    SieveCost sieve_;
    std::vector<std::pair<uint32_t, double>> prices_;  // width in bits -> seconds per squaring
};

// Processor seconds of the whole task on `threads` cores.
double TaskSeconds(uint32_t nFirst, uint32_t nLast, int64_t kLow, int64_t kHigh, uint32_t threads, ICostSource& costs);

// Wall seconds left for a running search: the model's processor seconds left, each taking as
// long as the rate measured last (k per second at exponent n, near position k) says; with no rate
// measured yet, as long as on the run's cores when the search has them to itself.
double WallSecondsLeft(const RunTimeModel& model, uint32_t n, int64_t kPosition, double kPerSecond, uint32_t threads);

// A duration for a status line: "2d 05h", "3h 07m", "4m 09s"; "unknown" for none.
std::string FormatDuration(double seconds);

}  // namespace vontal
