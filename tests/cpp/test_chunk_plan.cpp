#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/tokenizer/chunk_plan.hpp"

using namespace noteloom;

namespace {

// IDs of a toy vocabulary: 0 "<S>", 1 "<E>", 5 "<T>", 6 a prefix, 20 a note, 30 an onset, 40 a dur.
constexpr uint16_t S = 0, E = 1, T = 5, P = 6, N = 20, O = 30, D = 40;

std::vector<uint8_t> group_starts() {
  std::vector<uint8_t> g(64, 0);
  g[E] = g[T] = g[N] = 1;
  return g;
}

}  // namespace

TEST(PlanChunks, CutsBeforeGroupsAndRepeatsThePrefix) {
  const std::vector<uint16_t> tokens = {P, S, N, O, D, T, N, O, D, N, O, D, E};
  const std::vector<int64_t> starts = {0}, lengths = {13};
  auto plan = plan_chunks(tokens, starts, lengths, group_starts(), S, 7);
  ASSERT_TRUE(plan) << plan.error().message;
  // [P S N O D T] (6: the next group would make 9), then P S + [N O D] + ..., each within 7.
  EXPECT_EQ(plan.value().start, (std::vector<int64_t>{0, 6, 9}));
  EXPECT_EQ(plan.value().end, (std::vector<int64_t>{6, 9, 13}));
  EXPECT_EQ(plan.value().prefix, std::vector<int64_t>{2});
}

TEST(PlanChunks, RefusesWhatCannotFitAndSpansOutsideTheTokens) {
  const std::vector<uint16_t> tokens = {P, P, P, S, N, O, D, E};
  EXPECT_FALSE(plan_chunks(tokens, std::vector<int64_t>{0}, std::vector<int64_t>{8}, group_starts(), S, 5));
  EXPECT_FALSE(plan_chunks(tokens, std::vector<int64_t>{4}, std::vector<int64_t>{5}, group_starts(), S, 100));
  // A short sequence fits whole however long its prefix; an empty one has no pieces.
  auto whole = plan_chunks(tokens, std::vector<int64_t>{0, 8}, std::vector<int64_t>{8, 0}, group_starts(), S, 8);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole.value().sequence, std::vector<int64_t>{0});
}
