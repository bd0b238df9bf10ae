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

#include <condition_variable>
#include <csignal>
#include <sys/resource.h>
#include <mutex>
#include <optional>
#include <unistd.h>

#include "engine/CheckValue.h"
#include "engine/NumberText.h"
#include "engine/Records.h"
#include "engine/ResultsJson.h"
#include "session/SearchSession.h"
#include "settings/IniFile.h"
#include "settings/TaskFile.h"

namespace vontal {
namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A program directory with its settings file, and a search session on it as the front ends
// use it: the session saves the position as the run goes and once it has ended.
class Harness : public SessionListener {
public:
    std::filesystem::path dir;
    std::unique_ptr<SearchSession> session;
    std::unique_ptr<IniFile> ini;
    SearchState& state;
    std::vector<SearchEvent> seen;
    // Runs on the computation thread as each event is queued (tests stop a run at a chosen moment).
    std::function<void(const SearchEvent&)> onQueued;

    explicit Harness(const std::string& name) : dir(Fresh(name)), session(MakeSession(dir, *this)), state(session->state()) {
        ini = std::make_unique<IniFile>(dir / kSettingsFileName);
        ini->WriteInteger("f", "Priority", -1);  // tests keep the default priority
        EXPECT_EQ(session->Open(), "");
    }
    ~Harness() override {
        session.reset();  // stops and waits for the thread
        std::filesystem::remove_all(dir);
    }

    bool Begin(const std::string& line) {
        session->SetTaskTexts(ParseFollowingTaskLine(line));
        return session->StartNewTask().started;
    }
    StartOutcome ContinueOutcome() {
        session->SetTaskTexts(ReadTaskTexts(*ini));
        return session->Continue();
    }
    bool Continue() { return ContinueOutcome().started; }
    // Works off events until the run ends; returns the event that ended it.
    SearchEventKind Finish() {
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait_for(lock, 100ms, [&] { return waiting_; });
                waiting_ = false;
            }
            session->ProcessEvents();
            if (ended_) {
                const SearchEventKind end = *ended_;
                ended_.reset();
                return end;
            }
        }
        ADD_FAILURE() << "the run did not end";
        state.stopRequested = true;
        return SearchEventKind::Failed;
    }
    std::string Results() const { return ReadFile(dir / kResultFileName); }
    // The lines of results.jsonl of one type ("divisor", "exponent").
    long JsonLines(const std::string& type) const {
        const std::string text = ReadFile(dir / kResultsJsonFileName), mark = "{\"type\":\"" + type + "\"";
        long count = 0;
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) ++count;
        return count;
    }
    // The log with its date texts taken out, which differ from run to run.
    std::string Log() const {
        return std::regex_replace(ReadFile(dir / kLogFileName), std::regex("Date/Time:[^\r]*"), "Date/Time:");
    }

