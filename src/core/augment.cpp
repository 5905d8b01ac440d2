#include "augment.hpp"

#include <algorithm>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "rounding.hpp"

namespace noteloom {
namespace {

// The given amount, or a uniform draw from [-max, max] (0 without a draw when max <= 0).
Result<int32_t> amount(std::optional<int32_t> given, int32_t max) {
  if (given) return *given;
  if (max <= 0) return 0;
  auto rng = Rng::for_this_thread();
  if (!rng) return rng.error();
  return rng.value()->uniform_i32(-max, max);
}

struct TimedEvent {
  const Token* lead;
  const Token* onset;
  const Token* dur;  // null for drum events
};

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

// The per-thread generator, fetched on the first draw only.
class LazyRng {
 public:
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

// The given factor, else a uniform draw from [1 - max, 1 + max] when max > 0, else 1 (NaN too).
Result<double> tempo_factor(std::optional<double> given, double max_tempo_aug, LazyRng& rng) {
  if (given) return *given;
  if (!(max_tempo_aug > 0)) return 1.0;
  auto r = rng.get();
  if (!r) return r.error();
  return r.value()->uniform_closed(1.0 - max_tempo_aug, 1.0 + max_tempo_aug);
}

// A sequence read by the tempo scan: the head tokens ("<S>" and prefixes) in order, then every
// event keyed by (time segment, onset); the keys come out sorted, each key's events in input order.
struct TempoScan {
  std::vector<Token> head;
  std::map<int32_t, std::map<int32_t, std::vector<TimedEvent>>> events;
  // Where "<D>" goes: after the event at (segment, onset), the last event before it.
  std::optional<std::pair<int32_t, int32_t>> dim;
};

TempoScan scan_events(std::span<const Token> tokens, std::span<const std::string> instruments) {
  TempoScan scan;
  int32_t segment = 0;
  std::optional<int32_t> last_onset;  // onset time of the most recent event
  auto record = [&](const Token& lead, const Token& onset, const Token* dur) {
    scan.events[segment][onset.value].push_back({&lead, &onset, dur});
    last_onset = onset.value;
  };
  for (size_t i = 0; i + 2 < tokens.size(); ++i) {
    const Token& lead = tokens[i];
    const Token& next = tokens[i + 1];
    const Token& after = tokens[i + 2];
    const bool onset_dur = next.kind == TokenKind::Onset && after.kind == TokenKind::Dur;
    if (lead.is_special(kTimeTok)) {
      segment = wrap_add(segment, 1);
    } else if (lead.is_special(kUnkTok)) {
      if (onset_dur) record(lead, next, &after);
    } else if (lead.is_special(kBosTok) || lead.kind == TokenKind::Prefix) {
      scan.head.push_back(lead);
    } else if (lead.is_special(kDimTok)) {
      if (last_onset) scan.dim = {segment, *last_onset};
    } else if (lead.kind == TokenKind::Note) {
      if (onset_dur && std::find(instruments.begin(), instruments.end(), lead.text) != instruments.end()) {
        record(lead, next, &after);
      }
    } else if (lead.kind == TokenKind::Drum) {
      if (next.kind == TokenKind::Onset) record(lead, next, nullptr);
    }
  }
  return scan;
}

}  // namespace

Result<std::vector<Token>> apply_tempo_aug(const AbsTokenizer& tok, const std::vector<Token>& tokens,
                                           double max_tempo_aug, bool mixup, std::optional<double> tempo_aug) {
  const auto& c = tok.config();
  const int32_t step = c.time_step_ms;
  const int32_t segment_ms = c.abs_time_step_ms;
  LazyRng rng;
  auto factor = tempo_factor(tempo_aug, max_tempo_aug, rng);
  if (!factor) return factor.error();
  TempoScan scan = scan_events(tokens, tok.instruments_wd());

  // Each key's time is scaled and snapped to the grid, then split again into segments ("<T>"
  // tokens) and an onset; with mixup, the events of one key come out in a random order.
  std::vector<Token> out = std::move(scan.head);
  out.reserve(tokens.size() + 16);
  int32_t segments_out = 0;
  for (auto& [segment, onsets] : scan.events) {
    for (auto& [onset, events] : onsets) {
      const int32_t time = scale_to_grid(wrap_add(wrap_mul(segment, segment_ms), onset), factor.value(), step);
      const int32_t new_segment = time / segment_ms;
      const int32_t new_onset = time % segment_ms;
      for (int32_t j = new_segment - segments_out; j > 0; --j) out.push_back(Token::special(kTimeTok));
      std::vector<TimedEvent> order = events;
      if (mixup && order.size() >= 2) {
        auto r = rng.get();
        if (!r) return r.error();
        for (size_t j = order.size() - 1; j >= 1; --j) std::swap(order[j], order[r.value()->uniform_u64(0, j)]);
      }
      for (const TimedEvent& e : order) {
        out.push_back(*e.lead);
        out.push_back(Token::onset(new_onset));
        if (e.dur) out.push_back(Token::dur(std::min(scale_to_grid(e.dur->value, factor.value(), step), c.max_dur_ms)));
        if (scan.dim == std::pair(segment, onset)) {
          out.push_back(Token::special(kDimTok));
          scan.dim.reset();
        }
      }
      segments_out = new_segment;
    }
  }
  if (!tokens.empty() && tokens.back().is_special(kEosTok)) out.push_back(Token::special(kEosTok));
  return out;
}

}  // namespace noteloom
