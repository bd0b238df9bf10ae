// A task split into part folders, the parts run by real vontal-cli processes (a shell loop, GNU
// parallel), and merged: the merged report against a one-machine run of the same task.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

#include "DivisorLines.h"
#include "RunProcess.h"
#include "cluster/PartFolder.h"

namespace {

namespace fs = std::filesystem;
using vontal::testing::ProcessResult;
using vontal::testing::ReadWholeFile;

const std::string kTask = "n=21 to 23, k=1 to 30000000";

using vontal::testing::Divisors;

class ClusterCliTest : public ::testing::Test {
protected:
    fs::path root;

    void SetUp() override {
        root = fs::temp_directory_path() /
               ("vontal-split-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
                std::to_string(getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        setenv("VONTAL_CPU_MHZ", "2400", 1);
    }
    void TearDown() override { fs::remove_all(root); }

    ProcessResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), VONTAL_CLI);
        return vontal::testing::RunProcess(args, root / "run");
    }
    ProcessResult Shell(const std::string& script, std::vector<std::string> args) {
        args.insert(args.begin(), {"/bin/sh", "-c", script});  // $0 is the first of args
        return vontal::testing::RunProcess(args, root / "shell");
    }
    // The task on one machine: its divisors in order. The search keeps the test's priority: at
    // the default, idle, it may get no processor for long on a busy machine.
    std::vector<std::string> OneMachine() {
        const fs::path dir = root / "one";
        fs::create_directories(dir);
        std::ofstream(dir / "Vontal.ini", std::ios::binary) << "[f]\r\nPriority=-1\r\n";
        const ProcessResult r = Run({"--dir", dir.string(), "--task", kTask});
        EXPECT_EQ(r.status, 0) << r.err;
        return Divisors(ReadWholeFile(dir / "Result.txt"));
    }
    ProcessResult Split(const fs::path& into, int parts) {
        return Run({"split", "--task", kTask, "--parts", std::to_string(parts), "--into", into.string(), "--priority", "-1"});
    }
    // Every part of `parts`, one after the other, in a shell loop.
    ProcessResult RunInLoop(const fs::path& parts) {
        return Shell("for d in \"$1\"/part-*/; do \"$0\" --dir \"$d\" || exit 1; done", {VONTAL_CLI, parts.string()});
    }
};

TEST_F(ClusterCliTest, DeletedPartIsNamedAsAGapUntilItIsRunAgain) {
    const std::vector<std::string> reference = OneMachine();
    ASSERT_GE(reference.size(), 4u);
    const fs::path parts = root / "parts";
    const ProcessResult split = Split(parts, 3);
    ASSERT_EQ(split.status, 0) << split.err;
    const ProcessResult loop = RunInLoop(parts);
    ASSERT_EQ(loop.status, 0) << loop.err;

    const ProcessResult complete = Run({"merge", "--out", (root / "merged.txt").string(), parts.string()});
    ASSERT_EQ(complete.status, 0) << complete.out << complete.err;
    EXPECT_EQ(ReadWholeFile(root / "merged.txt"), complete.out);
    EXPECT_NE(complete.out.find("gaps: 0\n"), std::string::npos) << complete.out;
    EXPECT_NE(complete.out.find("verdict: complete\n"), std::string::npos) << complete.out;
    EXPECT_EQ(Divisors(complete.out), reference) << complete.out;

    // Part 2 deleted after it ran: its piece, exponent by exponent, is a gap.
    vontal::cluster::PartMarker second;
    std::string why;
    ASSERT_TRUE(vontal::cluster::ReadPartMarker(parts / "part-02", second, why)) << why;
    fs::remove_all(parts / "part-02");
    const ProcessResult gap = Run({"merge", "--out", (root / "merged.txt").string(), parts.string()});
    EXPECT_EQ(gap.status, 1) << gap.out << gap.err;
    std::string gaps;
    const uint32_t exponents = second.piece.nLast - second.piece.nFirst + 1;
    for (uint32_t n = second.piece.nFirst; n <= second.piece.nLast; ++n)
        gaps += "  n=" + std::to_string(n) + "  k=" + std::to_string(second.piece.firstOdd()) + " to " +
                std::to_string(second.piece.lastOdd()) + "\n";
    EXPECT_NE(gap.out.find("gaps: " + std::to_string(exponents) + "\n" + gaps + "overlaps: 0\n"), std::string::npos)
        << gap.out;
    EXPECT_NE(gap.out.find("part 2 of 3: no folder\n"), std::string::npos) << gap.out;
    EXPECT_NE(gap.out.find("verdict: incomplete\n"), std::string::npos) << gap.out;
    EXPECT_NE(gap.err.find("gap"), std::string::npos) << gap.err;

    // The same split again re-creates the missing folder only; run, it completes the merge, and
    // the report is the first one again.
    const ProcessResult again = Split(parts, 3);
    ASSERT_EQ(again.status, 0) << again.err;
    const ProcessResult rerun = Run({"--dir", (parts / "part-02").string()});
    ASSERT_EQ(rerun.status, 0) << rerun.err;
    const ProcessResult merged = Run({"merge", "--out", (root / "merged.txt").string(), parts.string()});
    EXPECT_EQ(merged.status, 0) << merged.out << merged.err;
    EXPECT_EQ(merged.out, complete.out);
}

TEST_F(ClusterCliTest, GnuParallelAndAShellLoopGiveTheSameReport) {
    if (vontal::testing::RunProcess({"parallel", "--version"}, root / "probe").status != 0)
        GTEST_SKIP() << "GNU parallel is not installed (Debian package parallel; scripts/setup.sh installs it)";
    const fs::path a = root / "by-parallel", b = root / "by-loop";
    ASSERT_EQ(Split(a, 4).status, 0);
    ASSERT_EQ(Split(b, 4).status, 0);
    const ProcessResult parallel = Shell("parallel --will-cite --jobs 2 \"$0\" --dir {} ::: \"$1\"/part-*/",
                                         {VONTAL_CLI, a.string()});
    ASSERT_EQ(parallel.status, 0) << parallel.err;
    ASSERT_EQ(RunInLoop(b).status, 0);
    const ProcessResult byParallel = Run({"merge", a.string()}), byLoop = Run({"merge", b.string()});
    EXPECT_EQ(byParallel.status, 0) << byParallel.out << byParallel.err;
    EXPECT_EQ(byParallel.out, byLoop.out);
    EXPECT_NE(byParallel.out.find("verdict: complete\n"), std::string::npos) << byParallel.out;
}

}  // namespace
