// The check value "CODO" that closes every finished exponent in the log, so that whoever
// collects the logs can recompute it from the exponent and the k range.
#pragma once

#include <cstdint>
#include <string>

namespace vontal {

// Ten upper-case hexadecimal digits: two from the version, eight from
// ((nA*nB mod 2^32) * kLow * kHigh)^16 mod 2147481863.
std::string CheckValue(uint32_t nA, uint32_t nB, int64_t kLow, int64_t kHigh,
                     const std::string& versionText);

}  // namespace vontal
