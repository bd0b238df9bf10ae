// The computation thread: every exponent of the task, from the resume point to kHigh.
#include "SearchThread.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <limits>

#include "CheckValue.h"
#include "DateTimeText.h"
#include "Kernel.h"
#include "Records.h"
#include "ResultsJson.h"
#include "ThreadPriority.h"
#include "Version.h"

namespace vontal {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
// The position and the exponent are stored with release order so that SearchState::ResumePoint,
// reading them with acquire order from another thread, sees a pair that belongs together.
constexpr auto kRelease = std::memory_order_release;

// Puts the task into the state before the thread starts, so that a position saved before it has
// begun names this task's exponent, and a stop requested before it runs is kept.
SearchTask Adopt(SearchState& s, SearchTask task) {
    s.nFirst.store(task.nFirst, kRelaxed);
    s.nLast.store(task.nLast, kRelaxed);
    s.kLow.store(task.kLow, kRelaxed);
    s.kHigh.store(task.kHigh, kRelaxed);
    s.nCurrent.store(task.nFirst, kRelease);
    s.stopRequested.store(false);
    return task;
}

}  // namespace

SearchThread::SearchThread(SearchState& state, SearchTask task, int64_t resumeK, SearchOptions options,
                           ISearchEventSink& sink)
    : s_(state),
      task_(Adopt(state, std::move(task))),
      resumeK_(resumeK),
      options_(std::move(options)),
      sink_(sink),
      thread_([this] { Execute(); }) {}

SearchThread::~SearchThread() { Join(); }

void SearchThread::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void SearchThread::Execute() {
    tid_.store(CurrentThreadId(), std::memory_order_release);
    bool started = false;
    try {
        // Only odd multipliers are searched: an even position inside the range resumes at the
        // odd k just below (tested again, so nothing is skipped); a position below 3 begins the
        // exponent afresh, like one at or beyond kHigh.
        int64_t k = resumeK_;
        if (k < 3) k = 0;
        if (k % 2 == 0 && k != 0 && k < task_.kHigh) k -= 1;
        s_.kPosition.store(k, kRelease);

        // kLow becomes odd (the odd number at or just above it, rounding as integer division
        // does) and at least 3; the records then quote "3".
        task_.kLow = (task_.kLow / 2) * 2 + 1;
        if (task_.kLow < 3) {
            task_.kLow = 3;
            task_.kLowText = "3";
        }
        s_.kLow.store(task_.kLow, kRelaxed);
        SearchEvent begun{SearchEventKind::Started};
        begun.task = task_;
        sink_.Post(std::move(begun));
        started = true;
        if (options_.priorityLevel >= 0) {
            try {
                ApplyThreadPriority(CurrentThreadId(), options_.priorityLevel);
            } catch (const std::exception& e) {
                SearchEvent warning{SearchEventKind::Warning};
                warning.message = e.what();
                sink_.Post(std::move(warning));
            }
        }
        RunTask();
    } catch (const std::exception& e) {
        SearchEvent failed{SearchEventKind::Failed};
        failed.message = e.what();
        failed.wasRunning = started;
        sink_.Post(std::move(failed));
    }
    scan_.reset();  // the helpers finish the batch in hand and end with the run
    tid_.store(0, std::memory_order_release);
    finished_.store(true, std::memory_order_release);
}

std::string SearchThread::CheckValueOf(uint32_t n) const {
    return CheckValue(n, n, task_.kLow, task_.kHigh, kVersionText);
}

ResultsOrigin SearchThread::Origin() const { return {kVersionText, SelectedKernel()}; }

ExponentSummary SearchThread::SummaryOf(uint32_t n) const {
    ExponentSummary summary;
    summary.n = n;
    summary.kFrom = task_.kLow;
    summary.kTo = task_.kHigh;
    summary.checkValue = CheckValueOf(n);
    return summary;
}

