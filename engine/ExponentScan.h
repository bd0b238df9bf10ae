// One exponent's candidates, from the sieve through the candidate test, handed back tested and
// in increasing k: on the computation thread alone, or with helpers on further cores.
#pragma once

#include <cstdint>
#include <memory>

#include "BatchSink.h"
#include "Kernel.h"
#include "Sieve.h"
#include "TestPool.h"

namespace vontal {

class ExponentScan {
public:
    // threads: cores that sieve and test (1 = the calling thread only); priorityLevel for the
    // helpers (-1: leave it).
    ExponentScan(uint32_t threads, int priorityLevel);
    ~ExponentScan();
    ExponentScan(const ExponentScan&) = delete;
    ExponentScan& operator=(const ExponentScan&) = delete;

    // Makes ready exponent n of a task that ends at kMax, from the odd multiplier `first` on.
    void Prepare(uint32_t n, int64_t first, int64_t kMax);
    // Tests every sieve survivor up to the first at or beyond kMax and hands each batch to the
    // sink once tested; nothing is handed over before every candidate below it is. False when
    // the sink asked to stop. Each Run needs a Prepare before it.
    bool Run(IBatchSink& sink);

    uint32_t primeCount() const { return sieve_.primeCount(); }
    uint32_t blockSize() const { return sieve_.blockSize(); }
    uint32_t threads() const { return pool_.threads(); }
    // Time the cores spent waiting for work, added up over every Run (for the benchmark).
    std::chrono::nanoseconds idle() { return pool_.idle() + sieve_.turnWait(); }

    // Candidates a thread tests at a time for exponent n up to kMax: enough that handing them
    // between threads costs little next to testing them, few enough that a stop takes effect
    // within milliseconds; one at a time where a single test takes long.
    static uint32_t TestSize(uint32_t n, int64_t kMax);
    // Candidates handed to the sink at a time: a stop takes effect after such a batch.
    static constexpr uint32_t kPublishSize = 16;

private:
    Sieve sieve_;      // declared before the pool, whose helpers use it until they end
    TestPool pool_;
    TestPool::Job job_;
};

}  // namespace vontal