private:
    static std::filesystem::path Fresh(const std::string& name) {
        auto d = std::filesystem::temp_directory_path() / ("vontal-search-" + name + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(d);
        std::filesystem::create_directories(d);
        return d;
    }
    static std::unique_ptr<SearchSession> MakeSession(const std::filesystem::path& dir, SessionListener& listener) {
        SessionOptions options;
        options.dir = dir;
        options.frontEnd = FrontEnd::Window;
        options.cpuMHz = 2400;
        options.cpuFamily = 6;
        return std::make_unique<SearchSession>(options, listener);
    }
    void EventQueued(const SearchEvent& e) override {
        if (onQueued) onQueued(e);
        {
            std::lock_guard lock(mutex_);
            waiting_ = true;
        }
        wake_.notify_one();
    }
    void SearchEventHandled(const SearchEvent& e, bool current) override {
        if (!current) return;
        seen.push_back(e);
        if (e.kind == SearchEventKind::TaskFinished || e.kind == SearchEventKind::Stopped ||
            e.kind == SearchEventKind::Failed)
            ended_ = e.kind;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool waiting_ = false;
    std::optional<SearchEventKind> ended_;
};

std::string Found(uint32_t m, int64_t k, uint32_t n) { return FoundRecord(m, k, n); }

// Works a run to its end, continuing it after every stop; after the stops numbered from
// randomFrom to randomTo - 1 it also stops it again from outside at a random moment. Returns
// the number of stops.
int ContinueAfterEveryStop(Harness& h, uint32_t seed, int randomFrom, int randomTo) {
    std::mt19937 rng(seed);
    int stops = 0;
    for (SearchEventKind end = h.Finish(); end != SearchEventKind::TaskFinished; end = h.Finish()) {
        if (end != SearchEventKind::Stopped) {
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
            h.state.stopRequested = true;
        }
    }
    return stops;
}

TEST(Search, SmallRangeReportsExactlyThePublishedDivisors) {
    Harness h("small");
    ASSERT_TRUE(h.Begin("n=8 to 20, k=1 to 2000"));
    ASSERT_EQ(h.Finish(), SearchEventKind::TaskFinished);
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
        expected += EndRecord("2000", CheckValue(n, n, 3, 2000, "4.4"), "");
    }
    EXPECT_EQ(h.Log(), expected);
    // The first k box was raised to 3; the task is finished at nMax + 1.
    EXPECT_EQ(h.ini->ReadString("f", "kMin", ""), "3");
    EXPECT_EQ(h.ini->ReadString("f", "nTemp", ""), "21");
    EXPECT_FALSE(h.session->searching());
    EXPECT_FALSE(h.Continue());  // a finished task is not started again
}

TEST(Search, SingleExponentTaskWithDivisor) {
    Harness h("single");
    ASSERT_TRUE(h.Begin("n=14 to 14, k=1 to 100"));
    ASSERT_EQ(h.Finish(), SearchEventKind::TaskFinished);
    EXPECT_EQ(h.Results(), "\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12\r\n");
    EXPECT_EQ(h.Log(), "Model 6  2400MHz\r\nn=14  k from 3\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12\r\n"
                       " up to 100, CODO=" + CheckValue(14, 14, 3, 100, "4.4") + ", Date/Time:");
    // The front ends hear of it with its numbers.
    bool shown = false;
    for (const auto& e : h.seen)
        if (e.kind == SearchEventKind::DivisorFound) shown = e.n == 14 && e.k == 7 && e.m == 12;
    EXPECT_TRUE(shown);
}

// Stops at every divisor found (right after its record), at the start of an exponent, and at
// random moments; each time the task is continued from the saved position. The records must be
// those of an uninterrupted run: nothing lost, nothing twice, no second header.
TEST(Search, StopAndResumeGivesTheSameRecordsAsOneRun) {
    const std::string task = "n=21 to 23, k=1 to 3000000";
    Harness clean("clean");
    ASSERT_TRUE(clean.Begin(task));
    ASSERT_EQ(clean.Finish(), SearchEventKind::TaskFinished);
    ASSERT_NE(clean.Results().find("534689.2^23+1 divides F_21"), std::string::npos);
    ASSERT_NE(clean.Results().find("308385.2^21+1 divides F_19"), std::string::npos);

    Harness h("interrupted");
    std::atomic<int> exponentStarts{0};
    h.onQueued = [&](const SearchEvent& e) {
        if (e.kind == SearchEventKind::DivisorFound) h.state.stopRequested = true;
        if (e.kind == SearchEventKind::ExponentBegun && ++exponentStarts == 2) h.state.stopRequested = true;
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
        ASSERT_EQ(one.Finish(), SearchEventKind::TaskFinished);
        for (uint32_t threads : {2u, 3u}) {
            Harness many("cores" + std::to_string(threads));
            many.session->SetThreads(threads);
            ASSERT_TRUE(many.Begin(task));
            ASSERT_EQ(many.Finish(), SearchEventKind::TaskFinished) << task;
            EXPECT_EQ(many.Results(), one.Results()) << task << " on " << threads;
            EXPECT_EQ(many.Log(), one.Log()) << task << " on " << threads;
            EXPECT_EQ(many.state.kPosition.load(), one.state.kPosition.load()) << task;
        }
    }
    // Stopped at every divisor and at random moments, on two cores.
    Harness clean("cores-clean");
    ASSERT_TRUE(clean.Begin("n=21 to 23, k=1 to 3000000"));
    ASSERT_EQ(clean.Finish(), SearchEventKind::TaskFinished);
    Harness h("cores-stops");
    h.session->SetThreads(2);
    h.onQueued = [&](const SearchEvent& e) {
        if (e.kind == SearchEventKind::DivisorFound) h.state.stopRequested = true;
    };
    ASSERT_TRUE(h.Begin("n=21 to 23, k=1 to 3000000"));
    EXPECT_GE(ContinueAfterEveryStop(h, 11, 0, 8), 4);
    EXPECT_EQ(h.Results(), clean.Results());
    EXPECT_EQ(h.Log(), clean.Log());
}

