#include "midi_writer.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <unordered_map>

#include "../base/file_io.hpp"
#include "../base/stable_sort.hpp"
#include "smf_writer.hpp"

namespace noteloom {
namespace {

struct TimedEvent {
  int32_t tick;
  smf::Event event;
};

using Track = std::vector<TimedEvent>;

std::span<const uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// The file's tracks: track 0 for tempo and meta events, then one per program change in program
// order, each holding that change and the pedals and notes of its channel. Track numbers are 8-bit:
// the counter wraps after 255 program changes. A channel with several program changes lands in the
// track of the last one in program order; events of channels without one are not written.
class Tracks {
 public:
  explicit Tracks(std::span<const InstrumentMessage* const> programs) {
    tracks_[0].emplace();
    for (size_t i = 0; i < programs.size(); ++i) {
      tracks_[program_track(i)].emplace();
      channel_track_[programs[i]->channel] = program_track(i);
    }
  }

  Track& conductor() { return *tracks_[0]; }
  // The track of the i-th program change in program order.
  Track& of_program(size_t i) { return *tracks_[program_track(i)]; }
  // The track of `channel`'s events, or null.
  Track* of_channel(int32_t channel) {
    auto it = channel_track_.find(channel);
    return it == channel_track_.end() ? nullptr : &*tracks_[it->second];
  }

  // Each track sorted by tick (stably) and delta-encoded, with its end-of-track event. Deltas keep
  // their low 28 bits, the most a variable-length quantity holds.
  std::vector<std::vector<smf::TrackEvent>> encoded() {
    std::vector<std::vector<smf::TrackEvent>> out;
    for (auto& slot : tracks_) {
      if (!slot) continue;
      Track& t = *slot;
      stable_sort_by_tick(t);
      std::vector<smf::TrackEvent> events;
      events.reserve(t.size() + 1);
      int64_t previous = 0;
      for (const TimedEvent& e : t) {
        const int64_t delta = int64_t{e.tick} - previous;
        events.push_back({delta > 0 ? static_cast<uint32_t>(delta) & 0x0FFFFFFF : 0, e.event});
        previous = e.tick;
      }
      events.push_back({0, smf::Event::meta(smf::kMetaEndOfTrack, {})});
      out.push_back(std::move(events));
    }
    return out;
  }

 private:
  static uint8_t program_track(size_t i) { return static_cast<uint8_t>(i + 1); }  // wraps after 255

  std::array<std::optional<Track>, 256> tracks_;
  std::unordered_map<int32_t, uint8_t> channel_track_;
};

// Tempo changes (their 24-bit payloads kept in `tempo_bytes`, reserved so that the events' views
// stay valid) and text and copyright events; meta events of any other type are not written.
void add_conductor_events(const MidiDictRecord& rec, std::vector<uint8_t>& tempo_bytes, Track& track) {
  tempo_bytes.reserve(rec.tempo_msgs.size() * 3);
  for (const auto& t : rec.tempo_msgs) {
    const uint32_t v = static_cast<uint32_t>(t.data) & 0xFFFFFF;
    const size_t at = tempo_bytes.size();
    tempo_bytes.insert(tempo_bytes.end(),
                       {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
    track.push_back({t.tick, smf::Event::meta(smf::kMetaTempo, std::span(tempo_bytes).subspan(at, 3))});
  }
  for (const auto& m : rec.meta_msgs) {
    if (m.msg_type == "text") {
      track.push_back({m.tick, smf::Event::meta(smf::kMetaText, bytes_of(m.data))});
    } else if (m.msg_type == "copyright") {
      track.push_back({m.tick, smf::Event::meta(smf::kMetaCopyright, bytes_of(m.data))});
    }
  }
}

// Program changes, pedals (127 down, 0 up) and notes (note-on, then note-off of velocity 64);
// values keep their low 7 bits.
void add_channel_events(const MidiDictRecord& rec, std::span<const InstrumentMessage* const> programs, Tracks& tracks) {
  for (size_t i = 0; i < programs.size(); ++i) {
    const InstrumentMessage* m = programs[i];
    tracks.of_program(i).push_back(
        {m->tick, smf::Event::channel_event(smf::kProgramChange, static_cast<uint8_t>(m->channel),
                                            static_cast<uint8_t>(m->data & 0x7F))});
  }
  for (const auto& p : rec.pedal_msgs) {
    if (Track* t = tracks.of_channel(p.channel)) {
      t->push_back({p.tick, smf::Event::channel_event(smf::kController, static_cast<uint8_t>(p.channel), 64,
                                                      p.data > 0 ? 127 : 0)});
    }
  }
  for (const auto& n : rec.note_msgs) {
    Track* t = tracks.of_channel(n.channel);
    if (!t) continue;
    const auto channel = static_cast<uint8_t>(n.channel);
    const auto key = static_cast<uint8_t>(n.pitch & 0x7F);
    t->push_back(
        {n.start, smf::Event::channel_event(smf::kNoteOn, channel, key, static_cast<uint8_t>(n.velocity & 0x7F))});
    t->push_back({n.end, smf::Event::channel_event(smf::kNoteOff, channel, key, 64)});
  }
}

}  // namespace

Result<std::vector<uint8_t>> encode_midi_dict(const MidiDictRecord& rec) {
  std::vector<const InstrumentMessage*> programs;
  programs.reserve(rec.instrument_msgs.size());
  for (const auto& m : rec.instrument_msgs) programs.push_back(&m);
  stable_sort_by_key(programs, [](const InstrumentMessage* m) { return m->data; });

  Tracks tracks(programs);
  std::vector<uint8_t> tempo_bytes;  // outlives the events that view it
  add_conductor_events(rec, tempo_bytes, tracks.conductor());
  add_channel_events(rec, programs, tracks);
  return smf::encode_file(1, static_cast<uint16_t>(rec.ticks_per_beat & 0x7FFF), tracks.encoded());
}

Status write_midi_file(const MidiDictRecord& record, const std::string& path) {
  auto bytes = encode_midi_dict(record);
  if (!bytes) return bytes.error();
  return write_file(path, bytes.value());
}

}  // namespace noteloom
