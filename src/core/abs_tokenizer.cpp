#include "abs_tokenizer.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>

#include "pedal.hpp"
#include "rounding.hpp"

namespace noteloom {
namespace {

constexpr int32_t kFirstDrumPitch = 35;
constexpr int32_t kDrumPitchEnd = 82;  // exclusive

}  // namespace

AbsTokenizer::AbsTokenizer() : core_(AbsTokenizerConfig{}.velocity_step) {
  const auto& c = config_;
  for (int32_t i = 0; i <= c.max_dur_ms / c.time_step_ms; ++i) dur_grid_.push_back(c.time_step_ms * i);
  for (int32_t i = 0; i < c.max_dur_ms / c.time_step_ms; ++i) onset_grid_.push_back(c.time_step_ms * i);
  for (const auto& [name, ignored] : c.ignore_instruments) {
    ignore_map_.emplace(name, ignored);
    if (!ignored) instruments_nd_.push_back(name);
  }
  instruments_wd_ = instruments_nd_;
  instruments_wd_.push_back("drum");

  // Candidates in ID order; duplicates (the second drum prefix) are skipped by the vocabulary.
  Vocabulary& vocab = core_.vocab();
  for (const auto& s : core_.special_tokens()) vocab.add(Token::special(s));
  for (const auto& x : instruments_wd_) vocab.add(Token::prefix("prefix", "instrument", x));
  for (const auto& n : c.composer_names) vocab.add(Token::prefix("prefix", "composer", n));
  for (const auto& n : c.form_names) vocab.add(Token::prefix("prefix", "form", n));
  for (const auto& n : c.genre_names) vocab.add(Token::prefix("prefix", "genre", n));
  for (const auto& x : instruments_nd_) {
    for (int32_t p = 0; p < 128; ++p) {
      for (int32_t v : core_.velocity_grid()) vocab.add(Token::note(x, p, v));
    }
  }
  for (int32_t p = kFirstDrumPitch; p < kDrumPitchEnd; ++p) vocab.add(Token::drum(p));
  for (int32_t d : dur_grid_) vocab.add(Token::dur(d));
  for (int32_t t : onset_grid_) vocab.add(Token::onset(t));
  core_.set_pad_id(vocab.id_of(Token::special(kPadTok)).value_or(0));
  unk_id_ = vocab.id_of(Token::special(kUnkTok)).value_or(0);
  compute_layout();
}

void AbsTokenizer::compute_layout() {
  const Vocabulary& vocab = core_.vocab();
  const auto& velocities = core_.velocity_grid();
  auto first = [&](const Token& t) { return vocab.id_of(t).value_or(-1); };
  BlockLayout l;
  l.note = instruments_nd_.empty() ? -1 : first(Token::note(instruments_nd_.front(), 0, 0));
  l.drum = first(Token::drum(kFirstDrumPitch));
  l.dur = first(Token::dur(0));
  l.onset = first(Token::onset(0));
  if (l.note < 0 || l.drum < 0 || l.dur < 0 || l.onset < 0 || velocities.empty()) return;
  layout_ = l;
  layout_.valid = true;
  // Every entry of the regular blocks must be found where the arithmetic puts it, and the blocks
  // must hold exactly the tokens the arithmetic accepts.
  const size_t slots = instruments_nd_.size() * 128 * velocities.size() + (kDrumPitchEnd - kFirstDrumPitch) +
                       dur_grid_.size() + onset_grid_.size();
  size_t regular = 0;
  for (const Token& t : vocab.tokens()) {
    if (t.kind == TokenKind::Special || t.kind == TokenKind::Prefix) continue;
    ++regular;
    if (id_of(t) != vocab.id_of(t)) {
      layout_.valid = false;
      return;
    }
  }
  layout_.valid = regular == slots;
}

std::optional<int32_t> AbsTokenizer::id_of(const Token& t) const {
  if (!layout_.valid) return core_.vocab().id_of(t);
  const int32_t step = config_.time_step_ms;
  auto on_grid = [step](int32_t v, size_t grid_size) -> std::optional<int32_t> {
    if (v < 0 || v % step != 0 || static_cast<size_t>(v / step) >= grid_size) return std::nullopt;
    return v / step;
  };
  switch (t.kind) {
    case TokenKind::Note: {
      const auto& velocities = core_.velocity_grid();
      const int32_t vstep = config_.velocity_step;
      if (t.a < 0 || t.a > 127 || t.b < 0 || t.b % vstep != 0 || static_cast<size_t>(t.b / vstep) >= velocities.size()) {
        return std::nullopt;
      }
      for (size_t k = 0; k < instruments_nd_.size(); ++k) {
        if (instruments_nd_[k] != t.text) continue;
        const auto per_instrument = static_cast<int32_t>(128 * velocities.size());
        return layout_.note + static_cast<int32_t>(k) * per_instrument + t.a * static_cast<int32_t>(velocities.size()) +
               t.b / vstep;
      }
      return std::nullopt;
    }
    case TokenKind::Drum:
      if (t.a < kFirstDrumPitch || t.a >= kDrumPitchEnd) return std::nullopt;
      return layout_.drum + (t.a - kFirstDrumPitch);
    case TokenKind::Dur:
      if (auto i = on_grid(t.a, dur_grid_.size())) return layout_.dur + *i;
      return std::nullopt;
    case TokenKind::Onset:
      if (auto i = on_grid(t.a, onset_grid_.size())) return layout_.onset + *i;
      return std::nullopt;
    default:
      return core_.vocab().id_of(t);
  }
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

}  // namespace

Result<std::vector<Token>> AbsTokenizer::tokenize(MidiDictRecord piece) const {
  const auto& c = config_;
  remove_instruments(piece, ignore_map_);
  if (piece.note_msgs.empty()) return Error{kEmptyNoteMessages};
  std::stable_sort(piece.note_msgs.begin(), piece.note_msgs.end(),
                   [](const NoteMessage& a, const NoteMessage& b) { return a.start < b.start; });
  const PedalIntervalMap pedals = pedal_intervals(piece);

  // Channel -> family: the last program change with a family wins; note channels default to piano.
  std::unordered_map<int32_t, std::string_view> channel_family;
  for (const auto& m : piece.instrument_msgs) {
    if (m.channel == kDrumChannel) continue;
    if (auto family = program_family(m.data)) channel_family[m.channel] = *family;
  }
  bool has_drums = false;
  for (const auto& n : piece.note_msgs) {
    if (n.channel == kDrumChannel) {
      has_drums = true;
    } else {
      channel_family.try_emplace(n.channel, "piano");
    }
  }

  std::vector<Token> out;
  out.reserve(piece.note_msgs.size() * 3 + piece.note_msgs.size() / 8 + 16);
  // Metadata prefixes in the order genre, form, composer.
  const std::pair<const char*, const std::vector<std::string>*> categories[] = {
      {"genre", &c.genre_names}, {"form", &c.form_names}, {"composer", &c.composer_names}};
  for (const auto& [key, names] : categories) {
    auto it = piece.metadata.find(key);
    if (it != piece.metadata.end() && std::find(names->begin(), names->end(), it->second) != names->end()) {
      out.push_back(Token::prefix("prefix", key, it->second));
    }
  }
  // Instrument prefixes sorted by name, so the same piece always gives the same tokens.
  std::set<std::string_view> families;
  for (const auto& [channel, family] : channel_family) families.insert(family);
  for (std::string_view f : families) out.push_back(Token::prefix("prefix", "instrument", std::string(f)));
  if (has_drums) out.push_back(Token::prefix("prefix", "instrument", "drum"));
  out.push_back(Token::special(kBosTok));

  const size_t body_start = out.size();
  const int32_t step = c.abs_time_step_ms;
  int32_t prev = 0;
  for (const auto& n : piece.note_msgs) {
    const int32_t s = elapsed_ms(piece.tempo_msgs, piece.ticks_per_beat, 0, n.start);
    for (int32_t k = s / step - prev / step; k > 0; --k) out.push_back(Token::special(kTimeTok));
    const int32_t t = nearest_in_grid(onset_grid_, s % step);
    if (n.channel == kDrumChannel) {
      out.push_back(Token::drum(n.pitch));
      out.push_back(Token::onset(t));
    } else {
      int32_t end = n.end;
      auto ped = pedals.find(n.channel);
      if (ped != pedals.end()) end = sustained_end(ped->second, end);
      int32_t dur = nearest_in_grid(dur_grid_, elapsed_ms(piece.tempo_msgs, piece.ticks_per_beat, n.start, end));
      if (dur == 0) dur = c.time_step_ms;
      out.push_back(Token::note(std::string(channel_family.at(n.channel)), n.pitch, core_.quantize_velocity(n.velocity)));
      out.push_back(Token::onset(t));
      out.push_back(Token::dur(dur));
    }
    prev = s;
  }

  // "<D>" about 100 tokens before the end of a long body, at the start of a note group or time token.
  const size_t body_len = out.size() - body_start;
  if (body_len > 150) {
    size_t i = body_len - 100;
    while (i > 0) {
      const Token& tok = out[body_start + i];
      if (is_kind(tok, TokenKind::Onset)) {
        i -= 1;
      } else if (is_kind(tok, TokenKind::Dur)) {
        i = i >= 2 ? i - 2 : 0;
      } else {
        break;
      }
    }
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(body_start + i), Token::special(kDimTok));
  }
  out.push_back(Token::special(kEosTok));
  return out;
}

