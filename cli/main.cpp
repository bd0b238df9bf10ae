// vontal-cli: the search without a window, for servers, scripts and benchmarks.
//
//   vontal-cli [--dir DIR] [--task "n=A to B, k=C to D"] [--threads N] [--save-every SECONDS]
//   vontal-cli split ... | vontal-cli merge ...   (a task over many machines: cluster/Commands.h)
//
// Works on Vontal.ini, Result.txt and Vontal.log in the data folder (DIR, else the one the data
// folder's rule picks, as for the desktop program), and keeps any other Vontal program out of it
// while it runs. With --task it begins that task afresh; without, it continues the stored one.
// Then it takes follow-on tasks from the settings file until none is left. --threads N searches on N
// cores (default: the settings key "Threads", else 1). The position is saved after every divisor
// recorded, as every exponent begins, every SECONDS (default 1800), at every task's end, and on
// SIGINT, SIGTERM and SIGHUP. The options and the help text: Options.cpp.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/Options.h"
#include "cluster/Commands.h"
#include "engine/Kernel.h"
#include "engine/Records.h"
#include "Version.h"
#include "session/DataFolder.h"
#include "session/RunTime.h"
#include "session/SearchSession.h"
#include "session/TaskCheck.h"
#include "settings/FollowingTasks.h"

namespace vontal {
namespace {

volatile std::sig_atomic_t gSignal = 0;
void OnSignal(int sig) { gSignal = sig; }

using Clock = std::chrono::steady_clock;

// The front end: what the session reports goes to standard output (divisors) and standard error
// (everything else); the loop waits for the computation thread's events, signals and the clock.
class CommandLine : public SessionListener {
public:
    CommandLine(const DataFolder& folder, uint32_t threads, Clock::duration saveEvery)
        : folder_(folder), saveEvery_(saveEvery), session_(Options(folder.dir, threads, saveEvery), *this) {
        tty_ = ::isatty(STDERR_FILENO);
    }

    int Run(const std::optional<std::string>& taskLine) {
        TaskTexts task;
        if (taskLine) {
            task = ParseFollowingTaskLine(*taskLine);
            if (taskLine->find("to") == std::string::npos) task = {};
            const std::string why = TaskProblemMessage(CheckTask(task), task, Wording::CommandLine);
            if (!CheckTask(task).passes()) {
                std::cerr << "vontal-cli: bad task '" << *taskLine << "': " << why << "\n";
                return 2;
            }
        }
        std::cerr << "vontal-cli: kernel " << SelectedKernel() << "\n";
        for (const std::string& failure : KernelSelfTestFailures()) std::cerr << "vontal-cli: " << failure << "\n";
        // The user's data folder is made here, on first use; a folder that cannot be used ends
        // the run rather than sending the files elsewhere.
        if (const std::string problem = PrepareDataFolder(folder_); !problem.empty()) {
            std::cerr << "vontal-cli: " << problem << "\n";
            return 2;
        }
        std::cerr << "vontal-cli: data folder " << folder_.dir.string() << "\n";
        if (!session_.Lock()) {
            std::cerr << "vontal-cli: " << session_.lockProblem()
                      << (session_.lockBusy() ? "; only one may work there at a time\n" : "\n");
            return 2;
        }
        if (const std::string problem = session_.Open(); !problem.empty()) {
            std::cerr << "vontal-cli: cannot read " << session_.settingsPath().string() << ": " << problem << "\n";
            return 2;
        }

        StartOutcome start;
        if (taskLine) {
            session_.SetTaskTexts(task);
            start = session_.StartNewTask();
        } else {
            // A task that cannot run (a hand edit, a damaged file) is reported with its keys; the
            // follow-on tasks, if any, run instead (and replace it), else the file stays as it
            // is. A finished task, or none, is no news.
            start = session_.ContinueStoredTask();
        }
        if (!start.message.empty()) std::cerr << "vontal-cli: " << start.message << "\n";
        if (!start.started && !session_.StartNextFollowingTask()) {
            if (!start.message.empty()) {
                std::cerr << "vontal-cli: no task can run; " << session_.settingsPath().string() << " is left as it is\n";
                return 2;
            }
            std::cerr << "vontal-cli: nothing to do: no unfinished task and no follow-on task\n";
            return 0;
        }
        intervalStart_ = Clock::now();
        return Loop();
    }

private:
    static SessionOptions Options(const std::filesystem::path& dir, uint32_t threads, Clock::duration saveEvery) {
        SessionOptions o;
        o.dir = dir;
        o.frontEnd = FrontEnd::CommandLine;
        o.threads = threads;
        o.saveInterval = saveEvery;
        if (const char* mhz = std::getenv("VONTAL_CPU_MHZ"))  // skips the clock measurement
            o.cpuMHz = static_cast<uint32_t>(std::strtoul(mhz, nullptr, 10));
        return o;
    }