TEST(Search, StoredPositionIsMadeSafe) {
    // n = 14, k = 1..100 holds one divisor, k = 7. Where does a stored position ("KTemp") resume?
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
        WritePosition(*h.ini, {"14", "14", "1", "100"}, 0);
        h.ini->WriteString("f", "KTemp", r.kTemp);
        ASSERT_TRUE(h.Continue());
        ASSERT_EQ(h.Finish(), SearchEventKind::TaskFinished) << r.kTemp;
        EXPECT_EQ(h.Results().find("k=7,") != std::string::npos, r.findsSeven) << r.kTemp;
        EXPECT_EQ(h.Log().find("n=14  k from") != std::string::npos, r.header) << r.kTemp;
    }
}

TEST(Search, BadStoredPositionStopsLoudlyAndChangesNothing) {
    Harness h("badktemp");
    WritePosition(*h.ini, {"14", "14", "1", "100"}, 0);
    for (const char* bad : {"12abc", "", "99999999999999999999"}) {
        h.ini->WriteString("f", "KTemp", bad);
        const std::string before = ReadFile(h.dir / kSettingsFileName);
        h.seen.clear();
        const StartOutcome out = h.ContinueOutcome();
        EXPECT_FALSE(out.started);
        EXPECT_EQ(out.message, std::string("'") + bad + "' is not a valid integer value");
        h.session->ProcessEvents();
        EXPECT_TRUE(h.seen.empty());  // nothing else reached the front end
        EXPECT_EQ(ReadFile(h.dir / kSettingsFileName), before);
        EXPECT_FALSE(std::filesystem::exists(h.dir / kLogFileName));
        EXPECT_FALSE(h.session->searching());
    }
}

TEST(Search, DivisorThatCannotBeRecordedIsTestedAgain) {
    Harness h("unwritable");
    std::filesystem::create_directories(h.dir / kResultFileName);  // cannot be appended to
    ASSERT_TRUE(h.Begin("n=14 to 14, k=1 to 100"));
    ASSERT_EQ(h.Finish(), SearchEventKind::Failed);
    EXPECT_TRUE(h.seen.back().wasRunning);
    EXPECT_NE(h.seen.back().message.find("Result.txt"), std::string::npos);
    EXPECT_EQ(h.ini->ReadString("f", "KTemp", ""), "7");  // the search did not move past it
    std::filesystem::remove(h.dir / kResultFileName);
    ASSERT_TRUE(h.Continue());
    ASSERT_EQ(h.Finish(), SearchEventKind::TaskFinished);
    EXPECT_EQ(h.Results(), Found(12, 7, 14));
}

