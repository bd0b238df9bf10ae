// The headless front end as its users run it: real processes in a temporary directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

class CliTest : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("vontal-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
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
        fs::remove_all(dir);
    }
    std::vector<pid_t> live_;

    // Starts vontal-cli with its output in files; returns the process id.
    pid_t Start(std::vector<std::string> args) {
        args.insert(args.begin(), {VONTAL_CLI, "--dir", dir.string()});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (dir.string() + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (dir.string() + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, VONTAL_CLI, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
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
    CliRun RunCli(std::vector<std::string> args) { return Wait(Start(std::move(args))); }

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
    };
    for (const Row& r : rows) {
        const CliRun run = RunCli(r.args);
        EXPECT_EQ(run.status, 2) << r.names;
        EXPECT_NE(run.err.find(r.names), std::string::npos) << run.err;
        EXPECT_TRUE(Files().empty()) << r.names;
    }
}

TEST_F(CliTest, SmallTaskReportsThePublishedDivisors) {
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
    EXPECT_EQ(Files(), (std::vector<std::string>{"Result.txt", "Vontal.ini", "Vontal.log"}));
    EXPECT_EQ(ReadFile(dir / "Vontal.log").rfind("Model ", 0), 0u);
    const std::string ini = ReadFile(dir / "Vontal.ini");
    EXPECT_NE(ini.find("nTemp=21\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("nMin=8\r\n"), std::string::npos) << ini;
    // Nothing left: a second run has nothing to do.
    const CliRun again = RunCli({});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.err.find("nothing to do"), std::string::npos) << again.err;
}

TEST_F(CliTest, SeveralThreadsReportTheSameDivisors) {
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
        << "[Following tasks]\r\nTask 1=\r\nTask 2=n=14 to 14, k=1 to 100, Days 0\r\nTask 3=n=13 to 13, k=1 to 200\r\n";
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
    const fs::path cleanDir = dir;
    ASSERT_EQ(RunCli({"--task", task}).status, 0);
    const std::string cleanResults = ReadFile(dir / "Result.txt"), cleanLog = Log();
    ASSERT_NE(cleanResults.find("534689.2^23+1"), std::string::npos);
    fs::remove_all(dir);
    fs::create_directories(dir);

    pid_t pid = Start({"--task", task});
    int stops = 0;
    for (int round = 0; round < 40; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + 37 * (round % 5)));
        if (kill(pid, round % 2 ? SIGINT : SIGTERM) != 0) break;  // already finished
        const CliRun r = Wait(pid);
        if (r.status == 0) break;
        ASSERT_EQ(r.status, 128 + (round % 2 ? SIGINT : SIGTERM)) << r.err << ReadFile(dir / "Vontal.ini");
        EXPECT_NE(r.err.find("position saved"), std::string::npos) << r.err;
        ++stops;
        pid = Start({});
    }
    Wait(pid);
    EXPECT_GE(stops, 2);
    EXPECT_EQ(ReadFile(dir / "Result.txt"), cleanResults);
    EXPECT_EQ(Log(), cleanLog);
}

}  // namespace