    int Loop() {
        auto lastReport = Clock::now();
        const auto tick = std::min<Clock::duration>(std::chrono::milliseconds(200), saveEvery_);
        for (;;) {
            if (gSignal) {
                const int sig = gSignal;
                EndProgressLine();
                session_.Stop();
                if (session_.lastSaveFailed()) {
                    std::cerr << "vontal-cli: stopped on signal " << sig << "\n";
                    return 1;
                }
                std::cerr << "vontal-cli: stopping on signal " << sig << ", position saved\n";
                return 128 + sig;
            }
            {
                std::unique_lock lock(wakeMutex_);
                wake_.wait_for(lock, tick, [&] { return eventsWaiting_; });
                eventsWaiting_ = false;
            }
            session_.ProcessEvents();
            if (exitCode_) return *exitCode_;
            session_.Tick();
            const auto now = Clock::now();
            const auto every = tty_ ? std::chrono::seconds(1) : std::chrono::seconds(15);
            if (now - lastReport >= every && session_.searching()) {
                Report();
                lastReport = now;
            }
        }
    }

    // --- What the session reports ------------------------------------------------------------------
    void EventQueued(const SearchEvent&) override {
        {
            std::lock_guard lock(wakeMutex_);
            eventsWaiting_ = true;
        }
        wake_.notify_one();
    }

    void SearchEventHandled(const SearchEvent& e, bool current) override {
        switch (e.kind) {
            case SearchEventKind::DivisorFound: {
                EndProgressLine();
                // "found m=..,  k=..,  n=.." and "k.2^n+1 divides F_m" as two plain lines.
                std::string text;
                for (char c : FoundRecord(e.m, e.k, e.n))
                    if (c != '\r') text += c;
                std::cout << text.substr(text.find_first_not_of('\n')) << std::flush;
                break;
            }
            case SearchEventKind::ExponentBegun:
                if (current) {
                    intervalStart_ = Clock::now();
                    intervalK_ = e.k;
                }
                break;
            case SearchEventKind::Warning:
                EndProgressLine();
                std::cerr << "vontal-cli: " << e.message << "\n";
                break;
            case SearchEventKind::Failed:
                if (!current) break;
                EndProgressLine();
                std::cerr << "vontal-cli: search stopped: " << e.message << "\n";
                if (e.wasRunning && !session_.lastSaveFailed())
                    std::cerr << "vontal-cli: position saved; a run without --task takes up from there\n";
                exitCode_ = 1;
                break;
            case SearchEventKind::TaskFinished:
                if (!current) break;
                EndProgressLine();
                // Without the finished task on record a follow-on task is not begun: its start
                // would fail the same way, and the queue entry would be lost.
                if (session_.lastSaveFailed()) {
                    std::cerr << "vontal-cli: task complete, but not saved as complete; follow-on tasks are left for later\n";
                    exitCode_ = 1;
                    break;
                }
                std::cerr << "vontal-cli: task complete\n";
                if (!session_.StartNextFollowingTask()) exitCode_ = 0;
                break;
            default:
                break;
        }
    }

    void SaveFailed(const SaveFailure& failure) override {
        EndProgressLine();
        std::cerr << "vontal-cli: the position could not be saved: " << failure.message
                  << (failure.reason != 0 ? std::string(": ") + std::strerror(failure.reason) : std::string()) << "\n";
    }

    void FollowingTaskTaken(const TaskTexts& task, bool started, const std::string&) override {
        EndProgressLine();
        std::cerr << "vontal-cli: follow-on task " << FormatFollowingTaskLine(task) << "\n";
        if (!started) std::cerr << "vontal-cli: follow-on task refused\n";
    }

    void Notice(const std::string& message) override {
        EndProgressLine();
        std::cerr << "vontal-cli: " << message << "\n";
    }

