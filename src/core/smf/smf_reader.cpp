#include "smf_reader.hpp"

#include <cstring>

namespace noteloom::smf {
namespace {

bool tag_is(std::span<const uint8_t> first, const char (&tag)[5]) { return ByteCursor(first).at_tag(tag); }

constexpr const char* kNotMidi = "invalid midi: not a midi file";

// A RIFF "RMID" file carries the SMF in its "data" chunk.
Result<std::span<const uint8_t>> unwrap_riff(std::span<const uint8_t> bytes) {
  ByteCursor in(bytes);
  if (bytes.size() < 12 || !in.skip(8) || !in.at_tag("RMID")) return Error{kNotMidi};
  in.skip(4);
  while (in.remaining() >= 8) {
    const bool data = in.at_tag("data");
    uint32_t len = 0;
    in.skip(4);
    in.le32(len);
    const size_t avail = in.remaining();
    if (data) return in.take_at_most(len);
    if (len >= avail) break;
    if (!in.skip(len + (len & 1))) break;  // RIFF chunks are padded to even sizes
  }
  return Error{"invalid midi: RIFF file without a MIDI data chunk"};
}

// The header chunk's fields (its length checked at least 6).
Status read_header(ByteCursor& in, Header& header) {
  uint32_t header_len = 0;
  in.skip(4);
  if (!in.be32(header_len)) return Error{"malformed midi: file ends inside the header"};
  if (header_len < 6) return Error{"invalid midi: header chunk too short"};
  uint16_t division = 0;
  if (in.remaining() < 6) return Error{"malformed midi: file ends inside the header"};
  in.be16(header.format);
  in.be16(header.declared_tracks);
  in.be16(division);
  if (header.format > 2) return Error{"invalid midi: invalid smf format"};
  if (division & 0x8000) {
    const int fps = -static_cast<int8_t>(division >> 8);
    if (fps != 24 && fps != 25 && fps != 29 && fps != 30) return Error{"invalid midi: invalid smpte fps"};
    header.timing = {false, 0, static_cast<uint8_t>(fps), static_cast<uint8_t>(division & 0xFF)};
  } else {
    header.timing = {true, division, 0, 0};
  }
  // The header chunk may be longer than 6 bytes; its extra bytes are skipped.
  in.take_at_most(header_len - 6);
  return ok_status();
}

}  // namespace

Result<File> parse_file(std::span<const uint8_t> bytes) {
  if (tag_is(bytes, "RIFF")) {
    auto inner = unwrap_riff(bytes);
    if (!inner) return inner.error();
    bytes = inner.value();
  }
  if (!tag_is(bytes, "MThd")) return Error{kNotMidi};
  ByteCursor in(bytes);
  File file;
  if (Status read = read_header(in, file.header); !read) return read.error();
  file.tracks.reserve(file.header.declared_tracks);
  while (in.remaining() >= 8) {
    const bool track = in.at_tag("MTrk");
    uint32_t len = 0;
    in.skip(4);
    in.be32(len);
    const std::span<const uint8_t> body = in.take_at_most(len);
    if (track) file.tracks.push_back(body);
  }
  return file;
}

Status check_signature(std::span<const uint8_t> first) {
  if (first.size() < 4 || tag_is(first, "MThd")) return ok_status();  // short: parse_file tells
  if (!tag_is(first, "RIFF")) return Error{kNotMidi};
  if (first.size() >= 12 && !tag_is(first.subspan(8), "RMID")) return Error{kNotMidi};
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
