// The one record through which the computation thread and the window meet: the task, the
// position reached, the sieve tables, the stop flag and the throughput figures.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Kernel.h"

namespace vontal {

class ISettings;
class TFactor;

// Priority texts shown on the status line; `priorityText` holds an index into this table
// (or -1 while none has been applied yet) so that it can be swapped in one atomic step.
inline constexpr const char* kPriorityTexts[6] = {"1-Idle",   "2-Lowest", "3-Lower",
                                                  "4-Normal", "5-Higher", "6-Highest"};

inline constexpr uint32_t kSieveSize = 1'024'000;        // odd multipliers per sieve block
inline constexpr uint32_t kSieveWords32 = kSieveSize / 32 + 100;  // the table's 32-bit words

// Number of small odd primes the sieve uses for exponent n.
uint32_t PrimeCountFor(uint32_t n);
// 32-bit words of the largest candidate of an exponent: (floor(log2 kMax) + n) div 32 + 1.
uint32_t LimbCountFor(int64_t kMax, uint32_t n);

class TSearchState {
public:
    TSearchState();
    ~TSearchState();
    TSearchState(const TSearchState&) = delete;
    TSearchState& operator=(const TSearchState&) = delete;

    // --- Task and position. Shared with the window thread: whole 64-bit accesses. -----------
    std::atomic<uint32_t> nMin{0};
    std::atomic<uint32_t> nMax{0};
    std::atomic<uint32_t> nTemp{0};
    std::atomic<int64_t> kMin{0};
    std::atomic<int64_t> kMax{0};
    std::atomic<int64_t> KTemp{0};

    // --- Sieve (computation thread only, except the counts shown on the status line). ------
    std::atomic<uint32_t> primeCount{0};
    std::atomic<uint32_t> sieveSize{0};
    std::vector<uint8_t> primeGaps;      // half-gaps of consecutive odd primes, primeCount + 1
    std::vector<uint32_t> primeOffsets;  // next struck sieve index per table prime
    std::vector<uint64_t> sieveBits;     // one bit per odd k of the block; 1 = struck
    uint64_t sieveBaseK = 0;             // k of index 0; unsigned so that no block base overflows
    uint32_t sievePos = 0;
    // The primes 3 to 17 are not struck one by one: their strikes repeat every 255,255 indices,
    // so every block is filled from one pattern built per exponent.
    static constexpr uint32_t kPatternPrimes = 6;
    static constexpr uint32_t kPatternPeriod = 3 * 5 * 7 * 11 * 13 * 17;
    std::vector<uint64_t> patternBits;   // the period, then its first 128 bits again
    uint32_t patternPhase = 0;           // pattern position of the current block's index 0
    // Primes longer than a block strike it once at most, and most blocks not at all: each
    // waits in the bucket of the block it strikes next (q in the high half, the index in the
    // low half), so a refill touches only the primes that strike it.
    std::vector<std::vector<uint64_t>> buckets;
    uint32_t firstBucketPrime = 0;       // table index of the first prime of a block's length
    uint64_t blockNumber = 0;            // blocks filled since the exponent began

    // --- Candidate test. -------------------------------------------------------------------
    std::atomic<uint32_t> limbCount{0};  // shown on the status line ("Used arrays")
    KernelScratch kernelScratch;         // sized once per exponent, reused by every candidate
    uint32_t testOutcome = 1;            // 0 = the candidate divides some F_m
    uint32_t mFound = 0;

    // --- Run control. ------------------------------------------------------------------------
    std::atomic<uint32_t> stopFlag{0};   // 1 = no search running, or stop requested
    std::atomic<uint32_t> viewTicks{0};
    // Cores to search with; 0 = the settings key "Threads" (default 1). Front ends may set it.
    std::atomic<uint32_t> threadCount{0};
    TFactor* factorThread = nullptr;     // owned by whoever started it (window or front end)

    // --- Throughput. ---------------------------------------------------------------------------
    std::atomic<int64_t> kStart{0};
    std::atomic<uint32_t> tickStart{0};
    std::atomic<int64_t> kPerDay{0};

    // --- Machine facts, measured once before any thread starts. -----------------------------
    uint32_t cpuFamily = 0;
    uint32_t cpuMHz = 0;

    // --- Priority. -----------------------------------------------------------------------------
    std::atomic<int> priorityText{-1};   // index into kPriorityTexts, -1 = none yet
    std::atomic<uint32_t> floatingMode{0};
    std::atomic<int32_t> lastMouseX{0};
    std::atomic<int32_t> pointerX{0};    // pointer position, kept current by the window thread

    // --- Files and texts. ------------------------------------------------------------------------
    std::filesystem::path programDir;    // where "Result.txt", "Vontal.log", "Vontal.ini" live
    ISettings* iniFile = nullptr;
    std::string versionText = "4.4";
    char thousandsSeparator = ',';       // set by the front end before any thread starts

    std::string priorityName() const;

    // The position to save while a search runs: the exponent nTemp and the k to resume it at,
    // read so that the two belong together (the thread stores them with release order). False
    // when no such pair can be had just now: before the thread has taken up its position (KTemp
    // 0), and while it passes from one exponent to the next (KTemp at or beyond kMax, which would
    // begin an exponent afresh whether or not it was finished). That lasts a moment; ask again.
    bool ResumePoint(uint32_t& n, int64_t& k) const;

    // --- Sieve and candidate test, working on the fields above (computation thread). ---------
    void FindPrime();     // builds primeGaps for primeCount
    void FindNumberK0();  // fills primeOffsets for KTemp and nTemp, and the small-prime pattern
    void BuildPattern();
    void BuildBuckets();
    // Hands out the next sieve survivor in KTemp; false when the block held no more (KTemp is
    // then the first k of the next block, or INT64_MAX when that would pass 2^63 - 1).
    bool NextCandidate();
    void TestNextK();     // next survivor, then the test: testOutcome, mFound

    // Batched form of the candidate loop. FillBatch takes the survivors that the loop
    // "while KTemp < kMax: TestNextK" would test next, up to batchLimit of them, ending after the
    // first one at or beyond kMax (or at a block end at or beyond kMax, which it returns in
    // batchEndK; otherwise batchEndK is 0). It does not move KTemp: the caller publishes each
    // candidate once its test is done, so a saved position never passes an untested one.
    static constexpr uint32_t kBatchSize = 16;
    uint64_t batchK[kBatchSize] = {};
    uint32_t batchM[kBatchSize] = {};
    uint32_t batchCount = 0;
    uint32_t batchLimit = 1;   // set per exponent: several when candidates are small enough
    // Candidates per batch handed to other cores: many for small candidates, so that handing a
    // batch over costs little next to testing it; as many as batchLimit for wide ones, so that a
    // stop still takes effect after one batch.
    static constexpr uint32_t kPoolBatchSize = 1024;
    uint32_t poolBatchLimit = 1;
    uint64_t batchEndK = 0;
    void FillBatch(int64_t kMax);
    // The same into any array: returns the count, sets endK (0 when none).
    uint32_t FillBatchInto(int64_t kMax, uint64_t* out, uint32_t limit, uint64_t& endK);
    void TestBatch();  // batchM[i]: the m that batchK[i] divides, or 0

    // The next survivor in out (true), or, when the block holds no more, the first k of the
    // next block, capped at 2^63 - 1 (false).
    bool NextSurvivor(uint64_t& out);

    // Sizes and primes the sieve and the test arrays for exponent nTemp starting at KTemp.
    void PrepareExponent();
};

}  // namespace vontal
