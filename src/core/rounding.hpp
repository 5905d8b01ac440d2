// Real-to-integer conversion used wherever times are computed in floating point.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace noteloom {

// Rounds halves away from zero, saturates at the int32 limits and maps NaN to 0.
inline int32_t round_to_i32(double value) {
  if (std::isnan(value)) return 0;
  const double r = std::round(value);
  if (r <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
  if (r >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(r);
}

}  // namespace noteloom
