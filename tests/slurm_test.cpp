// The Slurm scripts against a real single-node Slurm that the test starts itself: munged,
// slurmctld and slurmd from Debian, with their key, configuration and state in a temporary folder,
// as children of the test (they die with it) and stopped at the end. A task split in parts runs as
// a job array; one array task is requeued while it searches (Slurm then sends it SIGTERM, as
// preemption does); the merge job that follows the array must find the task complete, with the
// divisors of a one-machine run.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <filesystem>
#include <iostream>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "DivisorLines.h"
#include "RunProcess.h"
#include "SearchClock.h"
#include "cluster/PartFolder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vontal::testing::ProcessResult;
using vontal::testing::ReadWholeFile;

const std::string kTask = "n=21 to 26, k=1 to 200000000";

using vontal::testing::Divisors;

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// A TCP port on 127.0.0.1 that nobody listens on now.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// The process whose command line is vontal-cli --dir `part` (0 when there is none).
pid_t FindPartProcess(const fs::path& part) {
    pid_t found = 0;
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    while (const dirent* e = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
        if (pid <= 0) continue;
        const std::string cmdline = ReadWholeFile("/proc/" + std::to_string(pid) + "/cmdline");
        std::vector<std::string> args;
        for (size_t at = 0; at < cmdline.size();) {
            const size_t end = cmdline.find('\0', at);
            args.push_back(cmdline.substr(at, end - at));
            at = end == std::string::npos ? cmdline.size() : end + 1;
        }
        for (size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == "--dir" && fs::weakly_canonical(args[i + 1]) == fs::weakly_canonical(part) &&
                args[0].find("vontal-cli") != std::string::npos)
                found = pid;
    }
    closedir(proc);
    return found;
}

