// The split and merge subcommands.
#include "cluster/Commands.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <unistd.h>

#include "cluster/Merge.h"
#include "cluster/PartFolder.h"
#include "cluster/SplitPlan.h"
#include "engine/Kernel.h"

namespace vontal::cluster {

namespace fs = std::filesystem;

namespace {

constexpr int kMostParts = 100000;

bool ReadInt(const std::string& text, int lowest, int highest, int& value) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < lowest || v > highest) return false;
    value = static_cast<int>(v);
    return true;
}

// Work units (see SplitPlan.h) this core does per second: the candidate test timed on the task's
// last exponent near its highest k for about half a second of processor time. Only candidates without a prime
// factor below 1000 are timed, as the sieve would leave them: one with a small factor can cost
// the test a second pass.
double MeasureWorkPerSecond(const Piece& task) {
    const uint32_t n = task.nLast;
    std::vector<std::pair<uint32_t, uint32_t>> primes;  // q and 2^n mod q
    for (uint32_t q = 3; q < 1000; q += 2) {
        bool prime = true;
        for (uint32_t d = 3; d * d <= q && prime; d += 2) prime = q % d != 0;
        if (!prime) continue;
        uint64_t power = 1, base = 2;
        for (uint32_t e = n; e; e >>= 1, base = base * base % q)
            if (e & 1) power = power * base % q;
        primes.emplace_back(q, static_cast<uint32_t>(power));
    }
    auto survives = [&](uint64_t k) {
        for (const auto& [q, power] : primes)
            if ((k % q * power + 1) % q == 0) return false;
        return true;
    };
    uint64_t k = static_cast<uint64_t>(task.lastOdd());
    auto fill = [&](std::vector<uint64_t>& ks) {
        for (uint64_t& c : ks) {
            do k = k > 5 ? k - 2 : static_cast<uint64_t>(task.lastOdd());
            while (!survives(k) && k > 5);
            c = k;
        }
    };
    KernelScratch scratch;
    scratch.reserveFor(n);
    std::vector<uint64_t> ks(64);
    std::vector<uint32_t> ms(ks.size());
    // The first call chooses the kernel and runs its self-test: not part of the rate.
    fill(ks);
    TestCandidates(ks.data(), static_cast<uint32_t>(ks.size()), n, ms.data(), scratch);
    // Processor time, not the clock: on a busy machine the clock counts other programs' turns.
    auto cpuSeconds = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    };
    double tested = 0, seconds = 0;
    while (seconds < 0.5) {
        fill(ks);
        const double start = cpuSeconds();
        TestCandidates(ks.data(), static_cast<uint32_t>(ks.size()), n, ms.data(), scratch);
        seconds += cpuSeconds() - start;
        tested += static_cast<double>(ks.size());
    }
    // The work of one candidate, by the model: n squarings of its width to the power 1.5.
    const double words = static_cast<double>((n + 63 - __builtin_clzll(static_cast<uint64_t>(task.lastOdd()))) / 64 + 1);
    return tested * n * words * std::sqrt(words) / seconds;
}

std::string Percent(double share) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", 100 * share);
    return text;
}

void Usage(std::ostream& err, const char* which) {
    if (std::string(which) == "split")
        err << "usage: vontal-cli split --task \"n=A to B, k=C to D\" (--parts N | --hours H) --into DIR [--priority P]\n";
    else
        err << "usage: vontal-cli merge [--out FILE] FOLDER...\n";
}

}  // namespace

