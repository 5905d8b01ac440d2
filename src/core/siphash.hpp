// Streaming SipHash-1-3 with a 128-bit key (one compression round, three finalization rounds).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace noteloom {

class SipHasher13 {
 public:
  explicit SipHasher13(uint64_t k0 = 0, uint64_t k1 = 0);

  void write(const void* data, size_t len);
  void write(std::string_view bytes) { write(bytes.data(), bytes.size()); }
  void write_u8(uint8_t v) { write(&v, 1); }
  void write_u32_le(uint32_t v);
  void write_u64_le(uint64_t v);
  uint64_t finish() const;

 private:
  void compress(uint64_t m);

  uint64_t v0_, v1_, v2_, v3_;
  uint64_t tail_ = 0;       // pending bytes, little-endian packed
  size_t ntail_ = 0;        // how many bytes tail_ holds (0..7)
  uint64_t length_ = 0;     // total bytes written
};

}  // namespace noteloom
