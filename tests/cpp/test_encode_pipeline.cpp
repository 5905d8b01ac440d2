#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "core/encode_pipeline.hpp"
#include "core/normalize.hpp"

using namespace noteloom;

namespace {

// A piano note, a bass note (a family outside the vocabulary), a drum outside the drum pitches and
// one inside them.
MidiDictRecord mixed_piece() {
  MidiDictRecord r;
  r.instrument_msgs = {{"instrument", 0, 0, 0}, {"instrument", 32, 0, 1}};
  r.note_msgs = {{"note", 60, 0, 240, 90, 0, 0},
                 {"note", 40, 120, 480, 70, 120, 1},
                 {"note", 20, 240, 260, 100, 240, 9},
                 {"note", 36, 360, 380, 100, 360, 9}};
  return r;
}

std::vector<uint16_t> composed(const AbsTokenizer& tok, const MidiDictRecord& piece, bool normalize) {
  const auto& c = tok.config();
  NormalizeOptions o{c.ignore_instruments, {c.instrument_programs.begin(), c.instrument_programs.end()}, 10, 5000,
                     c.drum_velocity};
  const MidiDictRecord input =
      normalize ? normalize_midi_dict(piece, o, [&](int32_t v) -> std::optional<int32_t> { return tok.quantize_velocity(v); })
                : piece;
  std::vector<uint16_t> ids;
  for (int32_t id : tok.encode(tok.tokenize(input).value())) ids.push_back(static_cast<uint16_t>(id));
  return ids;
}

PipelineOptions options(bool normalize, OovRule oov) {
  PipelineOptions o;
  o.normalize = normalize;
  o.oov = oov;
  return o;
}

}  // namespace

TEST(EncodePipeline, ZeroRuleEqualsTheComposedSteps) {
  const AbsTokenizer& tok = AbsTokenizer::shared();
  for (bool normalize : {true, false}) {
    auto got = encode_piece(mixed_piece(), tok, options(normalize, OovRule::Zero));
    ASSERT_TRUE(got);
    EXPECT_EQ(got.value().ids, composed(tok, mixed_piece(), normalize)) << normalize;
    EXPECT_EQ(got.value().hash, calculate_hash(mixed_piece()));
  }
}

// Random pieces: tempo changes, programs of every family on many channels, drums, long bodies
// (so "<D>" is placed), overlapping and zero-length notes, and times near the int32 limit whose
// millisecond values wrap around.
TEST(EncodePipeline, OnePassEqualsTheComposedStepsOnRandomPieces) {
  const AbsTokenizer& tok = AbsTokenizer::shared();
  uint64_t state = 12345;
  auto next = [&state](uint32_t bound) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int32_t>((state >> 33) % bound);
  };
  for (int round = 0; round < 300; ++round) {
    MidiDictRecord r;
    r.ticks_per_beat = 1 + next(960);
    for (int k = next(4); k-- > 0;) r.tempo_msgs.push_back({"tempo", 1 + next(2000000), next(20000)});
    for (int k = next(6); k-- > 0;) r.instrument_msgs.push_back({"instrument", next(128), next(100), next(16)});
    const bool huge = round % 10 == 9;
    for (int k = next(400); k-- > 0;) {
      const int32_t start = huge ? 2147480000 + next(3000) : next(200000);
      const int32_t end = start + (next(5) == 0 ? 0 : next(huge ? 600 : 20000));
      r.note_msgs.push_back({"note", next(128), start, end, next(128), start, next(16)});
    }
    std::sort(r.note_msgs.begin(), r.note_msgs.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
    const auto got = encode_piece(r, tok, options(true, OovRule::Zero));
    const auto& c = tok.config();
    NormalizeOptions o{c.ignore_instruments, {c.instrument_programs.begin(), c.instrument_programs.end()}, 10, 5000,
                       c.drum_velocity};
    const auto normalized =
        normalize_midi_dict(r, o, [&](int32_t v) -> std::optional<int32_t> { return tok.quantize_velocity(v); });
    const auto tokens = tok.tokenize(normalized);
    ASSERT_EQ(bool(got), bool(tokens)) << round;
    if (got) {
      EXPECT_EQ(got.value().ids, composed(tok, r, true)) << round;
    }
  }
}

TEST(EncodePipeline, OutOfVocabularyRules) {
  const AbsTokenizer& tok = AbsTokenizer::shared();
  // Raw: the bass prefix, the bass note and the low drum are outside the vocabulary.
  const auto zero = encode_piece(mixed_piece(), tok, options(false, OovRule::Zero)).value();
  const auto unk = encode_piece(mixed_piece(), tok, options(false, OovRule::Unk)).value();
  const auto drop = encode_piece(mixed_piece(), tok, options(false, OovRule::Drop)).value();
  EXPECT_EQ(zero.oov, 3u);
  EXPECT_EQ(unk.oov, 3u);
  EXPECT_EQ(drop.oov, 3u);
  EXPECT_EQ(std::count(zero.ids.begin(), zero.ids.end(), 0), 4);  // "<S>" and the three
  EXPECT_EQ(std::count(unk.ids.begin(), unk.ids.end(), 0), 1);
  EXPECT_EQ(std::count(unk.ids.begin(), unk.ids.end(), tok.unk_id()), 3);
  ASSERT_EQ(unk.ids.size(), zero.ids.size());
  // Drop leaves out the prefix (1), the bass group (3) and the drum group (2).
  EXPECT_EQ(drop.ids.size(), zero.ids.size() - 6);
  EXPECT_EQ(std::count(drop.ids.begin(), drop.ids.end(), 0), 1);
  // Normalized: bass is not a kept family, so only the low drum is outside.
  EXPECT_EQ(encode_piece(mixed_piece(), tok, options(true, OovRule::Drop)).value().oov, 1u);
}

TEST(EncodePipeline, Failures) {
  const AbsTokenizer& tok = AbsTokenizer::shared();
  PipelineOptions small;
  small.max_tokens = 3;
  auto too_long = encode_piece(mixed_piece(), tok, small);
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().message.rfind("Too many tokens: ", 0), 0u);
  auto empty = encode_piece(MidiDictRecord{}, tok, PipelineOptions{});
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().message, kEmptyNoteMessages);
  const uint8_t junk[] = {'n', 'o', 't', ' ', 'm', 'i', 'd', 'i'};
  auto bad = encode_midi_bytes(junk, tok, PipelineOptions{});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message, "Failed to load MIDI file: invalid midi: not a midi file");
  auto missing = encode_midi_file("/nonexistent/x.mid", tok, PipelineOptions{});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "Failed to load MIDI file: No such file or directory (os error 2)");
}
