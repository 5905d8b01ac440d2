#include "midi_loader.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "../base/file_io.hpp"
#include "../base/stable_sort.hpp"
#include "../base/utf8.hpp"
#include "smf_reader.hpp"

namespace noteloom {
namespace {

// A note as the loader collects it: small and trivially copyable, so that sorting moves little.
struct LoadedNote {
  int32_t start;
  int32_t end;
  uint8_t key;
  uint8_t velocity;
  uint8_t channel;
};

// Open notes per (channel, key), in arrival order. One table serves the whole file, so a note
// begun in one track can be ended by a note-off in a later track. Each key's open notes form a
// list threaded through one node pool, so the per-key heads fit in the first-level cache.
class OpenNoteTable {
 public:
  void open(uint8_t channel, uint8_t key, int32_t tick, uint8_t velocity) {
    Slot& s = slot(channel, key);
    const uint32_t node = allocate({tick, kNone, velocity});
    if (s.head == kNone) {
      s.head = node;
    } else {
      pool_[s.tail].next = node;
    }
    s.tail = node;
  }

  // Ends every open note of (channel, key) that did not start at `tick`, in arrival order. Notes
  // that started at `tick` stay open (a note-off at the tick of its own note-on does not end it).
  void close(uint8_t channel, uint8_t key, int32_t tick, std::vector<LoadedNote>& out) {
    Slot& s = slot(channel, key);
    // The notes kept by the previous close all started at its tick: at that same tick they stay
    // again without a look, so a run of note-offs at one tick costs no more than its note-ons.
    uint32_t prev = s.settled_tick == tick ? s.settled_last : kNone;
    uint32_t node = prev == kNone ? s.head : pool_[prev].next;
    while (node != kNone) {
      Node& n = pool_[node];
      const uint32_t next = n.next;
      if (n.start == tick) {
        prev = node;
      } else {
        out.push_back({n.start, tick, key, n.velocity, channel});
        (prev == kNone ? s.head : pool_[prev].next) = next;
        n.next = free_;
        free_ = node;
      }
      node = next;
    }
    s.tail = prev;
    s.settled_last = prev;  // every note left started at `tick`
    s.settled_tick = tick;
  }

  // Releases the node pool when it has grown past `max_bytes`.
  void trim(size_t max_bytes) {
    if (pool_.capacity() * sizeof(Node) > max_bytes) std::vector<Node>().swap(pool_);
  }

  // Drops every open note, keeping the storage for the next file.
  void clear() {
    pool_.clear();
    free_ = kNone;
    if (++file_ == 0) {  // after 2^32 files: no slot may look current by accident
      slots_.fill(Slot{});
      file_ = 1;
    }
  }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  struct Node {
    int32_t start;
    uint32_t next;
    uint8_t velocity;
  };
  struct Slot {
    uint32_t head = kNone, tail = kNone;
    uint32_t settled_last = kNone;  // the list up to this node all started at settled_tick
    int32_t settled_tick = 0;
    uint32_t file = 0;  // the file the slot was last emptied for; another file's slot is empty
  };
  // A slot left over from an earlier file is emptied on first use, so clear() need not visit them.
  Slot& slot(uint8_t channel, uint8_t key) {
    Slot& s = slots_[channel * 128u + key];
    if (s.file != file_) s = Slot{kNone, kNone, kNone, 0, file_};
    return s;
  }
  uint32_t allocate(Node n) {
    if (free_ == kNone) {
      pool_.push_back(n);
      return static_cast<uint32_t>(pool_.size() - 1);
    }
    const uint32_t node = free_;
    free_ = pool_[node].next;
    pool_[node] = n;
    return node;
  }

  std::array<Slot, size_t{16} * 128> slots_;
  std::vector<Node> pool_;
  uint32_t free_ = kNone;  // first free node; free nodes chain through `next`
  uint32_t file_ = 1;      // counts the files read with this table
};

// Per-thread storage reused from one file to the next.
struct LoaderScratch {
  ReadBuffer file;
  OpenNoteTable open;
  std::vector<LoadedNote> notes;
  std::vector<LoadedNote> sorted;  // sorting storage

