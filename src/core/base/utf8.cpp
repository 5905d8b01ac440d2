#include "utf8.hpp"

#include <cstdint>

namespace noteloom {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 if it is invalid. Follows the
// well-formed byte sequences of Unicode (no overlongs, no surrogates, nothing past U+10FFFF).
// On failure, `*bad_len` is the length of the maximal invalid prefix to replace.
size_t valid_sequence(std::string_view s, size_t i, size_t* bad_len) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t c = b(i);
  *bad_len = 1;
  if (c < 0x80) return 1;
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    const uint8_t cc = b(i + k);
    if (cc < (k == 1 ? lo : 0x80) || cc > (k == 1 ? hi : 0xBF)) return 0;
    *bad_len = k + 1;
  }
  return need + 1;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    size_t bad = 0;
    const size_t n = valid_sequence(bytes, i, &bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    size_t bad = 0;
    const size_t n = valid_sequence(bytes, i, &bad);
    if (n != 0) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      out.append("\xEF\xBF\xBD");
      i += bad;
    }
  }
  return out;
}

}  // namespace noteloom
