// The small-prime sieve: which odd multipliers k of an exponent n survive division of
// k·2^n + 1 by the first odd primes, block by block, on one thread or several.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vontal {

inline constexpr uint32_t kSieveSize = 1'024'000;  // odd multipliers per sieve block

// Number of small odd primes the sieve uses for exponent n.
uint32_t PrimeCountFor(uint32_t n);

// For exponent n the sieve keeps the first PrimeCountFor(n) odd primes q. Sieve index i stands
// for the odd multiplier k = first + 2i, and q strikes every q-th index, those with
// k·2^n + 1 = 0 (mod q). Indices are handled in blocks of kSieveSize, one bit each (1 = struck);
// block b holds the indices b·kSieveSize to (b + 1)·kSieveSize − 1.
//
// The primes are split by size, as each size is struck fastest:
//  - 3 to 17: one pattern, their strikes repeat every 255,255 indices;
//  - 19 to 127: a pattern per prime one machine word per index of the period long (q words of
//    64 bits), so that a block takes each by whole words;
//  - up to a block's length: struck one by one, the small ones one first-level-cache-sized
//    segment at a time; each thread keeps their positions in its own Cursor;
//  - longer ones strike a block once at most, and most blocks not at all: each waits in the
//    bucket of the block it strikes next, so that a block touches only the primes that strike it.
//    The buckets are shared: their step runs for one block after the other, in block order.
//
// Every index that 3 or 5 strikes is struck by the pattern before the larger primes come, so
// the primes struck segment by segment and the bucket primes skip those indices: of 15 consecutive strikes of a prime q, the 8 whose index
// is neither the root of 3 (mod 3) nor that of 5 (mod 5). The steps between them are q, 2q or
// 3q, fixed by q mod 15 and the index mod 15 (the wheel). The bits are the same either way.
//
// Prepare runs alone; then several threads may sieve blocks at once, each with its own Cursor,
// as long as every block from 0 on is sieved exactly once and each block's sieving begins after
// the previous block's has begun (the bucket step of a block waits for the previous one's). A
// block is sieved in two steps: the primes below a block's length, at any time on any thread,
// then the bucket step, in block order; a thread whose block's turn has not come yet may do
// other work meanwhile (TryStrikeBuckets) instead of waiting.
class Sieve {
public:
    // One thread's sieving state: the bits of the block in hand, and where each prime of less
    // than a block's length strikes next.
    class Cursor {
    public:
        const uint64_t* bits() const { return bits_.data(); }  // 1 = struck
        uint64_t* bits() { return bits_.data(); }
        uint64_t block() const { return block_; }               // the block whose bits these are

    private:
        friend class Sieve;
        std::vector<uint64_t> bits_;
        std::vector<uint32_t> offsets_;  // relative to block next_; one per struck prime
        uint64_t next_ = 0;              // the block that the offsets are for
        uint64_t block_ = ~uint64_t{0};
        const Sieve* owner_ = nullptr;
        uint64_t generation_ = 0;        // of the owner's Prepare the offsets belong to
    };

    Sieve() = default;
    Sieve(const Sieve&) = delete;
    Sieve& operator=(const Sieve&) = delete;

    // Makes the sieve ready for exponent n from the odd multiplier `first` on. The prime table is
    // kept from the previous exponent when its size is the same. With threads >= 2 the primes'
    // first strikes are computed on two threads (the calling one and one started for it); the
    // result is the same.
    void Prepare(uint32_t n, uint64_t first, uint32_t threads = 1);

    // Strikes block b into the cursor's bits: both steps below, waiting for the block's turn.
    void SieveBlock(uint64_t b, Cursor& cursor);
    // The first step: every prime below a block's length.
    void StrikeSmallPrimes(uint64_t b, Cursor& cursor);
    // The second step, the shared buckets, once the previous block's bucket step is done: when
    // it is block b's turn, takes the step and returns true; otherwise returns false at once.
    // The cursor must hold block b from the first step.
    bool TryStrikeBuckets(Cursor& cursor);
    // The same, waiting for the turn.
    void StrikeBucketsInTurn(Cursor& cursor);

