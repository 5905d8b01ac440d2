#include "config.hpp"

#include <algorithm>
#include <set>

#include "../model/instruments.hpp"
#include "../model/normalize.hpp"

namespace noteloom {
namespace {

bool is_family(std::string_view name) {
  if (name == "drum") return true;
  for (int32_t program = 0; program < 128; program += 8) {
    if (program_family(program) == name) return true;
  }
  return false;
}

std::optional<std::string> instruments_error(const AbsTokenizerConfig& c) {
  std::set<std::string_view> seen;
  for (const auto& [name, program] : c.instrument_programs) {
    if (!is_family(name)) {
      return "instruments: unknown family '" + name +
             "' (the General MIDI families: piano, chromatic, organ, guitar, bass, strings, ensemble, brass, reed, "
             "pipe, synth_lead, synth_pad, synth_effect, ethnic, percussive, sfx; and drum)";
    }
    if (!seen.insert(name).second) return "instruments: '" + name + "' is listed twice";
    if (program < 0 || program > 127) return "instruments: the program of '" + name + "' must be in 0..127";
  }
  for (const auto& [name, channel] : family_channels(c.ignore_instruments)) {
    if (channel > 15) return std::string("instruments: more families than MIDI has channels (15 besides the drums)");
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> config_error(const AbsTokenizerConfig& c) {
  const std::pair<const char*, int32_t> positive[] = {{"time_step_ms", c.time_step_ms},
                                                      {"abs_time_step_ms", c.abs_time_step_ms},
                                                      {"max_dur_ms", c.max_dur_ms},
                                                      {"velocity_step", c.velocity_step}};
  for (const auto& [field, value] : positive) {
    if (value <= 0) return std::string(field) + " must be positive, not " + std::to_string(value);
  }
  if (c.velocity_step > 127) return "velocity_step must be at most 127, not " + std::to_string(c.velocity_step);
  if (c.drum_velocity < 1 || c.drum_velocity > 127) {
    return "drum_velocity must be in 1..127, not " + std::to_string(c.drum_velocity);
  }
  // Normalized times are multiples of the time step: a segment that is not one would move every
  // onset after its first boundary off the grid.
  if (c.abs_time_step_ms % c.time_step_ms != 0) {
    return "abs_time_step_ms must be a multiple of time_step_ms (" + std::to_string(c.time_step_ms) +
           "), or onsets would fall between the steps";
  }
  if (c.max_dur_ms % c.time_step_ms != 0) {
    return "max_dur_ms must be a multiple of time_step_ms (" + std::to_string(c.time_step_ms) + ")";
  }
  const int64_t steps = int64_t{c.abs_time_step_ms} / c.time_step_ms + int64_t{c.max_dur_ms} / c.time_step_ms;
  if (steps > kMaxGridSteps) {
    return "time_step_ms is too small for abs_time_step_ms and max_dur_ms: " + std::to_string(steps) +
           " onset and duration tokens (at most " + std::to_string(kMaxGridSteps) + ")";
  }
  return instruments_error(c);
}

}  // namespace noteloom
