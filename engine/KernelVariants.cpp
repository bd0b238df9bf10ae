// The kernel variants: the table of them, the processor check, the start-up self-test and the
// choice of one (the fastest this machine runs, or the one VONTAL_KERNEL names).
#include "KernelVariants.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace vontal {

namespace {

struct Variant {
    const char* name;
    TestCandidatesFn test;
    bool (*runs)(const CpuFeatures&);
    bool avx512;  // left out by VONTAL_KERNEL=no-avx512
};

// Fastest first.
const Variant kVariants[] = {
#if defined(__x86_64__)
    {"avx512ifma", TestCandidatesAvx512Ifma, [](const CpuFeatures& c) { return c.avx512Ifma && c.bmi2Adx; }, true},
    {"avx2", TestCandidatesAvx2, [](const CpuFeatures& c) { return c.avx2 && c.bmi2Adx; }, false},
    {"bmi2", TestCandidatesBmi2, [](const CpuFeatures& c) { return c.bmi2Adx; }, false},
#endif
    {"portable", TestCandidatesPortable, [](const CpuFeatures&) { return true; }, false},
};

// The value of VONTAL_KERNEL that picks the fastest variant that does not use AVX-512: what a
// processor without it would run.
constexpr std::string_view kNoAvx512 = "no-avx512";

CpuFeatures DetectCpu() {
    CpuFeatures c;
#if defined(__x86_64__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        c.bmi2Adx = (ebx & (1u << 8)) && (ebx & (1u << 19));
        const bool avx2 = ebx & (1u << 5);
        const bool avx512 = (ebx & (1u << 16)) && (ebx & (1u << 17)) && (ebx & (1u << 21));  // F, DQ, IFMA
        unsigned a1 = 0, b1 = 0, c1 = 0, d1 = 0;
        if (__get_cpuid(1, &a1, &b1, &c1, &d1) && (c1 & (1u << 27))) {  // OSXSAVE: xgetbv works
            unsigned lo = 0, hi = 0;
            __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
            c.avx2 = avx2 && (lo & 0x6) == 0x6;             // the system saves the SSE and AVX registers
            c.avx512Ifma = avx512 && (lo & 0xE6) == 0xE6;   // ... and the AVX-512 ones
        }
    }
#endif
    return c;
}

// Whether VONTAL_KERNEL_SELFTEST_FAIL names the variant (a comma-separated list of names): the
// front ends' handling of a failed self-test is tested with it, since no real kernel can be
// made to fail on demand.
bool SelfTestFailureForced(const char* name) {
    const char* list = std::getenv("VONTAL_KERNEL_SELFTEST_FAIL");
    if (!list) return false;
    const std::string_view names(list), wanted(name);
    for (size_t pos = 0; pos <= names.size();) {
        const size_t comma = std::min(names.find(',', pos), names.size());
        if (names.substr(pos, comma - pos) == wanted) return true;
        pos = comma + 1;
    }
    return false;
}

// A few milliseconds at start-up: each variant tests published divisors of every size, each
// among seven neighbours that divide nothing, as one batch. Empty when it passes.
std::string SelfTest(const Variant& variant) {
    const bool forceFailure = SelfTestFailureForced(variant.name);
    struct Case { uint64_t k; uint32_t n, m; };
    static const Case kCases[] = {
        {7, 14, 12},    {1071, 8, 6},   {2139543641769, 50, 48}, {95, 61, 58},       {5, 75, 73},
        {88075576149, 135, 133},        {1575, 157, 150},        {3, 209, 207},      {7, 290, 284},
        {6616590375, 575, 569},         {541664191, 976, 971},
    };
    KernelScratch scratch;
    for (const Case& c : kCases) {
        uint64_t ks[8];
        uint32_t ms[8];
        for (uint32_t i = 0; i < 8; ++i) ks[i] = c.k + 2 * i - 6;  // c.k in the fourth place
        if (c.k < 7) ks[0] = ks[1] = ks[2] = c.k + 16;
        variant.test(ks, 8, c.n, ms, scratch);
        if (forceFailure) ms[3] = 0;  // the divisor (always in the fourth place) missed
        for (uint32_t i = 0; i < 8; ++i) {
            const uint32_t expected = ks[i] == c.k ? c.m : 0;
            if (ms[i] != expected)
                return std::string("kernel ") + variant.name + " failed its self-test on " + std::to_string(ks[i]) +
                       "*2^" + std::to_string(c.n) + "+1 (m=" + std::to_string(ms[i]) + ", expected " +
                       std::to_string(expected) + "); it is not used";
        }
    }
    return {};
}

