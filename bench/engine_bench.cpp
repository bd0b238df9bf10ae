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
#include "SearchState.h"

namespace {

using vontal::TSearchState;

struct Task {
    const char* name;
    uint32_t n;
    int64_t k;  // odd
};
const Task kTasks[] = {
    {"n=50,k=2e13", 50, 20'000'000'000'001},
    {"n=100,k=1e12", 100, 1'000'000'000'001},
    {"n=1000,k=1e9", 1000, 1'000'000'001},
};

// The sieve primed for a task as the computation thread primes it.
void Prime(TSearchState& s, const Task& t) {
    s.nTemp = t.n;
    s.kMax = INT64_MAX;
    s.KTemp = t.k;
    s.PrepareExponent();
    s.FindPrime();
    s.FindNumberK0();
    s.sieveBaseK = static_cast<uint64_t>(t.k) - 2 * uint64_t{vontal::kSieveSize};
}

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

struct Rates { double candidates = 0, k = 0; };
std::map<std::string, Rates> gEngine, gGmp;

template <bool Engine>
void Search(benchmark::State& bs, const Task& t) {
    TSearchState s;
    Prime(s, t);
    GmpTest gmp;
    int64_t candidates = 0, found = 0;
    const int64_t kFirst = s.KTemp.load();
    for (auto _ : bs) {
        if constexpr (Engine) {  // as the computation thread runs it: a batch of survivors
            s.FillBatch(INT64_MAX);
            s.TestBatch();
            candidates += s.batchCount;
            for (uint32_t i = 0; i < s.batchCount; ++i) found += s.batchM[i] != 0;
            s.KTemp.store(static_cast<int64_t>(s.batchK[s.batchCount - 1]));
        } else {
            if (s.NextCandidate()) {
                ++candidates;
                found += gmp.Divides(static_cast<uint64_t>(s.KTemp.load()), t.n);
            }
        }
    }
    const double kSpan = static_cast<double>(s.KTemp.load() - kFirst);
    bs.counters["candidates/s"] = benchmark::Counter(static_cast<double>(candidates), benchmark::Counter::kIsRate);
    bs.counters["k/s"] = benchmark::Counter(kSpan, benchmark::Counter::kIsRate);
    bs.counters["found"] = static_cast<double>(found);
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const std::string name = run.benchmark_name();
            const auto slash = name.find('/');
            if (slash == std::string::npos) continue;
            const std::string kind = name.substr(0, slash), task = name.substr(slash + 1);
            Rates r{run.counters.at("candidates/s"), run.counters.at("k/s")};
            (kind == "engine" ? gEngine : gGmp)[task] = r;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    for (const Task& t : kTasks) {
        benchmark::RegisterBenchmark((std::string("engine/") + t.name).c_str(), Search<true>, t)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((std::string("gmp/") + t.name).c_str(), Search<false>, t)->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n%-16s %16s %16s %16s %10s\n", "task", "engine cand/s", "engine k/s", "gmp k/s", "ratio");
    for (const Task& t : kTasks) {
        const auto e = gEngine.find(t.name), g = gGmp.find(t.name);
        if (e == gEngine.end() || g == gGmp.end()) continue;
        std::printf("%-16s %16.4g %16.4g %16.4g %9.2fx\n", t.name, e->second.candidates, e->second.k, g->second.k,
                    g->second.k > 0 ? e->second.k / g->second.k : 0.0);
    }
    benchmark::Shutdown();
    return 0;
}
