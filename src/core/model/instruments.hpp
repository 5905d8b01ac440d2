// General MIDI instrument families and removal of the channels that play ignored families.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "midi_dict.hpp"

namespace noteloom {

inline constexpr int32_t kDrumChannel = 9;

// Family of a program number, or nothing for programs outside 0..127.
std::optional<std::string_view> program_family(int32_t program);

using IgnoreMap = std::unordered_map<std::string, bool>;

// Every channel (except the drum channel) that has a program change selecting a family mapped to
// `true`.
std::unordered_set<int32_t> ignored_channels(const MidiDictRecord& record, const IgnoreMap& ignore);

// Removes the notes, pedals and program changes of the ignored channels. Tempo and meta messages
// stay.
void remove_instruments(MidiDictRecord& record, const IgnoreMap& ignore);

}  // namespace noteloom
