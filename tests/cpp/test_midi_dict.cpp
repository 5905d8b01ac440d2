#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/base/rounding.hpp"
#include "core/base/siphash.hpp"
#include "core/model/midi_dict.hpp"

using namespace noteloom;

namespace {

MidiDictRecord with_tempos(std::initializer_list<std::pair<int32_t, int32_t>> tempos, int32_t tpb = 480) {
  MidiDictRecord r;
  r.ticks_per_beat = tpb;
  for (auto [data, tick] : tempos) r.tempo_msgs.push_back({"tempo", data, tick});
  return r;
}

}  // namespace

TEST(RoundToI32, HalvesAwayFromZeroSaturatesAndNaN) {
  EXPECT_EQ(round_to_i32(2.5), 3);
  EXPECT_EQ(round_to_i32(-2.5), -3);
  EXPECT_EQ(round_to_i32(2.4999), 2);
  EXPECT_EQ(round_to_i32(1e300), INT32_MAX);
  EXPECT_EQ(round_to_i32(-1e300), INT32_MIN);
  EXPECT_EQ(round_to_i32(std::numeric_limits<double>::infinity()), INT32_MAX);
  EXPECT_EQ(round_to_i32(std::nan("")), 0);
}

TEST(RoundToI32, AgreesWithStdRoundAroundHalvesAndTheLimits) {
  auto reference = [](double v) -> int64_t {
    const double r = std::round(v);
    return r <= INT32_MIN ? INT32_MIN : r >= INT32_MAX ? INT32_MAX : static_cast<int64_t>(r);
  };
  std::vector<double> values;
  for (double base : {0.0, 0.5, 1.5, 2.5, 1e6 + 0.5, 4503599627370495.5, 2147483646.5, 2147483647.5, 2147483648.5}) {
    for (double v : {base, -base}) {
      double below = v, above = v;
      for (int k = 0; k < 4; ++k) {
        values.push_back(below);
        values.push_back(above);
        below = std::nextafter(below, -INFINITY);
        above = std::nextafter(above, INFINITY);
      }
    }
  }
  values.push_back(0.49999999999999994);
  values.push_back(-0.49999999999999994);
  // Halves and their neighbours at random magnitudes, and random values across the range.
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200000; ++i) {
    const double k = static_cast<double>(static_cast<int64_t>(rng() % (uint64_t{1} << (1 + i % 33)))) + 0.5;
    const double half = i % 2 ? -k : k;
    values.push_back(half);
    values.push_back(std::nextafter(half, -INFINITY));
    values.push_back(std::nextafter(half, INFINITY));
    values.push_back(std::ldexp(static_cast<double>(rng() >> 11), -21) * (i % 3 ? 1 : -1));
  }
  for (double v : values) ASSERT_EQ(round_to_i32(v), reference(v)) << std::hexfloat << v;
}

TEST(TickToMs, DefaultTempoWithoutRecords) {
  MidiDictRecord r;
  EXPECT_EQ(tick_to_ms(r, 960), 1000);
  EXPECT_EQ(tick_to_ms(r, 0), 0);
  EXPECT_EQ(tick_to_ms(r, -10), 0);
}

TEST(TickToMs, WalksTempoChanges) {
  const auto r = with_tempos({{1000000, 0}, {500000, 480}});
  EXPECT_EQ(tick_to_ms(r, 480), 1000);
  EXPECT_EQ(tick_to_ms(r, 960), 1500);
}

TEST(TickToMs, FirstRecordGovernsBeforeItsTick) {
  const auto r = with_tempos({{1000000, 100}});
  EXPECT_EQ(tick_to_ms(r, 50), 104);  // 50 ticks at 1 s per beat
}

TEST(TickToMs, StartsAtRecordInEffectAtZero) {
  const auto r = with_tempos({{500000, -200}, {500000, -100}});
  EXPECT_EQ(tick_to_ms(r, 480), 500);
}

TEST(TickToMs, ZeroResolutionSaturatesOrGivesZero) {
  EXPECT_EQ(tick_to_ms(with_tempos({}, 0), 10), INT32_MAX);  // 10 / 0 ticks per beat
  EXPECT_EQ(tick_to_ms(with_tempos({{0, 0}}, 0), 10), 0);    // 0 / 0 is NaN
}

