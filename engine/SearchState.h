// The task and the position reached, shared by the computation thread, which writes them, and
// the front end, which reads them while it runs and saves them.
#pragma once

#include <atomic>
#include <cstdint>

namespace vontal {

// 32-bit words of the largest candidate of an exponent: (floor(log2 kMax) + n) div 32 + 1.
uint32_t LimbCountFor(int64_t kMax, uint32_t n);

class SearchState {
public:
    SearchState() = default;
    SearchState(const SearchState&) = delete;
    SearchState& operator=(const SearchState&) = delete;

    // --- The task in hand and the position reached. ------------------------------------------
    std::atomic<uint32_t> nFirst{0};
    std::atomic<uint32_t> nLast{0};
    std::atomic<uint32_t> nCurrent{0};  // the exponent in hand; nLast + 1 once the task is done
    std::atomic<int64_t> kLow{0};
    std::atomic<int64_t> kHigh{0};
    // The multiplier a resumed search tests first: the last one published (a divisor already
    // recorded moves it to the next odd k); 0 or kHigh and beyond begin the exponent afresh.
    std::atomic<int64_t> kPosition{0};

    // Set by the front end; the thread leaves after the batch in hand.
    std::atomic<bool> stopRequested{false};

    // --- Sizes of the exponent in hand, for the status line. --------------------------------
    std::atomic<uint32_t> primeCount{0};
    std::atomic<uint32_t> sieveBlockSize{0};
    std::atomic<uint32_t> limbCount{0};

    // The position to save while a search runs: the exponent nCurrent and the k to resume it at,
    // read so that the two belong together (the thread stores them with release order). False
    // when no such pair can be had just now: before the thread has taken up its position (k 0),
    // and while it passes from one exponent to the next (k at or beyond kHigh, which would begin
    // an exponent afresh whether or not it was finished). That lasts a moment; ask again.
    bool ResumePoint(uint32_t& n, int64_t& k) const;
};

}  // namespace vontal
