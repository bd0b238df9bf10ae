// The small-prime sieve that feeds the candidate test.
#include "Sieve.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vontal {

namespace {
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
// 64-bit words of a block's bits, with room to spare behind its end.
constexpr uint32_t kBlockWords = (kSieveSize / 32 + 100) / 2;
}  // namespace

uint32_t PrimeCountFor(uint32_t n) {
    if (n <= 20) return 10'000;
    const uint64_t count = static_cast<uint64_t>(n / 50) * 300'000 + 800'000;
    return static_cast<uint32_t>(std::min<uint64_t>(count, 10'000'000));
}

void Sieve::Prepare(uint32_t n, uint64_t first) {
    BuildPrimeTable(PrimeCountFor(n));
    pos_ = kSieveSize;
    bits_.assign(kBlockWords, 0);
    ComputeOffsets(n, first);
    baseK_ = first - 2 * static_cast<uint64_t>(kSieveSize);  // the first refill moves to `first`
}

std::vector<uint64_t> Sieve::TablePrimes() const {
    std::vector<uint64_t> primes;
    uint64_t q = 1;
    for (uint32_t j = 0; j < primeCount_; ++j) {
        q += 2 * primeGaps_[j];
        primes.push_back(q);
    }
    return primes;
}

void Sieve::BuildPrimeTable(uint32_t count) {
    if (count == primeCount_ && primeGaps_.size() == static_cast<size_t>(count) + 1) return;  // as before
    primeCount_ = count;
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
    primeGaps_.assign(static_cast<size_t>(count) + 1, 0);
    uint64_t previous = 1, found = 0;
    for (uint64_t b = 0; b < bits && found < count; ++b) {
        if (composite[b / 64] >> (b % 64) & 1) continue;
        const uint64_t q = 2 * b + 3;
        primeGaps_[found++] = static_cast<uint8_t>((q - previous) / 2);
        previous = q;
    }
}

void Sieve::ComputeOffsets(uint32_t n, uint64_t start) {
    const uint32_t count = primeCount_;
    primeOffsets_.resize(count);
    uint64_t q = 1;
    for (uint32_t j = 0; j < count; ++j) {
        q += 2 * static_cast<uint64_t>(primeGaps_[j]);
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
        primeOffsets_[j] = static_cast<uint32_t>((f & 1) ? (f + q) / 2 : f / 2);
    }
    BuildPattern();
    BuildBuckets();
}

void Sieve::BuildBuckets() {
    const uint32_t count = static_cast<uint32_t>(primeOffsets_.size());
    uint32_t q = 1, j = 0;
    for (; j < count; ++j) {
        q += 2 * static_cast<uint32_t>(primeGaps_[j]);
        if (q >= kSieveSize) break;
    }
    firstBucketPrime_ = j;
    const uint32_t largest = [&] {
        uint32_t p = q;
        for (uint32_t i = j + 1; i < count; ++i) p += 2 * static_cast<uint32_t>(primeGaps_[i]);
        return p;
    }();
    const size_t bucketCount = largest / kSieveSize + 2;
    if (buckets_.size() != bucketCount) buckets_.resize(bucketCount);
    for (auto& bucket : buckets_) bucket.clear();  // keeps the capacity of the previous exponent
    for (; j < count; ++j) {
        if (j > firstBucketPrime_) q += 2 * static_cast<uint32_t>(primeGaps_[j]);
        const uint32_t offset = primeOffsets_[j];
        buckets_[(offset / kSieveSize) % bucketCount].push_back(static_cast<uint64_t>(q) << 32 | offset % kSieveSize);
    }
    blockNumber_ = 0;  // the first refill fills block 0, which starts at the first k
}