namespace {

int32_t ms_to_tick(int32_t ms) { return round_to_i32((ms / 1000.0) / 0.001); }

}  // namespace

MidiDictRecord AbsTokenizer::detokenize(const std::vector<Token>& tokens) const {
  const auto& c = config_;
  // Prefix scan: channels in order of first appearance, skipping 9, which belongs to drums.
  std::vector<std::pair<std::string, int32_t>> channels;  // instrument -> channel
  auto channel_of = [&channels](std::string_view name) -> std::optional<int32_t> {
    for (const auto& [n, ch] : channels) {
      if (n == name) return ch;
    }
    return std::nullopt;
  };
  int32_t next_channel = 0;
  size_t start = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (next_channel == kDrumChannel) next_channel = 10;
    const Token& t = tokens[i];
    if (t.kind == TokenKind::Special) continue;
    if (t.kind != TokenKind::Prefix) {
      start = i;
      break;
    }
    if (t.text != "prefix" || t.text2 != "instrument") continue;
    if (std::find(instruments_wd_.begin(), instruments_wd_.end(), t.text3) == instruments_wd_.end()) continue;
    if (channel_of(t.text3)) continue;
    channels.emplace_back(t.text3, t.text3 == "drum" ? kDrumChannel : next_channel++);
  }

  MidiDictRecord rec;
  rec.ticks_per_beat = 500;
  rec.tempo_msgs.push_back({"tempo", 500000, 0});
  std::vector<std::pair<std::string, int32_t>> by_channel = channels;
  std::sort(by_channel.begin(), by_channel.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  for (const auto& [name, channel] : by_channel) {
    int32_t program = 0;
    if (name != "drum") {
      for (const auto& [n, p] : c.instrument_programs) {
        if (n == name) {
          program = p;
          break;
        }
      }
    }
    rec.instrument_msgs.push_back({"instrument", program, 0, channel});
  }

  const std::optional<int32_t> drum_channel = channel_of("drum");
  int32_t time = 0;
  for (size_t i = start; i < tokens.size();) {
    const Token& t = tokens[i];
    if (t.kind == TokenKind::Note && i + 2 < tokens.size() && tokens[i + 1].kind == TokenKind::Onset &&
        tokens[i + 2].kind == TokenKind::Dur) {
      const auto onset = static_cast<int32_t>(static_cast<uint32_t>(time) + static_cast<uint32_t>(tokens[i + 1].a));
      const auto off = static_cast<int32_t>(static_cast<uint32_t>(onset) + static_cast<uint32_t>(tokens[i + 2].a));
      if (auto ch = channel_of(t.text)) {
        const int32_t s = ms_to_tick(onset);
        rec.note_msgs.push_back({"note", t.a, s, ms_to_tick(off), t.b, s, *ch});
      }
      i += 3;
    } else if (t.kind == TokenKind::Drum && i + 1 < tokens.size() && tokens[i + 1].kind == TokenKind::Onset) {
      const auto onset = static_cast<int32_t>(static_cast<uint32_t>(time) + static_cast<uint32_t>(tokens[i + 1].a));
      const auto off = static_cast<int32_t>(static_cast<uint32_t>(onset) + static_cast<uint32_t>(c.time_step_ms));
      if (drum_channel) {
        const int32_t s = ms_to_tick(onset);
        rec.note_msgs.push_back({"note", t.a, s, ms_to_tick(off), c.drum_velocity, s, *drum_channel});
      }
      i += 2;
    } else {
      if (t.is_special(kTimeTok)) time = static_cast<int32_t>(static_cast<uint32_t>(time) + static_cast<uint32_t>(c.abs_time_step_ms));
      i += 1;
    }
  }
  return rec;
}

std::vector<int32_t> AbsTokenizer::encode(const std::vector<Token>& tokens) const {
  std::vector<int32_t> ids;
  ids.reserve(tokens.size());
  for (const Token& t : tokens) ids.push_back(id_of(t).value_or(0));
  return ids;
}

}  // namespace noteloom
