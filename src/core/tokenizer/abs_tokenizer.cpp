#include "abs_tokenizer.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "../base/rounding.hpp"
#include "../base/stable_sort.hpp"
#include "../model/pedal.hpp"
#include "../model/tempo_map.hpp"
#include "sequence_emitter.hpp"

namespace noteloom {
namespace {

// 0, step, 2 * step, ... up to `max` (or below it when `inclusive` is false).
std::vector<int32_t> steps_up_to(int32_t max, int32_t step, bool inclusive) {
  std::vector<int32_t> grid;
  const int32_t count = max / step + (inclusive ? 1 : 0);
  grid.reserve(static_cast<size_t>(std::max(count, 0)));
  for (int32_t i = 0; i < count; ++i) grid.push_back(step * i);
  return grid;
}

uint64_t next_serial() {
  static std::atomic<uint64_t> count{0};
  return count.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

// The onsets cover one segment (0 up to abs_time_step_ms, exclusive), the durations 0 up to
// max_dur_ms; with the built-in configuration the two bounds are equal.
AbsTokenizer::AbsTokenizer(AbsTokenizerConfig config)
    : config_(std::move(config)),
      serial_(next_serial()),
      time_step_(config_.time_step_ms),
      segment_(config_.abs_time_step_ms),
      onset_(steps_up_to(config_.abs_time_step_ms, config_.time_step_ms, false)),
      dur_(steps_up_to(config_.max_dur_ms, config_.time_step_ms, true)),
      core_(config_.velocity_step) {
  const auto& c = config_;
  velocity_level_.fill(-1);
  for (size_t k = 0; k < core_.velocity_grid().size(); ++k) {
    velocity_level_[static_cast<size_t>(core_.velocity_grid()[k])] = static_cast<int16_t>(k);
  }
  for (const auto& [name, ignored] : c.ignore_instruments) {
    ignore_map_.emplace(name, ignored);
    if (!ignored) instruments_nd_.push_back(name);
  }
  instruments_wd_ = instruments_nd_;
  instruments_wd_.push_back("drum");

  auto prefix_text = [this](std::string_view kind, std::string_view name) {
    std::string joined = "prefix:";
    joined.append(kind).append(":").append(name);
    return own(joined);
  };
  // Candidates in ID order; duplicates (the second drum prefix) are skipped.
  // Special tokens view the static texts, as the tokens tokenize makes do (see named_id).
  for (const char* s : kSpecialTokens) add(Token::special(s));
  for (const auto& x : instruments_wd_) add(Token::prefix(prefix_text("instrument", x)));
  for (const auto& n : c.composer_names) add(Token::prefix(prefix_text("composer", n)));
  for (const auto& n : c.form_names) add(Token::prefix(prefix_text("form", n)));
  for (const auto& n : c.genre_names) add(Token::prefix(prefix_text("genre", n)));
  layout_.note = static_cast<int32_t>(vocab_.size());
  vocab_.reserve(vocab_.size() + instruments_nd_.size() * 128 * core_.velocity_grid().size() +
                 (kDrumPitchEnd - kFirstDrumPitch) + dur_.grid().size() + onset_.grid().size());
  for (const auto& x : instruments_nd_) {
    const std::string_view name = note_names_.emplace_back(own(x));
    for (int32_t p = 0; p < 128; ++p) {
      for (int32_t v : core_.velocity_grid()) vocab_.push_back(Token::note(name, p, v));
    }
  }
  layout_.drum = static_cast<int32_t>(vocab_.size());
  for (int32_t p = kFirstDrumPitch; p < kDrumPitchEnd; ++p) vocab_.push_back(Token::drum(p));
  layout_.dur = static_cast<int32_t>(vocab_.size());
  for (int32_t d : dur_.grid()) vocab_.push_back(Token::dur(d));
  layout_.onset = static_cast<int32_t>(vocab_.size());
  for (int32_t t : onset_.grid()) vocab_.push_back(Token::onset(t));
  core_.set_pad_id(std::max(named_id(Token::special(kPadTok)), 0));
  unk_id_ = std::max(named_id(Token::special(kUnkTok)), 0);

  // Instrument prefixes of every family a piece can name, and of the drums; those in the
  // vocabulary share its text, so that named_id finds them by address.
  auto family_prefix_text = [&](std::string_view family) {
    const std::string_view text = prefix_text("instrument", family);
    const int32_t id = named_id(Token::prefix(text));
    return id < 0 ? text : vocab_[static_cast<size_t>(id)].text;
  };
  for (int32_t program = 0; program < 128; program += 8) {
    const std::string_view family = *program_family(program);
    family_prefixes_.emplace_back(family, family_prefix_text(family));
  }
  family_prefixes_.emplace_back("drum", family_prefix_text("drum"));
}

const AbsTokenizer& AbsTokenizer::shared() {
  static const AbsTokenizer* const instance = new AbsTokenizer();  // never destroyed: threads may outlive exit
  return *instance;
}

std::string_view AbsTokenizer::own(std::string_view text) { return texts_.emplace_back(text); }

void AbsTokenizer::add(const Token& t) {
  if (named_id(t) >= 0) return;
  named_.emplace_back(t, static_cast<int32_t>(vocab_.size()));
  vocab_.push_back(t);
}

int32_t AbsTokenizer::named_id(const Token& t) const {
  // Tokens made here share the text's address with their vocabulary entry: try that first.
  for (const auto& [token, id] : named_) {
    if (token.text.data() == t.text.data() && token == t) return id;
  }
  for (const auto& [token, id] : named_) {
    // Kind and length first: most entries differ there, without a look at the text.
    if (token.kind == t.kind && token.text.size() == t.text.size() && token == t) return id;
  }
  return -1;
}

std::string_view AbsTokenizer::family_prefix(std::string_view family) const {
  for (const auto& [name, text] : family_prefixes_) {
    if (name == family) return text;
  }
  return {};
}

int32_t AbsTokenizer::instrument_prefix_id(std::string_view family) const {
  const std::string_view text = family_prefix(family);
  return text.empty() ? -1 : named_id(Token::prefix(text));
}

std::string_view AbsTokenizer::note_name(std::string_view family) const {
  for (std::string_view name : note_names_) {
    if (name == family) return name;
  }
  return family;
}

namespace {

bool is_kind(const Token& t, TokenKind k) { return t.kind == k; }

// The up tick of the pedal interval that holds `end` strictly inside it, or `end` itself. A
// channel's intervals come out of pedal_intervals with non-decreasing down ticks and each one
// closing at or before the next opens, so their open ranges are disjoint: the only candidate is
// the last interval that went down before `end`. Binary search keeps long pedalled piano
// recordings from costing notes x intervals.
int32_t sustained_end(const std::vector<PedalInterval>& intervals, int32_t end) {
  auto after = std::partition_point(intervals.begin(), intervals.end(),
                                    [end](const PedalInterval& iv) { return iv.first < end; });
  if (after == intervals.begin()) return end;
  const PedalInterval& candidate = *(after - 1);
  return end < candidate.second ? candidate.second : end;
}

// Channel -> instrument family, direct for the 16 MIDI channels.
class ChannelFamilies {
 public:
  void set(int32_t channel, std::string_view family) {
    if (static_cast<uint32_t>(channel) < 16) {
      low_[static_cast<size_t>(channel)] = family;
    } else {
      other_[channel] = family;
    }
  }
  // Sets the family unless the channel has one.
  void set_default(int32_t channel, std::string_view family) {
    if (get(channel).empty()) set(channel, family);
  }
  std::string_view get(int32_t channel) const {
    if (static_cast<uint32_t>(channel) < 16) return low_[static_cast<size_t>(channel)];
    auto it = other_.find(channel);
    return it == other_.end() ? std::string_view{} : it->second;
  }
  template <typename Fn>
  void for_each(Fn&& fn) const {
    for (std::string_view f : low_) {
      if (!f.empty()) fn(f);
    }
    for (const auto& [channel, f] : other_) fn(f);
  }

 private:
  std::array<std::string_view, 16> low_{};
  std::unordered_map<int32_t, std::string_view> other_;
};

// Each channel's pedal intervals, direct for the 16 MIDI channels.
class ChannelPedals {
 public:
  explicit ChannelPedals(PedalIntervalMap map) : map_(std::move(map)) {
    for (const auto& [channel, intervals] : map_) {
      if (static_cast<uint32_t>(channel) < 16) low_[static_cast<size_t>(channel)] = &intervals;
    }
  }
  ChannelPedals(const ChannelPedals&) = delete;  // low_ points into map_
  ChannelPedals& operator=(const ChannelPedals&) = delete;

  const std::vector<PedalInterval>* of(int32_t channel) const {
    if (static_cast<uint32_t>(channel) < 16) return low_[static_cast<size_t>(channel)];
    auto it = map_.find(channel);
    return it == map_.end() ? nullptr : &it->second;
  }

 private:
  PedalIntervalMap map_;
  std::array<const std::vector<PedalInterval>*, 16> low_{};
};

template <typename Message, typename Keep>
std::vector<const Message*> kept_messages(const std::vector<Message>& messages, Keep&& keep) {
  std::vector<const Message*> out;
  out.reserve(messages.size());
  for (const Message& m : messages) {
    if (keep(m.channel)) out.push_back(&m);
  }
  return out;
}

}  // namespace

// What tokenize reads of a piece: the notes and pedals of the channels whose instruments are not
// ignored (the piece itself stays as it is), and each note channel's instrument family.
struct AbsTokenizer::Selection {
  Selection(const AbsTokenizer& tok, const MidiDictRecord& piece)
      : ignored(ignored_channels(piece, tok.ignore_map_)),
        notes(sorted_by_start(kept_messages(piece.note_msgs, [this](int32_t ch) { return keeps(ch); }))),
        pedals(pedal_intervals(kept_messages(piece.pedal_msgs, [this](int32_t ch) { return keeps(ch); }),
                               notes.empty() ? std::nullopt : std::optional(notes.back()->end))) {
    // Channel -> family: the last program change with a family wins. A channel with notes and no
    // such program change plays the piano, as a General MIDI synthesizer would (normalization,
    // which rewrites programs, gives no default: it keeps only what a program change says).
    for (const auto& m : piece.instrument_msgs) {
      if (m.channel == kDrumChannel || !keeps(m.channel)) continue;
      if (auto family = program_family(m.data)) families.set(m.channel, tok.note_name(*family));
    }
    for (const NoteMessage* n : notes) {
      if (n->channel == kDrumChannel) {
        has_drums = true;
      } else {
        families.set_default(n->channel, tok.note_name("piano"));
      }
    }
  }

  bool keeps(int32_t channel) const { return ignored.empty() || ignored.count(channel) == 0; }
  static std::vector<const NoteMessage*> sorted_by_start(std::vector<const NoteMessage*> notes) {
    stable_sort_by_key(notes, [](const NoteMessage* n) { return n->start; });
    return notes;
  }

  std::unordered_set<int32_t> ignored;
  std::vector<const NoteMessage*> notes;  // in start order
  ChannelPedals pedals;
  ChannelFamilies families;
  bool has_drums = false;
};

// Writes a sequence as tokens.
struct AbsTokenizer::TokenSink {
  const AbsTokenizer& tok;
  const Selection& selected;
  std::vector<Token>& out;

  void prefix(std::string_view family) { out.push_back(Token::prefix(tok.family_prefix(family))); }
  void bos() { out.push_back(Token::special(kBosTok)); }
  void time() { out.push_back(Token::special(kTimeTok)); }
  void eos() { out.push_back(Token::special(kEosTok)); }
  void note(int32_t channel, int32_t pitch, int32_t velocity, int32_t onset, int32_t dur) {
    out.push_back(Token::note(selected.families.get(channel), pitch, velocity));
    out.push_back(Token::onset(onset));
    out.push_back(Token::dur(dur));
  }
  void drum(int32_t pitch, int32_t onset) {
    out.push_back(Token::drum(pitch));
    out.push_back(Token::onset(onset));
  }
  size_t size() const { return out.size(); }
  bool is_onset(size_t i) const { return is_kind(out[i], TokenKind::Onset); }
  bool is_dur(size_t i) const { return is_kind(out[i], TokenKind::Dur); }
  void insert_dim(size_t i) { out.insert(out.begin() + static_cast<std::ptrdiff_t>(i), Token::special(kDimTok)); }
};

namespace {

// A note's times through the piece's tempo map, its end held by its channel's pedal.
class PieceTiming {
 public:
  static constexpr bool on_step = false;  // any piece's times
  PieceTiming(const MidiDictRecord& piece, const ChannelPedals& pedals)
      : tempo_(piece.tempo_msgs, piece.ticks_per_beat), pedals_(pedals) {}
  int32_t start(const NoteMessage& n) { return tempo_.ms_at(n.start, &by_start_); }
  int32_t length(const NoteMessage& n) {
    int32_t end = n.end;
    if (const auto* intervals = pedals_.of(n.channel)) end = sustained_end(*intervals, end);
    return tempo_.elapsed(n.start, end, &by_start_);
  }

 private:
  const TempoMap tempo_;
  const ChannelPedals& pedals_;
  TempoMap::Hint by_start_;  // the notes come in start order
};

}  // namespace

Result<std::vector<Token>> AbsTokenizer::tokenize(const MidiDictRecord& piece) const {
  const Selection selected(*this, piece);
  if (selected.notes.empty()) return Error{kEmptyNoteMessages};
  std::vector<Token> out;
  const size_t n = selected.notes.size();
  out.reserve(n * 3 + n / 8 + 16);
  add_metadata_tokens(piece, out);
  std::set<std::string_view> families;
  selected.families.for_each([&families](std::string_view f) { families.insert(f); });
  PieceTiming timing(piece, selected.pedals);
  TokenSink sink{*this, selected, out};
  emit_sequence(*this, families, selected.has_drums, selected.notes, timing, sink);
  return out;
}

// Metadata prefixes in the order genre, form, composer (names the configuration lists); the
// instrument prefixes follow.
void AbsTokenizer::add_metadata_tokens(const MidiDictRecord& piece, std::vector<Token>& out) const {
  const auto& c = config_;
  const std::pair<std::string_view, const std::vector<std::string>*> categories[] = {
      {"genre", &c.genre_names}, {"form", &c.form_names}, {"composer", &c.composer_names}};
  for (const auto& [key, names] : categories) {
    auto it = piece.metadata.find(std::string(key));
    if (it == piece.metadata.end() || std::find(names->begin(), names->end(), it->second) == names->end()) continue;
    std::string joined = "prefix:";
    joined.append(key).append(":").append(it->second);
    // The vocabulary's own token: its text outlives this call.
    if (const int32_t id = named_id(Token::prefix(joined)); id >= 0) out.push_back(vocab_[static_cast<size_t>(id)]);
  }
}

namespace {

// The instruments a sequence's prefix names, with their channels.
class ChannelMap {
 public:
  std::optional<int32_t> of(std::string_view name) const {
    for (const auto& [n, ch] : channels_) {
      if (n == name) return ch;
    }
    return std::nullopt;
  }
  void add(std::string_view name, int32_t channel) { channels_.emplace_back(name, channel); }
  // (name, channel) pairs in channel order.
  std::vector<std::pair<std::string_view, int32_t>> by_channel() const {
    auto sorted = channels_;
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    return sorted;
  }

 private:
  std::vector<std::pair<std::string_view, int32_t>> channels_;
};

// The prefix scan: the instrument prefixes before the first regular token, each known instrument
// once, on channels in order of first appearance, skipping 9, which belongs to the drums. Returns
// the index of the first regular token (0 when there is none).
size_t read_channels(std::span<const Token> tokens, std::span<const std::string> instruments, ChannelMap& channels) {
  int32_t next_channel = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (next_channel == kDrumChannel) next_channel = 10;
    const Token& t = tokens[i];
    if (t.kind == TokenKind::Special) continue;
    if (t.kind != TokenKind::Prefix) return i;
    if (t.prefix_piece(0) != "prefix" || t.prefix_piece(1) != "instrument") continue;
    const std::string_view instrument = t.prefix_piece(2);
    if (std::find(instruments.begin(), instruments.end(), instrument) == instruments.end()) continue;
    if (channels.of(instrument)) continue;
    channels.add(instrument, instrument == "drum" ? kDrumChannel : next_channel++);
  }
  return 0;
}

// One program change at tick 0 per channel, in channel order: the instrument's program (0 for drums).
void add_instruments(const ChannelMap& channels, const AbsTokenizerConfig& c, MidiDictRecord& rec) {
  for (const auto& [name, channel] : channels.by_channel()) {
    int32_t program = 0;
    if (name != "drum") {
      for (const auto& [n, p] : c.instrument_programs) {
        if (n == name) {
          program = p;
          break;
        }
      }
    }
    rec.instrument_msgs.push_back({SharedText::Fixed::Instrument, program, 0, channel});
  }
}

// The body: (note, onset, dur) and (drum, onset) groups on instruments of the prefix become notes;
// every "<T>" moves the time on by abs_time_step_ms; anything else is skipped. A piece of 500 ticks
// per beat at 500000 microseconds per beat has one tick per millisecond, so times in milliseconds
// are ticks as they are.
void add_notes(std::span<const Token> tokens, const ChannelMap& channels, const AbsTokenizerConfig& c,
               MidiDictRecord& rec) {
  const std::optional<int32_t> drum_channel = channels.of("drum");
  int32_t time = 0;
  for (size_t i = 0; i < tokens.size();) {
    const Token& t = tokens[i];
    if (t.kind == TokenKind::Note && i + 2 < tokens.size() && tokens[i + 1].kind == TokenKind::Onset &&
        tokens[i + 2].kind == TokenKind::Dur) {
      const int32_t onset = wrap_add(time, tokens[i + 1].value);
      const int32_t off = wrap_add(onset, tokens[i + 2].value);
      if (auto ch = channels.of(t.text)) {
        rec.note_msgs.push_back({SharedText::Fixed::Note, t.value, onset, off, t.velocity, onset, *ch});
      }
      i += 3;
    } else if (t.kind == TokenKind::Drum && i + 1 < tokens.size() && tokens[i + 1].kind == TokenKind::Onset) {
      const int32_t onset = wrap_add(time, tokens[i + 1].value);
      const int32_t off = wrap_add(onset, c.time_step_ms);
      if (drum_channel) {
        rec.note_msgs.push_back({SharedText::Fixed::Note, t.value, onset, off, c.drum_velocity, onset, *drum_channel});
      }
      i += 2;
    } else {
      if (t.is_special(kTimeTok)) time = wrap_add(time, c.abs_time_step_ms);
      i += 1;
    }
  }
}

}  // namespace

MidiDictRecord AbsTokenizer::detokenize(std::span<const Token> tokens) const {
  ChannelMap channels;
  const size_t start = read_channels(tokens, instruments_wd_, channels);
  MidiDictRecord rec;
  rec.ticks_per_beat = 500;
  rec.tempo_msgs.push_back({SharedText::Fixed::Tempo, 500000, 0});
  add_instruments(channels, config_, rec);
  add_notes(tokens.subspan(start), channels, config_, rec);
  return rec;
}

std::vector<int32_t> AbsTokenizer::encode(std::span<const Token> tokens) const {
  std::vector<int32_t> ids;
  ids.reserve(tokens.size());
  for (const Token& t : tokens) ids.push_back(std::max(find_id(t), 0));
  return ids;
}

std::vector<Token> AbsTokenizer::decode(std::span<const int32_t> ids) const {
  std::vector<Token> tokens;
  tokens.reserve(ids.size());
  for (int32_t id : ids) tokens.push_back(vocab_[static_cast<size_t>(decoded_id(id))]);
  return tokens;
}

}  // namespace noteloom