void SearchThread::RunTask() {
    const uint32_t nFirst = task_.nFirst, nLast = task_.nLast;
    const int64_t kLow = task_.kLow, kHigh = task_.kHigh;
    scan_ = std::make_unique<ExponentScan>(options_.threads, options_.priorityLevel);
    s_.nCurrent.store(nFirst, kRelease);
    uint32_t resumedIn = 0;  // the exponent this run took up at a stored position inside it
    int64_t resumedAt = 0;   // and that position
    // A continued run checks each exponent against the log until it searches one: a run killed
    // before its next save may have finished several small exponents, also when the position it
    // left is an exponent's first k (a task's beginning saves that position).
    bool checkLog = options_.continuing;
    for (uint32_t n = nFirst; n <= nLast && n != 0; ++n) {
        // A stop that came while the previous exponent was finished takes effect here, at a
        // position that needs no candidate tested again: this exponent, afresh.
        if (n > nFirst && s_.stopRequested.load(kRelaxed)) {
            SearchEvent stopped{SearchEventKind::Stopped};
            stopped.n = n;
            stopped.k = s_.kPosition.load(kRelaxed);
            sink_.Post(std::move(stopped));
            return;
        }
        const int64_t resumeAt = s_.kPosition.load(kRelaxed);
        const bool fresh = resumeAt == 0 || resumeAt >= kHigh;
        if (!fresh && n == nFirst) {
            resumedIn = n;
            resumedAt = resumeAt;
        }
        // Finished by a run that ended before it saved a position past it (the save of a
        // position can take longer than a small exponent): searching it again would write the
        // end record twice. On to the next exponent, afresh (the position first, so that no
        // moment shows the next exponent at this position). A task begun now is searched whatever
        // an earlier run of the same range left in the log.
        const bool closed = !fresh || checkLog ? AlreadyClosed(n)
                                               : resumedIn != 0 && n > resumedIn && ClosedSinceResumed(n, resumedIn);
        if (closed) {
            try {
                CompleteExponentLine(n);
            } catch (...) {
                // Ends where it took up, so that a Continue passes over the same exponents again
                // (a position at kHigh would begin this one afresh). The exponent first: no moment
                // shows that position with a later exponent.
                s_.nCurrent.store(resumedIn != 0 ? resumedIn : nFirst, kRelease);
                s_.kPosition.store(resumedAt, kRelease);
                throw;
            }
            s_.kPosition.store(kHigh, kRelease);
            s_.nCurrent.store(n + 1, kRelease);
            continue;
        }
        checkLog = false;
        if (fresh) {
            AppendToLog(options_.dir, HeaderRecord(n, task_.kLowText), options_.cpuFamily, options_.cpuMHz);
            s_.kPosition.store(kLow, kRelease);
        }
        const int64_t first = s_.kPosition.load(kRelaxed);
        lastResumable_ = first < kHigh ? first : 0;
        s_.limbCount.store(LimbCountFor(kHigh, n), kRelaxed);
        s_.primeCount.store(PrimeCountFor(n), kRelaxed);
        s_.sieveBlockSize.store(kSieveSize, kRelaxed);
        scan_->Prepare(n, first, kHigh);
        SearchEvent begun{SearchEventKind::ExponentBegun};
        begun.n = n;
        begun.k = first;
        begun.resumed = !fresh;
        sink_.Post(std::move(begun));

        exponent_ = n;
        tested_ = 0;
        if (!scan_->Run(*this)) return;

        ExponentSummary summary = SummaryOf(n);
        summary.tested = tested_;
        summary.testedFrom = first;
        const std::time_t now = std::time(nullptr);
        const std::string& checkValue = summary.checkValue;
        try {
            AppendToLog(options_.dir, EndRecord(task_.kHighText, checkValue, FormatDateTime(now)),
                        options_.cpuFamily, options_.cpuMHz);
            AppendResultsLine(options_.dir, ExponentLine(summary, now, Origin()), false);
        } catch (...) {
            // The position is at or beyond kHigh, which would begin the exponent afresh: the run
            // ends at its last position inside the range instead, so that a Continue tests a
            // candidate or two again and then writes the end record, or, when the log has it
            // already, only the line of "results.jsonl".
            s_.kPosition.store(lastResumable_, kRelease);
            throw;
        }
        SearchEvent finished{SearchEventKind::ExponentFinished};
        finished.n = n;
        finished.task = task_;
        finished.checkValue = checkValue;
        sink_.Post(std::move(finished));
        s_.nCurrent.store(n + 1, kRelease);
    }
    sink_.Post(SearchEvent(SearchEventKind::TaskFinished));
}

