// Sequential byte streams for the archive readers: a file read in large blocks, and the gzip,
// bzip2, xz and zstd decoders over it. Every decoder checks what its format checks (gzip's CRC-32
// and length trailer, bzip2's block CRCs, xz's check, zstd's frame checksum when present), so
// damage is an error, never an early end; concatenated streams (pigz, pbzip2, multi-frame zstd)
// read as one. A truncated stream is an error too.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "../base/result.hpp"

namespace noteloom {

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // Reads up to out.size() bytes: fewer only at the end (0 then); an error for damage.
  virtual Result<size_t> read(std::span<uint8_t> out) = 0;
  // Reads and drops `n` bytes (a plain file seeks); the number dropped is less than `n` only at
  // the end.
  virtual Result<uint64_t> skip(uint64_t n);
};

enum class Compression : uint8_t { None, Gzip, Bzip2, Xz, Zstd };

// The compression a stream's first bytes announce.
Compression compression_of(std::span<const uint8_t> first);

// A regular file, read from its start.
Result<std::unique_ptr<ByteStream>> open_file_stream(const std::string& path);

// `inner` decoded by `c` (None gives `inner` back).
std::unique_ptr<ByteStream> decoded_stream(std::unique_ptr<ByteStream> inner, Compression c);

// Reads until `out` is full or the stream ends.
Result<size_t> read_full(ByteStream& stream, std::span<uint8_t> out);

}  // namespace noteloom
