// Runs a program as a process and waits for it to end (a condition, with a generous time-out
// for a loaded machine); its standard output and error are kept in files and read back.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vontal::testing {

struct ProcessResult {
    int status = -1;  // exit status, 128 + signal when a signal ended it, -1 when it was not started
    bool timedOut = false;
    std::string out, err;
};

inline std::string ReadWholeFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs argv[0] (a path, or a name looked up in PATH) with the test's environment. A process
// still running after `limit` is killed and reported as timed out.
inline ProcessResult RunProcess(const std::vector<std::string>& args, const std::filesystem::path& scratch,
                                std::chrono::seconds limit = std::chrono::seconds(180)) {
    ProcessResult r;
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = scratch.string() + ".out", err = scratch.string() + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return r;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int st = 0;
    while (waitpid(pid, &st, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            r.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = ReadWholeFile(out);
    r.err = ReadWholeFile(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
}

}  // namespace vontal::testing
