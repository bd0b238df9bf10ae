// The processor clock for the log's model record and the caption.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "Processor.h"

namespace {

using namespace std::chrono_literals;

// The short default window must give the figure a long one gives: the counter is read together
// with the clock at both ends, so the window's length only sets the precision. A wrong unit or a
// counter read apart from its clock reading shows here as a figure off by far more than 1%.
TEST(Processor, ShortWindowGivesTheLongWindowsClock) {
    const uint32_t quick = vontal::MeasureCpuMHz();
    const uint32_t slow = vontal::MeasureCpuMHz(400ms);
#if defined(__x86_64__) || defined(__i386__)
    ASSERT_GT(slow, 150u) << "a processor of this kind has a time-stamp counter";
#endif
    EXPECT_LE(std::abs(static_cast<int>(quick) - static_cast<int>(slow)), static_cast<int>(slow / 100 + 1))
        << "50 ms gave " << quick << " MHz, 400 ms " << slow << " MHz";
}

}  // namespace
