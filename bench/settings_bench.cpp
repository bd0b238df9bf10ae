// The settings file on large files: a read of one key, and a write, against the file's size,
// for a file that is one long line and one that is nothing but line breaks. The time per byte
// stays flat as the file grows (one pass, nothing allocated per line).
//
//   build/bin/settings_bench [--benchmark_min_time=1]
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "settings/IniFile.h"

namespace {

namespace fs = std::filesystem;

fs::path MakeFile(const std::string& filler) {
    const fs::path path = fs::temp_directory_path() / ("vontal-bench-" + std::to_string(getpid()) + ".ini");
    std::ofstream(path, std::ios::binary | std::ios::trunc) << filler << "[f]\r\nnTemp=30\r\nnMax=31\r\n";
    return path;
}

std::string Filler(int64_t bytes, bool lineBreaks) {
    return lineBreaks ? std::string(static_cast<size_t>(bytes), '\n')
                      : "; " + std::string(static_cast<size_t>(bytes), 'x') + "\r\n";
}

void BM_Read(benchmark::State& state, bool lineBreaks) {
    const fs::path path = MakeFile(Filler(state.range(0), lineBreaks));
    vontal::IniFile ini(path);
    for (auto _ : state) benchmark::DoNotOptimize(ini.ReadString("f", "nMax", ""));
    state.SetBytesProcessed(state.iterations() * state.range(0));
    fs::remove(path);
}

// The write ends in fsync, so it measures the disk as much as the code.
void BM_Write(benchmark::State& state, bool lineBreaks) {
    const fs::path path = MakeFile(Filler(state.range(0), lineBreaks));
    vontal::IniFile ini(path);
    int64_t k = 0;
    for (auto _ : state) ini.WriteString("f", "KTemp", std::to_string(++k));
    state.SetBytesProcessed(state.iterations() * state.range(0));
    fs::remove(path);
}

BENCHMARK_CAPTURE(BM_Read, one_line, false)->RangeMultiplier(4)->Range(1 << 20, 16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Read, line_breaks, true)->RangeMultiplier(4)->Range(1 << 20, 16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Write, one_line, false)->RangeMultiplier(4)->Range(1 << 20, 16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Write, line_breaks, true)->RangeMultiplier(4)->Range(1 << 20, 16 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
