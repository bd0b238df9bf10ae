// Splitting a task into parts and merging their records: the cut, the record reader, the merge's
// proof of coverage and its refusals, on part folders written here with the records' own texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <unistd.h>

#include "cluster/Commands.h"
#include "cluster/Merge.h"
#include "cluster/PartFolder.h"
#include "cluster/RecordReader.h"
#include "cluster/SplitPlan.h"
#include "engine/CheckValue.h"
#include "engine/Kernel.h"
#include "engine/Records.h"
#include "Version.h"
#include "settings/IniFile.h"
#include "settings/TaskFile.h"

namespace vontal::cluster {
void PrintTo(const KRange& r, std::ostream* os) { *os << "n=" << r.n << " k=" << r.first << " to " << r.last; }
}  // namespace vontal::cluster

namespace {

namespace fs = std::filesystem;
using namespace vontal;
using namespace vontal::cluster;

Piece MakePiece(const std::string& line) {
    Piece p;
    std::string why;
    EXPECT_TRUE(PieceFromLine(line, p, why)) << line << ": " << why;
    return p;
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

// ---- The cut ---------------------------------------------------------------------------------------

struct SplitCase {
    const char* task;
    int parts;
    size_t expectedPieces;
    double balance;  // the dearest piece at most this many times the mean; 0: not checked
};

TEST(Split, CoversEveryOddKOfEveryExponentExactlyOnceAndBalancesTheWork) {
    const SplitCase cases[] = {
        {"n=21 to 26, k=1 to 200000000", 6, 6, 1.05},
        {"n=50 to 60, k=20e12 to 30e12", 13, 13, 1.03},
        {"n=8 to 8, k=1 to 100", 7, 7, 0},
        {"n=100 to 100, k=2 to 9", 3, 3, 0},               // odd k 3, 5, 7 and 9
        {"n=8 to 12, k=5 to 5", 4, 4, 0},                  // one k: pieces of whole exponents
        {"n=8 to 10, k=1 to 10", 100, 12, 0},              // 3 exponents times 4 odd k: 12 pieces at most
        {"n=30 to 31, k=9223372036854775000 to 9223372036854775807", 5, 5, 0},  // up to 2^63 - 1
        {"n=200 to 230, k=1 to 1e9", 7, 7, 1.05},
        {"n=60 to 60, k=1 to 4e6", 4, 4, 1.05},             // the candidates widen to two words inside
        {"n=40 to 41, k=20e12 to 20000000000001", 3, 2, 0},  // one odd k: a piece per exponent
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(std::string(c.task) + " in " + std::to_string(c.parts));
        const Piece task = MakePiece(c.task);
        const std::vector<Piece> pieces = SplitTask(task, c.parts);
        ASSERT_EQ(pieces.size(), c.expectedPieces);
        // Exponent by exponent, the pieces' odd k follow one another from the task's first to
        // its last without a hole or a k twice.
        for (uint32_t n = task.nFirst; n <= task.nLast; ++n) {
            std::vector<std::pair<int64_t, int64_t>> ranges;
            for (const Piece& p : pieces)
                if (p.nFirst <= n && n <= p.nLast) ranges.emplace_back(p.firstOdd(), p.lastOdd());
            std::sort(ranges.begin(), ranges.end());
            ASSERT_FALSE(ranges.empty()) << "n=" << n;
            EXPECT_EQ(ranges.front().first, task.firstOdd()) << "n=" << n;
            EXPECT_EQ(ranges.back().second, task.lastOdd()) << "n=" << n;
            for (size_t i = 0; i < ranges.size(); ++i) {
                EXPECT_LE(ranges[i].first, ranges[i].second) << "an empty piece at n=" << n;
                if (i > 0) EXPECT_EQ(ranges[i].first, ranges[i - 1].second + 2) << "n=" << n;
            }
        }
        double total = 0, dearest = 0;
        for (const Piece& p : pieces) {
            // The texts a part folder stores read back as the same piece.
            Piece back;
            std::string why;
            ASSERT_TRUE(PieceFromTexts(p.Texts(), back, why)) << p.Line() << ": " << why;
            EXPECT_TRUE(back.SameWork(p)) << p.Line();
            const double w = PieceWork(p);
            total += w;
            dearest = std::max(dearest, w);
        }
        if (c.balance > 0) EXPECT_LE(dearest, c.balance * total / pieces.size());
    }
}

TEST(Split, KeepsTheTasksOwnTextsAtItsEdges) {
    // The first k as given (the search raises 1 to 3 and quotes "3"), the last k as given; the
    // k between are odd, so that a part's range names exactly the k it searches.
    const std::vector<Piece> pieces = SplitTask(MakePiece("n=30 to 30, k=1 to 20e6"), 3);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].kLowText, "1");
    EXPECT_EQ(pieces[2].kHighText, "20e6");
    EXPECT_EQ(pieces[0].kHigh % 2, 1);
    EXPECT_EQ(pieces[1].kLow % 2, 1);
    EXPECT_EQ(pieces[1].kHigh % 2, 1);
}

