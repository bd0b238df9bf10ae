// Throughput of the search: the engine's sieve and candidate test against a plain GMP search
// (the same sieve, then 2^(2^(n-1)) mod p with mpz_powm) over the same k range, in one process.
//
//   build/bin/engine_bench [--benchmark_min_time=2]
//
// Prints candidates per second and k per second for each, then the engine/GMP ratio per task.
#include <benchmark/benchmark.h>
#include <gmp.h>

#include <cstdio>
#include <map>
#include <string>

#include "Kernel.h"
#include "Processor.h"
#include "ExponentScan.h"
#include "Sieve.h"
#include "TestPool.h"

namespace {

using vontal::Sieve;

struct Task {
    const char* name;
    uint32_t n;
    int64_t k;  // odd
};
const Task kTasks[] = {
    {"n=50,k=2e13", 50, 20'000'000'000'001},
    {"n=100,k=1e12", 100, 1'000'000'000'001},
    {"n=200,k=1e11", 200, 100'000'000'001},
    {"n=1000,k=1e9", 1000, 1'000'000'001},
};

// The sieve primed for a task as the computation thread primes it.
void Prime(Sieve& s, const Task& t) { s.Prepare(t.n, static_cast<uint64_t>(t.k)); }

// The plain GMP test: r = 2^(2^(n-1)) mod p; r = 1 exactly when p divides some F_m, m <= n - 2.
class GmpTest {
public:
    GmpTest() { mpz_inits(p_, r_, e_, two_, nullptr); mpz_set_ui(two_, 2); }
    ~GmpTest() { mpz_clears(p_, r_, e_, two_, nullptr); }
    bool Divides(uint64_t k, uint32_t n) {
        mpz_set_ui(p_, k);
        mpz_mul_2exp(p_, p_, n);
        mpz_add_ui(p_, p_, 1);
        mpz_set_ui(e_, 0);
        mpz_setbit(e_, n - 1);
        mpz_powm(r_, two_, e_, p_);
        return mpz_cmp_ui(r_, 1) == 0;
    }

private:
    mpz_t p_, r_, e_, two_;
};

struct Rates { double candidates = 0, k = 0, squarings = 0; };
std::map<std::string, Rates> gRates;  // by benchmark name: "<engine variant or gmp>/<task>"

template <bool Engine>
void Search(benchmark::State& bs, const Task& t, const std::string& variant) {
    if (Engine) vontal::SelectKernel(variant);
    Sieve s;
    Prime(s, t);
    GmpTest gmp;
    vontal::KernelScratch scratch;
    scratch.reserveFor(t.n);
    constexpr uint32_t kBatch = vontal::ExponentScan::kBatchSize;
    uint64_t ks[kBatch];
    uint32_t ms[kBatch];
    int64_t candidates = 0, found = 0;
    uint64_t k = static_cast<uint64_t>(t.k);
    for (auto _ : bs) {
        if constexpr (Engine) {  // as the computation thread runs it: a batch of survivors
            uint64_t endK = 0;
            const uint32_t count = s.Fill(INT64_MAX, ks, kBatch, endK);
            vontal::TestCandidates(ks, count, t.n, ms, scratch);
            candidates += count;
            for (uint32_t i = 0; i < count; ++i) found += ms[i] != 0;
            k = ks[count - 1];
        } else {
            if (s.NextSurvivor(k)) {
                ++candidates;
                found += gmp.Divides(k, t.n);
            }
        }
    }
    const double kSpan = static_cast<double>(k - static_cast<uint64_t>(t.k));
    bs.counters["candidates/s"] = benchmark::Counter(static_cast<double>(candidates), benchmark::Counter::kIsRate);
    bs.counters["k/s"] = benchmark::Counter(kSpan, benchmark::Counter::kIsRate);
    bs.counters["found"] = static_cast<double>(found);
    // Clock cycles per modular squaring of one candidate, sieve included: about n - 1 squarings
    // per candidate.
    bs.counters["squarings/s"] =
        benchmark::Counter(static_cast<double>(candidates) * (t.n - 1), benchmark::Counter::kIsRate);
}

// The pipeline of the computation thread on two cores: this thread sieves and takes batches
// back in order, one helper tests; the same search as the selected kernel's one-core run.
void SearchTwoCores(benchmark::State& bs, const Task& t, const std::string& variant) {
    vontal::SelectKernel(variant);  // the runs before may have selected another
    Sieve s;
    Prime(s, t);
    vontal::TTestPool pool(1, -1);
    int64_t candidates = 0;
    uint64_t k = static_cast<uint64_t>(t.k);
    // As many candidates per batch as the computation thread puts in one.
    const uint32_t widestBits = t.n + vontal::Log2Floor(2 * static_cast<uint64_t>(t.k)) + 1;
    const uint32_t limit = widestBits <= 256 ? vontal::ExponentScan::kPoolBatchSize : vontal::ExponentScan::kBatchSize;
    for (auto _ : bs) {
        while (vontal::TTestPool::Slot* slot = pool.FreeSlot()) {
            slot->n = t.n;
            slot->count = s.Fill(INT64_MAX, slot->k, limit, slot->endK);
            pool.Submit(slot);
        }
        vontal::TTestPool::Slot& oldest = pool.WaitOldest();
        candidates += oldest.count;
        k = oldest.k[oldest.count - 1];
        pool.ReleaseOldest();
    }
    bs.counters["candidates/s"] = benchmark::Counter(static_cast<double>(candidates), benchmark::Counter::kIsRate);
    bs.counters["k/s"] = benchmark::Counter(static_cast<double>(k - static_cast<uint64_t>(t.k)), benchmark::Counter::kIsRate);
    bs.counters["squarings/s"] =
        benchmark::Counter(static_cast<double>(candidates) * (t.n - 1), benchmark::Counter::kIsRate);
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs)
            gRates[run.benchmark_name()] = {run.counters.at("candidates/s"), run.counters.at("k/s"),
                                            run.counters.at("squarings/s")};
    }
};

}  // namespace

