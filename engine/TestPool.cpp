// The cores of one exponent's scan.
#include "TestPool.h"

#include <algorithm>
#include <chrono>

#include "ThreadPriority.h"

namespace vontal {

namespace {
constexpr uint32_t kSieveAhead = 4;  // batches waiting for each thread below which sieving comes first
constexpr uint32_t kLocalTestSize = 1024;  // batches at least this large are tested where sieved first
}  // namespace

TestPool::TestPool(uint32_t threads, int priorityLevel) {
    threads = std::max<uint32_t>(threads, 1);
    // Each thread may sieve a block while the blocks before it are tested and handed on.
    slots_.resize(2 * static_cast<size_t>(threads) + 1);
    for (uint32_t i = 0; i < threads; ++i) {
        workers_.push_back(std::make_unique<Worker>());
        workers_.back()->spare.reserve(slots_.size());
    }
    for (uint32_t i = 1; i < threads; ++i) helpers_.emplace_back([this, i, priorityLevel] { Work(i, priorityLevel); });
}

TestPool::~TestPool() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    for (auto& t : helpers_) t.join();
}

bool TestPool::CanSieve() const {
    return active_ && !stopping_ && nextBlock_ <= job_.lastBlock &&
           slots_[nextBlock_ % slots_.size()].state == Slot::State::Free;
}

// The oldest batch nobody tests yet, if any (under the lock). Where a block's candidates are
// tested in a few milliseconds (batches of kLocalTestSize or more), of a block this worker sieved
// itself, whose survivors are still in its core's cache, where there is one; else of any block.
// (Taking the oldest of any block, each core read about half of its candidates from the other
// core's cache: two cores searched 1.87 times as fast as one at n = 50, now 1.94.) Blocks whose
// test takes long are tested by every thread, the oldest first, so that each is handed on as
// soon as it can be: with each thread on its own block, every block took twice as long to
// complete at n = 1000, and the saved position moved on half as often.
bool TestPool::ClaimBatch(Task& task, uint32_t worker) {
    if (unclaimed_ == 0 || !active_ || stopping_) return false;
    // Blocks are sieved in order but may finish out of it.
    const size_t size = slots_.size();
    const uint64_t oldest = nextBlock_ > size ? nextBlock_ - size : 0;
    Slot* found = nullptr;
    for (uint64_t b = oldest; b < nextBlock_; ++b) {
        Slot& slot = slots_[b % size];
        if (slot.state == Slot::State::Sieved && slot.block == b && slot.claimed < slot.batches) {
            if (slot.sievedBy == worker || job_.testSize < kLocalTestSize) {
                found = &slot;
                break;
            }
            if (!found) found = &slot;
        }
    }
    if (!found) return false;
    task.kind = Task::Kind::Test;
    task.slot = found;
    task.batch = found->claimed++;
    --unclaimed_;
    ++busy_;
    return true;
}

// The oldest untested batch; but when fewer batches wait than four for each thread, the next
// block first, so that the threads do not run dry while it is sieved. (With one batch for each
// thread, a thread that found none often had to wait for the block that another had just begun
// to sieve: two cores searched 1.74 times as fast as one at n = 50; with four, 1.85 to 1.9.)
TestPool::Task TestPool::PickTask(uint32_t worker) {
    Task task;
    if (!active_ || stopping_) return task;
    const bool canSieve = CanSieve();
    if (canSieve && unclaimed_ < kSieveAhead * workers_.size() && sieving_ < workers_.size()) {
        task.kind = Task::Kind::Sieve;
    } else if (ClaimBatch(task, worker)) {
        return task;
    } else if (canSieve) {
        task.kind = Task::Kind::Sieve;
    }
    if (task.kind == Task::Kind::Sieve) {
        Slot& slot = slots_[nextBlock_ % slots_.size()];
        slot.state = Slot::State::Sieving;
        slot.block = nextBlock_++;
        slot.sievedBy = worker;
        std::vector<Candidates>& spare = workers_[worker]->spare;
        if (!spare.empty()) {
            slot.candidates = std::move(spare.back());
            spare.pop_back();
        }
        task.slot = &slot;
        ++sieving_;
        ++busy_;
    }
    return task;
}

void TestPool::Perform(const Task& task, Worker& worker) {
    Slot& slot = *task.slot;
    if (task.kind == Task::Kind::Sieve) {
        Sieve& sieve = *job_.sieve;
        sieve.StrikeSmallPrimes(slot.block, worker.cursor);
        // The bucket step waits for the blocks before this one; meanwhile this thread tests
        // batches (which leave its cursor alone) rather than wait.
        while (!sieve.TryStrikeBuckets(worker.cursor)) {
            Task batch;
            {
                std::lock_guard lock(mutex_);
                if (!ClaimBatch(batch, task.slot->sievedBy)) batch.kind = Task::Kind::None;
            }
            if (batch.kind == Task::Kind::None) {
                sieve.StrikeBucketsInTurn(worker.cursor);
                break;
            }
            try {
                Perform(batch, worker);
            } catch (...) {
                {
                    std::lock_guard lock(mutex_);
                    --busy_;  // the batch is not tested, and never will be: the exponent is left
                }
                sieve.StrikeBucketsInTurn(worker.cursor);  // the blocks after this one wait for it
                throw;
            }
            std::lock_guard lock(mutex_);
            Complete(batch);
        }
        // Room for every survivor: at most the clear bits.
        uint32_t clear = 0;
        const uint64_t* bits = worker.cursor.bits();
        for (uint32_t w = 0; w < kSieveSize / 64; ++w) clear += static_cast<uint32_t>(__builtin_popcountll(~bits[w]));
        Candidates& out = slot.candidates;
        if (out.k.size() < clear) {
            out.k.resize(clear);
            out.m.resize(clear);
        }
        uint32_t from = 0;
        const Sieve::Take take = sieve.Survivors(worker.cursor, job_.kMax, from, out.k.data(), clear + 1);
        slot.count = take.count;
        slot.ends = take.ends;
        slot.endK = take.endK;
        slot.batches = (take.count + job_.testSize - 1) / job_.testSize;
        slot.claimed = 0;
        if (slot.tested.size() < slot.batches) slot.tested.resize(slot.batches);
        std::fill(slot.tested.begin(), slot.tested.begin() + slot.batches, 0);
        return;
    }
    const uint32_t first = task.batch * job_.testSize;
    const uint32_t count = std::min(job_.testSize, slot.count - first);
    TestCandidates(slot.candidates.k.data() + first, count, job_.n, slot.candidates.m.data() + first, worker.scratch);
}

