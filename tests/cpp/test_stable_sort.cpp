#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>

#include "core/base/stable_sort.hpp"
#include "core/model/messages.hpp"

using namespace noteloom;

namespace {

struct Item {
  int32_t tick;
  int32_t order;  // position before sorting
  bool operator==(const Item&) const = default;
};

std::vector<Item> sorted_by_std(std::vector<Item> v) {
  std::stable_sort(v.begin(), v.end(), [](const Item& a, const Item& b) { return a.tick < b.tick; });
  return v;
}

}  // namespace

TEST(StableSortByKey, EqualsStdStableSort) {
  std::mt19937 rng(7);
  // Key ranges that exercise one, two and all four radix passes, negative keys and many ties.
  const std::vector<std::pair<int32_t, int32_t>> ranges = {{0, 3}, {0, 1000}, {-70000, 70000}, {INT32_MIN, INT32_MAX}};
  for (auto [lo, hi] : ranges) {
    for (size_t n : {0u, 1u, 2u, 17u, 32u, 33u, 300u, 5000u}) {
      std::uniform_int_distribution<int32_t> key(lo, hi);
      std::vector<Item> v;
      for (size_t i = 0; i < n; ++i) v.push_back({key(rng), static_cast<int32_t>(i)});
      const auto expected = sorted_by_std(v);
      stable_sort_by_key(v, [](const Item& x) { return x.tick; });
      ASSERT_EQ(v, expected) << lo << ".." << hi << " n=" << n;
    }
  }
}

TEST(StableSortByKey, SortsRecordsWithTypeTagsIntact) {
  std::vector<NoteMessage> notes;
  for (int32_t i = 0; i < 100; ++i)
    notes.push_back({i % 3 ? "note" : "custom " + std::to_string(i), i, (i * 37) % 11, 0, 0, (i * 37) % 11, 0});
  auto expected = notes;
  std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return a.tick < b.tick; });
  stable_sort_by_tick(notes);
  EXPECT_EQ(notes, expected);
}

TEST(SharedText, FixedAndCustomTextsBehaveAsStrings) {
  SharedText fixed = SharedText::Fixed::Note;
  SharedText same("note");  // stored as the fixed tag
  SharedText custom(std::string(5000, 'x'));
  EXPECT_EQ(fixed, same);
  EXPECT_EQ(fixed.view(), "note");
  SharedText copy = custom;
  SharedText moved = std::move(copy);
  EXPECT_EQ(moved, custom);
  EXPECT_EQ(moved.view().size(), 5000u);
  EXPECT_EQ(copy.view(), "");  // a moved-from text is empty
  copy = fixed;
  EXPECT_EQ(copy, "note");
  EXPECT_FALSE(custom == fixed);
  EXPECT_EQ(SharedText(""), SharedText());
}
