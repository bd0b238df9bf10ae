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

uint32_t MeasureCpuMHz(std::chrono::milliseconds window) {
#ifdef VONTAL_HAVE_TSC
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(edx & (1u << 4))) return 150;
    using Clock = std::chrono::steady_clock;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto t0 = Clock::now();
    const uint64_t c0 = __rdtsc();
    std::this_thread::sleep_for(window);
    const uint64_t c1 = __rdtsc();
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
    if (us <= 0) return 150;
    return static_cast<uint32_t>(static_cast<double>(c1 - c0) / static_cast<double>(us) + 0.5);
#else
    (void)window;
    return 150;
#endif
}

}  // namespace vontal
