// The computation thread: one task, exponent by exponent, from a resume point to its end.
//
// It sieves, tests, writes the records, keeps the position in the search state, and reports
// what happened through an ISearchEventSink, in order, never waiting for whoever reads it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <thread>

#include "ExponentScan.h"
#include "ResultsJson.h"
#include "SearchEvents.h"
#include "SearchState.h"
#include "SearchTask.h"

namespace vontal {

struct SearchOptions {
    std::filesystem::path dir;      // where "Result.txt" and "Vontal.log" are written
    uint32_t cpuFamily = 0;         // for the model record that begins a new log
    uint32_t cpuMHz = 0;
    uint32_t threads = 1;           // cores that test candidates
    int priorityLevel = -1;         // 0..5 as ApplyThreadPriority; -1 = leave it
    // The run continues a stored position rather than a task begun now: exponents that the log
    // shows finished, from the first on, are not searched again (even from their first k).
    bool continuing = false;
};

class SearchThread : private IBatchSink {
public:
    // Starts the thread at once. The state takes the task (its stop request cleared); `resumeK`
    // is the stored position: inside the task's k range the first exponent resumes there, 0 (or
    // out of range) begins it afresh. An even position resumes at the odd k just below.
    SearchThread(SearchState& state, SearchTask task, int64_t resumeK, SearchOptions options,
                 ISearchEventSink& sink);
    ~SearchThread();  // waits for the thread
    SearchThread(const SearchThread&) = delete;
    SearchThread& operator=(const SearchThread&) = delete;

    bool Finished() const { return finished_.load(std::memory_order_acquire); }
    void Join();
    // System id of the thread while it runs (0 before it has started or after it ended).
    pid_t Tid() const { return tid_.load(std::memory_order_acquire); }

private:
    void Execute();
    void RunTask();
    // Writes the divisor's records, then moves the position past it; false when it could not
    // (k + 2 reaches kHigh) and the position stays at the divisor.
    bool RecordDivisor(uint32_t m, int64_t k, uint32_t n);
    // Publishes a tested batch in k order: position, records. True when a stop was requested
    // (the Stopped event is then posted).
    bool Publish(const uint64_t* ks, const uint32_t* ms, uint32_t count, uint64_t endK) override;
    // Whether the log shows exponent n finished already: by a run that ended before it saved a
    // position past n.
    bool AlreadyClosed(uint32_t n) const;
    // Whether the log shows exponent n, not yet begun by this run, finished by a run before it
    // that went on from the same position inside exponent `resumedIn`.
    bool ClosedSinceResumed(uint32_t n, uint32_t resumedIn) const;
    // For an exponent that the log shows finished: writes its line to "results.jsonl" when the
    // run that finished it ended before it could.
    void CompleteExponentLine(uint32_t n);
    ExponentSummary SummaryOf(uint32_t n) const;
    std::string CheckValueOf(uint32_t n) const;
    ResultsOrigin Origin() const;

    SearchState& s_;
    SearchTask task_;
    int64_t resumeK_;
    SearchOptions options_;
    ISearchEventSink& sink_;
    std::unique_ptr<ExponentScan> scan_;  // sieve and candidate test, while the task runs
    // The last published position below kHigh of the exponent in hand: where it resumes if its
    // end record cannot be written (0 when there is none yet).
    int64_t lastResumable_ = 0;
    uint32_t exponent_ = 0;  // the exponent in hand
    uint64_t tested_ = 0;    // candidates of the exponent in hand tested by this run
    std::atomic<bool> finished_{false};
    std::atomic<pid_t> tid_{0};
    std::thread thread_;
};

}  // namespace vontal
