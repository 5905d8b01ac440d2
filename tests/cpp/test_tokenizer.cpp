#include <gtest/gtest.h>

#include <climits>

#include "core/model/midi_dict.hpp"
#include "core/tokenizer/abs_tokenizer.hpp"
#include "core/tokenizer/tokenizer.hpp"

using namespace noteloom;

TEST(NearestInGrid, FirstProbeWinsTies) {
  std::vector<int32_t> velocity;
  for (int32_t v = 0; v <= 124; v += 4) velocity.push_back(v);
  EXPECT_EQ(nearest_in_grid(velocity, 2), 4);
  EXPECT_EQ(nearest_in_grid(velocity, 6), 4);
  EXPECT_EQ(nearest_in_grid(velocity, 200), 124);
  EXPECT_EQ(nearest_in_grid(velocity, -50), 0);
  std::vector<int32_t> onset;
  for (int32_t t = 0; t < 5000; t += 10) onset.push_back(t);
  EXPECT_EQ(nearest_in_grid(onset, 5), 0);
  EXPECT_EQ(nearest_in_grid(onset, 15), 20);
  EXPECT_EQ(nearest_in_grid({}, 7), 0);
  // Distances are exact even at the int32 extremes.
  EXPECT_EQ(nearest_in_grid({INT32_MIN, INT32_MAX}, 0), INT32_MAX);
  EXPECT_EQ(nearest_in_grid({INT32_MIN, INT32_MAX}, -1), INT32_MIN);
}

TEST(ElapsedMs, StopsAfterTheLastTempoRecord) {
  const std::vector<TempoMessage> tempos = {{"tempo", 500000, 0}, {"tempo", 1000000, 480}};
  // Up to the very last tick: the last record governs everything after its tick.
  const double expected = (480.0 * (0.5 / 480) + (INT32_MAX - 480.0) * (1.0 / 480)) * 1000.0;
  EXPECT_EQ(elapsed_ms(tempos, 480, 0, INT32_MAX), expected >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(expected));
  EXPECT_EQ(elapsed_ms(tempos, 480, 480, 960), 1000);
}

TEST(ElapsedMs, FromLaterTickUsesTempoInEffectThere) {
  const std::vector<TempoMessage> tempos = {{"tempo", 1000000, 0}, {"tempo", 500000, 480}};
  EXPECT_EQ(elapsed_ms(tempos, 480, 960, 1200), 250);
  EXPECT_EQ(elapsed_ms(tempos, 480, 240, 720), 500 + 250);
  EXPECT_EQ(elapsed_ms(tempos, 480, 720, 240), 0);                      // backwards spans count nothing
  EXPECT_EQ(elapsed_ms({}, 960, -2000000000, 2000000000), 2083333333);  // a 4e9-tick span, no 32-bit wrap
}

TEST(AbsTokenizer, VocabularyLayout) {
  const AbsTokenizer tok;
  EXPECT_EQ(tok.vocab_size(), 13351u);
  const auto& vocab = tok.vocabulary();
  EXPECT_EQ(vocab[6], Token::prefix("prefix:instrument:piano"));
  EXPECT_EQ(vocab[7], Token::prefix("prefix:instrument:guitar"));
  EXPECT_EQ(vocab[8], Token::prefix("prefix:instrument:drum"));
  EXPECT_EQ(vocab[1951], Token::note("piano", 60, 64));
  EXPECT_EQ(vocab[12302], Token::note("drum", 127, 124));
  EXPECT_EQ(vocab[12303], Token::drum(35));
  EXPECT_EQ(vocab[13350], Token::onset(4990));
  EXPECT_EQ(tok.core().pad_id(), 2);
}

TEST(AbsTokenizer, DimTokenBeforeAGroupNearTheEnd) {
  const AbsTokenizer tok;
  MidiDictRecord piece;
  piece.ticks_per_beat = 500;  // one tick per millisecond at the default tempo
  for (int32_t i = 0; i < 51; ++i) piece.note_msgs.push_back({"note", 60, i * 20, i * 20 + 10, 64, i * 20, 0});
  const MidiDictRecord before = piece;
  auto tokens = tok.tokenize(piece);
  ASSERT_TRUE(tokens);
  const auto& t = tokens.value();
  // prefix, <S>, 153 body tokens + <D>, <E>
  ASSERT_EQ(t.size(), 1u + 1u + 153u + 1u + 1u);
  size_t dim = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i].is_special(kDimTok)) dim = i;
  }
  // Body index 53 is the note token of the 18th group: 153 - 100 = 53 lands on a note token.
  EXPECT_EQ(dim, 2u + 51u);
  EXPECT_EQ(t[dim + 1].kind, TokenKind::Note);
  EXPECT_EQ(piece, before);  // read in place, left as it was
}

TEST(AbsTokenizer, ArithmeticIdsAgreeWithTheVocabulary) {
  const AbsTokenizer tok;
  const auto& tokens = tok.vocabulary();
  for (size_t i = 0; i < tokens.size(); ++i) ASSERT_EQ(tok.id_of(tokens[i]), static_cast<int32_t>(i)) << i;
  // Just outside every regular block, and off-grid values, are not in the vocabulary.
  for (const Token& t : {Token::note("piano", 60, 2), Token::note("piano", 128, 64), Token::note("piano", -1, 64),
                         Token::note("piano", 60, 128), Token::note("piano", 60, -4), Token::note("organ", 60, 64),
                         Token::note("", 60, 64), Token::drum(34), Token::drum(82), Token::dur(5010), Token::dur(-10),
                         Token::dur(15), Token::onset(5000), Token::onset(-10), Token::onset(7)}) {
    EXPECT_FALSE(tok.id_of(t).has_value()) << t.text << " " << t.value << " " << t.velocity;
  }
  const std::vector<Token> sample = {Token::note("drum", 127, 124), Token::special("<U>"), Token::special("nope")};
  EXPECT_EQ(tok.encode(sample), (std::vector<int32_t>{12302, 3, 0}));
}

TEST(NearestInGrid, TableAgreesWithTheSearchEverywhere) {
  const std::vector<std::vector<int32_t>> grids = {
      {0, 10, 20, 30, 40, 50}, {0, 4, 8, 12, 124}, {-7, -2, 3, 9, 10, 40}, {5}, {0, 3, 6, 7, 11, 16, 22}};
  for (const auto& grid : grids) {
    const NearestInGrid table(grid);
    for (int32_t x = -100; x <= 200; ++x) ASSERT_EQ(table(x), nearest_in_grid(grid, x)) << x;
    for (int32_t x : {INT32_MIN, INT32_MIN + 1, INT32_MAX - 1, INT32_MAX})
      EXPECT_EQ(table(x), nearest_in_grid(grid, x));
  }
  const NearestInGrid wide({INT32_MIN, 0, INT32_MAX});  // too wide for a table: searched
  EXPECT_EQ(wide(5), 0);
  EXPECT_EQ(wide(-2000000000), INT32_MIN);
}
