// MidiDictRecord: one piece of music as the engine sees it, and the container's own operations.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "../base/siphash.hpp"
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

// calculate_hash fed one note at a time, for a caller that walks the notes anyway. Records are
// gathered into a small buffer and hashed a few words at a time, with the hash state in registers.
class PieceHasher {
 public:
  explicit PieceHasher(size_t note_count) { put_u64(note_count); }
  void note(const NoteMessage& m) {  // each of the record's notes, in order
    if (m.msg_type.is_fixed(SharedText::Fixed::Note)) {
      // "note", 0xFF and six int32: 29 bytes, stored as four overlapping words.
      unsigned char* p = buf_ + used_;
      store_le64(p, kNoteTag);
      store_le64(p + 5, pair(m.pitch, m.start));
      store_le64(p + 13, pair(m.end, m.velocity));
      store_le64(p + 21, pair(m.tick, m.channel));
      used_ += 29;
    } else {
      put_tag(m.msg_type);
      for (int32_t v : {m.pitch, m.start, m.end, m.velocity, m.tick, m.channel}) put_i32(v);
    }
    if (used_ > kFlushAt) flush();
  }
  // The lists after the notes; `record` is the one whose notes were fed.
  uint64_t finish(const MidiDictRecord& record);

 private:
  static constexpr uint64_t kNoteTag = 0xFF'65'74'6F'6EULL;  // "note", 0xFF
  static constexpr size_t kFlushAt = 192;                    // a record (at most 29 bytes here) still fits
  static uint64_t pair(int32_t a, int32_t b) {
    return static_cast<uint32_t>(a) | uint64_t{static_cast<uint32_t>(b)} << 32;
  }
  static void store_le64(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));  // one store once compiled
  }
  void put_tag(const SharedText& tag);
  void put_i32(int32_t v) {
    store_le64(buf_ + used_, static_cast<uint32_t>(v));
    used_ += 4;
  }
  void put_u64(uint64_t v) {
    store_le64(buf_ + used_, v);
    used_ += 8;
  }
  // Hashes the whole words gathered and keeps the rest (under 8 bytes) at the front.
  void flush();

  SipHasher13 h_;
  size_t used_ = 0;
  unsigned char buf_[264];  // kFlushAt, a record and the bytes a word store or copy runs past it
};

}  // namespace noteloom
