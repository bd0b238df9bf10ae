// The search state and the small-prime sieve that feeds the candidate test.
//
// For exponent n the sieve keeps the first primeCount odd primes q and, for each, the index of
// the next odd multiplier k whose candidate k*2^n + 1 it divides. Multipliers are handled in
// blocks of kSieveSize consecutive odd values, one bit each; a block is struck with every
// table prime, and the clear bits are handed out one by one.
#include "SearchState.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vontal {

namespace {
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
}

uint32_t PrimeCountFor(uint32_t n) {
    if (n <= 20) return 10'000;
    const uint64_t count = static_cast<uint64_t>(n / 50) * 300'000 + 800'000;
    return static_cast<uint32_t>(std::min<uint64_t>(count, 10'000'000));
}

uint32_t LimbCountFor(int64_t kMax, uint32_t n) {
    const uint32_t log2k = kMax > 0 ? Log2Floor(static_cast<uint64_t>(kMax)) : 0;
    return (log2k + n) / 32 + 1;
}

TSearchState::TSearchState() = default;
TSearchState::~TSearchState() = default;

std::string TSearchState::priorityName() const {
    const int i = priorityText.load(std::memory_order_relaxed);
    return i >= 0 && i < 6 ? kPriorityTexts[i] : "";
}

bool TSearchState::ResumePoint(uint32_t& n, int64_t& k) const {
    // KTemp between two reads of nTemp: if a KTemp of another exponent had been read, the
    // acquire reads would see the nTemp stored before it, and the two reads would differ.
    const uint32_t before = nTemp.load(std::memory_order_acquire);
    k = KTemp.load(std::memory_order_acquire);
    n = nTemp.load(std::memory_order_acquire);
    return n == before && n != 0 && k != 0 && k < kMax.load(std::memory_order_relaxed);
}

void TSearchState::PrepareExponent() {
    const uint32_t n = nTemp.load(std::memory_order_relaxed);
    limbCount.store(LimbCountFor(kMax.load(std::memory_order_relaxed), n), std::memory_order_relaxed);
    kernelScratch.reserveFor(n);
    const uint32_t count = PrimeCountFor(n);
    if (count != primeCount.load(std::memory_order_relaxed)) {
        primeCount.store(count, std::memory_order_relaxed);
        primeGaps.clear();  // the table is rebuilt by FindPrime
    }
    // Candidates that the kernel runs side by side are tested several at a time (a batch of them
    // at n = 3300 still takes some ten milliseconds, some fifty with a scalar variant); wider ones
    // are slow enough one by one, and a stop then takes effect after one test.
    const int64_t top = kMax.load(std::memory_order_relaxed);
    const uint32_t widestBits = n + Log2Floor(top > 0 ? static_cast<uint64_t>(top) : 1) + 1;
    batchLimit = widestBits <= kSideBySideBits ? kBatchSize : 1;
    poolBatchLimit = widestBits <= 256 ? kPoolBatchSize : batchLimit;
    sieveSize.store(kSieveSize, std::memory_order_relaxed);
    sievePos = kSieveSize;
    sieveBits.assign(kSieveWords32 / 2, 0);
}

void TSearchState::FindPrime() {
    const uint32_t count = primeCount.load(std::memory_order_relaxed);
    if (primeGaps.size() == static_cast<size_t>(count) + 1) return;  // same table as before
    // N (ln N + 0.67 ln ln N) exceeds the (N+1)-th prime for every N that occurs here.
    const long double nl = count < 16 ? 16.0L : static_cast<long double>(count);
    const uint64_t limit =
        static_cast<uint64_t>((0.67L * std::log(std::log(nl)) + std::log(nl)) * nl) + 200;
    // Odd-only sieve of Eratosthenes: bit b stands for 2b + 3; 1 = composite.
    const uint64_t bits = limit / 2;
    std::vector<uint64_t> composite(bits / 64 + 1, 0);
    for (uint64_t i = 3; i * i <= 2 * bits + 1; i += 2) {
        const uint64_t b = (i - 3) / 2;
        if (composite[b / 64] >> (b % 64) & 1) continue;
        for (uint64_t c = (i * i - 3) / 2; c < bits; c += i) composite[c / 64] |= uint64_t{1} << (c % 64);
    }
    primeGaps.assign(static_cast<size_t>(count) + 1, 0);
    uint64_t previous = 1, found = 0;
    for (uint64_t b = 0; b < bits && found < count; ++b) {
        if (composite[b / 64] >> (b % 64) & 1) continue;
        const uint64_t q = 2 * b + 3;
        primeGaps[found++] = static_cast<uint8_t>((q - previous) / 2);
        previous = q;
    }
}

