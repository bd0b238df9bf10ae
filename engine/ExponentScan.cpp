// One exponent's candidates, from the sieve through the candidate test, handed back in k order.
#include "ExponentScan.h"

#include <algorithm>

namespace vontal {

ExponentScan::ExponentScan(uint32_t threads, int priorityLevel)
    : threads_(std::max<uint32_t>(threads, 1)), priorityLevel_(priorityLevel) {}

ExponentScan::~ExponentScan() = default;  // the helpers finish the batch in hand and end

void ExponentScan::Prepare(uint32_t n, int64_t first, int64_t kMax) {
    n_ = n;
    kMax_ = kMax;
    scratch_.reserveFor(n);
    const uint32_t widestBits = n + Log2Floor(kMax > 0 ? static_cast<uint64_t>(kMax) : 1) + 1;
    batchLimit_ = widestBits <= kSideBySideBits ? kBatchSize : 1;
    poolBatchLimit_ = widestBits <= 256 ? kPoolBatchSize : batchLimit_;
    sieve_.Prepare(n, static_cast<uint64_t>(first));
}

bool ExponentScan::Run(IBatchSink& sink) { return threads_ == 1 ? RunAlone(sink) : RunWithHelpers(sink); }

bool ExponentScan::RunAlone(IBatchSink& sink) {
    const uint64_t bound = kMax_ > 0 ? static_cast<uint64_t>(kMax_) : 0;
    for (;;) {
        uint64_t endK = 0;
        const uint32_t count = sieve_.Fill(kMax_, batchK_, batchLimit_, endK);
        if (count > 0) TestCandidates(batchK_, count, n_, batchM_, scratch_);
        if (sink.Publish(batchK_, batchM_, count, endK)) return false;
        if (endK != 0 || (count > 0 && batchK_[count - 1] >= bound)) return true;
    }
}

// Batches are filled ahead in k order, tested by whichever core is free, and handed back in
// that same order.
bool ExponentScan::RunWithHelpers(IBatchSink& sink) {
    if (!pool_) pool_ = std::make_unique<TTestPool>(threads_ - 1, priorityLevel_);
    static_assert(TTestPool::kSlotSize >= kPoolBatchSize);
    const uint64_t bound = kMax_ > 0 ? static_cast<uint64_t>(kMax_) : 0;
    bool exhausted = false;
    for (;;) {
        while (!exhausted) {
            TTestPool::Slot* slot = pool_->FreeSlot();
            if (!slot) break;
            slot->n = n_;
            slot->count = sieve_.Fill(kMax_, slot->k, poolBatchLimit_, slot->endK);
            exhausted = slot->endK != 0 || (slot->count > 0 && slot->k[slot->count - 1] >= bound);
            pool_->Submit(slot);
        }
        if (pool_->Empty()) return true;
        TTestPool::Slot& oldest = pool_->WaitOldest();
        const bool stop = sink.Publish(oldest.k, oldest.m, oldest.count, oldest.endK);
        pool_->ReleaseOldest();
        if (stop) return false;
    }
}

}  // namespace vontal
