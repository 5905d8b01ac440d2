// Sustain-pedal intervals per channel, derived from a container's pedal messages.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "midi_dict.hpp"

namespace noteloom {

using PedalInterval = std::pair<int32_t, int32_t>;  // (down tick, up tick)
using PedalIntervalMap = std::unordered_map<int32_t, std::vector<PedalInterval>>;

// Every channel that has a note gets an entry (possibly empty). Intervals appear in the order they
// close; pedals still down at the end are closed at the `end` of the last note in vector order,
// or dropped when there are no notes.
PedalIntervalMap pedal_intervals(const MidiDictRecord& record);

// The intervals of the given pedal messages alone (no entries for channels without pedals);
// pedals still down at the end close at `last_end`, or are dropped without it.
PedalIntervalMap pedal_intervals(std::span<const PedalMessage* const> pedals, std::optional<int32_t> last_end);

}  // namespace noteloom
