// One exponent's candidates, from the sieve through the candidate test, handed back in k order.
#include "ExponentScan.h"

#include <algorithm>

namespace vontal {

ExponentScan::ExponentScan(uint32_t threads, int priorityLevel) : pool_(std::max<uint32_t>(threads, 1), priorityLevel) {}

ExponentScan::~ExponentScan() = default;  // the helpers finish what they hold and end

uint32_t ExponentScan::TestSize(uint32_t n, int64_t kMax) {
    const uint32_t bits = n + Log2Floor(kMax > 0 ? static_cast<uint64_t>(kMax) : 1) + 1;
    if (bits > kSideBySideBits) return 1;
    // A squaring of w limbs costs about w^2, and a test about n of them.
    const uint64_t w = (bits + 63) / 64;
    const uint64_t cost = static_cast<uint64_t>(n) * w * w;
    return static_cast<uint32_t>(std::clamp<uint64_t>((uint64_t{1} << 22) / cost, 64, 4096));
}

void ExponentScan::Prepare(uint32_t n, int64_t first, int64_t kMax) {
    sieve_.Prepare(n, static_cast<uint64_t>(first), pool_.threads());
    job_.sieve = &sieve_;
    job_.n = n;
    job_.kMax = kMax;
    // The exponent ends in the first block whose end is at or beyond kMax: before it every
    // multiplier is below kMax, and in it either a survivor or the block end reaches kMax.
    const uint64_t span = 2 * uint64_t{kSieveSize};
    const uint64_t from = static_cast<uint64_t>(first);
    job_.lastBlock = kMax > first ? (static_cast<uint64_t>(kMax) - from + span - 1) / span - 1 : 0;
    job_.testSize = TestSize(n, kMax);
    job_.publishSize = std::min(kPublishSize, job_.testSize);
}

bool ExponentScan::Run(IBatchSink& sink) { return pool_.Run(job_, sink); }

}  // namespace vontal
