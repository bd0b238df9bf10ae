// Whole searches through the computation thread: the divisors and log lines of real tasks,
// stop and resume, stored positions, write failures and the stop flag under concurrency.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "CheckValue.h"
#include "Factor.h"
#include "NumberText.h"
#include "Records.h"
#include "control/IniFile.h"
#include "control/QueuedWindow.h"
#include "control/TaskFile.h"

namespace vontal {
namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A program directory with its settings file, and the window side of a run, as the front ends
// do it: the position is saved once the thread has ended.
class Harness {
public:
    std::filesystem::path dir;
    std::unique_ptr<TIniFile> ini;
    TSearchState state;
    TQueuedWindow window;
    std::unique_ptr<TFactor> thread;
    std::vector<FactorEvent> seen;

    explicit Harness(const std::string& name) {
        dir = std::filesystem::temp_directory_path() / ("vontal-search-" + name);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        ini = std::make_unique<TIniFile>(dir / kSettingsFileName);
        state.programDir = dir;
        state.iniFile = ini.get();
        state.cpuFamily = 6;
        state.cpuMHz = 2400;
        state.stopFlag = 1;
        ini->WriteInteger("f", "Priority", -1);  // tests keep the default priority
    }
    ~Harness() {
        if (thread) {
            state.stopFlag = 1;
            thread->Join();
        }
        std::filesystem::remove_all(dir);
    }

    bool Begin(const std::string& line) {
        window.boxes = ParseFollowingTaskLine(line);
        BeginNewTask(*ini, window.boxes, std::time(nullptr));
        state.KTemp = 0;
        return StartFactor(state, window, thread).started;
    }
    bool Continue() {
        window.boxes = ReadTaskBoxes(*ini);
        return StartFactor(state, window, thread).started;
    }
    // Works off events until the run ends; returns the event that ended it.
    FactorEventKind Finish() {
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        while (std::chrono::steady_clock::now() < deadline) {
            auto e = window.Wait(100ms);
            if (!e) continue;
            seen.push_back(*e);
            if (e->kind == FactorEventKind::BoxText) window.SetBox(e->box, e->text);
            if (e->kind == FactorEventKind::TaskComplete || e->kind == FactorEventKind::Stopped ||
                e->kind == FactorEventKind::ThreadError) {
                thread->Join();
                if (e->kind != FactorEventKind::ThreadError || e->started) Save();
                return e->kind;
            }
        }
        ADD_FAILURE() << "the run did not end";
        state.stopFlag = 1;
        return FactorEventKind::ThreadError;
    }
    void Save() {
        if (state.nTemp != 0) window.boxes.nMin = std::to_string(state.nTemp.load());
        WriteINI(*ini, window.boxes, state.KTemp.load());
    }
    std::string Results() const { return ReadFile(dir / kResultFileName); }
    // The log with its date texts taken out, which differ from run to run.
    std::string Log() const {
        return std::regex_replace(ReadFile(dir / kLogFileName), std::regex("Date/Time:[^\r]*"), "Date/Time:");
    }
};

std::string Found(uint32_t m, int64_t k, uint32_t n) { return FoundRecord(m, k, n); }

// Works a run to its end, continuing it after every stop; after the stops numbered from
// randomFrom to randomTo - 1 it also stops it again from outside at a random moment. Returns
// the number of stops.
int ContinueAfterEveryStop(Harness& h, uint32_t seed, int randomFrom, int randomTo) {
    std::mt19937 rng(seed);
    int stops = 0;
    for (FactorEventKind end = h.Finish(); end != FactorEventKind::TaskComplete; end = h.Finish()) {
        if (end != FactorEventKind::Stopped) {
            ADD_FAILURE() << "the run ended otherwise than by a stop";
            break;
        }
        ++stops;
        if (!h.Continue()) {
            ADD_FAILURE() << "the stopped run did not continue";
            break;
        }
        if (stops >= randomFrom && stops < randomTo) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
            h.state.stopFlag = 1;
        }
    }
    return stops;
}