void TSearchState::FindNumberK0() {
    const uint32_t count = primeCount.load(std::memory_order_relaxed);
    const uint32_t n = nTemp.load(std::memory_order_relaxed);
    const uint64_t start = static_cast<uint64_t>(KTemp.load(std::memory_order_relaxed));
    primeOffsets.resize(count);
    uint64_t q = 1;
    for (uint32_t j = 0; j < count; ++j) {
        q += 2 * static_cast<uint64_t>(primeGaps[j]);
        // d = 2^-n mod q, by binary powering of 2^-1 = (q + 1) / 2.
        const uint64_t half = (q + 1) / 2;
        uint64_t acc = (n & 1) ? half : 1, h = half;
        for (uint32_t e = n >> 1; e; e >>= 1) {
            h = h * h % q;
            if (e & 1) acc = acc * h % q;
        }
        const uint64_t d = acc, e = start % q;
        // (start + f)*2^n = -1 (mod q); then start + 2i = start + f (mod q).
        const uint64_t f = (2 * q - d - e) % q;
        primeOffsets[j] = static_cast<uint32_t>((f & 1) ? (f + q) / 2 : f / 2);
    }
    BuildPattern();
    BuildBuckets();
}

void TSearchState::BuildBuckets() {
    const uint32_t count = static_cast<uint32_t>(primeOffsets.size());
    uint32_t q = 1, j = 0;
    std::vector<uint32_t> large;  // the primes of a block's length and more, in table order
    for (; j < count; ++j) {
        q += 2 * static_cast<uint32_t>(primeGaps[j]);
        if (q >= kSieveSize) break;
    }
    firstBucketPrime = j;
    const uint32_t largest = [&] {
        uint32_t p = q;
        for (uint32_t i = j + 1; i < count; ++i) p += 2 * static_cast<uint32_t>(primeGaps[i]);
        return p;
    }();
    const size_t bucketCount = largest / kSieveSize + 2;
    if (buckets.size() != bucketCount) buckets.resize(bucketCount);
    for (auto& bucket : buckets) bucket.clear();  // keeps the capacity of the previous exponent
    for (; j < count; ++j) {
        if (j > firstBucketPrime) q += 2 * static_cast<uint32_t>(primeGaps[j]);
        const uint32_t offset = primeOffsets[j];
        buckets[(offset / kSieveSize) % bucketCount].push_back(static_cast<uint64_t>(q) << 32 | offset % kSieveSize);
    }
    blockNumber = 0;  // the first refill fills block 0, which starts at KTemp
}

void TSearchState::BuildPattern() {
    const uint32_t period = kPatternPeriod, bits = period + 128;
    patternBits.assign(bits / 64 + 2, 0);
    uint32_t q = 1;
    for (uint32_t j = 0; j < kPatternPrimes && j < primeOffsets.size(); ++j) {
        q += 2 * primeGaps[j];
        for (uint32_t i = primeOffsets[j] % q; i < bits; i += q) patternBits[i / 64] |= uint64_t{1} << (i % 64);
    }
    // The first refill adds one block length and must land on position 0.
    patternPhase = (period - kSieveSize % period) % period;
}

bool TSearchState::NextCandidate() {
    uint64_t k;
    const bool got = NextSurvivor(k);
    KTemp.store(static_cast<int64_t>(k), std::memory_order_relaxed);
    return got;
}

void TSearchState::FillBatch(int64_t kMax) { batchCount = FillBatchInto(kMax, batchK, batchLimit, batchEndK); }

uint32_t TSearchState::FillBatchInto(int64_t kMax, uint64_t* out, uint32_t limit, uint64_t& endK) {
    uint32_t count = 0;
    endK = 0;
    const uint64_t bound = kMax > 0 ? static_cast<uint64_t>(kMax) : 0;
    while (count < limit) {
        uint64_t k;
        if (NextSurvivor(k)) {
            out[count++] = k;
            if (k >= bound) break;
        } else if (k >= bound) {
            endK = k;
            break;
        }
    }
    return count;
}

void TSearchState::TestBatch() {
    TestCandidates(batchK, batchCount, nTemp.load(std::memory_order_relaxed), batchM, kernelScratch);
}

