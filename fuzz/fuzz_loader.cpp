// Fuzzes loading and writing. Invariants: loading never crashes; what the writer produces always
// loads again; and one write/load pass is a fixed point: writing and loading that result again
// gives the same messages. Only the order of notes with equal start ticks may change, because a
// note-off ends every open note of its key at once, which can reorder simultaneous notes. The fixed
// point holds while every instrument message has a track of its own: past 255 of them the writer's
// 8-bit track counter wraps and puts several into one track, whose 28-bit deltas then cut the
// tick gaps between them differently from one pass to the next. It also needs every tick below
// 2^28 (read as unsigned): the writer keeps the low 28 bits of each delta, so a longer gap is cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>

#include "core/smf/midi_loader.hpp"
#include "core/smf/midi_writer.hpp"

using namespace noteloom;

namespace {

bool ticks_fit_deltas(const MidiDictRecord& r) {
  auto fits = [](int32_t tick) { return static_cast<uint32_t>(tick) < (uint32_t{1} << 28); };
  for (const auto& m : r.note_msgs) {
    if (!fits(m.start) || !fits(m.end)) return false;
  }
  for (const auto& m : r.tempo_msgs) {
    if (!fits(m.tick)) return false;
  }
  for (const auto& m : r.instrument_msgs) {
    if (!fits(m.tick)) return false;
  }
  for (const auto& m : r.pedal_msgs) {
    if (!fits(m.tick)) return false;
  }
  return true;
}

void canonical_note_order(MidiDictRecord& r) {
  std::sort(r.note_msgs.begin(), r.note_msgs.end(), [](const NoteMessage& a, const NoteMessage& b) {
    return std::tie(a.start, a.end, a.pitch, a.channel, a.velocity) <
           std::tie(b.start, b.end, b.pitch, b.channel, b.velocity);
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto first = load_midi_bytes(std::span(data, size));
  if (!first) return 0;
  MidiDictRecord rec = std::move(first).value();
  for (auto& m : rec.meta_msgs) m.tick = 0;  // as a piece from Python has them: written at tick 0

  auto bytes1 = encode_midi_dict(rec);
  if (!bytes1) __builtin_trap();
  auto second = load_midi_bytes(bytes1.value());
  if (!second) __builtin_trap();
  MidiDictRecord rec2 = std::move(second).value();
  if (rec2.instrument_msgs.size() > 255 || !ticks_fit_deltas(rec2)) return 0;

  auto bytes2 = encode_midi_dict(rec2);
  if (!bytes2) __builtin_trap();
  auto third = load_midi_bytes(bytes2.value());
  if (!third) __builtin_trap();
  MidiDictRecord rec3 = std::move(third).value();
  canonical_note_order(rec2);
  canonical_note_order(rec3);
  if (!(rec3 == rec2)) __builtin_trap();
  return 0;
}
