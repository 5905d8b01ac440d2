// Standard MIDI File -> MidiDictRecord. The loader's rules, all of them:
//
// Bytes: read whole (file_io.hpp: regular files up to 256 MiB, pipes with a bound, the header
//   checked before the rest is read); the chunk and event grammar and its leniency are
//   smf_reader.hpp's. A file the reader refuses is an error; nothing else is.
// Time: every track counts ticks from 0; a tick is the sum of the deltas before it, modulo 2^32,
//   read as signed 32-bit. ticks_per_beat is the header's division, or 480 for SMPTE timing.
// Notes: a note-on of velocity > 0 opens a note on (channel, key). A note-off, or a note-on of
//   velocity 0, ends every open note of that (channel, key) that began at an earlier tick, oldest
//   first; notes that began at the note-off's own tick stay open. One table spans all tracks, so a
//   note begun in one track can end in a later one. Notes still open at the end of the file are
//   dropped. A note keeps its note-on's velocity; its tick is its start.
// Other channel events: controller 64 (sustain) gives a pedal message, data 1 for values >= 64,
//   else 0; a program change gives an instrument message. Other controllers, key and channel
//   pressure and pitch bend are dropped.
// Meta events: set-tempo with a 3-byte payload gives a tempo message (other lengths are dropped);
//   text (0x01) and copyright (0x02) events whose text is valid UTF-8 give meta messages. All
//   other meta and system-exclusive events are dropped.
// Defaults: no tempo message gives one of 500000 at tick 0; no instrument message gives program 0
//   at tick 0 on channel 0.
// Order: notes sorted by start, stably (notes that start together keep the order they ended in);
//   tempo, pedal and instrument messages sorted by tick, stably (file order: track by track);
//   meta messages in file order.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "../base/result.hpp"
#include "../model/midi_dict.hpp"

namespace noteloom {

enum class LoadedPath : uint8_t { InMetadata, Omitted };

// Reads and converts the file at `path`. With LoadedPath::InMetadata, metadata gets
// "abs_load_path" (the canonical path, or the path as given when it cannot be canonicalised, as
// lossy UTF-8); otherwise metadata stays empty and no time goes into finding that path.
Result<MidiDictRecord> load_midi_file(const std::string& path, LoadedPath record_path = LoadedPath::InMetadata);

// Converts a file image already in memory; metadata stays empty.
Result<MidiDictRecord> load_midi_bytes(std::span<const uint8_t> bytes);

}  // namespace noteloom
