// Message records of the MIDI data model. All times are absolute ticks; every integer is
// stored unchanged, whatever its range. The type tag is free text (Python may set any), held as a
// SharedText so that the records stay small and cheap to copy, move and sort.
#pragma once

#include <cstdint>
#include <string>

#include "shared_text.hpp"

namespace noteloom {

struct NoteMessage {
  SharedText msg_type = SharedText::Fixed::Note;
  int32_t pitch = 0;
  int32_t start = 0;
  int32_t end = 0;
  int32_t velocity = 0;
  int32_t tick = 0;
  int32_t channel = 0;
  bool operator==(const NoteMessage&) const = default;
};

struct TempoMessage {
  SharedText msg_type = SharedText::Fixed::Tempo;
  int32_t data = 0;  // microseconds per quarter note
  int32_t tick = 0;
  bool operator==(const TempoMessage&) const = default;
};

struct InstrumentMessage {
  SharedText msg_type = SharedText::Fixed::Instrument;
  int32_t data = 0;  // program number
  int32_t tick = 0;
  int32_t channel = 0;
  bool operator==(const InstrumentMessage&) const = default;
};

struct PedalMessage {
  SharedText msg_type = SharedText::Fixed::Pedal;
  int32_t data = 0;  // 1 = sustain down, 0 = up
  int32_t tick = 0;
  int32_t channel = 0;
  bool operator==(const PedalMessage&) const = default;
};

// Text and copyright events.
struct MetaMessage {
  SharedText msg_type = SharedText::Fixed::Text;
  std::string data;
  int32_t tick = 0;
  bool operator==(const MetaMessage&) const = default;
};

}  // namespace noteloom
