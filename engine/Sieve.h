// The small-prime sieve: which odd multipliers k of an exponent n survive division of
// k·2^n + 1 by the first odd primes, handed out in increasing k.
#pragma once

#include <cstdint>
#include <vector>

namespace vontal {

inline constexpr uint32_t kSieveSize = 1'024'000;  // odd multipliers per sieve block

// Number of small odd primes the sieve uses for exponent n.
uint32_t PrimeCountFor(uint32_t n);

// For exponent n the sieve keeps the first PrimeCountFor(n) odd primes q and, for each, the index
// of the next odd multiplier k whose candidate k·2^n + 1 it divides. Multipliers are handled in
// blocks of kSieveSize consecutive odd values, one bit each; a block is struck with every table
// prime, and the clear bits are handed out one by one. Used by one thread at a time.
class Sieve {
public:
    // Makes the sieve ready to hand out the survivors of exponent n from the odd multiplier
    // `first` on. The prime table is kept from the previous exponent when its size is the same.
    void Prepare(uint32_t n, uint64_t first);

    // The next survivor in out (true), or, when the block holds no more, the first k of the
    // next block, capped at 2^63 - 1 (false). Multipliers of 2^63 and more are never handed out.
    bool NextSurvivor(uint64_t& out);

    // The survivors that the loop "while k < kMax: next survivor" would hand out next, up to
    // `limit` of them, into out, ending after the first one at or beyond kMax; a block end at or
    // beyond kMax ends it too and is returned in endK (0 otherwise). Returns the count.
    uint32_t Fill(int64_t kMax, uint64_t* out, uint32_t limit, uint64_t& endK);

    uint32_t primeCount() const { return primeCount_; }
    uint32_t blockSize() const { return kSieveSize; }
    // Half-gaps of consecutive odd primes from 1 on (3 = 1 + 2·1), primeCount() of them and a 0.
    const std::vector<uint8_t>& primeGaps() const { return primeGaps_; }
    // The table's primes, for tests.
    std::vector<uint64_t> TablePrimes() const;
    // Sets the table size and builds the table (tests; Prepare does it for an exponent).
    void BuildPrimeTable(uint32_t count);
    // Sieve index of the next struck multiplier of table prime j, for the block in hand.
    uint32_t primeOffset(uint32_t j) const { return primeOffsets_[j]; }
    // The bits of the block in hand (1 = struck), and the index of the next one to look at; tests
    // use them to empty a block.
    std::vector<uint64_t>& blockBits() { return bits_; }
    uint32_t position() const { return pos_; }

private:
    void ComputeOffsets(uint32_t n, uint64_t first);
    void BuildPattern();
    void BuildBuckets();
    void Refill();

    uint32_t primeCount_ = 0;
    std::vector<uint8_t> primeGaps_;
    std::vector<uint32_t> primeOffsets_;  // next struck sieve index per table prime
    std::vector<uint64_t> bits_;          // one bit per odd k of the block; 1 = struck
    uint64_t baseK_ = 0;                  // k of index 0; unsigned so that no block base overflows
    uint32_t pos_ = kSieveSize;
    // The primes 3 to 17 are not struck one by one: their strikes repeat every 255,255 indices,
    // so every block is filled from one pattern built per exponent.
    static constexpr uint32_t kPatternPrimes = 6;
    static constexpr uint32_t kPatternPeriod = 3 * 5 * 7 * 11 * 13 * 17;
    std::vector<uint64_t> pattern_;  // the period, then its first 128 bits again
    uint32_t patternPhase_ = 0;      // pattern position of the current block's index 0
    // Primes longer than a block strike it once at most, and most blocks not at all: each waits
    // in the bucket of the block it strikes next (q in the high half, the index in the low half),
    // so a refill touches only the primes that strike it.
    std::vector<std::vector<uint64_t>> buckets_;
    uint32_t firstBucketPrime_ = 0;  // table index of the first prime of a block's length
    uint64_t blockNumber_ = 0;       // blocks filled since the exponent began
};

}  // namespace vontal
