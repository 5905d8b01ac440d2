// Division by a positive divisor fixed at run time (a tokenizer's time step, say) as a multiply and
// a shift, as a compiler does for a constant divisor: the per-note loops divide several times per
// note, and a hardware division costs ten times a multiplication.
//
// For 0 <= n < 2^31 and d >= 1 with l = ceil(log2 d) and m = ceil(2^(31 + l) / d) (at most 2^32),
// floor(n / d) = (n * m) >> (31 + l) exactly (Granlund and Montgomery, 1994); n * m < 2^63. Negative
// dividends take the hardware division, so every result equals C++'s `/` and `%`.
#pragma once

#include <bit>
#include <cstdint>

namespace noteloom {

class Divisor {
 public:
  explicit Divisor(int32_t d = 1) : d_(d < 1 ? 1 : d) {
    const auto ud = static_cast<uint32_t>(d_);
    const int l = ud == 1 ? 0 : 32 - std::countl_zero(ud - 1);
    shift_ = 31 + l;
    m_ = ((uint64_t{1} << shift_) + ud - 1) / ud;
  }
  int32_t value() const { return d_; }
  int32_t quot(int32_t n) const {
    if (n < 0) return n / d_;
    return static_cast<int32_t>((static_cast<uint64_t>(n) * m_) >> shift_);
  }
  int32_t rem(int32_t n) const { return n - quot(n) * d_; }

 private:
  int32_t d_;
  int shift_ = 31;
  uint64_t m_ = 1;
};

}  // namespace noteloom
