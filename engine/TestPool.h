// Helpers of the computation thread that test batches of candidates on further cores.
//
// The computation thread stays the only one that sieves, publishes KTemp and writes records:
// it fills a ring of batches in k order, and takes them back in that same order once tested
// (testing one itself when no helper has taken it yet). So records stay in increasing k and a
// saved position never passes a candidate whose test has not finished.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vontal {

class TTestPool {
public:
    static constexpr uint32_t kSlotSize = 1024;       // candidates per batch, at most
    static constexpr uint32_t kSlotsPerThread = 32;  // batches in flight, per testing thread

    struct Slot {
        uint64_t k[kSlotSize];
        uint32_t m[kSlotSize];
        uint32_t count = 0;
        uint64_t endK = 0;  // the block end at or beyond kMax that ends the exponent, or 0
        uint32_t n = 0;
    };

    // Starts `helpers` threads at the given priority level (-1: leave it).
    TTestPool(uint32_t helpers, int priorityLevel);
    ~TTestPool();  // helpers finish the batch in hand, then end
    TTestPool(const TTestPool&) = delete;
    TTestPool& operator=(const TTestPool&) = delete;

    // The next slot to fill, or nullptr while all are in flight.
    Slot* FreeSlot();
    void Submit(Slot* slot);  // filled: a helper may test it
    bool Empty();             // nothing submitted and not yet released
    // The oldest submitted slot, tested: by a helper, or here when none has taken it.
    Slot& WaitOldest();
    void ReleaseOldest();     // published: free again

private:
    enum class State { Free, Filled, Testing, Done };
    void Work(int priorityLevel);
    // Claims the oldest submitted slot nobody has taken and tests it, without the lock meanwhile.
    void TestNext(std::unique_lock<std::mutex>& lock);

    std::vector<Slot> slots_;
    std::vector<State> states_;
    uint64_t head_ = 0, tail_ = 0;  // submitted slots are [head_, tail_), by sequence number
    uint64_t claimed_ = 0;          // [head_, claimed_) are taken for testing: always in order
    bool quit_ = false;
    std::mutex mutex_;
    std::condition_variable work_, done_;
    std::vector<std::thread> helpers_;
};

}  // namespace vontal
