// The run-time model and this machine's measured prices.
#include "session/RunTime.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/ExponentScan.h"
#include "engine/Kernel.h"
#include "engine/Sieve.h"

namespace vontal {

namespace {

double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Squarings of one candidate test: from the first m compared to the last.
double Squarings(uint64_t k, uint32_t n) {
    const uint32_t first = FirstMTested(k, n), last = LastMTested(k, n);
    return last >= first ? static_cast<double>(last - first + 1) : 1.0;
}

// A multiplier of the given binary length, odd: 2^l + 1 (1 for l = 0).
uint64_t MultiplierOfLength(uint32_t l) { return l == 0 ? 1 : (uint64_t{1} << l) | 1; }

uint32_t Width(uint32_t n, uint64_t k) { return n + Log2Floor(k) + 1; }

// The N-th odd prime, roughly (the (N+1)-th prime, by the expansion x (ln x + ln ln x - 1)):
// the sieve's largest prime, which sets how many candidates survive it.
double LargestPrime(uint32_t primeCount) {
    const double x = std::max(6.0, static_cast<double>(primeCount) + 1);
    return x * (std::log(x) + std::log(std::log(x)) - 1);
}

class MeasuredCosts : public ICostSource {
public:
    SieveCost Sieve() override {
        std::lock_guard lock(mutex_);
        if (!sieve_) sieve_ = MeasureSieve();
        return *sieve_;
    }

    double SquaringSeconds(uint32_t n, uint64_t k) override {
        std::lock_guard lock(mutex_);
        const uint32_t bits = Width(n, k);
        if (auto it = prices_.find(bits); it != prices_.end()) return it->second;
        // A moderate width first, to judge what a wide one would cost before measuring it.
        if (prices_.empty() && bits > kReferenceBits) prices_[kReferenceBits] = Measure(kReferenceBits - 40, MultiplierOfLength(39));
        if (!prices_.empty()) {
            // The nearest narrower width measured (or the narrowest of all).
            const auto above = prices_.lower_bound(bits);
            const auto& [knownBits, knownPrice] = above == prices_.begin() ? *above : *std::prev(above);
            const double guess = knownPrice * std::pow(static_cast<double>(bits) / knownBits, 2);
            // Too long to measure: priced from it (not kept, so that a measurement of a narrower
            // width later still counts).
            if (bits > knownBits && guess * Squarings(k, n) * BatchSize(n, k) > kLongestMeasurement) return guess;
        }
        const double price = Measure(n, k);
        prices_[bits] = price;
        return price;
    }

private:
    static constexpr uint32_t kReferenceBits = 200;
    static constexpr double kLongestMeasurement = 0.15;  // processor seconds for one width
    static constexpr double kEnoughMeasured = 0.004;

    static uint32_t BatchSize(uint32_t n, uint64_t k) {
        if (Width(n, k) > kSideBySideBits) return 1;  // tested one by one
        const int64_t kMax = static_cast<int64_t>(std::min<uint64_t>(k, uint64_t{1} << 62));
        return std::clamp<uint32_t>(ExponentScan::TestSize(n, kMax), 16, 4096);
    }

    // The real candidate test on batches as the search hands them over, until a few
    // milliseconds of processor time have passed.
    static double Measure(uint32_t n, uint64_t k) {
        const uint32_t count = BatchSize(n, k);
        std::vector<uint64_t> ks(count);
        std::vector<uint32_t> ms(count);
        KernelScratch scratch;
        scratch.reserveFor(n);
        const uint64_t top = (uint64_t{1} << 63) - 1;
        uint64_t next = k | 1;
        double spent = 0;
        uint64_t tested = 0;
        for (int batch = 0; batch < 256 && (batch == 0 || spent < kEnoughMeasured); ++batch) {
            for (uint64_t& c : ks) {
                c = next;
                next = next + 2 <= top ? next + 2 : (k | 1);
            }
            const double t0 = ThreadSeconds();
            TestCandidates(ks.data(), count, n, ms.data(), scratch);
            spent += ThreadSeconds() - t0;
            tested += count;
        }
        return std::max(spent, 1e-9) / (static_cast<double>(tested) * Squarings(k, n));
    }