class SlurmTest : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        for (const char* program : {"/usr/sbin/munged", "/usr/sbin/slurmctld", "/usr/sbin/slurmd", "/usr/bin/sbatch",
                                    "/usr/bin/scontrol", "/usr/bin/squeue", "/usr/bin/scancel"})
            if (!fs::exists(program))
                GTEST_SKIP() << program << " is missing: Slurm is not installed here (Debian packages slurmctld, "
                                           "slurmd, slurm-client and munge; scripts/setup.sh installs them)";
        if (geteuid() != 0) GTEST_SKIP() << "slurmd needs root, and this test does not run as root";
        dir = fs::temp_directory_path() / ("vontal-slurm-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "state");
        fs::create_directories(dir / "spool");
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);

        // munge: a key of our own, the socket in our folder.
        {
            std::random_device random;
            std::ofstream key(dir / "munge.key", std::ios::binary);
            for (int i = 0; i < 1024; ++i) key.put(static_cast<char>(random()));
        }
        fs::permissions(dir / "munge.key", fs::perms::owner_read | fs::perms::owner_write);
        const std::string d = dir.string();
        StartDaemon("munged", {"/usr/sbin/munged", "--foreground", "--force", "--key-file=" + d + "/munge.key",
                               "--socket=" + d + "/munge.sock", "--pid-file=" + d + "/munged.pid",
                               "--log-file=" + d + "/munged.log", "--seed-file=" + d + "/munged.seed"});
        if (!Await([&] { return fs::exists(dir / "munge.sock"); }, 60s))
            GTEST_SKIP() << "munged does not start here: " << ReadWholeFile(dir / "munged.log");

        // One node, this machine, with as many processors as slurmd finds.
        const ProcessResult hardware = vontal::testing::RunProcess({"/usr/sbin/slurmd", "-C"}, dir / "probe");
        std::smatch cpus;
        const std::string cpuCount = std::regex_search(hardware.out, cpus, std::regex("CPUs=([0-9]+)")) ? cpus[1].str() : "1";
        std::ofstream(dir / "slurm.conf")
            << "ClusterName=vontaltest\n"
               "SlurmctldHost=localhost\n"
               "SlurmctldPort=" << FreePort() << "\n"
               "SlurmdPort=" << FreePort() << "\n"
               "SlurmUser=root\nSlurmdUser=root\n"
               "AuthType=auth/munge\nCredType=cred/munge\n"
               // cred_expire is also how long a requeued job waits before it may start again.
               "AuthInfo=socket=" << d << "/munge.sock,cred_expire=5\n"
               "StateSaveLocation=" << d << "/state\nSlurmdSpoolDir=" << d << "/spool\n"
               "SlurmctldPidFile=" << d << "/slurmctld.pid\nSlurmdPidFile=" << d << "/slurmd.pid\n"
               "SlurmctldLogFile=" << d << "/slurmctld.log\nSlurmdLogFile=" << d << "/slurmd.log\n"
               "ProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\n"
               "JobAcctGatherType=jobacct_gather/none\nAccountingStorageType=accounting_storage/none\n"
               "MpiDefault=none\nSelectType=select/cons_tres\nSelectTypeParameters=CR_Core\n"
               "ReturnToService=2\nKillWait=30\n"
               "NodeName=localhost NodeHostname=localhost CPUs=" << cpuCount << " State=UNKNOWN\n"
               "PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP\n";
        setenv("SLURM_CONF", (dir / "slurm.conf").c_str(), 1);
        StartDaemon("slurmctld", {"/usr/sbin/slurmctld", "-D", "-f", (dir / "slurm.conf").string()});
        if (!Await([&] { return Slurm({"scontrol", "ping"}).out.find("UP") != std::string::npos; }, 60s))
            GTEST_SKIP() << "slurmctld does not start here: " << ReadWholeFile(dir / "slurmctld.log");
        StartDaemon("slurmd", {"/usr/sbin/slurmd", "-D", "-f", (dir / "slurm.conf").string(), "-N", "localhost"});
        if (!Await([&] { return Slurm({"sinfo", "-h", "-o", "%t"}).out == "idle\n"; }, 60s))
            GTEST_SKIP() << "slurmd does not start here: " << ReadWholeFile(dir / "slurmd.log");
        up_ = true;
    }

    void TearDown() override {
        // Jobs first, so that no job step outlives its daemon; then the daemons, the last started
        // first, each waited for.
        if (up_) {
            Slurm({"scancel", "--user=root"});
            Await([&] { return NoJobs(); }, 60s);
        }
        for (auto it = daemons_.rbegin(); it != daemons_.rend(); ++it) {
            kill(it->second, SIGTERM);
            const auto deadline = std::chrono::steady_clock::now() + 30s;
            int st = 0;
            while (waitpid(it->second, &st, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > deadline) {
                    kill(it->second, SIGKILL);
                    waitpid(it->second, &st, 0);
                    break;
                }
                std::this_thread::sleep_for(5ms);
            }
        }
        // A job's step daemon outlives its job by a moment (and would outlive slurmd).
        if (!Await([&] { return StepDaemons().empty(); }, 60s))
            for (pid_t pid : StepDaemons()) kill(pid, SIGKILL);
        unsetenv("SLURM_CONF");
        if (!dir.empty() && !HasFailure()) fs::remove_all(dir);
        else if (!dir.empty()) std::cerr << "[          ] Slurm's files are kept in " << dir << "\n";
    }

    // A daemon in the foreground as a child of the test: the kernel ends it if the test dies.
    void StartDaemon(const std::string& name, std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string log = (dir / (name + ".out")).string();
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        daemons_.emplace_back(name, pid);
    }

    // The step daemons (slurmstepd) of this cluster: slurmd, started with SLURM_CONF naming this
    // test's configuration, hands it on to them.
    std::vector<pid_t> StepDaemons() const {
        std::vector<pid_t> found;
        const std::string conf = "SLURM_CONF=" + (dir / "slurm.conf").string() + '\0';
        DIR* proc = opendir("/proc");
        if (!proc) return found;
        while (const dirent* e = readdir(proc)) {
            const pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
            const std::string base = "/proc/" + std::to_string(pid);
            if (pid <= 0 || ReadWholeFile(base + "/comm") != "slurmstepd\n") continue;
            if (('\0' + ReadWholeFile(base + "/environ")).find('\0' + conf) != std::string::npos) found.push_back(pid);
        }
        closedir(proc);
        return found;
    }

    // squeue answers and lists no job of this cluster.
    bool NoJobs() {
        const ProcessResult r = Slurm({"squeue", "-h"});
        return r.status == 0 && r.out.empty();
    }

    ProcessResult Slurm(std::vector<std::string> args) { return vontal::testing::RunProcess(args, dir / "client", 60s); }

    template <class Condition>
    static bool Await(Condition condition, std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    std::vector<std::pair<std::string, pid_t>> daemons_;
    bool up_ = false;
};

