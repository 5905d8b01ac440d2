#include "tempo_map.hpp"

#include <algorithm>

#include "../base/rounding.hpp"

namespace noteloom {
namespace {

// The first index of the non-decreasing `v` whose value is not `before`, as std::partition_point
// finds it, but searched outward from `hint` with steps that double: O(log distance).
template <typename Before>
size_t partition_from(const std::vector<int32_t>& v, size_t hint, Before before) {
  const size_t n = v.size();
  size_t lo = 0, hi = n;  // the answer lies in [lo, hi]
  if (hint < n && before(v[hint])) {
    lo = hint + 1;
    for (size_t step = 1; lo < n; step *= 2) {
      const size_t probe = std::min(lo + step - 1, n - 1);
      if (!before(v[probe])) {
        hi = probe;
        break;
      }
      lo = probe + 1;
    }
  } else {
    hi = std::min(hint, n);
    for (size_t step = 1; hi > 0; step *= 2) {
      const size_t probe = hi > step ? hi - step : 0;
      if (before(v[probe])) {
        lo = probe + 1;
        break;
      }
      hi = probe;
    }
  }
  return static_cast<size_t>(std::partition_point(v.begin() + static_cast<std::ptrdiff_t>(lo),
                                                  v.begin() + static_cast<std::ptrdiff_t>(hi), before) -
                             v.begin());
}

}  // namespace

// The floating-point expressions below are written exactly as in elapsed_ms, and the sums are
// accumulated in the same order, so that every result comes out the same to the last bit.

TempoMap::TempoMap(const std::vector<TempoMessage>& tempos, int32_t ticks_per_beat)
    : tpb_(static_cast<double>(ticks_per_beat)) {
  const size_t n = tempos.size();
  tick_.reserve(n);
  seconds_per_tick_.reserve(n);
  max_tick_.reserve(n);
  for (const auto& t : tempos) {
    tick_.push_back(t.tick);
    seconds_per_tick_.push_back((t.data * 1e-6) / tpb_);
    max_tick_.push_back(max_tick_.empty() ? t.tick : std::max(max_tick_.back(), t.tick));
  }
  if (n == 0) return;
  run_last_.resize(n);
  run_last_[n - 1] = static_cast<uint32_t>(n - 1);
  for (size_t i = n - 1; i-- > 0;)
    run_last_[i] = tick_[i] == tick_[i + 1] ? run_last_[i + 1] : static_cast<uint32_t>(i);
  // The walk from tick 0 through every record, keeping the running sum before each record.
  origin_ = start_record(0);
  double seconds = 0.0;
  int64_t cur = 0;
  for (size_t k = origin_; k < n; ++k) {
    seconds_before_.push_back(seconds);
    const int64_t next = k + 1 < n ? tick_[k + 1] : INT32_MAX;
    const int64_t seg = next - cur;
    if (seg > 0) seconds += static_cast<double>(seg) * seconds_per_tick(k);
    cur = next;
    if (k + 1 < n)
      max_later_tick_.push_back(max_later_tick_.empty() ? tick_[k + 1]
                                                        : std::max(max_later_tick_.back(), tick_[k + 1]));
  }
}

size_t TempoMap::start_record(int32_t from, Hint* hint) const {
  const size_t u = partition_from(max_tick_, hint ? hint->start : 0, [from](int32_t t) { return t < from; });
  if (hint) hint->start = u;
  return u > 0 ? u - 1 : 0;
}

int32_t TempoMap::ms_at(int32_t tick, Hint* hint) const {
  if (tick_.empty()) return elapsed(0, tick);
  // The walk stops at the record before the first later record past `tick`, or at the last one;
  // every record before that contributes its full span.
  // (No later records, as in most files with one tempo: the walk stops at the origin.)
  size_t after = 0;
  if (!max_later_tick_.empty()) {
    after = partition_from(max_later_tick_, hint ? hint->stop : 0, [tick](int32_t t) { return t <= tick; });
    if (hint) hint->stop = after;
  }
  const size_t stop = origin_ + after;
  const int64_t cur = stop == origin_ ? 0 : tick_[stop];
  double seconds = seconds_before_[stop - origin_];
  const int64_t seg = int64_t{tick} - cur;
  if (seg > 0) seconds += static_cast<double>(seg) * seconds_per_tick(stop);
  return round_to_i32(seconds * 1000.0);
}

int32_t TempoMap::elapsed(int32_t from, int32_t to, Hint* hint) const {
  const size_t n = tick_.size();
  double seconds = 0.0;
  if (n == 0) {
    if (to > from) seconds = static_cast<double>(int64_t{to} - from) * (0.5 / tpb_);
    return round_to_i32(seconds * 1000.0);
  }
  if (from == 0) return ms_at(to);  // not with the hint: ends come in no particular order
  int64_t cur = from;
  for (size_t k = start_record(from, hint); k < n; ++k) {
    const int64_t next = k + 1 < n ? tick_[k + 1] : INT32_MAX;
    const int64_t seg = std::min<int64_t>(to, next) - cur;
    if (seg > 0) seconds += static_cast<double>(seg) * seconds_per_tick(k);
    if (to < next) break;
    cur = next;
    // Records k + 1 .. run_last_[k + 1] - 1 each span nothing (their successor shares their tick)
    // and cannot stop the walk (to >= next = their tick): skip to the run's last record.
    if (k + 1 < n) k = run_last_[k + 1] - 1;
  }
  return round_to_i32(seconds * 1000.0);
}

}  // namespace noteloom
