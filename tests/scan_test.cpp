// One exponent's scan on one core and on several: blocks sieved by several cursors and threads
// against one cursor, the batches handed on against a plain loop of the sequential sieve and
// the GMP reference, and runs stopped and resumed at any batch.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ExponentScan.h"
#include "Kernel.h"
#include "Reference.h"
#include "Sieve.h"

namespace vontal {
namespace {

constexpr uint32_t kBlockWords = kSieveSize / 64;

// The bits of blocks 0 to count - 1, sieved one after the other with one cursor.
std::vector<std::vector<uint64_t>> SequentialBlocks(uint32_t n, uint64_t first, uint32_t count) {
    Sieve s;
    s.Prepare(n, first);
    Sieve::Cursor cursor;
    std::vector<std::vector<uint64_t>> blocks;
    for (uint32_t b = 0; b < count; ++b) {
        s.SieveBlock(b, cursor);
        blocks.emplace_back(cursor.bits(), cursor.bits() + kBlockWords);
    }
    return blocks;
}

// Cursors that take turns irregularly (skipping one block, a few, or many at a time), and
// cursors used again after a new Prepare, strike exactly what one cursor does: the offsets
// that a cursor carries from block to block, and the buckets shared by all.
TEST(ParallelSieve, CursorsTakingTurnsStrikeLikeOne) {
    struct Row { uint32_t n; uint64_t first; };
    for (const Row& r : {Row{16, 3}, Row{50, 20'000'000'000'001}, Row{200, 100'000'000'001}, Row{1500, 1'000'000'001}}) {
        SCOPED_TRACE(r.n);
        constexpr uint32_t kBlocks = 40;
        const auto expected = SequentialBlocks(r.n, r.first, kBlocks);
        Sieve s;
        Sieve::Cursor cursors[4];
        for (int round = 0; round < 2; ++round) {  // the second round reuses the cursors
            s.Prepare(r.n, r.first);
            for (uint32_t b = 0; b < kBlocks; ++b) {
                // Cursor 3 skips 14 and 18 blocks, cursor 2 six, the others one or two.
                const int which = b == 5 || b == 20 || b == 39 ? 3 : b % 7 == 0 ? 2 : (b * b) % 3 == 1 ? 1 : 0;
                Sieve::Cursor& c = cursors[which];
                s.SieveBlock(b, c);
                ASSERT_TRUE(std::equal(c.bits(), c.bits() + kBlockWords, expected[b].begin())) << "block " << b;
            }
        }
    }
}

// Threads that take blocks from a common counter, each with its own cursor: the sieve's shared
// part takes the blocks in order however the threads run.
TEST(ParallelSieve, ThreadsSieveDisjointBlocks) {
    constexpr uint32_t kBlocks = 30, n = 60;
    constexpr uint64_t first = 1'000'000'000'001;
    const auto expected = SequentialBlocks(n, first, kBlocks);
    Sieve s;
    s.Prepare(n, first);
    std::atomic<uint32_t> next{0};
    std::vector<std::vector<uint64_t>> got(kBlocks);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            Sieve::Cursor cursor;
            for (uint32_t b; (b = next.fetch_add(1)) < kBlocks;) {
                s.SieveBlock(b, cursor);
                got[b].assign(cursor.bits(), cursor.bits() + kBlockWords);
            }
        });
    }
    for (auto& t : threads) t.join();
    for (uint32_t b = 0; b < kBlocks; ++b) EXPECT_TRUE(got[b] == expected[b]) << "block " << b;
}

// What a scan hands on, batch by batch.
struct Published {
    std::vector<uint64_t> k;
    std::vector<uint32_t> m;
    uint64_t endK = 0;
    bool operator==(const Published&) const = default;
};

