// vontal-cli: the search without a window, for servers, scripts and benchmarks.
//
//   vontal-cli [--dir DIR] [--task "n=A to B, k=C to D"] [--threads N] [--save-every SECONDS]
//
// Works on DIR/Vontal.ini, DIR/Result.txt and DIR/Vontal.log (DIR defaults to the directory of
// the executable, like the desktop program), and keeps any other Vontal program out of DIR while
// it runs. With --task it begins that task afresh; without, it continues the stored one. Then it
// takes follow-on tasks from the settings file until none is left. --threads N searches on N
// cores (default: the settings key "Threads", else 1). The position is saved after every divisor
// recorded, as every exponent begins, every SECONDS (default 1800), at every task's end, and on
// SIGINT/SIGTERM.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>

#include "session/DirectoryLock.h"
#include "settings/FollowingTasks.h"
#include "settings/IniFile.h"
#include "session/QueuedWindow.h"
#include "settings/TaskFile.h"
#include "engine/Factor.h"
#include "engine/Kernel.h"
#include "engine/NumberText.h"
#include "engine/Processor.h"
#include "engine/Records.h"

namespace vontal {
namespace {

volatile std::sig_atomic_t gSignal = 0;
void OnSignal(int sig) { gSignal = sig; }

using Clock = std::chrono::steady_clock;

void Usage() {
    std::cerr << "usage: vontal-cli [--dir DIR] [--task \"n=A to B, k=C to D\"] [--threads N] [--save-every SECONDS]\n";
}

// An error for the user; a refused settings write with the system's reason.
std::string Describe(const std::exception& e) {
    std::string text = e.what();
    if (const auto* write = dynamic_cast<const SettingsWriteError*>(&e); write && write->reason() != 0)
        text += std::string(": ") + std::strerror(write->reason());
    return text;
}

std::filesystem::path ExecutableDir() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : exe.parent_path();
}

// Why a task cannot run, or empty when it can.
std::string CheckTask(const BoxTexts& t) {
    if (t.nMin.empty() || t.nMax.empty() || t.kMin.empty() || t.kMax.empty())
        return "it needs the form \"n=A to B, k=C to D\"";
    try {
        const int32_t n1 = StrToInt(t.nMin), n2 = StrToInt(t.nMax);
        const int64_t k1 = StrToK(t.kMin), k2 = StrToK(t.kMax);
        if (n1 < 8) return "the first exponent must be at least 8";
        if (n2 < n1) return "the last exponent is below the first";
        if (n2 > kMaxExponent) return "the last exponent must be at most " + std::to_string(kMaxExponent);
        if (k2 < k1) return "the highest k is below the lowest";
        if (k2 < 1) return "the highest k must be positive";
    } catch (const ConversionError& e) {
        return e.what();
    }
    return {};
}

// A task whose resume exponent has passed its last one: what a completed task leaves behind.
bool Finished(const BoxTexts& t) {
    try {
        return StrToInt(t.nMin) > StrToInt(t.nMax) && StrToInt(t.nMax) >= 8;
    } catch (const ConversionError&) {
        return false;
    }
}

std::string FormatDuration(double seconds) {
    if (!(seconds >= 0) || seconds > 1e9) return "unknown";
    const long long s = static_cast<long long>(seconds);
    char text[64];
    if (s >= 86400)
        std::snprintf(text, sizeof text, "%lldd %02lldh", s / 86400, s % 86400 / 3600);
    else if (s >= 3600)
        std::snprintf(text, sizeof text, "%lldh %02lldm", s / 3600, s % 3600 / 60);
    else
        std::snprintf(text, sizeof text, "%lldm %02llds", s / 60, s % 60);
    return text;
}

class FrontEnd {
public:
    FrontEnd(std::filesystem::path dir, uint32_t threads, Clock::duration saveEvery)
        : dir_(std::move(dir)), ini_(dir_ / kSettingsFileName), saveEvery_(saveEvery) {
        state_.threadCount.store(threads);
        state_.programDir = dir_;
        state_.iniFile = &ini_;
        state_.cpuFamily = CpuFamily();
        const char* mhz = std::getenv("VONTAL_CPU_MHZ");  // skips the half-second measurement
        state_.cpuMHz = mhz ? static_cast<uint32_t>(std::strtoul(mhz, nullptr, 10)) : MeasureCpuMHz();
        state_.stopFlag.store(1);
        tty_ = ::isatty(STDERR_FILENO);
        for (const std::string& failure : KernelSelfTestFailures()) std::cerr << "vontal-cli: " << failure << "\n";
    }
    // Whatever ends the front end (an error included) ends the search first: the thread must not
    // outlive the state it works on, and joining a running one would wait for ever.
    ~FrontEnd() {
        state_.stopFlag.store(1);
        if (thread_) thread_->Join();
    }

