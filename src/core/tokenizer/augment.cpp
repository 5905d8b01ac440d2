#include "augment.hpp"

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "../base/rounding.hpp"

namespace noteloom {
namespace {

// The generator to draw from: a given one, else the thread's, fetched on the first draw only.
class LazyRng {
 public:
  explicit LazyRng(Rng* given = nullptr) : rng_(given) {}
  Result<Rng*> get() {
    if (!rng_) {
      auto r = Rng::for_this_thread();
      if (!r) return r.error();
      rng_ = r.value();
    }
    return rng_;
  }

 private:
  Rng* rng_ = nullptr;
};

// The given amount, or a uniform draw from [-max, max] (0 without a draw when max <= 0).
Result<int32_t> amount(std::optional<int32_t> given, int32_t max, LazyRng& rng) {
  if (given) return *given;
  if (max <= 0) return 0;
  auto r = rng.get();
  if (!r) return r.error();
  return r.value()->uniform_i32(-max, max);
}

Result<int32_t> amount(std::optional<int32_t> given, int32_t max) {
  LazyRng rng;
  return amount(given, max, rng);
}

// Nearest multiple of `step` to value * factor (value * factor / step rounded half away from zero).
int32_t scale_to_grid(int32_t value, double factor, int32_t step) {
  return wrap_mul(round_to_i32(static_cast<double>(value) * factor / static_cast<double>(step)), step);
}

}  // namespace

Result<std::vector<Token>> apply_pitch_aug(const AbsTokenizer&, std::vector<Token> tokens, int32_t max_pitch_aug,
                                           std::optional<int32_t> pitch_aug) {
  auto shift = amount(pitch_aug, max_pitch_aug);
  if (!shift) return shift.error();
  for (Token& t : tokens) {
    if (t.kind != TokenKind::Note) continue;
    const int32_t p = wrap_add(t.value, shift.value());
    if (p >= 0 && p <= 127) {
      t.value = p;
    } else {
      t = Token::special(kUnkTok);
    }
  }
  return tokens;
}

Result<std::vector<Token>> apply_velocity_aug(const AbsTokenizer& tok, std::vector<Token> tokens,
                                              int32_t max_num_aug_steps, std::optional<int32_t> aug_step) {
  auto steps = amount(aug_step, max_num_aug_steps);
  if (!steps) return steps.error();
  const int32_t step = tok.config().velocity_step;
  const int32_t max_velocity = tok.core().max_velocity();
  const int32_t offset = wrap_mul(steps.value(), step);
  for (Token& t : tokens) {
    if (t.kind != TokenKind::Note) continue;
    int32_t v = wrap_add(t.velocity, offset);
    if (v < step) v = step;
    if (v > max_velocity) v = max_velocity;  // applied last: wins if the bounds cross
    t.velocity = v;
  }
  return tokens;
}

namespace {

// The given factor, else a uniform draw from [1 - max, 1 + max] when max > 0, else 1 (NaN too).
Result<double> tempo_factor(std::optional<double> given, double max_tempo_aug, LazyRng& rng) {
  if (given) return *given;
  if (!(max_tempo_aug > 0)) return 1.0;
  auto r = rng.get();
  if (!r) return r.error();
  return r.value()->uniform_closed(1.0 - max_tempo_aug, 1.0 + max_tempo_aug);
}

// What a token is to the tempo rule. A note counts as an event only when its instrument is one
// the tokenizer knows.
enum class Role : uint8_t { Other, Bos, Prefix, Time, Unk, Dim, Eos, Note, OtherNote, Drum, Onset, Dur };

Role role_of(const Token& v, std::span<const std::string> instruments) {
  switch (v.kind) {
    case TokenKind::Special:
      return v.text == kBosTok    ? Role::Bos
             : v.text == kTimeTok ? Role::Time
             : v.text == kUnkTok  ? Role::Unk
             : v.text == kDimTok  ? Role::Dim
             : v.text == kEosTok  ? Role::Eos
                                  : Role::Other;
    case TokenKind::Prefix:
      return Role::Prefix;
    case TokenKind::Note:
      return std::find(instruments.begin(), instruments.end(), v.text) != instruments.end() ? Role::Note
                                                                                            : Role::OtherNote;
    case TokenKind::Onset:
      return Role::Onset;
    case TokenKind::Dur:
      return Role::Dur;
    case TokenKind::Drum:
      return Role::Drum;
  }
  return Role::Other;
}

// An event of the tempo rule: a note group (lead, onset, duration) or a drum group (lead, onset)
// at (time segment, onset), its lead at position `at`.
struct TimedEvent {
  int32_t segment, onset;
  uint32_t at;
  bool has_dur;
  bool operator<(const TimedEvent& o) const { return segment != o.segment ? segment < o.segment : onset < o.onset; }
  bool same_time(const TimedEvent& o) const { return segment == o.segment && onset == o.onset; }
};

// What the tempo scan finds: the events in time order (each time's in input order), and where
// "<D>" goes, after the first event at the time of the last event before it (plain values: GCC 12
// misreads optionals here).
struct EventScan {
  std::vector<TimedEvent> events;
  bool has_dim = false;
  int32_t dim_segment = 0, dim_onset = 0;
};

// The scan of the tempo rule over any sequence: `seq.role(i)` and `seq.value(i)` (an onset's or
// duration's milliseconds) read it; the head ("<S>" and prefixes) goes to `head(i)` in order.
template <typename Seq, typename Head>
EventScan scan_events(const Seq& seq, Head&& head) {
  EventScan scan;
  scan.events.reserve(seq.size() / 3 + 1);
  int32_t segment = 0, last_onset = 0;
  bool any_event = false;
  for (size_t i = 0; i + 2 < seq.size(); ++i) {
    const Role next = seq.role(i + 1);
    const bool onset_dur = next == Role::Onset && seq.role(i + 2) == Role::Dur;
    auto record = [&](bool has_dur) {
      const int32_t onset = seq.value(i + 1);
      scan.events.push_back({segment, onset, static_cast<uint32_t>(i), has_dur});
      last_onset = onset, any_event = true;
    };
    switch (seq.role(i)) {
      case Role::Time:
        segment = wrap_add(segment, 1);
        break;
      case Role::Unk:
      case Role::Note:
        if (onset_dur) record(true);
        break;
      case Role::Bos:
      case Role::Prefix:
        head(i);
        break;
      case Role::Dim:
        if (any_event) scan.has_dim = true, scan.dim_segment = segment, scan.dim_onset = last_onset;
        break;
      case Role::Drum:
        if (next == Role::Onset) record(false);
        break;
      default:
        break;
    }
  }
  if (!std::is_sorted(scan.events.begin(), scan.events.end())) std::stable_sort(scan.events.begin(), scan.events.end());
  return scan;
}

// Shuffles the `n` events of one time that start at `first`, for mixup.
Status shuffled_order(std::vector<uint32_t>& order, size_t first, size_t n, LazyRng& rng) {
  order.assign(n, 0);
  for (size_t k = 0; k < n; ++k) order[k] = static_cast<uint32_t>(first + k);
  auto r = rng.get();
  if (!r) return r.error();
  for (size_t j = n - 1; j >= 1; --j) std::swap(order[j], order[r.value()->uniform_u64(0, j)]);
  return ok_status();
}

// The emission of the tempo rule: each time scaled by `factor` and snapped to the grid, split
// again into "<T>" tokens and an onset, its events in their order with their durations scaled
// (at most max_dur_ms), "<D>" where the scan found it, "<E>" when the sequence ended with one.
// `out` writes: time(), onset(ms) (the time's onset, before its events), event(at, has_dur,
// dur_ms), dim(), eos().
template <typename Seq, typename Out>
Status emit_events(const Seq& seq, EventScan& scan, const AbsTokenizerConfig& c, double factor, bool mixup,
                   LazyRng& rng, Out& out) {
  const std::vector<TimedEvent>& events = scan.events;
  const int32_t step = c.time_step_ms, segment_ms = c.abs_time_step_ms, max_dur = c.max_dur_ms;
  std::vector<uint32_t> order;
  int32_t segments_out = 0;
  for (size_t first = 0; first < events.size();) {
    size_t end = first + 1;
    while (end < events.size() && events[end].same_time(events[first])) ++end;
    const TimedEvent& key = events[first];
    const int32_t time = scale_to_grid(wrap_add(wrap_mul(key.segment, segment_ms), key.onset), factor, step);
    const int32_t new_segment = time / segment_ms;
    for (int32_t j = new_segment - segments_out; j > 0; --j) out.time();
    out.onset(time % segment_ms);
    bool dim_here = scan.has_dim && scan.dim_segment == key.segment && scan.dim_onset == key.onset;
    auto emit = [&](size_t k) {
      const TimedEvent& e = events[k];
      const int32_t dur_ms = e.has_dur ? std::min(scale_to_grid(seq.value(e.at + 2), factor, step), max_dur) : 0;
      out.event(e.at, e.has_dur, dur_ms);
      if (dim_here) out.dim(), dim_here = false, scan.has_dim = false;
    };
    if (mixup && end - first >= 2) {
      if (Status shuffled = shuffled_order(order, first, end - first, rng); !shuffled) return shuffled;
      for (const uint32_t k : order) emit(k);
    } else {
      for (size_t k = first; k < end; ++k) emit(k);
    }
    segments_out = new_segment;
    first = end;
  }
  if (seq.size() > 0 && seq.role(seq.size() - 1) == Role::Eos) out.eos();
  return ok_status();
}

// A token sequence, as the tempo rule reads and writes it.
struct TokenSeq {
  std::span<const Token> tokens;
  std::span<const std::string> instruments;
  size_t size() const { return tokens.size(); }
  Role role(size_t i) const { return role_of(tokens[i], instruments); }
  int32_t value(size_t i) const { return tokens[i].value; }
};

struct TokenOut {
  std::span<const Token> tokens;
  std::vector<Token>& out;
  Token onset_token = Token::onset(0);
  void time() { out.push_back(Token::special(kTimeTok)); }
  void onset(int32_t ms) { onset_token = Token::onset(ms); }
  void event(uint32_t at, bool has_dur, int32_t dur_ms) {
    out.push_back(tokens[at]);
    out.push_back(onset_token);
    if (has_dur) out.push_back(Token::dur(dur_ms));
  }
  void dim() { out.push_back(Token::special(kDimTok)); }
  void eos() { out.push_back(Token::special(kEosTok)); }
};

}  // namespace

Result<std::vector<Token>> apply_tempo_aug(const AbsTokenizer& tok, const std::vector<Token>& tokens,
                                           double max_tempo_aug, bool mixup, std::optional<double> tempo_aug) {
  LazyRng rng;
  auto factor = tempo_factor(tempo_aug, max_tempo_aug, rng);
  if (!factor) return factor.error();
  const TokenSeq seq{tokens, tok.instruments_wd()};
  std::vector<Token> out;
  out.reserve(tokens.size() + 16);
  EventScan scan = scan_events(seq, [&](size_t i) { out.push_back(tokens[i]); });
  TokenOut writer{tokens, out};
  if (Status done = emit_events(seq, scan, tok.config(), factor.value(), mixup, rng, writer); !done) {
    return done.error();
  }
  return out;
}

}  // namespace noteloom