TEST(Split, WorkGrowsWithTheExponentAndTheCandidatesWidth) {
    EXPECT_GT(RangeWork(60, 1001, 2001), RangeWork(50, 1001, 2001));
    // At n=60 the candidates of k below 16 fit in one 64-bit word, those from 16 on need two:
    // the same number of k costs more above.
    EXPECT_GT(RangeWork(60, 17, 31), RangeWork(60, 1, 15) * 1.5);
    // Equal k spans of a piece are not equal work: the upper piece of a split whose candidates
    // widen inside it is narrower.
    const std::vector<Piece> pieces = SplitTask(MakePiece("n=60 to 60, k=1 to 4e6"), 2);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_GT(pieces[0].lastOdd() - pieces[0].firstOdd(), pieces[1].lastOdd() - pieces[1].firstOdd());
}

// ---- The record reader ---------------------------------------------------------------------------

TEST(RecordReader, ReadsEveryRecordAsTheSearchWritesIt) {
    const std::string log = ModelRecord(6, 2400) + HeaderRecord(14, "1") + FoundRecord(12, 7, 14) +
                            EndRecord("100", "BB00000000", "12/11/26 01:33:05") + HeaderRecord(15, "1") +
                            "\r\nkernel bmi2 failed its self-test" + EndRecord("100", "BB11111111", "12/11/26 01:34:00") +
                            HeaderRecord(16, "1") + EndRecord("100", "BB22", "");  // still being written
    const RecordsRead read = ReadRecords(log);
    ASSERT_EQ(read.problem, "");
    std::vector<RecordKind> kinds;
    for (const Record& r : read.records) kinds.push_back(r.kind);
    using K = RecordKind;
    EXPECT_EQ(kinds, (std::vector<K>{K::Model, K::Header, K::Found, K::End, K::Header, K::Note, K::End, K::Header}));
    EXPECT_EQ(read.records[1].n, 14u);
    EXPECT_EQ(read.records[1].kText, "1");
    EXPECT_EQ(read.records[2].m, 12u);
    EXPECT_EQ(read.records[2].k, 7);
    EXPECT_EQ(read.records[3].kText, "100");
    EXPECT_EQ(read.records[3].checkValue, "BB00000000");
    EXPECT_EQ(read.records[3].dateTime, "12/11/26 01:33:05");
    EXPECT_EQ(read.records[5].text, "kernel bmi2 failed its self-test");
    // A found record cut off at the end of a running search's file is not yet there.
    const RecordsRead cut = ReadRecords(HeaderRecord(14, "1") + "\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 div");
    EXPECT_EQ(cut.problem, "");
    EXPECT_EQ(cut.records.size(), 1u);
}

TEST(RecordReader, NamesTheFirstDamagedLine) {
    const std::pair<std::string, std::string> cases[] = {
        {HeaderRecord(14, "1") + "\r\nfound m=12,  k=7,  n=14\r\n9.2^14+1 divides F_12\r\n", "line 3: not a found record"},
        {HeaderRecord(14, "1") + "\r\nfound m=x,  k=7,  n=14\r\n7.2^14+1 divides F_x\r\n", "line 3: not a found record"},
        {HeaderRecord(14, "1") + " up to 100, CODO=XYZ, Date/Time:1\r\n", "line 2: not an end-of-exponent record"},
        {"\r\nn=1x  k from 1\r\n", "line 2: not an exponent header"},
        {"\r\n7.2^14+1 divides F_12\r\n", "line 2: a divisor line without its found record"},
    };
    for (const auto& [text, problem] : cases) {
        const RecordsRead read = ReadRecords(text);
        EXPECT_EQ(read.problem.substr(0, problem.size()), problem) << read.problem;
    }
}