    // The sieve of an exponent with the table of the everyday exponents: its preparation once the
    // table is built (as for every exponent after a task's first), and a few blocks.
    static SieveCost MeasureSieve() {
        constexpr uint32_t n = 30;
        constexpr uint64_t first = 1'000'000'000'001;
        constexpr uint32_t blocks = 4;
        vontal::Sieve sieve;
        sieve.Prepare(n, first);
        const double t0 = ThreadSeconds();
        sieve.Prepare(n + 1, first);
        const double t1 = ThreadSeconds();
        vontal::Sieve::Cursor cursor;
        std::vector<uint64_t> out(4096);
        uint64_t survivors = 0;
        for (uint32_t b = 0; b < blocks; ++b) {
            sieve.SieveBlock(b, cursor);
            uint32_t from = 0;
            for (;;) {
                const vontal::Sieve::Take take =
                    sieve.Survivors(cursor, std::numeric_limits<int64_t>::max(), from, out.data(), 4096);
                survivors += take.count;
                if (take.done) break;
            }
        }
        const double t2 = ThreadSeconds();
        const double oddK = static_cast<double>(blocks) * kSieveSize;
        SieveCost cost;
        cost.primeCount = sieve.primeCount();
        cost.prepareSecondsPerPrime = std::max(t1 - t0, 0.0) / cost.primeCount;
        cost.secondsPerOddK = std::max(t2 - t1, 1e-9) / oddK;
        cost.survivorShare = static_cast<double>(survivors) / oddK;
        return cost;
    }

