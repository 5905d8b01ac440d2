// The tokenizer's configuration; the values below are the built-in one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace noteloom {

// Maps are kept as ordered lists of entries so that every tokenizer, in every process, lays out
// the same vocabulary: token IDs are stable across runs.
struct AbsTokenizerConfig {
  std::vector<std::string> composer_names = {"Orlane", "Vesk"};
  std::vector<std::string> form_names = {"sonata", "fugue"};
  std::vector<std::string> genre_names = {"classical", "jazz"};
  std::vector<std::pair<std::string, bool>> ignore_instruments = {{"piano", false}, {"guitar", false}, {"drum", false}};
  std::vector<std::pair<std::string, int32_t>> instrument_programs = {{"piano", 0}, {"guitar", 24}, {"drum", 0}};
  int32_t abs_time_step_ms = 5000;
  int32_t max_dur_ms = 5000;
  int32_t time_step_ms = 10;
  int32_t velocity_step = 4;
  int32_t drum_velocity = 127;
};

// `base` with the instruments (family, program to announce) in the vocabulary's fixed order: the
// General MIDI families in program order, then "drum"; none of them ignored. A negative program
// stands for the family's first (0 for the drums).
AbsTokenizerConfig configured(std::vector<std::pair<std::string, int32_t>> instruments, AbsTokenizerConfig base);

// The families normalization gives channels of their own: the listed ones but the drums, which
// keep the drum channel whether listed or not (listing them adds only the vocabulary's block of
// drum-named notes), so that they never take a melodic channel's place.
std::vector<std::pair<std::string, bool>> melodic_families(const AbsTokenizerConfig& c);

// The most onset and duration tokens a configuration may ask for, which bounds the vocabulary
// (and its tables) to a size any machine holds.
inline constexpr int64_t kMaxGridSteps = 1 << 20;

// Why a configuration cannot be used, naming the field; nothing when it can: every step positive,
// velocity_step at most 127, drum_velocity in 1..127, abs_time_step_ms and max_dur_ms multiples of
// time_step_ms, at most kMaxGridSteps onsets and durations, instrument names General MIDI families
// or "drum", each once, programs in 0..127, and channels for all of them.
std::optional<std::string> config_error(const AbsTokenizerConfig& c);

}  // namespace noteloom