// ---- Merge ----------------------------------------------------------------------------------------------

// Part folders written by split, with records written here as the search writes them: every
// divisor of the range (found by the candidate test) and the end records with their check values.
class MergeTest : public ::testing::Test {
public:
    fs::path root;
    Piece task = MakePiece("n=14 to 16, k=1 to 3000");
    // Three slices of k over every exponent (the cut itself is tested above).
    std::vector<Piece> pieces{MakePiece("n=14 to 16, k=1 to 999"), MakePiece("n=14 to 16, k=1001 to 1999"),
                              MakePiece("n=14 to 16, k=2001 to 3000")};

    void SetUp() override {
        root = fs::temp_directory_path() /
               ("vontal-cluster-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
                std::to_string(getpid()));
        fs::remove_all(root);
        for (int i = 0; i < 3; ++i) WritePartFolder(Part(i + 1), {task, i + 1, 3, pieces[i]}, -1);
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path Part(int number) const { return root / PartFolderName(number, 3); }

    // Runs part `number` on paper: its log, its Result.txt and, when finished, its settings file
    // as a completed task leaves them. `upTo` exponents of the piece are finished.
    void Run(int number, int upTo = 99) {
        const Piece& p = pieces[number - 1];
        std::string log = ModelRecord(6, 2400), result;
        KernelScratch scratch;
        uint32_t n = p.nFirst;
        for (; n <= p.nLast && n < p.nFirst + upTo; ++n) {
            scratch.reserveFor(n);
            log += HeaderRecord(n, p.kLowText);
            for (int64_t k = p.firstOdd(); k <= p.lastOdd(); k += 2)
                if (const uint32_t m = TestCandidate(static_cast<uint64_t>(k), n, scratch)) {
                    log += FoundRecord(m, k, n);
                    result += FoundRecord(m, k, n);
                    divisors.push_back(Divisor{n, m, k});
                }
            log += EndRecord(p.kHighText, CheckValue(n, n, p.firstOdd(), p.kHigh, kVersionText), "12/11/26 01:33:05");
        }
        if (n <= p.nLast) log += HeaderRecord(n, p.kLowText);
        WriteFile(Part(number) / kLogFileName, log);
        WriteFile(Part(number) / kResultFileName, result);
        IniFile ini(Part(number) / kSettingsFileName);
        WritePosition(ini, {std::to_string(n), std::to_string(p.nLast), p.kLowText, p.kHighText}, 0);
    }
    std::vector<Divisor> divisors;

    // Every file under the root with its content: what a refused merge must leave as it was.
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file()) files[e.path().string()] = ReadFile(e.path());
        return files;
    }

    int Merge(std::vector<std::string> args, std::string& out, std::string& err) {
        std::ostringstream o, e;
        const int status = RunMerge(args, o, e);
        out = o.str();
        err = e.str();
        return status;
    }
};

TEST_F(MergeTest, CompleteWhenEveryPartHasFinished) {
    for (int i = 1; i <= 3; ++i) Run(i);
    const MergeResult r = MergeParts({root});
    ASSERT_EQ(r.refusal, "");
    EXPECT_TRUE(r.complete());
    EXPECT_TRUE(r.gaps.empty());
    EXPECT_TRUE(r.overlaps.empty());
    EXPECT_EQ(r.finished.size(), 9u);  // three exponents in each of three parts
    std::sort(divisors.begin(), divisors.end());
    EXPECT_EQ(r.divisors, divisors);
    ASSERT_FALSE(divisors.empty());
    for (const PartSummary& p : r.parts) EXPECT_EQ(p.state, PartState::Finished);
    const std::string report = MergeReport(r);
    EXPECT_NE(report.find("verdict: complete\n"), std::string::npos) << report;
    EXPECT_NE(report.find("7.2^14+1 divides F_12"), std::string::npos) << report;
    // Idempotent: the same records, the same report; the part folders named one by one or by
    // their parent folder alike.
    EXPECT_EQ(MergeReport(MergeParts({Part(3), Part(1), Part(2)})), report);
}

