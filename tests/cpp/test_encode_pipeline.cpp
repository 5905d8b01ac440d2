#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/engine/batch_encoder.hpp"
#include "core/engine/encode_pipeline.hpp"
#include "core/model/normalize.hpp"
#include "core/smf/midi_writer.hpp"

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
  NormalizeOptions o{
      c.ignore_instruments, {c.instrument_programs.begin(), c.instrument_programs.end()}, 10, 5000, c.drum_velocity};
  const MidiDictRecord input =
      normalize
          ? normalize_midi_dict(piece, o, [&](int32_t v) -> std::optional<int32_t> { return tok.quantize_velocity(v); })
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
    NormalizeOptions o{
        c.ignore_instruments, {c.instrument_programs.begin(), c.instrument_programs.end()}, 10, 5000, c.drum_velocity};
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

TEST(EncodeStream, BatchesComeBackInOrderWithResultsInInputOrder) {
  // Pieces of different lengths, a missing file among them, over batches of several sizes (an
  // empty one too) and more threads than some batches have files.
  const AbsTokenizer& tok = AbsTokenizer::shared();
  const auto dir = std::filesystem::temp_directory_path() / ("noteloom-stream-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::vector<std::string> files;
  std::vector<std::vector<uint16_t>> expected;
  for (int k = 0; k < 40; ++k) {
    MidiDictRecord piece = mixed_piece();
    for (int n = 0; n < k * 7; ++n)
      piece.note_msgs.push_back({"note", 50 + n % 30, 500 + 60 * n, 560 + 60 * n, 80, 500 + 60 * n, 0});
    const std::string path = (dir / ("p" + std::to_string(k) + ".mid")).string();
    ASSERT_TRUE(write_midi_file(piece, path));
    auto loaded = encode_midi_file(path, tok, PipelineOptions{});
    ASSERT_TRUE(loaded);
    files.push_back(k % 9 == 4 ? (dir / "missing.mid").string() : path);
    expected.push_back(k % 9 == 4 ? std::vector<uint16_t>{} : loaded.value().ids);
  }
  for (unsigned threads : {1u, 3u}) {
    EncodeStream stream(tok, PipelineOptions{}, threads);
    const size_t sizes[] = {1, 0, 7, 2, 30};
    size_t at = 0;
    std::vector<std::pair<size_t, size_t>> spans;
    for (size_t n : sizes) {
      n = std::min(n, files.size() - at);
      stream.submit(std::vector<EncodeInput>(files.begin() + static_cast<std::ptrdiff_t>(at),
                                             files.begin() + static_cast<std::ptrdiff_t>(at + n)));
      spans.emplace_back(at, n);
      at += n;
    }
    EXPECT_EQ(stream.queued(), std::size(sizes));
    for (const auto& [first, n] : spans) {
      std::vector<Result<EncodedPiece>> results;
      double seconds = -1;
      while (!stream.next(std::chrono::milliseconds(50), results, seconds)) {
      }
      ASSERT_EQ(results.size(), n);
      EXPECT_GE(seconds, 0.0);
      for (size_t i = 0; i < n; ++i) {
        if (expected[first + i].empty()) {
          EXPECT_FALSE(results[i]);
        } else {
          ASSERT_TRUE(results[i]) << files[first + i];
          EXPECT_EQ(results[i].value().ids, expected[first + i]) << files[first + i];
        }
      }
    }
    EXPECT_EQ(stream.queued(), 0u);
  }
  std::filesystem::remove_all(dir);
}

TEST(EncodeStream, AStopFlagCancelsWhatIsNotStarted) {
  const AbsTokenizer& tok = AbsTokenizer::shared();
  uint8_t stop = 1;
  EncodeStream stream(tok, PipelineOptions{}, 2, &stop);
  stream.submit(std::vector<EncodeInput>(50, EncodeInput(std::string("/nonexistent/x.mid"))));
  std::vector<Result<EncodedPiece>> results;
  double seconds;
  while (!stream.next(std::chrono::milliseconds(50), results, seconds)) {
  }
  ASSERT_EQ(results.size(), 50u);
  for (const auto& r : results) EXPECT_EQ(r.error().message, "cancelled");
}
