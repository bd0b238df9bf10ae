// Processor facts for the caption and the log's model record: family number and clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace vontal {

// Family number from the identification instruction (leaf 1, bits 8 to 11); 0 where there is none.
uint32_t CpuFamily();
// Time-stamp counter cycles per microsecond over the given window, rounded; 150 without a counter.
// The default window is long enough for the exact figure and short enough not to delay a start.
uint32_t MeasureCpuMHz(std::chrono::milliseconds window = std::chrono::milliseconds(50));

}  // namespace vontal
