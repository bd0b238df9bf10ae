// Throughput of the search: the engine's scan (sieve and candidate test, as the computation
// thread runs it) against a plain GMP search (the same sieve, then 2^(2^(n-1)) mod p with
// mpz_powm) over the same k range, in one process.
//
//   build/bin/engine_bench [--benchmark_min_time=2s] [--benchmark_repetitions=3] [--benchmark_filter=...]
//
// Prints, per task and kernel variant: candidates and k per second, clock cycles per candidate
// squaring, the share of the time spent sieving, and the ratio against the GMP search; then two
// cores against one (also side by side: one core alone on each processor, two separate one-core
// scans at once, two cores, in rounds of the same wall time), and the eight-lane kernels'
// squarings alone against the throughput bound of their multiply-add instructions.
#include <benchmark/benchmark.h>
#include <gmp.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <x86intrin.h>

#include "ExponentScan.h"
#include "Kernel.h"
#include "KernelIfma.h"
#include "Processor.h"
#include "Sieve.h"

namespace {

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
constexpr int64_t kNoEnd = INT64_MAX;

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

struct Rates { double candidates = 0, k = 0, idle = 0, cpuPerWall = 0; };
std::map<std::string, Rates> gRates;  // by benchmark name

void SetRates(benchmark::State& bs, double candidates, double kSpan) {
    bs.counters["candidates/s"] = benchmark::Counter(candidates, benchmark::Counter::kIsRate);
    bs.counters["k/s"] = benchmark::Counter(kSpan, benchmark::Counter::kIsRate);
}

// Counts what the scan hands back; one benchmark iteration per batch.
class CountingSink : public vontal::IBatchSink {
public:
    CountingSink(benchmark::State& bs, uint64_t start) : bs_(bs), last_(start) {}
    bool Publish(const uint64_t* ks, const uint32_t* ms, uint32_t count, uint64_t) override {
        candidates_ += count;
        for (uint32_t i = 0; i < count; ++i) found_ += ms[i] != 0;
        if (count > 0) last_ = ks[count - 1];
        return !bs_.KeepRunning();
    }
    double candidates() const { return static_cast<double>(candidates_); }
    uint64_t last() const { return last_; }

private:
    benchmark::State& bs_;
    uint64_t last_;
    uint64_t candidates_ = 0, found_ = 0;
};

// The computation thread's scan with `threads` cores and the given kernel variant.
void Scan(benchmark::State& bs, const Task& t, const std::string& variant, uint32_t threads) {
    vontal::SelectKernel(variant);
    vontal::ExponentScan scan(threads, -1);
    scan.Prepare(t.n, t.k, kNoEnd);
    CountingSink sink(bs, static_cast<uint64_t>(t.k));
    const auto start = std::chrono::steady_clock::now();
    if (bs.KeepRunning()) scan.Run(sink);  // the first iteration is the first block's sieve
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    SetRates(bs, sink.candidates(), static_cast<double>(sink.last() - static_cast<uint64_t>(t.k)));
    // The share of the cores' time spent waiting for work (a block's sieve, a batch in order).
    bs.counters["idle"] = std::chrono::duration<double>(scan.idle()).count() / (threads * wall.count());
}

// Two cores against one, side by side. On a virtual machine the cores do not always run at the
// same speed, nor does the machine from one minute to the next, so the one-core rate measured with
// the kernels above, minutes before, is a poor yardstick. Instead, rounds of: one core pinned to
// the process's first processor, then to its second, then two separate one-core scans at once
// (one pinned to each), then the two-core scan, each for the same wall time. Two ideal cores of
// the lone speeds reach the sum of the two lone rates; two cores busy at once may be slower than
// that on a shared host, which the two separate scans show: they share nothing but the machine.
struct SideBySide {
    double alone[2] = {0, 0}, separate = 0, two = 0;
    double efficiency() const { return two / (alone[0] + alone[1]); }
    double againstSeparate() const { return two / separate; }
};
std::map<std::string, std::vector<SideBySide>> gSideBySide;  // by task, a round each

// Stops the scan once `seconds` have passed (the clock read every few thousand candidates).
class TimedSink : public vontal::IBatchSink {
public:
    TimedSink(uint64_t start, double seconds)
        : last_(start),
          until_(std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                        std::chrono::duration<double>(seconds))) {}
    bool Publish(const uint64_t* ks, const uint32_t*, uint32_t count, uint64_t) override {
        if (count > 0) last_ = ks[count - 1];
        sinceCheck_ += count;
        if (sinceCheck_ < 4096) return false;
        sinceCheck_ = 0;
        return std::chrono::steady_clock::now() >= until_;
    }
    uint64_t last() const { return last_; }

private:
    uint64_t last_;
    uint32_t sinceCheck_ = 0;
    std::chrono::steady_clock::time_point until_;
};