TEST_F(MergeTest, NamesEveryKRangeNoFinishedRecordCoversAsAGap) {
    Run(1);
    Run(3, 1);  // only its first exponent finished; its settings file says where it stands
    const MergeResult r = MergeParts({root});
    ASSERT_EQ(r.refusal, "");
    EXPECT_FALSE(r.complete());
    // Where the pieces of parts 2 and 3 both lie open, their k run together into one gap.
    const std::vector<KRange> expected{{14, pieces[1].firstOdd(), pieces[1].lastOdd()},
                                       {15, pieces[1].firstOdd(), pieces[2].lastOdd()},
                                       {16, pieces[1].firstOdd(), pieces[2].lastOdd()}};
    EXPECT_EQ(r.gaps, expected);
    EXPECT_EQ(r.parts[1].state, PartState::NotBegun);
    EXPECT_EQ(r.parts[2].state, PartState::Unfinished);
    std::string out, err;
    EXPECT_EQ(Merge({root.string()}, out, err), 1);
    EXPECT_NE(out.find("gaps: 3\n  n=14  k=" + std::to_string(pieces[1].firstOdd()) + " to " +
                       std::to_string(pieces[1].lastOdd()) + "\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("verdict: incomplete"), std::string::npos) << out;

    // A folder taken away is a gap of its whole piece, named as a part without a folder.
    Run(2);
    Run(3);
    fs::remove_all(Part(2));
    const MergeResult without = MergeParts({root});
    ASSERT_EQ(without.refusal, "");
    EXPECT_EQ(without.parts[1].state, PartState::Missing);
    ASSERT_EQ(without.gaps.size(), 3u);
    for (const KRange& g : without.gaps) EXPECT_EQ(std::make_pair(g.first, g.last), std::make_pair(pieces[1].firstOdd(), pieces[1].lastOdd()));
}

TEST_F(MergeTest, DoesNotTrustASettingsFileThatSaysMoreThanTheRecords) {
    for (int i = 1; i <= 3; ++i) Run(i);
    // Part 2 says it is finished, but its log lost its last end record.
    std::string log = ReadFile(Part(2) / kLogFileName);
    log.resize(log.rfind(" up to "));
    WriteFile(Part(2) / kLogFileName, log);
    const MergeResult r = MergeParts({root});
    ASSERT_EQ(r.refusal, "");
    EXPECT_EQ(r.gaps, (std::vector<KRange>{{16, pieces[1].firstOdd(), pieces[1].lastOdd()}}));
    EXPECT_EQ(r.parts[1].state, PartState::Unfinished);
    ASSERT_FALSE(r.parts[1].notes.empty());
    EXPECT_NE(r.parts[1].notes[0].find("not trusted"), std::string::npos);
}

TEST_F(MergeTest, RefusesBadPartsWithAMessageAndChangesNothing) {
    struct Case {
        const char* what;
        std::function<void(MergeTest&)> spoil;
        const char* message;
    };
    const Case cases[] = {
        {"a forged check value",
         [](MergeTest& t) {
             std::string log = ReadFile(t.Part(2) / kLogFileName);
             const size_t at = log.find("CODO=") + 7;
             log[at] = log[at] == '0' ? '1' : '0';
             WriteFile(t.Part(2) / kLogFileName, log);
         },
         "does not fit n=14"},
        {"an end record of a wider range than the part's",
         [](MergeTest& t) {
             const Piece& p = t.pieces[1];
             WriteFile(t.Part(2) / kLogFileName,
                       HeaderRecord(14, p.kLowText) +
                           EndRecord("3000", CheckValue(14, 14, p.firstOdd(), 3000, kVersionText), "x"));
         },
         "a record of another task"},
        {"a forged divisor",
         [](MergeTest& t) {
             std::ofstream(t.Part(1) / kResultFileName, std::ios::app) << FoundRecord(12, 9, 14);
         },
         "9.2^14+1 divides F_12 is not true"},
        {"a damaged log",
         [](MergeTest& t) { std::ofstream(t.Part(3) / kLogFileName, std::ios::app) << "\r\nfound m=1\r\nnothing\r\n"; },
         "damaged: line"},
        {"a hand-edited marker",
         [](MergeTest& t) {
             IniFile m(t.Part(2) / kMarkerFileName);
             m.WriteString(kMarkerSection, "Piece", "n=14 to 16, k=1 to 3000");
         },
         "changed after vontal-cli split wrote it"},
        {"a hand-edited settings file",
         [](MergeTest& t) {
             IniFile ini(t.Part(3) / kSettingsFileName);
             ini.WriteString(kTaskSection, "kMax", "4000");
         },
         "changed by hand?"},
        {"a part of another task",
         [](MergeTest& t) {
             const Piece other = MakePiece("n=14 to 16, k=1 to 3001");
             fs::remove_all(t.Part(2));
             WritePartFolder(t.Part(2), {other, 2, 3, SplitTask(other, 3)[1]}, std::nullopt);
         },
         "parts of two different tasks"},
        {"a part of another split",
         [](MergeTest& t) {
             fs::remove_all(t.Part(2));
             WritePartFolder(t.Part(2), {t.task, 2, 4, SplitTask(t.task, 4)[1]}, std::nullopt);
         },
         "two different splits"},
        {"a part twice",
         [](MergeTest& t) { fs::copy(t.Part(1), t.root / "part-01-copy"); },
         "part 1 is given twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root);
        for (int i = 0; i < 3; ++i) WritePartFolder(Part(i + 1), {task, i + 1, 3, pieces[i]}, -1);
        for (int i = 1; i <= 3; ++i) Run(i);
        const fs::path report = root / "merged.txt";
        WriteFile(report, "the last report\n");
        c.spoil(*this);
        const auto before = Snapshot();
        std::string out, err;
        EXPECT_EQ(Merge({"--out", report.string(), root.string()}, out, err), 2);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_NE(err.find("nothing merged"), std::string::npos) << err;
        EXPECT_EQ(out, "");
        EXPECT_EQ(Snapshot(), before);
    }
}

// ---- The split command ---------------------------------------------------------------------------

TEST_F(MergeTest, SplitWritesPartFoldersTheProgramContinuesAndReCreatesOnlyMissingOnes) {
    fs::remove_all(root);
    std::ostringstream out, err;
    const std::vector<std::string> args{"--task", "n=14 to 16, k=1 to 3000", "--parts", "3", "--into", root.string(),
                                        "--priority", "-1"};
    ASSERT_EQ(RunSplit(args, out, err), 0) << err.str();
    pieces = SplitTask(task, 3);
    ASSERT_EQ(pieces.size(), 3u);
    // The settings file holds the piece as a task just begun, as the program writes it.
    IniFile ini(Part(2) / kSettingsFileName);
    EXPECT_EQ(ReadTaskTexts(ini), pieces[1].Texts());
    EXPECT_EQ(ReadPositionText(ini), "0");
    EXPECT_EQ(ini.ReadString(kTaskSection, "nMin", ""), std::to_string(pieces[1].nFirst));
    EXPECT_EQ(ini.ReadInteger(kTaskSection, "Priority", 0), -1);
    const std::string settings = ReadFile(Part(2) / kSettingsFileName);
    EXPECT_NE(settings.find("[f]\r\n"), std::string::npos);
    PartMarker m;
    std::string why;
    ASSERT_TRUE(ReadPartMarker(Part(2), m, why)) << why;
    EXPECT_EQ(m.number, 2);
    EXPECT_TRUE(m.piece.SameWork(pieces[1]));

    // Again: the folders there are left as they are, a missing one comes back.
    Run(1);
    const std::string log = ReadFile(Part(1) / kLogFileName);
    fs::remove_all(Part(3));
    std::ostringstream again, againErr;
    ASSERT_EQ(RunSplit(args, again, againErr), 0) << againErr.str();
    EXPECT_EQ(ReadFile(Part(1) / kLogFileName), log);
    EXPECT_TRUE(HasPartMarker(Part(3)));
    EXPECT_NE(again.str().find("already there"), std::string::npos);

    // Another split into the same folder: refused, nothing written.
    const auto before = Snapshot();
    std::ostringstream other, otherErr;
    EXPECT_EQ(RunSplit({"--task", "n=14 to 16, k=1 to 3000", "--parts", "4", "--into", root.string()}, other, otherErr), 2);
    EXPECT_NE(otherErr.str().find("not of this split; nothing written"), std::string::npos) << otherErr.str();
    EXPECT_EQ(Snapshot(), before);
    // A task that is none: refused with the task check's words.
    std::ostringstream bad, badErr;
    EXPECT_EQ(RunSplit({"--task", "n=7 to 9, k=1 to 30", "--parts", "2", "--into", (root / "x").string()}, bad, badErr), 2);
    EXPECT_NE(badErr.str().find("bad task"), std::string::npos);
    EXPECT_FALSE(fs::exists(root / "x"));
}

}  // namespace
