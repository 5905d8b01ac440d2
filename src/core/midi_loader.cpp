#include "midi_loader.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "file_io.hpp"
#include "smf_reader.hpp"
#include "utf8.hpp"

namespace noteloom {
namespace {

struct OpenNote {
  int32_t start;
  uint8_t velocity;
};

// Open notes per (channel, key), in arrival order. One table serves the whole file, so a note
// begun in one track can be ended by a note-off in a later track.
class OpenNoteTable {
 public:
  OpenNoteTable() : slots_(std::make_unique<std::array<std::vector<OpenNote>, 16 * 128>>()) {}

  void open(uint8_t channel, uint8_t key, int32_t tick, uint8_t velocity) {
    slot(channel, key).push_back({tick, velocity});
  }

  // Ends every open note of (channel, key) that did not start at `tick`, in arrival order. Notes
  // that started at `tick` stay open (a note-off at the tick of its own note-on does not end it).
  void close(uint8_t channel, uint8_t key, int32_t tick, std::vector<NoteMessage>& out) {
    auto& notes = slot(channel, key);
    size_t kept = 0;
    for (const OpenNote& n : notes) {
      if (n.start == tick) {
        notes[kept++] = n;
      } else {
        out.push_back({"note", key, n.start, tick, n.velocity, n.start, channel});
      }
    }
    notes.resize(kept);
  }

 private:
  std::vector<OpenNote>& slot(uint8_t channel, uint8_t key) { return (*slots_)[channel * 128u + key]; }
  std::unique_ptr<std::array<std::vector<OpenNote>, 16 * 128>> slots_;
};

std::string_view as_text(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void handle_channel_event(const smf::Event& e, int32_t tick, OpenNoteTable& open, MidiDictRecord& rec) {
  const uint8_t channel = e.channel();
  switch (e.message()) {
    case smf::kNoteOn:
      if (e.data2 > 0) {
        open.open(channel, e.data1, tick, e.data2);
        break;
      }
      [[fallthrough]];  // velocity 0 is a note-off
    case smf::kNoteOff:
      open.close(channel, e.data1, tick, rec.note_msgs);
      break;
    case smf::kController:
      if (e.data1 == 64) rec.pedal_msgs.push_back({"pedal", e.data2 >= 64 ? 1 : 0, tick, channel});
      break;
    case smf::kProgramChange:
      rec.instrument_msgs.push_back({"instrument", e.data1, tick, channel});
      break;
    default:
      break;  // key pressure, channel pressure and pitch bend are not modelled
  }
}

void handle_meta_event(const smf::Event& e, int32_t tick, MidiDictRecord& rec) {
  switch (e.status) {
    case smf::kMetaTempo:
      // A set-tempo event of any other length is malformed and ignored.
      if (e.payload.size() == 3) {
        const int32_t tempo = (e.payload[0] << 16) | (e.payload[1] << 8) | e.payload[2];
        rec.tempo_msgs.push_back({"tempo", tempo, tick});
      }
      break;
    case smf::kMetaText:
    case smf::kMetaCopyright: {
      const std::string_view text = as_text(e.payload);
      if (is_valid_utf8(text)) {
        rec.meta_msgs.push_back({e.status == smf::kMetaText ? "text" : "copyright", std::string(text), tick});
      }
      break;
    }
    default:
      break;
  }
}

template <typename Vec>
void sort_by_tick(Vec& v) {
  std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.tick < b.tick; });
}

}  // namespace

Result<MidiDictRecord> load_midi_bytes(std::span<const uint8_t> bytes) {
  auto parsed = smf::parse_file(bytes);
  if (!parsed) return parsed.error();
  const smf::File& file = parsed.value();

  MidiDictRecord rec;
  rec.ticks_per_beat = file.header.timing.metrical ? file.header.timing.ticks_per_beat : 480;
  OpenNoteTable open;
  for (const auto& track : file.tracks) {
    uint32_t running_tick = 0;  // wraps modulo 2^32, read as signed
    smf::TrackReader reader(track);
    smf::TrackEvent ev;
    while (reader.next(ev)) {
      running_tick += ev.delta;
      const auto tick = static_cast<int32_t>(running_tick);
      if (ev.event.kind == smf::EventKind::Channel) {
        handle_channel_event(ev.event, tick, open, rec);
      } else if (ev.event.kind == smf::EventKind::Meta) {
        handle_meta_event(ev.event, tick, rec);
      }
    }
  }
  // Notes still open at the end are dropped with the table.

  if (rec.tempo_msgs.empty()) rec.tempo_msgs.push_back({"tempo", 500000, 0});
  if (rec.instrument_msgs.empty()) rec.instrument_msgs.push_back({"instrument", 0, 0, 0});
  sort_by_tick(rec.note_msgs);
  sort_by_tick(rec.tempo_msgs);
  sort_by_tick(rec.pedal_msgs);
  sort_by_tick(rec.instrument_msgs);
  return rec;
}

Result<MidiDictRecord> load_midi_file(const std::string& path) {
  auto bytes = read_file(path);
  if (!bytes) return bytes.error();
  auto rec = load_midi_bytes(bytes.value());
  if (!rec) return rec;
  auto canonical = canonical_path(path);
  rec.value().metadata.emplace("abs_load_path", utf8_lossy(canonical ? canonical.value() : path));
  return rec;
}

}  // namespace noteloom