    // The survivors of the cursor's block that the loop "while k < kMax: next survivor" hands out,
    // in increasing k, into out (room for a whole block's survivors is not needed: at most
    // `limit`, from index `from` on; `from` is moved past them). done is set when the block has no
    // more to give: either the exponent ends in it (ends, with endK the block's end when that end
    // at or beyond kMax is what ends it, 0 when a survivor at or beyond kMax does) or it is used
    // up. Multipliers of 2^63 and more are never handed out.
    struct Take {
        uint32_t count = 0;
        bool done = false, ends = false;
        uint64_t endK = 0;
    };
    Take Survivors(const Cursor& cursor, int64_t kMax, uint32_t& from, uint64_t* out, uint32_t limit) const;

    // k of index 0 of block b, at most 2^63 − 1.
    uint64_t BlockStartK(uint64_t b) const;

    // The same one survivor at a time, on the calling thread, for the tests and benchmarks:
    // the next survivor in out (true), or, when the block holds no more, the first k of the next
    // block, capped at 2^63 − 1 (false).
    bool NextSurvivor(uint64_t& out);
    // The survivors that the loop "while k < kMax: next survivor" would hand out next, up to
    // `limit` of them, into out, ending after the first one at or beyond kMax; a block end at or
    // beyond kMax ends it too and is returned in endK (0 otherwise). Returns the count.
    uint32_t Fill(int64_t kMax, uint64_t* out, uint32_t limit, uint64_t& endK);

    // Time the threads spent waiting for the previous block's bucket step (for the benchmark).
    std::chrono::nanoseconds turnWait() {
        std::lock_guard lock(bucketMutex_);
        return turnWait_;
    }

    uint32_t primeCount() const { return primeCount_; }
    uint32_t blockSize() const { return kSieveSize; }
    // Half-gaps of consecutive odd primes from 1 on (3 = 1 + 2·1), primeCount() of them and a 0.
    const std::vector<uint8_t>& primeGaps() const { return primeGaps_; }
    // The table's primes, for tests.
    std::vector<uint64_t> TablePrimes() const;
    // Sets the table size and builds the table (tests; Prepare does it for an exponent), on two
    // threads when threads >= 2 and the table is long; the table is the same.
    void BuildPrimeTable(uint32_t count, uint32_t threads = 1);
    // The first sieve index that table prime j strikes, for the primes below a block's length
    // (tests).
    uint32_t FirstStrike(uint32_t j) const { return roots_[j]; }
    // The bits of the block that NextSurvivor is in (1 = struck), and the index of the next one it
    // looks at; tests use them to empty a block.
    uint64_t* blockBits() { return cursor_.bits(); }
    uint32_t position() const { return pos_; }

private:
    struct BucketEntry {
        uint32_t prime;
        uint32_t index;  // in the block of the bucket (low 20 bits), and the wheel key above them
    };
public:
    static constexpr uint32_t kPageBytes = 8192;
    struct BucketPage;

private:
    struct Bucket {
        BucketPage* head = nullptr;  // pages in order; all but the last full
        BucketEntry* end = nullptr;  // the next free entry, in the last page
    };
    // Each block has this many buckets (lanes), which entries in a row take in turn.
    static constexpr uint32_t kBucketLanes = 2;

    void SplitPrimes();
    void ResetBuckets();
    static constexpr uint32_t kRootChunk = 256;  // primes whose roots are computed side by side
    void ComputeRoots(uint32_t n, uint64_t first, uint32_t threads);
    void ComputeRootRange(uint32_t n, uint64_t first, uint32_t from, uint32_t to, uint64_t q,
                          uint32_t* strikes);
    void AppendFirstStrike(uint32_t j, uint32_t p, uint32_t root);
    void BuildWordPatterns();
    void BuildWheel(uint32_t n, uint64_t first);
    // The first index from i on (relative to a block that begins at index start15 mod 15) of
    // prime q's strikes that the wheel keeps; i is one of the prime's strikes. Without a branch:
    // a cursor whose thread skipped blocks moves every prime's offset this way.
    uint32_t WheelKept(uint32_t i, uint32_t q, uint32_t start15) const {
        return i + wheelToKept_[q % 15 * 16 + (start15 + i) % 15] * q;
    }
    void MoveCursor(Cursor& cursor, uint64_t b) const;
    void StrikeBuckets(uint64_t b, uint64_t* bits);
    void TakeTurn(uint64_t b, uint64_t* bits);
    void Append(Bucket& bucket, BucketEntry entry);
    void Extend(Bucket& bucket);
    BucketPage* NewPage();

