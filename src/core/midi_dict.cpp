#include "midi_dict.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "rounding.hpp"
#include "siphash.hpp"

namespace noteloom {

int32_t elapsed_ms(const std::vector<TempoMessage>& tempos, int32_t ticks_per_beat, int32_t from, int32_t to) {
  const size_t n = tempos.size();
  const double tpb = static_cast<double>(ticks_per_beat);
  double seconds = 0.0;
  if (n == 0) {
    if (to > from) seconds = static_cast<double>(int64_t{to} - from) * (0.5 / tpb);
    return round_to_i32(seconds * 1000.0);
  }
  // Start at the record in effect at `from` (the one before the first record at or after it), or
  // at the first record, which also governs the ticks before its own. Records are taken in vector
  // order, never sorted; out-of-order records only contribute non-negative spans.
  size_t u = 0;
  while (u < n && tempos[u].tick < from) ++u;
  int64_t cur = from;
  for (size_t k = u > 0 ? u - 1 : 0; k < n; ++k) {
    const int64_t next = k + 1 < n ? tempos[k + 1].tick : INT32_MAX;
    // 64-bit so that a span between far-apart ticks cannot wrap around.
    const int64_t seg = std::min<int64_t>(to, next) - cur;
    if (seg > 0) seconds += static_cast<double>(seg) * ((tempos[k].data * 1e-6) / tpb);
    if (to < next) break;
    cur = next;
  }
  return round_to_i32(seconds * 1000.0);
}

int32_t tick_to_ms(const MidiDictRecord& record, int32_t tick) {
  return elapsed_ms(record.tempo_msgs, record.ticks_per_beat, 0, tick);
}

namespace {

void hash_str(SipHasher13& h, std::string_view s) {
  h.write(s);
  h.write_u8(0xFF);
}

void hash_i32(SipHasher13& h, int32_t v) { h.write_u32_le(static_cast<uint32_t>(v)); }

// The notes' bytes as hash_str and hash_i32 give them, gathered a block at a time and hashed in one
// write per block: a piece has thousands of notes, and one bulk write costs a fraction of the eight
// small ones per note.
void hash_notes(SipHasher13& h, const std::vector<NoteMessage>& notes) {
  constexpr size_t kNoteBytes = 5 + 6 * 4;  // the tag "note" and 0xFF, then six int32
  std::array<unsigned char, 128 * kNoteBytes> block;
  size_t used = 0;
  for (const auto& m : notes) {
    const std::string_view tag = m.msg_type;
    if (tag.size() != 4 || used + kNoteBytes > block.size()) {
      h.write(block.data(), used);
      used = 0;
    }
    if (tag.size() != 4) {  // a text set from Python: rare, written as it comes
      hash_str(h, tag);
      for (int32_t v : {m.pitch, m.start, m.end, m.velocity, m.tick, m.channel}) hash_i32(h, v);
      continue;
    }
    unsigned char* p = block.data() + used;
    std::memcpy(p, tag.data(), 4);
    p[4] = 0xFF;
    p += 5;
    for (int32_t v : {m.pitch, m.start, m.end, m.velocity, m.tick, m.channel}) {
      auto u = static_cast<uint32_t>(v);
      if constexpr (std::endian::native != std::endian::little) u = (u >> 24) | ((u >> 8) & 0xFF00) | ((u << 8) & 0xFF0000) | (u << 24);
      std::memcpy(p, &u, 4);
      p += 4;
    }
    used += kNoteBytes;
  }
  h.write(block.data(), used);
}

}  // namespace

uint64_t calculate_hash(const MidiDictRecord& record) {
  SipHasher13 h;
  h.write_u64_le(record.note_msgs.size());
  hash_notes(h, record.note_msgs);
  h.write_u64_le(record.tempo_msgs.size());
  for (const auto& m : record.tempo_msgs) {
    hash_str(h, m.msg_type);
    hash_i32(h, m.data);
    hash_i32(h, m.tick);
  }
  h.write_u64_le(record.pedal_msgs.size());
  for (const auto& m : record.pedal_msgs) {
    hash_str(h, m.msg_type);
    for (int32_t v : {m.data, m.tick, m.channel}) hash_i32(h, v);
  }
  h.write_u64_le(record.instrument_msgs.size());
  for (const auto& m : record.instrument_msgs) {
    hash_str(h, m.msg_type);
    for (int32_t v : {m.data, m.tick, m.channel}) hash_i32(h, v);
  }
  return h.finish();
}

}  // namespace noteloom