bool SearchThread::Publish(const uint64_t* ks, const uint32_t* ms, uint32_t count, uint64_t endK) {
    const int64_t kHigh = task_.kHigh;
    bool onRecorded = false;  // the position is a divisor already recorded
    tested_ += count;
    // The position moves to each divisor as it is recorded, and to the last candidate. Only
    // those k are read: the others' lines stay with the core that wrote them (another core
    // writing a block's survivors again where this one has read them pays for it).
    for (uint32_t i = 0; i < count; ++i) {
        if (ms[i] == 0) continue;
        const int64_t k = static_cast<int64_t>(ks[i]);
        s_.kPosition.store(k, kRelease);
        onRecorded = !RecordDivisor(ms[i], k, exponent_);
    }
    if (count > 0 && ms[count - 1] == 0) {
        s_.kPosition.store(static_cast<int64_t>(ks[count - 1]), kRelease);
        onRecorded = false;
    }
    if (endK != 0) {
        s_.kPosition.store(static_cast<int64_t>(endK), kRelease);
        onRecorded = false;
    }
    const int64_t k = s_.kPosition.load(kRelaxed);
    if (k < kHigh && !onRecorded) lastResumable_ = k;
    if (!s_.stopRequested.load(kRelaxed)) return false;
    // A resumed exponent tests the candidate at the position again. Two positions cannot be
    // resumed from: one at or beyond kHigh (it would begin the exponent afresh) and a divisor
    // that is already recorded. Both come only within a candidate or two of the exponent's end,
    // so the thread finishes the exponent and takes the stop before the next one.
    if (k >= kHigh || onRecorded) return false;
    SearchEvent stopped{SearchEventKind::Stopped};
    stopped.n = exponent_;
    stopped.k = k;
    sink_.Post(std::move(stopped));
    return true;
}

bool SearchThread::RecordDivisor(uint32_t m, int64_t k, uint32_t n) {
    SearchEvent found{SearchEventKind::DivisorFound};
    found.n = n;
    found.k = k;
    found.m = m;
    sink_.Post(found);
    // A divisor is on disk before the search moves past it; if it cannot be written the thread
    // ends here and the saved position tests it again.
    const std::string record = FoundRecord(m, k, n);
    AppendToFile(options_.dir / kResultFileName, record, true);
    AppendToLog(options_.dir, record, options_.cpuFamily, options_.cpuMHz);
    // Last, so that it is never there without the records: a run that ends before it was
    // written tests the divisor again and writes the records with it.
    AppendResultsLine(options_.dir, DivisorLine(m, k, n, std::time(nullptr), Origin()), true);
    // Recorded: the position moves past it (to the next odd k, which is where a resumed search
    // would take up), so that no position saved from now on records it again. Not when k + 2
    // reaches kHigh: that position would begin the exponent afresh.
    const bool past = k <= std::numeric_limits<int64_t>::max() - 2 && k + 2 < task_.kHigh;
    if (past) s_.kPosition.store(k + 2, kRelease);
    found.kind = SearchEventKind::DivisorRecorded;
    found.movedPast = past;
    sink_.Post(std::move(found));
    return past;
}

bool SearchThread::AlreadyClosed(uint32_t n) const {
    return LogShowsExponentClosed(options_.dir, n, EndRecord(task_.kHighText, CheckValueOf(n), ""));
}

bool SearchThread::ClosedSinceResumed(uint32_t n, uint32_t resumedIn) const {
    return LogShowsExponentClosedSince(options_.dir, n, EndRecord(task_.kHighText, CheckValueOf(n), ""), resumedIn);
}

void SearchThread::CompleteExponentLine(uint32_t n) {
    // Each end record of this exponent and task in the log has its line, but for one written by
    // a run that ended just after it. The count tells them apart from those of the same task
    // searched before.
    const ExponentSummary summary = SummaryOf(n);
    const std::vector<std::string> dates = LogEndRecordDates(options_.dir, n, EndRecord(task_.kHighText, summary.checkValue, ""));
    if (dates.size() <= CountExponentLines(options_.dir, summary)) return;
    // The time of the log's end record; how many candidates that run tested is not known.
    const std::time_t when = ParseDateTime(dates.back()).value_or(std::time(nullptr));
    AppendResultsLine(options_.dir, ExponentLine(summary, when, Origin()), false);
}

}  // namespace vontal
