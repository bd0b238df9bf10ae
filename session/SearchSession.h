// The search session that every front end drives: the directory's lock, the settings file, the
// search state and the computation thread, continuing the stored task, the follow-on queue, the
// rules for saving the position, the thread's priority and the kernel self-test report.
//
// A front end (the window, vontal-cli) shows what the session reports and hands it the user's
// requests; it never starts the thread or writes the position itself. The session is used from
// one thread, the owner's; the computation thread only queues its events, and the owner works
// them off with ProcessEvents when the listener says some are waiting.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "engine/SearchEvents.h"
#include "engine/SearchState.h"
#include "engine/SearchThread.h"
#include "session/DirectoryLock.h"
#include "session/TaskCheck.h"
#include "settings/FollowingTasks.h"
#include "settings/IniFile.h"

namespace vontal {

// Which front end drives the session, for the wording of what it tells the user.
enum class FrontEnd { Window, CommandLine };

struct SessionOptions {
    std::filesystem::path dir;  // where "Vontal.ini", "Result.txt" and "Vontal.log" live
    FrontEnd frontEnd = FrontEnd::CommandLine;
    std::optional<uint32_t> cpuMHz;  // a known clock skips the clock measurement
    std::optional<uint32_t> cpuFamily;  // else the processor's own
    uint32_t threads = 0;            // cores to search with; 0: the settings key "Threads" (else 1)
    // The position of a running search is saved at least this often.
    std::chrono::steady_clock::duration saveInterval = std::chrono::minutes(30);
};

// A save of the position that the settings file refused; the old file stays as it was.
struct SaveFailure {
    std::string message;  // "Unable to write to <path>"
    int reason = 0;       // the system's error number, when known
    bool final = false;   // the save after a run ended (else a save while it runs)
};

struct StartOutcome {
    bool started = false;
    // Why it did not start, worded for the front end; empty when it is passed over without a
    // word (a box left empty in the window, a search already running).
    std::string message;
};

class SessionListener {
public:
    virtual ~SessionListener() = default;
    // Called on the computation thread as soon as an event is queued: wake the owner's thread,
    // which then calls ProcessEvents. Must return at once and must not call the session.
    virtual void EventQueued(const SearchEvent& event) = 0;

    // The rest is called on the owner's thread, from the session's own calls.
    // An event of the computation thread, once the session has acted on it (saved the position,
    // joined the ended thread). `current`: of the run the session follows, not of one it has
    // stopped and saved already, or replaced.
    virtual void SearchEventHandled(const SearchEvent& /*event*/, bool /*current*/) {}
    // The session changed the task texts: the stored task read, a follow-on task taken, the
    // exponent in hand, the lowest k raised to 3.
    virtual void TaskTextsChanged(const TaskTexts& /*texts*/) {}
    virtual void SaveFailed(const SaveFailure& /*failure*/) {}
    // A follow-on task was taken from the queue; `refusal` is why it could not start (worded for
    // the front end; empty when it started or is passed over without a word).
    virtual void FollowingTaskTaken(const TaskTexts& /*task*/, bool /*started*/, const std::string& /*refusal*/) {}
    // Something the user should read; the program goes on.
    virtual void Notice(const std::string& /*message*/) {}
};

class SearchSession {
public:
    SearchSession(SessionOptions options, SessionListener& listener);
    // Stops the search and waits for it; saves nothing (the front end decides what to save on
    // its way out).
    ~SearchSession();
    SearchSession(const SearchSession&) = delete;
    SearchSession& operator=(const SearchSession&) = delete;

    // --- Opening, in this order -----------------------------------------------------------------
    // Takes the directory's lock: one program per directory, or their records would interleave.
    // False when another program holds it (lockBusy) or it cannot be had; lockProblem says why.
    bool Lock();
    bool lockBusy() const;
    std::string lockProblem() const;
    // Opens the settings file and measures the processor; with the lock held, removes what
    // writes of a killed program left behind (temporary settings files, a line of
    // "results.jsonl" cut short); writes the kernel self-test's failures to the log.
    // Empty when the file can be read (or is missing); otherwise why it cannot, and its reads
    // then give the defaults.
    std::string Open();
    // Reads the stored task into the task texts and continues it. Not started, without a message,
    // when there is none or it is finished; with one when it cannot run.
    StartOutcome ContinueStoredTask();

    // --- The task texts: what the task boxes hold, saved with the position ---------------------
    const TaskTexts& taskTexts() const { return texts_; }
    void SetTaskTexts(const TaskTexts& texts) { texts_ = texts; }

    // --- Run control -------------------------------------------------------------------------------
    // A new task from the task texts: checked, begun in the settings file, searched from its
    // first k. Nothing is written when the check fails.
    StartOutcome StartNewTask();
    // The task texts from the stored position.
    StartOutcome Continue();
    // Takes follow-on tasks from the queue until one starts; false when none is left.
    bool StartNextFollowingTask();
    // Stops the search, waits for the candidates in hand, and saves the final position.
    void Stop();
    // Stop, then the task texts once more as they stand, even when incomplete: closing the
    // program keeps what the boxes hold (nothing is written when they and the stored task are
    // all empty).
    void SaveForExit();
    // Saves the position now without stopping (the desktop session is about to end).
    void SavePosition();
    // Call every few seconds or more often: the periodic save, and a save that was due while the
    // thread passed from one exponent to the next.
    void Tick();
    // Works off the events the computation thread has queued, in order.
    void ProcessEvents();

