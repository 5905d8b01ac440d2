// Generic tokenizer core: special tokens, nearest-value search on ascending grids and velocity
// quantization.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "token.hpp"

namespace noteloom {

inline constexpr const char* kBosTok = "<S>";
inline constexpr const char* kEosTok = "<E>";
inline constexpr const char* kPadTok = "<P>";
inline constexpr const char* kUnkTok = "<U>";
inline constexpr const char* kDimTok = "<D>";
inline constexpr const char* kTimeTok = "<T>";

// Nearest value of an ascending grid by binary search; a tie goes to the value probed first.
// An empty grid gives 0.
int32_t nearest_in_grid(const std::vector<int32_t>& grid, int32_t x);

class TokenizerCore {
 public:
  explicit TokenizerCore(int32_t velocity_step);

  const std::vector<std::string>& special_tokens() const { return special_tokens_; }
  int32_t pad_id() const { return pad_id_; }
  void set_pad_id(int32_t id) { pad_id_ = id; }
  const std::vector<int32_t>& velocity_grid() const { return velocity_grid_; }
  int32_t max_velocity() const { return velocity_grid_.empty() ? 127 : velocity_grid_.back(); }

  // Nearest velocity level; a sounding velocity (x != 0) never quantizes to 0.
  int32_t quantize_velocity(int32_t x) const;

 private:
  std::vector<std::string> special_tokens_;
  std::vector<int32_t> velocity_grid_;
  int32_t velocity_step_;
  int32_t pad_id_ = 0;
};

}  // namespace noteloom