    int Run(const std::optional<std::string>& taskLine) {
        BoxTexts task;
        if (taskLine) {
            task = ParseFollowingTaskLine(*taskLine);
            if (taskLine->find("to") == std::string::npos) task = {};
            const std::string why = CheckTask(task);
            if (!why.empty()) {
                std::cerr << "vontal-cli: bad task '" << *taskLine << "': " << why << "\n";
                return 2;
            }
        }
        lock_.emplace(dir_);
        if (!lock_->Held()) {
            std::cerr << "vontal-cli: " << lock_->Problem()
                      << (lock_->state() == TDirectoryLock::State::Busy ? "; only one may work there at a time\n" : "\n");
            return 2;
        }
        if (const std::string problem = ini_.ReadProblem(); !problem.empty()) {
            std::cerr << "vontal-cli: cannot read " << ini_.Path().string() << ": " << problem << "\n";
            return 2;
        }
        ini_.RemoveStaleTemporaries();
        // A kernel variant that failed its self-test is not used; whoever collects the log is
        // to know (stderr already said so).
        for (const std::string& failure : KernelSelfTestFailures()) {
            try {
                AppendToLog(dir_, "\r\n" + failure, state_.cpuFamily, state_.cpuMHz);
            } catch (const std::exception& e) {
                std::cerr << "vontal-cli: " << e.what() << "\n";
            }
        }

        bool started = false, storedUnusable = false;
        if (taskLine) {
            window_.boxes = task;
            BeginNewTask(ini_, window_.boxes, std::time(nullptr));
            state_.KTemp.store(0);
            started = Start();
        } else {
            window_.boxes = ReadTaskBoxes(ini_);
            // A task that cannot run (a hand edit, a damaged file) is reported with its keys; the
            // follow-on tasks, if any, run instead (and replace it), else the file stays as it
            // is. A finished task, or none, is no news.
            const std::string why = StoredTaskProblem(window_.boxes);
            if (why.empty()) {
                started = Start();
            } else {
                const BoxTexts& b = window_.boxes;
                std::cerr << "vontal-cli: the stored task (nTemp=" << b.nMin << ", nMax=" << b.nMax << ", kMin=" << b.kMin
                          << ", kMax=" << b.kMax << ") cannot run: " << why << "\n";
                storedUnusable = true;
            }
        }
        if (!started && !NextFollowingTask()) {
            if (storedUnusable) {
                std::cerr << "vontal-cli: no task can run; " << ini_.Path().string() << " is left as it is\n";
                return 2;
            }
            std::cerr << "vontal-cli: nothing to do: no unfinished task and no follow-on task\n";
            return 0;
        }
        return Loop();
    }

private:
    // Why the stored task cannot be continued; empty when it can, or when there is none (no
    // task keys) or it is finished.
    std::string StoredTaskProblem(const BoxTexts& b) {
        if (b.nMin.empty() && b.nMax.empty() && b.kMin.empty() && b.kMax.empty()) return {};
        if (Finished(b)) return {};
        if (b.nMin.empty() || b.nMax.empty() || b.kMin.empty() || b.kMax.empty()) return "it is incomplete";
        if (std::string why = CheckTask(b); !why.empty()) return why;
        int64_t k = 0;
        const std::string kTemp = ini_.ReadString("f", "KTemp", "0");
        if (!ParseDecimalInt64(kTemp, k)) return "its position KTemp '" + kTemp + "' is not a valid integer value";
        return {};
    }

    bool Start() {
        try {
            const StartOutcome out = StartFactor(state_, window_, thread_);
            if (out.started) {
                intervalStart_ = Clock::now();
                lastSave_ = Clock::now();
            }
            return out.started;
        } catch (const ConversionError& e) {
            std::cerr << "vontal-cli: " << e.what() << "\n";
        } catch (const TaskRefused& e) {
            std::cerr << "vontal-cli: " << e.what() << "\n";
        }
        return false;
    }

