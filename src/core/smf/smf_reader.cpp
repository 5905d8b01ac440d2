#include "smf_reader.hpp"

#include <cstring>

namespace noteloom::smf {
namespace {

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
bool tag_is(const uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

constexpr const char* kNotMidi = "invalid midi: not a midi file";

// A RIFF "RMID" file carries the SMF in its "data" chunk.
Result<std::span<const uint8_t>> unwrap_riff(std::span<const uint8_t> bytes) {
  if (bytes.size() < 12 || !tag_is(bytes.data() + 8, "RMID")) return Error{kNotMidi};
  size_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    const uint32_t len = le32(bytes.data() + pos + 4);
    const size_t body = pos + 8;
    const size_t avail = bytes.size() - body;
    if (tag_is(bytes.data() + pos, "data")) return bytes.subspan(body, len < avail ? len : avail);
    if (len >= avail) break;
    pos = body + len + (len & 1);  // RIFF chunks are padded to even sizes
  }
  return Error{"invalid midi: RIFF file without a MIDI data chunk"};
}

}  // namespace

Result<File> parse_file(std::span<const uint8_t> bytes) {
  if (bytes.size() >= 4 && tag_is(bytes.data(), "RIFF")) {
    auto inner = unwrap_riff(bytes);
    if (!inner) return inner.error();
    bytes = inner.value();
  }
  if (bytes.size() < 4 || !tag_is(bytes.data(), "MThd")) return Error{kNotMidi};
  if (bytes.size() < 8) return Error{"malformed midi: file ends inside the header"};
  const uint32_t header_len = be32(bytes.data() + 4);
  if (header_len < 6) return Error{"invalid midi: header chunk too short"};
  if (bytes.size() - 8 < 6) return Error{"malformed midi: file ends inside the header"};
  const uint8_t* h = bytes.data() + 8;

  File file;
  file.header.format = be16(h);
  file.header.declared_tracks = be16(h + 2);
  if (file.header.format > 2) return Error{"invalid midi: invalid smf format"};
  const uint16_t division = be16(h + 4);
  if (division & 0x8000) {
    const int fps = -static_cast<int8_t>(division >> 8);
    if (fps != 24 && fps != 25 && fps != 29 && fps != 30) return Error{"invalid midi: invalid smpte fps"};
    file.header.timing = {false, 0, static_cast<uint8_t>(fps), static_cast<uint8_t>(division & 0xFF)};
  } else {
    file.header.timing = {true, division, 0, 0};
  }

  // The header chunk may be longer than 6 bytes; its extra bytes are skipped.
  size_t pos = bytes.size() - 8 < header_len ? bytes.size() : 8 + size_t{header_len};
  file.tracks.reserve(file.header.declared_tracks);
  while (bytes.size() - pos >= 8) {
    const uint8_t* c = bytes.data() + pos;
    const uint32_t len = be32(c + 4);
    const size_t body = pos + 8;
    const size_t avail = bytes.size() - body;
    const size_t take = len < avail ? len : avail;
    if (tag_is(c, "MTrk")) file.tracks.push_back(bytes.subspan(body, take));
    pos = body + take;
  }
  return file;
}

Status check_signature(std::span<const uint8_t> first) {
  if (first.size() < 4 || tag_is(first.data(), "MThd")) return ok_status();  // short: parse_file tells
  if (!tag_is(first.data(), "RIFF")) return Error{kNotMidi};
  if (first.size() >= 12 && !tag_is(first.data() + 8, "RMID")) return Error{kNotMidi};
  return ok_status();
}

std::vector<TrackEvent> read_track(std::span<const uint8_t> chunk) {
  std::vector<TrackEvent> events;
  TrackReader reader(chunk);
  TrackEvent ev;
  while (reader.next(ev)) events.push_back(ev);
  return events;
}

}  // namespace noteloom::smf
