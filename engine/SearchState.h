// The one record through which the computation thread and the window meet: the task, the
// position reached, the stop flag and the throughput figures.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Kernel.h"
#include "Sieve.h"

namespace vontal {

class ISettings;
class TFactor;

// Priority texts shown on the status line; `priorityText` holds an index into this table
// (or -1 while none has been applied yet) so that it can be swapped in one atomic step.
inline constexpr const char* kPriorityTexts[6] = {"1-Idle",   "2-Lowest", "3-Lower",
                                                  "4-Normal", "5-Higher", "6-Highest"};

// 32-bit words of the largest candidate of an exponent: (floor(log2 kMax) + n) div 32 + 1.
uint32_t LimbCountFor(int64_t kMax, uint32_t n);

class TSearchState {
public:
    TSearchState();
    ~TSearchState();
    TSearchState(const TSearchState&) = delete;
    TSearchState& operator=(const TSearchState&) = delete;

    // --- Task and position. Shared with the window thread: whole 64-bit accesses. -----------
    std::atomic<uint32_t> nMin{0};
    std::atomic<uint32_t> nMax{0};
    std::atomic<uint32_t> nTemp{0};
    std::atomic<int64_t> kMin{0};
    std::atomic<int64_t> kMax{0};
    std::atomic<int64_t> KTemp{0};

    // --- Sizes of the exponent in hand, for the status line. --------------------------------
    std::atomic<uint32_t> primeCount{0};
    std::atomic<uint32_t> sieveSize{0};
    std::atomic<uint32_t> limbCount{0};  // "Used arrays"

    // --- Run control. ------------------------------------------------------------------------
    std::atomic<uint32_t> stopFlag{0};   // 1 = no search running, or stop requested
    std::atomic<uint32_t> viewTicks{0};
    // Cores to search with; 0 = the settings key "Threads" (default 1). Front ends may set it.
    std::atomic<uint32_t> threadCount{0};
    TFactor* factorThread = nullptr;     // owned by whoever started it (window or front end)

    // --- Throughput. ---------------------------------------------------------------------------
    std::atomic<int64_t> kStart{0};
    std::atomic<uint32_t> tickStart{0};
    std::atomic<int64_t> kPerDay{0};

    // --- Machine facts, measured once before any thread starts. -----------------------------
    uint32_t cpuFamily = 0;
    uint32_t cpuMHz = 0;

    // --- Priority. -----------------------------------------------------------------------------
    std::atomic<int> priorityText{-1};   // index into kPriorityTexts, -1 = none yet
    std::atomic<uint32_t> floatingMode{0};
    std::atomic<int32_t> lastMouseX{0};
    std::atomic<int32_t> pointerX{0};    // pointer position, kept current by the window thread

    // --- Files and texts. ------------------------------------------------------------------------
    std::filesystem::path programDir;    // where "Result.txt", "Vontal.log", "Vontal.ini" live
    ISettings* iniFile = nullptr;
    std::string versionText = "4.4";
    char thousandsSeparator = ',';       // set by the front end before any thread starts

    std::string priorityName() const;

    // The position to save while a search runs: the exponent nTemp and the k to resume it at,
    // read so that the two belong together (the thread stores them with release order). False
    // when no such pair can be had just now: before the thread has taken up its position (KTemp
    // 0), and while it passes from one exponent to the next (KTemp at or beyond kMax, which would
    // begin an exponent afresh whether or not it was finished). That lasts a moment; ask again.
    bool ResumePoint(uint32_t& n, int64_t& k) const;

};

}  // namespace vontal