    // --- What the front ends show ---------------------------------------------------------------
    // A search runs and no stop has been asked for.
    bool searching() const;
    SearchState& state() { return state_; }
    const SearchState& state() const { return state_; }
    // System id of the computation thread while it runs, else 0.
    pid_t threadId() const;
    uint32_t cpuFamily() const { return cpuFamily_; }
    uint32_t cpuMHz() const { return cpuMHz_; }
    const std::filesystem::path& dir() const { return options_.dir; }
    // The settings file; null before Open.
    IniFile* settings() const { return ini_.get(); }
    std::filesystem::path settingsPath() const;
    // The kernel variants that failed their start-up self-test, one message each.
    const std::vector<std::string>& kernelFailures() const { return kernelFailures_; }
    // Whether the last save of the position failed.
    bool lastSaveFailed() const { return saveFailing_; }
    // Cores for the next start (0: the settings key "Threads").
    void SetThreads(uint32_t threads) { options_.threads = threads; }
    // Cores the next start searches with: the option, else the settings key "Threads", else 1.
    uint32_t ThreadsToUse() const;
    // Cores the running search (or the last one) uses.
    uint32_t runThreads() const { return runThreads_; }
    // Ages the time of the last save, as if it had been made that long before (tests of the
    // periodic save).
    void AgeLastSave(std::chrono::steady_clock::duration by) { lastSave_ -= by; }

    // --- The thread's priority -----------------------------------------------------------------------
    // Levels 0..5: idle, lowest, lower, normal, higher, highest.
    // The stored "Priority" and "FloatingPriority" as read at the last start.
    int storedPriority() const { return storedPriority_; }
    bool floatingPriority() const { return floatingMode_ != 0; }
    // The level last applied (-1: none yet), and its text for the status line ("1-Idle").
    int priorityLevel() const { return priorityLevel_; }
    std::string priorityText() const;
    // The menu's choice: stored, applied to the running thread at once.
    void SetPriority(int level);
    // Floating priority: a thread that drops to "lowest" as soon as the pointer moves
    // sideways, and rises to "highest" once it has rested for a while.
    void SetFloatingPriority(bool on);
    void PointerMoved(int32_t x);
    // The front end's display tick: every sixth one with the pointer at rest raises the thread.
    void FloatingTick(uint32_t tick);
    uint32_t floatingMode() const { return floatingMode_; }  // 0 off, 1 on, 2 the pointer moved
    void SetLastPointerX(int32_t x) { lastPointerX_ = x; }
    void SetPriorityLevelShown(int level) { priorityLevel_ = level; }

private:
    class Sink;
    struct Queued {
        uint64_t serial;
        SearchEvent event;
    };

    // `continuing`: from a stored position, not a task begun now.
    StartOutcome StartSearch(TaskTexts texts, const std::string& positionText, Wording wording, bool continuing);
    Wording StartWording() const;
    Wording StoredWording() const;
    void Handle(const SearchEvent& event, uint64_t serial);
    void SettleEndedRun();
    void JoinThread();
    // The final position of a run that has ended: the exponent reached into the task texts, then
    // the texts and the position, when the texts are complete.
    void SaveFinal();
    // The position of the running search; due again later when the thread is between exponents.
    void SaveRunning();
    // The task texts as they stand, even when incomplete, with the position to keep.
    void SaveTextsAsTheyStand();
    bool Write(const TaskTexts& texts, int64_t position, bool final);
    int64_t PositionToSave();
    void SetTexts(const TaskTexts& texts);
    void ApplyLevel(int level);

    SessionOptions options_;
    SessionListener& listener_;
    std::optional<DirectoryLock> lock_;
    std::unique_ptr<IniFile> ini_;
    uint32_t cpuFamily_ = 0, cpuMHz_ = 0;
    std::vector<std::string> kernelFailures_;

    SearchState state_;
    std::unique_ptr<Sink> sink_;
    std::unique_ptr<SearchThread> thread_;
    uint64_t runSerial_ = 0;       // of the thread in thread_
    bool runEndHandled_ = true;    // its end (or stop) has been handled and saved
    bool ranThisSession_ = false;  // a thread has taken up a position: the state holds it
    TaskTexts texts_;              // the task texts, as the boxes hold them
    TaskTexts runTexts_;           // the running task's texts, saved with its position
    uint32_t runThreads_ = 1;

    std::mutex queueMutex_;
    std::deque<Queued> queue_;
    bool processing_ = false;

    std::chrono::steady_clock::time_point lastSave_;
    bool saveDue_ = false;
    bool saveFailing_ = false;

    int storedPriority_ = 0;
    int priorityLevel_ = -1;
    uint32_t floatingMode_ = 0;
    int32_t lastPointerX_ = 0;
    bool lowerRefusalShown_ = false;  // this run's refusals are told once
    bool raiseRefusalShown_ = false;
};

// Priority level (0..5, -1 = leave the default) for a stored "Priority" value.
int PriorityLevelForStored(int stored);

}  // namespace vontal
