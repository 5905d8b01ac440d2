// Fuzzes the archive readers (tar under every decoder, zip). Invariants: reading never crashes and
// always ends; every entry has a name; the offsets of the members read increase within the data,
// one per entry without a reason; no member read is larger than the file bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/archive_reader.hpp"
#include "core/file_io.hpp"

using namespace noteloom;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto opened = open_archive_image({data, size});
  if (!opened) return 0;
  ArchiveChunk chunk;
  size_t rounds = 0;
  while (opened.value()->read(chunk, 3, 1 << 16)) {
    size_t members = 0;
    for (size_t k = 0; k < chunk.names.size(); ++k) members += chunk.reasons[k].empty();
    if (chunk.names.size() != chunk.reasons.size() || chunk.offsets.size() != members + 1) std::abort();
    for (size_t k = 0; k + 1 < chunk.offsets.size(); ++k) {
      const int64_t length = chunk.offsets[k + 1] - chunk.offsets[k];
      if (length < 0 || static_cast<uint64_t>(length) > kMaxFileBytes) std::abort();
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
