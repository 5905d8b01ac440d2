// MIDI files inside tar and zip archives, read as a stream, once, never unpacked to disk.
//
// The rules, all of them:
// - Kinds: a tar archive, plain or compressed with gzip, bzip2, xz or zstd (byte_stream.hpp), or
//   a zip archive; recognized by their leading bytes, whatever the file is called.
// - Entries: regular-file members whose names end in ".mid" or ".midi" (any case), in archive
//   order (tar: stream order; zip: central directory order). Other members are left out, except
//   that a member with such a name which is not a regular file (symbolic or hard link, device,
//   FIFO), is encrypted, uses a compression method other than stored or deflate, or is larger than
//   kMaxFileBytes is an entry recorded as skipped, with its reason. Nothing is ever written to
//   disk and no link is followed: names ("../x", "/etc/x") are only names.
// - Names: as stored, as bytes (tar: pax "path", then GNU long name, then ustar prefix/name;
//   zip: the central directory's name).
// - Damage (a bad tar header, a stream that fails its checks or ends early, a zip member that
//   fails its CRC or inflates past its declared size) is an entry recorded as skipped, named by
//   the member being read or, when none is known, "<at byte N>" (N: its offset in the decoded
//   stream). A tar reader then looks for the next sound header; a zip reader with an intact
//   central directory goes on with the next member; a stream that cannot be decoded further ends
//   the archive. A zip whose central directory is missing or broken is read from its local
//   headers, as far as they are whole.
// - Bounds: a member is never held past kMaxFileBytes (an inflating zip member stops there), so
//   memory stays bounded by the chunk sizes asked for and time by the archive's decoded size.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "../base/result.hpp"
#include "byte_stream.hpp"

namespace noteloom {

// Whether an archive member of this name is an input: it ends in ".mid" or ".midi", any case.
bool is_midi_name(std::string_view name);

enum class ArchiveKind : uint8_t { NotArchive, Tar, CompressedTar, Zip };

// The kind the first bytes of a file announce (512 suffice for a tar header).
ArchiveKind archive_kind(std::span<const uint8_t> first);

// How a member read is held: as its bytes, or as a zip member's data as stored, to be inflated and
// checked by unpack_member on whichever thread encodes it (the reader only copies it, so the
// inflating runs on every encoding thread instead of the one that reads).
enum class Packing : uint8_t { Plain, ZipStored, ZipDeflate };
struct MemberPacking {
  Packing packing = Packing::Plain;
  uint8_t unused[3]{};
  uint32_t crc = 0;   // the CRC-32 the archive declares
  uint64_t size = 0;  // the size the archive declares
};
static_assert(sizeof(MemberPacking) == 16, "the binding hands these on as 16-byte records");

// A packed member's bytes in `out` (replacing its contents), or the damage: what the reader reports
// of the same member when it inflates it itself ("damaged archive: ...").
Status unpack_member(std::span<const uint8_t> stored, const MemberPacking& how, std::vector<uint8_t>& out);

// Entries of an archive, a chunk at a time.
struct ArchiveChunk {
  std::vector<std::string> names;      // every entry, in archive order
  std::vector<std::string> reasons;    // per entry: why it is skipped, or empty for a member read
  std::vector<SkipKind> kinds;         // per entry: the kind of its reason (None for a member read)
  std::vector<uint8_t> data;           // the members read, end to end
  std::vector<int64_t> offsets{0};     // member k (k-th entry with no reason) is data[offsets[k], offsets[k+1])
  std::vector<MemberPacking> packing;  // per member read
  bool packed = false;                 // whether any member is not Plain
  void clear();
};

class ArchiveReader {
 public:
  virtual ~ArchiveReader() = default;
  // Appends the next entries to `chunk` until it holds `max_entries` entries or `max_bytes` of data
  // (at least one entry), or the archive ends. Returns false when the archive had ended before.
  bool read(ArchiveChunk& chunk, size_t max_entries, size_t max_bytes);
  // Asks a read on another thread to end soon (within a MiB of data): what it has not read is
  // left out.
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }

 protected:
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }
  // One entry: a member's bytes appended to `data` (held as `packing` says) with `skip` left of kind
  // None, or why it is skipped. False at the end of the archive.
  virtual bool next(std::string& name, Error& skip, std::vector<uint8_t>& data, MemberPacking& packing) = 0;

 private:
  bool ended_ = false;
  std::atomic<bool> stop_{false};
};

// Reads chunks of an archive ahead, on a thread of its own, at most `depth` chunks beyond the one
// taken: the decoding (gzip's inflating above all) runs beside the caller, which hands chunks to
// the engine and writes results. Destroying it stops the thread after the chunk it is on.
class ReadAhead {
 public:
  ReadAhead(std::unique_ptr<ArchiveReader> reader, size_t max_entries, size_t max_bytes, size_t depth = 2);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  enum class Taken : uint8_t { Chunk, End, NotYet };
  // The next chunk into `out`, waiting at most `timeout` for it.
  Taken take(ArchiveChunk& out, std::chrono::milliseconds timeout);

 private:
  void run() noexcept;
  std::unique_ptr<ArchiveReader> reader_;
  const size_t max_entries_, max_bytes_, depth_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<ArchiveChunk> ready_;
  bool ended_ = false, stopping_ = false;
  std::thread thread_;  // last: it starts once the members above exist
};

// Opens the archive at `path` (its kind found from its first bytes). An error when the file cannot
// be opened or is no archive of a kind above. With `pack`, zip members listed by the central
// directory are handed on packed (for the encoding threads to inflate: worth it when they have
// every core); otherwise the reader inflates them (worth it when a core is left for it).
Result<std::unique_ptr<ArchiveReader>> open_archive(const std::string& path, bool pack = false);

// The same over an archive image in memory, which must outlive the reader.
Result<std::unique_ptr<ArchiveReader>> open_archive_image(std::span<const uint8_t> image, bool pack = false);

// The reasons entries are skipped for, with their kinds.
inline constexpr const char* kDamagedArchive = "damaged archive: ";
Error damaged_member(std::string_view what);      // "damaged archive: WHAT"
Error not_regular_member(std::string_view what);  // "not a regular file: WHAT" (symbolic link, ...)
Error encrypted_member();                         // "encrypted zip member"
Error unsupported_member(unsigned method);        // "zip member compressed with method N ..."
Error too_large_member();                         // what the engine says of a file past kMaxFileBytes

namespace detail {
// The format readers behind open_archive.
std::unique_ptr<ArchiveReader> tar_reader(std::unique_ptr<ByteStream> stream);
Result<std::unique_ptr<ArchiveReader>> zip_reader(const std::string& path, bool pack);
std::unique_ptr<ArchiveReader> zip_image_reader(std::span<const uint8_t> image, bool pack);
}  // namespace detail

}  // namespace noteloom
