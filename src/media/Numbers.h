#pragma once

// Numbers as the records hold them.

#include <cmath>
#include <cstdint>
#include <limits>

namespace corvane::media {

// value truncated toward zero into the 32-bit range: values beyond it stick
// at its ends, NaN gives 0, so hostile input never reaches undefined
// behaviour.
inline int32_t truncateToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  if (value <= static_cast<double>(std::numeric_limits<int32_t>::min()))
    return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace corvane::media
