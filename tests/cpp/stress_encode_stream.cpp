// A threaded stress run of the engine for ThreadSanitizer (make test-tsan): streams of many small
// batches of file images on several threads, some stopped part way by a flag another thread
// raises, fed by an archive read ahead on its own thread, with packed zip members among them.
// Exits 1 when a result is not what the same input gives on its own.
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/archive/archive_reader.hpp"
#include "core/engine/batch_encoder.hpp"
#include "core/smf/midi_writer.hpp"

using namespace noteloom;

namespace {

std::vector<uint8_t> piece(int seed) {
  MidiDictRecord r;
  r.instrument_msgs = {{"instrument", 0, 0, 0}};
  for (int n = 0; n < 5 + seed % 40; ++n) {
    r.note_msgs.push_back({"note", 40 + (n * 7 + seed) % 50, 120 * n, 120 * n + 90, 60 + n % 40, 120 * n, 0});
  }
  return encode_midi_dict(r).value();
}

// A stored zip of `members`: the reader packs stored members for the encoding threads to check.
std::vector<uint8_t> zip_of(const std::vector<std::vector<uint8_t>>& members) {
  std::vector<uint8_t> out, directory;
  auto u16 = [](std::vector<uint8_t>& b, uint32_t v) { b.push_back(v & 0xff), b.push_back(v >> 8 & 0xff); };
  auto u32 = [&](std::vector<uint8_t>& b, uint32_t v) { u16(b, v & 0xffff), u16(b, v >> 16); };
  for (size_t k = 0; k < members.size(); ++k) {
    const std::string name = std::to_string(k) + ".mid";
    const auto& m = members[k];
    const auto crc = static_cast<uint32_t>(crc32(0L, m.data(), static_cast<uInt>(m.size())));
    const auto offset = static_cast<uint32_t>(out.size());
    for (auto* b : {&out, &directory}) {
      const bool central = b == &directory;
      u32(*b, central ? 0x02014b50 : 0x04034b50);
      if (central) u16(*b, 20);
      u16(*b, 20), u16(*b, 0), u16(*b, 0), u16(*b, 0), u16(*b, 0);
      u32(*b, crc), u32(*b, static_cast<uint32_t>(m.size())), u32(*b, static_cast<uint32_t>(m.size()));
      u16(*b, static_cast<uint32_t>(name.size())), u16(*b, 0);
      if (central) u16(*b, 0), u16(*b, 0), u16(*b, 0), u32(*b, 0), u32(*b, offset);
      b->insert(b->end(), name.begin(), name.end());
      if (!central) b->insert(b->end(), m.begin(), m.end());
    }
  }
  const auto start = static_cast<uint32_t>(out.size());
  out.insert(out.end(), directory.begin(), directory.end());
  u32(out, 0x06054b50), u16(out, 0), u16(out, 0);
  u16(out, static_cast<uint32_t>(members.size())), u16(out, static_cast<uint32_t>(members.size()));
  u32(out, static_cast<uint32_t>(directory.size())), u32(out, start), u16(out, 0);
  return out;
}

bool same(const Result<EncodedPiece>& a, const Result<EncodedPiece>& b) {
  return a ? (b && a.value().ids == b.value().ids && a.value().hash == b.value().hash)
           : (!b && a.error().message == b.error().message);
}

}  // namespace

int main() {
  const AbsTokenizer& tok = AbsTokenizer::shared();
  std::vector<std::vector<uint8_t>> members;
  std::vector<Result<EncodedPiece>> alone;
  for (int k = 0; k < 300; ++k) {
    members.push_back(k % 17 == 3 ? std::vector<uint8_t>{'x'} : piece(k));
    alone.push_back(encode_midi_bytes(members.back(), tok, PipelineOptions{}));
  }
  const std::vector<uint8_t> archive = zip_of(members);
  int failures = 0;
  for (int round = 0; round < 12; ++round) {
    uint8_t stop = 0;
    const bool stopped = round % 3 == 2;
    EncodeStream stream(tok, PipelineOptions{}, 4, &stop);
    ReadAhead ahead(open_archive_image(archive, round % 2 == 0).value(), 7 + round, 1 << 20);
    std::thread stopper;
    if (stopped) {
      stopper = std::thread([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::atomic_ref<uint8_t>(stop).store(1, std::memory_order_relaxed);
      });
    }
    std::vector<ArchiveChunk> chunks;  // kept while their batches are queued
    size_t first = 0, queued = 0;
    auto collect = [&] {
      std::vector<Result<EncodedPiece>> results;
      double seconds;
      while (!stream.next(std::chrono::milliseconds(5), results, seconds)) {
      }
      for (auto& r : results) {
        const bool cancelled = !r && r.error().kind == SkipKind::Cancelled;
        if (!(stopped && cancelled) && !same(r, alone[first])) {
          std::fprintf(stderr, "round %d: input %zu differs\n", round, first);
          ++failures;
        }
        ++first;
      }
      --queued;
    };
    for (;;) {
      ArchiveChunk chunk;
      const auto taken = ahead.take(chunk, std::chrono::milliseconds(50));
      if (taken == ReadAhead::Taken::End) break;
      if (taken == ReadAhead::Taken::NotYet) continue;
      chunks.push_back(std::move(chunk));
      const ArchiveChunk& c = chunks.back();
      std::vector<EncodeInput> inputs;
      for (size_t k = 0; k + 1 < c.offsets.size(); ++k) {
        inputs.emplace_back(std::span<const uint8_t>(c.data.data() + c.offsets[k],
                                                     static_cast<size_t>(c.offsets[k + 1] - c.offsets[k])),
                            c.packing[k]);
      }
      stream.submit(std::move(inputs));
      if (++queued > 2) collect();
    }
    while (queued > 0) collect();
    if (stopper.joinable()) stopper.join();
    if (first != members.size()) {
      std::fprintf(stderr, "round %d: %zu results for %zu inputs\n", round, first, members.size());
      ++failures;
    }
  }
  std::printf("stress_encode_stream: %d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
