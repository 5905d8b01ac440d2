// The tokenizer's built-in configuration.
#pragma once

#include <cstdint>
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
  // Compile-time constants: divisions by them become multiplications on the hot paths.
  static constexpr int32_t abs_time_step_ms = 5000;
  static constexpr int32_t max_dur_ms = 5000;
  static constexpr int32_t time_step_ms = 10;
  static constexpr int32_t velocity_step = 4;
  static constexpr int32_t drum_velocity = 127;
};

}  // namespace noteloom
