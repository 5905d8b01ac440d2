// Streaming SipHash-1-3 with a 128-bit key (one compression round, three finalization rounds).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace noteloom {

// One SipRound on the state (v0, v1, v2, v3).
inline void sip_round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1;
  v1 = std::rotl(v1, 13);
  v1 ^= v0;
  v0 = std::rotl(v0, 32);
  v2 += v3;
  v3 = std::rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = std::rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = std::rotl(v1, 17);
  v1 ^= v2;
  v2 = std::rotl(v2, 32);
}

class SipHasher13 {
 public:
  explicit SipHasher13(uint64_t k0 = 0, uint64_t k1 = 0);

  void write(const void* data, size_t len);
  void write(std::string_view bytes) { write(bytes.data(), bytes.size()); }
  void write_u8(uint8_t v) { write_word(v, 1); }
  void write_u32_le(uint32_t v) { write_word(v, 4); }
  void write_u64_le(uint64_t v) { write_word(v, 8); }
  uint64_t finish() const;

  // Appends the low `n` bytes (1..8) of `v`, little-endian, a word at a time: the hash of a record
  // is mostly such small integers and short tags. The bytes of `v` above the low `n` are zero.
  void write_word(uint64_t v, size_t n) {
    length_ += n;
    tail_ |= v << (8 * ntail_);  // ntail_ <= 7: the shift stays below 64
    ntail_ += n;
    if (ntail_ >= 8) {
      compress(tail_);
      ntail_ -= 8;
      tail_ = ntail_ == 0 ? 0 : v >> (8 * (n - ntail_));
    }
  }

 private:
  void compress(uint64_t m) {  // one SipRound per word: inline, it runs a few times per note
    v3_ ^= m;
    sip_round(v0_, v1_, v2_, v3_);
    v0_ ^= m;
  }

  uint64_t v0_, v1_, v2_, v3_;
  uint64_t tail_ = 0;    // pending bytes, little-endian packed
  size_t ntail_ = 0;     // how many bytes tail_ holds (0..7)
  uint64_t length_ = 0;  // total bytes written
};

}  // namespace noteloom
