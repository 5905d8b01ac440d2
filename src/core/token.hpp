// Token: the value type of every token sequence. Six kinds in fixed tag order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace noteloom {

enum class TokenKind : uint8_t { Special = 0, Prefix = 1, Note = 2, Onset = 3, Dur = 4, Drum = 5 };

struct Token {
  TokenKind kind = TokenKind::Special;
  std::string text;         // Special: the text; Prefix: first piece; Note: instrument name
  std::string text2, text3; // Prefix: second and third pieces
  int32_t a = 0;            // Note: pitch; Onset: time; Dur: duration; Drum: pitch
  int32_t b = 0;            // Note: velocity

  static Token special(std::string t) { return {TokenKind::Special, std::move(t), {}, {}, 0, 0}; }
  static Token prefix(std::string x, std::string y, std::string z) {
    return {TokenKind::Prefix, std::move(x), std::move(y), std::move(z), 0, 0};
  }
  static Token note(std::string instrument, int32_t pitch, int32_t velocity) {
    return {TokenKind::Note, std::move(instrument), {}, {}, pitch, velocity};
  }
  static Token onset(int32_t ms) { return {TokenKind::Onset, {}, {}, {}, ms, 0}; }
  static Token dur(int32_t ms) { return {TokenKind::Dur, {}, {}, {}, ms, 0}; }
  static Token drum(int32_t pitch) { return {TokenKind::Drum, {}, {}, {}, pitch, 0}; }

  bool operator==(const Token&) const = default;
  bool is_special(std::string_view t) const { return kind == TokenKind::Special && text == t; }
};

struct TokenHash {
  size_t operator()(const Token& t) const noexcept;
};

}  // namespace noteloom
