#include "tokenizer.hpp"


namespace noteloom {

int32_t nearest_in_grid(const std::vector<int32_t>& grid, int32_t x) {
  if (grid.empty()) return 0;
  size_t lo = 0;
  size_t hi = grid.size() - 1;
  bool have = false;
  int32_t best = 0;
  auto distance = [x](int32_t v) { return v > x ? int64_t{v} - x : int64_t{x} - v; };
  while (lo <= hi) {
    const size_t mid = (lo + hi) / 2;
    const int32_t v = grid[mid];
    if (!have || distance(v) < distance(best)) {
      best = v;
      have = true;
    }
    if (v < x) {
      lo = mid + 1;
    } else {
      if (mid == 0) break;
      hi = mid - 1;
    }
  }
  return best;
}

TokenizerCore::TokenizerCore(int32_t velocity_step)
    : special_tokens_{kBosTok, kEosTok, kPadTok, kUnkTok, kDimTok, kTimeTok}, velocity_step_(velocity_step) {
  for (int32_t i = 0; i <= 127 / velocity_step; ++i) velocity_grid_.push_back(velocity_step * i);
}

int32_t TokenizerCore::quantize_velocity(int32_t x) const {
  const int32_t q = nearest_in_grid(velocity_grid_, x);
  if (x == 0) return q;
  return q == 0 ? velocity_step_ : q;
}

}  // namespace noteloom