TEST(Search, SmallRangeReportsExactlyThePublishedDivisors) {
    Harness h("small");
    ASSERT_TRUE(h.Begin("n=8 to 20, k=1 to 2000"));
    ASSERT_EQ(h.Finish(), FactorEventKind::TaskComplete);
    EXPECT_EQ(h.Results(), Found(6, 1071, 8) + Found(11, 39, 13) + Found(11, 119, 13) + Found(12, 7, 14) +
                               Found(9, 37, 16) + Found(12, 397, 16) + Found(12, 973, 16) +
                               Found(16, 1575, 19) + Found(18, 13, 20));
    // The log: the model line, then one line per exponent, broken by the divisors found in it.
    std::string expected = "Model 6  2400MHz";
    for (uint32_t n = 8; n <= 20; ++n) {
        expected += HeaderRecord(n, "3");
        for (auto [m, k, nn] : std::vector<std::tuple<uint32_t, int64_t, uint32_t>>{
                 {6, 1071, 8}, {11, 39, 13}, {11, 119, 13}, {12, 7, 14}, {9, 37, 16}, {12, 397, 16},
                 {12, 973, 16}, {16, 1575, 19}, {18, 13, 20}})
            if (nn == n) expected += Found(m, k, nn);
        expected += EndRecord("2000", CalcCODO(n, n, 3, 2000, "4.4"), "");
    }
    EXPECT_EQ(h.Log(), expected);
    // The first k box was raised to 3; the task is finished at nMax + 1.
    EXPECT_EQ(h.ini->ReadString("f", "kMin", ""), "3");
    EXPECT_EQ(h.ini->ReadString("f", "nTemp", ""), "21");
    EXPECT_EQ(h.state.stopFlag.load(), 1u);
    EXPECT_FALSE(h.Continue());  // a finished task is not started again
}

TEST(Search, SingleExponentTaskWithDivisor) {
    Harness h("single");
    ASSERT_TRUE(h.Begin("n=14 to 14, k=1 to 100"));
    ASSERT_EQ(h.Finish(), FactorEventKind::TaskComplete);
    EXPECT_EQ(h.Results(), "\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12\r\n");
    EXPECT_EQ(h.Log(), "Model 6  2400MHz\r\nn=14  k from 3\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12\r\n"
                       " up to 100, CODO=" + CalcCODO(14, 14, 3, 100, "4.4") + ", Date/Time:");
    // The result box gets the record without its final line end.
    bool shown = false;
    for (const auto& e : h.seen)
        if (e.kind == FactorEventKind::AppendResult)
            shown = e.text == "\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12";
    EXPECT_TRUE(shown);
}

// Stops at every divisor found (right after its record), at the start of an exponent, and at
// random moments; each time the task is continued from the saved position. The records must be
// those of an uninterrupted run: nothing lost, nothing twice, no second header.
TEST(Search, StopAndResumeGivesTheSameRecordsAsOneRun) {
    const std::string task = "n=21 to 23, k=1 to 3000000";
    Harness clean("clean");
    ASSERT_TRUE(clean.Begin(task));
    ASSERT_EQ(clean.Finish(), FactorEventKind::TaskComplete);
    ASSERT_NE(clean.Results().find("534689.2^23+1 divides F_21"), std::string::npos);
    ASSERT_NE(clean.Results().find("308385.2^21+1 divides F_19"), std::string::npos);

    Harness h("interrupted");
    std::atomic<int> exponentStarts{0};
    h.window.onPost = [&](const FactorEvent& e) {
        if (e.kind == FactorEventKind::AppendResult) h.state.stopFlag = 1;
        if (e.kind == FactorEventKind::RefreshInfo && ++exponentStarts == 2) h.state.stopFlag = 1;
    };
    ASSERT_TRUE(h.Begin(task));
    // and a few stops from outside at random moments
    EXPECT_GE(ContinueAfterEveryStop(h, 7, 5, 12), 5);
    EXPECT_EQ(h.Results(), clean.Results());
    EXPECT_EQ(h.Log(), clean.Log());
}

