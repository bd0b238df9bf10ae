// Idle is the idle scheduling class; the others are nice values of the normal class.
#include "ThreadPriority.h"

#include <cerrno>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace vontal {

pid_t CurrentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

void ApplyThreadPriority(pid_t tid, int level) {
    static constexpr int kNice[6] = {19, 19, 10, 0, -5, -10};
    if (level < 0 || level > 5) return;
    sched_param param{};
    param.sched_priority = 0;
    const int policy = level == 0 ? SCHED_IDLE : SCHED_OTHER;
    if (::sched_getscheduler(tid) != policy && ::sched_setscheduler(tid, policy, &param) != 0)
        throw std::system_error(errno, std::generic_category(), "Thread priority");
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kNice[level]) != 0)
        throw std::system_error(errno, std::generic_category(), "Thread priority");
}

}  // namespace vontal
