// Events of a Standard MIDI File track. Payloads (meta data, sysex bytes) are views into a buffer
// owned elsewhere: the file buffer when reading, the caller's strings when writing.
#pragma once

#include <cstdint>
#include <span>

namespace noteloom::smf {

enum class EventKind : uint8_t {
  Channel,  // note off/on, key pressure, controller, program, channel pressure, pitch bend
  SysEx,    // F0 <len> <bytes>
  Escape,   // F7 <len> <bytes>
  Meta,     // FF <type> <len> <bytes>
};

// Upper nibble of a channel event's status byte.
enum ChannelMessage : uint8_t {
  kNoteOff = 0x8,
  kNoteOn = 0x9,
  kKeyPressure = 0xA,
  kController = 0xB,
  kProgramChange = 0xC,
  kChannelPressure = 0xD,
  kPitchBend = 0xE,
};

enum MetaType : uint8_t {
  kMetaText = 0x01,
  kMetaCopyright = 0x02,
  kMetaEndOfTrack = 0x2F,
  kMetaTempo = 0x51,
};

// A status byte (0x80..0xFF) begins an event; a data byte (0x00..0x7F) never does.
inline bool is_status_byte(uint8_t b) { return b >= 0x80; }

struct Event {
  EventKind kind = EventKind::Channel;
  uint8_t status = 0;                // channel events: the status byte, message << 4 | channel
  uint8_t meta_type = 0;             // meta events: the type (kMetaTempo, ...)
  uint8_t data1 = 0;                 // channel events: key, controller or program
  uint8_t data2 = 0;                 // channel events: velocity or controller value (unused by one-byte messages)
  std::span<const uint8_t> payload;  // meta and sysex events

  uint8_t message() const { return status >> 4; }
  uint8_t channel() const { return status & 0x0F; }

  static Event channel_event(uint8_t message, uint8_t channel, uint8_t d1, uint8_t d2 = 0) {
    return {EventKind::Channel, static_cast<uint8_t>((message << 4) | (channel & 0x0F)), 0, d1, d2, {}};
  }
  static Event meta(uint8_t type, std::span<const uint8_t> data) { return {EventKind::Meta, 0, type, 0, 0, data}; }
};

struct TrackEvent {
  uint32_t delta = 0;  // ticks since the previous event of the track (28 bits in a file)
  Event event;
};

// Number of data bytes that follow the status byte of a channel message.
inline int channel_data_length(uint8_t message) {
  return (message == kProgramChange || message == kChannelPressure) ? 1 : 2;
}

}  // namespace noteloom::smf
