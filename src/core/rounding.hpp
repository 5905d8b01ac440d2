// Real-to-integer conversion used wherever times are computed in floating point.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace noteloom {

// Rounds halves away from zero, saturates at the int32 limits and maps NaN to 0.
inline int32_t round_to_i32(double value) {
  // Inside the int32 range, truncate and correct by the fraction, which the subtraction gives
  // exactly: the same result as std::round without a library call (this runs per note and tick).
  if (value > -2147483648.5 && value < 2147483647.5) {
    const int64_t truncated = static_cast<int64_t>(value);
    const double fraction = value - static_cast<double>(truncated);
    const int64_t rounded = truncated + (fraction >= 0.5) - (fraction <= -0.5);
    return static_cast<int32_t>(std::clamp<int64_t>(rounded, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
  }
  if (std::isnan(value)) return 0;
  const double r = std::round(value);
  if (r <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
  if (r >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(r);
}

}  // namespace noteloom