void TestPool::FreeSlot(Slot& slot) {
    slot.state = Slot::State::Free;
    if (!slot.candidates.k.empty()) workers_[slot.sievedBy]->spare.push_back(std::move(slot.candidates));
    slot.candidates = {};
}

void TestPool::Complete(const Task& task) {
    Slot& slot = *task.slot;
    if (task.kind == Task::Kind::Sieve) {
        slot.state = Slot::State::Sieved;
        unclaimed_ += slot.batches;
        --sieving_;
    } else {
        slot.tested[task.batch] = 1;
    }
    --busy_;
    if (waiting_ > 0) changed_.notify_all();
}

// Waits for another thread's progress; the time it takes, with nothing to do, is counted (the
// benchmark reports it as the share of the cores left idle).
void TestPool::WaitForChange(std::unique_lock<std::mutex>& lock) {
    const auto start = std::chrono::steady_clock::now();
    ++waiting_;
    changed_.wait(lock);
    --waiting_;
    if (active_) idle_ += std::chrono::steady_clock::now() - start;
}

void TestPool::Work(uint32_t index, int priorityLevel) {
    if (priorityLevel >= 0) {
        try {
            ApplyThreadPriority(CurrentThreadId(), priorityLevel);
        } catch (...) {
            // The computation thread reports a refused priority; a helper just runs on.
        }
    }
    Worker& worker = *workers_[index];
    std::unique_lock lock(mutex_);
    for (;;) {
        const Task task = PickTask(index);
        if (task.kind != Task::Kind::None) {
            lock.unlock();
            Perform(task, worker);
            lock.lock();
            Complete(task);
            continue;
        }
        if (quit_) return;
        WaitForChange(lock);
    }
}

bool TestPool::Run(const Job& job, IBatchSink& sink) {
    Worker& self = *workers_[0];
    std::unique_lock lock(mutex_);
    job_ = job;
    job_.testSize = std::max<uint32_t>(job_.testSize, 1);
    job_.publishSize = std::clamp<uint32_t>(job_.publishSize, 1, job_.testSize);
    for (auto& worker : workers_) worker->scratch.reserveFor(job_.n);
    for (Slot& slot : slots_)
        if (slot.state != Slot::State::Free) FreeSlot(slot);
    nextBlock_ = 0;
    unclaimed_ = sieving_ = 0;
    stopping_ = false;
    active_ = true;
    if (waiting_ > 0) changed_.notify_all();
    // However this ends (a stop, the exponent's end, an exception from the sink), nothing new is
    // taken and what is in hand is finished before the job's state goes.
    struct Settle {
        TestPool& pool;
        std::unique_lock<std::mutex>& lock;
        ~Settle() {
            if (!lock.owns_lock()) lock.lock();
            pool.stopping_ = true;
            while (pool.busy_ > 0) {
                ++pool.waiting_;
                pool.changed_.wait(lock);
                --pool.waiting_;
            }
            pool.active_ = false;
        }
    } settle{*this, lock};
    uint64_t block = 0;   // the next to hand on ...
    uint32_t at = 0;      // ... from this candidate on
    bool stop = false, finished = false;
    while (!stop && !finished) {
        // Hand on what is tested, in order; a block's last part carries its end.
        Slot& slot = slots_[block % slots_.size()];
        if (slot.state == Slot::State::Sieved && slot.block == block &&
            (at == slot.count || slot.tested[at / job_.testSize])) {
            // The tested batch's parts one after the other without taking the lock between them
            // (the slot stays as it is until it is freed below): taking it for each part of
            // sixteen cost 2% of the search at n = 50.
            lock.unlock();
            bool last = false;
            do {
                const uint32_t count = std::min({job_.publishSize, slot.count - at, job_.testSize - at % job_.testSize});
                last = at + count == slot.count;
                if (count > 0 || slot.ends)
                    stop = sink.Publish(slot.candidates.k.data() + at, slot.candidates.m.data() + at, count,
                                        last && slot.ends ? slot.endK : 0);
                at += count;
            } while (!stop && !last && at % job_.testSize != 0);
            lock.lock();
            if (last) {
                finished = slot.ends;
                FreeSlot(slot);
                ++block;
                at = 0;
                if (waiting_ > 0) changed_.notify_all();
            }
            continue;
        }
        const Task task = PickTask(0);
        if (task.kind != Task::Kind::None) {
            lock.unlock();
            try {
                Perform(task, self);
            } catch (...) {
                lock.lock();
                --busy_;  // not finished, and never will be: the exponent is left
                throw;
            }
            lock.lock();
            Complete(task);
            continue;
        }
        WaitForChange(lock);
    }
    return !stop;
}

}  // namespace vontal
