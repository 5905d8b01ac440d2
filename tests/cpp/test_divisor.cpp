#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>

#include "core/base/divisor.hpp"

using namespace noteloom;

// Every quotient and remainder equals the hardware's, at the edges of int32 and at random, for
// divisors around powers of two, the tokenizer's usual steps and the largest.
TEST(Divisor, AgreesWithHardwareDivision) {
  const int32_t divisors[] = {1, 2, 3, 4, 7, 10, 127, 5000, 65535, 65536, 65537, 1 << 30, INT32_MAX - 1, INT32_MAX};
  std::mt19937 rng(7);
  std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
  for (const int32_t d : divisors) {
    const Divisor div(d);
    const auto above = static_cast<int32_t>(std::min<int64_t>(int64_t{d} + 1, INT32_MAX));
    std::vector<int32_t> values = {0, 1, -1, d - 1, d, above, -d, INT32_MAX, INT32_MAX - 1, INT32_MIN, INT32_MIN + 1};
    for (int i = 0; i < 20000; ++i) values.push_back(any(rng));
    for (const int32_t n : values) {
      ASSERT_EQ(div.quot(n), n / d) << n << " / " << d;
      ASSERT_EQ(div.rem(n), n % d) << n << " % " << d;
    }
  }
}
