// Whole-file reads and writes with the operating system's error texts.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "result.hpp"

namespace noteloom {

// Storage for file contents that keeps its capacity from one read to the next, so that reading
// many files allocates (and faults in pages) only when a file is larger than all before it.
class ReadBuffer {
 public:
  std::span<const uint8_t> bytes() const { return {data_.get(), size_}; }
  // Drops the storage when it has grown past `max_kept` bytes.
  void trim(size_t max_kept);

 private:
  friend Status read_file(const std::string& path, ReadBuffer& out, std::string* canonical,
                          Status (*accept)(std::span<const uint8_t>));
  uint8_t* reserve(size_t capacity);
  Status read_rest(int fd, std::span<const uint8_t> first, size_t capacity, bool ended, size_t& used);

  std::unique_ptr<uint8_t[]> data_;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

// Files larger than this are refused before they are read: no file the loader takes comes near.
inline constexpr size_t kMaxFileBytes = size_t{256} << 20;
inline constexpr const char* kFileTooLarge = "file larger than 256 MiB";
// How an input that could not be loaded is reported: "Failed to load MIDI file: WHY", of kind
// TooLarge when WHY is kFileTooLarge, else LoadFailed.
inline constexpr const char* kLoadFailed = "Failed to load MIDI file: ";
Error load_failure(const std::string& why);
inline constexpr const char* kNotAFile = "not a regular file or pipe";
// How long a pipe waits for its first bytes (its writer may open it after us).
inline constexpr int kPipeWriterWaitMs = 5000;
inline constexpr const char* kNoWriter = "nothing came through the pipe within 5 s";
// How many leading bytes `accept` (below) is shown: enough for a file signature and a wrapper's.
inline constexpr size_t kPeekBytes = 16;
// Files up to this size are read whole before `accept` looks at them.
inline constexpr size_t kPeekAbove = size_t{1} << 20;

// Reads the whole file into `out`: a regular file with one read call (more only if the kernel
// returns short reads), a pipe in growing steps up to kMaxFileBytes. Devices and sockets are
// refused without a read (/dev/zero never ends); a pipe with no writer is waited for
// kPipeWriterWaitMs at most, never forever.
// `accept`, when given, sees the first kPeekBytes bytes (all of a shorter file), before the rest
// is read when the file is larger than kPeekAbove or a pipe, so that a file of the wrong kind costs
// one small read whatever its size; its error ends the read. With `canonical` set, also stores the file's absolute path
// with links resolved, or the path as given when it has none.
Status read_file(const std::string& path, ReadBuffer& out, std::string* canonical = nullptr,
                 Status (*accept)(std::span<const uint8_t> first) = nullptr);

// Creates or truncates `path` and writes all of `bytes`.
Status write_file(const std::string& path, std::span<const uint8_t> bytes);

// Absolute path with symbolic links resolved, or an error.
Result<std::string> canonical_path(const std::string& path);

// "No such file or directory (os error 2)"
std::string os_error_text(int err);

}  // namespace noteloom