class RecordingSink : public IBatchSink {
public:
    explicit RecordingSink(uint32_t stopAfter = ~0u) : stopAfter_(stopAfter) {}
    bool Publish(const uint64_t* ks, const uint32_t* ms, uint32_t count, uint64_t endK) override {
        EXPECT_EQ(got.endK, 0u) << "a batch after the end";
        for (uint32_t i = 0; i < count; ++i) {
            if (!got.k.empty()) EXPECT_GT(ks[i], got.k.back()) << "not in increasing k";
            got.k.push_back(ks[i]);
            got.m.push_back(ms[i]);
        }
        got.endK = endK;
        ++batches;
        return batches >= stopAfter_;
    }
    Published got;
    uint32_t batches = 0;

private:
    uint32_t stopAfter_;
};

// The reference: the loop "while k < kMax: next survivor, test it" over the sequential sieve,
// with the GMP test; the block end that ends the exponent when no survivor does.
Published ReferenceScan(uint32_t n, int64_t first, int64_t kMax) {
    Sieve s;
    s.Prepare(n, static_cast<uint64_t>(first));
    Published r;
    for (;;) {
        uint64_t k;
        if (s.NextSurvivor(k)) {
            r.k.push_back(k);
            r.m.push_back(reference::TestCandidate(k, n, FirstMTested(k, n), LastMTested(k, n)));
            if (k >= static_cast<uint64_t>(kMax)) return r;
        } else if (k >= static_cast<uint64_t>(kMax)) {
            r.endK = k;
            return r;
        }
    }
}

struct ScanTask {
    uint32_t n;
    int64_t first, kMax;
};

// Published divisors among the candidates, and the exponent's end where a survivor reaches
// kMax, where a block end does, exactly at a block end and in the first block.
const ScanTask kScanTasks[] = {
    {14, 3, 5'000'001},                                  // 7*2^14+1; ends at a survivor or block end
    {16, 3, 3 + 2 * uint64_t{kSieveSize}},               // kMax exactly at the end of block 0
    {16, 3, 4 + 2 * uint64_t{kSieveSize}},               // one past it
    {21, 5, 2 * 2 * uint64_t{kSieveSize} + 1},           // 579*2^21+1, 33629, 308385
    {50, 2'139'543'000'001, 2'139'543'000'001 + 6'000'000},  // 2139543641769*2^50+1
    {135, 88'075'000'001, 88'075'000'001 + 1'500'000},   // 88075576149*2^135+1
    {20, 101, 99},                                       // kMax below the first k
};

// The batches that one, two and three cores hand on are the reference's, in order, whatever
// kernel variant runs.
TEST(ExponentScan, OneTwoAndThreeCoresHandOnTheReferenceInOrder) {
    const std::string initial = SelectedKernel();
    for (const ScanTask& t : kScanTasks) {
        SCOPED_TRACE("n=" + std::to_string(t.n) + " from " + std::to_string(t.first) + " to " + std::to_string(t.kMax));
        const Published expected = ReferenceScan(t.n, t.first, t.kMax);
        // The fastest variant on one, two and three cores; each other one on one of them.
        const auto variants = AvailableKernels();
        for (size_t v = 0; v < variants.size(); ++v) {
            const std::string& variant = variants[v];
            ASSERT_TRUE(SelectKernel(variant));
            for (uint32_t threads = 1; threads <= 3; ++threads) {
                if (v > 0 && threads != 1 + (v + t.n) % 3) continue;
                ExponentScan scan(threads, -1);
                scan.Prepare(t.n, t.first, t.kMax);
                RecordingSink sink;
                EXPECT_TRUE(scan.Run(sink));
                EXPECT_TRUE(sink.got == expected) << variant << " on " << threads << " cores: " << sink.got.k.size()
                                                  << " candidates, " << expected.k.size() << " expected";
            }
        }
    }
    SelectKernel(initial);
}

