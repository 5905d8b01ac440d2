// Token: the value type of every token sequence. Six kinds in fixed tag order.
//
// A token is a small, trivially copyable value. Its text is a view, not a copy: it points into the
// tokenizer's vocabulary, into static storage, or (for tokens read from Python) into the text of a
// Python object that the caller keeps alive while the token is in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace noteloom {

enum class TokenKind : uint8_t { Special = 0, Prefix = 1, Note = 2, Onset = 3, Dur = 4, Drum = 5 };

struct Token {
  TokenKind kind = TokenKind::Special;
  int32_t value = 0;      // Note, Drum: the pitch; Onset, Dur: the time in milliseconds
  int32_t velocity = 0;   // Note only
  std::string_view text;  // Special: the text; Prefix: "first:second:third"; Note: the instrument

  static constexpr Token special(std::string_view t) { return {TokenKind::Special, 0, 0, t}; }
  // `joined` holds exactly three ':'-separated pieces.
  static constexpr Token prefix(std::string_view joined) { return {TokenKind::Prefix, 0, 0, joined}; }
  static constexpr Token note(std::string_view instrument, int32_t pitch, int32_t velocity) {
    return {TokenKind::Note, pitch, velocity, instrument};
  }
  static constexpr Token onset(int32_t ms) { return {TokenKind::Onset, ms, 0, {}}; }
  static constexpr Token dur(int32_t ms) { return {TokenKind::Dur, ms, 0, {}}; }
  static constexpr Token drum(int32_t pitch) { return {TokenKind::Drum, pitch, 0, {}}; }

  bool operator==(const Token&) const = default;
  bool is_special(std::string_view t) const { return kind == TokenKind::Special && text == t; }

  // Piece 0, 1 or 2 of a prefix token's text.
  std::string_view prefix_piece(int i) const {
    std::string_view rest = text;
    for (; i > 0; --i) rest.remove_prefix(rest.find(':') + 1);
    return rest.substr(0, rest.find(':'));
  }
};

// The text form of tokens, as callers write them: a special token is its text alone; every other
// token is (text, first, second), where the text names the kind:
//   "<...>"                      special token of that text (the numbers are ignored)
//   "onset", "dur"               onset or duration of `first` milliseconds
//   "drum"                       drum hit of pitch `first` (so the vocabulary's note tokens of the
//                                instrument "drum" have no text form of their own)
//   "...prefix:..." with exactly three ':'-separated pieces: prefix token of that text;
//                                with another number of pieces: special token of that text
//   anything else                note of that instrument, pitch `first`, velocity `second`
// The token views `text`.
Token token_from_text(std::string_view text, int32_t first, int32_t second);

// The reverse: (text, first, second) of a token that is not special, texts in static storage or
// the token's own.
struct TokenText {
  std::string_view text;
  int32_t first = 0;
  int32_t second = 0;
};
TokenText text_of(const Token& t);

}  // namespace noteloom
