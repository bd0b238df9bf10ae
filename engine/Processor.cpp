// Processor identification and clock measurement.
#include "Processor.h"

#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#define VONTAL_HAVE_TSC 1
#endif

namespace vontal {

uint32_t CpuFamily() {
#ifdef VONTAL_HAVE_TSC
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return (eax >> 8) & 15;
#endif
    return 0;
}

#ifdef VONTAL_HAVE_TSC
namespace {

// A reading of the counter and the clock at one moment: the counter between two clock readings
// taken close together, so that neither a preemption nor a slow clock call between them can pass
// for counter cycles. Tried a few times; the closest pair wins.
struct Reading {
    std::chrono::steady_clock::time_point time;
    uint64_t cycles;
};

Reading ReadTogether() {
    using Clock = std::chrono::steady_clock;
    Reading best{};
    auto bestSpan = Clock::duration::max();
    for (int attempt = 0; attempt < 8; ++attempt) {
        const auto before = Clock::now();
        const uint64_t cycles = __rdtsc();
        const auto after = Clock::now();
        if (after - before < bestSpan) {
            bestSpan = after - before;
            best = {before + (after - before) / 2, cycles};
        }
        if (bestSpan < std::chrono::microseconds(2)) break;
    }
    return best;
}

}  // namespace
#endif

uint32_t MeasureCpuMHz(std::chrono::milliseconds window) {
#ifdef VONTAL_HAVE_TSC
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(edx & (1u << 4))) return 150;
    // The counter's rate over the window. Both ends are read together with the clock, so that
    // the window's length only sets the precision: a microsecond's uncertainty at each end is
    // 4e-5 of 50 ms, well under a megahertz at any clock this runs on.
    const Reading start = ReadTogether();
    std::this_thread::sleep_for(window);
    const Reading end = ReadTogether();
    const double us = std::chrono::duration<double, std::micro>(end.time - start.time).count();
    if (us <= 0) return 150;
    return static_cast<uint32_t>(static_cast<double>(end.cycles - start.cycles) / us + 0.5);
#else
    (void)window;
    return 150;
#endif
}

}  // namespace vontal
