// The absolute tokenizer: notes become (instrument, pitch, velocity), onset and duration tokens in
// absolute milliseconds, with a time token "<T>" for every passing segment of abs_time_step_ms.
//
// Token IDs (the same in every process; 13351 tokens with the built-in configuration):
//
//   first ID  count  tokens
//   0         6      special: "<S>" "<E>" "<P>" "<U>" "<D>" "<T>"
//   6         9      prefixes: instrument piano, guitar, drum; composer x2; form x2; genre x2
//   15        12288  notes: instrument (piano 15, guitar 4111, drum 8207) x pitch 0..127 x
//                    velocity 0..124 in steps of 4, velocity fastest
//   12303     47     drums: pitch 35..81
//   12350     501    durations: 0..5000 ms in steps of 10
//   12851     500    onsets: 0..4990 ms in steps of 10
//
// The blocks follow from the order the vocabulary is built in (special tokens, prefixes, then each
// regular family in grid order). Regular tokens are located by arithmetic on this layout; special
// and prefix tokens by a short search. Decoding an ID outside 0..vocab_size()-1 gives "<U>";
// encoding a token outside the vocabulary gives 0.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../base/divisor.hpp"
#include "../base/result.hpp"
#include "../model/instruments.hpp"
#include "../model/midi_dict.hpp"
#include "config.hpp"
#include "token.hpp"
#include "tokenizer.hpp"

namespace noteloom {

// Drum pitches in the vocabulary: kFirstDrumPitch up to kDrumPitchEnd, exclusive.
inline constexpr int32_t kFirstDrumPitch = 35;
inline constexpr int32_t kDrumPitchEnd = 82;

inline constexpr const char* kEmptyNoteMessages = "Empty note messages after filtering";

class AbsTokenizer {
 public:
  // Built from a configuration that config_error accepts; the default one is the built-in.
  explicit AbsTokenizer(AbsTokenizerConfig config = {});
  // Tokens point into the tokenizer's own storage: it stays where it was built.
  AbsTokenizer(const AbsTokenizer&) = delete;
  AbsTokenizer& operator=(const AbsTokenizer&) = delete;

  // The tokenizer is immutable, so one instance, built on first use, serves the whole process.
  static const AbsTokenizer& shared();

  const AbsTokenizerConfig& config() const { return config_; }
  // Different for every tokenizer the process builds (an address may be reused).
  uint64_t serial() const { return serial_; }
  const std::string& name() const { return name_; }
  const std::vector<std::string>& instruments_wd() const { return instruments_wd_; }
  const TokenizerCore& core() const { return core_; }
  size_t vocab_size() const { return vocab_.size(); }
  // The vocabulary; the index is the ID.
  const std::vector<Token>& vocabulary() const { return vocab_; }
  int32_t quantize_velocity(int32_t v) const { return core_.quantize_velocity(v); }

  // Fails only with kEmptyNoteMessages when no note is left after instrument filtering. Reads the
  // piece without copying it; the tokens' texts point into the tokenizer or static storage.
  Result<std::vector<Token>> tokenize(const MidiDictRecord& piece) const;
  // Never fails: malformed or unknown tokens are skipped.
  MidiDictRecord detokenize(std::span<const Token> tokens) const;

  // ID of a token, or -1 when it is not in the vocabulary.
  int32_t find_id(const Token& t) const;
  std::optional<int32_t> id_of(const Token& t) const {
    const int32_t id = find_id(t);
    return id < 0 ? std::nullopt : std::optional<int32_t>(id);
  }
  // ID of the unknown token "<U>".
  int32_t unk_id() const { return unk_id_; }

  // Tokens outside the vocabulary encode as 0.
  std::vector<int32_t> encode(std::span<const Token> tokens) const;
  // The ID that `id` decodes as: itself inside the vocabulary, else the ID of "<U>".
  int32_t decoded_id(int32_t id) const { return id >= 0 && static_cast<size_t>(id) < vocab_.size() ? id : unk_id_; }
  std::vector<Token> decode(std::span<const int32_t> ids) const;

