// The computation thread: every exponent of the task, from the resume point to kMax.
#include "Factor.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>
#include <limits>

#include "CheckValue.h"
#include "DateTimeText.h"
#include "NumberText.h"
#include "Records.h"
#include "settings/Settings.h"
#include "TestPool.h"
#include "ThreadPriority.h"

namespace vontal {

namespace {

uint32_t TickCountMs() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

constexpr auto kRelaxed = std::memory_order_relaxed;
// KTemp and nTemp are stored with release order so that TSearchState::ResumePoint, reading them
// with acquire order from the window thread, sees a pair that belongs together.
constexpr auto kRelease = std::memory_order_release;

}  // namespace

int PriorityLevelForStored(int stored) {
    if (stored >= 0 && stored <= 4) return stored;
    if (stored >= 5 && stored <= 1000) return 0;  // out-of-menu values fall back to idle
    return -1;
}

StartOutcome StartFactor(TSearchState& s, IFactorWindow& window, std::unique_ptr<TFactor>& owner) {
    StartOutcome out;
    const std::string f1 = window.BoxText(Box::F1), f2 = window.BoxText(Box::F2);
    const std::string k1 = window.BoxText(Box::K1), k2 = window.BoxText(Box::K2);
    if (f1.empty() || f2.empty() || k1.empty() || k2.empty()) return out;

    const int32_t nMin = StrToInt(f1), nMax = StrToInt(f2);
    const int64_t kMin = StrToK(k1), kMax = StrToK(k2);
    if (nMax < nMin || kMax < kMin || nMin < 8) return out;
    if (nMax > kMaxExponent)
        throw TaskRefused("The last exponent " + std::to_string(nMax) + " is too large: exponents go up to " +
                          std::to_string(kMaxExponent));

    // Only one thread may work on the state. A running search is never joined; one that has
    // been told to stop leaves after the candidate in hand, so waiting for it is short.
    if (owner && !owner->Finished()) {
        if (s.stopFlag.load() == 0) return out;
        owner->Join();
    }
    owner.reset();
    s.factorThread = nullptr;

    s.nMin.store(static_cast<uint32_t>(nMin), kRelaxed);
    s.nMax.store(static_cast<uint32_t>(nMax), kRelaxed);
    s.kMin.store(kMin, kRelaxed);
    s.kMax.store(kMax, kRelaxed);
    // A position saved before the thread has begun names this task's exponent, not the last one's.
    s.nTemp.store(static_cast<uint32_t>(nMin), kRelease);

    std::string kTempText = "0";
    int stored = 0;
    if (s.iniFile) {
        kTempText = s.iniFile->ReadString("f", "KTemp", "0");
        stored = s.iniFile->ReadInteger("f", "Priority", 0);
        out.floating = s.iniFile->ReadInteger("f", "FloatingPriority", 0) == 1;
    }
    out.storedPriority = stored;
    const int level = PriorityLevelForStored(stored);
    if (level >= 0) s.priorityText.store(level, kRelaxed);
    s.floatingMode.store(out.floating ? 1 : 0, kRelaxed);

    // Set here, not in the thread, so that a Stop that comes before the thread runs is kept.
    uint32_t threads = s.threadCount.load(kRelaxed);
    if (threads == 0 && s.iniFile) threads = static_cast<uint32_t>(std::clamp(s.iniFile->ReadInteger("f", "Threads", 1), 1, 256));
    s.stopFlag.store(0);
    owner = std::make_unique<TFactor>(s, window, k1, k2, kTempText, level, std::max<uint32_t>(threads, 1));
    s.factorThread = owner.get();
    out.started = true;
    return out;
}

TFactor::TFactor(TSearchState& state, IFactorWindow& window, std::string kMinText,
                 std::string kMaxText, std::string kTempText, int priorityLevel, uint32_t threads)
    : s_(state),
      window_(window),
      kMinText_(std::move(kMinText)),
      kMaxText_(std::move(kMaxText)),
      kTempText_(std::move(kTempText)),
      priorityLevel_(priorityLevel),
      threads_(std::max<uint32_t>(threads, 1)),
      thread_([this] { Execute(); }) {}

TFactor::~TFactor() { Join(); }

void TFactor::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TFactor::Execute() {
    tid_.store(CurrentThreadId(), std::memory_order_release);
    bool started = false;
    try {
        int64_t k = 0;
        if (!ParseDecimalInt64(kTempText_, k))
            throw ConversionError("'" + kTempText_ + "' is not a valid integer value");
        // Only odd multipliers are searched: an even position inside the range resumes at the
        // odd k just below (tested again, so nothing is skipped); a position below 3 begins the
        // exponent afresh, like one at or beyond kMax.
        if (k < 3) k = 0;
        if (k % 2 == 0 && k != 0 && k < s_.kMax.load(kRelaxed)) k -= 1;
        s_.KTemp.store(k, kRelease);

        window_.Post({FactorEventKind::RunningControls, {}});
        started = true;
        if (priorityLevel_ >= 0) {
            try {
                ApplyThreadPriority(CurrentThreadId(), priorityLevel_);
            } catch (const std::exception& e) {
                window_.Post({FactorEventKind::Message, e.what()});
            }
        }
        RunTask();
    } catch (const std::exception& e) {
        s_.stopFlag.store(1);
        FactorEvent event{FactorEventKind::ThreadError, e.what()};
        event.started = started;
        window_.Post(std::move(event));
    }
    scan_.reset();  // the helpers finish the batch in hand and end with the run
    tid_.store(0, std::memory_order_release);
    finished_.store(true, std::memory_order_release);
}

void TFactor::RunTask() {
    uint32_t nMin = std::max<uint32_t>(s_.nMin.load(kRelaxed), 8);
    uint32_t nMax = std::max<uint32_t>(s_.nMax.load(kRelaxed), 8);
    s_.nMin.store(nMin, kRelaxed);
    s_.nMax.store(nMax, kRelaxed);

    // kMin becomes odd (the odd number at or just above it, rounding as integer division does)
    // and at least 3.
    int64_t kMin = s_.kMin.load(kRelaxed);
    kMin = (kMin / 2) * 2 + 1;
    if (kMin < 3) {
        kMin = 3;
        kMinText_ = "3";
        window_.Post({FactorEventKind::BoxText, "3", Box::K1});
    }
    s_.kMin.store(kMin, kRelaxed);
    const int64_t kMax = s_.kMax.load(kRelaxed);

    window_.Post({FactorEventKind::LabelK, "k=" + std::to_string(s_.KTemp.load(kRelaxed))});
    s_.viewTicks.store(0, kRelaxed);
    window_.Post({FactorEventKind::LabelK, "Calculate sieve"});
    window_.Post({FactorEventKind::RunningIcon, {}});

    scan_ = std::make_unique<ExponentScan>(threads_, priorityLevel_);
    if (nMax >= nMin) {
        const uint64_t exponents = static_cast<uint64_t>(nMax) - nMin + 1;
        s_.nTemp.store(nMin, kRelease);
        for (uint64_t pass = 0; pass < exponents; ++pass) {
            const uint32_t n = s_.nTemp.load(kRelaxed);
            // A stop that came while the previous exponent was finished takes effect here, at a
            // position that needs no candidate tested again: this exponent, afresh.
            if (pass > 0 && s_.stopFlag.load(kRelaxed) == 1) {
                window_.Post({FactorEventKind::Stopped, {}});
                return;
            }
            const int64_t resumeAt = s_.KTemp.load(kRelaxed);
            const bool fresh = resumeAt == 0 || resumeAt >= kMax;
            if (!fresh && AlreadyClosed(n, kMin, kMax)) {
                // Finished by a run that ended before it saved a position past it: searching the
                // rest again would write the end record twice. On to the next exponent, afresh
                // (KTemp first, so that no moment shows the next exponent at this position).
                s_.KTemp.store(kMax, kRelease);
                s_.nTemp.store(n + 1, kRelease);
                continue;
            }
            if (fresh)
                AppendToLog(s_.programDir, HeaderRecord(n, kMinText_), s_.cpuFamily, s_.cpuMHz);
            if (fresh) s_.KTemp.store(kMin, kRelease);
            lastResumable_ = s_.KTemp.load(kRelaxed) < kMax ? s_.KTemp.load(kRelaxed) : 0;
            s_.limbCount.store(LimbCountFor(kMax, n), kRelaxed);
            s_.primeCount.store(PrimeCountFor(n), kRelaxed);
            s_.sieveSize.store(kSieveSize, kRelaxed);
            window_.Post({FactorEventKind::RefreshInfo, {}});
            const int64_t first = s_.KTemp.load(kRelaxed);
            scan_->Prepare(n, first, kMax);
            window_.Post({FactorEventKind::LabelK, "k=" + FormatThousands(first, s_.thousandsSeparator) +
                                                       "\rk/sec= \rk/day= "});
            window_.Post({FactorEventKind::BoxText, std::to_string(n), Box::F1});
            window_.Post({FactorEventKind::ViewTimerOn, {}});
            s_.tickStart.store(TickCountMs(), kRelaxed);
            s_.kStart.store(first, kRelaxed);

            exponent_ = n;
            if (!scan_->Run(*this)) return;

            try {
                AppendToLog(s_.programDir,
                            EndRecord(kMaxText_, CalcCODO(n, n, kMin, kMax, s_.versionText),
                                      FormatDateTime(std::time(nullptr))),
                            s_.cpuFamily, s_.cpuMHz);
            } catch (...) {
                // KTemp is at or beyond kMax, which would begin the exponent afresh: the run ends
                // at its last position inside the range instead, so that a Continue tests a
                // candidate or two again and then writes the end record.
                s_.KTemp.store(lastResumable_, kRelease);
                throw;
            }
            s_.nTemp.store(n + 1, kRelease);
        }
    }
    window_.Post({FactorEventKind::LabelK, "Stop"});
    s_.stopFlag.store(1);
    window_.Post({FactorEventKind::TaskComplete, {}});
}

bool TFactor::Publish(const uint64_t* ks, const uint32_t* ms, uint32_t count, uint64_t endK) {
    const uint32_t n = exponent_;
    const int64_t kMax = s_.kMax.load(kRelaxed);
    bool onRecorded = false;  // KTemp is a divisor already recorded
    for (uint32_t i = 0; i < count; ++i) {
        const int64_t k = static_cast<int64_t>(ks[i]);
        s_.KTemp.store(k, kRelease);
        onRecorded = ms[i] != 0 && !RecordDivisor(ms[i], k, n, kMax);
    }
    if (endK != 0) {
        s_.KTemp.store(static_cast<int64_t>(endK), kRelease);
        onRecorded = false;
    }
    const int64_t k = s_.KTemp.load(kRelaxed);
    if (k < kMax && !onRecorded) lastResumable_ = k;
    if (s_.floatingMode.load(kRelaxed) != 0) CheckFloatingPriority();
    if (s_.stopFlag.load(kRelaxed) != 1) return false;
    // A resumed exponent tests the candidate at KTemp again. Two positions cannot be resumed
    // from: one at or beyond kMax (it would begin the exponent afresh) and a divisor that is
    // already recorded. Both come only within a candidate or two of the exponent's end, so the
    // thread finishes the exponent and takes the stop before the next one.
    if (k >= kMax || onRecorded) return false;
    window_.Post({FactorEventKind::Stopped, {}});
    return true;
}

bool TFactor::RecordDivisor(uint32_t m, int64_t k, uint32_t n, int64_t kMax) {
    const std::string record = FoundRecord(m, k, n);
    window_.Post({FactorEventKind::AppendResult, record.substr(0, record.size() - 2)});
    // A divisor is on disk before the search moves past it; if it cannot be written the thread
    // ends here and the saved position tests it again.
    AppendToFile(s_.programDir / kResultFileName, record, true);
    AppendToLog(s_.programDir, record, s_.cpuFamily, s_.cpuMHz);
    // Recorded: the position moves past it (to the next odd k, which is where a resumed search
    // would take up), so that no position saved from now on records it again. Not when k + 2
    // reaches kMax: that position would begin the exponent afresh.
    const bool past = k <= std::numeric_limits<int64_t>::max() - 2 && k + 2 < kMax;
    if (past) s_.KTemp.store(k + 2, kRelease);
    window_.Post({FactorEventKind::FoundIcon, {}});
    return past;
}

bool TFactor::AlreadyClosed(uint32_t n, int64_t kMin, int64_t kMax) const {
    return LogShowsExponentClosed(s_.programDir, n, EndRecord(kMaxText_, CalcCODO(n, n, kMin, kMax, s_.versionText), ""));
}

void TFactor::CheckFloatingPriority() {
    const int32_t x = s_.pointerX.load(kRelaxed);
    if (x == s_.lastMouseX.load(kRelaxed)) return;
    s_.lastMouseX.store(x, kRelaxed);
    try {
        ApplyThreadPriority(CurrentThreadId(), 1);
        s_.priorityText.store(1, kRelaxed);
    } catch (const std::exception& e) {
        // A pointer movement must never end a search that runs for days: say it once, go on.
        if (!floatingRefusalShown_) window_.Post({FactorEventKind::Message, e.what()});
        floatingRefusalShown_ = true;
    }
    s_.floatingMode.store(2, kRelaxed);
}

}  // namespace vontal
