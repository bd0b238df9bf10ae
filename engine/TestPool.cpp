// Helpers of the computation thread.
#include "TestPool.h"

#include "Kernel.h"
#include "ThreadPriority.h"

namespace vontal {

// The computation thread sieves a whole block at a time (milliseconds), while the testing cores
// go on; the ring holds enough batches to keep them busy meanwhile.
TTestPool::TTestPool(uint32_t helpers, int priorityLevel)
    : slots_(kSlotsPerThread * (helpers + 1)), states_(slots_.size(), State::Free) {
    for (uint32_t i = 0; i < helpers; ++i) helpers_.emplace_back([this, priorityLevel] { Work(priorityLevel); });
}

TTestPool::~TTestPool() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    work_.notify_all();
    for (auto& t : helpers_) t.join();
}

TTestPool::Slot* TTestPool::FreeSlot() {
    std::lock_guard lock(mutex_);
    const size_t i = tail_ % slots_.size();
    return states_[i] == State::Free ? &slots_[i] : nullptr;
}

void TTestPool::Submit(Slot* slot) {
    {
        std::lock_guard lock(mutex_);
        states_[static_cast<size_t>(slot - slots_.data())] = State::Filled;
        ++tail_;
    }
    work_.notify_one();
}

bool TTestPool::Empty() {
    std::lock_guard lock(mutex_);
    return head_ == tail_;
}

TTestPool::Slot& TTestPool::WaitOldest() {
    const size_t i = head_ % slots_.size();  // head_ changes only on this thread
    std::unique_lock lock(mutex_);
    // Until the oldest is done, test whatever nobody has taken yet, oldest first.
    while (states_[i] != State::Done) {
        if (claimed_ == tail_) {
            done_.wait(lock);
            continue;
        }
        TestNext(lock);
    }
    return slots_[i];
}

void TTestPool::ReleaseOldest() {
    std::lock_guard lock(mutex_);
    states_[head_ % slots_.size()] = State::Free;
    ++head_;
}

void TTestPool::TestNext(std::unique_lock<std::mutex>& lock) {
    const size_t pick = claimed_++ % slots_.size();
    states_[pick] = State::Testing;
    lock.unlock();
    thread_local KernelScratch scratch;
    Slot& slot = slots_[pick];
    TestCandidates(slot.k, slot.count, slot.n, slot.m, scratch);
    lock.lock();
    states_[pick] = State::Done;
}

void TTestPool::Work(int priorityLevel) {
    if (priorityLevel >= 0) {
        try {
            ApplyThreadPriority(CurrentThreadId(), priorityLevel);
        } catch (...) {
            // The computation thread reports a refused priority; a helper just runs on.
        }
    }
    std::unique_lock lock(mutex_);
    for (;;) {
        // The oldest batch nobody has taken, so that the publisher waits as little as possible.
        work_.wait(lock, [&] { return quit_ || claimed_ < tail_; });
        if (quit_) return;
        TestNext(lock);
        done_.notify_all();
    }
}

}  // namespace vontal
