// The work model and the cut of a task into pieces.
#include "cluster/SplitPlan.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <queue>

#include "engine/Sieve.h"

namespace vontal::cluster {

namespace {

constexpr double kSieveWorkPerOddK = 1.0;
constexpr double kSetupWorkPerPrime = 8.0;  // measured: 15 ms for the 800,000 primes of n=21
constexpr int kLogSteps = 63;  // floor(log2 k) for 1 <= k < 2^63

// Share of the odd k of exponent n that survive the sieve: Mertens' product over the odd primes
// up to the table's largest, 2 e^-gamma / ln p.
double SurvivingShare(uint32_t n) {
    const double primes = PrimeCountFor(n);
    const double largest = primes * (std::log(primes) + std::log(std::log(primes)));
    return 1.1229 / std::log(largest);
}

// Work per odd k of exponent n whose candidates have floor(log2 k) = j.
double WorkPerOddK(uint32_t n, int j) {
    const double words = static_cast<double>((static_cast<uint64_t>(j) + n) / 64 + 1);
    return kSieveWorkPerOddK + SurvivingShare(n) * n * words * std::sqrt(words);
}

// Odd k from a to b (both odd, a <= b + 2); 0 when none.
double OddCount(int64_t a, int64_t b) { return b < a ? 0.0 : static_cast<double>((b - a) / 2 + 1); }

// Work per odd k, summed over a group of exponents, for each floor(log2 k).
using Weights = std::array<double, kLogSteps>;

Weights GroupWeights(uint32_t nFirst, uint32_t nLast) {
    Weights w{};
    for (uint32_t n = nFirst; n <= nLast && n != 0; ++n)
        for (int j = 0; j < kLogSteps; ++j) w[j] += WorkPerOddK(n, j);
    return w;
}

// The work of the odd k from a to b (both odd) with per-odd-k weights w.
double WeightedWork(const Weights& w, int64_t a, int64_t b) {
    double work = 0;
    for (int j = 0; j < kLogSteps && a <= b; ++j) {
        const int64_t segEnd = j == kLogSteps - 1 ? INT64_MAX : (int64_t{2} << j) - 1;  // 2^(j+1) - 1
        if (a > segEnd) continue;
        const int64_t last = std::min(b, LastOddK(segEnd));
        work += w[j] * OddCount(a, last);
        if (last == b) break;  // b may be 2^63 - 1, with nothing above it
        a = last + 2;
    }
    return work;
}

double SetupWork(uint32_t nFirst, uint32_t nLast) {
    double work = 0;
    for (uint32_t n = nFirst; n <= nLast && n != 0; ++n) work += ExponentSetupWork(n);
    return work;
}

struct Group {
    uint32_t nFirst, nLast;
    Weights weights;
    double rangeWork, setupWork;
    double oddCount;
    int pieces = 1;
    double PieceWork() const { return rangeWork / pieces + setupWork; }
};

// The exponents in `count` groups of consecutive n, each about the same share of the work.
std::vector<Group> GroupExponents(const Piece& task, uint32_t count) {
    const int64_t lo = task.firstOdd(), hi = task.lastOdd();
    std::vector<double> work;
    double total = 0;
    for (uint32_t n = task.nFirst; n <= task.nLast && n != 0; ++n) {
        work.push_back(RangeWork(n, lo, hi) + ExponentSetupWork(n));
        total += work.back();
    }
    std::vector<Group> groups;
    const uint32_t exponents = static_cast<uint32_t>(work.size());
    uint32_t start = 0;
    double done = 0;
    for (uint32_t g = 1; g <= count; ++g) {
        uint32_t end = start + 1;  // one past the group's last exponent
        if (g == count) {
            end = exponents;
        } else {
            const double target = total * g / count;
            double sum = done + work[start];
            // Take the next exponent while that brings the sum nearer the target and leaves one
            // for each group still to come.
            while (end < exponents - (count - g) && std::fabs(sum + work[end] - target) < std::fabs(sum - target))
                sum += work[end++];
        }
        for (uint32_t i = start; i < end; ++i) done += work[i];
        Group group{task.nFirst + start, task.nFirst + end - 1, {}, 0, 0, OddCount(lo, hi)};
        group.weights = GroupWeights(group.nFirst, group.nLast);
        group.rangeWork = WeightedWork(group.weights, lo, hi);
        group.setupWork = SetupWork(group.nFirst, group.nLast);
        groups.push_back(group);
        start = end;
    }
    return groups;
}

// Gives the pieces one by one to the group whose pieces are dearest. Returns the dearest piece's
// work, or a negative number when the groups cannot take `parts` pieces.
double SharePieces(std::vector<Group>& groups, int parts) {
    auto cheaper = [&](size_t a, size_t b) { return groups[a].PieceWork() < groups[b].PieceWork(); };
    std::priority_queue<size_t, std::vector<size_t>, decltype(cheaper)> dearest(cheaper);
    for (size_t g = 0; g < groups.size(); ++g) dearest.push(g);
    for (int left = parts - static_cast<int>(groups.size()); left > 0; --left) {
        // A group cannot have more pieces than odd k; it then leaves the queue.
        while (!dearest.empty() && groups[dearest.top()].pieces >= groups[dearest.top()].oddCount) dearest.pop();
        if (dearest.empty()) return -1;
        const size_t g = dearest.top();
        dearest.pop();
        ++groups[g].pieces;
        dearest.push(g);
    }
    double worst = 0;
    for (const Group& g : groups) worst = std::max(worst, g.PieceWork());
    return worst;
}

// The smallest odd x in [from, to] whose work from `start` on reaches `target` (to when none).
int64_t OddKReaching(const Weights& w, int64_t start, double target, int64_t from, int64_t to) {
    while (from < to) {
        const int64_t mid = from + ((to - from) / 4) * 2;  // odd, from <= mid < to
        if (WeightedWork(w, start, mid) >= target) to = mid;
        else from = mid + 2;
    }
    return from;
}

void SliceGroup(const Piece& task, const Group& g, std::vector<Piece>& out) {
    const int64_t lo = task.firstOdd(), hi = task.lastOdd();
    int64_t start = lo;
    for (int i = 1; i <= g.pieces; ++i) {
        Piece p;
        p.nFirst = g.nFirst;
        p.nLast = g.nLast;
        int64_t last = hi;
        if (i < g.pieces) {
            // Leaves at least one odd k for each slice still to come.
            const int64_t latest = hi - 2 * int64_t{g.pieces - i};
            last = OddKReaching(g.weights, lo, g.rangeWork * i / g.pieces, start, latest);
        }
        if (start == lo) {
            p.kLow = task.kLow;
            p.kLowText = task.kLowText;
        } else {
            p.kLow = start;
            p.kLowText = std::to_string(start);
        }
        if (i == g.pieces) {
            p.kHigh = task.kHigh;
            p.kHighText = task.kHighText;
        } else {
            p.kHigh = last;
            p.kHighText = std::to_string(last);
        }
        out.push_back(p);
        if (i < g.pieces) start = last + 2;
    }
}

}  // namespace

double ExponentSetupWork(uint32_t n) { return kSetupWorkPerPrime * PrimeCountFor(n); }

double RangeWork(uint32_t n, int64_t firstOdd, int64_t lastOdd) {
    Weights w{};
    for (int j = 0; j < kLogSteps; ++j) w[j] = WorkPerOddK(n, j);
    return WeightedWork(w, firstOdd, lastOdd);
}

double PieceWork(const Piece& piece) {
    double work = 0;
    for (uint32_t n = piece.nFirst; n <= piece.nLast && n != 0; ++n)
        work += ExponentSetupWork(n) + RangeWork(n, piece.firstOdd(), piece.lastOdd());
    return work;
}

std::vector<Piece> SplitTask(const Piece& task, int parts) {
    const uint32_t exponents = task.nLast - task.nFirst + 1;
    const double oddCount = OddCount(task.firstOdd(), task.lastOdd());
    // No more pieces than (n, odd k) of the task.
    if (parts > static_cast<double>(exponents) * oddCount) parts = static_cast<int>(static_cast<double>(exponents) * oddCount);
    if (parts < 1) parts = 1;
    // The numbers of groups tried: all up to 64, then a few more spread wide, so that a task of
    // many exponents in many parts is cut in moments.
    std::vector<uint32_t> counts;
    const uint32_t most = std::min<uint32_t>(static_cast<uint32_t>(parts), exponents);
    for (uint32_t g = 1; g <= most; g = g < 64 ? g + 1 : g + g / 8) counts.push_back(g);
    if (counts.back() != most) counts.push_back(most);

    std::vector<Group> best;
    double bestWorst = 0;
    for (uint32_t count : counts) {
        std::vector<Group> groups = GroupExponents(task, count);
        const double worst = SharePieces(groups, parts);
        if (worst < 0) continue;
        // Fewer groups win a tie (a thousandth): fewer pieces then begin an exponent twice.
        if (best.empty() || worst < bestWorst * 0.999) {
            best = std::move(groups);
            bestWorst = worst;
        }
    }
    std::vector<Piece> pieces;
    for (const Group& g : best) SliceGroup(task, g, pieces);
    return pieces;
}

}  // namespace vontal::cluster
