// The one bounds-checked reader of a file's bytes: every read checks what is left first, and a
// read that does not fit fails, taking nothing (a variable-length quantity keeps what it read:
// its caller gives up on the rest). Readers of SMF and RIFF data use it instead of pointers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace noteloom::smf {

class ByteCursor {
 public:
  explicit ByteCursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t remaining() const { return bytes_.size() - pos_; }
  bool empty() const { return pos_ >= bytes_.size(); }
  void skip_to_end() { pos_ = bytes_.size(); }

  // The next byte, left in place.
  bool peek(uint8_t& out) const {
    if (empty()) return false;
    out = bytes_[pos_];
    return true;
  }
  bool u8(uint8_t& out) {
    if (empty()) return false;
    out = bytes_[pos_++];
    return true;
  }
  bool be16(uint16_t& out) {
    if (remaining() < 2) return false;
    out = static_cast<uint16_t>((bytes_[pos_] << 8) | bytes_[pos_ + 1]);
    pos_ += 2;
    return true;
  }
  bool be32(uint32_t& out) { return word(out, true); }
  bool le32(uint32_t& out) { return word(out, false); }
  // A variable-length quantity of at most 4 bytes (7 bits each, the high bit set on all but the last).
  bool varlen(uint32_t& out) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      uint8_t b;
      if (!u8(b)) return false;
      v = (v << 7) | (b & 0x7F);
      if (!(b & 0x80)) {
        out = v;
        return true;
      }
    }
    return false;  // longer than 4 bytes
  }
  // The next n bytes, as a view of the buffer.
  bool take(size_t n, std::span<const uint8_t>& out) {
    if (remaining() < n) return false;
    out = bytes_.subspan(pos_, n);
    pos_ += n;
    return true;
  }
  // The next n bytes, or what is left when fewer remain.
  std::span<const uint8_t> take_at_most(size_t n) {
    const size_t k = n < remaining() ? n : remaining();
    const std::span<const uint8_t> out = bytes_.subspan(pos_, k);
    pos_ += k;
    return out;
  }
  bool skip(size_t n) {
    if (remaining() < n) return false;
    pos_ += n;
    return true;
  }
  // Whether the next four bytes are `tag` (left in place).
  bool at_tag(const char (&tag)[5]) const { return remaining() >= 4 && std::memcmp(bytes_.data() + pos_, tag, 4) == 0; }

 private:
  bool word(uint32_t& out, bool big_endian) {
    if (remaining() < 4) return false;
    const uint8_t* p = bytes_.data() + pos_;
    out = big_endian ? (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]
                     : uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    pos_ += 4;
    return true;
  }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace noteloom::smf
