// Integer arithmetic of times: the real-to-integer conversion used wherever times are computed in
// floating point, and the wrapping sum and product used where they are not (times are 32-bit and
// wrap modulo 2^32, as a file's tick counts do, instead of overflowing).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace noteloom {

// Rounds halves away from zero, saturates at the int32 limits and maps NaN to 0.
inline int32_t round_to_i32(double value) {
  // Inside the int32 range, add just under one half (0.5 - 2^-54) toward the sign and truncate:
  // the same result as std::round without a library call (this runs per note and tick). The sum
  // is exact or rounds to the right side for every |value| < 2^52: below a half it stays below 1,
  // and at a half it lands a quarter ulp under the next integer and rounds onto it.
  if (value > -2147483648.5 && value < 2147483647.5) {
    return static_cast<int32_t>(static_cast<int64_t>(value + std::copysign(0.49999999999999994, value)));
  }
  if (std::isnan(value)) return 0;
  const double r = std::round(value);
  if (r <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
  if (r >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(r);
}

// a + b and a * b modulo 2^32.
inline int32_t wrap_add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wrap_mul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

}  // namespace noteloom
