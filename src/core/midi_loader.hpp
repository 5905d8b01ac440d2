// Standard MIDI File -> MidiDictRecord.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "midi_dict.hpp"
#include "result.hpp"

namespace noteloom {

enum class LoadedPath : uint8_t { InMetadata, Omitted };

// Reads and converts the file at `path`. With LoadedPath::InMetadata, metadata gets
// "abs_load_path" (the canonical path, or the path as given when it cannot be canonicalised, as
// lossy UTF-8); otherwise metadata stays empty and no time goes into finding that path.
Result<MidiDictRecord> load_midi_file(const std::string& path, LoadedPath record_path = LoadedPath::InMetadata);

// Converts a file image already in memory; metadata stays empty.
Result<MidiDictRecord> load_midi_bytes(std::span<const uint8_t> bytes);

}  // namespace noteloom
