// Fuzzes the archive readers (tar under every decoder, zip). Invariants: reading never crashes and
// always ends; every entry has a name; the offsets of the members read increase within the data,
// one per entry without a reason; no member read (or unpacked) is larger than the file bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "core/archive/archive_reader.hpp"
#include "core/base/file_io.hpp"

using namespace noteloom;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The last byte picks whether zip members are packed; packed ones must unpack or fail cleanly.
  const bool pack = size > 0 && (data[size - 1] & 1);
  auto opened = open_archive_image({data, size}, pack);
  if (!opened) return 0;
  std::vector<uint8_t> unpacked;
  ArchiveChunk chunk;
  size_t rounds = 0;
  while (opened.value()->read(chunk, 3, 1 << 16)) {
    size_t members = 0;
    for (size_t k = 0; k < chunk.names.size(); ++k) members += chunk.reasons[k].empty();
    if (chunk.names.size() != chunk.reasons.size() || chunk.offsets.size() != members + 1) std::abort();
    if (chunk.packing.size() != members) std::abort();
    for (size_t k = 0; k + 1 < chunk.offsets.size(); ++k) {
      const int64_t length = chunk.offsets[k + 1] - chunk.offsets[k];
      if (length < 0 || static_cast<uint64_t>(length) > kMaxFileBytes) std::abort();
      const std::span<const uint8_t> stored(chunk.data.data() + chunk.offsets[k], static_cast<size_t>(length));
      if (Status s = unpack_member(stored, chunk.packing[k], unpacked); s && unpacked.size() > kMaxFileBytes) {
        std::abort();
      }
    }
    if (static_cast<uint64_t>(chunk.offsets.back()) != chunk.data.size()) std::abort();
    for (const auto& name : chunk.names) {
      if (name.empty()) std::abort();
    }
    chunk.clear();
    if (++rounds > (size_t{1} << 24)) std::abort();  // entries never outnumber the input's bytes this much
  }
  return 0;
}
