// One front end per program directory. Two programs searching from the same "Vontal.ini" would
// interleave their records and overwrite each other's position, so each front end holds an
// exclusive lock on "Vontal.lock" in the directory for as long as it runs. The lock is the
// kernel's (flock): it goes with the process however that ends, SIGKILL included, so a stale
// lock file never keeps a program out.
#pragma once

#include <filesystem>
#include <string>

namespace vontal {

inline constexpr const char* kLockFileName = "Vontal.lock";

class DirectoryLock {
public:
    enum class State { Held, Busy, Failed };

    // Tries once, without waiting.
    explicit DirectoryLock(const std::filesystem::path& dir);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    State state() const { return state_; }
    bool Held() const { return state_ == State::Held; }
    // Why the lock is not held, for the user: another program at work (with its process id when
    // known) or the system's reason.
    const std::string& Problem() const { return problem_; }

private:
    int fd_ = -1;
    State state_ = State::Failed;
    std::string problem_;
};

}  // namespace vontal