// k per second of a scan on `threads` cores for about `seconds` of wall time, from `first` on, on
// the processors of `cpus` (the calling thread's; helpers started for the scan inherit them);
// `ready` runs between the preparation and the scan.
template <class Ready>
double TimedRate(const Task& t, int64_t first, uint32_t threads, double seconds, const cpu_set_t& cpus, Ready ready) {
    pthread_setaffinity_np(pthread_self(), sizeof cpus, &cpus);
    vontal::ExponentScan scan(threads, -1);
    scan.Prepare(t.n, first, kNoEnd);
    ready();
    TimedSink sink(static_cast<uint64_t>(first), seconds);
    const auto start = std::chrono::steady_clock::now();
    scan.Run(sink);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    return static_cast<double>(sink.last() - static_cast<uint64_t>(first)) / wall.count();
}

void TwoCoresSideBySide(benchmark::State& bs, const Task& t, const std::string& variant) {
    cpu_set_t all;
    CPU_ZERO(&all);
    sched_getaffinity(0, sizeof all, &all);
    cpu_set_t one[2];
    int found = 0;
    for (int c = 0; c < CPU_SETSIZE && found < 2; ++c)
        if (CPU_ISSET(c, &all)) {
            CPU_ZERO(&one[found]);
            CPU_SET(c, &one[found]);
            ++found;
        }
    if (found < 2) {
        bs.SkipWithError("fewer than two processors");
        return;
    }
    vontal::SelectKernel(variant);
    // A block of n = 1000 takes most of a second to test: longer windows there.
    const double seconds = t.n >= 500 ? 3.0 : 1.0;
    const auto none = [] {};
    for (auto _ : bs) {
        SideBySide round;
        for (int i = 0; i < 2; ++i) round.alone[i] = TimedRate(t, t.k, 1, seconds, one[i], none);
        {
            // The second scan from a k range of its own, beyond what the first reaches.
            std::mutex mutex;
            std::condition_variable both;
            int prepared = 0;
            const auto ready = [&] {
                std::unique_lock lock(mutex);
                if (++prepared == 2) both.notify_all();
                both.wait(lock, [&] { return prepared == 2; });
            };
            double second = 0;
            std::thread other([&] { second = TimedRate(t, t.k + (int64_t{1} << 40), 1, seconds, one[1], ready); });
            round.separate = TimedRate(t, t.k, 1, seconds, one[0], ready);
            other.join();
            round.separate += second;
        }
        round.two = TimedRate(t, t.k, 2, seconds, all, none);
        gSideBySide[t.name].push_back(round);
    }
    pthread_setaffinity_np(pthread_self(), sizeof all, &all);
}

// The sieve alone, a block at a time with its survivors taken, as a thread of the scan does;
// with two cursors taking turns, as each of two threads does (every cursor skips the block the
// other one takes, and moves its primes on past it).
void SieveOnly(benchmark::State& bs, const Task& t, uint32_t cursors) {
    vontal::Sieve s;
    s.Prepare(t.n, static_cast<uint64_t>(t.k));
    vontal::Sieve::Cursor cursor[2];
    std::vector<uint64_t> out(vontal::kSieveSize);
    uint64_t block = 0;
    double candidates = 0;
    for (auto _ : bs) {
        s.SieveBlock(block, cursor[block % cursors]);
        ++block;
        uint32_t from = 0;
        candidates += s.Survivors(cursor[(block - 1) % cursors], kNoEnd, from, out.data(), vontal::kSieveSize).count;
    }
    SetRates(bs, candidates, static_cast<double>(s.BlockStartK(block) - static_cast<uint64_t>(t.k)));
}