bool TSearchState::NextSurvivor(uint64_t& out) {
    const uint32_t size = kSieveSize;
    if (sievePos >= size) {
        // Refill: the pattern of the smallest primes, then every other table prime struck
        // through the new block.
        sieveBaseK += 2 * static_cast<uint64_t>(size);
        uint64_t* bits = sieveBits.data();
        patternPhase = (patternPhase + size) % kPatternPeriod;
        const uint64_t* pattern = patternBits.data();
        uint32_t pos = patternPhase;
        for (uint32_t w = 0; w < size / 64; ++w) {
            const uint32_t word = pos / 64, shift = pos % 64;
            bits[w] = shift ? (pattern[word] >> shift) | (pattern[word + 1] << (64 - shift)) : pattern[word];
            pos += 64;
            if (pos >= kPatternPeriod) pos -= kPatternPeriod;
        }
        uint32_t* offsets = primeOffsets.data();
        const uint8_t* gaps = primeGaps.data();
        const uint32_t count = static_cast<uint32_t>(primeOffsets.size());
        uint32_t q = 1, j = 0;
        for (; j < kPatternPrimes && j < count; ++j) q += 2 * static_cast<uint32_t>(gaps[j]);
        // Primes that strike many times go through the block one first-level-cache-sized
        // segment at a time, so that their strikes stay in that cache.
        constexpr uint32_t kSegment = 1u << 18;  // bits: 32 KiB
        const uint32_t firstMedium = j;
        const uint32_t qFirst = q;
        for (uint32_t end = kSegment;; end += kSegment) {
            const uint32_t limit = std::min(end, size);
            uint32_t qs = qFirst;
            for (j = firstMedium; j < count; ++j) {
                const uint32_t step = qs + 2 * static_cast<uint32_t>(gaps[j]);
                if (step >= kSegment / 4) break;
                qs = step;
                uint32_t i = offsets[j];
                for (; i < limit; i += qs) bits[i / 64] |= uint64_t{1} << (i % 64);
                offsets[j] = i;
            }
            q = qs;
            if (limit == size) break;
        }
        const uint32_t firstLarge = j;
        for (j = firstMedium; j < firstLarge; ++j) offsets[j] -= size;
        const uint32_t lastOffsetPrime = std::min(firstBucketPrime, count);
        for (j = firstLarge; j < lastOffsetPrime; ++j) {
            q += 2 * static_cast<uint32_t>(gaps[j]);
            uint32_t i = offsets[j];
            for (; i < size; i += q) bits[i / 64] |= uint64_t{1} << (i % 64);
            offsets[j] = i - size;
        }
        // The primes waiting for this block; each moves on to the bucket of its next block,
        // never this one again (q is at least a block long).
        if (!buckets.empty()) {
            const uint64_t bucketCount = buckets.size();
            std::vector<uint64_t>& due = buckets[blockNumber % bucketCount];
            for (const uint64_t entry : due) {
                const uint32_t step = static_cast<uint32_t>(entry >> 32), at = static_cast<uint32_t>(entry);
                bits[at / 64] |= uint64_t{1} << (at % 64);
                const uint64_t next = static_cast<uint64_t>(at) + step;
                buckets[(blockNumber + next / size) % bucketCount].push_back(entry >> 32 << 32 | next % size);
            }
            due.clear();
        }
        ++blockNumber;
        sievePos = 0;
    }
    // Scan for the next clear bit.
    uint32_t i = sievePos;
    while (i < size) {
        const uint64_t free = ~sieveBits[i / 64] >> (i % 64);
        if (free) {
            i += static_cast<uint32_t>(__builtin_ctzll(free));
            break;
        }
        i = (i | 63) + 1;
    }
    if (i < size) {
        const uint64_t k = sieveBaseK + 2 * static_cast<uint64_t>(i);
        if (k <= static_cast<uint64_t>(kInt64Max)) {
            out = k;
            sievePos = i + 1;
            return true;
        }
        // Multipliers of 2^63 and more are never searched.
        out = kInt64Max;
        sievePos = size + 1;
        return false;
    }
    const uint64_t next = sieveBaseK + 2 * static_cast<uint64_t>(size);
    out = std::min<uint64_t>(next, kInt64Max);
    sievePos = size + 1;
    return false;
}

void TSearchState::TestNextK() {
    if (!NextCandidate()) {
        testOutcome = 1;
        return;
    }
    const uint32_t m = TestCandidate(static_cast<uint64_t>(KTemp.load(std::memory_order_relaxed)),
                                     nTemp.load(std::memory_order_relaxed), kernelScratch);
    testOutcome = m ? 0 : 1;
    mFound = m;
}

}  // namespace vontal
