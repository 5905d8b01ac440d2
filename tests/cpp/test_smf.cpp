#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/smf/smf_reader.hpp"
#include "core/smf/smf_writer.hpp"

using namespace noteloom::smf;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> v) { return std::vector<uint8_t>(v.begin(), v.end()); }

std::vector<uint8_t> smf(std::initializer_list<std::vector<uint8_t>> tracks, uint16_t division = 96) {
  std::vector<uint8_t> out = {'M',
                              'T',
                              'h',
                              'd',
                              0,
                              0,
                              0,
                              6,
                              0,
                              1,
                              0,
                              static_cast<uint8_t>(tracks.size()),
                              static_cast<uint8_t>(division >> 8),
                              static_cast<uint8_t>(division)};
  for (const auto& t : tracks) {
    out.insert(out.end(),
               {'M', 'T', 'r', 'k', 0, 0, static_cast<uint8_t>(t.size() >> 8), static_cast<uint8_t>(t.size())});
    out.insert(out.end(), t.begin(), t.end());
  }
  return out;
}

}  // namespace

TEST(SmfReader, RunningStatusAndDeltas) {
  // note on, running-status note on, then a two-byte delta (0x81 0x00 = 128).
  const auto file = smf({bytes({0x00, 0x90, 60, 100, 0x10, 62, 90, 0x81, 0x00, 0x80, 60, 0})});
  auto parsed = parse_file(file);
  ASSERT_TRUE(parsed);
  const auto events = read_track(parsed.value().tracks[0]);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].delta, 0x10u);
  EXPECT_EQ(events[1].event.status, 0x90);
  EXPECT_EQ(events[1].event.data1, 62);
  EXPECT_EQ(events[2].delta, 128u);
  EXPECT_EQ(events[2].event.message(), kNoteOff);
}

TEST(SmfReader, DeltaLongerThanFourBytesEndsTrack) {
  const auto file = smf({bytes({0x00, 0xC0, 5, 0x81, 0x81, 0x81, 0x81, 0x00, 0xC0, 6})});  // the tracks view it
  auto parsed = parse_file(file);
  ASSERT_TRUE(parsed);
  TrackReader reader(parsed.value().tracks[0]);
  TrackEvent ev;
  ASSERT_TRUE(reader.next(ev));
  EXPECT_EQ(ev.event.data1, 5);
  EXPECT_FALSE(reader.next(ev));
  EXPECT_TRUE(reader.damaged());
}

TEST(SmfReader, MetaEventsKeepRunningStatus) {
  const auto file = smf({bytes({0x00, 0x90, 60, 100, 0x00, 0xFF, 0x01, 0x02, 'h', 'i', 0x00, 61, 100})});
  const auto events = read_track(parse_file(file).value().tracks[0]);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].event.kind, EventKind::Meta);
  EXPECT_EQ(std::string(events[1].event.payload.begin(), events[1].event.payload.end()), "hi");
  EXPECT_EQ(events[2].event.status, 0x90);
  EXPECT_EQ(events[2].event.data1, 61);
}

TEST(SmfReader, SysexAndEscapePayloadsAreViewsIntoTheBuffer) {
  const auto file = smf({bytes({0x00, 0xF0, 0x03, 0x7E, 0x01, 0xF7, 0x00, 0xF7, 0x01, 0x42})});
  auto parsed = parse_file(file);
  const auto events = read_track(parsed.value().tracks[0]);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].event.kind, EventKind::SysEx);
  EXPECT_EQ(events[0].event.payload.size(), 3u);
  EXPECT_GE(events[0].event.payload.data(), file.data());
  EXPECT_LT(events[0].event.payload.data(), file.data() + file.size());
  EXPECT_EQ(events[1].event.kind, EventKind::Escape);
}

TEST(SmfReader, DamageStopsOnlyItsTrack) {
  for (const auto& damage : {bytes({0x00, 0x90, 60, 0x90}),            // status byte where a data byte must be
                             bytes({0x00, 0xF3, 0x01}),                // system common message
                             bytes({0x00, 0xFF, 0x01, 0x05, 'a'})}) {  // payload past the chunk
    std::vector<uint8_t> damaged = {0x00, 0xC0, 7};
    damaged.insert(damaged.end(), damage.begin(), damage.end());
    const auto file = smf({damaged, bytes({0x00, 0xC0, 9})});
    auto parsed = parse_file(file);
    ASSERT_TRUE(parsed);
    const auto first = read_track(parsed.value().tracks[0]);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].event.data1, 7);
    const auto second = read_track(parsed.value().tracks[1]);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].event.data1, 9);
  }
  // A data byte with no running status to continue: the track ends before it.
  const auto file = smf({bytes({0x00, 0x3C, 0x40})});
  auto parsed = parse_file(file);
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(read_track(parsed.value().tracks[0]).empty());
}

