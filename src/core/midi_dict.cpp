#include "midi_dict.hpp"

#include <algorithm>

#include "rounding.hpp"
#include "siphash.hpp"

namespace noteloom {

int32_t tick_to_ms(const MidiDictRecord& record, int32_t tick) {
  const auto& tempos = record.tempo_msgs;
  const size_t n = tempos.size();
  const double tpb = static_cast<double>(record.ticks_per_beat);
  double seconds = 0.0;
  if (n == 0) {
    if (tick > 0) seconds = tick * (0.5 / tpb);
  } else {
    // Start at the record in effect at tick 0 (the one before the first non-negative tick),
    // or at the first record. Records are taken in vector order, never sorted.
    size_t idx = 0;
    while (idx < n && tempos[idx].tick < 0) ++idx;
    int64_t cur = 0;
    for (size_t k = idx > 0 ? idx - 1 : 0; k < n; ++k) {
      const int64_t next = k + 1 < n ? tempos[k + 1].tick : INT32_MAX;
      // 64-bit so that a span between far-apart out-of-order ticks cannot wrap around.
      const int64_t seg = std::min<int64_t>(tick, next) - cur;
      if (seg > 0) seconds += static_cast<double>(seg) * ((tempos[k].data * 1e-6) / tpb);
      cur = next;
      if (tick < next) break;
    }
  }
  return round_to_i32(seconds * 1000.0);
}

namespace {

void hash_str(SipHasher13& h, const std::string& s) {
  h.write(s);
  h.write_u8(0xFF);
}

void hash_i32(SipHasher13& h, int32_t v) { h.write_u32_le(static_cast<uint32_t>(v)); }

}  // namespace

uint64_t calculate_hash(const MidiDictRecord& record) {
  SipHasher13 h;
  h.write_u64_le(record.note_msgs.size());
  for (const auto& m : record.note_msgs) {
    hash_str(h, m.msg_type);
    for (int32_t v : {m.pitch, m.start, m.end, m.velocity, m.tick, m.channel}) hash_i32(h, v);
  }
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
