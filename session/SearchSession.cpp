// The search session shared by every front end.
#include "session/SearchSession.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <utility>

#include "engine/Kernel.h"
#include "engine/NumberText.h"
#include "engine/Processor.h"
#include "engine/Records.h"
#include "engine/ResultsJson.h"
#include "engine/ThreadPriority.h"
#include "settings/TaskFile.h"

namespace vontal {

namespace {

constexpr const char* kPriorityTexts[6] = {"1-Idle", "2-Lowest", "3-Lower", "4-Normal", "5-Higher", "6-Highest"};
constexpr int kLowestLevel = 1;
constexpr int kHighestLevel = 5;
constexpr int kMaxThreads = 256;

bool AllEmpty(const TaskTexts& t) { return t.nFirst.empty() && t.nLast.empty() && t.kLow.empty() && t.kHigh.empty(); }

}  // namespace

int PriorityLevelForStored(int stored) {
    if (stored >= 0 && stored <= 4) return stored;
    if (stored >= 5 && stored <= 1000) return 0;  // out-of-menu values fall back to idle
    return -1;
}

// Queues the events of the computation thread for the owner, each with the run it belongs to.
class SearchSession::Sink : public ISearchEventSink {
public:
    Sink(SearchSession& session, uint64_t serial) : session_(session), serial_(serial) {}
    void Post(SearchEvent event) override {
        {
            std::lock_guard lock(session_.queueMutex_);
            session_.queue_.push_back({serial_, event});
        }
        session_.listener_.EventQueued(event);
    }

private:
    SearchSession& session_;
    const uint64_t serial_;
};

SearchSession::SearchSession(SessionOptions options, SessionListener& listener)
    : options_(std::move(options)), listener_(listener), lastSave_(std::chrono::steady_clock::now()) {}

SearchSession::~SearchSession() {
    state_.stopRequested.store(true);
    if (thread_) thread_->Join();  // the thread never waits for the owner, so this ends
}

// ---- Opening -----------------------------------------------------------------------------------

bool SearchSession::Lock() {
    lock_.emplace(options_.dir);
    return lock_->Held();
}

bool SearchSession::lockBusy() const { return lock_ && lock_->state() == DirectoryLock::State::Busy; }

std::string SearchSession::lockProblem() const { return lock_ ? lock_->Problem() : std::string(); }

std::filesystem::path SearchSession::settingsPath() const { return options_.dir / kSettingsFileName; }

std::string SearchSession::Open() {
    cpuMHz_ = options_.cpuMHz ? *options_.cpuMHz : MeasureCpuMHz();
    cpuFamily_ = options_.cpuFamily ? *options_.cpuFamily : CpuFamily();
    ini_ = std::make_unique<IniFile>(settingsPath());
    if (lock_ && lock_->Held()) {
        // A line of "results.jsonl" that a power failure cut short would otherwise be glued to
        // the next one.
        try {
            RepairResultsFile(options_.dir);
        } catch (const std::exception& e) {
            listener_.Notice(e.what());
        }
    }
    const std::string problem = ini_->ReadProblem();
    if (!problem.empty()) return problem;
    if (lock_ && lock_->Held()) ini_->RemoveStaleTemporaries();
    // A kernel variant that failed its self-test is not used, so nothing stops; but whoever
    // collects the log is to know.
    kernelFailures_ = KernelSelfTestFailures();
    for (const std::string& failure : kernelFailures_) {
        try {
            AppendToLog(options_.dir, "\r\n" + failure, cpuFamily_, cpuMHz_);
        } catch (const std::exception& e) {
            listener_.Notice(e.what());
        }
    }
    return {};
}

StartOutcome SearchSession::ContinueStoredTask() {
    SettleEndedRun();
    if (!ini_ || searching()) return {};
    SetTexts(ReadTaskTexts(*ini_));
    const std::string positionText = ReadPositionText(*ini_);
    const StoredTaskCheck stored = CheckStoredTask(texts_, positionText);
    if (stored.none || stored.finished) return {};
    if (!stored.continuable()) {
        StartOutcome out;
        out.message = TaskProblemMessage(stored.check, texts_, StoredWording(), positionText, settingsPath().string());
        return out;
    }
    return StartSearch(texts_, positionText, StoredWording(), true);
}

// ---- Run control -----------------------------------------------------------------------------------

Wording SearchSession::StartWording() const {
    return options_.frontEnd == FrontEnd::Window ? Wording::WindowStart : Wording::CommandLine;
}

Wording SearchSession::StoredWording() const {
    return options_.frontEnd == FrontEnd::Window ? Wording::WindowStored : Wording::CommandLineStored;
}

bool SearchSession::searching() const {
    return thread_ && !runEndHandled_ && !state_.stopRequested.load() && !thread_->Finished();
}

pid_t SearchSession::threadId() const { return thread_ ? thread_->Tid() : 0; }

StartOutcome SearchSession::StartNewTask() {
    StartOutcome out;
    SettleEndedRun();
    if (searching()) return out;
    const TaskCheck check = CheckTask(texts_);
    if (!check.passes()) {
        out.message = TaskProblemMessage(check, texts_, StartWording());
        return out;
    }
    if (ini_) BeginNewTask(*ini_, texts_, std::time(nullptr));
    return StartSearch(texts_, "0", StartWording(), false);
}

StartOutcome SearchSession::Continue() {
    SettleEndedRun();
    return StartSearch(texts_, ini_ ? ReadPositionText(*ini_) : "0", StartWording(), true);
}

bool SearchSession::StartNextFollowingTask() {
    SettleEndedRun();
    if (!ini_ || searching()) return false;
    while (std::optional<TaskTexts> task = TakeNextFollowingTask(*ini_)) {
        SetTexts(*task);
        const StartOutcome out = StartNewTask();
        listener_.FollowingTaskTaken(*task, out.started, out.message);
        if (out.started) return true;
    }
    return false;
}

StartOutcome SearchSession::StartSearch(TaskTexts texts, const std::string& positionText, Wording wording,
                                        bool continuing) {
    StartOutcome out;
    // A running search is never replaced; one that has been told to stop leaves after the
    // candidates in hand, so waiting for it below is short.
    if (searching()) return out;
    TaskCheck check = CheckTask(texts);
    int64_t position = 0;
    if (check.passes() && !ParseDecimalInt64(positionText, position)) {
        check.problem = TaskProblem::PositionNotANumber;
        check.conversionError = "'" + positionText + "' is not a valid integer value";
    }
    if (!check.passes()) {
        out.message = TaskProblemMessage(check, texts, wording, positionText, settingsPath().string());
        return out;
    }
    JoinThread();

    SearchOptions search;
    search.dir = options_.dir;
    search.cpuFamily = cpuFamily_;
    search.cpuMHz = cpuMHz_;
    search.continuing = continuing;
    int floating = 0;
    storedPriority_ = 0;
    if (ini_) {
        storedPriority_ = ini_->ReadInteger(kTaskSection, "Priority", 0);
        floating = ini_->ReadInteger(kTaskSection, "FloatingPriority", 0);
    }
    search.threads = ThreadsToUse();
    runThreads_ = search.threads;
    search.priorityLevel = PriorityLevelForStored(storedPriority_);
    if (search.priorityLevel >= 0) priorityLevel_ = search.priorityLevel;
    floatingMode_ = floating == 1 ? 1 : 0;
    lowerRefusalShown_ = raiseRefusalShown_ = false;

    thread_.reset();
    runSerial_ += 1;
    runEndHandled_ = false;
    ranThisSession_ = true;
    runTexts_ = texts;
    saveDue_ = false;
    lastSave_ = std::chrono::steady_clock::now();
    sink_ = std::make_unique<Sink>(*this, runSerial_);
    thread_ = std::make_unique<SearchThread>(state_, check.Task(texts), position, search, *sink_);
    out.started = true;
    return out;
}

uint32_t SearchSession::ThreadsToUse() const {
    uint32_t threads = options_.threads;
    if (threads == 0 && ini_)
        threads = static_cast<uint32_t>(std::clamp(ini_->ReadInteger(kTaskSection, "Threads", 1), 1, kMaxThreads));
    return std::max<uint32_t>(threads, 1);
}

// A run that has ended, or has been told to stop, is waited for and its end handled before the
// task texts are used again, so that its final save is made with its own texts.
void SearchSession::SettleEndedRun() {
    if (thread_ && !searching()) JoinThread();
    ProcessEvents();
}

void SearchSession::JoinThread() {
    if (thread_) thread_->Join();
}

void SearchSession::Stop() {
    state_.stopRequested.store(true);
    JoinThread();
    if (!runEndHandled_) {
        runEndHandled_ = true;
        SaveFinal();
    } else if (!thread_) {
        SaveFinal();  // nothing ran: the texts as they stand, with the stored position
    }
}

void SearchSession::SaveForExit() {
    Stop();
    SaveTextsAsTheyStand();
}

void SearchSession::SavePosition() {
    if (searching()) SaveRunning();
    else SaveTextsAsTheyStand();
}

void SearchSession::SaveTextsAsTheyStand() {
    // Empty boxes over no stored task: nothing to keep. Writing the empty keys would create the
    // settings file, and its mere existence hides the window at the next start.
    if (!ini_) return;
    if (AllEmpty(texts_) && AllEmpty(ReadTaskTexts(*ini_))) return;
    Write(texts_, PositionToSave(), true);
}

void SearchSession::Tick() {
    ProcessEvents();
    if (searching() && (saveDue_ || std::chrono::steady_clock::now() - lastSave_ >= options_.saveInterval))
        SaveRunning();
}

void SearchSession::ProcessEvents() {
    if (processing_) return;  // a listener that starts a search from here: the loop goes on below
    processing_ = true;
    for (;;) {
        Queued next;
        {
            std::lock_guard lock(queueMutex_);
            if (queue_.empty()) break;
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        try {
            Handle(next.event, next.serial);
        } catch (...) {
            processing_ = false;
            throw;
        }
    }
    processing_ = false;
    if (saveDue_ && searching()) SaveRunning();
}

void SearchSession::Handle(const SearchEvent& event, uint64_t serial) {
    const bool current = serial == runSerial_ && !runEndHandled_;
    switch (event.kind) {
        case SearchEventKind::Started:
            // The lowest k as searched: raised to 3 when it was below.
            if (current && event.task.kLowText != texts_.kLow) {
                runTexts_.kLow = event.task.kLowText;
                TaskTexts texts = texts_;
                texts.kLow = event.task.kLowText;
                SetTexts(texts);
            }
            break;
        case SearchEventKind::ExponentBegun:
            if (current) {
                const std::string n = std::to_string(event.n);
                runTexts_.nFirst = n;
                if (texts_.nFirst != n) {
                    TaskTexts texts = texts_;
                    texts.nFirst = n;
                    SetTexts(texts);
                }
                // An exponent begins: the last one is finished, and a save now keeps a crash
                // from searching it again.
                SaveRunning();
            }
            break;
        case SearchEventKind::DivisorRecorded:
            // The divisor is on disk and the thread past it: saving now keeps a crash from
            // recording it again.
            if (current && searching()) SaveRunning();
            break;
        case SearchEventKind::TaskFinished:
        case SearchEventKind::Stopped:
        case SearchEventKind::Failed:
            if (current) {
                runEndHandled_ = true;
                JoinThread();
                // A run that failed before it took up a position leaves the stored one alone.
                if (event.kind != SearchEventKind::Failed || event.wasRunning) SaveFinal();
            }
            break;
        default:
            break;
    }
    listener_.SearchEventHandled(event, current);
}

// ---- Saving ---------------------------------------------------------------------------------------------

void SearchSession::SetTexts(const TaskTexts& texts) {
    if (texts == texts_) return;
    texts_ = texts;
    listener_.TaskTextsChanged(texts_);
}

int64_t SearchSession::PositionToSave() {
    if (ranThisSession_) return state_.kPosition.load();
    // Nothing has run: the stored position stays as it is.
    int64_t stored = 0;
    if (ini_ && ParseDecimalInt64(ReadPositionText(*ini_), stored)) return stored;
    return 0;
}

bool SearchSession::Write(const TaskTexts& texts, int64_t position, bool final) {
    if (!ini_) return true;
    lastSave_ = std::chrono::steady_clock::now();
    saveDue_ = false;
    try {
        WritePosition(*ini_, texts, position);
        saveFailing_ = false;
        return true;
    } catch (const SettingsWriteError& e) {
        // Told every time for a final save, once in a row while the search runs.
        if (final || !saveFailing_) listener_.SaveFailed({e.what(), e.reason(), final});
        saveFailing_ = true;
        return false;
    }
}

void SearchSession::SaveFinal() {
    if (ranThisSession_) {
        const uint32_t n = state_.nCurrent.load();
        if (n != 0 && texts_.nFirst != std::to_string(n)) {
            TaskTexts texts = texts_;
            texts.nFirst = std::to_string(n);
            SetTexts(texts);
        }
    }
    const TaskTexts& t = texts_;
    if (t.nFirst.empty() || t.nLast.empty() || t.kLow.empty() || t.kHigh.empty()) return;
    Write(t, PositionToSave(), true);
}

// The position of a running search: an exponent and a k that belong together, or nothing while
// the thread passes from one exponent to the next (the save is then made at the next turn).
void SearchSession::SaveRunning() {
    if (!searching()) return;
    uint32_t n = 0;
    int64_t k = 0;
    if (!state_.ResumePoint(n, k)) {
        saveDue_ = true;
        return;
    }
    TaskTexts texts = runTexts_;
    texts.nFirst = std::to_string(n);
    Write(texts, k, false);
}

// ---- Priority -----------------------------------------------------------------------------------------------

std::string SearchSession::priorityText() const {
    return priorityLevel_ >= 0 && priorityLevel_ < 6 ? kPriorityTexts[priorityLevel_] : "";
}

void SearchSession::ApplyLevel(int level) {
    const pid_t tid = threadId();
    if (tid != 0) ApplyThreadPriority(tid, level);  // an ended thread keeps only the stored value
}

void SearchSession::SetPriority(int level) {
    if (ini_) ini_->WriteInteger(kTaskSection, "Priority", level);
    storedPriority_ = level;
    ApplyLevel(level);
    priorityLevel_ = level;
}

void SearchSession::SetFloatingPriority(bool on) {
    if (ini_) ini_->WriteInteger(kTaskSection, "FloatingPriority", on ? 1 : 0);
    floatingMode_ = on ? 1 : 0;
}

void SearchSession::PointerMoved(int32_t x) {
    if (floatingMode_ == 0 || !searching() || x == lastPointerX_) return;
    lastPointerX_ = x;
    try {
        ApplyLevel(kLowestLevel);
        priorityLevel_ = kLowestLevel;
    } catch (const std::exception& e) {
        // A pointer movement must never end a search that runs for days: say it once, go on.
        if (!lowerRefusalShown_) listener_.Notice(e.what());
        lowerRefusalShown_ = true;
    }
    floatingMode_ = 2;
}

void SearchSession::FloatingTick(uint32_t tick) {
    if (floatingMode_ == 0) return;
    if (floatingMode_ == 1 && tick % 6 == 0) {
        try {
            ApplyLevel(kHighestLevel);
            priorityLevel_ = kHighestLevel;
        } catch (const std::exception& e) {
            // Refused every sixth tick for as long as the search runs: say it once.
            if (!raiseRefusalShown_) listener_.Notice(e.what());
            raiseRefusalShown_ = true;
        }
    }
    floatingMode_ = 1;
}

}  // namespace vontal