TEST_F(SlurmTest, JobArrayWithARequeuedTaskMergesComplete) {
    // The same task on one machine.
    const fs::path one = dir / "one";
    fs::create_directories(one);
    std::ofstream(one / "Vontal.ini", std::ios::binary) << "[f]\r\nPriority=-1\r\n";
    setenv("VONTAL_CPU_MHZ", "2400", 1);
    const ProcessResult single = vontal::testing::RunProcess({VONTAL_CLI, "--dir", one.string(), "--task", kTask}, dir / "one");
    ASSERT_EQ(single.status, 0) << single.err;
    const std::vector<std::string> reference = Divisors(ReadWholeFile(one / "Result.txt"));
    ASSERT_FALSE(reference.empty());

    // Six parts, submitted as the README says.
    const fs::path parts = dir / "parts";
    const ProcessResult split = vontal::testing::RunProcess(
        {VONTAL_CLI, "split", "--task", kTask, "--parts", "6", "--into", parts.string(), "--priority", "-1"}, dir / "split");
    ASSERT_EQ(split.status, 0) << split.err;
    setenv("VONTAL_CLI", VONTAL_CLI, 1);
    const ProcessResult submit =
        vontal::testing::RunProcess({VONTAL_SOURCE_DIR "/scripts/cluster/submit.sh", parts.string()}, dir / "submit");
    unsetenv("VONTAL_CLI");
    ASSERT_EQ(submit.status, 0) << submit.out << submit.err;
    std::smatch ids;
    ASSERT_TRUE(std::regex_search(submit.out, ids, std::regex("array job ([0-9]+) \\(6 parts\\), merge job ([0-9]+)")))
        << submit.out;
    const std::string array = ids[1].str(), merge = ids[2].str();

    // One part caught while it searches: frozen, so that what its log shows stays so, and taken
    // when its search has run for a while and is not finished. Every part is a chance.
    std::vector<fs::path> folders;
    for (int i = 1; i <= 6; ++i) folders.push_back(parts / vontal::cluster::PartFolderName(i, 6));
    int caught = -1;
    pid_t pid = 0;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    std::vector<bool> missed(folders.size(), false);
    while (caught < 0 && std::chrono::steady_clock::now() < deadline) {
        for (size_t i = 0; i < folders.size() && caught < 0; ++i) {
            if (missed[i] || ReadWholeFile(folders[i] / "Vontal.log").find("  k from ") == std::string::npos) continue;
            pid = FindPartProcess(folders[i]);
            // Midway: the search has had a good part of the processor time a part needs (most
            // of a second on one core here).
            if (pid == 0 || vontal::testing::SearchCpuNs(pid) < 100'000'000) continue;
            kill(pid, SIGSTOP);
            // Held still before its log is read: the signal takes effect a moment later.
            const auto held = std::chrono::steady_clock::now() + 60s;
            while (vontal::testing::ProcessState(pid) != 'T' && !vontal::testing::ProcessEnded(pid) &&
                   std::chrono::steady_clock::now() < held)
                std::this_thread::sleep_for(1ms);
            ASSERT_TRUE(vontal::testing::ProcessState(pid) == 'T' || vontal::testing::ProcessEnded(pid))
                << "the part was not held still within a minute";
            vontal::cluster::PartMarker marker;
            std::string why;
            ASSERT_TRUE(vontal::cluster::ReadPartMarker(folders[i], marker, why)) << why;
            const size_t ends = Count(ReadWholeFile(folders[i] / "Vontal.log"), ", CODO=");
            if (ends < marker.piece.nLast - marker.piece.nFirst + 1) {
                caught = static_cast<int>(i);
            } else {
                missed[i] = true;
                kill(pid, SIGCONT);
            }
        }
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_GE(caught, 0) << "no part was caught while it searched";
    std::cerr << "[          ] part " << caught + 1 << " requeued with "
              << Count(ReadWholeFile(folders[caught] / "Vontal.log"), ", CODO=") << " of its exponents finished\n";
    // Requeued while it runs: Slurm sends it SIGCONT and SIGTERM, as preemption does; it saves
    // its position and ends, and runs again when the requeued task starts.
    const ProcessResult requeue = Slurm({"scontrol", "requeue", array + "_" + std::to_string(caught + 1)});
    ASSERT_EQ(requeue.status, 0) << requeue.err;

    // The merge job runs after every array task, the requeued one included.
    ASSERT_TRUE(Await([&] { return NoJobs(); }, 240s))
        << Slurm({"squeue"}).out << ReadWholeFile(dir / "slurmctld.log");
    const std::string report = ReadWholeFile(parts / "merged.txt");
    EXPECT_NE(report.find("gaps: 0\n"), std::string::npos) << report;
    EXPECT_NE(report.find("overlaps: 0\n"), std::string::npos) << report;
    EXPECT_NE(report.find("verdict: complete\n"), std::string::npos) << report;
    EXPECT_EQ(Divisors(report), reference) << report;

    // The requeued part stopped on the signal with its position saved, and its second run went on
    // from there: no exponent of it was begun twice.
    const fs::path folder = folders[caught];
    const std::string output = ReadWholeFile(parts / "slurm" / ("part-" + std::to_string(caught + 1) + ".out"));
    EXPECT_NE(output.find("stopping on signal 15, position saved"), std::string::npos) << output;
    EXPECT_NE(output.find("vontal-array: part " + std::to_string(caught + 1) + ", run 2, "), std::string::npos) << output;
    EXPECT_NE(output.find("task complete"), std::string::npos) << output;
    const std::string log = ReadWholeFile(folder / "Vontal.log");
    vontal::cluster::PartMarker marker;
    std::string why;
    ASSERT_TRUE(vontal::cluster::ReadPartMarker(folder, marker, why)) << why;
    for (uint32_t n = marker.piece.nFirst; n <= marker.piece.nLast; ++n)
        EXPECT_EQ(Count(log, "n=" + std::to_string(n) + "  k from "), 1u) << log;
    EXPECT_EQ(Count(log, ", CODO="), marker.piece.nLast - marker.piece.nFirst + 1) << log;
    // The merge job's own output, and a merge made now, say the same.
    const ProcessResult again = vontal::testing::RunProcess({VONTAL_CLI, "merge", parts.string()}, dir / "merge");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, report);
}

}  // namespace
