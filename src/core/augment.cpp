#include "augment.hpp"

#include <algorithm>
#include <map>
#include <string_view>

#include "rounding.hpp"

namespace noteloom {
namespace {

inline int32_t wrap_add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wrap_mul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

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
    const int32_t p = wrap_add(t.a, shift.value());
    if (p >= 0 && p <= 127) {
      t.a = p;
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
    int32_t v = wrap_add(t.b, offset);
    if (v < step) v = step;
    if (v > max_velocity) v = max_velocity;  // applied last: wins if the bounds cross
    t.b = v;
  }
  return tokens;
}

Result<std::vector<Token>> apply_tempo_aug(const AbsTokenizer& tok, const std::vector<Token>& tokens,
                                           double max_tempo_aug, bool mixup, std::optional<double> tempo_aug) {
  const auto& c = tok.config();
  const int32_t S = c.time_step_ms;
  const int32_t A = c.abs_time_step_ms;
  const int32_t D = c.max_dur_ms;
  const auto& instruments = tok.instruments_wd();

  Rng* rng = nullptr;
  auto need_rng = [&rng]() -> Status {
    if (rng) return ok_status();
    auto r = Rng::for_this_thread();
    if (!r) return r.error();
    rng = r.value();
    return ok_status();
  };

  double factor = 1.0;
  if (tempo_aug) {
    factor = *tempo_aug;
  } else if (max_tempo_aug > 0) {
    if (Status s = need_rng(); !s) return s.error();
    auto f = rng->uniform_closed(1.0 - max_tempo_aug, 1.0 + max_tempo_aug);
    if (!f) return f.error();
    factor = f.value();
  }

  // Scan: events keyed by (segment, onset time); keys come out sorted, events in input order.
  std::vector<Token> head;
  std::map<int32_t, std::map<int32_t, std::vector<TimedEvent>>> table;
  int32_t segment = 0;
  std::optional<int32_t> last_onset;  // onset time of the most recent event
  struct {
    bool set = false;
    int32_t segment = 0;
    int32_t onset = 0;
  } dim;
  auto record = [&](const Token& lead, const Token& onset, const Token* dur) {
    table[segment][onset.a].push_back({&lead, &onset, dur});
    last_onset = onset.a;
  };
  const size_t n = tokens.size();
  for (size_t i = 0; i + 2 < n; ++i) {
    const Token& t0 = tokens[i];
    const Token& t1 = tokens[i + 1];
    const Token& t2 = tokens[i + 2];
    const bool onset_dur = t1.kind == TokenKind::Onset && t2.kind == TokenKind::Dur;
    if (t0.is_special(kTimeTok)) {
      segment = wrap_add(segment, 1);
    } else if (t0.is_special(kUnkTok)) {
      if (onset_dur) record(t0, t1, &t2);
    } else if (t0.is_special(kBosTok)) {
      head.push_back(t0);
    } else if (t0.is_special(kDimTok)) {
      if (last_onset) dim = {true, segment, *last_onset};
    } else if (t0.kind == TokenKind::Prefix) {
      head.push_back(t0);
    } else if (t0.kind == TokenKind::Note) {
      if (onset_dur && std::find(instruments.begin(), instruments.end(), t0.text) != instruments.end()) {
        record(t0, t1, &t2);
      }
    } else if (t0.kind == TokenKind::Drum) {
      if (t1.kind == TokenKind::Onset) record(t0, t1, nullptr);
    }
  }

  std::vector<Token> out = std::move(head);
  out.reserve(n + 16);
  int32_t cur = 0;
  for (auto& [k, onsets] : table) {
    for (auto& [o, events] : onsets) {
      const int32_t T = scale_to_grid(wrap_add(wrap_mul(k, A), o), factor, S);
      const int32_t g = T / A;
      const int32_t new_onset = T % A;
      for (int32_t j = g - cur; j > 0; --j) out.push_back(Token::special(kTimeTok));
      std::vector<TimedEvent> order = events;
      if (mixup && order.size() >= 2) {
        if (Status s = need_rng(); !s) return s.error();
        for (size_t j = order.size() - 1; j >= 1; --j) {
          std::swap(order[j], order[rng->uniform_u64(0, j)]);
        }
      }
      for (const TimedEvent& e : order) {
        out.push_back(*e.lead);
        out.push_back(Token::onset(new_onset));
        if (e.dur) out.push_back(Token::dur(std::min(scale_to_grid(e.dur->a, factor, S), D)));
        if (dim.set && dim.segment == k && dim.onset == o) {
          out.push_back(Token::special(kDimTok));
          dim.set = false;
        }
      }
      cur = g;
    }
  }
  if (n > 0 && tokens.back().is_special(kEosTok)) out.push_back(Token::special(kEosTok));
  return out;
}

}  // namespace noteloom
