#include "midi_dict.hpp"

#include <algorithm>
#include <cstring>

#include "../base/rounding.hpp"
#include "../base/siphash.hpp"

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

uint64_t calculate_hash(const MidiDictRecord& record) {
  PieceHasher hasher(record.note_msgs.size());
  for (const auto& m : record.note_msgs) hasher.note(m);
  return hasher.finish(record);
}

void PieceHasher::put_tag(const SharedText& tag) {
  const std::string_view text = tag.view();
  if (text.size() + 1 + 32 > sizeof(buf_) - used_) {  // a long text set from Python: past the buffer
    h_.write(buf_, used_);
    used_ = 0;
    h_.write(text);
  } else {
    std::memcpy(buf_ + used_, text.data(), text.size());
    used_ += text.size();
  }
  buf_[used_++] = 0xFF;
}

void PieceHasher::flush() {
  const size_t whole = used_ & ~size_t{7};
  h_.write(buf_, whole);
  unsigned char rest[8];  // under 8 bytes: copied as one word, the buffer has room past used_
  std::memcpy(rest, buf_ + whole, 8);
  std::memcpy(buf_, rest, 8);
  used_ -= whole;
}

uint64_t PieceHasher::finish(const MidiDictRecord& record) {
  put_u64(record.tempo_msgs.size());
  for (const auto& m : record.tempo_msgs) {
    put_tag(m.msg_type);
    put_i32(m.data);
    put_i32(m.tick);
    if (used_ > kFlushAt) flush();
  }
  // Pedals and instruments have the same fields: data, tick, channel.
  auto put_channel_messages = [this](const auto& list) {
    put_u64(list.size());
    for (const auto& m : list) {
      put_tag(m.msg_type);
      for (int32_t v : {m.data, m.tick, m.channel}) put_i32(v);
      if (used_ > kFlushAt) flush();
    }
  };
  put_channel_messages(record.pedal_msgs);
  put_channel_messages(record.instrument_msgs);
  h_.write(buf_, used_);
  return h_.finish();
}

}  // namespace noteloom