// The same tasks on several cores: exactly the records and log lines of one core, also when
// the run is stopped and continued, and for wide candidates (n = 300).
TEST(Search, SeveralCoresGiveTheSameRecords) {
    const char* const tasks[] = {"n=8 to 20, k=1 to 2000", "n=21 to 23, k=1 to 3000000", "n=300 to 301, k=1 to 20000",
                                 "n=60 to 61, k=9223372036854700001 to 9223372036854775807"};
    for (const char* task : tasks) {
        Harness one("cores1");
        ASSERT_TRUE(one.Begin(task));
        ASSERT_EQ(one.Finish(), FactorEventKind::TaskComplete);
        for (uint32_t threads : {2u, 3u}) {
            Harness many("cores" + std::to_string(threads));
            many.state.threadCount = threads;
            ASSERT_TRUE(many.Begin(task));
            ASSERT_EQ(many.Finish(), FactorEventKind::TaskComplete) << task;
            EXPECT_EQ(many.Results(), one.Results()) << task << " on " << threads;
            EXPECT_EQ(many.Log(), one.Log()) << task << " on " << threads;
            EXPECT_EQ(many.state.KTemp.load(), one.state.KTemp.load()) << task;
        }
    }
    // Stopped at every divisor and at random moments, on two cores.
    Harness clean("cores-clean");
    ASSERT_TRUE(clean.Begin("n=21 to 23, k=1 to 3000000"));
    ASSERT_EQ(clean.Finish(), FactorEventKind::TaskComplete);
    Harness h("cores-stops");
    h.state.threadCount = 2;
    h.window.onPost = [&](const FactorEvent& e) {
        if (e.kind == FactorEventKind::AppendResult) h.state.stopFlag = 1;
    };
    ASSERT_TRUE(h.Begin("n=21 to 23, k=1 to 3000000"));
    EXPECT_GE(ContinueAfterEveryStop(h, 11, 0, 8), 4);
    EXPECT_EQ(h.Results(), clean.Results());
    EXPECT_EQ(h.Log(), clean.Log());
}

TEST(Search, StoredPositionIsMadeSafe) {
    // n = 14, k = 1..100 holds one divisor, k = 7. Where does a stored KTemp resume?
    struct Row { const char* kTemp; bool findsSeven; bool header; };
    const Row rows[] = {
        {"0", true, true},     // a fresh exponent
        {"7", true, false},    // the saved candidate is tested again
        {"8", true, false},    // even: the odd number just below
        {"9", false, false},   // past it
        {"2", true, true},     // below 3 counts as 0
        {"-5", true, true},
        {"100", true, true},   // at or beyond kMax: the exponent begins afresh
    };
    for (const Row& r : rows) {
        Harness h(std::string("ktemp") + r.kTemp);
        h.window.boxes = {"14", "14", "1", "100"};
        WriteINI(*h.ini, h.window.boxes, 0);
        h.ini->WriteString("f", "KTemp", r.kTemp);
        ASSERT_TRUE(h.Continue());
        ASSERT_EQ(h.Finish(), FactorEventKind::TaskComplete) << r.kTemp;
        EXPECT_EQ(h.Results().find("k=7,") != std::string::npos, r.findsSeven) << r.kTemp;
        EXPECT_EQ(h.Log().find("n=14  k from") != std::string::npos, r.header) << r.kTemp;
    }
}

TEST(Search, BadStoredPositionStopsLoudlyAndChangesNothing) {
    Harness h("badktemp");
    h.window.boxes = {"14", "14", "1", "100"};
    WriteINI(*h.ini, h.window.boxes, 0);
    for (const char* bad : {"12abc", "", "99999999999999999999"}) {
        h.ini->WriteString("f", "KTemp", bad);
        const std::string before = ReadFile(h.dir / kSettingsFileName);
        h.seen.clear();
        ASSERT_TRUE(h.Continue());
        ASSERT_EQ(h.Finish(), FactorEventKind::ThreadError);
        EXPECT_EQ(h.seen.back().text, std::string("'") + bad + "' is not a valid integer value");
        EXPECT_FALSE(h.seen.back().started);
        EXPECT_EQ(h.seen.size(), 1u);  // nothing else reached the window
        EXPECT_EQ(ReadFile(h.dir / kSettingsFileName), before);
        EXPECT_FALSE(std::filesystem::exists(h.dir / kLogFileName));
        EXPECT_EQ(h.state.stopFlag.load(), 1u);
    }
}

TEST(Search, DivisorThatCannotBeRecordedIsTestedAgain) {
    Harness h("unwritable");
    std::filesystem::create_directories(h.dir / kResultFileName);  // cannot be appended to
    ASSERT_TRUE(h.Begin("n=14 to 14, k=1 to 100"));
    ASSERT_EQ(h.Finish(), FactorEventKind::ThreadError);
    EXPECT_TRUE(h.seen.back().started);
    EXPECT_NE(h.seen.back().text.find("Result.txt"), std::string::npos);
    EXPECT_EQ(h.ini->ReadString("f", "KTemp", ""), "7");  // the search did not move past it
    std::filesystem::remove(h.dir / kResultFileName);
    ASSERT_TRUE(h.Continue());
    ASSERT_EQ(h.Finish(), FactorEventKind::TaskComplete);
    EXPECT_EQ(h.Results(), Found(12, 7, 14));
}