    // Takes follow-on tasks until one starts; false when the queue is empty.
    bool NextFollowingTask() {
        while (auto task = TakeNextFollowingTask(ini_)) {
            window_.boxes = *task;
            std::cerr << "vontal-cli: follow-on task " << FormatFollowingTaskLine(*task) << "\n";
            BeginNewTask(ini_, window_.boxes, std::time(nullptr));
            state_.KTemp.store(0);
            if (Start()) return true;
            std::cerr << "vontal-cli: follow-on task refused\n";
        }
        return false;
    }

    // Writes the position; false, with the reason told (once in a row unless `tellAlways`), when
    // the file refuses it. The old file then stays as it was.
    bool Save(uint32_t n, int64_t k, bool tellAlways = false) {
        if (n != 0) window_.boxes.nMin = std::to_string(n);
        const auto& b = window_.boxes;
        lastSave_ = Clock::now();
        saveDue_ = false;
        if (b.nMin.empty() || b.nMax.empty() || b.kMin.empty() || b.kMax.empty()) return true;
        try {
            WriteINI(ini_, b, k);
            saveFailing_ = false;
            return true;
        } catch (const std::exception& e) {
            EndProgressLine();
            if (!saveFailing_ || tellAlways)
                std::cerr << "vontal-cli: the position could not be saved: " << Describe(e) << "\n";
            saveFailing_ = true;
            return false;
        }
    }

    // The position once the thread has ended: exactly where it stopped.
    bool SaveFinal() { return Save(state_.nTemp.load(), state_.KTemp.load(), true); }

    // The position while the thread runs. Between two exponents there is no position to take for
    // a moment; the save is then made at the next turn of the loop.
    void SaveRunning() {
        if (!thread_ || thread_->Finished() || state_.stopFlag.load() != 0) return;
        uint32_t n = 0;
        int64_t k = 0;
        if (state_.ResumePoint(n, k)) Save(n, k);
        else saveDue_ = true;
    }

    int Loop() {
        auto lastReport = Clock::now();
        const auto tick = std::min<Clock::duration>(std::chrono::milliseconds(200), saveEvery_);
        for (;;) {
            if (gSignal) {
                const int sig = gSignal;
                EndProgressLine();
                state_.stopFlag.store(1);
                if (thread_) thread_->Join();
                if (!SaveFinal()) {
                    std::cerr << "vontal-cli: stopped on signal " << sig << "\n";
                    return 1;
                }
                std::cerr << "vontal-cli: stopping on signal " << sig << ", position saved\n";
                return 128 + sig;
            }
            auto event = window_.Wait(std::chrono::duration_cast<std::chrono::milliseconds>(tick));
            if (event) {
                if (auto code = Handle(*event)) return *code;
            }
            const auto now = Clock::now();
            if (saveDue_ || now - lastSave_ >= saveEvery_) SaveRunning();
            const auto every = tty_ ? std::chrono::seconds(1) : std::chrono::seconds(15);
            if (now - lastReport >= every && state_.stopFlag.load() == 0) {
                Report();
                lastReport = now;
            }
        }
    }

    // Returns an exit code when the front end is done.
    std::optional<int> Handle(const FactorEvent& e) {
        switch (e.kind) {
            case FactorEventKind::BoxText: window_.SetBox(e.box, e.text); break;
            case FactorEventKind::AppendResult: {
                EndProgressLine();
                // "\r\nfound m=..,  k=..,  n=..\r\nk.2^n+1 divides F_m" as two plain lines.
                std::string text;
                for (char c : e.text)
                    if (c != '\r') text += c;
                std::cout << text.substr(text.find_first_not_of('\n')) << std::endl;
                break;
            }
            case FactorEventKind::FoundIcon:
                // The divisor is on disk and the thread past it: saving now keeps a crash from
                // recording it again.
                saveDue_ = true;
                break;
            case FactorEventKind::RefreshInfo:
                intervalStart_ = Clock::now();
                intervalK_ = state_.KTemp.load();
                saveDue_ = true;  // an exponent begins: the last one is finished
                break;
            case FactorEventKind::Message:
                EndProgressLine();
                std::cerr << "vontal-cli: " << e.text << "\n";
                break;
            case FactorEventKind::ThreadError:
                EndProgressLine();
                std::cerr << "vontal-cli: search stopped: " << e.text << "\n";
                if (thread_) thread_->Join();
                if (e.started && SaveFinal())
                    std::cerr << "vontal-cli: position saved; a run without --task takes up from there\n";
                return 1;
            case FactorEventKind::TaskComplete:
                EndProgressLine();
                if (thread_) thread_->Join();
                // Without the finished task on record a follow-on task is not begun: its start
                // would fail the same way, and the queue entry would be lost.
                if (!SaveFinal()) {
                    std::cerr << "vontal-cli: task complete, but not saved as complete; follow-on tasks are left for later\n";
                    return 1;
                }
                std::cerr << "vontal-cli: task complete\n";
                if (!NextFollowingTask()) return 0;
                break;
            default: break;
        }
        return std::nullopt;
    }