void Gmp(benchmark::State& bs, const Task& t) {
    vontal::Sieve s;
    s.Prepare(t.n, static_cast<uint64_t>(t.k));
    GmpTest gmp;
    double candidates = 0;
    uint64_t k = static_cast<uint64_t>(t.k), found = 0;
    for (auto _ : bs) {
        if (s.NextSurvivor(k)) {
            ++candidates;
            found += gmp.Divides(k, t.n);
        }
    }
    benchmark::DoNotOptimize(found);
    SetRates(bs, candidates, static_cast<double>(k - static_cast<uint64_t>(t.k)));
}

// The eight-lane kernels' squarings alone: `vectors` batches of eight candidates of the task's
// size side by side, through 2000 squarings after a set-up done once.
void IfmaSquarings(benchmark::State& bs, uint32_t n, uint64_t k, uint32_t vectors) {
    namespace ifma = vontal::ifma;
    constexpr uint32_t kSteps = 2000;
    const uint32_t limbs = std::max<uint32_t>((n + vontal::Log2Floor(k) + 3 + 51) / 52, 2);
    auto batches = std::make_unique<ifma::Batch[]>(vectors);
    for (uint32_t v = 0; v < vectors; ++v) {
        ifma::Batch& b = batches[v];
        uint64_t ks[ifma::kLanes];
        for (uint32_t l = 0; l < ifma::kLanes; ++l) ks[l] = k + 2 * (ifma::kLanes * v + l);
        b.limbs = limbs;
        b.first = 7;
        b.proth = n >= 52;
        if (!ifma::Prepare(b, ks, n, 0)) {
            bs.SkipWithError("no vector set-up for this shape");
            return;
        }
        b.first = kSteps + 1;  // never compared before the end
        b.last = kSteps;
    }
    uint32_t found[ifma::kVectors * ifma::kLanes];
    double squarings = 0;
    for (auto _ : bs) {
        ifma::Run(batches.get(), vectors, found);
        squarings += static_cast<double>(kSteps) * ifma::kLanes * vectors;
    }
    bs.counters["squarings/s"] = benchmark::Counter(squarings, benchmark::Counter::kIsRate);
    bs.counters["limbs"] = limbs;
}

// The wide eight-lane kernel's squarings alone, one batch (it keeps one in flight): residues
// made up of arbitrary limbs below p, through 1000 squarings.
void IfmaWideSquarings(benchmark::State& bs, uint32_t n, uint64_t k) {
    namespace ifma = vontal::ifma;
    constexpr uint32_t kSteps = 1000;
    auto batch = std::make_unique<ifma::WideBatch>();
    ifma::WideBatch& b = *batch;
    b.limbs = (n + vontal::Log2Floor(k) + 3 + 51) / 52;
    b.kShift = n / 52;
    b.start = 0;
    b.first = kSteps + 1;  // never compared before the end
    b.last = kSteps;
    for (uint32_t l = 0; l < ifma::kLanes; ++l) {
        const unsigned __int128 shifted = static_cast<unsigned __int128>(k + 2 * l) << (n % 52);
        for (uint32_t t = 0; t < 3; ++t) b.k[t][l] = static_cast<uint64_t>(shifted >> (52 * t)) & ((uint64_t{1} << 52) - 1);
        for (uint32_t i = 0; i < b.limbs; ++i) {
            b.x[i][l] = i + 1 < b.limbs ? (0x123456789abcdULL * (i + 3 + l)) & ((uint64_t{1} << 52) - 1) : 1;
            b.target[i][l] = b.target2[i][l] = 0;
        }
    }
    uint32_t found[ifma::kLanes];
    double squarings = 0;
    for (auto _ : bs) {
        ifma::RunWide(b, found);
        squarings += static_cast<double>(kSteps) * ifma::kLanes;
    }
    bs.counters["squarings/s"] = benchmark::Counter(squarings, benchmark::Counter::kIsRate);
    bs.counters["limbs"] = b.limbs;
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // With --benchmark_repetitions the best of the repetitions: on a shared machine the
        // slower ones measure the other work more than this.
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            Rates r;
            if (run.counters.count("candidates/s")) r.candidates = run.counters.at("candidates/s");
            if (run.counters.count("k/s")) r.k = run.counters.at("k/s");
            if (run.counters.count("squarings/s")) r.candidates = run.counters.at("squarings/s");
            if (run.counters.count("idle")) r.idle = run.counters.at("idle");
            if (run.real_accumulated_time > 0) r.cpuPerWall = run.cpu_accumulated_time / run.real_accumulated_time;
            Rates& best = gRates[run.run_name.str()];
            if (r.k > best.k || (r.k == 0 && r.candidates > best.candidates)) best = r;
        }
    }
};

