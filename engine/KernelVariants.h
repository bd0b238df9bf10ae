// The kernel variants' entry points, one per instruction set, and the processor check that
// decides which of them this machine runs. Internal to the kernel: callers use Kernel.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Kernel.h"

namespace vontal {

// The same contract as TestCandidates, each compiled for one instruction set.
using TestCandidatesFn = void (*)(const uint64_t* ks, uint32_t count, uint32_t n, uint32_t* ms, KernelScratch& scratch);

void TestCandidatesPortable(const uint64_t* ks, uint32_t count, uint32_t n, uint32_t* ms, KernelScratch& scratch);
#if defined(__x86_64__)
void TestCandidatesAvx2(const uint64_t* ks, uint32_t count, uint32_t n, uint32_t* ms, KernelScratch& scratch);
void TestCandidatesBmi2(const uint64_t* ks, uint32_t count, uint32_t n, uint32_t* ms, KernelScratch& scratch);
void TestCandidatesAvx512Ifma(const uint64_t* ks, uint32_t count, uint32_t n, uint32_t* ms, KernelScratch& scratch);
#endif

// What this processor and its operating system run, found once.
struct CpuFeatures {
    bool bmi2Adx = false;     // mulx and the two add-with-carry chains
    bool avx2 = false;        // and the operating system saves the 256-bit registers
    bool avx512Ifma = false;  // AVX-512 F, DQ and IFMA, and the system saves the 512-bit registers
};
const CpuFeatures& ThisCpu();

// What a value of VONTAL_KERNEL asks for: the variant's name, or why it cannot be had. Empty
// asks for the fastest, "no-avx512" for the fastest that does not use AVX-512 (what a processor
// without it runs); a variant's name for that variant, if this machine can use it.
struct KernelChoice {
    std::string variant;  // empty when there is a problem
    std::string problem;  // for the user; empty when the value can be followed
};
KernelChoice ChooseKernel(std::string_view value);

}  // namespace vontal
