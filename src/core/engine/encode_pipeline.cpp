#include "encode_pipeline.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "../base/file_io.hpp"
#include "../base/stable_sort.hpp"
#include "../model/instruments.hpp"
#include "../model/normalize.hpp"
#include "../smf/midi_loader.hpp"
#include "../tokenizer/sequence_emitter.hpp"

namespace noteloom {
namespace {

NormalizeOptions normalize_options(const AbsTokenizer& tok) {
  const auto& c = tok.config();
  NormalizeOptions o;
  o.ignore_instruments = melodic_families(c);
  o.instrument_programs = {c.instrument_programs.begin(), c.instrument_programs.end()};
  o.time_step_ms = c.time_step_ms;
  o.max_duration_ms = c.max_dur_ms;  // the largest value of the duration grid
  o.drum_velocity = c.drum_velocity;
  return o;
}

// The options follow from the tokenizer alone: made once per thread and tokenizer, not per file.
const NormalizeOptions& cached_normalize_options(const AbsTokenizer& tok) {
  thread_local uint64_t made_for = 0;
  thread_local NormalizeOptions options;
  if (made_for != tok.serial()) {
    options = normalize_options(tok);
    made_for = tok.serial();
  }
  return options;
}

// Token IDs before the out-of-vocabulary rule: an ID, or one of these for a token outside the
// vocabulary (the kind decides what "drop" leaves out with it).
constexpr int32_t kOovPrefix = -1;
constexpr int32_t kOovNote = -2;
constexpr int32_t kOovDrum = -3;

// The IDs of onset and duration tokens: the blocks the "<D>" placement and the drop rule look for.
struct TimeBlocks {
  int32_t onset_lo, onset_hi, dur_lo, dur_hi;
  explicit TimeBlocks(const AbsTokenizer& tok)
      : onset_lo(tok.find_id(Token::onset(tok.onset_grid().grid().front()))),
        onset_hi(onset_lo + static_cast<int32_t>(tok.onset_grid().grid().size())),
        dur_lo(tok.find_id(Token::dur(tok.dur_grid().grid().front()))),
        dur_hi(dur_lo + static_cast<int32_t>(tok.dur_grid().grid().size())) {}
  bool onset(int32_t id) const { return id >= onset_lo && id < onset_hi; }
  bool dur(int32_t id) const { return id >= dur_lo && id < dur_hi; }
};

// Appends `ids` to `out` under `rule`; returns the number outside the vocabulary. "drop" leaves out
// a note group (note, onset, dur) or drum group (drum, onset) whole, a prefix alone.
uint32_t apply_oov_rule(std::span<const int32_t> ids, const AbsTokenizer& tok, const TimeBlocks& blocks, OovRule rule,
                        std::vector<uint16_t>& out) {
  uint32_t oov = 0;
  out.reserve(out.size() + ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    const int32_t id = ids[i];
    if (id >= 0) {
      out.push_back(static_cast<uint16_t>(id));
      continue;
    }
    ++oov;
    switch (rule) {
      case OovRule::Zero:
        out.push_back(0);
        break;
      case OovRule::Unk:
        out.push_back(static_cast<uint16_t>(tok.unk_id()));
        break;
      case OovRule::Drop:
        if ((id == kOovNote || id == kOovDrum) && i + 1 < ids.size() && blocks.onset(ids[i + 1])) {
          ++i;
          if (id == kOovNote && i + 1 < ids.size() && blocks.dur(ids[i + 1])) ++i;
        }
        break;
    }
  }
  return oov;
}

int32_t id_or(int32_t id, int32_t oov) { return id >= 0 ? id : oov; }

std::vector<int32_t> ids_of(const std::vector<Token>& tokens, const AbsTokenizer& tok) {
  std::vector<int32_t> ids;
  ids.reserve(tokens.size());
  for (const Token& t : tokens) {
    const int32_t id = tok.find_id(t);
    ids.push_back(id >= 0                     ? id
                  : t.kind == TokenKind::Note ? kOovNote
                  : t.kind == TokenKind::Drum ? kOovDrum
                                              : kOovPrefix);
  }
  return ids;
}

// A note of the normalized piece, as far as the tokenizer reads it.
struct PlainNote {
  int32_t start, end, pitch, velocity, channel;
};

// Per-thread storage reused from file to file.
struct FusedScratch {
  std::vector<PlainNote> notes, sort_scratch;
  std::vector<int32_t> ids;
};

// Held by pointer: code that reads a thread_local object directly recomputes its address (a call in
// a shared library) at every use, which in a per-note loop costs more than the work.
FusedScratch& fused_scratch() {
  static thread_local std::unique_ptr<FusedScratch> s = std::make_unique<FusedScratch>();
  return *s;
}

// The normalized piece's channels and their families as the tokenizer sees them (empty for a
// channel without a program family); false when a channel lies outside MIDI's 16.
using ChannelFamilies = std::array<std::string_view, 16>;
bool normalized_families(const detail::NormalizePlan& plan, const NormalizeOptions& options, const AbsTokenizer& tok,
                         ChannelFamilies& family) {
  for (const auto& m : detail::normalized_frame(plan, options).instrument_msgs) {
    if (static_cast<uint32_t>(m.channel) >= 16) return false;
    if (m.channel == kDrumChannel) continue;
    if (auto f = program_family(m.data)) family[static_cast<size_t>(m.channel)] = tok.note_family(*f);
  }
  return true;
}

// The normalized notes in start order (stable), each note of the piece fed to `hasher` on the
// way; false when a normalized time wrapped around below zero.
bool normalized_notes(const MidiDictRecord& piece, const AbsTokenizer& tok, const NormalizeOptions& options,
                      const detail::ChannelTargets& targets, FusedScratch& scratch, PieceHasher& hasher) {
  const TempoMap tempo(piece.tempo_msgs, piece.ticks_per_beat);
  detail::NoteTimes times(tempo, options.time_step_ms);
  auto& notes = scratch.notes;
  notes.clear();
  for (const NoteMessage& note : piece.note_msgs) {
    hasher.note(note);
    const int32_t channel = targets.of(note.channel);
    if (channel < 0) continue;
    const NoteMessage n = detail::normalized_note(times, note, channel, tok.quantize_velocity(note.velocity), options);
    if (n.start < 0 || n.end < 0) return false;
    notes.push_back({n.start, n.end, n.pitch, n.velocity, n.channel});
  }
  stable_sort_by_key(
      notes, [](const PlainNote& n) { return n.start; }, scratch.sort_scratch);
  return true;
}

// Writes a sequence as IDs, with the out-of-vocabulary markers above for tokens outside it.
struct IdSink {
  const AbsTokenizer& tok;
  const TimeBlocks& blocks;
  const std::array<int32_t, 16>& note_block;  // per channel
  std::vector<int32_t>& ids;
  const int32_t time_id = tok.find_id(Token::special(kTimeTok));