int main(int argc, char** argv) {
    const auto variants = vontal::AvailableKernels();
    for (const Task& t : kTasks) {
        for (const auto& v : variants)
            benchmark::RegisterBenchmark((v + "/" + t.name).c_str(), Search<true>, t, v)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((std::string("gmp/") + t.name).c_str(), Search<false>, t, std::string())
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((std::string("two-cores/") + t.name).c_str(), SearchTwoCores, t, variants.front())
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    const double mhz = vontal::MeasureCpuMHz();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nclock %.0f MHz; ratio = engine k/s over the plain GMP search's k/s in this run\n", mhz);
    std::printf("%-14s %-11s %13s %13s %13s %10s %8s\n", "task", "kernel", "candidates/s", "k/s",
                "GMP k/s", "cyc/sq", "ratio");
    for (const Task& t : kTasks) {
        const auto g = gRates.find(std::string("gmp/") + t.name);
        for (const auto& v : variants) {
            const auto e = gRates.find(v + "/" + t.name);
            if (e == gRates.end() || g == gRates.end()) continue;
            const double cycles = e->second.squarings > 0 ? mhz * 1e6 / e->second.squarings : 0;
            std::printf("%-14s %-11s %13.4g %13.4g %13.4g %10.1f %7.2fx\n", t.name, v.c_str(), e->second.candidates,
                        e->second.k, g->second.k, cycles, g->second.k > 0 ? e->second.k / g->second.k : 0.0);
        }
    }
    std::printf("\ntwo cores (one sieving and publishing, both testing) against one, %s kernel:\n",
                variants.front().c_str());
    for (const Task& t : kTasks) {
        const auto one = gRates.find(variants.front() + "/" + t.name), two = gRates.find(std::string("two-cores/") + t.name + "/real_time");
        if (one == gRates.end() || two == gRates.end() || one->second.k <= 0) continue;
        std::printf("%-14s %13.4g k/s on two cores, %.2fx one core\n", t.name, two->second.k, two->second.k / one->second.k);
    }
    benchmark::Shutdown();
    return 0;
}