void Sieve::BuildPattern() {
    const uint32_t period = kPatternPeriod, bits = period + 128;
    pattern_.assign(bits / 64 + 2, 0);
    uint32_t q = 1;
    for (uint32_t j = 0; j < kPatternPrimes && j < primeOffsets_.size(); ++j) {
        q += 2 * primeGaps_[j];
        for (uint32_t i = primeOffsets_[j] % q; i < bits; i += q) pattern_[i / 64] |= uint64_t{1} << (i % 64);
    }
    // The first refill adds one block length and must land on position 0.
    patternPhase_ = (period - kSieveSize % period) % period;
}

uint32_t Sieve::Fill(int64_t kMax, uint64_t* out, uint32_t limit, uint64_t& endK) {
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

// The next block: the pattern of the smallest primes, then every other table prime struck
// through it.
void Sieve::Refill() {
    const uint32_t size = kSieveSize;
    baseK_ += 2 * static_cast<uint64_t>(size);
    uint64_t* bits = bits_.data();
    patternPhase_ = (patternPhase_ + size) % kPatternPeriod;
    const uint64_t* pattern = pattern_.data();
    uint32_t pos = patternPhase_;
    for (uint32_t w = 0; w < size / 64; ++w) {
        const uint32_t word = pos / 64, shift = pos % 64;
        bits[w] = shift ? (pattern[word] >> shift) | (pattern[word + 1] << (64 - shift)) : pattern[word];
        pos += 64;
        if (pos >= kPatternPeriod) pos -= kPatternPeriod;
    }
    uint32_t* offsets = primeOffsets_.data();
    const uint8_t* gaps = primeGaps_.data();
    const uint32_t count = static_cast<uint32_t>(primeOffsets_.size());
    uint32_t q = 1, j = 0;
    for (; j < kPatternPrimes && j < count; ++j) q += 2 * static_cast<uint32_t>(gaps[j]);
    // Primes that strike many times go through the block one first-level-cache-sized segment
    // at a time, so that their strikes stay in that cache.
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
    const uint32_t lastOffsetPrime = std::min(firstBucketPrime_, count);
    for (j = firstLarge; j < lastOffsetPrime; ++j) {
        q += 2 * static_cast<uint32_t>(gaps[j]);
        uint32_t i = offsets[j];
        for (; i < size; i += q) bits[i / 64] |= uint64_t{1} << (i % 64);
        offsets[j] = i - size;
    }
    // The primes waiting for this block; each moves on to the bucket of its next block, never
    // this one again (q is at least a block long).
    if (!buckets_.empty()) {
        const uint64_t bucketCount = buckets_.size();
        std::vector<uint64_t>& due = buckets_[blockNumber_ % bucketCount];
        for (const uint64_t entry : due) {
            const uint32_t step = static_cast<uint32_t>(entry >> 32), at = static_cast<uint32_t>(entry);
            bits[at / 64] |= uint64_t{1} << (at % 64);
            const uint64_t next = static_cast<uint64_t>(at) + step;
            buckets_[(blockNumber_ + next / size) % bucketCount].push_back(entry >> 32 << 32 | next % size);
        }
        due.clear();
    }
    ++blockNumber_;
    pos_ = 0;
}

bool Sieve::NextSurvivor(uint64_t& out) {
    const uint32_t size = kSieveSize;
    if (pos_ >= size) Refill();
    // Scan for the next clear bit.
    uint32_t i = pos_;
    while (i < size) {
        const uint64_t free = ~bits_[i / 64] >> (i % 64);
        if (free) {
            i += static_cast<uint32_t>(__builtin_ctzll(free));
            break;
        }
        i = (i | 63) + 1;
    }
    if (i < size) {
        const uint64_t k = baseK_ + 2 * static_cast<uint64_t>(i);
        if (k <= static_cast<uint64_t>(kInt64Max)) {
            out = k;
            pos_ = i + 1;
            return true;
        }
        // Multipliers of 2^63 and more are never searched.
        out = kInt64Max;
        pos_ = size + 1;
        return false;
    }
    const uint64_t next = baseK_ + 2 * static_cast<uint64_t>(size);
    out = std::min<uint64_t>(next, kInt64Max);
    pos_ = size + 1;
    return false;
}

}  // namespace vontal