    uint32_t primeCount_ = 0;
    std::vector<uint8_t> primeGaps_;
    uint64_t first_ = 0;
    uint64_t generation_ = 0;      // Prepare calls, so that a cursor knows its offsets are old
    std::vector<uint32_t> roots_;  // first index each prime below a block's length strikes, in [0, q)

    // 3 to 17: the strikes of one period of 255,255 indices, then its first 128 bits again.
    static constexpr uint32_t kPatternPrimes = 6;
    static constexpr uint32_t kPatternPeriod = 3 * 5 * 7 * 11 * 13 * 17;
    std::vector<uint64_t> pattern_;
    // 19 to 127: for each, q words whose bit b of word w is set when the index 64w + b is struck
    // (mod 64q); block b begins at word (b·kSieveSize / 64) mod q.
    struct WordPattern {
        uint32_t prime;
        uint32_t start;  // in words_
    };
    std::vector<WordPattern> wordPatterns_;
    std::vector<uint64_t> words_;
    uint32_t firstStruck_ = 0;    // table index of the first prime struck one by one
    uint32_t firstBucket_ = 0;    // table index of the first prime of a block's length or more
    uint64_t largestPrime_ = 0;
    std::vector<uint32_t> struckPrimes_;  // the primes from there up to a block's length
    std::vector<uint32_t> blockRemainders_;  // kSieveSize mod q of each of them
    size_t segmentPrimes_ = 0;  // how many of them are struck segment by segment,
    size_t wheelPrimes_ = 0;    // how many skip along the wheel (the same ones),
    size_t blockPrimes_ = 0;    // and how many (those and more) are struck through the whole block;
    size_t fewEnds_[8] = {};    // the end of those that strike a block C times or C + 1, by C

    // The wheel of 3 and 5: bit u of wheelKept_ is set for the indices i = u (mod 15) that neither
    // strikes. For key = (q mod 15)·16 + u of a kept u: wheelSteps_ holds the 8 steps (in units of
    // q, 4 bits each, the first in the low bits) from u round the prime's cycle of 15q, and
    // wheelNext_ the first of them (low bits) with the key of the index it leads to (from bit 20),
    // as a bucket entry holds it.
    static constexpr uint32_t kIndexBits = 20;
    static_assert(kSieveSize <= (uint32_t{1} << kIndexBits));
    uint32_t wheelKept_ = 0;
    uint32_t wheelSteps_[256] = {};
    uint32_t wheelNext_[256] = {};
    uint8_t wheelToKept_[256] = {};  // for key = (q mod 15)·16 + u: the steps of q from u to a kept index

    // The primes of a block's length and more, in the buckets of the blocks they strike next:
    // block b's lanes are buckets (b mod the ring's size)·kBucketLanes on, each a list of pages
    // of entries.
    std::vector<Bucket> buckets_;
    uint64_t bucketMask_ = 0;
    std::vector<void*> slabs_;  // the memory of every page this sieve owns, in slabs of pages
    BucketPage* freePages_ = nullptr;
    // The next block whose bucket step may run. Only the thread that holds that block takes the
    // step, so the turn itself is the exclusive right to the buckets: it is handed on with
    // release and taken with acquire. The mutex and condition serve the threads that wait for it.
    std::atomic<uint64_t> bucketBlock_{0};
    std::mutex bucketMutex_;
    std::condition_variable bucketTurn_;
    std::chrono::nanoseconds turnWait_{0};  // spent waiting for the turn, added up (under the mutex)

    // NextSurvivor's own state.
    Cursor cursor_;
    uint64_t nextBlock_ = 0;
    uint32_t pos_ = kSieveSize;

public:
    ~Sieve();
};

}  // namespace vontal
