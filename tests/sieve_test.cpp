// The small-prime sieve: the prime table, the start offsets and the survivors handed out,
// checked against a direct computation of which multipliers each table prime strikes.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>

#include "Reference.h"
#include "SearchState.h"
#include "Sieve.h"

namespace vontal {
namespace {

// Prepares the sieve for exponent n starting at k, as the computation thread does (with two
// threads or more, the first strikes are computed on two).
void Prime(Sieve& s, uint32_t n, int64_t k, uint32_t threads = 1) { s.Prepare(n, static_cast<uint64_t>(k), threads); }

uint64_t PowMod(uint64_t b, uint64_t e, uint64_t m) {  // m < 2^32
    uint64_t r = 1, x = b % m;
    for (; e; e >>= 1, x = x * x % m)
        if (e & 1) r = r * x % m;
    return r;
}

TEST(Sieve, PrimeTables) {
    // Long tables are built in two halves on two threads: the table must not show it.
    struct Row { uint32_t count; uint64_t last; };
    for (const Row& r : {Row{10'000, 104'743}, Row{800'000, 12'195'263}, Row{10'000'000, 179'424'691}})
        for (const uint32_t threads : {1u, 2u}) {
            Sieve s;
            s.BuildPrimeTable(r.count, threads);
            ASSERT_EQ(s.primeGaps().size(), r.count + 1u);
            EXPECT_EQ(s.primeGaps()[r.count], 0);
            const uint8_t head[] = {1, 1, 1, 2, 1};  // 3, 5, 7, 11, 13
            for (int i = 0; i < 5; ++i) EXPECT_EQ(s.primeGaps()[i], head[i]);
            uint64_t q = 1;
            for (uint32_t j = 0; j < r.count; ++j) q += 2 * s.primeGaps()[j];
            EXPECT_EQ(q, r.last) << r.count << " primes, " << threads << " threads";
        }
    // Where the halves meet, for table lengths around the two-thread threshold.
    for (const uint32_t count : {999'999u, 1'000'000u, 1'400'000u, 4'123'457u}) {
        Sieve one, two;
        one.BuildPrimeTable(count, 1);
        two.BuildPrimeTable(count, 2);
        EXPECT_EQ(one.primeGaps(), two.primeGaps()) << count;
    }
}

TEST(Sieve, PrimeCountAndLimbCount) {
    EXPECT_EQ(PrimeCountFor(20), 10'000u);
    EXPECT_EQ(PrimeCountFor(21), 800'000u);
    EXPECT_EQ(PrimeCountFor(100), 1'400'000u);
    EXPECT_EQ(PrimeCountFor(1549), 9'800'000u);
    EXPECT_EQ(PrimeCountFor(1550), 10'000'000u);
    EXPECT_EQ(PrimeCountFor(4'000'000'000u), 10'000'000u);
    EXPECT_EQ(LimbCountFor(30'000'000'000'000, 50), 3u);
}

TEST(Sieve, StartOffsetExample) {
    // n = 8, k = 3, prime 5: 2^-8 = 1 (mod 5), so k = 9 is the first struck (9*256+1 = 5*461).
    Sieve s;
    Prime(s, 8, 3);
    EXPECT_EQ(s.FirstStrike(1), 3u);
}

// Every bit of the first blocks against the primes' own arithmetic: q strikes k exactly
// when k = -2^-n (mod q). Long runs of blocks cover the primes that wait several blocks.
TEST(Sieve, BlocksStrikeExactlyTheTablePrimeMultiples) {
    struct Row { uint32_t n; int64_t k; uint32_t blocks; uint32_t threads; };
    for (const Row& r : {Row{8, 3, 2, 1}, Row{20, 1'000'001, 2, 2}, Row{21, 5, 3, 1}, Row{100, 1'000'000'000'001, 20, 2},
                         Row{64, 7'777'777'777'777'777, 2, 3}, Row{50, 20'000'000'000'001, 24, 2}}) {
        const uint32_t kSpan = r.blocks * kSieveSize;  // sieve indices covered
        Sieve s;
        Prime(s, r.n, r.k, r.threads);
        const auto primes = s.TablePrimes();
        const uint64_t base = static_cast<uint64_t>(r.k);
        std::vector<bool> struck(kSpan, false);
        for (uint64_t q : primes) {
            const uint64_t target = (q - PowMod(PowMod(2, r.n, q), q - 2, q)) % q;  // -2^-n
            // base + 2i = target (mod q)  =>  i = (target - base) / 2 (mod q).
            const uint64_t diff = (target + q - base % q) % q;
            const uint64_t i0 = diff % 2 == 0 ? diff / 2 : (diff + q) / 2;
            for (uint64_t i = i0; i < kSpan; i += q) struck[i] = true;
        }
        // Hand out survivors until the two blocks are passed; a call that finds a block empty
        // to its end returns nothing but the next block's first k.
        std::vector<bool> handed(kSpan, false);
        for (;;) {
            uint64_t k = 0;
            const bool got = s.NextSurvivor(k);
            ASSERT_GE(k, base);
            ASSERT_EQ((k - base) % 2, 0u);
            if ((k - base) / 2 >= kSpan) break;
            if (got) {
                handed[(k - base) / 2] = true;
            } else {
                EXPECT_EQ((k - base) % (2 * uint64_t{kSieveSize}), 0u);
            }
        }
        size_t mismatches = 0;  // a survivor that should be struck, or the other way round
        for (uint32_t i = 0; i < kSpan; ++i) mismatches += handed[i] == struck[i];
        EXPECT_EQ(mismatches, 0u) << "n=" << r.n << " k=" << r.k << " threads=" << r.threads;
        // Spot-check against GMP: a multiplier whose candidate a small table prime divides is struck.
        for (uint32_t i = 0; i < 3000; i += 7) {
            bool divisible = false;
            for (size_t j = 0; j < 40 && !divisible; ++j) divisible = reference::Divides(primes[j], base + 2 * i, r.n);
            if (divisible) {
                EXPECT_TRUE(struck[i]) << base + 2 * i;
                EXPECT_FALSE(handed[i]) << base + 2 * i;
            }
        }
    }
}

// The bits of blocks sieved by cursors that take turns (a cursor's first block after block 0,
// one block skipped, ten skipped) against the table primes' own arithmetic. The primes from 131
// on skip the indices that 3 and 5 strike, whose residues (mod 3 and mod 5) depend on n and the
// first multiplier: fifteen consecutive odd first multipliers give every pair of them.
TEST(Sieve, BlocksOfCursorsTakingTurnsAreExact) {
    struct Row { uint32_t n; uint64_t first; uint32_t blocks; uint32_t threads; };
    std::vector<Row> rows;
    for (uint64_t j = 0; j < 15; ++j) rows.push_back({j % 2 ? 50u : 51u, 20'000'000'000'001 + 2 * j, 3, static_cast<uint32_t>(1 + j % 3)});
    const uint64_t top = uint64_t{1} << 63;
    rows.push_back({64, top - 1 - 3 * uint64_t{kSieveSize}, 12, 2});  // the last blocks below 2^63, and past it
    rows.push_back({300, top - 1 - 40 * uint64_t{kSieveSize} - 2 * 7, 12, 3});
    rows.push_back({100, 1'000'000'000'001, 12, 1});
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "n=" << r.n << " first=" << r.first << " threads=" << r.threads);
        Sieve s;
        s.Prepare(r.n, r.first, r.threads);
        const uint64_t span = uint64_t{r.blocks} * kSieveSize;
        std::vector<uint8_t> struck(span, 0);
        for (uint64_t q : s.TablePrimes()) {
            const uint64_t target = q - PowMod((q + 1) / 2, r.n, q);  // -2^-n, 2^-1 being (q + 1) / 2
            const uint64_t diff = (target + q - r.first % q) % q;
            for (uint64_t i = diff % 2 == 0 ? diff / 2 : (diff + q) / 2; i < span; i += q) struck[i] = 1;
        }
        // Cursor 2 takes block 0 and the last one (ten skipped when there are twelve), cursor 1
        // begins at block 2, and cursors 0 and 1 take turns in between.
        Sieve::Cursor cursors[3];
        for (uint32_t b = 0; b < r.blocks; ++b) {
            Sieve::Cursor& c = cursors[b == 0 || b + 1 == r.blocks ? 2 : b % 2];
            s.SieveBlock(b, c);
            size_t mismatches = 0;
            for (uint32_t i = 0; i < kSieveSize; ++i)
                mismatches += (c.bits()[i / 64] >> (i % 64) & 1) != struck[uint64_t{b} * kSieveSize + i];
            ASSERT_EQ(mismatches, 0u) << "block " << b;
        }
    }
}

// A block's survivors taken in pieces of any size (by the word, a word's worth and a little
// more or less, or all at once), from any index, are the same as one at a time.
TEST(Sieve, SurvivorsInPiecesOfAnySize) {
    Sieve s;
    s.Prepare(50, 20'000'000'000'001);
    Sieve::Cursor cursor;
    s.SieveBlock(0, cursor);
    const int64_t kNoEnd = std::numeric_limits<int64_t>::max();
    std::vector<uint64_t> one;
    for (uint32_t from = 0;;) {
        uint64_t k = 0;
        const Sieve::Take take = s.Survivors(cursor, kNoEnd, from, &k, 1);
        if (take.count) one.push_back(k);
        if (take.done) break;
    }
    ASSERT_GT(one.size(), 10'000u);
    for (uint32_t limit : {2u, 63u, 64u, 65u, 71u, 1000u, 4099u, kSieveSize}) {
        for (uint32_t start : {0u, 37u}) {
            std::vector<uint64_t> got, piece(limit);
            uint32_t from = start;
            for (;;) {
                const Sieve::Take take = s.Survivors(cursor, kNoEnd, from, piece.data(), limit);
                ASSERT_LE(take.count, limit);
                got.insert(got.end(), piece.begin(), piece.begin() + take.count);
                if (take.done) break;
            }
            const auto expected = std::vector<uint64_t>(
                std::lower_bound(one.begin(), one.end(), 20'000'000'000'001 + 2 * uint64_t{start}), one.end());
            EXPECT_TRUE(got == expected) << "limit " << limit << " from " << start;
        }
    }
}

TEST(Sieve, SmallCandidatesAreAllStruck) {
    // For n <= 20 every p below 2^16 is a table prime or has a factor below 256.
    Sieve s;
    Prime(s, 8, 3);
    uint64_t k = 0;
    ASSERT_TRUE(s.NextSurvivor(k));
    EXPECT_GE(k << 8, uint64_t{1} << 16);
}

TEST(Sieve, EmptyBlockMovesToTheNextBlock) {
    Sieve s;
    Prime(s, 30, 1'000'001);
    uint64_t k = 0;
    ASSERT_TRUE(s.NextSurvivor(k));  // fills the first block
    std::fill(s.blockBits(), s.blockBits() + kSieveSize / 64, ~uint64_t{0});  // nothing left in it
    EXPECT_FALSE(s.NextSurvivor(k));
    EXPECT_EQ(k, 1'000'001 + 2 * uint64_t{kSieveSize});
    EXPECT_EQ(s.position(), kSieveSize + 1);
    ASSERT_TRUE(s.NextSurvivor(k));  // the next call refills
    EXPECT_GE(k, 1'000'001 + 2 * uint64_t{kSieveSize});
}

TEST(Sieve, NeverHandsOutMultipliersOfTwoToTheSixtyThree) {
    const int64_t max = std::numeric_limits<int64_t>::max();
    Sieve s;
    Prime(s, 50, max - 2 * 5000);
    uint64_t last = 0, k = 0;
    int count = 0;
    while (s.NextSurvivor(k)) {
        ASSERT_GT(k, last);
        last = k;
        ++count;
    }
    EXPECT_GT(count, 0);
    EXPECT_EQ(k, static_cast<uint64_t>(max));  // the end of the exponent, without passing 2^63 - 1
}

}  // namespace
}  // namespace vontal