    void Report() {
        const auto now = Clock::now();
        const double secs = std::chrono::duration<double>(now - intervalStart_).count();
        const int64_t k = state_.KTemp.load(), kMin = state_.kMin.load(), kMax = state_.kMax.load();
        const uint32_t n = state_.nTemp.load(), nMax = state_.nMax.load();
        const double rate = secs > 0 ? static_cast<double>(k - intervalK_) / secs : 0;
        const double span = static_cast<double>(kMax - kMin);
        const double done = span > 0 ? static_cast<double>(k - kMin) / span : 1;
        const double left = rate > 0 ? (static_cast<double>(kMax - k) + (nMax - n) * span) / rate : -1;
        char line[256];
        std::snprintf(line, sizeof line, "n=%u  k=%s  %.3g k/s  %.1f%% of n=%u  left about %s%s", n,
                      FormatThousands(k).c_str(), rate, 100 * std::clamp(done, 0.0, 1.0), n,
                      FormatDuration(left).c_str(), nMax > n ? " (at this rate)" : "");
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

    std::optional<TDirectoryLock> lock_;  // first in, last out: held until everything else is done
    std::filesystem::path dir_;
    TIniFile ini_;
    TSearchState state_;
    TQueuedWindow window_;
    std::unique_ptr<TFactor> thread_;
    Clock::duration saveEvery_;
    Clock::time_point intervalStart_ = Clock::now(), lastSave_ = Clock::now();
    int64_t intervalK_ = 0;
    bool tty_ = false, progressShown_ = false;
    bool saveDue_ = false;      // a save is wanted at the next turn of the loop
    bool saveFailing_ = false;  // the last save failed (told once until one succeeds)
};

}  // namespace
}  // namespace vontal

int main(int argc, char** argv) {
    std::filesystem::path dir;
    std::optional<std::string> task;
    uint32_t threads = 0;  // 0: the settings key "Threads"
    double saveSeconds = 1800;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--dir" || arg == "--task" || arg == "--threads" || arg == "--save-every") && i + 1 < argc) {
            const std::string value = argv[++i];
            char* end = nullptr;
            if (arg == "--dir") {
                dir = value;
            } else if (arg == "--task") {
                task = value;
            } else if (arg == "--threads") {
                const unsigned long n = std::strtoul(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || n < 1 || n > 256) {
                    std::cerr << "vontal-cli: bad thread count '" << value << "' (1 to 256)\n";
                    return 2;
                }
                threads = static_cast<uint32_t>(n);
            } else {
                saveSeconds = std::strtod(value.c_str(), &end);
                if (value.empty() || *end != '\0' || !(saveSeconds >= 0.01 && saveSeconds <= 1e7)) {
                    std::cerr << "vontal-cli: bad save interval '" << value << "' (seconds, 0.01 to 10000000)\n";
                    return 2;
                }
            }
        } else if (arg == "-h" || arg == "--help") {
            vontal::Usage();
            return 0;
        } else {
            std::cerr << "vontal-cli: unknown argument '" << arg << "'\n";
            vontal::Usage();
            return 2;
        }
    }
    if (dir.empty()) dir = vontal::ExecutableDir();
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        std::cerr << "vontal-cli: '" << dir.string() << "' is not a directory\n";
        return 2;
    }
    std::signal(SIGINT, vontal::OnSignal);
    std::signal(SIGTERM, vontal::OnSignal);
    try {
        const auto saveEvery = std::chrono::duration_cast<vontal::Clock::duration>(std::chrono::duration<double>(saveSeconds));
        vontal::FrontEnd frontEnd(dir, threads, saveEvery);
        return frontEnd.Run(task);
    } catch (const std::exception& e) {
        std::cerr << "vontal-cli: " << vontal::Describe(e) << "\n";
        return 1;
    }
}