  // Pieces of tokenize, for the encoding pipeline that builds the same IDs in one pass.
  const NearestInGrid& onset_grid() const { return onset_; }
  const NearestInGrid& dur_grid() const { return dur_; }
  // The onset value of a time `in_segment` ms into its segment, and the duration value of a note
  // `length` ms long: the nearest grid values, a duration of 0 becoming one time step. `on_step`:
  // the times are multiples of the time step (as in normalized pieces), so a value is usually on
  // its grid and its own nearest value, which is checked first, without the grid's table.
  int32_t onset_value(int32_t in_segment, bool on_step) const {
    return on_step && on_time_grid(in_segment, onset_.grid().size()) ? in_segment : onset_(in_segment);
  }
  int32_t dur_value(int32_t length, bool on_step) const {
    if (on_step && length > 0 && on_time_grid(length, dur_.grid().size())) return length;
    const int32_t dur = dur_(length);
    return dur == 0 ? config_.time_step_ms : dur;
  }
  // The IDs of values on the onset and duration grids (as the two functions above give them).
  int32_t onset_value_id(int32_t onset) const { return layout_.onset + time_step_.quot(onset); }
  int32_t dur_value_id(int32_t dur) const { return layout_.dur + time_step_.quot(dur); }
  // abs_time_step_ms, for the per-note divisions of times into segments.
  const Divisor& segment() const { return segment_; }
  // The place of a velocity among the velocity levels, -1 when it is not one.
  int32_t velocity_level(int32_t velocity) const {
    return static_cast<uint32_t>(velocity) < velocity_level_.size() ? velocity_level_[static_cast<size_t>(velocity)]
                                                                    : -1;
  }
  // The name note tokens of `family` carry (see note_name below).
  std::string_view note_family(std::string_view family) const { return note_name(family); }
  // ID of ("prefix", "instrument", family), or -1.
  int32_t instrument_prefix_id(std::string_view family) const;
  // Note tokens in two steps, for a caller that makes many of one family: the family's place among
  // the note families (-1 when it has none), then the ID of (family, pitch, velocity) or -1.
  int32_t note_block(std::string_view family) const {
    for (size_t k = 0; k < note_names_.size(); ++k) {
      const std::string_view name = note_names_[k];
      if (name.size() == family.size() && (name.data() == family.data() || name == family))
        return static_cast<int32_t>(k);
    }
    return -1;
  }
  int32_t note_id(int32_t block, int32_t pitch, int32_t velocity) const {
    const auto levels = static_cast<int32_t>(core_.velocity_grid().size());
    const int32_t level = velocity_level(velocity);
    if (block < 0 || pitch < 0 || pitch > 127 || level < 0) return -1;
    return layout_.note + (block * 128 + pitch) * levels + level;
  }
  // Whether `id` is a note or drum token: the ID that opens one note's group in a sequence.
  bool is_note_or_drum(int32_t id) const {
    return id >= layout_.note && id < layout_.drum + (kDrumPitchEnd - kFirstDrumPitch);
  }

 private:
  // Whether `v` is one of the grid values 0, step, 2 * step, ... of a grid of `size` values.
  bool on_time_grid(int32_t v, size_t size) const {
    if (v < 0) return false;
    const int32_t i = time_step_.quot(v);
    return v - i * time_step_.value() == 0 && static_cast<size_t>(i) < size;
  }
  struct Selection;  // what tokenize reads of a piece
  struct TokenSink;  // writes the sequence's tokens
  void add_metadata_tokens(const MidiDictRecord& piece, std::vector<Token>& out) const;
  // A copy of `text` that lives as long as the tokenizer.
  std::string_view own(std::string_view text);
  // Appends `t` unless it is a special or prefix token already present.
  void add(const Token& t);
  int32_t named_id(const Token& t) const;  // -1 when absent
  std::string_view family_prefix(std::string_view family) const;
  // The text note tokens of `family` carry: the tokenizer's own copy when the family has notes in
  // the vocabulary (id_of then matches it by address), else `family` itself.
  std::string_view note_name(std::string_view family) const;

  AbsTokenizerConfig config_;
  uint64_t serial_;
  Divisor time_step_, segment_;
  std::array<int16_t, 128> velocity_level_;
  std::string name_ = "abs";
  NearestInGrid onset_;
  NearestInGrid dur_;
  std::vector<std::string> instruments_nd_;
  std::vector<std::string_view> note_names_;  // instruments_nd_ in the tokenizer's storage
  std::vector<std::string> instruments_wd_;
  IgnoreMap ignore_map_;
  TokenizerCore core_;
  int32_t unk_id_ = 0;

  std::deque<std::string> texts_;                 // storage behind the token texts
  std::vector<Token> vocab_;                      // index = ID
  std::vector<std::pair<Token, int32_t>> named_;  // special and prefix tokens with their IDs
  std::vector<std::pair<std::string_view, std::string_view>> family_prefixes_;  // family -> prefix text

  // First IDs of the regular blocks.
  struct BlockLayout {
    int32_t note = 0, drum = 0, dur = 0, onset = 0;
  } layout_;
};

// Inline: the encoding pipeline looks up a few regular tokens per note.
inline int32_t AbsTokenizer::find_id(const Token& t) const {
  auto on_grid = [this](int32_t v, size_t grid_size) { return on_time_grid(v, grid_size) ? time_step_.quot(v) : -1; };
  switch (t.kind) {
    case TokenKind::Note:
      return note_id(note_block(t.text), t.value, t.velocity);
    case TokenKind::Drum:
      return t.value < kFirstDrumPitch || t.value >= kDrumPitchEnd ? -1 : layout_.drum + (t.value - kFirstDrumPitch);
    case TokenKind::Dur: {
      const int32_t i = on_grid(t.value, dur_.grid().size());
      return i < 0 ? -1 : layout_.dur + i;
    }
    case TokenKind::Onset: {
      const int32_t i = on_grid(t.value, onset_.grid().size());
      return i < 0 ? -1 : layout_.onset + i;
    }
    default:
      return named_id(t);
  }
}

}  // namespace noteloom
