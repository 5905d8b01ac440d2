#include <gtest/gtest.h>

#include "core/model/instruments.hpp"

using namespace noteloom;

TEST(ProgramFamily, Boundaries) {
  const std::pair<int32_t, const char*> cases[] = {
      {0, "piano"},        {7, "piano"},        {8, "chromatic"},  {16, "organ"},        {24, "guitar"},
      {32, "bass"},        {40, "strings"},     {48, "ensemble"},  {56, "brass"},        {64, "reed"},
      {72, "pipe"},        {80, "synth_lead"},  {88, "synth_pad"}, {96, "synth_effect"}, {104, "ethnic"},
      {112, "percussive"}, {119, "percussive"}, {120, "sfx"},      {127, "sfx"}};
  for (auto [program, family] : cases) {
    ASSERT_TRUE(program_family(program).has_value()) << program;
    EXPECT_EQ(*program_family(program), family) << program;
  }
  for (int32_t out : {128, 200, -1, INT32_MIN, INT32_MAX}) EXPECT_FALSE(program_family(out).has_value()) << out;
}

namespace {

MidiDictRecord two_channel_piece(int32_t program0, int32_t program1, int32_t channel0 = 0) {
  MidiDictRecord r;
  r.instrument_msgs = {{"instrument", program0, 0, channel0}, {"instrument", program1, 0, 1}};
  r.note_msgs = {
      {"note", 60, 0, 10, 90, 0, channel0}, {"note", 62, 5, 10, 90, 5, 1}, {"note", 64, 8, 10, 90, 8, channel0}};
  r.pedal_msgs = {{"pedal", 1, 0, channel0}, {"pedal", 0, 10, 1}};
  r.tempo_msgs = {{"tempo", 500000, 0}};
  r.meta_msgs = {{"text", "t", 0}};
  r.metadata = {{"k", "v"}};
  return r;
}

}  // namespace

TEST(RemoveInstruments, RemovesEveryMessageOfIgnoredChannels) {
  auto r = two_channel_piece(0, 40);
  remove_instruments(r, {{"piano", true}});
  ASSERT_EQ(r.note_msgs.size(), 1u);
  EXPECT_EQ(r.note_msgs[0].pitch, 62);
  ASSERT_EQ(r.instrument_msgs.size(), 1u);
  EXPECT_EQ(r.instrument_msgs[0].channel, 1);
  ASSERT_EQ(r.pedal_msgs.size(), 1u);
  EXPECT_EQ(r.pedal_msgs[0].channel, 1);
  EXPECT_EQ(r.tempo_msgs.size(), 1u);
  EXPECT_EQ(r.meta_msgs.size(), 1u);
  EXPECT_EQ(r.metadata.size(), 1u);
}

TEST(RemoveInstruments, KeepsOrderOfRemainingMessages) {
  auto r = two_channel_piece(40, 0, 2);  // channel 1 plays piano now
  remove_instruments(r, {{"piano", true}});
  ASSERT_EQ(r.note_msgs.size(), 2u);
  EXPECT_EQ(r.note_msgs[0].pitch, 60);
  EXPECT_EQ(r.note_msgs[1].pitch, 64);
}

TEST(RemoveInstruments, DrumChannelNeverRemoved) {
  auto r = two_channel_piece(0, 40, kDrumChannel);
  const auto before = r;
  remove_instruments(r, {{"piano", true}});
  EXPECT_EQ(r, before);
}

TEST(RemoveInstruments, FalseMissingOrOutOfRangeIgnoresNothing) {
  for (const IgnoreMap& ignore : {IgnoreMap{{"piano", false}}, IgnoreMap{}, IgnoreMap{{"not a family", true}}}) {
    auto r = two_channel_piece(0, 40);
    const auto before = r;
    remove_instruments(r, ignore);
    EXPECT_EQ(r, before);
  }
  auto r = two_channel_piece(200, -1);
  const auto before = r;
  remove_instruments(r, {{"piano", true}, {"sfx", true}});
  EXPECT_EQ(r, before);
}

TEST(RemoveInstruments, AnyIgnoredProgramOnAChannelRemovesIt) {
  auto r = two_channel_piece(40, 41);
  r.instrument_msgs.push_back({"instrument", 3, 100, 1});  // channel 1 later switches to piano
  remove_instruments(r, {{"piano", true}});
  for (const auto& n : r.note_msgs) EXPECT_NE(n.channel, 1);
  ASSERT_EQ(r.instrument_msgs.size(), 1u);
  EXPECT_EQ(r.instrument_msgs[0].data, 40);
}