// Out-of-order ticks far apart: the span from a very negative tick to a large one is measured
// in 64 bits instead of wrapping to a negative length.
TEST(TickToMs, LongSpanDoesNotWrap) {
  const auto r = with_tempos({{1, 0}, {1, -2000000000}, {1, 2000000000}});
  // Segments: [0, -2e9) is negative and skipped; [-2e9, 1e9) counts 3e9 ticks at 1 us per beat.
  const double expected_ms = 3e9 * (1e-6 / 480) * 1000.0;
  EXPECT_EQ(tick_to_ms(r, 1000000000), static_cast<int32_t>(std::lround(expected_ms)));
}

TEST(CalculateHash, EmptyIsHashOfFourZeroCounts) {
  SipHasher13 h;
  for (int i = 0; i < 4; ++i) h.write_u64_le(0);
  EXPECT_EQ(calculate_hash(MidiDictRecord{}), h.finish());
}

TEST(CalculateHash, IgnoresMetaMetadataAndResolution) {
  MidiDictRecord a;
  a.note_msgs.push_back({"note", 60, 0, 10, 90, 0, 0});
  MidiDictRecord b = a;
  b.meta_msgs.push_back({"text", "hello", 0});
  b.metadata["k"] = "v";
  b.ticks_per_beat = 96;
  EXPECT_EQ(calculate_hash(a), calculate_hash(b));
  b.note_msgs[0].velocity = 91;
  EXPECT_NE(calculate_hash(a), calculate_hash(b));
}

TEST(CalculateHash, ListsAreSeparatedByCounts) {
  // The same record moved from one list to another must change the hash.
  MidiDictRecord pedal;
  pedal.pedal_msgs.push_back({"x", 1, 2, 3});
  MidiDictRecord instrument;
  instrument.instrument_msgs.push_back({"x", 1, 2, 3});
  EXPECT_NE(calculate_hash(pedal), calculate_hash(instrument));
}

TEST(CalculateHash, StreamLayoutForOneNote) {
  MidiDictRecord r;
  r.note_msgs.push_back({"note", 60, 10, 20, 90, 10, 1});
  SipHasher13 h;
  h.write_u64_le(1);
  h.write("note");
  h.write_u8(0xFF);
  for (uint32_t v : {60u, 10u, 20u, 90u, 10u, 1u}) h.write_u32_le(v);
  for (int i = 0; i < 3; ++i) h.write_u64_le(0);
  EXPECT_EQ(calculate_hash(r), h.finish());
}

TEST(CalculateHash, StreamLayoutForManyNotesWithOtherTags) {
  // Enough notes to fill several of the blocks notes are hashed in, with other tags among them.
  MidiDictRecord r;
  for (int32_t i = 0; i < 700; ++i) {
    const std::string tag = i % 97 == 5    ? "x"
                            : i % 131 == 7 ? "a longer tag"
                            : i == 256     ? ""
                            : i == 300     ? std::string(300, 'y')
                                           : "note";
    r.note_msgs.push_back({tag, i % 128, 7 * i, -i, i * 1000003, INT32_MIN + i, i % 16});
  }
  SipHasher13 h;
  h.write_u64_le(r.note_msgs.size());
  for (const auto& m : r.note_msgs) {
    h.write(m.msg_type.view());
    h.write_u8(0xFF);
    for (int32_t v : {m.pitch, m.start, m.end, m.velocity, m.tick, m.channel}) h.write_u32_le(static_cast<uint32_t>(v));
  }
  for (int i = 0; i < 3; ++i) h.write_u64_le(0);
  EXPECT_EQ(calculate_hash(r), h.finish());
}

TEST(MidiDictRecordEquality, MetadataOrderIrrelevantVectorOrderMatters) {
  MidiDictRecord a, b;
  a.metadata = {{"x", "1"}, {"y", "2"}};
  b.metadata = {{"y", "2"}, {"x", "1"}};
  EXPECT_EQ(a, b);
  a.note_msgs = {{"note", 1, 0, 1, 1, 0, 0}, {"note", 2, 0, 1, 1, 0, 0}};
  b.note_msgs = {{"note", 2, 0, 1, 1, 0, 0}, {"note", 1, 0, 1, 1, 0, 0}};
  EXPECT_NE(a, b);
}

TEST(MidiDictRecordEquality, MetaComparesEveryField) {
  MidiDictRecord a, b;
  a.meta_msgs = {{"text", "hi", 0}};
  b.meta_msgs = {{"text", "hi", 0}};
  EXPECT_EQ(a, b);
  b.meta_msgs[0].tick = 77;
  EXPECT_NE(a, b);
  b.meta_msgs[0] = {"copyright", "hi", 0};
  EXPECT_NE(a, b);
}
