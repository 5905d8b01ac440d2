// Fuzzes the SMF reader. Invariant: every event the reader yields survives encoding and reading
// again unchanged (deltas, kinds, status, data bytes and payloads), whatever the input bytes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/smf/smf_reader.hpp"
#include "core/smf/smf_writer.hpp"

using namespace noteloom::smf;

namespace {

bool same_event(const TrackEvent& a, const TrackEvent& b) {
  const Event& x = a.event;
  const Event& y = b.event;
  return a.delta == b.delta && x.kind == y.kind && x.status == y.status && x.data1 == y.data1 && x.data2 == y.data2 &&
         x.payload.size() == y.payload.size() && std::equal(x.payload.begin(), x.payload.end(), y.payload.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto parsed = parse_file(std::span(data, size));
  if (!parsed) return 0;
  std::vector<std::vector<TrackEvent>> tracks;
  for (const auto& chunk : parsed.value().tracks) tracks.push_back(read_track(chunk));

  auto encoded = encode_file(parsed.value().header.format, 480, tracks);
  if (!encoded) __builtin_trap();
  auto reparsed = parse_file(encoded.value());
  if (!reparsed || reparsed.value().tracks.size() != tracks.size()) __builtin_trap();
  for (size_t t = 0; t < tracks.size(); ++t) {
    TrackReader reader(reparsed.value().tracks[t]);
    TrackEvent ev;
    size_t i = 0;
    while (reader.next(ev)) {
      if (i >= tracks[t].size() || !same_event(ev, tracks[t][i])) __builtin_trap();
      ++i;
    }
    if (reader.damaged() || i != tracks[t].size()) __builtin_trap();
  }
  return 0;
}
