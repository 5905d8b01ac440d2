// Normalization of a piece for a fixed set of instrument families: kept families get fixed
// channels, times become milliseconds quantized to a grid, durations are capped, drums get a fixed
// length and velocity, and other velocities go through a caller-supplied mapping.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "midi_dict.hpp"
#include "tempo_map.hpp"

namespace noteloom {

struct NormalizeOptions {
  // Family name -> ignored? Families not listed are dropped too. Order is irrelevant.
  std::vector<std::pair<std::string, bool>> ignore_instruments;
  std::unordered_map<std::string, int32_t> instrument_programs;
  int32_t time_step_ms = 10;
  int32_t max_duration_ms = 5000;
  int32_t drum_velocity = 127;
};

// Called once per kept note, in input order, with the note's velocity; nothing means "keep it".
template <typename F>
concept VelocityMap = requires(F f, int32_t v) {
  { f(v) } -> std::same_as<std::optional<int32_t>>;
};

// The channel each kept family gets: the kept families sorted by name (bytes) with "drum" added,
// the n-th of them on channel n (n + 1 from the tenth on, passing the drum channel), the drums on
// the drum channel; ascending by channel.
std::vector<std::pair<std::string, int32_t>> family_channels(
    const std::vector<std::pair<std::string, bool>>& ignore_instruments);

namespace detail {

struct NormalizePlan {
  std::vector<std::pair<std::string, int32_t>> name_channel;  // ascending by channel
  std::unordered_map<int32_t, std::string> channel_family;
};

NormalizePlan plan_normalization(const MidiDictRecord& piece, const NormalizeOptions& options);

// The output channel of each input channel (-1: its notes are dropped), resolved once per piece:
// a channel's family, then the channel of the last kept family of that name.
class ChannelTargets {
 public:
  explicit ChannelTargets(const NormalizePlan& plan);
  int32_t of(int32_t channel) const {
    if (static_cast<uint32_t>(channel) < midi_.size()) return midi_[static_cast<size_t>(channel)];
    auto it = other_.find(channel);
    return it == other_.end() ? -1 : it->second;
  }

 private:
  std::array<int32_t, 16> midi_;
  std::unordered_map<int32_t, int32_t> other_;
};
// The output piece without notes: 500 ticks per beat, one tempo, one program change per channel.
MidiDictRecord normalized_frame(const NormalizePlan& plan, const NormalizeOptions& options);
// A piece's note times in milliseconds snapped to the time step, remembered per tick: the notes of
// a piece start and end on few distinct ticks (chords, a grid), so most lookups are a table hit.
// Starts and ends keep separate search hints, since each arrives in nearly sorted order.
class NoteTimes {
 public:
  NoteTimes(const TempoMap& tempo, int32_t step);
  int32_t start(int32_t tick) { return lookup(tick, starts_); }
  int32_t end(int32_t tick) { return lookup(tick, ends_); }

 private:
  struct Entry {
    int32_t tick, ms;
  };
  int32_t lookup(int32_t tick, TempoMap::Hint& hint) {
    Entry& e = memo_[(static_cast<uint32_t>(tick) * 0x9E3779B1u) >> (32 - kMemoBits)];
    if (e.tick != tick) e = {tick, quantized(tick, hint)};
    return e.ms;
  }
  int32_t quantized(int32_t tick, TempoMap::Hint& hint) const;

  static constexpr int kMemoBits = 9;
  const TempoMap& tempo_;
  int32_t step_;
  TempoMap::Hint starts_, ends_;
  // Every entry holds a true (tick, ms) pair from the start, so no entry needs a "filled" flag.
  std::array<Entry, size_t{1} << kMemoBits> memo_;
};

// The note with new channel, quantized times and `velocity` (before the drum/duration rules).
NoteMessage normalized_note(NoteTimes& times, const NoteMessage& note, int32_t channel, int32_t velocity,
                            const NormalizeOptions& options);

}  // namespace detail

template <VelocityMap F>
MidiDictRecord normalize_midi_dict(const MidiDictRecord& piece, const NormalizeOptions& options, F&& map_velocity) {
  const detail::NormalizePlan plan = detail::plan_normalization(piece, options);
  MidiDictRecord out = detail::normalized_frame(plan, options);
  const TempoMap tempo(piece.tempo_msgs, piece.ticks_per_beat);
  detail::NoteTimes times(tempo, options.time_step_ms);
  out.note_msgs.reserve(piece.note_msgs.size());
  const detail::ChannelTargets targets(plan);
  for (const NoteMessage& note : piece.note_msgs) {
    const int32_t channel = targets.of(note.channel);
    if (channel < 0) continue;
    const int32_t velocity = map_velocity(note.velocity).value_or(note.velocity);
    out.note_msgs.push_back(detail::normalized_note(times, note, channel, velocity, options));
  }
  return out;
}

}  // namespace noteloom
