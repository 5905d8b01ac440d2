// Zero-copy Standard MIDI File reader: walks the file buffer without copying events.
//
// Leniency rules:
// - The header must be readable: a file that does not start with an "MThd" chunk (optionally
//   wrapped in a RIFF "RMID" container), a header chunk shorter than 6 bytes or an unknown
//   format fails the whole read with an "invalid midi: ..." error.
// - A metrical division of 0 is accepted (our own writer produces it for ticks_per_beat 0).
// - Chunks other than "MTrk" are skipped. A track chunk whose declared length runs past the end
//   of the file is read up to the end of the file; a truncated chunk header ends the chunk list.
//   The number of tracks found may differ from the number the header declares.
// - Inside a track, the first event that cannot be read (a data byte with no running status, a
//   truncated event, a delta or length longer than 4 bytes, a status byte where a data byte must
//   be, a system common or real-time status) ends that track; the events before it stay.
// - Running status is set by channel events only; meta and sysex events leave it as it was, so
//   files that rely on running status across meta events still read.
// - Events after an end-of-track meta event inside the same chunk are still read.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "../base/result.hpp"
#include "byte_cursor.hpp"
#include "smf_event.hpp"

namespace noteloom::smf {

struct Timing {
  bool metrical = true;
  uint16_t ticks_per_beat = 0;  // metrical: 15 bits
  uint8_t fps = 0;              // timecode: frames per second (24, 25, 29 or 30)
  uint8_t subframes = 0;        // timecode: ticks per frame
};

struct Header {
  uint16_t format = 1;
  uint16_t declared_tracks = 0;
  Timing timing;
};

struct File {
  Header header;
  std::vector<std::span<const uint8_t>> tracks;  // the bytes of each track chunk, in file order
};

Result<File> parse_file(std::span<const uint8_t> bytes);

// What the first bytes of a file say: an error (the one parse_file gives) when they already show it
// is no MIDI file, else ok. For readers that look before reading a whole file.
Status check_signature(std::span<const uint8_t> first);

// Iterates the events of one track chunk.
class TrackReader {
 public:
  explicit TrackReader(std::span<const uint8_t> chunk) : in_(chunk) {}

  // Reads the next event. False at the end of the chunk or at the first unreadable event.
  bool next(TrackEvent& out);
  // True when the walk stopped at damage rather than at the end of the chunk.
  bool damaged() const { return damaged_; }

 private:
  bool fail() {
    damaged_ = true;
    in_.skip_to_end();
    return false;
  }
  bool channel_event(uint8_t status, Event& e);
  bool other_event(uint8_t status, Event& e);

  ByteCursor in_;
  uint8_t running_status_ = 0;  // 0 = none
  bool damaged_ = false;
};

// Inline: the loader calls it once per event.
inline bool TrackReader::next(TrackEvent& out) {
  if (in_.empty()) return false;
  uint8_t status;
  if (!in_.varlen(out.delta) || !in_.peek(status)) return fail();
  if (!is_status_byte(status)) {
    if (running_status_ == 0) return fail();
    status = running_status_;  // the byte just seen is the first data byte
  } else {
    in_.skip(1);
  }
  out.event.payload = {};
  return status < 0xF0 ? channel_event(status, out.event) : other_event(status, out.event);
}

inline bool TrackReader::channel_event(uint8_t status, Event& e) {
  uint8_t d1 = 0, d2 = 0;
  if (!in_.u8(d1) || (channel_data_length(status >> 4) == 2 && !in_.u8(d2))) return fail();
  if (is_status_byte(d1) || is_status_byte(d2)) return fail();
  running_status_ = status;
  e.kind = EventKind::Channel;
  e.status = status;
  e.meta_type = 0;
  e.data1 = d1;
  e.data2 = d2;
  return true;
}

// Meta, sysex and escape events: a length and that many bytes.
inline bool TrackReader::other_event(uint8_t status, Event& e) {
  e.meta_type = 0;
  if (status == 0xFF) {
    if (!in_.u8(e.meta_type)) return fail();
    e.kind = EventKind::Meta;
  } else if (status == 0xF0) {
    e.kind = EventKind::SysEx;
  } else if (status == 0xF7) {
    e.kind = EventKind::Escape;
  } else {
    return fail();  // system common / real-time messages do not belong in a file
  }
  uint32_t len = 0;
  if (!in_.varlen(len) || !in_.take(len, e.payload)) return fail();
  e.status = 0;
  e.data1 = e.data2 = 0;
  return true;
}

// Reads every event of a track (helper for tests and tools; the loader streams with TrackReader).
std::vector<TrackEvent> read_track(std::span<const uint8_t> chunk);

}  // namespace noteloom::smf
