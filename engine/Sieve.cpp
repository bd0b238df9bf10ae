// The small-prime sieve that feeds the candidate test.
#include "Sieve.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <new>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vontal {

namespace {

constexpr uint64_t kInt64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
constexpr uint32_t kBlockWords = kSieveSize / 64;  // 16,000: a block is whole words
static_assert(kSieveSize % 64 == 0);
// Segments of a block that fit the first-level cache (32 KiB), and the primes that strike each
// often enough to be struck segment by segment; longer ones go through the whole block at once
// (a visit of a prime costs more than its few strikes in the second-level cache), and from
// kFewLimit on they strike a block at most kMaxFew + 1 times. Only the primes struck segment by
// segment skip along the wheel: for the longer ones, finding a prime's place on the wheel each
// block cost more than the strikes it saves (through the block, a fifth more time than a plain
// step).
constexpr uint32_t kSegmentWords = 4000;
static_assert(kBlockWords % kSegmentWords == 0);
constexpr uint32_t kSegmentPrimeLimit = 16384;
constexpr uint32_t kFewLimit = 128000;
constexpr uint32_t kMaxFew = kSieveSize / kFewLimit - 1;
static_assert(kMaxFew == 7);
// Primes below this are taken by whole words from a pattern of their own.
constexpr uint32_t kWordPatternLimit = 128;

inline void Strike(uint64_t* bits, uint32_t i) { bits[i / 64] |= uint64_t{1} << (i % 64); }

// Strikes the wheel's kept indices of a prime q from i (one of them) below end and returns the
// first at or beyond end; steps holds the 8 steps of the cycle from i on (in units of q, 4 bits
// each). A whole cycle of 8 strikes per round, then what is left of one.
inline uint32_t WheelRun(uint64_t* bits, uint32_t i, uint32_t q, uint32_t steps, uint32_t end) {
    const uint32_t a1 = (steps & 15) * q;
    const uint32_t a2 = a1 + (steps >> 4 & 15) * q;
    const uint32_t a3 = a2 + (steps >> 8 & 15) * q;
    const uint32_t a4 = a3 + (steps >> 12 & 15) * q;
    const uint32_t a5 = a4 + (steps >> 16 & 15) * q;
    const uint32_t a6 = a5 + (steps >> 20 & 15) * q;
    const uint32_t a7 = a6 + (steps >> 24 & 15) * q;
    const uint32_t cycle = 15 * q;
    if (end > a7) {
        for (const uint32_t last = end - a7; i < last; i += cycle) {
            Strike(bits, i);
            Strike(bits, i + a1);
            Strike(bits, i + a2);
            Strike(bits, i + a3);
            Strike(bits, i + a4);
            Strike(bits, i + a5);
            Strike(bits, i + a6);
            Strike(bits, i + a7);
        }
    }
    // Fewer than 8 are left below end.
    if (i >= end) return i;
    Strike(bits, i);
    if (i + a1 >= end) return i + a1;
    Strike(bits, i + a1);
    if (i + a2 >= end) return i + a2;
    Strike(bits, i + a2);
    if (i + a3 >= end) return i + a3;
    Strike(bits, i + a3);
    if (i + a4 >= end) return i + a4;
    Strike(bits, i + a4);
    if (i + a5 >= end) return i + a5;
    Strike(bits, i + a5);
    if (i + a6 >= end) return i + a6;
    Strike(bits, i + a6);
    return i + a7;
}

// The word patterns of 19 to 127 into a segment whose first word is word `firstWord` of the
// exponent: each pattern's words in runs up to the end of its period.
template <class Pattern>
[[gnu::always_inline]] inline void OrWordPatterns(uint64_t* __restrict segment, const Pattern* patterns, size_t count,
                                                  const uint64_t* __restrict words, uint64_t firstWord) {
    for (size_t j = 0; j < count; ++j) {
        const uint64_t* __restrict from = words + patterns[j].start;
        const uint32_t q = patterns[j].prime;
        uint32_t at = static_cast<uint32_t>(firstWord % q);
        for (uint32_t w = 0; w < kSegmentWords;) {
            const uint32_t run = std::min(q - at, kSegmentWords - w);
            for (uint32_t i = 0; i < run; ++i) segment[w + i] |= from[at + i];
            w += run;
            at = 0;
        }
    }
}

// The same in 256-bit steps, where the processor has them.
const bool kAvx2 = [] {
#if defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}();
template <class Pattern>
#if defined(__x86_64__)
__attribute__((target("avx2")))
#endif
void OrWordPatternsAvx2(uint64_t* segment, const Pattern* patterns, size_t count, const uint64_t* words,
                        uint64_t firstWord) {
    OrWordPatterns(segment, patterns, count, words, firstWord);
}

// Index 0 of block b mod 15, for the wheel.
inline uint32_t BlockStart15(uint64_t b) { return static_cast<uint32_t>(b % 15 * (kSieveSize % 15) % 15); }

template <uint32_t C>
inline void StrikeFew(uint64_t* bits, uint32_t* offsets, const uint32_t* primes, size_t from, size_t to) {
    for (size_t j = from; j < to; ++j) {
        const uint32_t q = primes[j];
        uint32_t i = offsets[j];
        for (uint32_t t = 0; t < C; ++t, i += q) Strike(bits, i);
        const bool inside = i < kSieveSize;
        Strike(bits, inside ? i : kSieveSize);
        offsets[j] = (inside ? i + q : i) - kSieveSize;
    }
}

}  // namespace

// A page of bucket entries, aligned to its size, so that an entry pointer tells by its low bits
// when its page is full. Buckets are lists of pages; used pages go back to a free list, so that
// after the first blocks of an exponent no page is allocated.
struct alignas(Sieve::kPageBytes) Sieve::BucketPage {
    static constexpr uint32_t kEntries = (kPageBytes - sizeof(void*)) / sizeof(BucketEntry);
    BucketEntry entries[kEntries];
    BucketPage* next;
};
static_assert(sizeof(Sieve::BucketPage) == Sieve::kPageBytes);

namespace {
inline bool PageFull(const void* end) {
    return (reinterpret_cast<uintptr_t>(end) & (Sieve::kPageBytes - 1)) == Sieve::kPageBytes - sizeof(void*);
}
}  // namespace

// Bucket pages come in slabs of 2 MiB, aligned to their size: one allocation for 256 pages, and
// on Linux one huge page of memory where the system gives them on request (the bucket step
// writes all over the ring's pages, which took a translation miss and a page fault per 4 KiB).
namespace {
constexpr size_t kSlabBytes = size_t{2} << 20;
static_assert(kSlabBytes % Sieve::kPageBytes == 0);
}

Sieve::~Sieve() {
    for (void* slab : slabs_) ::operator delete(slab, std::align_val_t{kSlabBytes});
}

uint32_t PrimeCountFor(uint32_t n) {
    if (n <= 20) return 10'000;
    const uint64_t count = static_cast<uint64_t>(n / 50) * 300'000 + 800'000;
    return static_cast<uint32_t>(std::min<uint64_t>(count, 10'000'000));
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

namespace {

// Runs upper() on a thread of its own while lower() runs on this one, and returns once both have
// ended, rethrowing a failure of either. Where no thread can be had it runs neither and returns
// false: the caller then does the whole on this thread.
template <class Upper, class Lower>
bool RunBesides(Upper&& upper, Lower&& lower) {
    std::exception_ptr failure;
    std::thread thread;
    try {
        thread = std::thread([&] {
            try {
                upper();
            } catch (...) {
                failure = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        return false;
    }
    try {
        lower();
    } catch (...) {
        thread.join();
        throw;
    }
    thread.join();
    if (failure) std::rethrow_exception(failure);
    return true;
}

// The odd primes of [lo, hi) (lo odd), by a sieve of Eratosthenes a first-level-cache segment at a
// time (bit b of a segment stands for lo + 2b), with the odd primes whose square is below hi:
// the first one, and the half-gaps from each to the next.
struct OddPrimes {
    uint64_t first = 0, last = 0;
    std::vector<uint8_t> gaps;  // gaps[i]: (prime i+1 − prime i) / 2
    uint64_t count() const { return first ? gaps.size() + 1 : 0; }
};
OddPrimes OddPrimesIn(uint64_t lo, uint64_t hi, const std::vector<uint64_t>& sieving) {
    constexpr uint64_t kBits = uint64_t{1} << 18;
    std::vector<uint64_t> composite(kBits / 64);
    std::vector<uint64_t> next(sieving.size());  // next odd multiple of each, as a number
    for (size_t i = 0; i < sieving.size(); ++i) {
        const uint64_t p = sieving[i];
        uint64_t c = std::max(p * p, (lo + p - 1) / p * p);
        if (c % 2 == 0) c += p;
        next[i] = c;
    }
    OddPrimes out;
    out.gaps.reserve(static_cast<size_t>((hi - lo) / 2 / 8));
    for (uint64_t segment = lo; segment < hi; segment += 2 * kBits) {
        std::fill(composite.begin(), composite.end(), 0);
        const uint64_t end = std::min(segment + 2 * kBits, hi);  // exclusive
        for (size_t i = 0; i < sieving.size(); ++i) {
            uint64_t c = next[i];
            for (const uint64_t p2 = 2 * sieving[i]; c < end; c += p2) {
                const uint64_t b = (c - segment) / 2;
                composite[b / 64] |= uint64_t{1} << (b % 64);
            }
            next[i] = c;
        }
        for (uint64_t w = 0; w < kBits / 64; ++w) {
            for (uint64_t free = ~composite[w]; free; free &= free - 1) {
                const uint64_t q = segment + 2 * (64 * w + static_cast<uint64_t>(__builtin_ctzll(free)));
                if (q >= end) break;
                if (out.first == 0)
                    out.first = q;
                else
                    out.gaps.push_back(static_cast<uint8_t>((q - out.last) / 2));
                out.last = q;
            }
        }
    }
    return out;
}

}  // namespace

void Sieve::BuildPrimeTable(uint32_t count, uint32_t threads) {
    if (count == primeCount_ && primeGaps_.size() == static_cast<size_t>(count) + 1) return;  // as before
    primeCount_ = count;
    // N (ln N + 0.67 ln ln N) exceeds the (N+1)-th prime for every N that occurs here.
    const long double nl = count < 16 ? 16.0L : static_cast<long double>(count);
    const uint64_t limit =
        static_cast<uint64_t>((0.67L * std::log(std::log(nl)) + std::log(nl)) * nl) + 200;
    // The odd primes up to the square root of the limit, by a plain sieve of Eratosthenes.
    uint64_t root = static_cast<uint64_t>(std::sqrt(static_cast<double>(limit))) + 2;
    std::vector<uint8_t> small(root + 1, 1);
    std::vector<uint64_t> sieving;  // odd primes p with p^2 <= limit
    for (uint64_t i = 3; i <= root; i += 2) {
        if (!small[i]) continue;
        if (i * i <= limit) sieving.push_back(i);
        for (uint64_t c = i * i; c <= root; c += 2 * i) small[c] = 0;
    }
    // Then the odd numbers from 3 up to the limit, in two halves on two threads where there are
    // two and the table is long enough to repay a thread.
    constexpr uint32_t kParallelCount = 1'000'000;
    std::vector<OddPrimes> parts(2);  // the upper one stays empty when one thread does the whole
    const uint64_t hi = limit + 1, middle = (3 + hi) / 2 | 1;
    const bool halves = threads >= 2 && count >= kParallelCount &&
                        RunBesides([&] { parts[1] = OddPrimesIn(middle, hi, sieving); },
                                   [&] { parts[0] = OddPrimesIn(3, middle, sieving); });
    if (!halves) parts[0] = OddPrimesIn(3, hi, sieving);
    // The half-gaps from 1 on, the first count of them, and a 0.
    primeGaps_.assign(static_cast<size_t>(count) + 1, 0);
    uint64_t found = 0, previous = 1;
    for (const OddPrimes& part : parts) {
        if (found == count || part.count() == 0) continue;
        primeGaps_[found++] = static_cast<uint8_t>((part.first - previous) / 2);
        const uint64_t take = std::min<uint64_t>(part.gaps.size(), count - found);
        std::copy_n(part.gaps.begin(), take, primeGaps_.begin() + static_cast<ptrdiff_t>(found));
        found += take;
        previous = part.last;
    }
}

void Sieve::Prepare(uint32_t n, uint64_t first, uint32_t threads) {
    BuildPrimeTable(PrimeCountFor(n), threads);
    first_ = first;
    ++generation_;
    SplitPrimes();
    ResetBuckets();
    BuildWheel(n, first);
    ComputeRoots(n, first, threads);
    BuildWordPatterns();
    nextBlock_ = 0;
    pos_ = kSieveSize;
}

// Which table primes are taken how: see the class comment.
void Sieve::SplitPrimes() {
    uint32_t q = 1, j = 0;
    for (; j < kPatternPrimes && j < primeCount_; ++j) q += 2 * primeGaps_[j];
    for (; j < primeCount_ && q + 2 * primeGaps_[j] < kWordPatternLimit; ++j) q += 2 * primeGaps_[j];
    firstStruck_ = j;
    struckPrimes_.clear();
    blockRemainders_.clear();
    for (; j < primeCount_ && q + 2 * primeGaps_[j] < kSieveSize; ++j) {
        q += 2 * primeGaps_[j];
        struckPrimes_.push_back(q);
        blockRemainders_.push_back(kSieveSize % q);
    }
    firstBucket_ = j;
    for (; j < primeCount_; ++j) q += 2 * primeGaps_[j];
    largestPrime_ = q;
    segmentPrimes_ = 0;
    while (segmentPrimes_ < struckPrimes_.size() && struckPrimes_[segmentPrimes_] < kSegmentPrimeLimit) ++segmentPrimes_;
    wheelPrimes_ = segmentPrimes_;
    blockPrimes_ = segmentPrimes_;
    while (blockPrimes_ < struckPrimes_.size() && struckPrimes_[blockPrimes_] < kFewLimit) ++blockPrimes_;
    size_t to = blockPrimes_;
    for (uint32_t few = kMaxFew; few >= 1; --few) {
        while (to < struckPrimes_.size() && kSieveSize / struckPrimes_[to] >= few) ++to;
        fewEnds_[few] = to;
    }
}

// The wheel of 3 and 5 for exponent n from `first` on: which indices mod 15 neither strikes, and
// the steps from each of them.
void Sieve::BuildWheel(uint32_t n, uint64_t first) {
    // The index that q strikes (mod q): (first + 2i)·2^n + 1 = 0 (mod q).
    const auto root = [&](uint32_t q) {
        uint32_t power = 1;
        for (uint32_t e = 0; e < n % (q - 1); ++e) power = power * 2 % q;  // 2^(q-1) = 1 (mod q)
        for (uint32_t i = 0;; ++i)
            if ((static_cast<uint32_t>(first % q) + 2 * i) % q * power % q == q - 1) return i;
    };
    const uint32_t r3 = root(3), r5 = root(5);
    wheelKept_ = 0;
    for (uint32_t u = 0; u < 15; ++u)
        if (u % 3 != r3 && u % 5 != r5) wheelKept_ |= uint32_t{1} << u;
    std::fill(std::begin(wheelSteps_), std::end(wheelSteps_), 0);
    std::fill(std::begin(wheelNext_), std::end(wheelNext_), 0);
    std::fill(std::begin(wheelToKept_), std::end(wheelToKept_), 0);
    for (uint32_t qm = 1; qm < 15; ++qm) {
        if (qm % 3 == 0 || qm % 5 == 0) continue;  // no prime above 5
        for (uint32_t u = 0; u < 15; ++u) {
            uint8_t steps = 0;
            for (uint32_t v = u; !(wheelKept_ >> v & 1); v = (v + qm) % 15) ++steps;
            wheelToKept_[qm * 16 + u] = steps;
        }
        for (uint32_t u = 0; u < 15; ++u) {
            if (!(wheelKept_ >> u & 1)) continue;
            uint32_t steps = 0, v = u, firstNext = 0;
            for (uint32_t s = 0; s < 8; ++s) {
                uint32_t d = 0;
                do {
                    v = (v + qm) % 15;
                    ++d;
                } while (!(wheelKept_ >> v & 1));
                steps |= d << (4 * s);
                if (s == 0) firstNext = v;
            }
            wheelSteps_[qm * 16 + u] = steps;
            wheelNext_[qm * 16 + u] = (steps & 15) | (qm * 16 + firstNext) << kIndexBits;
        }
    }
}

namespace {

// Montgomery arithmetic modulo an odd q < 2^31 with R = 2^32, written element by element over
// arrays so that the compiler runs it on several primes per instruction.
inline uint32_t MontgomeryInverse(uint32_t q) {  // -q^-1 mod 2^32
    uint32_t inv = q;  // right to 3 bits; each Newton step doubles that
    for (int i = 0; i < 4; ++i) inv *= 2 - q * inv;
    return 0 - inv;
}
inline uint32_t MontgomeryReduce(uint64_t t, uint32_t q, uint32_t inv) {  // t / R mod q, t < q * R
    const uint32_t m = static_cast<uint32_t>(t) * inv;
    const uint64_t u = (t + static_cast<uint64_t>(m) * q) >> 32;
    return static_cast<uint32_t>(u >= q ? u - q : u);
}

// x = 2^-n * x mod q for each of count primes, x in Montgomery form: from the top bit of n down,
// square, and for a 1 bit halve (multiply by 2^-1; halving commutes with the Montgomery form).
// Written element by element so that the compiler runs it on several primes per instruction;
// the AVX2 form does four at a time with 32x32-bit products, where the plain form did one.
__attribute__((always_inline)) inline void PowerOfHalf(uint32_t* x, const uint32_t* qs, const uint32_t* inv, uint32_t count,
                                                       uint32_t n) {
    const int top = n ? 31 - __builtin_clz(n) : -1;
    for (int bit = top; bit >= 0; --bit) {
        for (uint32_t i = 0; i < count; ++i)
            x[i] = MontgomeryReduce(static_cast<uint64_t>(x[i]) * x[i], qs[i], inv[i]);
        if (n >> bit & 1)
            for (uint32_t i = 0; i < count; ++i) x[i] = (x[i] + (qs[i] & (0 - (x[i] & 1)))) >> 1;
    }
}
#if defined(__x86_64__)
__attribute__((target("avx2"))) void PowerOfHalfAvx2(uint32_t* x, const uint32_t* qs, const uint32_t* inv,
                                                     uint32_t count, uint32_t n) {
    PowerOfHalf(x, qs, inv, count, n);
}
#endif
void PowerOfHalfPlain(uint32_t* x, const uint32_t* qs, const uint32_t* inv, uint32_t count, uint32_t n) {
    PowerOfHalf(x, qs, inv, count, n);
}

}  // namespace

// For each table prime q: the index i in [0, q) with first + 2i = -2^-n (mod q), so that q
// divides (first + 2i)·2^n + 1. Kept for the primes below a block's length; the longer ones go
// straight into the bucket of the block they strike first.
//
// With two threads or more, a second thread takes the upper part of the table: it keeps the
// first strike of each of its bucket primes (four bytes a prime), and the calling thread appends
// their entries after the lower part's, so that every bucket holds the same entries in the same
// order as when one thread computes them all. (Keeping whole entries with their buckets, three
// times the memory, took longer in page faults than the second thread saved at n = 1000.)
void Sieve::ComputeRoots(uint32_t n, uint64_t first, uint32_t threads) {
    roots_.resize(firstBucket_);
    // Below this many primes a thread costs more than it saves.
    constexpr uint32_t kParallelPrimes = 200'000;
    if (threads < 2 || primeCount_ < kParallelPrimes) {
        ComputeRootRange(n, first, 0, primeCount_, 1, nullptr);
        return;
    }
    // The split falls on a chunk boundary: the lower part (which also appends its entries to
    // the buckets as it goes) a little larger than the upper one.
    const uint32_t split = primeCount_ / 2 / kRootChunk * kRootChunk;
    uint64_t q = 1;
    for (uint32_t j = 0; j < split; ++j) q += 2 * static_cast<uint64_t>(primeGaps_[j]);
    // One first strike per prime of the upper part, all of them bucket primes or not.
    std::vector<uint32_t> upperStrikes(primeCount_ - split);
    if (!RunBesides([&] { ComputeRootRange(n, first, split, primeCount_, q, upperStrikes.data()); },
                    [&] { ComputeRootRange(n, first, 0, split, 1, nullptr); })) {
        ComputeRootRange(n, first, 0, primeCount_, 1, nullptr);  // no thread to be had: alone
        return;
    }
    for (uint32_t j = split; j < primeCount_; ++j) {
        q += 2 * static_cast<uint64_t>(primeGaps_[j]);
        if (j >= firstBucket_) AppendFirstStrike(j, static_cast<uint32_t>(q), upperStrikes[j - split]);
    }
}

// The bucket entry of table prime j (= p, a bucket prime) whose first strike is at index root.
void Sieve::AppendFirstStrike(uint32_t j, uint32_t p, uint32_t root) {
    const uint32_t kept = WheelKept(root, p, 0);  // below 3p
    const uint32_t bucket = static_cast<uint32_t>((kept / kSieveSize) & bucketMask_) * kBucketLanes + j % kBucketLanes;
    const uint32_t key = p % 15 * 16 + kept % 15;
    Append(buckets_[bucket], {p, kept % kSieveSize | key << kIndexBits});
}

// The roots of table primes [from, to), q being the prime before `from` (1 for the first); the
// bucket primes' entries go into the buckets, or, when `strikes` is given, their first strikes
// into strikes[j - from].
void Sieve::ComputeRootRange(uint32_t n, uint64_t first, uint32_t from, uint32_t to, uint64_t q,
                             uint32_t* strikes) {
    uint32_t qs[kRootChunk], inv[kRootChunk], x[kRootChunk];
    for (uint32_t j0 = from; j0 < to; j0 += kRootChunk) {
        const uint32_t count = std::min(kRootChunk, to - j0);
        for (uint32_t i = 0; i < count; ++i) {
            q += 2 * static_cast<uint64_t>(primeGaps_[j0 + i]);
            qs[i] = static_cast<uint32_t>(q);
        }
        for (uint32_t i = 0; i < count; ++i) {
            inv[i] = MontgomeryInverse(qs[i]);
            x[i] = static_cast<uint32_t>((uint64_t{1} << 32) % qs[i]);  // 1 in Montgomery form
        }
        // 2^-n, from 1 in Montgomery form.
#if defined(__x86_64__)
        if (kAvx2)
            PowerOfHalfAvx2(x, qs, inv, count, n);
        else
#endif
            PowerOfHalfPlain(x, qs, inv, count, n);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t p = qs[i];
            const uint32_t d = MontgomeryReduce(x[i], p, inv[i]);  // 2^-n mod p
            const uint32_t e = static_cast<uint32_t>(first % p);
            // f = -d - e mod p: (first + f)·2^n = -1 (mod p); then i = f / 2 mod p.
            uint32_t f = p - d;  // in [1, p]
            f = f >= e ? f - e : f + p - e;
            f = f == p ? 0 : f;
            const uint32_t root = (f & 1) ? (f + p) / 2 : f / 2;
            const uint32_t j = j0 + i;
            if (j < firstBucket_)
                roots_[j] = root;
            else if (strikes)
                strikes[j - from] = root;
            else
                AppendFirstStrike(j, p, root);
        }
    }
}

void Sieve::BuildWordPatterns() {
    // 3 to 17: one period, and its first 128 bits again for the word that straddles its end.
    const uint32_t period = kPatternPeriod, bits = period + 128;
    pattern_.assign(bits / 64 + 2, 0);
    uint32_t q = 1, j = 0;
    for (; j < kPatternPrimes && j < primeCount_; ++j) {
        q += 2 * primeGaps_[j];
        for (uint32_t i = roots_[j]; i < bits; i += q) Strike(pattern_.data(), i);
    }
    // 19 to 127: q words each, so that a whole word is a word of the pattern.
    wordPatterns_.clear();
    words_.clear();
    for (; j < firstStruck_; ++j) {
        q += 2 * primeGaps_[j];
        const uint32_t start = static_cast<uint32_t>(words_.size());
        words_.resize(start + q, 0);
        for (uint32_t i = roots_[j]; i < 64 * q; i += q) Strike(words_.data() + start, i);
        wordPatterns_.push_back({q, start});
    }
}

Sieve::BucketPage* Sieve::NewPage() {
    if (!freePages_) {
        void* slab = ::operator new(kSlabBytes, std::align_val_t{kSlabBytes});
        slabs_.push_back(slab);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        madvise(slab, kSlabBytes, MADV_HUGEPAGE);  // a request only: without it, pages of 4 KiB
#endif
        // Onto the free list last page first, so that they are taken in address order.
        auto* pages = static_cast<BucketPage*>(slab);
        for (size_t i = kSlabBytes / kPageBytes; i-- > 0;) {
            BucketPage* page = new (pages + i) BucketPage;
            page->next = freePages_;
            freePages_ = page;
        }
    }
    BucketPage* page = freePages_;
    freePages_ = page->next;
    page->next = nullptr;
    return page;
}

// The bucket's last page is full: a new one after it.
void Sieve::Extend(Bucket& bucket) {
    BucketPage* page = NewPage();
    reinterpret_cast<BucketPage*>(reinterpret_cast<uintptr_t>(bucket.end) & ~uintptr_t{kPageBytes - 1})->next = page;
    bucket.end = page->entries;
}

inline void Sieve::Append(Bucket& bucket, BucketEntry entry) {
    BucketEntry* end = bucket.end;  // in a register: the test below need not read it back
    *end++ = entry;
    bucket.end = end;
    if (PageFull(end)) [[unlikely]]
        Extend(bucket);
}

// Every page back to the free list, and a ring of buckets that covers the longest step of the
// largest prime (three times the prime, so it strikes at most 3·largestPrime_ / kSieveSize + 1
// blocks ahead), kBucketLanes buckets per block, each with an empty page.
void Sieve::ResetBuckets() {
    for (Bucket& bucket : buckets_) {
        for (BucketPage* page = bucket.head; page;) {
            BucketPage* next = page->next;
            page->next = freePages_;
            freePages_ = page;
            page = next;
        }
        bucket = Bucket{};
    }
    uint64_t ring = 1;
    while (ring < 3 * largestPrime_ / kSieveSize + 2) ring *= 2;
    if (buckets_.size() != ring * kBucketLanes) buckets_.assign(ring * kBucketLanes, Bucket{});
    for (Bucket& bucket : buckets_) {
        bucket.head = NewPage();
        bucket.end = bucket.head->entries;
    }
    bucketMask_ = ring - 1;
    bucketBlock_.store(0, std::memory_order_release);
}

uint64_t Sieve::BlockStartK(uint64_t b) const {
    const unsigned __int128 k = first_ + static_cast<unsigned __int128>(2 * uint64_t{kSieveSize}) * b;
    return k > kInt64Max ? kInt64Max : static_cast<uint64_t>(k);
}

// Brings the cursor's offsets to block b: from the roots for a new exponent (or a block behind
// it), else moved on past the blocks other threads took meanwhile.
void Sieve::MoveCursor(Cursor& cursor, uint64_t b) const {
    const size_t count = struckPrimes_.size();
    if (cursor.bits_.size() != kBlockWords + 1) cursor.bits_.assign(kBlockWords + 1, 0);  // and a spare word
    uint32_t* offsets = nullptr;
    if (cursor.owner_ != this || cursor.generation_ != generation_ || b < cursor.next_) {
        cursor.owner_ = this;
        cursor.generation_ = generation_;
        cursor.offsets_.resize(count);
        offsets = cursor.offsets_.data();
        const uint64_t start = b * kSieveSize;
        const uint32_t start15 = BlockStart15(b);
        for (size_t j = 0; j < count; ++j) {
            const uint32_t q = struckPrimes_[j];
            const uint32_t shift = static_cast<uint32_t>(start % q), root = roots_[firstStruck_ + j];
            const uint32_t o = root >= shift ? root - shift : root + q - shift;
            offsets[j] = j < wheelPrimes_ ? WheelKept(o, q, start15) : o;
        }
    } else if (b > cursor.next_) {
        offsets = cursor.offsets_.data();
        const uint64_t skipped = b - cursor.next_;
        const uint32_t start15 = BlockStart15(b);
        // A block further on each time: as many threads as there are, less one, are skipped,
        // so a few subtractions of kSieveSize mod q do; a longer way takes a division. The
        // wheel's primes first go back to their first strike of any kind (their offsets are
        // below 3q), and on to the first kept one at the end; the others in a loop of their own,
        // which the compiler runs on several primes at once.
        const auto back = [skipped](uint32_t o, uint32_t q, uint32_t step) {
            if (skipped <= 8) {
                // Without a branch: whether o is below the step is a coin toss.
                for (uint64_t s = 0; s < skipped; ++s) o = o - step + (q & (0u - static_cast<uint32_t>(o < step)));
            } else {
                const uint32_t shift = static_cast<uint32_t>(skipped * kSieveSize % q);
                o = o >= shift ? o - shift : o + q - shift;
            }
            return o;
        };
        const uint32_t* const primes = struckPrimes_.data();
        const uint32_t* const steps = blockRemainders_.data();
        for (size_t j = 0; j < wheelPrimes_; ++j) {
            const uint32_t q = primes[j];
            uint32_t o = offsets[j];
            o -= o >= q ? q : 0;
            o -= o >= q ? q : 0;
            offsets[j] = WheelKept(back(o, q, steps[j]), q, start15);
        }
        if (skipped <= 8) {
            // One pass per skipped block, each a plain loop over the primes that the compiler
            // runs on several at once (with the test of `skipped` inside, it ran them one by one).
            uint32_t* __restrict const out = offsets;
            const uint32_t* __restrict const q = primes;
            const uint32_t* __restrict const step = steps;
            for (uint64_t s = 0; s < skipped; ++s)
                for (size_t j = wheelPrimes_; j < count; ++j) {
                    const uint32_t o = out[j];
                    out[j] = o - step[j] + (q[j] & (0u - static_cast<uint32_t>(o < step[j])));
                }
        } else {
            for (size_t j = wheelPrimes_; j < count; ++j) offsets[j] = back(offsets[j], primes[j], steps[j]);
        }
    }
    cursor.next_ = b;
}

void Sieve::StrikeSmallPrimes(uint64_t b, Cursor& cursor) {
    MoveCursor(cursor, b);
    uint64_t* bits = cursor.bits_.data();
    uint32_t* offsets = cursor.offsets_.data();
    const uint32_t* primes = struckPrimes_.data();
    const size_t segmentPrimes = segmentPrimes_, blockPrimes = blockPrimes_;
    const uint32_t start15 = BlockStart15(b);
    const uint32_t* const wheel = wheelSteps_;
    const uint64_t firstWord = b * kBlockWords;
    for (uint32_t w0 = 0; w0 < kBlockWords; w0 += kSegmentWords) {
        uint64_t* segment = bits + w0;
        // 3 to 17, from the pattern at this segment's phase.
        const uint64_t* pattern = pattern_.data();
        uint32_t pos = static_cast<uint32_t>((firstWord + w0) * 64 % kPatternPeriod);
        for (uint32_t w = 0; w < kSegmentWords; ++w) {
            const uint32_t word = pos / 64, shift = pos % 64;
            segment[w] = shift ? (pattern[word] >> shift) | (pattern[word + 1] << (64 - shift)) : pattern[word];
            pos += 64;
            if (pos >= kPatternPeriod) pos -= kPatternPeriod;
        }
        // 19 to 127, a word at a time.
        if (kAvx2)
            OrWordPatternsAvx2(segment, wordPatterns_.data(), wordPatterns_.size(), words_.data(), firstWord + w0);
        else
            OrWordPatterns(segment, wordPatterns_.data(), wordPatterns_.size(), words_.data(), firstWord + w0);
        // Primes that strike each segment many times, while it is in the first-level cache.
        const uint32_t end = (w0 + kSegmentWords) * 64;
        for (size_t j = 0; j < segmentPrimes; ++j) {
            const uint32_t q = primes[j], i = offsets[j];
            offsets[j] = WheelRun(bits, i, q, wheel[q % 15 * 16 + (start15 + i) % 15], end);
        }
    }
    for (size_t j = segmentPrimes; j < blockPrimes; ++j) {
        const uint32_t q = primes[j];
        uint32_t i = offsets[j];
        for (; i < kSieveSize; i += q) Strike(bits, i);
        offsets[j] = i;
    }
    for (size_t j = 0; j < blockPrimes; ++j) offsets[j] -= kSieveSize;
    // Up to a block's length: a few strikes each, through the whole block.
    size_t j = blockPrimes;
    for (uint32_t few = kMaxFew; few >= 1; --few) {
        const size_t to = fewEnds_[few];
        switch (few) {
            case 7: StrikeFew<7>(bits, offsets, primes, j, to); break;
            case 6: StrikeFew<6>(bits, offsets, primes, j, to); break;
            case 5: StrikeFew<5>(bits, offsets, primes, j, to); break;
            case 4: StrikeFew<4>(bits, offsets, primes, j, to); break;
            case 3: StrikeFew<3>(bits, offsets, primes, j, to); break;
            case 2: StrikeFew<2>(bits, offsets, primes, j, to); break;
            default: StrikeFew<1>(bits, offsets, primes, j, to); break;
        }
        j = to;
    }
    cursor.next_ = b + 1;
    cursor.block_ = b;
}

void Sieve::SieveBlock(uint64_t b, Cursor& cursor) {
    StrikeSmallPrimes(b, cursor);
    StrikeBucketsInTurn(cursor);
}

// The bucket step of block b, by the thread whose turn it is; the next block's turn comes even
// if this one fails (a page that cannot be had), so that no thread waits for it for ever.
void Sieve::TakeTurn(uint64_t b, uint64_t* bits) {
    struct Turn {
        Sieve& sieve;
        uint64_t b;
        ~Turn() {
            sieve.bucketBlock_.store(b + 1, std::memory_order_release);
            // Under the mutex, so that a thread between its check and its wait cannot miss it.
            { std::lock_guard lock(sieve.bucketMutex_); }
            sieve.bucketTurn_.notify_all();
        }
    } turn{*this, b};
    StrikeBuckets(b, bits);
}

bool Sieve::TryStrikeBuckets(Cursor& cursor) {
    const uint64_t b = cursor.block_;
    if (firstBucket_ >= primeCount_) return true;
    if (bucketBlock_.load(std::memory_order_acquire) != b) return false;
    TakeTurn(b, cursor.bits_.data());
    return true;
}

void Sieve::StrikeBucketsInTurn(Cursor& cursor) {
    const uint64_t b = cursor.block_;
    if (firstBucket_ >= primeCount_) return;
    if (bucketBlock_.load(std::memory_order_acquire) != b) {
        std::unique_lock lock(bucketMutex_);
        const auto start = std::chrono::steady_clock::now();
        bucketTurn_.wait(lock, [&] { return bucketBlock_.load(std::memory_order_acquire) == b; });
        turnWait_ += std::chrono::steady_clock::now() - start;
    }
    TakeTurn(b, cursor.bits_.data());
}

namespace {

// Where each entry of a page of bucket entries strikes block b (in at), and the entry it becomes
// for the block it strikes next (in moved), which goes into lane (t mod kLanes) of that block's
// bucket (in to; `mask` is the ring's). Apart from the loop that appends, so that the compiler
// runs it on several entries per instruction.
template <uint32_t kLanes, uint32_t kIndexBits, class Entry>
[[gnu::always_inline]] inline void PrepareMoves(const Entry* __restrict entries, uint32_t count,
                                                const uint32_t* __restrict wheel, uint64_t b, uint64_t mask,
                                                uint32_t* __restrict at, uint32_t* __restrict to,
                                                Entry* __restrict moved) {
    constexpr uint32_t kIndexMask = (uint32_t{1} << kIndexBits) - 1;
    for (uint32_t t = 0; t < count; ++t) {
        const uint32_t prime = entries[t].prime, index = entries[t].index;
        const uint32_t i = index & kIndexMask;
        at[t] = i;
        const uint32_t step = wheel[index >> kIndexBits];  // the step in units of the prime, and the next key
        const uint32_t next = i + (step & kIndexMask) * prime;  // below 2^31: prime < 2^28
        const uint32_t ahead = next / kSieveSize;
        to[t] = static_cast<uint32_t>((b + ahead) & mask) * kLanes + t % kLanes;
        moved[t] = {prime, (next - ahead * kSieveSize) | (step & ~kIndexMask)};
    }
}
#define VONTAL_PREPARE_MOVES(name, target)                                                                  \
    template <uint32_t kLanes, uint32_t kIndexBits, class Entry>                                          \
    target void name(const Entry* entries, uint32_t count, const uint32_t* wheel, uint64_t b, uint64_t mask, \
                     uint32_t* at, uint32_t* to, Entry* moved) {                                            \
        PrepareMoves<kLanes, kIndexBits>(entries, count, wheel, b, mask, at, to, moved);                   \
    }
VONTAL_PREPARE_MOVES(PrepareMovesPlain, )
#if defined(__x86_64__)
VONTAL_PREPARE_MOVES(PrepareMovesAvx2, __attribute__((target("avx2"))))
VONTAL_PREPARE_MOVES(PrepareMovesAvx512, __attribute__((target("avx2,avx512f,avx512vl,avx512dq,avx512bw"))))
#endif
#undef VONTAL_PREPARE_MOVES

const bool kAvx512 = [] {
#if defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq");
#else
    return false;
#endif
}();

}  // namespace

// The primes waiting for block b; each moves on to the bucket of its next block, never this one
// again (a prime is at least a block long). The bucket starts afresh with an empty page.
//
// A page at a time: first where its entries strike and where they go (PrepareMoves), then the
// strikes and appends. Each append reads the end of its list that the last append to that list
// stored; when entries in a row go to the same list, that chains them one after the other, so
// entries in a row go to different lanes of their block's bucket.
void Sieve::StrikeBuckets(uint64_t b, uint64_t* bits) {
    Bucket* const ring = buckets_.data();
    const uint64_t mask = bucketMask_;
    const uint32_t* const wheel = wheelNext_;
    constexpr uint32_t kEntries = BucketPage::kEntries;
    alignas(64) uint32_t at[kEntries], to[kEntries];
    alignas(64) BucketEntry moved[kEntries];
    for (uint32_t lane = 0; lane < kBucketLanes; ++lane) {
        Bucket& due = ring[(b & mask) * kBucketLanes + lane];
        BucketPage* page = due.head;
        const BucketEntry* const last = due.end;
        due.head = NewPage();
        due.end = due.head->entries;
        while (page) {
            const uint32_t count = page->next ? kEntries : static_cast<uint32_t>(last - page->entries);
            const BucketEntry* const entries = page->entries;
#if defined(__x86_64__)
            if (kAvx512)
                PrepareMovesAvx512<kBucketLanes, kIndexBits>(entries, count, wheel, b, mask, at, to, moved);
            else if (kAvx2)
                PrepareMovesAvx2<kBucketLanes, kIndexBits>(entries, count, wheel, b, mask, at, to, moved);
            else
#endif
                PrepareMovesPlain<kBucketLanes, kIndexBits>(entries, count, wheel, b, mask, at, to, moved);
            for (uint32_t t = 0; t < count; ++t) {
                Strike(bits, at[t]);
                Append(ring[to[t]], moved[t]);
            }
            BucketPage* used = page;
            page = page->next;
            used->next = freePages_;
            freePages_ = used;
        }
    }
}

namespace {

// Whether the processor counts and finds bits in one instruction each (popcnt, tzcnt, blsr).
const bool kBitInstructions = [] {
#if defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
#else
    return false;
#endif
}();

// The survivors of words w on (the first one's bits still free in `free`) as long as a whole
// word's survivors fit below limit: a word at a time without a branch on its bits, eight
// survivors written whether they are there or not (a word seldom holds more; the room is
// there), the count moved on by as many as there are. Returns the count; w and free are where
// it stopped (w = kBlockWords at the block's end).
#if defined(__x86_64__)
__attribute__((target("popcnt,bmi")))
#endif
uint32_t TakeWords(const uint64_t* bits, uint64_t base, uint32_t& w, uint64_t& free, uint64_t* out,
                   uint32_t count, uint32_t limit) {
    uint64_t f = free;
    uint32_t at = w;
    while (count + 64 <= limit) {
        uint64_t* const to = out + count;
        const uint64_t wordK = base + 128 * uint64_t{at};
        const uint32_t bitCount = static_cast<uint32_t>(std::popcount(f));
        for (uint32_t t = 0; t < 8; ++t) {
            to[t] = wordK + 2 * static_cast<uint64_t>(std::countr_zero(f));
            f &= f - 1;
        }
        for (uint32_t t = 8; t < bitCount; ++t) {
            to[t] = wordK + 2 * static_cast<uint64_t>(std::countr_zero(f));
            f &= f - 1;
        }
        count += bitCount;
        if (++at == kBlockWords) break;
        f = ~bits[at];
    }
    w = at;
    free = f;
    return count;
}

}  // namespace

Sieve::Take Sieve::Survivors(const Cursor& cursor, int64_t kMax, uint32_t& from, uint64_t* out,
                             uint32_t limit) const {
    Take take;
    const uint64_t bound = kMax > 0 ? static_cast<uint64_t>(kMax) : 0;
    const uint64_t base = first_ + 2 * uint64_t{kSieveSize} * cursor.block_;  // below 2^64: see BlockStartK
    const uint64_t* bits = cursor.bits_.data();
    uint32_t i = from;
    if (i < kSieveSize && base + 2 * uint64_t{kSieveSize - 1} < std::min(bound, kInt64Max)) {
        // No multiplier of the block reaches kMax or 2^63: each clear bit is a survivor.
        uint32_t w = i / 64;
        uint64_t free = ~bits[w] & (~uint64_t{0} << (i % 64));
        if (kBitInstructions) take.count = TakeWords(bits, base, w, free, out, take.count, limit);
        for (; w < kBlockWords;) {
            while (!free) {
                if (++w == kBlockWords) break;
                free = ~bits[w];
            }
            if (w == kBlockWords) break;
            const uint32_t at = 64 * w + static_cast<uint32_t>(__builtin_ctzll(free));
            free &= free - 1;
            out[take.count++] = base + 2 * static_cast<uint64_t>(at);
            if (take.count == limit) {
                from = at + 1;
                return take;
            }
        }
        i = kSieveSize;
    }
    while (i < kSieveSize) {
        const uint64_t free = ~bits[i / 64] >> (i % 64);
        if (!free) {
            i = (i | 63) + 1;
            continue;
        }
        i += static_cast<uint32_t>(__builtin_ctzll(free));
        const uint64_t k = base + 2 * static_cast<uint64_t>(i);
        if (k > kInt64Max) {  // multipliers of 2^63 and more are never searched
            from = kSieveSize;
            take.done = take.ends = true;
            take.endK = kInt64Max;
            return take;
        }
        out[take.count++] = k;
        ++i;
        if (k >= bound) {
            from = i;
            take.done = take.ends = true;
            return take;
        }
        if (take.count == limit) {
            from = i;
            return take;
        }
    }
    from = kSieveSize;
    take.done = true;
    const uint64_t end = BlockStartK(cursor.block_ + 1);
    if (end >= bound) {
        take.ends = true;
        take.endK = end;
    }
    return take;
}

bool Sieve::NextSurvivor(uint64_t& out) {
    if (pos_ >= kSieveSize) {
        SieveBlock(nextBlock_++, cursor_);
        pos_ = 0;
    }
    uint32_t from = pos_;
    const Take take = Survivors(cursor_, std::numeric_limits<int64_t>::max(), from, &out, 1);
    if (take.count == 1) {
        pos_ = from;
        return true;
    }
    // Used up: the next block's first k (or 2^63 - 1, where the multipliers end).
    out = take.endK ? take.endK : BlockStartK(cursor_.block_ + 1);
    pos_ = kSieveSize + 1;
    return false;
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

}  // namespace vontal
