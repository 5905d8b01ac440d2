// Generic tokenizer core: special tokens, nearest-value search on ascending grids and velocity
// quantization.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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
// In ID order.
inline constexpr const char* kSpecialTokens[] = {kBosTok, kEosTok, kPadTok, kUnkTok, kDimTok, kTimeTok};

// Nearest value of an ascending grid by binary search; a tie goes to the value probed first.
// An empty grid gives 0.
int32_t nearest_in_grid(const std::vector<int32_t>& grid, int32_t x);

// nearest_in_grid over a fixed grid, answered from a table of every value between the grid's ends
// (outside them the nearer end is the answer), so that a lookup costs no search. Grids spanning
// more than a million values keep the search.
// Where "<D>" goes in a token body of `length` tokens: about 100 tokens before its end, moved back
// to the start of a note group or time token (`is_onset(i)` / `is_dur(i)`: the kind of body token
// i). Nothing for a body of 150 tokens or fewer, which gets no "<D>".
template <typename IsOnset, typename IsDur>
std::optional<size_t> dim_token_position(size_t length, IsOnset&& is_onset, IsDur&& is_dur) {
  if (length <= 150) return std::nullopt;
  size_t i = length - 100;
  while (i > 0) {
    if (is_onset(i)) {
      i -= 1;
    } else if (is_dur(i)) {
      i = i >= 2 ? i - 2 : 0;
    } else {
      break;
    }
  }
  return i;
}

class NearestInGrid {
 public:
  explicit NearestInGrid(std::vector<int32_t> grid);
  int32_t operator()(int32_t x) const {
    if (table_.empty()) return nearest_in_grid(grid_, x);
    if (x <= grid_.front()) return grid_.front();
    if (x >= grid_.back()) return grid_.back();
    return table_[static_cast<size_t>(int64_t{x} - grid_.front())];
  }
  const std::vector<int32_t>& grid() const { return grid_; }

 private:
  std::vector<int32_t> grid_;
  std::vector<int32_t> table_;
};

class TokenizerCore {
 public:
  explicit TokenizerCore(int32_t velocity_step);

  int32_t pad_id() const { return pad_id_; }
  void set_pad_id(int32_t id) { pad_id_ = id; }
  const std::vector<int32_t>& velocity_grid() const { return velocity_.grid(); }
  int32_t max_velocity() const { return velocity_grid().empty() ? 127 : velocity_grid().back(); }

  // Nearest velocity level; a sounding velocity (x != 0) never quantizes to 0.
  int32_t quantize_velocity(int32_t x) const {
    const int32_t q = velocity_(x);
    if (x == 0) return q;
    return q == 0 ? velocity_step_ : q;
  }

 private:
  NearestInGrid velocity_;
  int32_t velocity_step_;
  int32_t pad_id_ = 0;
};

}  // namespace noteloom
