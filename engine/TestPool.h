// The cores of one exponent's scan: the computation thread and its helpers sieve blocks and test
// batches of candidates, and the computation thread hands the tested batches on in k order.
//
// Every thread takes whatever is most urgent: the oldest batch nobody is testing yet, or, when
// few are left, the next block to sieve. Blocks are sieved by several threads at once (each with
// its own cursor; the sieve's shared buckets take the blocks in order), their survivors are cut
// into batches, and the batches go back to the computation thread in block and batch order. So
// records stay in increasing k, and a saved position never passes a candidate whose test has
// not finished.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "BatchSink.h"
#include "Kernel.h"
#include "Sieve.h"

namespace vontal {

class TestPool {
public:
    // One exponent's work.
    struct Job {
        Sieve* sieve = nullptr;   // prepared for the exponent
        uint32_t n = 0;
        int64_t kMax = 0;
        uint64_t lastBlock = 0;   // the block in which the exponent ends: its end is at or beyond kMax
        uint32_t testSize = 1;    // candidates a thread tests at a time
        uint32_t publishSize = 1; // candidates handed to the sink at a time (at most testSize)
    };

    // threads: cores that work, the calling thread included (helpers are started for the
    // others, at the given priority level; -1 leaves it).
    TestPool(uint32_t threads, int priorityLevel);
    ~TestPool();  // helpers finish what they hold, then end
    TestPool(const TestPool&) = delete;
    TestPool& operator=(const TestPool&) = delete;

    // Runs the job to the end of its exponent on every core, handing the tested batches to the
    // sink on this thread. False when the sink asked to stop: every thread has then finished what
    // it held, and the rest of the exponent is left.
    bool Run(const Job& job, IBatchSink& sink);

    uint32_t threads() const { return static_cast<uint32_t>(workers_.size()); }
    // Time the threads spent waiting for work while a job ran, added up (for the benchmark).
    std::chrono::nanoseconds idle() {
        std::lock_guard lock(mutex_);
        return idle_;
    }

private:
    // A block's survivors and, once tested, their m. The memory goes back to the thread that
    // sieved the block when the block is handed on, so that each thread writes its survivors
    // where it wrote them before, not into lines another core holds.
    struct Candidates {
        std::vector<uint64_t> k;
        std::vector<uint32_t> m;
    };
    // A block on its way: sieved into survivors, tested batch by batch, handed on.
    struct Slot {
        enum class State { Free, Sieving, Sieved };
        State state = State::Free;
        uint64_t block = 0;
        Candidates candidates;
        uint32_t count = 0;           // survivors
        bool ends = false;            // the exponent ends in this block
        uint64_t endK = 0;            // ... at this block end (0: at its last survivor)
        uint32_t batches = 0;         // of testSize candidates
        uint32_t claimed = 0;         // batches taken for testing, in order
        uint32_t sievedBy = 0;        // the worker that sieved it: its survivors are in that core's cache
        std::vector<uint8_t> tested;  // by batch
    };
    // What a thread holds of its own: its sieve cursor and its kernel's work space.
    struct Worker {
        Sieve::Cursor cursor;
        KernelScratch scratch;
        std::vector<Candidates> spare;  // of the blocks it sieved, handed on (under the lock)
    };
    struct Task {
        enum class Kind { None, Sieve, Test };
        Kind kind = Kind::None;
        Slot* slot = nullptr;
        uint32_t batch = 0;
    };

    Task PickTask(uint32_t worker);              // under the lock
    void FreeSlot(Slot& slot);                   // under the lock
    bool ClaimBatch(Task& task, uint32_t worker);  // under the lock
    void Perform(const Task& task, Worker& worker);  // without it
    void Complete(const Task& task);         // under the lock
    bool CanSieve() const;                   // under the lock
    void Work(uint32_t index, int priorityLevel);
    void WaitForChange(std::unique_lock<std::mutex>& lock);

    std::vector<std::unique_ptr<Worker>> workers_;  // [0] is the computation thread's
    std::vector<Slot> slots_;                       // block b in slot b mod size
    std::mutex mutex_;
    std::condition_variable changed_;  // work to take, a batch tested, a slot free
    uint32_t waiting_ = 0;             // threads waiting on changed_
    Job job_;
    bool active_ = false;    // a job runs
    bool stopping_ = false;  // the sink asked to stop: nothing new is taken
    bool quit_ = false;
    uint32_t busy_ = 0;      // tasks in hand
    uint64_t nextBlock_ = 0; // the next block to sieve
    uint32_t unclaimed_ = 0; // batches of sieved blocks that nobody tests yet
    uint32_t sieving_ = 0;   // blocks being sieved
    std::chrono::nanoseconds idle_{0};
    std::vector<std::thread> helpers_;
};

}  // namespace vontal
