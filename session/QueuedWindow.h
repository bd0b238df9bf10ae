// The "window" of a front end without widgets: the four task boxes as texts, and the
// computation thread's events in a queue that the owner works off on its own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "settings/TaskFile.h"
#include "engine/Factor.h"

namespace vontal {

class TQueuedWindow : public IFactorWindow {
    template <typename Texts>  // BoxTexts or const BoxTexts
    static auto& Field(Texts& b, Box box) {
        switch (box) {
            case Box::F1: return b.nMin;
            case Box::F2: return b.nMax;
            case Box::K1: return b.kMin;
            case Box::K2: break;
        }
        return b.kMax;
    }

public:
    BoxTexts boxes;
    // Runs on the computation thread inside Post, before the event is queued (tests use it to
    // stop a run at a chosen moment).
    std::function<void(const FactorEvent&)> onPost;

    std::string BoxText(Box box) const override { return Field(boxes, box); }
    void SetBox(Box box, const std::string& text) { Field(boxes, box) = text; }

    void Post(FactorEvent event) override {
        if (onPost) onPost(event);
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        ready_.notify_one();
    }

    // The next event, or nothing when none came within the timeout.
    std::optional<FactorEvent> Wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        if (!ready_.wait_for(lock, timeout, [&] { return !events_.empty(); })) return std::nullopt;
        FactorEvent e = std::move(events_.front());
        events_.pop_front();
        return e;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<FactorEvent> events_;
};

}  // namespace vontal
