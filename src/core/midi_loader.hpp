// Standard MIDI File -> MidiDictRecord.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "midi_dict.hpp"
#include "result.hpp"

namespace noteloom {

// Reads and converts the file at `path`; metadata gets "abs_load_path" (the canonical path, or the
// path as given when it cannot be canonicalised, as lossy UTF-8).
Result<MidiDictRecord> load_midi_file(const std::string& path);

// Converts a file image already in memory; metadata stays empty.
Result<MidiDictRecord> load_midi_bytes(std::span<const uint8_t> bytes);

}  // namespace noteloom
