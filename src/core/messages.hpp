// Message records of the MIDI data model. All times are absolute ticks; every integer is
// stored unchanged, whatever its range.
#pragma once

#include <cstdint>
#include <string>

namespace noteloom {

struct NoteMessage {
  std::string msg_type = "note";
  int32_t pitch = 0;
  int32_t start = 0;
  int32_t end = 0;
  int32_t velocity = 0;
  int32_t tick = 0;
  int32_t channel = 0;
  bool operator==(const NoteMessage&) const = default;
};

struct TempoMessage {
  std::string msg_type = "tempo";
  int32_t data = 0;  // microseconds per quarter note
  int32_t tick = 0;
  bool operator==(const TempoMessage&) const = default;
};

struct InstrumentMessage {
  std::string msg_type = "instrument";
  int32_t data = 0;  // program number
  int32_t tick = 0;
  int32_t channel = 0;
  bool operator==(const InstrumentMessage&) const = default;
};

struct PedalMessage {
  std::string msg_type = "pedal";
  int32_t data = 0;  // 1 = sustain down, 0 = up
  int32_t tick = 0;
  int32_t channel = 0;
  bool operator==(const PedalMessage&) const = default;
};

// Text and copyright events. The tick lives only in the internal container: the Python-facing
// container keeps it at 0, so comparing meta records compares type and text alone.
struct MetaMessage {
  std::string msg_type = "text";
  std::string data;
  int32_t tick = 0;
  bool operator==(const MetaMessage& o) const { return msg_type == o.msg_type && data == o.data; }
};

}  // namespace noteloom
