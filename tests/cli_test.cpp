// The headless front end as its users run it: real processes in a temporary directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <random>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "DivisorLines.h"
#include "SearchClock.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct CliRun {
    int status = -1;   // exit status, or 128 + signal
    std::string out, err;
};

// What a process meets on the machine: a file-size limit (writes beyond it fail with EFBIG, as on
// a full disk, and for root too), and an ordinary user's rights instead of root's, under which a
// directory without write permission really refuses writes.
struct Conditions {
    rlim_t fileSizeLimit = RLIM_INFINITY;
    bool unprivileged = false;
};

constexpr uid_t kNobody = 65534;

// The settings file of tests that need the search to move: the thread keeps the test's own
// priority. At the default, idle, it gets no processor at all for long stretches on a busy
// machine (a CI run with its tests side by side).
const std::string kTestPriority = "[f]\r\nPriority=-1\r\n";

// Whether every folder from the root down to `p` may be entered by any user.
bool ReachableByAnyone(const fs::path& p) {
    for (fs::path at = fs::absolute(p); ; at = at.parent_path()) {
        struct stat st {};
        if (stat(at.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) return false;
        if (at == at.root_path()) return true;
    }
}

using vontal::testing::Divisors;

// The end-of-exponent records of a log in order, each with the exponent of the header before it
// and without the date.
std::vector<std::string> EndRecords(const std::string& log) {
    std::vector<std::string> ends;
    static const std::regex record("n=([0-9]+)  k from|( up to [^,]*, CODO=[0-9A-F]+), Date/Time:");
    std::string n = "?";
    for (auto it = std::sregex_iterator(log.begin(), log.end(), record); it != std::sregex_iterator(); ++it) {
        if ((*it)[1].matched) n = (*it)[1].str();
        else ends.push_back("n=" + n + (*it)[2].str());
    }
    return ends;
}

// The local times of a log's end-of-exponent records, in order.
std::vector<std::time_t> EndRecordTimes(const std::string& log) {
    std::vector<std::time_t> times;
    static const std::regex date(", Date/Time:([0-9]{4})-([0-9]{2})-([0-9]{2})(?: ([0-9]{2}):([0-9]{2}):([0-9]{2}))?");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), date); it != std::sregex_iterator(); ++it) {
        std::tm tm{};
        tm.tm_year = std::stoi((*it)[1]) - 1900, tm.tm_mon = std::stoi((*it)[2]) - 1, tm.tm_mday = std::stoi((*it)[3]);
        if ((*it)[4].matched) tm.tm_hour = std::stoi((*it)[4]), tm.tm_min = std::stoi((*it)[5]), tm.tm_sec = std::stoi((*it)[6]);
        tm.tm_isdst = -1;
        times.push_back(std::mktime(&tm));
    }
    return times;
}

// What a results.jsonl says, in the records' own words: its divisors as Divisors gives them and
// its finished exponents as EndRecords does (the last k quoted as a number, which the tests type
// so), with their times. Every line must be whole and valid JSON, its large numbers strings, and
// a divisor's digits k·2^n + 1.
struct JsonRecords {
    std::vector<std::string> divisors, ends;
    std::vector<std::time_t> endTimes;
    std::vector<nlohmann::json> exponents;
};
JsonRecords ReadJsonRecords(const std::string& text) {
    JsonRecords got;
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "a line without its line end";
    EXPECT_EQ(text.find('\r'), std::string::npos);
    std::istringstream lines(text);
    static const std::regex digits("[0-9]+"), utc("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_object()) {
            ADD_FAILURE() << "not JSON: " << line;
            continue;
        }
        const std::string time = j.value("time", "");
        EXPECT_TRUE(std::regex_match(time, utc)) << line;
        EXPECT_EQ(j.value("version", ""), "4.4") << line;
        EXPECT_FALSE(j.value("kernel", "").empty()) << line;
        std::tm tm{};
        strptime(time.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
        if (j.value("type", "") == "divisor") {
            const std::string k = j.value("k", ""), divisor = j.value("divisor", "");
            const unsigned n = j.value("n", 0u), m = j.value("m", 0u);
            EXPECT_TRUE(std::regex_match(k, digits) && std::regex_match(divisor, digits)) << line;
            if (n < 64) {  // the tasks here: k·2^n + 1 fits in 128 bits
                unsigned __int128 p = (static_cast<unsigned __int128>(std::stoull(k)) << n) + 1;
                std::string decimal;
                for (; p != 0; p /= 10) decimal.insert(decimal.begin(), static_cast<char>('0' + static_cast<int>(p % 10)));
                EXPECT_EQ(divisor, decimal) << line;
            }
            got.divisors.push_back(k + ".2^" + std::to_string(n) + "+1 divides F_" + std::to_string(m));
        } else if (j.value("type", "") == "exponent") {
            EXPECT_TRUE(std::regex_match(j.value("k_from", ""), digits) && std::regex_match(j.value("k_to", ""), digits)) << line;
            got.ends.push_back("n=" + std::to_string(j.value("n", 0u)) + " up to " + j.value("k_to", "") + ", CODO=" +
                               j.value("check", ""));
            got.endTimes.push_back(timegm(&tm));
            got.exponents.push_back(j);
        } else {
            ADD_FAILURE() << "neither a divisor nor an exponent: " << line;
        }
    }
    return got;
}

// Whether `got` is `clean` with some records written again: a run killed after writing records
// but before saving a position past them writes them again when it is continued. Such a repeat
// goes back over the last few records only (those written while the save that follows them was
// still under way), never skips one, and never brings back an older one. Counts the repeats.
bool CleanWithRepeatedTails(const std::vector<std::string>& got, const std::vector<std::string>& clean, int& repeats) {
    constexpr size_t kReach = 4;
    size_t next = 0;
    repeats = 0;
    for (const std::string& record : got) {
        if (next < clean.size() && record == clean[next]) {
            ++next;
            continue;
        }
        size_t back = 1;
        while (back <= kReach && back <= next && clean[next - back] != record) ++back;
        if (back > kReach || back > next) return false;
        next = next - back + 1;
        ++repeats;
    }
    return next == clean.size();
}

