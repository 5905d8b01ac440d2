#include "token.hpp"

#include <algorithm>

namespace noteloom {

Token token_from_text(std::string_view text, int32_t first, int32_t second) {
  if (!text.empty() && text.front() == '<') return Token::special(text);
  if (text == "onset") return Token::onset(first);
  if (text == "dur") return Token::dur(first);
  if (text == "drum") return Token::drum(first);
  if (text.find("prefix:") != std::string_view::npos) {
    return std::count(text.begin(), text.end(), ':') == 2 ? Token::prefix(text) : Token::special(text);
  }
  return Token::note(text, first, second);
}

TokenText text_of(const Token& t) {
  switch (t.kind) {
    case TokenKind::Note:
      return {t.text, t.value, t.velocity};
    case TokenKind::Onset:
      return {"onset", t.value, 0};
    case TokenKind::Dur:
      return {"dur", t.value, 0};
    case TokenKind::Drum:
      return {"drum", t.value, 0};
    default:  // special and prefix tokens: their text
      return {t.text, 0, 0};
  }
}

}  // namespace noteloom
