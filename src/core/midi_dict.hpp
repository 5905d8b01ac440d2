// MidiDictRecord: one piece of music as the engine sees it, and the container's own operations.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "messages.hpp"

namespace noteloom {

using Metadata = std::unordered_map<std::string, std::string>;

struct MidiDictRecord {
  std::vector<NoteMessage> note_msgs;
  std::vector<TempoMessage> tempo_msgs;
  std::vector<InstrumentMessage> instrument_msgs;
  std::vector<PedalMessage> pedal_msgs;
  std::vector<MetaMessage> meta_msgs;
  Metadata metadata;
  int32_t ticks_per_beat = 480;

  // Vectors compare element-wise in order; the metadata map compares as a set of entries.
  bool operator==(const MidiDictRecord&) const = default;

  // Drops the meta ticks, as the Python-facing container has none.
  void clear_meta_ticks() {
    for (auto& m : meta_msgs) m.tick = 0;
  }
};

// Milliseconds between ticks `from` and `to` under `tempos` (in vector order) at `ticks_per_beat`:
// rounded half away from zero, saturated to int32, NaN as 0. Without tempo records the default
// tempo of 500000 us per beat applies.
int32_t elapsed_ms(const std::vector<TempoMessage>& tempos, int32_t ticks_per_beat, int32_t from, int32_t to);

// Milliseconds from tick 0 to `tick`: elapsed_ms(tempos, tpb, 0, tick).
int32_t tick_to_ms(const MidiDictRecord& record, int32_t tick);

// SipHash-1-3 (zero key) over the notes, tempos, pedals and instruments. Stable across runs and
// platforms, so it can serve as a content key for de-duplicating corpora.
uint64_t calculate_hash(const MidiDictRecord& record);

}  // namespace noteloom
