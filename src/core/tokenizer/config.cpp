#include "config.hpp"

#include <algorithm>
#include <set>

#include "../model/instruments.hpp"
#include "../model/normalize.hpp"

namespace noteloom {
namespace {

// A family's place in the fixed order: its first program, "drum" after all, unknown names last.
int32_t family_rank(std::string_view name) {
  if (name == "drum") return 128;
  for (int32_t program = 0; program < 128; program += 8) {
    if (program_family(program) == name) return program;
  }
  return 129;
}

std::optional<std::string> instruments_error(const AbsTokenizerConfig& c) {
  std::set<std::string_view> seen;
  for (const auto& [name, program] : c.instrument_programs) {
    if (family_rank(name) > 128) {
      return "instruments: unknown family '" + name +
             "' (the General MIDI families: piano, chromatic, organ, guitar, bass, strings, ensemble, brass, reed, "
             "pipe, synth_lead, synth_pad, synth_effect, ethnic, percussive, sfx; and drum)";
    }
    if (!seen.insert(name).second) return "instruments: '" + name + "' is listed twice";
    if (program < 0 || program > 127) return "instruments: the program of '" + name + "' must be in 0..127";
    // A normalized piece announces each family by its program, and tokenize reads the family back
    // from it.
    if (name != "drum" && program_family(program) != name) {
      const int32_t first = family_rank(name);
      return "instruments: program " + std::to_string(program) + " is not one of " + name + " (" +
             std::to_string(first) + ".." + std::to_string(first + 7) + ")";
    }
  }
  for (const auto& [name, channel] : family_channels(melodic_families(c))) {
    if (channel > 15) return std::string("instruments: more families than MIDI has channels (15 besides the drums)");
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::pair<std::string, bool>> melodic_families(const AbsTokenizerConfig& c) {
  std::vector<std::pair<std::string, bool>> families;
  for (const auto& entry : c.ignore_instruments) {
    if (entry.first != "drum") families.push_back(entry);
  }
  return families;
}

AbsTokenizerConfig configured(std::vector<std::pair<std::string, int32_t>> instruments, AbsTokenizerConfig base) {
  std::stable_sort(instruments.begin(), instruments.end(),
                   [](const auto& a, const auto& b) { return family_rank(a.first) < family_rank(b.first); });
  for (auto& [name, program] : instruments) {
    if (program < 0 && family_rank(name) <= 128) program = family_rank(name) % 128;  // the family's first
  }
  base.ignore_instruments.clear();
  for (const auto& [name, program] : instruments) base.ignore_instruments.emplace_back(name, false);
  base.instrument_programs = std::move(instruments);
  return base;
}

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