    // --- Progress --------------------------------------------------------------------------------------
    void Report() {
        const SearchState& s = session_.state();
        const double secs = std::chrono::duration<double>(Clock::now() - intervalStart_).count();
        const int64_t k = s.kPosition.load(), kLow = s.kLow.load(), kHigh = s.kHigh.load();
        const uint32_t n = s.nCurrent.load(), nLast = s.nLast.load();
        const double rate = secs > 0 ? static_cast<double>(k - intervalK_) / secs : 0;
        const double span = static_cast<double>(kHigh - kLow);
        const double done = span > 0 ? static_cast<double>(k - kLow) / span : 1;
        const double left = rate > 0 ? (static_cast<double>(kHigh - k) + (nLast - n) * span) / rate : -1;
        char line[256];
        std::snprintf(line, sizeof line, "n=%u  k=%s  %.3g k/s  %.1f%% of n=%u  left about %s%s", n,
                      FormatThousands(k).c_str(), rate, 100 * std::clamp(done, 0.0, 1.0), n,
                      FormatDuration(std::floor(left)).c_str(), nLast > n ? " (at this rate)" : "");
        if (tty_) {
            std::cerr << "\r" << line << "\x1b[K" << std::flush;
            progressShown_ = true;
        } else {
            std::cerr << line << "\n";
        }
    }

    void EndProgressLine() {
        if (progressShown_) std::cerr << "\n";
        progressShown_ = false;
    }

    DataFolder folder_;
    Clock::duration saveEvery_;
    SearchSession session_;
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    bool eventsWaiting_ = false;
    std::optional<int> exitCode_;
    Clock::time_point intervalStart_ = Clock::now();
    int64_t intervalK_ = 0;
    bool tty_ = false, progressShown_ = false;
};

}  // namespace
}  // namespace vontal

int main(int argc, char** argv) {
    if (argc >= 2 && (std::string(argv[1]) == "split" || std::string(argv[1]) == "merge")) {
        // Merge checks every divisor with the candidate test: the kernel choice holds here too.
        if (const std::string problem = vontal::KernelChoiceProblem(); !problem.empty()) {
            std::cerr << "vontal-cli: " << problem << "\n";
            return 2;
        }
        const std::vector<std::string> args(argv + 2, argv + argc);
        try {
            return std::string(argv[1]) == "split" ? vontal::cluster::RunSplit(args, std::cout, std::cerr)
                                                   : vontal::cluster::RunMerge(args, std::cout, std::cerr);
        } catch (const std::exception& e) {
            std::cerr << "vontal-cli " << argv[1] << ": " << e.what() << "\n";
            return 1;
        }
    }
    const vontal::ParsedOptions parsed = vontal::ParseOptions(argc, argv);
    if (!parsed.error.empty()) {
        std::cerr << "vontal-cli: " << parsed.error << "\n"
                  << vontal::UsageLine() << "Try 'vontal-cli --help' for more information.\n";
        return 2;
    }
    const vontal::CliOptions& options = parsed.options;
    if (options.help) {
        std::cout << vontal::HelpText();
        return 0;
    }
    // A kernel asked for by name is used or the program does not start: a silent replacement
    // would make a timing or a comparison of variants meaningless.
    if (const std::string problem = vontal::KernelChoiceProblem(); !problem.empty()) {
        std::cerr << "vontal-cli: " << problem << "\n";
        return 2;
    }
    if (options.version) {
        // The kernel is the fastest this processor runs, or the one VONTAL_KERNEL names.
        std::cout << "vontal-cli " << vontal::kVersionText << " (kernel " << vontal::SelectedKernel() << ")\n";
        return 0;
    }
    const vontal::DataFolder folder = vontal::ChooseDataFolder(vontal::DataFolderInputsOfThisProcess(options.dir));
    if (!folder.problem.empty()) {
        std::cerr << "vontal-cli: " << folder.problem << "\n";
        return 2;
    }
    if (options.showDir) {
        std::cout << folder.dir.string() << "\n";
        return 0;
    }
    std::signal(SIGINT, vontal::OnSignal);
    std::signal(SIGTERM, vontal::OnSignal);
    // A closed terminal saves the position too; under nohup the hang-up stays ignored.
    if (std::signal(SIGHUP, vontal::OnSignal) == SIG_IGN) std::signal(SIGHUP, SIG_IGN);
    try {
        const auto saveEvery = std::chrono::duration_cast<vontal::Clock::duration>(
            std::chrono::duration<double>(options.saveSeconds));
        vontal::CommandLine frontEnd(folder, options.threads, saveEvery);
        return frontEnd.Run(options.task);
    } catch (const vontal::SettingsWriteError& e) {
        std::cerr << "vontal-cli: " << e.what() << (e.reason() != 0 ? std::string(": ") + std::strerror(e.reason()) : "")
                  << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "vontal-cli: " << e.what() << "\n";
        return 1;
    }
}
