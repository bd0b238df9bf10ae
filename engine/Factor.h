// The computation thread and the one way to start it.
//
// The thread runs a task exponent by exponent: sieve, candidate test, records. Everything it
// does to the window goes through IFactorWindow::Post, in order, and it never waits for the
// window: the desktop program queues the events onto its window thread, the headless front end
// onto its main loop.
#pragma once

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <thread>

#include "ExponentScan.h"
#include "SearchState.h"

namespace vontal {

enum class Box { F1, F2, K1, K2 };  // first n, last n, first k, last k

enum class FactorEventKind {
    BoxText,          // put text into box
    RunningControls,  // "Stop" enabled; "Start", "Continue" and the four boxes disabled
    LabelK,           // the progress label's text
    RunningIcon,      // running picture: with divisor when the result box holds text
    FoundIcon,        // running-with-divisor picture; sent once the divisor is in both files and
                      // KTemp is past it, so a position saved from now on never records it again
    AppendResult,     // a found record (text without its final CR LF) for the result box, sent
                      // before the record is written
    ViewTimerOn,      // the view timer must run
    RefreshInfo,      // rebuild the status summary; sent as each exponent begins (a moment to save)
    TaskComplete,     // the last exponent is done: back to the stopped look (StopClick)
    Stopped,          // the thread left on a stop request; KTemp is final: save it again
    Message,          // something the user should read; the search goes on
    ThreadError,      // the run ended on an error; text is the message
};

struct FactorEvent {
    FactorEventKind kind;
    std::string text;
    Box box = Box::F1;
    bool started = false;  // ThreadError: whether the thread had taken over the window's controls
};

class IFactorWindow {
public:
    virtual ~IFactorWindow() = default;
    // Called on the window thread by StartFactor.
    virtual std::string BoxText(Box box) const = 0;
    // Called by the computation thread; must queue the event and return at once.
    virtual void Post(FactorEvent event) = 0;
};

class TFactor : private IBatchSink {
public:
    // Starts the thread at once. priorityLevel: 0..5 as ApplyThreadPriority, -1 = leave it.
    TFactor(TSearchState& state, IFactorWindow& window, std::string kMinText, std::string kMaxText,
            std::string kTempText, int priorityLevel, uint32_t threads = 1);
    ~TFactor();  // waits for the thread
    TFactor(const TFactor&) = delete;
    TFactor& operator=(const TFactor&) = delete;

    bool Finished() const { return finished_.load(std::memory_order_acquire); }
    void Join();
    // System id of the thread while it runs (0 before it has started or after it ended).
    pid_t Tid() const { return tid_.load(std::memory_order_acquire); }

private:
    void Execute();
    void RunTask();
    void CheckFloatingPriority();
    // Writes the divisor's records, then moves KTemp past it; false when it could not (k + 2
    // reaches kMax) and KTemp stays at the divisor.
    bool RecordDivisor(uint32_t m, int64_t k, uint32_t n, int64_t kMax);
    // Publishes a tested batch in k order: KTemp, records. True when a stop was requested
    // (the Stopped event is then posted).
    bool Publish(const uint64_t* ks, const uint32_t* ms, uint32_t count, uint64_t endK) override;
    // Whether the log shows exponent n finished already: by a run that ended before it saved a
    // position past n.
    bool AlreadyClosed(uint32_t n, int64_t kMin, int64_t kMax) const;

    TSearchState& s_;
    IFactorWindow& window_;
    std::string kMinText_, kMaxText_, kTempText_;
    int priorityLevel_;
    uint32_t threads_;
    std::unique_ptr<ExponentScan> scan_;  // sieve and candidate test, while the task runs
    bool floatingRefusalShown_ = false;
    // The last published position below kMax of the exponent in hand: where it resumes if its
    // end record cannot be written (0 when there is none yet).
    int64_t lastResumable_ = 0;
    uint32_t exponent_ = 0;  // the exponent in hand
    std::atomic<bool> finished_{false};
    std::atomic<pid_t> tid_{0};
    std::thread thread_;
};

// Outcome of a start request.
struct StartOutcome {
    bool started = false;
    int storedPriority = 0;  // the "Priority" value read, for the window's menu check marks
    bool floating = false;   // floating priority in force
};

// The largest exponent searched: what the exponent boxes hold (five digits). Far larger ones
// would make the candidate test reserve gigabytes and never finish an exponent.
inline constexpr int32_t kMaxExponent = 99'999;

// A task whose texts convert but that is not searched; what() is the message for the user.
class TaskRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Checks the four boxes and starts a new computation thread into owner (replacing the previous
// one after it has ended). Refuses silently (started = false) when a box is empty, the ranges are
// reversed, the first n is below 8, or a search is still running. Throws ConversionError when a
// box does not hold a number, and TaskRefused when the last exponent is beyond kMaxExponent.
// Runs on the window thread.
StartOutcome StartFactor(TSearchState& state, IFactorWindow& window, std::unique_ptr<TFactor>& owner);

// Priority level (0..5, -1 = leave the default) and text index for a stored "Priority" value.
int PriorityLevelForStored(int stored);

}  // namespace vontal