// ---- The same rules on IDs ----------------------------------------------------------------------
//
// IDs are first read as codes: the ID of the token the ID's text form reads back as, or, for a drum
// hit whose pitch the vocabulary lacks (a note of the instrument "drum" reads back as one),
// vocab_size + pitch. Every step then works on codes through tables built once; codes outside the
// vocabulary encode as 0 at the end, as encode does.

namespace noteloom {
namespace {

struct IdTables {
  int32_t vocab = 0;
  uint16_t unk = 0, time = 0, dim = 0, eos = 0;
  std::vector<uint16_t> canon;  // per ID: its code
  std::vector<Role> role;       // per code
  std::vector<int32_t> value;   // per code: pitch (notes, drums) or milliseconds (onsets, durations)
  std::vector<int32_t> velocity;
  std::optional<std::string> error;  // set when the vocabulary holds a token that reads back outside it

  bool is_note(uint16_t c) const { return role[c] == Role::Note || role[c] == Role::OtherNote; }
  uint16_t id_of(uint16_t c) const { return c < vocab ? c : 0; }
};

IdTables build_id_tables(const AbsTokenizer& tok) {
  IdTables t;
  const auto& vocab = tok.vocabulary();
  t.vocab = static_cast<int32_t>(vocab.size());
  const auto special = [&](std::string_view text) { return static_cast<uint16_t>(tok.find_id(Token::special(text))); };
  t.unk = special(kUnkTok), t.time = special(kTimeTok), t.dim = special(kDimTok), t.eos = special(kEosTok);
  const size_t codes = vocab.size() + 128;
  t.role.assign(codes, Role::Drum);  // codes past the vocabulary: drum hits of the pitches it lacks
  t.value.assign(codes, 0);
  t.velocity.assign(codes, 0);
  for (int32_t p = 0; p < 128; ++p) t.value[vocab.size() + static_cast<size_t>(p)] = p;
  const auto& instruments = tok.instruments_wd();
  for (size_t id = 0; id < vocab.size(); ++id) {
    const Token& v = vocab[id];
    const Token read = v.kind == TokenKind::Special ? v : [&] {
      const TokenText form = text_of(v);
      return token_from_text(form.text, form.first, form.second);
    }();
    int32_t code = tok.find_id(read);
    if (code < 0 && read.kind == TokenKind::Drum && read.value >= 0 && read.value < 128) code = t.vocab + read.value;
    if (code < 0) {
      t.error = "token " + std::to_string(id) + " reads back as a token outside the vocabulary";
      code = t.unk;
    }
    t.canon.push_back(static_cast<uint16_t>(code));
    t.value[id] = v.value;
    t.velocity[id] = v.velocity;
    t.role[id] = role_of(v, instruments);
  }
  return t;
}

// The tables of `tok`: the built-in tokenizer's are built once; a configured tokenizer's are kept
// for the last few tokenizers used (by serial number), so a training loop builds them once.
std::shared_ptr<const IdTables> id_tables(const AbsTokenizer& tok) {
  static const auto built_in = std::make_shared<const IdTables>(build_id_tables(AbsTokenizer::shared()));
  if (&tok == &AbsTokenizer::shared()) return built_in;
  static std::mutex lock;
  static std::deque<std::pair<uint64_t, std::shared_ptr<const IdTables>>> recent;
  {
    const std::lock_guard guard(lock);
    for (const auto& [serial, tables] : recent) {
      if (serial == tok.serial()) return tables;
    }
  }
  auto made = std::make_shared<const IdTables>(build_id_tables(tok));
  const std::lock_guard guard(lock);
  recent.emplace_back(tok.serial(), made);
  if (recent.size() > 8) recent.pop_front();
  return made;
}

template <typename Int>
uint16_t code_of(Int id, const IdTables& t) {
  if constexpr (std::is_signed_v<Int>) {
    if (id < 0) return t.unk;
  }
  return static_cast<uint64_t>(id) < static_cast<uint64_t>(t.vocab) ? t.canon[static_cast<size_t>(id)] : t.unk;
}

// The pitch and velocity steps on one code: a note moves by `shift` pitches ("<U>" when it leaves
// 0..127), then by `offset` velocity, clamped to [velocity_step, max_velocity].
struct NoteShift {
  const AbsTokenizer& tok;
  int32_t shift, offset, levels, min_velocity, max_velocity;