struct SelfTestResults {
    std::vector<std::string> failures;
    std::vector<bool> runs, passed;  // by variant
};

const SelfTestResults& Results() {
    static const SelfTestResults results = [] {
        SelfTestResults r;
        for (const Variant& v : kVariants) {
            const bool runs = v.runs(ThisCpu());
            const std::string failure = runs ? SelfTest(v) : "unavailable";
            r.runs.push_back(runs);
            r.passed.push_back(failure.empty());
            if (runs && !failure.empty()) r.failures.push_back(failure);
        }
        return r;
    }();
    return results;
}

size_t IndexOf(const Variant& v) { return static_cast<size_t>(&v - kVariants); }

// A variant this processor runs and that passed its self-test.
bool Usable(const Variant& v) { return Results().passed[IndexOf(v)]; }

const Variant* Fastest(bool withAvx512) {
    for (const Variant& v : kVariants)
        if (Usable(v) && (withAvx512 || !v.avx512)) return &v;
    return &kVariants[std::size(kVariants) - 1];  // the portable one, whatever its self-test said
}

std::string VariantNames() {
    std::string names;
    for (const Variant& v : kVariants) names += std::string(names.empty() ? "" : ", ") + v.name;
    return names + ", " + std::string(kNoAvx512);
}

const Variant* Find(std::string_view name) {
    for (const Variant& v : kVariants)
        if (name == v.name) return &v;
    return nullptr;
}

const Variant* InitialVariant() {
    const char* value = std::getenv("VONTAL_KERNEL");
    const KernelChoice choice = ChooseKernel(value ? value : "");
    return choice.problem.empty() ? Find(choice.variant) : Fastest(true);
}

std::atomic<const Variant*> gVariant{InitialVariant()};

}  // namespace

const CpuFeatures& ThisCpu() {
    static const CpuFeatures features = DetectCpu();
    return features;
}

std::vector<std::string> KernelSelfTestFailures() { return Results().failures; }

std::vector<std::string> AvailableKernels() {
    std::vector<std::string> names;
    for (const Variant& v : kVariants)
        if (Usable(v)) names.push_back(v.name);
    return names;
}

bool SelectKernel(const std::string& name) {
    for (const Variant& v : kVariants) {
        if (name == v.name && Usable(v)) {
            gVariant.store(&v, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

std::string SelectedKernel() { return gVariant.load(std::memory_order_relaxed)->name; }

KernelChoice ChooseKernel(std::string_view value) {
    KernelChoice choice;
    if (value.empty()) {
        choice.variant = Fastest(true)->name;
    } else if (value == kNoAvx512) {
        choice.variant = Fastest(false)->name;
    } else if (const Variant* v = Find(value); !v) {
        choice.problem = "VONTAL_KERNEL=" + std::string(value) + " names no kernel; known are " + VariantNames();
    } else if (Usable(*v)) {
        choice.variant = v->name;
    } else {
        choice.problem = "VONTAL_KERNEL=" + std::string(value) +
                         (Results().runs[IndexOf(*v)] ? ": that kernel failed its self-test"
                                                      : ": this processor cannot run that kernel");
    }
    return choice;
}

std::string KernelChoiceProblem() {
    static const std::string problem = [] {
        const char* value = std::getenv("VONTAL_KERNEL");
        return ChooseKernel(value ? value : "").problem;
    }();
    return problem;
}

void TestCandidates(const uint64_t* ks, uint32_t count, uint32_t n, uint32_t* ms, KernelScratch& scratch) {
    gVariant.load(std::memory_order_relaxed)->test(ks, count, n, ms, scratch);
}

}  // namespace vontal