    std::mutex mutex_;
    std::optional<SieveCost> sieve_;
    std::map<uint32_t, double> prices_;
};

}  // namespace

ICostSource& MachineCosts() {
    // One set of prices per kernel: a test may switch kernels within the process.
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<MeasuredCosts>> byKernel;
    std::lock_guard lock(mutex);
    std::unique_ptr<MeasuredCosts>& costs = byKernel[SelectedKernel()];
    if (!costs) costs = std::make_unique<MeasuredCosts>();
    return *costs;
}

// ---- The model -------------------------------------------------------------------------------

RunTimeModel::RunTimeModel(uint32_t nFirst, uint32_t nLast, int64_t kLow, int64_t kHigh, ICostSource& costs)
    : nFirst_(std::max<uint32_t>(nFirst, 1)),
      nLast_(std::max(nLast, std::max<uint32_t>(nFirst, 1))),
      kLow_(std::max<int64_t>(kLow, 1)),
      kHigh_(std::max(kHigh, std::max<int64_t>(kLow, 1))),
      sieve_(costs.Sieve()) {
    const uint32_t lLow = Log2Floor(static_cast<uint64_t>(kLow_)), lHigh = Log2Floor(static_cast<uint64_t>(kHigh_));
    const uint32_t bitsLow = nFirst_ + lLow + 1, bitsHigh = nLast_ + lHigh + 1;
    // Every width when there are few, else evenly spread ones, the ends included.
    constexpr uint32_t kSamples = 24;
    const uint32_t widths = bitsHigh - bitsLow + 1;
    for (uint32_t i = 0; i < std::min(widths, kSamples); ++i) {
        const uint32_t bits = widths <= kSamples
                                  ? bitsLow + i
                                  : bitsLow + static_cast<uint32_t>(static_cast<uint64_t>(widths - 1) * i / (kSamples - 1));
        // An exponent and a multiplier of the task that make this width.
        const uint32_t n = std::clamp<int64_t>(static_cast<int64_t>(bits) - 1 - lHigh, nFirst_, nLast_);
        const uint32_t l = std::clamp<int64_t>(static_cast<int64_t>(bits) - 1 - n, lLow, lHigh);
        prices_.emplace_back(bits, costs.SquaringSeconds(n, MultiplierOfLength(l)));
    }
}

double RunTimeModel::PricePerSquaring(uint32_t bits) const {
    if (prices_.empty()) return 0;
    auto above = std::lower_bound(prices_.begin(), prices_.end(), bits,
                                  [](const std::pair<uint32_t, double>& p, uint32_t b) { return p.first < b; });
    if (above == prices_.end()) return prices_.back().second;
    if (above->first == bits || above == prices_.begin()) return above->second;
    const auto below = std::prev(above);
    const double t = static_cast<double>(bits - below->first) / (above->first - below->first);
    return below->second + t * (above->second - below->second);
}

double RunTimeModel::PerOddK(uint32_t n, uint32_t log2k) const {
    // Fewer candidates survive a deeper sieve: the share goes as 1 / ln of its largest prime.
    const double share = sieve_.survivorShare * std::log(LargestPrime(sieve_.primeCount)) /
                         std::log(LargestPrime(PrimeCountFor(n)));
    const uint64_t k = MultiplierOfLength(log2k);
    return sieve_.secondsPerOddK + share * Squarings(k, n) * PricePerSquaring(Width(n, k));
}

double RunTimeModel::ExponentSeconds(uint32_t n, int64_t kFrom, int64_t kTo, bool withPreparation) const {
    double seconds = withPreparation ? sieve_.prepareSecondsPerPrime * PrimeCountFor(n) : 0;
    kFrom = std::max<int64_t>(kFrom, 1);
    if (kTo <= kFrom) return seconds;
    // Pieces of one binary length of k, so of one candidate width each.
    const uint64_t from = static_cast<uint64_t>(kFrom), to = static_cast<uint64_t>(kTo);
    for (uint32_t l = Log2Floor(from); l <= Log2Floor(to - 1); ++l) {
        const uint64_t lo = std::max(from, uint64_t{1} << l);
        const uint64_t hi = l >= 63 ? to : std::min(to, uint64_t{1} << (l + 1));
        if (hi > lo) seconds += static_cast<double>(hi - lo) / 2 * PerOddK(n, l);
    }
    return seconds;
}

double RunTimeModel::ExponentsSeconds(uint32_t nFrom, uint32_t nTo) const {
    if (nTo < nFrom) return 0;
    // Long ranges of exponents are summed in strides, each priced at its middle exponent.
    const uint64_t count = uint64_t{nTo} - nFrom + 1;
    const uint64_t stride = std::max<uint64_t>(1, count / 2000);
    double seconds = 0;
    for (uint64_t n = nFrom; n <= nTo; n += stride) {
        const uint64_t width = std::min<uint64_t>(stride, uint64_t{nTo} - n + 1);
        seconds += static_cast<double>(width) *
                   ExponentSeconds(static_cast<uint32_t>(n + (width - 1) / 2), kLow_, kHigh_, true);
    }
    return seconds;
}

double RunTimeModel::Progress::share() const {
    const double all = doneSeconds + leftSeconds;
    return all > 0 ? std::clamp(doneSeconds / all, 0.0, 1.0) : 0.0;
}

RunTimeModel::Progress RunTimeModel::At(uint32_t n, int64_t kPosition) const {
    n = std::clamp(n, nFirst_, nLast_);
    const int64_t k = std::clamp(kPosition, kLow_, kHigh_);
    Progress p;
    p.doneSeconds = ExponentsSeconds(nFirst_, n - 1) + ExponentSeconds(n, kLow_, k, true);
    p.leftSeconds = ExponentSeconds(n, k, kHigh_, false) + ExponentsSeconds(n + 1, nLast_);
    return p;
}

double RunTimeModel::SecondsPerK(uint32_t n, int64_t k) const {
    return PerOddK(n, Log2Floor(static_cast<uint64_t>(std::max<int64_t>(k, 1)))) / 2;
}

double TaskSeconds(uint32_t nFirst, uint32_t nLast, int64_t kLow, int64_t kHigh, uint32_t threads, ICostSource& costs) {
    return RunTimeModel(nFirst, nLast, kLow, kHigh, costs).TaskSeconds() / std::max<uint32_t>(threads, 1);
}

double WallSecondsLeft(const RunTimeModel& model, uint32_t n, int64_t kPosition, double kPerSecond, uint32_t threads) {
    const double left = model.At(n, kPosition).leftSeconds;
    const double perK = model.SecondsPerK(n, kPosition);
    // The measured rate takes in the priority, the machine's load and the cores in use.
    if (kPerSecond > 0 && perK > 0) return left / (kPerSecond * perK);
    return left / std::max<uint32_t>(threads, 1);
}

std::string FormatDuration(double seconds) {
    if (!(seconds >= 0) || seconds > 1e12) return "unknown";
    const long long s = std::llround(seconds);
    char text[64];
    if (s >= 86400)
        std::snprintf(text, sizeof text, "%lldd %02lldh", s / 86400, s % 86400 / 3600);
    else if (s >= 3600)
        std::snprintf(text, sizeof text, "%lldh %02lldm", s / 3600, s % 3600 / 60);
    else
        std::snprintf(text, sizeof text, "%lldm %02llds", s / 60, s % 60);
    return text;
}

}  // namespace vontal