// Core clock cycles per time-stamp-counter cycle: a chain of dependent additions, one cycle
// each; the quickest of many short runs, so that time given to other processes does not count.
double CoreCyclesPerTsc() {
    uint64_t x = 1, best = ~uint64_t{0};
    constexpr uint64_t kRounds = 250'000;
    for (int trial = 0; trial < 200; ++trial) {
        const uint64_t t0 = __rdtsc();
        for (uint64_t i = 0; i < kRounds; ++i)
            __asm__ volatile("add %0, %0\n\tadd %0, %0\n\tadd %0, %0\n\tadd %0, %0" : "+r"(x));
        best = std::min<uint64_t>(best, __rdtsc() - t0);
    }
    return 4.0 * kRounds / static_cast<double>(best);
}

// Multiply-adds (vpmadd52luq on 512-bit registers) per core cycle when nothing holds them back:
// twelve independent chains, so that their latency is hidden; the quickest of many short runs.
__attribute__((target("avx512f,avx512ifma"))) double PeakMaddsPerCycle(double corePerTsc) {
    uint64_t best = ~uint64_t{0};
    constexpr uint64_t kRounds = 20'000;
    for (int trial = 0; trial < 200; ++trial) {
        __m512i a0 = _mm512_set1_epi64(1), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0, a8 = a0,
                a9 = a0, a10 = a0, a11 = a0;
        const __m512i u = _mm512_set1_epi64(3), v = _mm512_set1_epi64(5);
        const uint64_t t0 = __rdtsc();
        for (uint64_t i = 0; i < kRounds; ++i)
            __asm__ volatile(
                "vpmadd52luq %12, %13, %0\n\tvpmadd52luq %12, %13, %1\n\tvpmadd52luq %12, %13, %2\n\t"
                "vpmadd52luq %12, %13, %3\n\tvpmadd52luq %12, %13, %4\n\tvpmadd52luq %12, %13, %5\n\t"
                "vpmadd52luq %12, %13, %6\n\tvpmadd52luq %12, %13, %7\n\tvpmadd52luq %12, %13, %8\n\t"
                "vpmadd52luq %12, %13, %9\n\tvpmadd52luq %12, %13, %10\n\tvpmadd52luq %12, %13, %11"
                : "+v"(a0), "+v"(a1), "+v"(a2), "+v"(a3), "+v"(a4), "+v"(a5), "+v"(a6), "+v"(a7), "+v"(a8), "+v"(a9),
                  "+v"(a10), "+v"(a11)
                : "v"(u), "v"(v));
        best = std::min<uint64_t>(best, __rdtsc() - t0);
    }
    return 12.0 * kRounds / (static_cast<double>(best) * corePerTsc);
}

