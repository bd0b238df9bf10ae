// Thread priorities from idle to highest, applied to one thread of this process.
#pragma once

#include <sys/types.h>

namespace vontal {

// Levels: 0 idle, 1 lowest, 2 lower, 3 normal, 4 higher, 5 highest (the index of the
// priority's text). Throws std::system_error with the system's reason when refused (raising
// a priority needs privilege on Linux).
void ApplyThreadPriority(pid_t tid, int level);
// The calling thread's id, as ApplyThreadPriority takes it.
pid_t CurrentThreadId();

}  // namespace vontal