  uint16_t operator()(uint16_t c, const IdTables& t) const {
    const int32_t pitch = t.value[c];
    const int32_t p = wrap_add(pitch, shift);
    if (p < 0 || p > 127) return t.unk;
    const int32_t v = std::min(std::max(wrap_add(t.velocity[c], offset), min_velocity), max_velocity);
    return static_cast<uint16_t>(c + (p - pitch) * levels + tok.velocity_level(v) - tok.velocity_level(t.velocity[c]));
  }
};

// A sequence of codes, as the tempo rule reads and writes it.
// Plain pointers held by value: the reads need no reloads after each write of the output.
struct CodeSeq {
  const uint16_t* c;
  size_t n;
  const Role* roles;
  const int32_t* values;
  size_t size() const { return n; }
  Role role(size_t i) const { return roles[c[i]]; }
  int32_t value(size_t i) const { return values[c[i]]; }
};

struct CodeOut {
  const IdTables& t;
  const std::vector<uint16_t>& c;
  const AbsTokenizer& tok;
  std::vector<uint16_t> out;  // owned: the emission's pushes need no reloads through a reference
  uint16_t onset_id = 0;
  uint16_t id_of(const Token& token) const { return static_cast<uint16_t>(std::max(tok.find_id(token), 0)); }
  void time() { out.push_back(t.time); }
  void onset(int32_t ms) { onset_id = id_of(Token::onset(ms)); }
  void event(uint32_t at, bool has_dur, int32_t dur_ms) {
    out.push_back(t.id_of(c[at]));
    out.push_back(onset_id);
    if (has_dur) out.push_back(id_of(Token::dur(dur_ms)));
  }
  void dim() { out.push_back(t.dim); }
  void eos() { out.push_back(t.eos); }
};

// apply_tempo_aug on codes: the same rule as on tokens.
Result<std::vector<uint16_t>> tempo_on_codes(const AbsTokenizer& tok, const IdTables& t, const std::vector<uint16_t>& c,
                                             double factor, bool mixup, LazyRng& rng) {
  const CodeSeq seq{c.data(), c.size(), t.role.data(), t.value.data()};
  CodeOut writer{t, c, tok, {}};
  writer.out.reserve(c.size() + 16);
  EventScan scan = scan_events(seq, [&](size_t i) { writer.out.push_back(c[i]); });
  if (Status done = emit_events(seq, scan, tok.config(), factor, mixup, rng, writer); !done) {
    return done.error();
  }
  return std::move(writer.out);
}

template <typename Int>
Result<std::vector<uint16_t>> augment_any(std::span<const Int> ids, const IdAugmentation& how) {
  const AbsTokenizer& tok = how.tokenizer ? *how.tokenizer : AbsTokenizer::shared();
  if (tok.vocab_size() + 128 > 65536) {
    return Error{"augment_ids handles vocabularies of at most 65408 tokens, not " + std::to_string(tok.vocab_size())};
  }
  const std::shared_ptr<const IdTables> tables = id_tables(tok);
  const IdTables& t = *tables;
  if (t.error) return Error{*t.error};
  Rng seeded = Rng::seeded(how.seed.value_or(0));
  LazyRng rng(how.seed ? &seeded : nullptr);
  auto shift = amount(how.pitch_aug, how.max_pitch_aug, rng);
  if (!shift) return shift.error();
  auto steps = amount(how.aug_step, how.max_num_aug_steps, rng);
  if (!steps) return steps.error();
  auto factor = tempo_factor(how.tempo_aug, how.max_tempo_aug, rng);
  if (!factor) return factor.error();
  const NoteShift move{tok,
                       shift.value(),
                       wrap_mul(steps.value(), tok.config().velocity_step),
                       static_cast<int32_t>(tok.core().velocity_grid().size()),
                       tok.config().velocity_step,
                       tok.core().max_velocity()};
  std::vector<uint16_t> codes(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    const uint16_t c = code_of(ids[i], t);
    codes[i] = t.is_note(c) ? move(c, t) : c;
  }
  return tempo_on_codes(tok, t, codes, factor.value(), how.mixup, rng);
}

}  // namespace

#define NOTELOOM_AUGMENT_IDS(Int)                                                                  \
  Result<std::vector<uint16_t>> augment_ids(std::span<const Int> ids, const IdAugmentation& how) { \
    return augment_any(ids, how);                                                                  \
  }
NOTELOOM_AUGMENT_IDS(uint8_t)
NOTELOOM_AUGMENT_IDS(int8_t)
NOTELOOM_AUGMENT_IDS(uint16_t)
NOTELOOM_AUGMENT_IDS(int16_t)
NOTELOOM_AUGMENT_IDS(uint32_t)
NOTELOOM_AUGMENT_IDS(int32_t)
NOTELOOM_AUGMENT_IDS(uint64_t)
NOTELOOM_AUGMENT_IDS(int64_t)
#undef NOTELOOM_AUGMENT_IDS

}  // namespace noteloom
