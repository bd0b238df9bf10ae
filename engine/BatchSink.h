// Where one exponent's tested candidates go, in increasing k.
#pragma once

#include <cstdint>

namespace vontal {

// Takes each tested batch, in k order: ks[i] with ms[i], the m that ks[i]·2^n + 1 divides or 0;
// endK, when not 0, is a block end at or beyond kMax that ends the exponent. Called on the
// computation thread only, and only with batches below which every candidate has been tested.
// Returns true to stop the scan after this batch.
class IBatchSink {
public:
    virtual ~IBatchSink() = default;
    virtual bool Publish(const uint64_t* ks, const uint32_t* ms, uint32_t count, uint64_t endK) = 0;
};

}  // namespace vontal