  // Large buffers are not kept after a large file.
  void trim() {
    constexpr size_t kKeepBytes = 16 << 20;
    file.trim(kKeepBytes);
    open.trim(kKeepBytes);
    for (auto* v : {&notes, &sorted}) {
      if (v->capacity() * sizeof(LoadedNote) > kKeepBytes) std::vector<LoadedNote>().swap(*v);
    }
  }
};

LoaderScratch& scratch() {
  static thread_local std::unique_ptr<LoaderScratch> s = std::make_unique<LoaderScratch>();
  return *s;
}

std::string_view as_text(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void handle_channel_event(const smf::Event& e, int32_t tick, OpenNoteTable& open, std::vector<LoadedNote>& notes,
                          MidiDictRecord& rec) {
  const uint8_t channel = e.channel();
  const uint8_t message = e.message();
  // Notes first, with one test for on or off: which of the two comes next is the one thing here
  // a branch predictor cannot guess, so it gets a single branch.
  if ((message & 0xE) == smf::kNoteOff) {  // note-off (0x8) or note-on (0x9)
    if ((message == smf::kNoteOn) & (e.data2 > 0)) {
      open.open(channel, e.data1, tick, e.data2);
    } else {  // velocity 0 is a note-off
      open.close(channel, e.data1, tick, notes);
    }
    return;
  }
  switch (message) {
    case smf::kController:
      if (e.data1 == 64) rec.pedal_msgs.push_back({SharedText::Fixed::Pedal, e.data2 >= 64 ? 1 : 0, tick, channel});
      break;
    case smf::kProgramChange:
      rec.instrument_msgs.push_back({SharedText::Fixed::Instrument, e.data1, tick, channel});
      break;
    default:
      break;  // key pressure, channel pressure and pitch bend are not modelled
  }
}

void handle_meta_event(const smf::Event& e, int32_t tick, MidiDictRecord& rec) {
  switch (e.meta_type) {
    case smf::kMetaTempo:
      // A set-tempo event of any other length is malformed and ignored.
      if (e.payload.size() == 3) {
        const int32_t tempo = (e.payload[0] << 16) | (e.payload[1] << 8) | e.payload[2];
        rec.tempo_msgs.push_back({SharedText::Fixed::Tempo, tempo, tick});
      }
      break;
    case smf::kMetaText:
    case smf::kMetaCopyright: {
      const std::string_view text = as_text(e.payload);
      if (is_valid_utf8(text)) {
        const auto type = e.meta_type == smf::kMetaText ? SharedText::Fixed::Text : SharedText::Fixed::Copyright;
        rec.meta_msgs.push_back({type, std::string(text), tick});
      }
      break;
    }
    default:
      break;
  }
}

Result<MidiDictRecord> load_with(std::span<const uint8_t> bytes, LoaderScratch& work) {
  auto parsed = smf::parse_file(bytes);
  if (!parsed) return parsed.error();
  const smf::File& file = parsed.value();

  MidiDictRecord rec;
  rec.ticks_per_beat = file.header.timing.metrical ? file.header.timing.ticks_per_beat : 480;
  work.open.clear();
  work.notes.clear();
  for (const auto& track : file.tracks) {
    uint32_t running_tick = 0;  // wraps modulo 2^32, read as signed
    smf::TrackReader reader(track);
    smf::TrackEvent ev;
    while (reader.next(ev)) {
      running_tick += ev.delta;
      const auto tick = static_cast<int32_t>(running_tick);
      if (ev.event.kind == smf::EventKind::Channel) {
        handle_channel_event(ev.event, tick, work.open, work.notes, rec);
      } else if (ev.event.kind == smf::EventKind::Meta) {
        handle_meta_event(ev.event, tick, rec);
      }
    }
  }
  // Notes still open at the end are dropped (the table is cleared before the next file).

  if (rec.tempo_msgs.empty()) rec.tempo_msgs.push_back({SharedText::Fixed::Tempo, 500000, 0});
  if (rec.instrument_msgs.empty()) rec.instrument_msgs.push_back({SharedText::Fixed::Instrument, 0, 0, 0});
  stable_sort_by_key(
      work.notes, [](const LoadedNote& n) { return n.start; }, work.sorted);
  rec.note_msgs.reserve(work.notes.size());
  for (const LoadedNote& n : work.notes) {
    rec.note_msgs.push_back({SharedText::Fixed::Note, n.key, n.start, n.end, n.velocity, n.start, n.channel});
  }
  stable_sort_by_tick(rec.tempo_msgs);
  stable_sort_by_tick(rec.pedal_msgs);
  stable_sort_by_tick(rec.instrument_msgs);
  return rec;
}

}  // namespace

Result<MidiDictRecord> load_midi_bytes(std::span<const uint8_t> bytes) {
  LoaderScratch& work = scratch();
  auto rec = load_with(bytes, work);
  work.trim();
  return rec;
}

Result<MidiDictRecord> load_midi_file(const std::string& path, LoadedPath record_path) {
  LoaderScratch& work = scratch();
  std::string canonical;
  const bool named = record_path == LoadedPath::InMetadata;
  if (Status read = read_file(path, work.file, named ? &canonical : nullptr, smf::check_signature); !read) {
    return read.error();
  }
  auto rec = load_with(work.file.bytes(), work);
  work.trim();
  if (rec && named) rec.value().metadata.emplace("abs_load_path", utf8_lossy(canonical));
  return rec;
}

}  // namespace noteloom
