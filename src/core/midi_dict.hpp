// MidiDictRecord: one piece of music as the engine sees it, and the container's own operations.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "messages.hpp"
#include "siphash.hpp"

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
// platforms, so it can serve as a content key for de-duplicating corpora. The bytes hashed: for
// each list, its length (u64 LE), then per record its type tag, a 0xFF byte and its integer
// fields (i32 LE: notes pitch, start, end, velocity, tick, channel; tempos data, tick; pedals
// and instruments data, tick, channel).
uint64_t calculate_hash(const MidiDictRecord& record);

// calculate_hash fed one note at a time, for a caller that walks the notes anyway: the hash's
// dependency chain then runs alongside that caller's work instead of after it.
class PieceHasher {
 public:
  explicit PieceHasher(size_t note_count) { h_.write_u64_le(note_count); }
  void note(const NoteMessage& m) {  // each of the record's notes, in order
    if (m.msg_type.is_fixed(SharedText::Fixed::Note)) {
      h_.write_word(kNoteTag, 5);
    } else {
      h_.write(m.msg_type.view());
      h_.write_u8(0xFF);
    }
    h_.write_u64_le(pair(m.pitch, m.start));
    h_.write_u64_le(pair(m.end, m.velocity));
    h_.write_u64_le(pair(m.tick, m.channel));
  }
  // The lists after the notes; `record` is the one whose notes were fed.
  uint64_t finish(const MidiDictRecord& record);

 private:
  static constexpr uint64_t kNoteTag = 0xFF'65'74'6F'6EULL;  // "note", 0xFF
  static uint64_t pair(int32_t a, int32_t b) { return static_cast<uint32_t>(a) | uint64_t{static_cast<uint32_t>(b)} << 32; }
  SipHasher13 h_;
};

}  // namespace noteloom
