#include "smf_writer.hpp"

#include <limits>

namespace noteloom::smf {
namespace {

void put_be32(std::vector<uint8_t>& out, uint32_t v) {
  out.insert(out.end(), {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                         static_cast<uint8_t>(v)});
}

void put_be16(std::vector<uint8_t>& out, uint16_t v) {
  out.insert(out.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
}

void put_varlen(std::vector<uint8_t>& out, uint32_t v) {
  v &= 0x0FFFFFFF;
  uint8_t buf[4];
  int n = 0;
  buf[n++] = v & 0x7F;
  while (v >>= 7) buf[n++] = static_cast<uint8_t>(0x80 | (v & 0x7F));
  while (n > 0) out.push_back(buf[--n]);
}

// Upper bound of the encoded size of one event, used to reserve the whole file once.
size_t max_event_size(const TrackEvent& e) { return 4 + 2 + 4 + 3 + e.event.payload.size(); }

void encode_track(std::vector<uint8_t>& out, const std::vector<TrackEvent>& events) {
  uint8_t running = 0;
  for (const TrackEvent& te : events) {
    put_varlen(out, te.delta);
    const Event& e = te.event;
    switch (e.kind) {
      case EventKind::Channel: {
        if (e.status != running) {
          out.push_back(e.status);
          running = e.status;
        }
        out.push_back(e.data1 & 0x7F);
        if (channel_data_length(e.message()) == 2) out.push_back(e.data2 & 0x7F);
        break;
      }
      case EventKind::Meta:
        out.push_back(0xFF);
        out.push_back(e.meta_type);
        put_varlen(out, static_cast<uint32_t>(e.payload.size()));
        out.insert(out.end(), e.payload.begin(), e.payload.end());
        running = 0;
        break;
      case EventKind::SysEx:
      case EventKind::Escape:
        out.push_back(e.kind == EventKind::SysEx ? 0xF0 : 0xF7);
        put_varlen(out, static_cast<uint32_t>(e.payload.size()));
        out.insert(out.end(), e.payload.begin(), e.payload.end());
        running = 0;
        break;
    }
  }
}

}  // namespace

Result<std::vector<uint8_t>> encode_file(uint16_t format, uint16_t division,
                                         const std::vector<std::vector<TrackEvent>>& tracks) {
  if (tracks.size() > std::numeric_limits<uint16_t>::max()) return Error{"track count exceeds 16 bit range"};
  size_t reserve = 14;
  for (const auto& t : tracks) {
    reserve += 8;
    for (const auto& e : t) reserve += max_event_size(e);
  }
  std::vector<uint8_t> out;
  out.reserve(reserve);
  out.insert(out.end(), {'M', 'T', 'h', 'd'});
  put_be32(out, 6);
  put_be16(out, format);
  put_be16(out, static_cast<uint16_t>(tracks.size()));
  put_be16(out, division);
  for (const auto& t : tracks) {
    out.insert(out.end(), {'M', 'T', 'r', 'k', 0, 0, 0, 0});
    const size_t body = out.size();
    encode_track(out, t);
    const size_t len = out.size() - body;
    if (len > std::numeric_limits<uint32_t>::max()) return Error{"midi chunk size exceeds 32 bit range"};
    for (int i = 0; i < 4; ++i) out[body - 4 + i] = static_cast<uint8_t>(len >> (8 * (3 - i)));
  }
  return out;
}

}  // namespace noteloom::smf
