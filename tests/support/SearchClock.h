// How long another process has searched, read from /proc: the processor time of its busiest
// thread other than the main one, which in both programs is the computation thread. A test that
// lets a program search "for a while" before it stops or kills it waits for this to grow, not
// for the wall clock: on a busy machine a program may get no processor for seconds, and a wait
// by the clock would then stop it before it had done anything.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace vontal::testing {

// Processor time of one thread in nanoseconds (-1 when it is gone): from schedstat when the
// kernel keeps it, else from the clock ticks in stat.
inline int64_t ThreadCpuNs(pid_t pid, pid_t tid) {
    const std::string base = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid);
    std::ifstream schedstat(base + "/schedstat");
    long long ns = 0;
    if (schedstat >> ns) return ns;
    std::ifstream stat(base + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return -1;
    // The fields after the name (which may hold blanks): state is field 3, utime 14, stime 15.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoll(field);
        if (i == 15) stime = std::stoll(field);
    }
    return (utime + stime) * (1'000'000'000LL / sysconf(_SC_CLK_TCK));
}

// Processor time of the busiest thread of `pid` other than its main thread; 0 when it has none.
inline int64_t SearchCpuNs(pid_t pid) {
    DIR* tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (!tasks) return 0;
    int64_t most = 0;
    while (const dirent* entry = readdir(tasks)) {
        const pid_t tid = static_cast<pid_t>(std::atol(entry->d_name));
        if (tid <= 0 || tid == pid) continue;
        const int64_t ns = ThreadCpuNs(pid, tid);
        if (ns > most) most = ns;
    }
    closedir(tasks);
    return most;
}

// Processor time of the whole process `pid` (every thread it has now) in nanoseconds; 0 when it
// is gone.
inline int64_t ProcessCpuNs(pid_t pid) {
    DIR* tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (!tasks) return 0;
    int64_t sum = 0;
    while (const dirent* entry = readdir(tasks)) {
        const pid_t tid = static_cast<pid_t>(std::atol(entry->d_name));
        if (tid <= 0) continue;
        const int64_t ns = ThreadCpuNs(pid, tid);
        if (ns > 0) sum += ns;
    }
    closedir(tasks);
    return sum;
}

// The state letter of a process from /proc (R running, S sleeping, T stopped, Z, ...), '?' when
// it is not there. A SIGSTOP takes effect a moment after kill() returns: wait for 'T'.
inline char ProcessState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return '?';
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
}

// Whether the process has ended (a zombie not yet waited for counts as ended) or is not there.
inline bool ProcessEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const size_t close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) return true;
    const char state = line[close + 2];
    return state == 'Z' || state == 'X';
}

// Waits until the computation thread of `pid` has searched for `searched` of processor time, or
// the process has ended. False when neither happened within `limit` (a program that never got
// the processor, or never started a search).
inline bool WaitUntilSearched(pid_t pid, std::chrono::nanoseconds searched,
                              std::chrono::seconds limit = std::chrono::seconds(120)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (SearchCpuNs(pid) < searched.count() && !ProcessEnded(pid)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace vontal::testing