  void prefix(std::string_view family) { ids.push_back(id_or(tok.instrument_prefix_id(family), kOovPrefix)); }
  void bos() { ids.push_back(tok.find_id(Token::special(kBosTok))); }
  void time() { ids.push_back(time_id); }
  void eos() { ids.push_back(tok.find_id(Token::special(kEosTok))); }
  void note(int32_t channel, int32_t pitch, int32_t velocity, int32_t onset, int32_t dur) {
    ids.push_back(id_or(tok.note_id(note_block[static_cast<size_t>(channel)], pitch, velocity), kOovNote));
    ids.push_back(tok.onset_value_id(onset));
    ids.push_back(tok.dur_value_id(dur));
  }
  void drum(int32_t pitch, int32_t onset) {
    ids.push_back(id_or(tok.find_id(Token::drum(pitch)), kOovDrum));
    ids.push_back(tok.onset_value_id(onset));
  }
  size_t size() const { return ids.size(); }
  bool is_onset(size_t i) const { return blocks.onset(ids[i]); }
  bool is_dur(size_t i) const { return blocks.dur(ids[i]); }
  void insert_dim(size_t i) {
    ids.insert(ids.begin() + static_cast<std::ptrdiff_t>(i), tok.find_id(Token::special(kDimTok)));
  }
};

// At one tempo where a tick is a millisecond, the tokenizer's times are the ticks themselves.
struct TickTiming {
  static constexpr bool on_step = true;  // normalized times
  static int32_t start(const PlainNote& n) { return n.start; }
  static int32_t length(const PlainNote& n) { return n.end > n.start ? n.end - n.start : 0; }
};

// The families in use sorted by name, each once (a channel with notes but no family plays piano),
// and each channel's note block; whether the drums play.
bool families_in_use(const AbsTokenizer& tok, const std::vector<PlainNote>& notes, ChannelFamilies& family,
                     std::array<int32_t, 16>& note_block) {
  bool has_drums = false;
  for (const PlainNote& n : notes) {
    if (n.channel == kDrumChannel) {
      has_drums = true;
    } else if (family[static_cast<size_t>(n.channel)].empty()) {
      family[static_cast<size_t>(n.channel)] = tok.note_family("piano");
    }
  }
  for (size_t ch = 0; ch < 16; ++ch) note_block[ch] = tok.note_block(family[ch]);
  return has_drums;
}

// normalize, tokenize and the IDs of the tokens, in one pass: the same IDs as
// ids_of(tokenize(normalize_midi_dict(piece, ...))), without building the normalized piece or its
// tokens. The tokenizer's view of a normalized piece is simple: one tempo at which a tick is a
// millisecond, fixed channels with one program each, no pedals, no metadata. Nothing when a
// condition that view relies on does not hold (a family ignored, a time that wrapped around below
// zero, more channels than MIDI has); the caller then takes the two-stage path.
// `hasher` is fed every note of the piece on the way, unless the result is nothing.
std::optional<Result<std::span<const int32_t>>> fused_ids(const MidiDictRecord& piece, const AbsTokenizer& tok,
                                                          const NormalizeOptions& options, const TimeBlocks& blocks,
                                                          FusedScratch& scratch, PieceHasher& hasher) {
  for (const auto& [name, ignored] : tok.config().ignore_instruments) {
    if (ignored) return std::nullopt;
  }
  const detail::NormalizePlan plan = detail::plan_normalization(piece, options);
  const detail::ChannelTargets targets(plan);
  ChannelFamilies family{};
  if (!normalized_families(plan, options, tok, family)) return std::nullopt;
  if (!normalized_notes(piece, tok, options, targets, scratch, hasher)) return std::nullopt;
  const auto& notes = scratch.notes;
  if (notes.empty()) return Result<std::span<const int32_t>>(Error{kEmptyNoteMessages, SkipKind::NoNotes});

  std::array<int32_t, 16> note_block;
  const bool has_drums = families_in_use(tok, notes, family, note_block);
  ChannelFamilies sorted = family;
  std::sort(sorted.begin(), sorted.end());
  const auto last = std::unique(sorted.begin(), sorted.end());
  const auto first = std::find_if(sorted.begin(), last, [](std::string_view f) { return !f.empty(); });
  auto& ids = scratch.ids;
  ids.clear();
  ids.reserve(notes.size() * 3 + notes.size() / 8 + 16);
  IdSink sink{tok, blocks, note_block, ids};
  TickTiming timing;
  emit_sequence(tok, std::span<const std::string_view>(first, last), has_drums, notes, timing, sink);
  return Result<std::span<const int32_t>>(std::span<const int32_t>(ids));
}

}  // namespace

Result<PipelineOptions> pipeline_options(int64_t threads, bool normalize, std::string_view oov, int64_t max_tokens) {
  if (threads < 1) return Error{"threads must be at least 1"};
  PipelineOptions options;
  options.normalize = normalize;
  const auto rule = std::find(kOovRuleNames.begin(), kOovRuleNames.end(), oov);
  if (rule == kOovRuleNames.end()) {
    return Error{"oov must be one of drop, unk, zero, not '" + std::string(oov) + "'"};
  }
  options.oov = static_cast<OovRule>(rule - kOovRuleNames.begin());
  if (max_tokens < 0) return Error{"max_tokens must not be negative"};
  options.max_tokens = static_cast<size_t>(max_tokens);
  return options;
}

Result<EncodedPiece> encode_piece(const MidiDictRecord& piece, const AbsTokenizer& tok,
                                  const PipelineOptions& options) {
  EncodedPiece out;
  const TimeBlocks blocks(tok);
  std::vector<int32_t> ids;
  std::span<const int32_t> view;
  std::optional<Result<std::span<const int32_t>>> fused;
  PieceHasher hasher(piece.note_msgs.size());
  if (options.normalize) {
    fused = fused_ids(piece, tok, cached_normalize_options(tok), blocks, fused_scratch(), hasher);
  }
  if (fused) {
    if (!*fused) return fused->error();
    view = fused->value();
    out.hash = hasher.finish(piece);
  } else {
    out.hash = calculate_hash(piece);
    Result<std::vector<Token>> tokens = Error{};
    if (options.normalize) {
      const MidiDictRecord normalized =
          normalize_midi_dict(piece, cached_normalize_options(tok),
                              [&tok](int32_t v) -> std::optional<int32_t> { return tok.quantize_velocity(v); });
      tokens = tok.tokenize(normalized);
    } else {
      tokens = tok.tokenize(piece);
    }
    if (!tokens) return Error{tokens.error().message, SkipKind::NoNotes};  // the tokenizer's one failure
    ids = ids_of(tokens.value(), tok);
    view = ids;
  }
  out.oov = apply_oov_rule(view, tok, blocks, options.oov, out.ids);
  out.notes = static_cast<uint32_t>(piece.note_msgs.size());
  for (const uint16_t id : out.ids) out.kept_notes += tok.is_note_or_drum(id) ? 1 : 0;
  if (out.ids.size() > options.max_tokens) {
    return Error{
        "Too many tokens: " + std::to_string(out.ids.size()) + " (limit " + std::to_string(options.max_tokens) + ")",
        SkipKind::TooManyTokens};
  }
  return out;
}

Result<EncodedPiece> encode_midi_bytes(std::span<const uint8_t> bytes, const AbsTokenizer& tok,
                                       const PipelineOptions& options) {
  if (bytes.size() > kMaxFileBytes) return load_failure(kFileTooLarge);
  auto piece = load_midi_bytes(bytes);
  if (!piece) return load_failure(piece.error().message);
  return encode_piece(piece.value(), tok, options);
}

Result<EncodedPiece> encode_midi_file(const std::string& path, const AbsTokenizer& tok,
                                      const PipelineOptions& options) {
  auto piece = load_midi_file(path, LoadedPath::Omitted);
  if (!piece) return load_failure(piece.error().message);
  return encode_piece(piece.value(), tok, options);
}

}  // namespace noteloom
