// The lock that keeps a second front end out of a program directory.
#include "session/DirectoryLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vontal {

DirectoryLock::DirectoryLock(const std::filesystem::path& dir) {
    const std::filesystem::path file = dir / kLockFileName;
    bool writable = true;
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        // A directory the program may not write to: a lock file left there earlier still serves.
        writable = false;
        fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd_ < 0) {
        problem_ = "cannot open " + file.string() + ": " + std::strerror(errno);
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            state_ = State::Busy;
            // The holder wrote its process id into the file.
            char text[32] = {};
            const ssize_t got = ::pread(fd_, text, sizeof text - 1, 0);
            const long pid = got > 0 ? std::strtol(text, nullptr, 10) : 0;
            problem_ = "another Vontal program" + (pid > 0 ? " (process " + std::to_string(pid) + ")" : std::string()) +
                       " is working in " + dir.string();
        } else {
            problem_ = "cannot lock " + file.string() + ": " + std::strerror(error);
        }
        ::close(fd_);
        fd_ = -1;
        return;
    }
    state_ = State::Held;
    if (writable) {
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd_, 0) == 0) (void)!::pwrite(fd_, pid.data(), pid.size(), 0);
    }
}

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor releases the lock
}

}  // namespace vontal