// A scan stopped after any batch has handed on a prefix of the whole; resumed from its last
// candidate (tested again, as a resumed search does), on any number of cores, it hands on the
// rest, with the same results. The same scan object goes on to the next exponent after a stop, as the computation
// thread's does.
TEST(ExponentScan, StoppedAndResumedOnAnyCoresGivesTheWhole) {
    const ScanTask t{21, 5, 2 * 2 * uint64_t{kSieveSize} + 1};
    const Published whole = ReferenceScan(t.n, t.first, t.kMax);
    for (uint32_t threads : {1u, 2u, 3u}) {
        ExponentScan scan(threads, -1);
        for (uint32_t stopAfter : {1u, 2u, 17u, 2000u, 20000u}) {
            SCOPED_TRACE(std::to_string(threads) + " cores, stop after " + std::to_string(stopAfter));
            scan.Prepare(t.n, t.first, t.kMax);
            RecordingSink first(stopAfter);
            const bool complete = scan.Run(first);
            ASSERT_EQ(complete, first.batches < stopAfter);
            ASSERT_LE(first.got.k.size(), whole.k.size());
            ASSERT_TRUE(std::equal(first.got.k.begin(), first.got.k.end(), whole.k.begin()));
            ASSERT_TRUE(std::equal(first.got.m.begin(), first.got.m.end(), whole.m.begin()));
            if (complete) continue;
            Published joined = first.got;
            scan.Prepare(t.n, static_cast<int64_t>(first.got.k.back()), t.kMax);
            RecordingSink rest;
            ASSERT_TRUE(scan.Run(rest));
            ASSERT_FALSE(rest.got.k.empty());
            EXPECT_EQ(rest.got.k.front(), first.got.k.back());  // tested again
            joined.k.insert(joined.k.end(), rest.got.k.begin() + 1, rest.got.k.end());
            joined.m.insert(joined.m.end(), rest.got.m.begin() + 1, rest.got.m.end());
            // The blocks of the resumed run begin at its own first k, so its end may differ: a
            // block end, or a first survivor at or beyond kMax that is tested. Below kMax the
            // candidates and their results are the same.
            const auto below = [&](const Published& p) {
                Published b;
                for (size_t i = 0; i < p.k.size() && p.k[i] < static_cast<uint64_t>(t.kMax); ++i) {
                    b.k.push_back(p.k[i]);
                    b.m.push_back(p.m[i]);
                }
                return b;
            };
            EXPECT_TRUE(below(joined) == below(whole));
        }
    }
}

// A sink that fails (a record that cannot be written) ends the scan with its exception; the
// helpers let go of the exponent, and the scan serves the next one.
TEST(ExponentScan, FailingSinkEndsTheScanAndLeavesItUsable) {
    class ThrowingSink : public IBatchSink {
    public:
        bool Publish(const uint64_t*, const uint32_t*, uint32_t, uint64_t) override {
            if (++calls == 3) throw std::runtime_error("cannot write");
            return false;
        }
        int calls = 0;
    };
    const ScanTask t{16, 3, 3 * 2 * uint64_t{kSieveSize}};
    const Published whole = ReferenceScan(t.n, t.first, t.kMax);
    for (uint32_t threads : {1u, 3u}) {
        ExponentScan scan(threads, -1);
        scan.Prepare(t.n, t.first, t.kMax);
        ThrowingSink failing;
        EXPECT_THROW(scan.Run(failing), std::runtime_error);
        scan.Prepare(t.n, t.first, t.kMax);
        RecordingSink sink;
        EXPECT_TRUE(scan.Run(sink));
        EXPECT_TRUE(sink.got == whole);
    }
}

// Where the multipliers end: no k of 2^63 or more is handed on, and the exponent ends at
// 2^63 - 1 (the end of the last block, capped) when kMax is there.
TEST(ExponentScan, EndsBelowTwoToTheSixtyThree) {
    const int64_t max = std::numeric_limits<int64_t>::max();
    const ScanTask t{50, max - 2 * 5000, max};
    const Published expected = ReferenceScan(t.n, t.first, t.kMax);
    ASSERT_FALSE(expected.k.empty());
    for (uint32_t threads : {1u, 2u}) {
        ExponentScan scan(threads, -1);
        scan.Prepare(t.n, t.first, t.kMax);
        RecordingSink sink;
        EXPECT_TRUE(scan.Run(sink));
        EXPECT_TRUE(sink.got == expected);
        EXPECT_EQ(sink.got.endK, static_cast<uint64_t>(max));
    }
}

}  // namespace
}  // namespace vontal