// Multiply-adds per candidate squaring of the eight-lane kernel for the task's candidates: the
// cross products once, the diagonal, and the reduction, general (one more for each limb's factor)
// or, when p = 1 + K·2^(52d) with d >= 1, only against K's limbs.
double MaddsPerSquaring(uint32_t n, uint64_t k) {
    const uint32_t w = std::max<uint32_t>((n + vontal::Log2Floor(k) + 3 + 51) / 52, 2);
    const uint32_t d = n >= 52 ? n / 52 : 0;
    const uint32_t square = w * (w - 1) + 2 * w;
    const uint32_t reduce = d == 0 ? w * (1 + 2 * w) : 2 * w * (w - d);
    return (square + reduce) / 8.0;
}

const Rates* Find(const std::string& name) {
    const auto it = gRates.find(name);
    return it == gRates.end() ? nullptr : &it->second;
}

}  // namespace

int main(int argc, char** argv) {
    const auto variants = vontal::AvailableKernels();
    for (const Task& t : kTasks) {
        for (const auto& v : variants)
            benchmark::RegisterBenchmark((v + "/" + t.name).c_str(), Scan, t, v, 1u)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("sieve/") + t.name).c_str(), SieveOnly, t, 1u)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("sieve-turns/") + t.name).c_str(), SieveOnly, t, 2u)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("gmp/") + t.name).c_str(), Gmp, t)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((std::string("two-cores/") + t.name).c_str(), Scan, t, variants.front(), 2u)
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime()
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("two-cores-side-by-side/") + t.name).c_str(), TwoCoresSideBySide, t,
                                     variants.front())
            ->Iterations(3)
            ->Unit(benchmark::kSecond)
            ->UseRealTime();
    }
    const bool ifma = vontal::ifma::Available();
    if (ifma)
        for (const Task& t : kTasks) {
            if ((t.n + vontal::Log2Floor(static_cast<uint64_t>(t.k)) + 3 + 51) / 52 <= vontal::ifma::kMaxLimbs) {
                for (uint32_t v = 1; v <= vontal::ifma::kVectors; ++v)
                    benchmark::RegisterBenchmark(("ifma-squarings/" + std::to_string(v) + "/" + t.name).c_str(),
                                                 IfmaSquarings, t.n, static_cast<uint64_t>(t.k), v)
                        ->Unit(benchmark::kMicrosecond);
            } else {
                benchmark::RegisterBenchmark(("ifma-squarings/1/" + std::string(t.name)).c_str(), IfmaWideSquarings,
                                             t.n, static_cast<uint64_t>(t.k))
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    benchmark::Initialize(&argc, argv);
    const double mhz = vontal::MeasureCpuMHz();
    const double corePerTsc = CoreCyclesPerTsc();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\ntime-stamp counter %.0f MHz, core clock about %.0f MHz; cycles are the core's, per candidate\n"
                "squaring (n - 1 squarings per candidate), sieve included; sieve = the share of the time spent\n"
                "sieving; ratio = k/s over the plain GMP search's k/s in this run\n",
                mhz, mhz * corePerTsc);
    std::printf("%-14s %-11s %12s %12s %12s %8s %7s %8s\n", "task", "kernel", "candidates/s", "k/s", "GMP k/s",
                "cyc/sq", "sieve", "ratio");
    for (const Task& t : kTasks) {
        const Rates* g = Find(std::string("gmp/") + t.name);
        const Rates* s = Find(std::string("sieve/") + t.name);
        for (const auto& v : variants) {
            const Rates* e = Find(v + "/" + t.name);
            if (!e || !g || e->candidates <= 0) continue;
            const double cycles = mhz * 1e6 * corePerTsc / (e->candidates * (t.n - 1));
            std::printf("%-14s %-11s %12.4g %12.4g %12.4g %8.2f %6.0f%% %7.2fx\n", t.name, v.c_str(), e->candidates, e->k,
                        g->k, cycles, s && s->k > 0 ? 100 * e->k / s->k : 0.0, g->k > 0 ? e->k / g->k : 0.0);
        }
    }
    std::printf("\ntwo cores against one, %s kernel (wall time); the cores the process had (its CPU time over\n"
                "the wall time: 2 on an idle machine), and the share of their time spent waiting for work:\n",
                variants.front().c_str());
    for (const Task& t : kTasks) {
        const Rates* one = Find(variants.front() + "/" + t.name);
        const Rates* two = Find(std::string("two-cores/") + t.name + "/process_time/real_time");
        if (!one || !two || one->k <= 0) continue;
        std::printf("%-14s %12.4g k/s on two cores, %.2fx one core; %.2f cores, %4.1f%% waiting\n", t.name, two->k,
                    two->k / one->k, two->cpuPerWall, 100 * two->idle);
    }
    if (!gSideBySide.empty()) {
        std::printf("\nthe same side by side: rounds of one core alone on the first processor and on the second,\n"
                    "two separate one-core scans at once (one on each), and two cores, each for the same wall\n"
                    "time; efficiency = two cores' k/s over the sum of the lone rates, and the same over the two\n"
                    "separate scans' (what two busy cores of this machine give with nothing shared): the median\n"
                    "round, the lowest and highest in brackets:\n");
        const auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v[v.size() / 2];
        };
        for (const Task& t : kTasks) {
            const auto it = gSideBySide.find(t.name);
            if (it == gSideBySide.end()) continue;
            std::vector<double> lone, separate, a0, a1, sep, two;
            for (const SideBySide& r : it->second) {
                lone.push_back(r.efficiency());
                separate.push_back(r.againstSeparate());
                a0.push_back(r.alone[0]);
                a1.push_back(r.alone[1]);
                sep.push_back(r.separate);
                two.push_back(r.two);
            }
            std::printf("%-14s alone %.4g / %.4g k/s, separate %.4g, two cores %.4g: %.0f%% (%.0f-%.0f%%) of alone, "
                        "%.0f%% (%.0f-%.0f%%) of separate\n",
                        t.name, median(a0), median(a1), median(sep), median(two), 100 * median(lone),
                        100 * *std::min_element(lone.begin(), lone.end()), 100 * *std::max_element(lone.begin(), lone.end()),
                        100 * median(separate), 100 * *std::min_element(separate.begin(), separate.end()),
                        100 * *std::max_element(separate.begin(), separate.end()));
        }
    }
    if (ifma) {
        const double peak = PeakMaddsPerCycle(corePerTsc);
        std::printf("\neight-lane squarings alone (no set-up, no sieve), core cycles per candidate squaring, by\n"
                    "batches of eight side by side; bound = the multiply-adds per candidate squaring at this core's\n"
                    "peak of %.2f per cycle (other instructions not counted), and how close the best comes to it:\n%-14s",
                    peak, "task");
        for (uint32_t v = 1; v <= vontal::ifma::kVectors; ++v) std::printf(" %8u", v);
        std::printf(" %8s %8s %8s\n", "madds", "bound", "of bound");
        for (const Task& t : kTasks) {
            if (!Find("ifma-squarings/1/" + std::string(t.name))) continue;
            std::printf("%-14s", t.name);
            double best = 0;
            for (uint32_t v = 1; v <= vontal::ifma::kVectors; ++v) {
                const Rates* r = Find("ifma-squarings/" + std::to_string(v) + "/" + t.name);
                const double cycles = r && r->candidates > 0 ? mhz * 1e6 * corePerTsc / r->candidates : 0.0;
                if (cycles > 0 && (best == 0 || cycles < best)) best = cycles;
                if (cycles > 0)
                    std::printf(" %8.3f", cycles);
                else
                    std::printf(" %8s", "");  // the wide kernel keeps one batch in flight
            }
            const double madds = MaddsPerSquaring(t.n, static_cast<uint64_t>(t.k));
            std::printf(" %8.2f %8.3f %7.0f%%\n", madds, madds / peak, best > 0 ? 100 * madds / peak / best : 0.0);
        }
    }
    benchmark::Shutdown();
    return 0;
}
