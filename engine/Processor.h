// Processor facts for the caption and the log's model record: family number and clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace vontal {

// Family number from the identification instruction (leaf 1, bits 8 to 11); 0 where there is none.
uint32_t CpuFamily();
// Time-stamp counter cycles per microsecond over the given window, rounded; 150 without a counter.
uint32_t MeasureCpuMHz(std::chrono::milliseconds window = std::chrono::milliseconds(500));

}  // namespace vontal
