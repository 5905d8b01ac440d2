// TempoMap: tick-to-millisecond queries against one tempo list, answered without walking the
// list from its start each time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "messages.hpp"

namespace noteloom {

// Built once from a tempo list (taken in vector order, as elapsed_ms takes it) and a
// ticks_per_beat. Every answer equals elapsed_ms on the same list, bit for bit, for every input:
// unsorted or repeated ticks, negative ticks, any tempo data, any ticks_per_beat, empty lists.
//   ms_at(tick)       == elapsed_ms(tempos, tpb, 0, tick)   in O(log n);
//   elapsed(from, to) == elapsed_ms(tempos, tpb, from, to)  in O(log n + records walked between),
//                        where records sharing a tick with their neighbour count once.
// Construction is O(n) time and memory.
class TempoMap {
 public:
  // Where the searches of a previous query ended. Queries that pass the same hint search outward
  // from there, so that a sweep in tick order costs O(1) per query instead of O(log n), and keeps
  // to the part of the tables it is in.
  struct Hint {
    size_t start = 0;
    size_t stop = 0;
  };

  TempoMap(const std::vector<TempoMessage>& tempos, int32_t ticks_per_beat);

  int32_t ms_at(int32_t tick, Hint* hint = nullptr) const;
  int32_t elapsed(int32_t from, int32_t to, Hint* hint = nullptr) const;

 private:
  // The record elapsed_ms starts from for `from`: the one before the first record (in vector
  // order) at or after `from`, or the first record.
  size_t start_record(int32_t from, Hint* hint = nullptr) const;
  double seconds_per_tick(size_t k) const { return seconds_per_tick_[k]; }

  std::vector<int32_t> tick_;
  std::vector<double> seconds_per_tick_;  // (data * 1e-6) / ticks_per_beat of each record
  double tpb_;
  std::vector<int32_t> max_tick_;  // max_tick_[i]: largest tick among records 0..i
  // run_last_[i]: the last record of the run of consecutive records at record i's tick. Inside a
  // run the walk adds nothing, so it jumps to the run's last record.
  std::vector<uint32_t> run_last_;
  // For queries from tick 0, which start at record origin_: seconds accumulated before each
  // record origin_ + i, and the largest tick among records origin_ + 1 .. origin_ + 1 + i.
  size_t origin_ = 0;
  std::vector<double> seconds_before_;
  std::vector<int32_t> max_later_tick_;
};

}  // namespace noteloom
