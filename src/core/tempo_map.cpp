#include "tempo_map.hpp"

#include <algorithm>

#include "rounding.hpp"

namespace noteloom {

// The floating-point expressions below are written exactly as in elapsed_ms, and the sums are
// accumulated in the same order, so that every result comes out the same to the last bit.

TempoMap::TempoMap(const std::vector<TempoMessage>& tempos, int32_t ticks_per_beat)
    : tpb_(static_cast<double>(ticks_per_beat)) {
  const size_t n = tempos.size();
  tick_.reserve(n);
  data_.reserve(n);
  max_tick_.reserve(n);
  for (const auto& t : tempos) {
    tick_.push_back(t.tick);
    data_.push_back(t.data);
    max_tick_.push_back(max_tick_.empty() ? t.tick : std::max(max_tick_.back(), t.tick));
  }
  if (n == 0) return;
  run_last_.resize(n);
  run_last_[n - 1] = static_cast<uint32_t>(n - 1);
  for (size_t i = n - 1; i-- > 0;) run_last_[i] = tick_[i] == tick_[i + 1] ? run_last_[i + 1] : static_cast<uint32_t>(i);
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
    if (k + 1 < n) max_later_tick_.push_back(max_later_tick_.empty() ? tick_[k + 1] : std::max(max_later_tick_.back(), tick_[k + 1]));
  }
}

size_t TempoMap::start_record(int32_t from) const {
  const size_t u = static_cast<size_t>(std::lower_bound(max_tick_.begin(), max_tick_.end(), from) - max_tick_.begin());
  return u > 0 ? u - 1 : 0;
}

int32_t TempoMap::ms_at(int32_t tick) const {
  if (tick_.empty()) return elapsed(0, tick);
  // The walk stops at the record before the first later record past `tick`, or at the last one;
  // every record before that contributes its full span.
  const size_t stop = origin_ + static_cast<size_t>(std::upper_bound(max_later_tick_.begin(), max_later_tick_.end(), tick) - max_later_tick_.begin());
  const int64_t cur = stop == origin_ ? 0 : tick_[stop];
  double seconds = seconds_before_[stop - origin_];
  const int64_t seg = int64_t{tick} - cur;
  if (seg > 0) seconds += static_cast<double>(seg) * seconds_per_tick(stop);
  return round_to_i32(seconds * 1000.0);
}

int32_t TempoMap::elapsed(int32_t from, int32_t to) const {
  const size_t n = tick_.size();
  double seconds = 0.0;
  if (n == 0) {
    if (to > from) seconds = static_cast<double>(int64_t{to} - from) * (0.5 / tpb_);
    return round_to_i32(seconds * 1000.0);
  }
  if (from == 0) return ms_at(to);
  int64_t cur = from;
  for (size_t k = start_record(from); k < n; ++k) {
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
