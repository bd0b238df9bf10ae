// One exponent's candidates, from the sieve through the candidate test, handed back tested and
// in increasing k: on the computation thread alone, or with helpers on further cores.
#pragma once

#include <cstdint>
#include <memory>

#include "Kernel.h"
#include "Sieve.h"
#include "TestPool.h"

namespace vontal {

// Takes each tested batch, in k order: ks[i] with ms[i], the m that ks[i]·2^n + 1 divides or 0;
// endK, when not 0, is a block end at or beyond kMax that ends the exponent. Returns true to
// stop the scan after this batch.
class IBatchSink {
public:
    virtual ~IBatchSink() = default;
    virtual bool Publish(const uint64_t* ks, const uint32_t* ms, uint32_t count, uint64_t endK) = 0;
};

class ExponentScan {
public:
    // threads: cores that test (1 = the calling thread only); priorityLevel for the helpers
    // (-1: leave it).
    ExponentScan(uint32_t threads, int priorityLevel);
    ~ExponentScan();
    ExponentScan(const ExponentScan&) = delete;
    ExponentScan& operator=(const ExponentScan&) = delete;

    // Makes ready exponent n of a task that ends at kMax, from the odd multiplier `first` on.
    void Prepare(uint32_t n, int64_t first, int64_t kMax);
    // Tests every sieve survivor up to the first at or beyond kMax and hands each batch to the
    // sink once tested; nothing is handed over before every candidate below it is. False when
    // the sink asked to stop.
    bool Run(IBatchSink& sink);

    uint32_t primeCount() const { return sieve_.primeCount(); }
    uint32_t blockSize() const { return sieve_.blockSize(); }

    // Candidates per batch on the calling thread: several when the fastest kernel runs them side
    // by side (a batch at n = 3300 still takes some ten milliseconds, some fifty with a scalar
    // variant); wider ones one by one, so that a stop takes effect after one test.
    static constexpr uint32_t kBatchSize = 16;
    // Candidates per batch handed to other cores: many for small candidates, so that handing a
    // batch over costs little next to testing it; as many as on one core for wide ones.
    static constexpr uint32_t kPoolBatchSize = 1024;

private:
    bool RunAlone(IBatchSink& sink);
    bool RunWithHelpers(IBatchSink& sink);

    uint32_t threads_;
    int priorityLevel_;
    uint32_t n_ = 0;
    int64_t kMax_ = 0;
    uint32_t batchLimit_ = 1;
    uint32_t poolBatchLimit_ = 1;
    Sieve sieve_;
    KernelScratch scratch_;  // sized once per exponent, reused by every candidate
    uint64_t batchK_[kBatchSize] = {};
    uint32_t batchM_[kBatchSize] = {};
    std::unique_ptr<TTestPool> pool_;  // helpers on further cores, started with the first exponent
};

}  // namespace vontal