TEST(SmfReader, HeaderErrors) {
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {{}, "invalid midi: not a midi file"},
      {bytes({'R', 'I', 'F', 'F'}), "invalid midi: not a midi file"},
      {bytes({'M', 'T', 'h', 'd', 0, 0}), "malformed midi: file ends inside the header"},
      {bytes({'M', 'T', 'h', 'd', 0, 0, 0, 4, 0, 1, 0, 1}), "invalid midi: header chunk too short"},
      {bytes({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 3, 0, 1, 0, 96}), "invalid midi: invalid smf format"},
      {bytes({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 1, 0xE4, 4}), "invalid midi: invalid smpte fps"},
  };
  for (const auto& [file, message] : cases) {
    auto parsed = parse_file(file);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error().message, message);
  }
}

TEST(SmfReader, SmpteTimingAndTolerantChunkList) {
  auto file = smf({bytes({0x00, 0xC0, 1})}, 0xE728);  // -25 fps, 40 subframes
  // An unknown chunk, then a track whose declared length runs past the end of the file.
  file.insert(file.end(), {'X', 'Y', 'Z', 'W', 0, 0, 0, 2, 1, 2, 'M', 'T', 'r', 'k', 0, 0, 1, 0, 0x00, 0xC0, 2});
  auto parsed = parse_file(file);
  ASSERT_TRUE(parsed);
  EXPECT_FALSE(parsed.value().header.timing.metrical);
  EXPECT_EQ(parsed.value().header.timing.fps, 25);
  EXPECT_EQ(parsed.value().header.timing.subframes, 40);
  ASSERT_EQ(parsed.value().tracks.size(), 2u);
  EXPECT_EQ(read_track(parsed.value().tracks[1]).at(0).event.data1, 2);
}

TEST(SmfReader, RiffWrappedFile) {
  const auto inner = smf({bytes({0x00, 0xC0, 3})});
  std::vector<uint8_t> riff = {
      'R', 'I', 'F', 'F', 0, 0, 0, 0, 'R', 'M', 'I', 'D', 'd', 'a', 't', 'a', static_cast<uint8_t>(inner.size()),
      0,   0,   0};
  riff.insert(riff.end(), inner.begin(), inner.end());
  auto parsed = parse_file(riff);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(read_track(parsed.value().tracks[0]).at(0).event.data1, 3);
}

TEST(SmfWriter, RunningStatusCancelledByMeta) {
  static const uint8_t text[] = {'x'};
  const std::vector<TrackEvent> track = {
      {0, Event::channel_event(kNoteOn, 0, 60, 100)},
      {0, Event::channel_event(kNoteOn, 0, 62, 100)},
      {0, Event::meta(kMetaText, text)},
      {200, Event::channel_event(kNoteOn, 0, 64, 100)},
      {0, Event::meta(kMetaEndOfTrack, {})},
  };
  auto out = encode_file(1, 96, {track});
  ASSERT_TRUE(out);
  const auto expected = smf({bytes({0x00, 0x90, 60,   100,  0x00, 62,  100,  0x00, 0xFF, 0x01, 0x01,
                                    'x',  0x81, 0x48, 0x90, 64,   100, 0x00, 0xFF, 0x2F, 0x00})});
  EXPECT_EQ(out.value(), expected);
}

TEST(SmfWriter, DeltasKeepLow28Bits) {
  const std::vector<TrackEvent> track = {{0xFFFFFFFFu, Event::channel_event(kProgramChange, 1, 2)}};
  auto out = encode_file(1, 96, {track});
  ASSERT_TRUE(out);
  const auto events = read_track(parse_file(out.value()).value().tracks[0]);
  EXPECT_EQ(events.at(0).delta, 0x0FFFFFFFu);
}

TEST(SmfWriter, TooManyTracks) {
  const std::vector<std::vector<TrackEvent>> tracks(65536);
  auto out = encode_file(1, 96, tracks);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message, "track count exceeds 16 bit range");
}