// The log cannot be written at one of its records (it is made a directory at that moment): the
// run ends with the reason at a position from which a Continue writes that record and goes on,
// with no exponent begun again and no end record twice.
TEST(Search, LogRecordThatCannotBeWrittenIsWrittenAtContinue) {
    const std::string task = "n=14 to 15, k=1 to 100";  // 7 in n = 14, nothing in n = 15
    Harness clean("log-clean");
    ASSERT_TRUE(clean.Begin(task));
    ASSERT_EQ(clean.Finish(), SearchEventKind::TaskFinished);
    struct Row {
        const char* when;
        SearchEventKind event;  // the log turns into a directory as this event is sent
        int occurrence;         // the how-manieth such event
        std::string results;    // Result.txt in the end
    };
    const Row rows[] = {
        // Result.txt has the divisor already: the Continue tests it again and writes it once more.
        {"found record", SearchEventKind::DivisorFound, 1, Found(12, 7, 14) + Found(12, 7, 14)},
        {"end record", SearchEventKind::ExponentBegun, 2, Found(12, 7, 14)},  // n = 15 has begun, without divisor
        {"header", SearchEventKind::Started, 1, Found(12, 7, 14)},            // before the first header
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.when);
        Harness h("log-fault");
        const auto log = h.dir / kLogFileName, aside = h.dir / "aside";
        int seen = 0;
        h.onQueued = [&](const SearchEvent& e) {
            if (e.kind == r.event && ++seen == r.occurrence) {
                if (std::filesystem::exists(log)) std::filesystem::rename(log, aside);
                std::filesystem::create_directory(log);
            }
        };
        ASSERT_TRUE(h.Begin(task));
        ASSERT_EQ(h.Finish(), SearchEventKind::Failed);
        EXPECT_TRUE(h.seen.back().wasRunning);
        EXPECT_NE(h.seen.back().message.find("Unable to write to " + log.string()), std::string::npos) << h.seen.back().message;
        h.onQueued = nullptr;
        std::filesystem::remove(log);
        if (std::filesystem::exists(aside)) std::filesystem::rename(aside, log);
        ASSERT_TRUE(h.Continue());
        ASSERT_EQ(h.Finish(), SearchEventKind::TaskFinished);
        EXPECT_EQ(h.Results(), r.results);
        EXPECT_EQ(h.Log(), clean.Log());
    }
}

