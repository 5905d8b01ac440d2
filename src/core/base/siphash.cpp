#include "siphash.hpp"

#include <bit>
#include <cstring>

namespace noteloom {
namespace {

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, p, 8);
  } else {
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  }
  return v;
}

}  // namespace

SipHasher13::SipHasher13(uint64_t k0, uint64_t k1)
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

void SipHasher13::write(const void* data, size_t len) {
  auto p = static_cast<const unsigned char*>(data);
  if (len <= 8) {  // short texts (message tags) as one word
    if (len == 0) return;
    uint64_t word = 0;
    for (size_t i = len; i-- > 0;) word = (word << 8) | p[i];
    write_word(word, len);
    return;
  }
  length_ += len;
  // Top up a partial word first.
  while (ntail_ != 0 && len != 0) {
    tail_ |= static_cast<uint64_t>(*p++) << (8 * ntail_);
    --len;
    if (++ntail_ == 8) {
      compress(tail_);
      tail_ = 0;
      ntail_ = 0;
    }
  }
  // The state in locals: stores to members could alias the input bytes, and would be kept in memory.
  SipHasher13 state = *this;
  for (; len >= 8; len -= 8, p += 8) state.compress(load_le64(p));
  *this = state;
  for (; len != 0; --len) tail_ |= static_cast<uint64_t>(*p++) << (8 * ntail_++);
}

uint64_t SipHasher13::finish() const {
  uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
  const uint64_t b = (length_ << 56) | tail_;
  v3 ^= b;
  sip_round(v0, v1, v2, v3);
  v0 ^= b;
  v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) sip_round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace noteloom