TEST(Search, ExponentEndsAtTheFirstCandidateAtOrBeyondKMax) {
    const int64_t max = std::numeric_limits<int64_t>::max();
    struct Row { const char* kMin; const char* kMax; const char* kMinShown; };
    for (const Row& r : {Row{"1", "3000", "3"},
                         Row{"9223372036854700001", "9223372036854775807", "9223372036854700001"}}) {
        Harness h(std::string("kmax") + r.kMin);
        ASSERT_TRUE(h.Begin(std::string("n=60 to 61, k=") + r.kMin + " to " + r.kMax));
        ASSERT_EQ(h.Finish(), FactorEventKind::TaskComplete);
        EXPECT_GE(h.state.KTemp.load(), StrToK(r.kMax));
        EXPECT_LE(h.state.KTemp.load(), max);
        EXPECT_EQ(h.state.nTemp.load(), 62u);
        const std::string log = h.Log();
        EXPECT_NE(log.find(std::string("n=61  k from ") + r.kMinShown), std::string::npos) << log;
        EXPECT_NE(log.find(std::string(" up to ") + r.kMax + ", CODO="), std::string::npos) << log;
    }
}

TEST(Search, StartRefusalsAndConversionErrors) {
    Harness h("refusals");
    struct Row { BoxTexts boxes; const char* error; };
    const Row rows[] = {
        {{"", "20", "1", "100"}, nullptr},
        {{"7", "20", "1", "100"}, nullptr},       // exponents below 8
        {{"50", "49", "1", "100"}, nullptr},      // reversed n
        {{"50", "50", "200", "100"}, nullptr},    // reversed k
        {{"5x", "50", "1", "100"}, "'5x' is not a valid integer value"},
        {{"50", "50", "e5", "100"}, "'e5' is not a valid floating point value"},
        {{"50", "50", "1", "1e19"}, "Invalid floating point operation"},
    };
    for (const Row& r : rows) {
        h.window.boxes = r.boxes;
        try {
            EXPECT_FALSE(StartFactor(h.state, h.window, h.thread).started);
            EXPECT_EQ(r.error, nullptr);
        } catch (const ConversionError& e) {
            ASSERT_NE(r.error, nullptr);
            EXPECT_STREQ(e.what(), r.error);
        }
        EXPECT_FALSE(h.thread);
    }
    // While a search runs, a second start is refused; once it is told to stop, a start waits
    // for it and then runs alone.
    ASSERT_TRUE(h.Begin("n=40 to 40, k=1 to 1e15"));
    EXPECT_FALSE(h.Continue());
    h.state.stopFlag = 1;
    ASSERT_TRUE(h.Continue());
    h.state.stopFlag = 1;
    h.Finish();
}

// Starts and stops the thread over and over while another thread reads what the window reads.
// Run under ThreadSanitizer, this proves the shared fields are free of data races.
TEST(Search, WindowReadsWhileTheThreadRunsAndStops) {
    Harness h("race");
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint64_t sum = 0;  // wraps; only the reads matter
        while (!done.load()) {
            for (int64_t v : {h.state.KTemp.load(), h.state.kStart.load(), h.state.kPerDay.load(),
                              h.state.kMin.load(), h.state.kMax.load()})
                sum += static_cast<uint64_t>(v);
            sum += h.state.nTemp.load() + h.state.limbCount.load() + h.state.primeCount.load();
            sum += h.state.priorityName().size();
            h.state.kPerDay.store(static_cast<int64_t>(sum & 1023));
        }
    });
    ASSERT_TRUE(h.Begin("n=30 to 40, k=1 to 1e12"));
    for (int i = 0; i < 20; ++i) {
        h.state.threadCount = 1 + i % 3;  // the next start runs on one to three cores
        std::this_thread::sleep_for(5ms);
        h.state.stopFlag = 1;
        ASSERT_EQ(h.Finish(), FactorEventKind::Stopped);
        ASSERT_TRUE(h.Continue());
    }
    h.state.stopFlag = 1;
    h.Finish();
    done = true;
    reader.join();
}

}  // namespace
}  // namespace vontal