class CliTest : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        // One directory per test and process, so that runs from several checkouts never meet.
        dir = fs::temp_directory_path() /
              ("vontal-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
               std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        setenv("VONTAL_CPU_MHZ", "2400", 1);
    }
    void TearDown() override {
        // A failed assertion can leave a front end running: it must not outlive its test.
        for (pid_t pid : live_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir);
        fs::remove_all(dir.string() + ".bin", ec);
    }
    std::vector<pid_t> live_;

    // The program where an ordinary user can run it: the build folder may lie under a private
    // home directory, out of that user's reach, so a copy is made beside the test's directory.
    std::string ReachableProgram() {
        const fs::path copy = fs::path(dir.string() + ".bin") / "vontal-cli";
        if (!fs::exists(copy)) {
            fs::create_directories(copy.parent_path());
            fs::copy_file(VONTAL_CLI, copy);
            for (const fs::path& p : {copy.parent_path(), copy})
                fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
        }
        EXPECT_TRUE(ReachableByAnyone(copy) && ReachableByAnyone(dir))
            << dir.parent_path() << " must be reachable by every user (set TMPDIR to such a folder)";
        return copy.string();
    }

    // Starts vontal-cli with its output in files; returns the process id.
    pid_t Start(std::vector<std::string> args, const Conditions& conditions = {}) {
        const std::string program = conditions.unprivileged ? ReachableProgram() : std::string(VONTAL_CLI);
        args.insert(args.begin(), {program, "--dir", dir.string()});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string out = dir.string() + ".out", err = dir.string() + ".err";
        pid_t pid = 0;
        if (conditions.fileSizeLimit == RLIM_INFINITY && !conditions.unprivileged) {
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            EXPECT_EQ(posix_spawn(&pid, VONTAL_CLI, &actions, nullptr, argv.data(), environ), 0);
            posix_spawn_file_actions_destroy(&actions);
        } else {
            // Only async-signal-safe calls between fork and exec.
            const bool root = geteuid() == 0;
            pid = fork();
            if (pid == 0) {
                const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(126);
                signal(SIGXFSZ, SIG_IGN);  // a write beyond the limit then fails with EFBIG
                const rlimit limit{conditions.fileSizeLimit, conditions.fileSizeLimit};
                if (conditions.fileSizeLimit != RLIM_INFINITY && setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
                if (conditions.unprivileged && root &&
                    (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
                    _exit(126);
                execve(program.c_str(), argv.data(), environ);
                static const char cannot[] = "cli_test: the program cannot be run in these conditions\n";
                [[maybe_unused]] const ssize_t told = write(2, cannot, sizeof cannot - 1);
                _exit(127);
            }
            EXPECT_GT(pid, 0);
        }
        live_.push_back(pid);
        return pid;
    }
    CliRun Wait(pid_t pid, std::chrono::seconds limit = 120s) {
        CliRun r;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int st = 0;
        while (waitpid(pid, &st, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &st, 0);
                ADD_FAILURE() << "vontal-cli did not end";
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        live_.erase(std::remove(live_.begin(), live_.end(), pid), live_.end());
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        r.out = ReadFile(dir.string() + ".out");
        r.err = ReadFile(dir.string() + ".err");
        fs::remove(dir.string() + ".out");
        fs::remove(dir.string() + ".err");
        return r;
    }
    CliRun RunCli(std::vector<std::string> args, const Conditions& conditions = {}) {
        return Wait(Start(std::move(args), conditions));
    }
    // Runs `program` with exactly these arguments (no --dir of the test's) and the environment
    // changed as given (nullopt unsets a variable).
    using EnvironmentChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;
    CliRun RunWith(const std::string& program, std::vector<std::string> args, const EnvironmentChanges& changes) {
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const bool changed = std::any_of(changes.begin(), changes.end(), [&](const auto& c) {
                return entry.compare(0, c.first.size() + 1, c.first + "=") == 0;
            });
            if (!changed) env.push_back(entry);
        }
        for (const auto& [name, value] : changes)
            if (value) env.push_back(name + "=" + *value);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string out = dir.string() + ".out", err = dir.string() + ".err";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        live_.push_back(pid);
        return Wait(pid);
    }
    // Empties the test's directory for a fresh case.
    void Reset() {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void WriteTo(const char* name, const std::string& content) const {
        std::ofstream(dir / name, std::ios::binary | std::ios::trunc) << content;
    }
    // The value of a key as the settings file holds it, or "(none)".
    std::string IniValue(const std::string& key) const {
        std::smatch m;
        const std::string ini = ReadFile(dir / "Vontal.ini");
        return std::regex_search(ini, m, std::regex("(^|\n)" + key + "=([^\r\n]*)")) ? m[2].str() : "(none)";
    }
    // Waits (up to a minute) until the condition holds; false if it never does.
    template <typename Condition>
    static bool WaitFor(Condition condition) {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    std::string Log() const {
        return std::regex_replace(ReadFile(dir / "Vontal.log"), std::regex("Date/Time:[^\r]*"), "Date/Time:");
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(CliTest, BadInputIsRefusedAndChangesNothing) {
    struct Row { std::vector<std::string> args; const char* names; };
    const Row rows[] = {
        {{"--task", "n=8 to 20"}, "n=8 to 20"},
        {{"--task", "nonsense"}, "nonsense"},
        {{"--task", "n=7 to 20, k=1 to 100"}, "at least 8"},
        {{"--task", "n=20 to 8, k=1 to 100"}, "below the first"},
        {{"--task", "n=8 to 20, k=100 to 1"}, "below the lowest"},
        {{"--task", "n=8 to 20, k=1 to 1e19"}, "Invalid floating point operation"},
        {{"--task", "n=8 to 20, k=1 to 9223372036854775808"}, "Invalid floating point operation"},
        {{"--task", "n=8x to 20, k=1 to 100"}, "'8x' is not a valid integer value"},
        {{"--task", "n=8 to 20, k=e5 to 100"}, "'e5' is not a valid floating point value"},
        {{"--frobnicate"}, "--frobnicate"},
        {{"--threads", "0", "--task", "n=8 to 20, k=1 to 100"}, "bad thread count '0'"},
        {{"--save-every", "0", "--task", "n=8 to 20, k=1 to 100"}, "bad save interval '0'"},
        // Exponents beyond what the exponent boxes hold: the test would reserve gigabytes.
        {{"--task", "n=8 to 100000, k=1 to 100"}, "the last exponent must be at most 99999"},
        {{"--task", "n=2147483640 to 2147483647, k=1 to 100"}, "at most 99999"},
    };
    for (const Row& r : rows) {
        const CliRun run = RunCli(r.args);
        EXPECT_EQ(run.status, 2) << r.names;
        EXPECT_NE(run.err.find(r.names), std::string::npos) << run.err;
        EXPECT_TRUE(Files().empty()) << r.names;
    }
}

// The kernel: named as the program starts and in --version; one that VONTAL_KERNEL asks for
// and this machine cannot use (or that does not exist) is refused, never replaced.
TEST_F(CliTest, KernelIsNamedAndAnUnusableChoiceRefused) {
    const CliRun version = RunCli({"--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out.rfind("vontal-cli 4.4 (kernel ", 0), 0u) << version.out;
    for (const char* choice : {"portable", "no-avx512"}) {
        setenv("VONTAL_KERNEL", choice, 1);
        const CliRun run = RunCli({"--version"});
        unsetenv("VONTAL_KERNEL");
        EXPECT_EQ(run.status, 0) << run.err;
        if (std::string(choice) == "portable") EXPECT_EQ(run.out, "vontal-cli 4.4 (kernel portable)\n");
        EXPECT_EQ(run.out.find("avx512"), std::string::npos) << choice << ": " << run.out;
    }
    for (const char* bad : {"frobnicate", "AVX2 "}) {
        setenv("VONTAL_KERNEL", bad, 1);
        const CliRun run = RunCli({"--task", "n=8 to 9, k=1 to 100"});
        const CliRun asked = RunCli({"--version"});
        unsetenv("VONTAL_KERNEL");
        EXPECT_EQ(run.status, 2) << bad;
        EXPECT_EQ(asked.status, 2) << bad;
        EXPECT_NE(run.err.find(std::string("VONTAL_KERNEL=") + bad), std::string::npos) << run.err;
        EXPECT_TRUE(Files().empty()) << bad;
    }
    WriteTo("Vontal.ini", kTestPriority);
    const CliRun run = RunCli({"--task", "n=8 to 9, k=1 to 100"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.rfind("vontal-cli: kernel ", 0), 0u) << run.err;
}

TEST_F(CliTest, SmallTaskReportsThePublishedDivisors) {
    WriteTo("Vontal.ini", kTestPriority);
    // A results.jsonl from before whose last line a power failure cut short: the whole line
    // stays, the cut one goes, and the new lines follow.
    const std::string earlier = R"({"type":"divisor","m":12,"k":"7","n":14,"divisor":"114689","time":"2026-01-01T00:00:00Z","version":"4.4","kernel":"portable"})" "\n";
    WriteTo("results.jsonl", earlier + R"({"type":"exponent","n":14,"k_fr)");
    const CliRun run = RunCli({"--task", "n=8 to 20, k=1 to 2000"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "found m=6,  k=1071,  n=8\n1071.2^8+1 divides F_6\n"
              "found m=11,  k=39,  n=13\n39.2^13+1 divides F_11\n"
              "found m=11,  k=119,  n=13\n119.2^13+1 divides F_11\n"
              "found m=12,  k=7,  n=14\n7.2^14+1 divides F_12\n"
              "found m=9,  k=37,  n=16\n37.2^16+1 divides F_9\n"
              "found m=12,  k=397,  n=16\n397.2^16+1 divides F_12\n"
              "found m=12,  k=973,  n=16\n973.2^16+1 divides F_12\n"
              "found m=16,  k=1575,  n=19\n1575.2^19+1 divides F_16\n"
              "found m=18,  k=13,  n=20\n13.2^20+1 divides F_18\n");
    EXPECT_EQ(Files(), (std::vector<std::string>{"Result.txt", "Vontal.ini", "Vontal.lock", "Vontal.log", "results.jsonl"}));
    EXPECT_EQ(ReadFile(dir / "Vontal.log").rfind("Model ", 0), 0u);
    // results.jsonl says what the records say: every divisor, every exponent closed with its
    // check value and at the log's time, and each exponent's count of candidates from its first k.
    const std::string jsonl = ReadFile(dir / "results.jsonl");
    ASSERT_EQ(jsonl.rfind(earlier, 0), 0u) << jsonl;
    const JsonRecords json = ReadJsonRecords(jsonl.substr(earlier.size()));
    EXPECT_EQ(json.divisors, Divisors(ReadFile(dir / "Result.txt")));
    EXPECT_EQ(json.ends, EndRecords(ReadFile(dir / "Vontal.log")));
    EXPECT_EQ(json.endTimes, EndRecordTimes(ReadFile(dir / "Vontal.log")));
    ASSERT_EQ(json.exponents.size(), 13u);
    for (const nlohmann::json& e : json.exponents) {
        EXPECT_EQ(e["k_from"], "3");
        EXPECT_EQ(e["tested_from"], "3");
        EXPECT_GT(std::stoll(e["tested"].get<std::string>()), 50) << e;  // about 1000 odd k, a sieve's survivors
    }
    const std::string ini = ReadFile(dir / "Vontal.ini");
    EXPECT_NE(ini.find("nTemp=21\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("nMin=8\r\n"), std::string::npos) << ini;
    // Nothing left: a second run has nothing to do.
    const CliRun again = RunCli({});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.err.find("nothing to do"), std::string::npos) << again.err;
}

// A kernel variant that fails its start-up self-test is named on stderr and in the log, and the
// search goes on with another.
TEST_F(CliTest, KernelSelfTestFailureIsReportedAndLogged) {
    setenv("VONTAL_KERNEL_SELFTEST_FAIL", "portable", 1);
    WriteTo("Vontal.ini", kTestPriority);
    const CliRun run = RunCli({"--task", "n=14 to 14, k=1 to 100"});
    unsetenv("VONTAL_KERNEL_SELFTEST_FAIL");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("kernel portable failed its self-test"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "found m=12,  k=7,  n=14\n7.2^14+1 divides F_12\n");
    const std::string log = ReadFile(dir / "Vontal.log");
    EXPECT_EQ(log.rfind("Model ", 0), 0u) << log;
    EXPECT_NE(log.find("\r\nkernel portable failed its self-test"), std::string::npos) << log;
}

TEST_F(CliTest, SeveralThreadsReportTheSameDivisors) {
    WriteTo("Vontal.ini", kTestPriority);
    const CliRun run = RunCli({"--threads", "2", "--task", "n=13 to 16, k=1 to 2000"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "found m=11,  k=39,  n=13\n39.2^13+1 divides F_11\n"
              "found m=11,  k=119,  n=13\n119.2^13+1 divides F_11\n"
              "found m=12,  k=7,  n=14\n7.2^14+1 divides F_12\n"
              "found m=9,  k=37,  n=16\n37.2^16+1 divides F_9\n"
              "found m=12,  k=397,  n=16\n397.2^16+1 divides F_12\n"
              "found m=12,  k=973,  n=16\n973.2^16+1 divides F_12\n");
}

TEST_F(CliTest, FollowOnTasksAreTakenInTurn) {
    std::ofstream(dir / "Vontal.ini", std::ios::binary)
        << kTestPriority << "[Following tasks]\r\nTask 1=\r\nTask 2=n=14 to 14, k=1 to 100, Days 0\r\nTask 3=n=13 to 13, k=1 to 200\r\n";
    const CliRun run = RunCli({});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "found m=12,  k=7,  n=14\n7.2^14+1 divides F_12\n"
                       "found m=11,  k=39,  n=13\n39.2^13+1 divides F_11\n"
                       "found m=11,  k=119,  n=13\n119.2^13+1 divides F_11\n");
    const std::string ini = ReadFile(dir / "Vontal.ini");
    EXPECT_NE(ini.find("Task 2=\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("Task 3=\r\n"), std::string::npos) << ini;
}

// Stopped by SIGTERM and SIGINT over and over, continued each time: the same divisors and log
// lines as one run, the position saved at every stop.
TEST_F(CliTest, SignalsSaveThePositionAndContinuingLosesNothing) {
    const std::string task = "n=21 to 23, k=1 to 100000000";
    WriteTo("Vontal.ini", kTestPriority);
    const CliRun cleanRun = RunCli({"--task", task});
    ASSERT_EQ(cleanRun.status, 0) << cleanRun.err;
    const std::string cleanResults = ReadFile(dir / "Result.txt"), cleanLog = Log();
    ASSERT_NE(cleanResults.find("534689.2^23+1"), std::string::npos);
    Reset();
    WriteTo("Vontal.ini", kTestPriority);

    pid_t pid = Start({"--task", task});
    int stops = 0;
    for (int round = 0; round < 40; ++round) {
        // Each run searches 150 to 298 ms of processor time before its signal (the signal
        // handlers are in place before the search begins), however busy the machine is.
        ASSERT_TRUE(vontal::testing::WaitUntilSearched(pid, std::chrono::milliseconds(150 + 37 * (round % 5))));
        if (kill(pid, round % 2 ? SIGINT : SIGTERM) != 0) break;  // already finished
        const CliRun r = Wait(pid);
        if (r.status == 0) break;
        ASSERT_EQ(r.status, 128 + (round % 2 ? SIGINT : SIGTERM)) << "err: " << r.err << "out: " << r.out << "ini: " << ReadFile(dir / "Vontal.ini") << "round " << round;
        EXPECT_NE(r.err.find("position saved"), std::string::npos) << r.err;
        ++stops;
        pid = Start({});
    }
    Wait(pid);
    EXPECT_GE(stops, 2);
    EXPECT_EQ(ReadFile(dir / "Result.txt"), cleanResults);
    EXPECT_EQ(Log(), cleanLog);
}


// Processor time (user and system) of the child processes waited for so far, in seconds.
double ChildrenCpuSeconds() {
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Killed with SIGKILL at random moments, over and over, and continued each time (without --task):
// the settings file is whole after every kill, every divisor of an uninterrupted run is there and
// none but the last few before a kill twice, and the log closes the same exponents with the same
// check values.
TEST_F(CliTest, KilledAtRandomMomentsAndContinuedLosesNothing) {
    const std::string task = "n=8 to 30, k=1 to 10000000";  // 19 divisors over 23 exponents
    const std::string settings = "[f]\r\nPriority=3\r\n";
    WriteTo("Vontal.ini", settings);
    // The lives below are planned on the processor time the uninterrupted run took, and each is
    // measured in the processor time the program got: a plan by the wall clock falls apart when
    // the machine's load changes after the clean run (lives then end before the program could
    // finish an exponent, and the task never ends).
    const double cpuBefore = ChildrenCpuSeconds();
    ASSERT_EQ(RunCli({"--task", task}).status, 0);
    const double cleanCpu = ChildrenCpuSeconds() - cpuBefore;
    const std::string cleanResults = ReadFile(dir / "Result.txt"), cleanLog = ReadFile(dir / "Vontal.log");
    const std::string cleanJsonl = ReadFile(dir / "results.jsonl");
    ASSERT_EQ(Divisors(cleanResults).size(), 19u);
    ASSERT_EQ(EndRecords(cleanLog).size(), 23u);
    Reset();
    WriteTo("Vontal.ini", settings);

    // The share of the task done, by the stored exponent (the dearer exponents weigh more).
    auto doneShare = [&] {
        const int n = std::atoi(IniValue("nTemp").c_str());
        double done = 0, all = 0;
        for (int e = 8; e <= 30; ++e) {
            all += e;
            if (e < n) done += e;
        }
        return done / all;
    };
    // Lives until the program has had `cpuSeconds` of processor time, or has ended.
    auto liveFor = [](pid_t pid, double cpuSeconds) {
        const auto limit = std::chrono::steady_clock::now() + 120s;
        while (vontal::testing::ProcessCpuNs(pid) < static_cast<int64_t>(cpuSeconds * 1e9) &&
               !vontal::testing::ProcessEnded(pid) && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(200us);
    };
    const unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    // Enough kills to fall all over the task, at start-up, in saves, between exponents and among
    // divisors; past the last one the program runs to the end, so the test always ends.
    constexpr int kWanted = 70, kMost = 250;
    int kills = 0;
    bool begun = false;
    pid_t pid = Start({"--save-every", "0.05", "--task", task});
    for (; kills < kMost; ++kills) {
        // Lives last on average the processor time left over the kills still wanted.
        const double mean = std::max(0.002, cleanCpu * (1 - doneShare()) / std::max(1, kWanted - kills));
        liveFor(pid, std::uniform_real_distribution<>(0, 2 * mean)(rng));
        kill(pid, SIGKILL);
        const CliRun run = Wait(pid);
        if (run.status == 0) break;  // finished before the kill
        ASSERT_EQ(run.status, 128 + SIGKILL) << run.err;
        // Whole after every kill: the task keys are there once the task has begun, and they read.
        if (!begun) begun = IniValue("nMax") != "(none)";
        if (begun) {
            for (const char* key : {"nTemp", "nMax", "kMin", "kMax", "KTemp"})
                ASSERT_NE(IniValue(key), "(none)") << key << " after kill " << kills + 1 << ":\n" << ReadFile(dir / "Vontal.ini");
            EXPECT_EQ(IniValue("nMax"), "30");
            EXPECT_EQ(IniValue("kMax"), "10000000");
        }
        pid = begun ? Start({"--save-every", "0.05"}) : Start({"--save-every", "0.05", "--task", task});
    }
    if (kills == kMost) ASSERT_EQ(Wait(pid).status, 0);
    EXPECT_GE(kills, 50);
    EXPECT_EQ(IniValue("nTemp"), "31");

    int repeats = 0, logRepeats = 0;
    const std::string results = ReadFile(dir / "Result.txt"), log = ReadFile(dir / "Vontal.log");
    EXPECT_TRUE(CleanWithRepeatedTails(Divisors(results), Divisors(cleanResults), repeats)) << results;
    EXPECT_LE(repeats, kills);
    EXPECT_TRUE(CleanWithRepeatedTails(Divisors(log), Divisors(cleanLog), logRepeats)) << log;
    EXPECT_LE(logRepeats, kills);
    EXPECT_EQ(EndRecords(log), EndRecords(cleanLog)) << log;
    // results.jsonl: whole lines of valid JSON; every divisor of Result.txt there, as often as
    // there or less (it is written after the records), in the order of an uninterrupted run; the
    // exponents closed exactly as the log closes them, at the log's times.
    const JsonRecords cleanJson = ReadJsonRecords(cleanJsonl);
    EXPECT_EQ(cleanJson.divisors, Divisors(cleanResults));
    EXPECT_EQ(cleanJson.ends, EndRecords(cleanLog));
    const std::string jsonl = ReadFile(dir / "results.jsonl");
    const JsonRecords json = ReadJsonRecords(jsonl);
    int jsonRepeats = 0;
    EXPECT_TRUE(CleanWithRepeatedTails(json.divisors, Divisors(cleanResults), jsonRepeats)) << jsonl;
    const std::vector<std::string> resultDivisors = Divisors(results);
    for (const std::string& d : Divisors(cleanResults)) {
        const auto inJson = std::count(json.divisors.begin(), json.divisors.end(), d);
        EXPECT_GE(inJson, 1) << d;
        EXPECT_LE(inJson, std::count(resultDivisors.begin(), resultDivisors.end(), d)) << d;
    }
    EXPECT_EQ(json.ends, EndRecords(log)) << jsonl;
    EXPECT_EQ(json.endTimes, EndRecordTimes(log)) << jsonl;
    // Temporary files of saves cut short by a kill are cleared away by the next run.
    for (const std::string& name : Files()) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    std::cerr << "[          ] " << kills << " kills; divisors written again: " << repeats << " in Result.txt, "
              << logRepeats << " in the log, " << jsonRepeats << " in results.jsonl; clean run " << cleanCpu
              << " s of processor time\n";
}

// The position is saved as soon as a divisor is on disk, already past it, and as soon as an
// exponent is finished; a kill right after either loses nothing and repeats nothing.
TEST_F(CliTest, DivisorsAndFinishedExponentsAreSavedAtOnce) {
    WriteTo("Vontal.ini", "[f]\r\nPriority=3\r\n");
    // n = 13 holds 39 and 119 at its start, then searches on for a while; no periodic save.
    pid_t pid = Start({"--save-every", "100000", "--task", "n=13 to 14, k=1 to 300000000"});
    ASSERT_TRUE(WaitFor([&] { return Divisors(ReadFile(dir / "Result.txt")).size() >= 2; }));
    ASSERT_TRUE(WaitFor([&] { return std::atoll(IniValue("KTemp").c_str()) > 119; })) << ReadFile(dir / "Vontal.ini");
    EXPECT_EQ(IniValue("nTemp"), "13");
    kill(pid, SIGKILL);
    Wait(pid);
    // Continued: n = 13 is finished, then 7 is found at once in n = 14.
    pid = Start({"--save-every", "100000"});
    ASSERT_TRUE(WaitFor([&] { return IniValue("nTemp") == "14" && std::atoll(IniValue("KTemp").c_str()) > 7; }))
        << ReadFile(dir / "Vontal.ini");
    kill(pid, SIGKILL);
    Wait(pid);
    const std::string log = ReadFile(dir / "Vontal.log");
    EXPECT_EQ(EndRecords(log).size(), 1u) << log;
    // Continued once more: neither n = 13 nor 7 comes again (in 300 ms of searching).
    pid = Start({"--save-every", "100000"});
    ASSERT_TRUE(vontal::testing::WaitUntilSearched(pid, 300ms));
    kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid).status, 128 + SIGTERM);
    // (Divisors of n = 14 found after 7 may come twice: the kill may fall before their saves.)
    const std::vector<std::string> found = Divisors(ReadFile(dir / "Result.txt"));
    ASSERT_GE(found.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(found.begin(), found.begin() + 3),
              (std::vector<std::string>{"39.2^13+1 divides F_11", "119.2^13+1 divides F_11", "7.2^14+1 divides F_12"}));
    for (const char* once : {"39.2^13+1", "119.2^13+1", "7.2^14+1"})
        EXPECT_EQ(std::count_if(found.begin(), found.end(), [&](const std::string& d) { return d.rfind(once, 0) == 0; }), 1)
            << once;
    EXPECT_EQ(EndRecords(ReadFile(dir / "Vontal.log")).size(), 1u);
}

// One front end per directory: a second one is refused while the first runs, and the lock goes
// with the first when it is killed.
TEST_F(CliTest, ASecondFrontEndIsRefusedUntilTheFirstIsGone) {
    WriteTo("Vontal.ini", kTestPriority);  // each stop waits for the thread, which must get the processor
    const pid_t first = Start({"--task", "n=40 to 40, k=1 to 1e15"});
    ASSERT_TRUE(WaitFor([&] { return ReadFile(dir / "Vontal.lock") == std::to_string(first) + "\n"; }));
    ASSERT_TRUE(WaitFor([&] { return IniValue("nMax") == "40"; }));
    // Held still (and the lock with it), so that every change to the files would be the second's.
    kill(first, SIGSTOP);
    // The signal takes effect a moment later (the process may be running on another core): the
    // files are read once it has.
    ASSERT_TRUE(WaitFor([&] { return vontal::testing::ProcessState(first) == 'T'; }));
    const std::string settings = ReadFile(dir / "Vontal.ini"), results = ReadFile(dir / "Result.txt");
    const std::vector<std::string> files = Files();
    // Run through a pipe: Start's output files belong to the first one.
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--task", "n=8 to 20, k=1 to 2000"}}) {
        std::vector<std::string> all = {VONTAL_CLI, "--dir", dir.string()};
        all.insert(all.end(), args.begin(), args.end());
        std::string command;
        for (const auto& a : all) command += "'" + a + "' ";
        FILE* p = popen((command + "2>&1").c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buffer[256];
        while (fgets(buffer, sizeof buffer, p)) out += buffer;
        const int status = pclose(p);
        EXPECT_EQ(WEXITSTATUS(status), 2) << out;
        EXPECT_NE(out.find("another Vontal program (process " + std::to_string(first) + ") is working in " + dir.string()),
                  std::string::npos) << out;
        EXPECT_EQ(ReadFile(dir / "Vontal.ini"), settings);
        EXPECT_EQ(ReadFile(dir / "Result.txt"), results);
        EXPECT_EQ(Files(), files);
    }
    kill(first, SIGKILL);
    Wait(first);
    const pid_t next = Start({});
    ASSERT_TRUE(WaitFor([&] { return ReadFile(dir / "Vontal.lock") == std::to_string(next) + "\n"; }));
    kill(next, SIGTERM);
    const CliRun run = Wait(next);
    EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
    EXPECT_NE(run.err.find("position saved"), std::string::npos) << run.err;
}


// Writes that fail: a full disk (a file-size limit, which holds for root too: writes beyond it fail
// with EFBIG) at each record, at each line of results.jsonl and at the settings file, and a
// directory the program may not write
// to (run as an ordinary user, since root may write anywhere). The search stops with the reason,
// at a position from which a run without --task tests the unrecorded candidate again; no record
// is left half written, the settings file is the old one or a whole new one, and the continued run
// completes the records as an uninterrupted run writes them.
TEST_F(CliTest, WriteFailuresStopTheSearchWithoutLoss) {
    const std::string task14 = kTestPriority + "nMin=14\r\nnTemp=14\r\nnMax=14\r\nkMin=1\r\nkMax=100\r\nKTemp=0\r\n";
    const std::string task15 = kTestPriority + "nMin=15\r\nnTemp=15\r\nnMax=15\r\nkMin=1\r\nkMax=100\r\nKTemp=0\r\n";  // no divisor
    auto clean = [&](const std::string& ini) {
        Reset();
        WriteTo("Vontal.ini", ini);
        EXPECT_EQ(RunCli({}).status, 0);
        return std::make_pair(ReadFile(dir / "Result.txt"), ReadFile(dir / "Vontal.log"));
    };
    const auto [clean14Results, clean14Log] = clean(task14);
    const auto [clean15Results, clean15Log] = clean(task15);
    ASSERT_EQ(clean14Results, "\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12\r\n");
    // What a continued run appends to a log that already exists: all but the model record.
    const std::string after14 = clean14Log.substr(clean14Log.find("\r\n")), after15 = clean15Log.substr(clean15Log.find("\r\n"));
    const std::string header = "\r\nn=14  k from 3";  // the same length for n = 15

    constexpr rlim_t kLimit = 4096;
    enum class Fault { FileSize, ReadOnlyDirectory };
    struct Row {
        const char* what;
        const std::string* ini;
        Fault fault;
        const char* filled;  // a file brought to `size` bytes beforehand
        size_t size;
        std::string written;     // what the failing run adds to it: whole records only
        const char* message;     // in the error output
        const char* savedKTemp;  // the position stored afterwards; "inside" for one inside the range
        std::string results, log;  // after the continued run, beside what was filled in
        // results.jsonl's exponent line gives the count of candidates tested: not when the run
        // that finished the exponent ended before it could write the line.
        bool countKnown = true;
    };
    const std::string found7 = clean14Results;
    // The divisor recorded twice: the run that failed did not get past it.
    const std::string twice14Log = clean14Log.substr(0, clean14Log.find(found7)) + found7 + clean14Log.substr(clean14Log.find(found7));
    const Row rows[] = {
        {"divisor, Result.txt full", &task14, Fault::FileSize, "Result.txt", kLimit, "", "Result.txt: File too large", "7",
         found7, clean14Log},
        {"header, log full", &task14, Fault::FileSize, "Vontal.log", kLimit, "", "Vontal.log: File too large", "0", found7,
         after14},
        // Result.txt has it, the log has not: the continued run writes it to both again.
        {"divisor, log full", &task14, Fault::FileSize, "Vontal.log", kLimit - header.size() - 10, header,
         "Vontal.log: File too large", "7", found7 + found7, after14.substr(header.size())},
        {"end record, log full", &task15, Fault::FileSize, "Vontal.log", kLimit - header.size() - 10,
         "\r\nn=15  k from 3", "Vontal.log: File too large", "inside", "", after15.substr(header.size())},
        {"read-only directory", &task14, Fault::ReadOnlyDirectory, "Vontal.lock", 0, "", "Vontal.log: Permission denied", "0",
         found7, clean14Log},
        // The records have the divisor, results.jsonl has not: the continued run writes all three.
        {"divisor, results.jsonl full", &task14, Fault::FileSize, "results.jsonl", kLimit - 10, "",
         "results.jsonl: File too large", "7", found7 + found7, twice14Log},
        // The log has closed the exponent: the continued run writes only its line, once.
        {"exponent line, results.jsonl full", &task15, Fault::FileSize, "results.jsonl", kLimit - 10, "",
         "results.jsonl: File too large", "inside", "", clean15Log, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Reset();
        WriteTo("Vontal.ini", *r.ini);
        std::string filled;
        for (size_t i = 0; filled.size() < r.size; ++i) filled += "earlier line " + std::to_string(i) + "\r\n";
        filled.resize(r.size);
        const bool filledJson = std::string(r.filled) == "results.jsonl";
        if (filledJson) filled.back() = '\n';  // whole lines: nothing for the start-up to cut
        WriteTo(r.filled, filled);
        Conditions conditions;
        if (r.fault == Fault::FileSize) conditions.fileSizeLimit = kLimit;
        if (r.fault == Fault::ReadOnlyDirectory) {
            conditions.unprivileged = true;  // as root: the files and the directory are another user's
            if (geteuid() != 0) {
                for (const auto& e : fs::directory_iterator(dir)) fs::permissions(e.path(), fs::perms::owner_read);
                fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
            }
        }
        const CliRun failed = RunCli({}, conditions);
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        for (const auto& e : fs::directory_iterator(dir))
            fs::permissions(e.path(), fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
        EXPECT_EQ(failed.status, 1) << failed.err;
        EXPECT_NE(failed.err.find("search stopped: Unable to write to " + (dir / "").string()), std::string::npos) << failed.err;
        EXPECT_NE(failed.err.find(r.message), std::string::npos) << failed.err;
        EXPECT_TRUE(ReadFile(dir / r.filled) == filled + r.written) << "not whole records";
        if (r.fault == Fault::ReadOnlyDirectory) {
            EXPECT_NE(failed.err.find("the position could not be saved"), std::string::npos) << failed.err;
            EXPECT_EQ(ReadFile(dir / "Vontal.ini"), *r.ini);
            EXPECT_EQ(Files(), (std::vector<std::string>{"Vontal.ini", "Vontal.lock"}));
        } else {
            EXPECT_NE(failed.err.find("position saved"), std::string::npos) << failed.err;
            const long long k = std::atoll(IniValue("KTemp").c_str());
            if (std::string(r.savedKTemp) == "inside") EXPECT_TRUE(k > 0 && k < 100) << k;
            else EXPECT_EQ(IniValue("KTemp"), r.savedKTemp);
        }
        const CliRun continued = RunCli({});
        EXPECT_EQ(continued.status, 0) << continued.err;
        const std::string before = std::string(r.filled) == "Result.txt" ? filled : "";
        EXPECT_TRUE(ReadFile(dir / "Result.txt") == before + r.results) << ReadFile(dir / "Result.txt");
        const std::string logBefore = std::string(r.filled) == "Vontal.log" ? filled + r.written : "";
        EXPECT_TRUE(Log() == std::regex_replace(logBefore + r.log, std::regex("Date/Time:[^\r]*"), "Date/Time:")) << Log();
        // results.jsonl: the divisor once, however often the records have it, and the exponent
        // closed as the log closes it.
        const std::string jsonl = ReadFile(dir / "results.jsonl");
        const JsonRecords json = ReadJsonRecords(jsonl.substr(filledJson ? filled.size() : 0));
        EXPECT_EQ(json.divisors, r.results.empty() ? std::vector<std::string>{}
                                                   : std::vector<std::string>{"7.2^14+1 divides F_12"}) << jsonl;
        EXPECT_EQ(json.ends, EndRecords(ReadFile(dir / "Vontal.log"))) << jsonl;
        EXPECT_EQ(json.endTimes, EndRecordTimes(ReadFile(dir / "Vontal.log"))) << jsonl;
        ASSERT_EQ(json.exponents.size(), 1u) << jsonl;
        EXPECT_EQ(json.exponents[0]["tested"].is_string(), r.countKnown) << jsonl;
    }

    // The settings file cannot be replaced (it would grow beyond the limit): the search goes on
    // and records every divisor, says once that the position is not saved, ends with an error,
    // and leaves the old file exactly as it was, with no temporary file beside it.
    Reset();
    const std::string big = kTestPriority + "nMin=13\r\nnTemp=13\r\nnMax=16\r\nkMin=1\r\nkMax=2000\r\nKTemp=0\r\n;" + std::string(kLimit, '-') + "\r\n";
    WriteTo("Vontal.ini", big);
    Conditions limited;
    limited.fileSizeLimit = kLimit;
    const CliRun run = RunCli({}, limited);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(Divisors(run.out).size(), 6u) << run.out;
    EXPECT_EQ(Divisors(ReadFile(dir / "Result.txt")).size(), 6u);
    EXPECT_NE(run.err.find("the position could not be saved: Unable to write to " + (dir / "Vontal.ini").string() +
                           ": File too large"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("task complete, but not saved as complete"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(dir / "Vontal.ini"), big);
    EXPECT_EQ(Files(), (std::vector<std::string>{"Result.txt", "Vontal.ini", "Vontal.lock", "Vontal.log", "results.jsonl"}));
}

// Settings files that are damaged or written oddly by hand: the front end starts, uses what it
// can read, says so when the stored task cannot be used, goes on to the follow-on tasks if there
// are any, and changes the file only by running a task.
TEST_F(CliTest, DamagedSettingsFilesAreReportedAndKept) {
    std::string garbage;
    std::mt19937 rng(5);
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>(rng() % 256);
    const std::string task14 = "[f]\r\nnTemp=14\r\nnMax=14\r\nkMin=1\r\nkMax=100\r\n";
    struct Row {
        const char* what;
        std::string content;
        int status;
        const char* message;  // in the error output
        bool findsSeven;      // the task n=14, k=1 to 100 ran
        std::string kept;     // in the file after a run (else the file is unchanged)
    };
    const Row rows[] = {
        {"empty", "", 0, "nothing to do", false, ""},
        {"binary garbage", garbage, 0, "nothing to do", false, ""},
        {"truncated in a key", task14.substr(0, task14.size() - 7), 2,
         "the stored task (nTemp=14, nMax=14, kMin=1, kMax=) cannot run: it is incomplete", false, ""},
        {"truncated, with a follow-on task", "[Following tasks]\r\nTask 1=n=14 to 14, k=1 to 100\r\n[f]\r\nnTemp=14\r\nnMax=1", 0,
         "the stored task (nTemp=14, nMax=1, kMin=, kMax=) cannot run: it is incomplete", true, "Task 1=\r\n"},
        {"a 10 MB line", task14 + std::string(10 << 20, 'x'), 0, "task complete", true, std::string(10 << 20, 'x')},
        {"odd case and blanks", "[ F ]\r\n  NTEMP = 14 \r\n nmax=14\r\n\tKMIN =1\r\nKmax= 100 \r\nktemp = 0\r\n", 0,
         "task complete", true, "[ F ]\r\nNTEMP=15\r\nnmax=14\r\nKMIN=3\r\nKmax=100\r\n"},
        {"absurd exponent", "[f]\r\nnTemp=14\r\nnMax=2147483647\r\nkMin=1\r\nkMax=100\r\n", 2,
         "cannot run: the last exponent must be at most 99999", false, ""},
        {"bad position", task14 + "KTemp=12abc\r\n", 2, "cannot run: its position KTemp '12abc' is not a valid integer value",
         false, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Reset();
        WriteTo("Vontal.ini", r.content);
        const CliRun run = RunCli({});
        EXPECT_EQ(run.status, r.status) << run.err;
        EXPECT_NE(run.err.find(r.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("7.2^14+1 divides F_12") != std::string::npos, r.findsSeven) << run.out;
        const std::string after = ReadFile(dir / "Vontal.ini");
        if (r.kept.empty()) EXPECT_TRUE(after == r.content) << "the file was changed";
        else EXPECT_NE(after.find(r.kept), std::string::npos) << after.substr(0, 300);
    }
    // A settings file that cannot be read at all is not taken for an empty one.
    Reset();
    fs::create_directory(dir / "Vontal.ini");
    const CliRun run = RunCli({});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("cannot read " + (dir / "Vontal.ini").string() + ": it is a directory"), std::string::npos) << run.err;
}

// The command line as its users expect it: the help on standard output with every option, the
// task's form, an example and the exit statuses, all of which the manual page names too; an
// option without its value named as such.
TEST_F(CliTest, HelpVersionAndOptionsThatLackTheirValue) {
    const CliRun help = RunCli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    std::string man = ReadFile(VONTAL_MAN_PAGE);
    ASSERT_FALSE(man.empty());
    man = std::regex_replace(man, std::regex(R"(\\-)"), "-");
    for (const char* text : {"--dir", "--task", "--threads", "--save-every", "--show-dir", "--version", "--help",
                             "n=A to B, k=C to D", "35e11", "Task 1", "XDG_DATA_HOME",
                             "vontal-cli --dir /tmp/demo --task \"n=8 to 20, k=1 to 2000\"", "VONTAL_KERNEL",
                             "VONTAL_CPU_MHZ", "130 SIGINT, 143 SIGTERM", "128+N"}) {
        EXPECT_NE(help.out.find(text), std::string::npos) << "help: " << text;
        EXPECT_NE(man.find(text), std::string::npos) << "manual page: " << text;
    }
    for (const char* text : {"--dir DIR", "--threads N", "--save-every SECONDS", "-h, --help"})
        EXPECT_NE(help.out.find(text), std::string::npos) << "help: " << text;
    for (const char* status : {"\n  0 ", "\n  1 ", "\n  2 "}) EXPECT_NE(help.out.find(status), std::string::npos) << status;
    for (const char* status : {"\n.B 0\n", "\n.B 1\n", "\n.B 2\n"}) EXPECT_NE(man.find(status), std::string::npos) << status;
    EXPECT_NE(man.find("Vontal 4.4"), std::string::npos);

    // Every option that takes a value, given last without one (the test's own --dir comes first).
    for (const char* option : {"--dir", "--task", "--threads", "--save-every"}) {
        const CliRun run = RunCli({option});
        EXPECT_EQ(run.status, 2) << option;
        EXPECT_EQ(run.err.rfind(std::string("vontal-cli: ") + option + " needs a value\n", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("vontal-cli --help"), std::string::npos) << run.err;
    }
    for (const char* stray : {"-x", "extra", "--version=1"}) {
        const CliRun run = RunCli({stray});
        EXPECT_EQ(run.status, 2) << stray;
        EXPECT_NE(run.err.find(std::string("unknown argument '") + stray + "'"), std::string::npos)
            << run.err;
    }
    EXPECT_TRUE(Files().empty());
}

// Where the files go without --dir: beside the executable when a Vontal.ini lies there, else in
// the user's data folder, made on first use; a folder that cannot be made ends the run, and no
// other folder is used instead.
TEST_F(CliTest, DataFolderFollowsTheRuleAndIsNeverReplaced) {
    const fs::path bin = dir / "bin", home = dir / "home", data = home / ".local" / "share" / "Vontal";
    fs::create_directories(bin);
    fs::create_directories(home);
    const std::string program = (bin / "vontal-cli").string();
    fs::copy_file(VONTAL_CLI, program);
    const EnvironmentChanges user = {{"HOME", home.string()}, {"XDG_DATA_HOME", std::nullopt}};
    auto binFiles = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(bin)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };

    // Named, not made.
    CliRun run = RunWith(program, {"--show-dir"}, user);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, data.string() + "\n");
    EXPECT_FALSE(fs::exists(home / ".local"));
    // The variables of the XDG rules: an absolute XDG_DATA_HOME counts, a relative one does not;
    // without HOME, the account's home directory.
    run = RunWith(program, {"--show-dir"}, {{"HOME", home.string()}, {"XDG_DATA_HOME", (dir / "xdg").string()}});
    EXPECT_EQ(run.out, (dir / "xdg" / "Vontal").string() + "\n");
    run = RunWith(program, {"--show-dir"}, {{"HOME", home.string()}, {"XDG_DATA_HOME", "xdg"}});
    EXPECT_EQ(run.out, data.string() + "\n");
    const passwd* account = getpwuid(getuid());
    ASSERT_NE(account, nullptr);
    run = RunWith(program, {"--show-dir"}, {{"HOME", std::nullopt}, {"XDG_DATA_HOME", std::nullopt}});
    EXPECT_EQ(run.out, (fs::path(account->pw_dir) / ".local" / "share" / "Vontal").string() + "\n");

    // Made on first use, and named as the program starts.
    run = RunWith(program, {}, user);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("vontal-cli: data folder " + data.string() + "\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("nothing to do"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_directory(data));

    // The README's example lands there, and nothing beside the executable.
    std::ofstream(data / "Vontal.ini", std::ios::binary) << kTestPriority;
    run = RunWith(program, {"--task", "n=8 to 20, k=1 to 2000"}, user);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Divisors(ReadFile(data / "Result.txt")).size(), 9u);
    EXPECT_EQ(binFiles(), std::vector<std::string>{"vontal-cli"});

    // A folder that cannot be made: a plain file stands where a folder above it should be.
    std::ofstream(dir / "file") << "x";
    run = RunWith(program, {"--task", "n=14 to 14, k=1 to 100"},
                  {{"HOME", home.string()}, {"XDG_DATA_HOME", (dir / "file" / "share").string()}});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("cannot create the data folder '" + (dir / "file" / "share" / "Vontal").string() +
                           "': Not a directory; give another with --dir DIR"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(binFiles(), std::vector<std::string>{"vontal-cli"});

    // A portable copy keeps its files beside the executable; --dir comes before it.
    std::ofstream(bin / "Vontal.ini", std::ios::binary) << kTestPriority;
    const std::string results = ReadFile(data / "Result.txt");
    run = RunWith(program, {"--task", "n=14 to 14, k=1 to 100"}, user);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(ReadFile(bin / "Result.txt").find("7.2^14+1 divides F_12"), std::string::npos);
    EXPECT_EQ(ReadFile(data / "Result.txt"), results);
    run = RunWith(program, {"--dir", home.string(), "--show-dir"}, user);
    EXPECT_EQ(run.out, home.string() + "\n");
    // A folder named with --dir that does not exist is refused, not made.
    run = RunWith(program, {"--dir", (dir / "missing").string(), "--task", "n=14 to 14, k=1 to 100"}, user);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("'" + (dir / "missing").string() + "' is not a directory"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

}  // namespace
