#include <gtest/gtest.h>

#include "core/tokenizer/abs_tokenizer.hpp"
#include "core/tokenizer/token.hpp"

using namespace noteloom;

// One row per line of the grammar in token.hpp.
TEST(TokenText, TheTextNamesTheKind) {
  EXPECT_EQ(token_from_text("<S>", 5, 6), Token::special("<S>"));
  EXPECT_EQ(token_from_text("<anything", 1, 2), Token::special("<anything"));
  EXPECT_EQ(token_from_text("onset", 120, 9), Token::onset(120));
  EXPECT_EQ(token_from_text("dur", 40, 9), Token::dur(40));
  EXPECT_EQ(token_from_text("drum", 36, 9), Token::drum(36));
  EXPECT_EQ(token_from_text("prefix:instrument:piano", 1, 2), Token::prefix("prefix:instrument:piano"));
  EXPECT_EQ(token_from_text("x:prefix:y", 0, 0), Token::prefix("x:prefix:y"));  // "prefix:" anywhere
  EXPECT_EQ(token_from_text("prefix:a:b:c", 0, 0), Token::special("prefix:a:b:c"));
  EXPECT_EQ(token_from_text("prefix:a", 0, 0), Token::special("prefix:a"));
  EXPECT_EQ(token_from_text("piano", 60, 44), Token::note("piano", 60, 44));
  EXPECT_EQ(token_from_text("", 60, 44), Token::note("", 60, 44));
  EXPECT_EQ(token_from_text("Onset", 1, 2), Token::note("Onset", 1, 2));  // names are case-sensitive
}

TEST(TokenText, VocabularyTokensReadBackFromTheirText) {
  const AbsTokenizer& tok = AbsTokenizer::shared();
  for (size_t id = 0; id < tok.vocab_size(); ++id) {
    const Token& t = tok.vocabulary()[id];
    if (t.kind == TokenKind::Special) continue;  // a special token is its text alone
    const TokenText form = text_of(t);
    // The note tokens of the instrument "drum" share their text with drum hits, which win.
    const Token expected = t.kind == TokenKind::Note && t.text == "drum" ? Token::drum(t.value) : t;
    ASSERT_EQ(token_from_text(form.text, form.first, form.second), expected) << id;
  }
}

TEST(Decode, IdsOutsideTheVocabularyDecodeAsUnknown) {
  const AbsTokenizer& tok = AbsTokenizer::shared();
  const auto last = static_cast<int32_t>(tok.vocab_size()) - 1;
  const std::vector<int32_t> ids = {-1, 0, last, last + 1, INT32_MIN, INT32_MAX};
  const std::vector<Token> tokens = tok.decode(ids);
  ASSERT_EQ(tokens.size(), ids.size());
  EXPECT_EQ(tokens[0], Token::special(kUnkTok));
  EXPECT_EQ(tokens[1], tok.vocabulary()[0]);
  EXPECT_EQ(tokens[2], tok.vocabulary()[static_cast<size_t>(last)]);
  for (size_t i : {3u, 4u, 5u}) EXPECT_EQ(tokens[i], Token::special(kUnkTok)) << i;
}
