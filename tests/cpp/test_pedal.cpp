#include <gtest/gtest.h>

#include "core/model/pedal.hpp"

using namespace noteloom;

namespace {

MidiDictRecord piece(std::initializer_list<std::tuple<int32_t, int32_t, int32_t>> pedals,  // data, tick, channel
                     std::initializer_list<std::pair<int32_t, int32_t>> notes) {           // channel, end
  MidiDictRecord r;
  for (auto [data, tick, channel] : pedals) r.pedal_msgs.push_back({"pedal", data, tick, channel});
  for (auto [channel, end] : notes) r.note_msgs.push_back({"note", 60, 0, end, 90, 0, channel});
  return r;
}

using Intervals = std::vector<PedalInterval>;

}  // namespace

TEST(PedalIntervals, DownThenUp) {
  const auto m = pedal_intervals(piece({{1, 100, 0}, {0, 200, 0}}, {{0, 50}}));
  EXPECT_EQ(m, (PedalIntervalMap{{0, Intervals{{100, 200}}}}));
}

TEST(PedalIntervals, RepeatedDownKeepsFirstTick) {
  const auto m = pedal_intervals(piece({{1, 100, 0}, {1, 150, 0}, {0, 200, 0}}, {{0, 50}}));
  EXPECT_EQ(m.at(0), (Intervals{{100, 200}}));
}

TEST(PedalIntervals, UpWithoutDownAndOtherValuesIgnored) {
  const auto m = pedal_intervals(piece({{0, 50, 0}, {2, 60, 0}, {1, 100, 0}, {-1, 120, 0}, {0, 200, 0}}, {{0, 1}}));
  EXPECT_EQ(m.at(0), (Intervals{{100, 200}}));
}

TEST(PedalIntervals, OpenPedalClosesAtLastNoteInVectorOrder) {
  // The last note in vector order ends at 900 even though an earlier one ends later.
  const auto m = pedal_intervals(piece({{1, 300, 0}}, {{0, 2000}, {0, 900}}));
  EXPECT_EQ(m.at(0), (Intervals{{300, 900}}));
}

TEST(PedalIntervals, SortsStablyByTick) {
  const auto m = pedal_intervals(piece({{0, 200, 0}, {1, 100, 0}}, {{0, 1}}));
  EXPECT_EQ(m.at(0), (Intervals{{100, 200}}));
  // Equal ticks keep vector order: up then down at the same tick leaves the pedal down.
  const auto n = pedal_intervals(piece({{1, 50, 0}, {0, 100, 0}, {1, 100, 0}}, {{0, 400}}));
  EXPECT_EQ(n.at(0), (Intervals{{50, 100}, {100, 400}}));
}

TEST(PedalIntervals, ChannelsWithNotesAlwaysPresent) {
  const auto m = pedal_intervals(piece({}, {{0, 10}, {9, 10}}));
  EXPECT_EQ(m, (PedalIntervalMap{{0, {}}, {9, {}}}));
}

TEST(PedalIntervals, NoNotesKeepsClosedPairsDropsOpenOnes) {
  const auto m = pedal_intervals(piece({{1, 10, 3}, {0, 20, 3}, {1, 30, 4}}, {}));
  EXPECT_EQ(m, (PedalIntervalMap{{3, Intervals{{10, 20}}}}));
}

TEST(PedalIntervals, ZeroLengthIntervalKept) {
  const auto m = pedal_intervals(piece({{1, 70, 2}, {0, 70, 2}}, {}));
  EXPECT_EQ(m.at(2), (Intervals{{70, 70}}));
}

TEST(PedalIntervals, ChannelsAreIndependent) {
  const auto m = pedal_intervals(piece({{1, 10, 0}, {1, 20, 1}, {0, 30, 0}, {0, 40, 1}}, {{0, 5}}));
  EXPECT_EQ(m.at(0), (Intervals{{10, 30}}));
  EXPECT_EQ(m.at(1), (Intervals{{20, 40}}));
}
