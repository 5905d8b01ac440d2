// Standard MIDI File writer: header and tracks of (delta, event) to bytes. Channel events use
// running status; meta and sysex events cancel it.
#pragma once

#include <cstdint>
#include <vector>

#include "../base/result.hpp"
#include "smf_event.hpp"

namespace noteloom::smf {

// `division` is written as given (bit 15 clear: ticks per quarter note). Each track must end with
// its own end-of-track event; nothing is appended here. Deltas are written as their low 28 bits.
Result<std::vector<uint8_t>> encode_file(uint16_t format, uint16_t division,
                                         const std::vector<std::vector<TrackEvent>>& tracks);

}  // namespace noteloom::smf
