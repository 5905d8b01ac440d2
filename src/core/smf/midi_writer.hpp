// MidiDictRecord -> Standard MIDI File (format 1, metrical timing).
//
// Layout: track 0 is the conductor track (tempo, then text and copyright events); every program
// change, in program order, opens a track of its own that receives that program change and the
// pedal and note events of its channel. Notes and pedals on channels without a program change are
// not written. Out-of-range values are reduced to their low bits; negative delta times become 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../base/result.hpp"
#include "../model/midi_dict.hpp"

namespace noteloom {

Result<std::vector<uint8_t>> encode_midi_dict(const MidiDictRecord& record);

// Encodes, then creates or truncates `path` and writes the bytes with one call. Nothing is written
// when encoding fails.
Status write_midi_file(const MidiDictRecord& record, const std::string& path);

}  // namespace noteloom