// A run that ended after an exponent's end record but before a position past the exponent was
// saved (killed, say) leaves the log showing it finished: a Continue from the older position
// goes on with the next exponent instead of finishing that one again. The older position may be
// inside the exponent, or its first k as the task's beginning saved it (killed before any other
// save: the whole of a small exponent can pass in that time).
TEST(Search, ExponentThatTheLogShowsFinishedIsNotSearchedAgain) {
    Harness clean("closed-clean");
    ASSERT_TRUE(clean.Begin("n=13 to 14, k=1 to 200"));
    ASSERT_EQ(clean.Finish(), SearchEventKind::TaskFinished);
    struct Row {
        const char* after;  // what the killed run wrote after the end record of n = 13
        bool nextBegun;
        bool nextFinished;  // n = 14 too: its save took longer than the exponent
        int64_t saved;      // the last position saved
    };
    // Inside n = 13, before its divisor 119; or the beginning of the task.
    for (const Row& r : {Row{"nothing", false, false, 101}, Row{"the header of n = 14", true, false, 101},
                         Row{"all of n = 14", false, true, 101},
                         Row{"nothing, saved at the task's beginning", false, false, 0},
                         Row{"the header of n = 14, saved at the task's beginning", true, false, 0}}) {
        SCOPED_TRACE(r.after);
        Harness h("closed");
        ASSERT_TRUE(h.Begin(r.nextFinished ? "n=13 to 14, k=1 to 200" : "n=13 to 13, k=1 to 200"));
        ASSERT_EQ(h.Finish(), SearchEventKind::TaskFinished);
        if (r.nextBegun) AppendToLog(h.dir, HeaderRecord(14, "3"), 6, 2400);
        WritePosition(*h.ini, {"13", "14", "3", "200"}, r.saved);
        ASSERT_TRUE(h.Continue());
        ASSERT_EQ(h.Finish(), SearchEventKind::TaskFinished);
        EXPECT_EQ(h.Results(), clean.Results());
        const std::string second = r.nextBegun ? HeaderRecord(14, "3") : "";
        std::string expected = clean.Log();
        expected.insert(expected.find(HeaderRecord(14, "3")), second);  // a header from the restart
        EXPECT_EQ(h.Log(), expected);
        // results.jsonl: one line for each divisor and each finished exponent.
        EXPECT_EQ(h.JsonLines("divisor"), 3);
        EXPECT_EQ(h.JsonLines("exponent"), 2);
    }
    // The killed run also wrote no lines to results.jsonl after n = 13's, and the line of n = 14
    // cannot be written (a full disk): the run fails and ends at the position it took up, from
    // which the next Continue passes over both exponents again and writes the missing line.
    {
        Harness full("closed-full");
        ASSERT_TRUE(full.Begin("n=13 to 14, k=1 to 200"));
        ASSERT_EQ(full.Finish(), SearchEventKind::TaskFinished);
        const std::filesystem::path jsonlPath = full.dir / kResultsJsonFileName;
        std::string jsonl = ReadFile(jsonlPath);
        jsonl.resize(jsonl.find('\n', jsonl.find(R"({"type":"exponent","n":13,)")) + 1);
        std::ofstream(jsonlPath, std::ios::binary | std::ios::trunc) << jsonl;
        WritePosition(*full.ini, {"13", "14", "3", "200"}, 101);
        // Writes beyond the file's present size fail (EFBIG); the settings file is smaller.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit before{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
        const rlimit limit{static_cast<rlim_t>(jsonl.size()), before.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
        const bool started = full.Continue();
        const SearchEventKind end = started ? full.Finish() : SearchEventKind::Failed;
        setrlimit(RLIMIT_FSIZE, &before);
        ASSERT_TRUE(started);
        ASSERT_EQ(end, SearchEventKind::Failed);
        EXPECT_NE(full.seen.back().message.find(jsonlPath.string()), std::string::npos) << full.seen.back().message;
        EXPECT_FALSE(full.session->lastSaveFailed());
        EXPECT_EQ(full.ini->ReadString("f", "nTemp", ""), "13");
        EXPECT_EQ(full.ini->ReadString("f", "KTemp", ""), "101");
        ASSERT_TRUE(full.Continue());
        ASSERT_EQ(full.Finish(), SearchEventKind::TaskFinished);
        EXPECT_EQ(full.Log(), clean.Log());
        EXPECT_EQ(full.Results(), clean.Results());
        const std::string after = ReadFile(jsonlPath);
        EXPECT_EQ(after.rfind(jsonl, 0), 0u);
        EXPECT_EQ(full.JsonLines("exponent"), 2);
        EXPECT_NE(after.find(R"("n":14,"k_from":"3","k_to":"200","check":")" + CheckValue(14, 14, 3, 200, "4.4") +
                             R"(","tested":null,"tested_from":null)"), std::string::npos) << after;
    }
    // The killed run may have finished several exponents since the last save: each is passed
    // over, and the search takes up at the first the log does not show finished.
    {
        Harness cleanChain("chain-clean"), h("chain");
        ASSERT_TRUE(cleanChain.Begin("n=13 to 15, k=1 to 200"));
        ASSERT_EQ(cleanChain.Finish(), SearchEventKind::TaskFinished);
        ASSERT_TRUE(h.Begin("n=13 to 14, k=1 to 200"));
        ASSERT_EQ(h.Finish(), SearchEventKind::TaskFinished);
        AppendToLog(h.dir, HeaderRecord(15, "3"), 6, 2400);
        WritePosition(*h.ini, {"13", "15", "3", "200"}, 0);
        ASSERT_TRUE(h.Continue());
        ASSERT_EQ(h.Finish(), SearchEventKind::TaskFinished);
        EXPECT_EQ(h.Results(), cleanChain.Results());
        std::string expected = cleanChain.Log();
        expected.insert(expected.find(HeaderRecord(15, "3")), HeaderRecord(15, "3"));
        EXPECT_EQ(h.Log(), expected);
    }
    // A task begun anew over a log that shows its exponent finished is searched all the same.
    {
        Harness again("closed-again");
        ASSERT_TRUE(again.Begin("n=13 to 13, k=1 to 200"));
        ASSERT_EQ(again.Finish(), SearchEventKind::TaskFinished);
        ASSERT_TRUE(again.Begin("n=13 to 13, k=1 to 200"));
        ASSERT_EQ(again.Finish(), SearchEventKind::TaskFinished);
        const std::string log = again.Log();
        size_t ends = 0;
        for (size_t at = log.find(", CODO="); at != std::string::npos; at = log.find(", CODO=", at + 1)) ++ends;
        EXPECT_EQ(ends, 2u) << log;
    }
    // Resumed inside an exponent the log does not show finished: searched on as usual.
    Harness cleanOpen("open-clean"), h("open");
    ASSERT_TRUE(cleanOpen.Begin("n=13 to 14, k=1 to 2000"));
    ASSERT_EQ(cleanOpen.Finish(), SearchEventKind::TaskFinished);
    h.onQueued = [&](const SearchEvent& e) {
        if (e.kind == SearchEventKind::DivisorFound) h.state.stopRequested = true;
    };
    ASSERT_TRUE(h.Begin("n=13 to 14, k=1 to 2000"));
    ASSERT_EQ(h.Finish(), SearchEventKind::Stopped);
    h.onQueued = nullptr;
    EXPECT_EQ(h.ini->ReadString("f", "nTemp", ""), "13");
    const int64_t k = std::stoll(h.ini->ReadString("f", "KTemp", ""));
    EXPECT_TRUE(k > 39 && k < 2000) << k;
    ASSERT_TRUE(h.Continue());
    ASSERT_EQ(h.Finish(), SearchEventKind::TaskFinished);
    EXPECT_EQ(h.Results(), cleanOpen.Results());
    EXPECT_EQ(h.Log(), cleanOpen.Log());
    // The same task searched again from its start and continued after a stop in n = 13: n = 14 is
    // searched again, since what the log shows of it stands before the new header of n = 13.
    {
        Harness again("again");
        ASSERT_TRUE(again.Begin("n=13 to 14, k=1 to 2000"));
        ASSERT_EQ(again.Finish(), SearchEventKind::TaskFinished);
        again.onQueued = [&](const SearchEvent& e) {
            if (e.kind == SearchEventKind::DivisorFound) again.state.stopRequested = true;
        };
        ASSERT_TRUE(again.Begin("n=13 to 14, k=1 to 2000"));
        ASSERT_EQ(again.Finish(), SearchEventKind::Stopped);
        again.onQueued = nullptr;
        EXPECT_EQ(again.ini->ReadString("f", "nTemp", ""), "13");
        const int64_t stoppedAt = std::stoll(again.ini->ReadString("f", "KTemp", ""));
        EXPECT_TRUE(stoppedAt > 39 && stoppedAt < 2000) << stoppedAt;
        ASSERT_TRUE(again.Continue());
        ASSERT_EQ(again.Finish(), SearchEventKind::TaskFinished);
        const std::string log = cleanOpen.Log();
        EXPECT_EQ(again.Log(), log + log.substr(log.find("\r\n")));
        EXPECT_EQ(again.Results(), cleanOpen.Results() + cleanOpen.Results());
        EXPECT_EQ(again.JsonLines("divisor"), 6);
        EXPECT_EQ(again.JsonLines("exponent"), 4);
    }
}

// A stop right after a divisor whose next odd k reaches kMax: that position would begin the
// exponent afresh and a resume at the divisor would record it twice, so the thread finishes the
// exponent (a candidate or two) and stops before the next one. From k = 573 on, 973 is the 16th
// sieve survivor of n = 16, so it ends a batch of candidates: the stop meets the thread there.
TEST(Search, StopAtADivisorNextToKMaxFinishesTheExponent) {
    struct Row {
        const char* kMax;
        bool movedPast;      // the position went on to 975 once 973 was recorded
        const char* nSaved;  // the exponent of the position saved at the stop
    };
    for (const Row& r : {Row{"974", false, "17"}, Row{"973", false, "17"}, Row{"976", true, "16"}}) {
        SCOPED_TRACE(r.kMax);
        const std::string task = std::string("n=16 to 17, k=573 to ") + r.kMax;
        Harness clean("edge-clean");
        ASSERT_TRUE(clean.Begin(task));
        ASSERT_EQ(clean.Finish(), SearchEventKind::TaskFinished);
        ASSERT_EQ(clean.Results().find(Found(12, 973, 16)), 0u);
        Harness h("edge");
        int64_t afterRecord = 0;
        h.onQueued = [&](const SearchEvent& e) {
            if (e.kind == SearchEventKind::DivisorFound) h.state.stopRequested = true;
            if (e.kind == SearchEventKind::DivisorRecorded) afterRecord = h.state.kPosition.load();
        };
        ASSERT_TRUE(h.Begin(task));
        ASSERT_EQ(h.Finish(), SearchEventKind::Stopped);
        h.onQueued = nullptr;
        EXPECT_EQ(afterRecord, r.movedPast ? 975 : 973);
        EXPECT_EQ(h.ini->ReadString("f", "nTemp", ""), r.nSaved);
        if (r.movedPast) EXPECT_EQ(h.ini->ReadString("f", "KTemp", ""), "975");
        ASSERT_TRUE(h.Continue());
        ASSERT_EQ(h.Finish(), SearchEventKind::TaskFinished);
        EXPECT_EQ(h.Results(), clean.Results());
        EXPECT_EQ(h.Log(), clean.Log());
    }
}

// What the window saves while the thread runs: ResumePoint gives pairs that never go back (an
// exponent with another exponent's k would), and right after a divisor is recorded it is past it.
TEST(Search, ResumePointsWhileRunningBelongTogether) {
    for (uint32_t threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        Harness h("resume-points");
        h.session->SetThreads(threads);
        std::vector<std::pair<int64_t, int64_t>> atRecords;  // divisor, the position when its records are done
        int64_t lastFound = 0;
        h.onQueued = [&](const SearchEvent& e) {
            if (e.kind == SearchEventKind::DivisorFound) lastFound = e.k;
            if (e.kind == SearchEventKind::DivisorRecorded) atRecords.emplace_back(lastFound, h.state.kPosition.load());
        };
        std::atomic<bool> done{false};
        std::vector<std::pair<uint32_t, int64_t>> points;
        std::thread reader([&] {
            while (!done.load()) {
                uint32_t n = 0;
                int64_t k = 0;
                if (h.state.ResumePoint(n, k)) points.emplace_back(n, k);
            }
        });
        ASSERT_TRUE(h.Begin("n=8 to 40, k=1 to 100000"));
        EXPECT_EQ(h.Finish(), SearchEventKind::TaskFinished);
        done = true;
        reader.join();
        ASSERT_GT(points.size(), 100u);
        for (size_t i = 1; i < points.size(); ++i) {
            ASSERT_LE(points[i - 1], points[i]) << "at " << i;
            ASSERT_GE(points[i].second, 3);
            ASSERT_LT(points[i].second, 100000);
            ASSERT_GE(points[i].first, 8u);
            ASSERT_LE(points[i].first, 40u);
        }
        ASSERT_FALSE(atRecords.empty());
        for (auto [found, kTemp] : atRecords) EXPECT_EQ(kTemp, found + 2);
    }
}

TEST(Search, ExponentEndsAtTheFirstCandidateAtOrBeyondKMax) {
    const int64_t max = std::numeric_limits<int64_t>::max();
    struct Row { const char* kMin; const char* kMax; const char* kMinShown; };
    for (const Row& r : {Row{"1", "3000", "3"},
                         Row{"9223372036854700001", "9223372036854775807", "9223372036854700001"}}) {
        Harness h(std::string("kmax") + r.kMin);
        ASSERT_TRUE(h.Begin(std::string("n=60 to 61, k=") + r.kMin + " to " + r.kMax));
        ASSERT_EQ(h.Finish(), SearchEventKind::TaskFinished);
        EXPECT_GE(h.state.kPosition.load(), StrToK(r.kMax));
        EXPECT_LE(h.state.kPosition.load(), max);
        EXPECT_EQ(h.state.nCurrent.load(), 62u);
        const std::string log = h.Log();
        EXPECT_NE(log.find(std::string("n=61  k from ") + r.kMinShown), std::string::npos) << log;
        EXPECT_NE(log.find(std::string(" up to ") + r.kMax + ", CODO="), std::string::npos) << log;
    }
}

TEST(Search, StartRefusalsAndConversionErrors) {
    Harness h("refusals");
    struct Row { TaskTexts boxes; const char* error; };
    const Row rows[] = {
        {{"", "20", "1", "100"}, nullptr},
        {{"7", "20", "1", "100"}, nullptr},       // exponents below 8
        {{"50", "49", "1", "100"}, nullptr},      // reversed n
        {{"50", "50", "200", "100"}, nullptr},    // reversed k
        {{"5x", "50", "1", "100"}, "'5x' is not a valid integer value"},
        {{"50", "50", "e5", "100"}, "'e5' is not a valid floating point value"},
        {{"50", "50", "1", "1e19"}, "Invalid floating point operation"},
        // Beyond what the exponent boxes hold; a hand-edited settings file could still ask.
        {{"50", "100000", "1", "100"}, "The last exponent 100000 is too large: exponents go up to 99999"},
        {{"8", "2147483647", "1", "100"}, "The last exponent 2147483647 is too large: exponents go up to 99999"},
    };
    for (const Row& r : rows) {
        h.session->SetTaskTexts(r.boxes);
        const StartOutcome out = h.session->Continue();
        EXPECT_FALSE(out.started);
        EXPECT_EQ(out.message, r.error ? r.error : "");
        EXPECT_FALSE(h.session->searching());
    }
    // While a search runs, a second start is refused; once it is told to stop, a start waits
    // for it and then runs alone.
    ASSERT_TRUE(h.Begin("n=40 to 40, k=1 to 1e15"));
    EXPECT_FALSE(h.Continue());
    h.state.stopRequested = true;
    ASSERT_TRUE(h.Continue());
    h.state.stopRequested = true;
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
            for (int64_t v : {h.state.kPosition.load(), h.state.kLow.load(), h.state.kHigh.load()})
                sum += static_cast<uint64_t>(v);
            sum += h.state.nCurrent.load() + h.state.nLast.load() + h.state.limbCount.load() + h.state.primeCount.load();
            uint32_t n = 0;
            int64_t k = 0;
            if (h.state.ResumePoint(n, k)) sum += n;
        }
        volatile uint64_t kept = sum;  // the reads must not be optimised away
        (void)kept;
    });
    ASSERT_TRUE(h.Begin("n=30 to 40, k=1 to 1e12"));
    for (int i = 0; i < 20; ++i) {
        h.session->SetThreads(1 + i % 3);  // the next start runs on one to three cores
        std::this_thread::sleep_for(5ms);
        h.state.stopRequested = true;
        ASSERT_EQ(h.Finish(), SearchEventKind::Stopped);
        ASSERT_TRUE(h.Continue());
    }
    h.state.stopRequested = true;
    h.Finish();
    done = true;
    reader.join();
}

}  // namespace
}  // namespace vontal
