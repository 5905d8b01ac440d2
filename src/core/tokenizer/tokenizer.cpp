#include "tokenizer.hpp"

#include <cstdint>
#include <utility>

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

NearestInGrid::NearestInGrid(std::vector<int32_t> grid) : grid_(std::move(grid)) {
  if (grid_.empty() || int64_t{grid_.back()} - grid_.front() > (1 << 20)) return;
  table_.reserve(static_cast<size_t>(int64_t{grid_.back()} - grid_.front() + 1));
  // One sweep: between neighbours g[i] <= x < g[i + 1] the nearer one wins; only an exact tie
  // needs the search, whose probe order decides it.
  size_t i = 0;
  for (int64_t x = grid_.front(); x <= grid_.back(); ++x) {
    while (i + 1 < grid_.size() && grid_[i + 1] <= x) ++i;
    const int64_t below = x - grid_[i];
    const int64_t above = i + 1 < grid_.size() ? int64_t{grid_[i + 1]} - x : INT64_MAX;
    if (below < above) {
      table_.push_back(grid_[i]);
    } else if (above < below) {
      table_.push_back(grid_[i + 1]);
    } else {
      table_.push_back(nearest_in_grid(grid_, static_cast<int32_t>(x)));
    }
  }
}

namespace {

std::vector<int32_t> velocity_levels(int32_t step) {
  std::vector<int32_t> grid;
  for (int32_t i = 0; i <= 127 / step; ++i) grid.push_back(step * i);
  return grid;
}

}  // namespace

TokenizerCore::TokenizerCore(int32_t velocity_step)
    : velocity_(velocity_levels(velocity_step)), velocity_step_(velocity_step) {}

}  // namespace noteloom
