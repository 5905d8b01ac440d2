#include "normalize.hpp"

#include <algorithm>

#include "../base/rounding.hpp"
#include "instruments.hpp"

namespace noteloom {

std::vector<std::pair<std::string, int32_t>> family_channels(
    const std::vector<std::pair<std::string, bool>>& ignore_instruments) {
  std::vector<std::string> kept;
  for (const auto& [name, ignored] : ignore_instruments) {
    if (!ignored) kept.push_back(name);
  }
  std::sort(kept.begin(), kept.end());  // byte-wise: std::string compares as unsigned char
  kept.push_back("drum");
  std::vector<std::pair<std::string, int32_t>> channels;
  for (size_t i = 0; i < kept.size(); ++i) {
    int32_t channel;
    if (kept[i] == "drum") {
      channel = kDrumChannel;
    } else {
      channel = i < 9 ? static_cast<int32_t>(i) : static_cast<int32_t>(i) + 1;
    }
    auto same = std::find_if(channels.begin(), channels.end(), [&](const auto& e) { return e.first == kept[i]; });
    if (same == channels.end()) channels.emplace_back(kept[i], channel);
  }
  std::stable_sort(channels.begin(), channels.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  return channels;
}

}  // namespace noteloom

namespace noteloom::detail {

NoteTimes::NoteTimes(const TempoMap& tempo, int32_t step) : tempo_(tempo), step_(step) {
  memo_.fill({0, quantized(0, starts_)});
}

// Milliseconds of `tick`, snapped to the grid: round(ms / step) * step, the quotient taken in double
// precision, rounded halves away from zero, saturating, NaN as 0.
int32_t NoteTimes::quantized(int32_t tick, TempoMap::Hint& hint) const {
  const int32_t ms = tempo_.ms_at(tick, &hint);
  return wrap_mul(round_to_i32(static_cast<double>(ms) / static_cast<double>(step_)), step_);
}

NormalizePlan plan_normalization(const MidiDictRecord& piece, const NormalizeOptions& options) {
  NormalizePlan plan;
  plan.name_channel = family_channels(options.ignore_instruments);

  // Channel -> family: the last program change with a family wins, and the drum channel is the
  // drums. Unlike tokenize, a channel without a program change gets no family (and its notes are
  // dropped): normalization moves every kept note to its family's channel, and a note of unknown
  // instrument has no channel to go to; tokenize, which keeps channels as they are, reads such a
  // channel as a General MIDI synthesizer would, as the piano.
  for (const auto& m : piece.instrument_msgs) {
    if (auto family = program_family(m.data)) plan.channel_family[m.channel] = std::string(*family);
  }
  plan.channel_family[kDrumChannel] = "drum";
  return plan;
}

ChannelTargets::ChannelTargets(const NormalizePlan& plan) {
  midi_.fill(-1);
  for (const auto& [channel, family] : plan.channel_family) {
    int32_t target = -1;
    for (const auto& [name, out] : plan.name_channel) {
      if (name == family) target = out;
    }
    if (static_cast<uint32_t>(channel) < midi_.size()) {
      midi_[static_cast<size_t>(channel)] = target;
    } else if (target >= 0) {
      other_.emplace(channel, target);
    }
  }
}

MidiDictRecord normalized_frame(const NormalizePlan& plan, const NormalizeOptions& options) {
  MidiDictRecord out;
  out.ticks_per_beat = 500;
  out.tempo_msgs.push_back({SharedText::Fixed::Tempo, 500000, 0});
  for (const auto& [name, channel] : plan.name_channel) {
    int32_t program = 0;
    if (name != "drum") {
      auto it = options.instrument_programs.find(name);
      if (it != options.instrument_programs.end()) program = it->second;
    }
    out.instrument_msgs.push_back({SharedText::Fixed::Instrument, program, 0, channel});
  }
  return out;
}

NoteMessage normalized_note(NoteTimes& times, const NoteMessage& note, int32_t channel, int32_t velocity,
                            const NormalizeOptions& options) {
  const int32_t step = options.time_step_ms;
  const int32_t start = times.start(note.start);
  int32_t end;
  if (channel == kDrumChannel) {  // a drum's own end does not count
    velocity = options.drum_velocity;
    end = wrap_add(start, step);
  } else {
    end = std::min(times.end(note.end), wrap_add(start, options.max_duration_ms));
  }
  return {note.msg_type, note.pitch, start, end, velocity, start, channel};
}

}  // namespace noteloom::detail