int RunSplit(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::optional<std::string> taskLine, into;
    int parts = 0;
    double hours = 0;
    std::optional<int> priority;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            Usage(out, "split");
            return 0;
        }
        if (i + 1 >= args.size() || (a != "--task" && a != "--parts" && a != "--hours" && a != "--into" && a != "--priority")) {
            err << "vontal-cli split: unknown or incomplete argument '" << a << "'\n";
            Usage(err, "split");
            return 2;
        }
        const std::string& v = args[++i];
        if (a == "--task") {
            taskLine = v;
        } else if (a == "--into") {
            into = v;
        } else if (a == "--parts") {
            if (!ReadInt(v, 1, kMostParts, parts)) {
                err << "vontal-cli split: bad number of parts '" << v << "' (1 to " << kMostParts << ")\n";
                return 2;
            }
        } else if (a == "--hours") {
            char* end = nullptr;
            hours = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(hours >= 0.001 && hours <= 1e6)) {
                err << "vontal-cli split: bad run time per part '" << v << "' (hours, 0.001 to 1000000)\n";
                return 2;
            }
        } else {
            int level = 0;
            if (!ReadInt(v, -1, 4, level)) {
                err << "vontal-cli split: bad priority '" << v << "' (0 idle to 4 higher, -1 the program's own)\n";
                return 2;
            }
            priority = level;
        }
    }
    if (!taskLine || !into || (parts == 0) == (hours == 0)) {
        err << "vontal-cli split: needs --task, --into and one of --parts and --hours\n";
        Usage(err, "split");
        return 2;
    }
    Piece task;
    std::string why;
    if (!PieceFromLine(*taskLine, task, why)) {
        err << "vontal-cli split: bad task '" << *taskLine << "': " << why << "\n";
        return 2;
    }
    const double work = PieceWork(task);
    if (hours > 0) {
        const double perSecond = MeasureWorkPerSecond(task);
        const double wanted = std::ceil(work / (perSecond * hours * 3600));
        parts = static_cast<int>(std::clamp(wanted, 1.0, static_cast<double>(kMostParts)));
        const double alone = work / perSecond / 3600;
        char estimate[64];
        std::snprintf(estimate, sizeof estimate, alone >= 1 ? "%.1f hours" : "%.1f minutes", alone >= 1 ? alone : alone * 60);
        out << "estimated work on one core of this machine: " << estimate << "; " << parts << " parts of at most "
            << hours << " hours each\n";
    }
    const std::vector<Piece> pieces = SplitTask(task, parts);
    if (static_cast<int>(pieces.size()) < parts)
        out << "the task holds only " << pieces.size() << " pieces of work (exponents times odd k); split into that many\n";
    const int count = static_cast<int>(pieces.size());

    // Every folder is checked before any is written: a folder of this same split is left as it
    // is (a run of split again re-creates only the missing ones), anything else refuses it all.
    const fs::path root = *into;
    std::error_code ec;
    if (fs::exists(root, ec) && !fs::is_directory(root, ec)) {
        err << "vontal-cli split: '" << root.string() << "' is not a folder\n";
        return 2;
    }
    std::vector<bool> present(pieces.size(), false);
    if (fs::is_directory(root, ec)) {
        for (const auto& entry : fs::directory_iterator(root, ec)) {
            if (!entry.is_directory(ec) || !HasPartMarker(entry.path())) continue;
            PartMarker m;
            if (!ReadPartMarker(entry.path(), m, why)) {
                err << "vontal-cli split: '" << entry.path().string() << "': " << why << "; nothing written\n";
                return 2;
            }
            const bool ours = m.task.SameWork(task) && m.count == count && entry.path().filename() == PartFolderName(m.number, count) &&
                              m.piece.SameWork(pieces[m.number - 1]);
            if (!ours) {
                err << "vontal-cli split: '" << entry.path().string() << "' is part " << m.number << " of " << m.count
                    << " of " << m.task.Line() << ", " << m.piece.Line()
                    << ", not of this split; nothing written (choose another folder)\n";
                return 2;
            }
            present[m.number - 1] = true;
        }
        for (int i = 0; i < count; ++i) {
            const fs::path dir = root / PartFolderName(i + 1, count);
            if (!present[i] && fs::exists(dir, ec) && !fs::is_empty(dir, ec)) {
                err << "vontal-cli split: '" << dir.string() << "' exists and is no part of this split; nothing written\n";
                return 2;
            }
        }
    }

    out << "task: " << task.Line() << "\n";
    try {
        for (int i = 0; i < count; ++i) {
            const PartMarker marker{task, i + 1, count, pieces[i]};
            const fs::path dir = root / PartFolderName(i + 1, count);
            out << dir.filename().string() << ": " << pieces[i].Line() << " (" << Percent(PieceWork(pieces[i]) / work)
                << " of the work)" << (present[i] ? ", already there, left as it is" : "") << "\n";
            if (!present[i]) WritePartFolder(dir, marker, priority);
        }
    } catch (const std::exception& e) {
        err << "vontal-cli split: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

int RunMerge(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::optional<fs::path> file;
    std::vector<fs::path> folders;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-h" || args[i] == "--help") {
            Usage(out, "merge");
            return 0;
        }
        if (args[i] == "--out") {
            if (i + 1 >= args.size()) {
                Usage(err, "merge");
                return 2;
            }
            file = args[++i];
        } else if (args[i].rfind("--", 0) == 0) {
            err << "vontal-cli merge: unknown argument '" << args[i] << "'\n";
            Usage(err, "merge");
            return 2;
        } else {
            folders.emplace_back(args[i]);
        }
    }
    if (folders.empty()) {
        Usage(err, "merge");
        return 2;
    }
    const MergeResult result = MergeParts(folders);
    if (result.refused()) {
        err << "vontal-cli merge: " << result.refusal << "\n";
        err << "vontal-cli merge: nothing merged" << (file ? ", " + file->string() + " left as it is" : "") << "\n";
        return 2;
    }
    const std::string report = MergeReport(result);
    out << report << std::flush;
    if (file) {
        // Replaced in one step: a reader sees the old report or the new one.
        const fs::path temporary = file->string() + ".tmp" + std::to_string(::getpid());
        {
            std::ofstream f(temporary, std::ios::binary | std::ios::trunc);
            f << report;
            f.flush();
            if (!f) {
                err << "vontal-cli merge: cannot write " << temporary.string() << "\n";
                std::error_code ec;
                fs::remove(temporary, ec);
                return 2;
            }
        }
        std::error_code ec;
        fs::rename(temporary, *file, ec);
        if (ec) {
            err << "vontal-cli merge: cannot write " << file->string() << ": " << ec.message() << "\n";
            fs::remove(temporary, ec);
            return 2;
        }
    }
    if (!result.complete()) {
        err << "vontal-cli merge: " << result.gaps.size() << (result.gaps.size() == 1 ? " gap" : " gaps")
            << " remain; run the parts named unfinished or without a folder (vontal-cli split again re-creates a missing one)\n";
        return 1;
    }
    return 0;
}

}  // namespace vontal::cluster
