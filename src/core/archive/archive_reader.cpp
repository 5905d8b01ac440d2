#include "archive_reader.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "../base/file_io.hpp"

namespace noteloom {

bool is_midi_name(std::string_view name) {
  auto ends_with = [name](std::string_view suffix) {
    return name.size() >= suffix.size() &&
           std::equal(suffix.rbegin(), suffix.rend(), name.rbegin(),
                      [](char s, char c) { return s == std::tolower(static_cast<unsigned char>(c)); });
  };
  return ends_with(".mid") || ends_with(".midi");
}

Error damaged_member(std::string_view what) { return Error{kDamagedArchive + std::string(what), SkipKind::Damaged}; }
Error not_regular_member(std::string_view what) {
  return Error{"not a regular file: " + std::string(what), SkipKind::NotRegular};
}
Error encrypted_member() { return Error{"encrypted zip member", SkipKind::Encrypted}; }
Error unsupported_member(unsigned method) {
  return Error{"zip member compressed with method " + std::to_string(method) + " (stored and deflate are read)",
               SkipKind::Unsupported};
}
Error too_large_member() { return load_failure(kFileTooLarge); }

namespace {

// A tar header block: "ustar" at 257, or (old v7 archives) a sound checksum.
bool looks_like_tar(std::span<const uint8_t> b) {
  if (b.size() < 512) return false;
  if (std::memcmp(b.data() + 257, "ustar", 5) == 0) return true;
  unsigned sum = 0;
  for (size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : b[i];
  unsigned stored = 0;
  for (size_t i = 148; i < 156 && b[i] >= '0' && b[i] <= '7'; ++i) stored = stored * 8 + (b[i] - '0');
  return sum == stored && b[0] != 0;
}

}  // namespace

ArchiveKind archive_kind(std::span<const uint8_t> first) {
  if (first.size() >= 4 && first[0] == 'P' && first[1] == 'K' &&
      ((first[2] == 3 && first[3] == 4) || (first[2] == 5 && first[3] == 6))) {
    return ArchiveKind::Zip;
  }
  if (compression_of(first) != Compression::None) return ArchiveKind::CompressedTar;
  return looks_like_tar(first) ? ArchiveKind::Tar : ArchiveKind::NotArchive;
}

void ArchiveChunk::clear() {
  names.clear();
  reasons.clear();
  kinds.clear();
  data.clear();
  offsets.assign(1, 0);
  packing.clear();
  packed = false;
}

bool ArchiveReader::read(ArchiveChunk& chunk, size_t max_entries, size_t max_bytes) {
  if (ended_) return false;
  const size_t before = chunk.names.size();
  std::string name;
  while (chunk.names.size() - before < std::max<size_t>(max_entries, 1) &&
         (chunk.names.size() == before || chunk.data.size() < max_bytes) && !stop_requested()) {
    name.clear();
    Error skip;
    MemberPacking packing;
    if (!next(name, skip, chunk.data, packing)) {
      ended_ = true;
      break;
    }
    if (skip.kind == SkipKind::None) {
      chunk.offsets.push_back(static_cast<int64_t>(chunk.data.size()));
      chunk.packing.push_back(packing);
      chunk.packed = chunk.packed || packing.packing != Packing::Plain;
    }
    chunk.names.push_back(std::move(name));
    chunk.reasons.push_back(std::move(skip.message));
    chunk.kinds.push_back(skip.kind);
  }
  return chunk.names.size() > before || !ended_;
}

ReadAhead::ReadAhead(std::unique_ptr<ArchiveReader> reader, size_t max_entries, size_t max_bytes, size_t depth)
    : reader_(std::move(reader)),
      max_entries_(max_entries),
      max_bytes_(max_bytes),
      depth_(std::max<size_t>(depth, 1)),
      thread_([this] { run(); }) {}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  reader_->request_stop();
  changed_.notify_all();
  thread_.join();
}

void ReadAhead::run() noexcept {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || ready_.size() < depth_; });
      if (stopping_) return;
    }
    ArchiveChunk chunk;
    bool more = false, failed = false;
    try {
      more = reader_->read(chunk, max_entries_, max_bytes_);
    } catch (...) {  // out of memory: the entries so far stay, the archive ends with a record of why
      chunk.clear();
      chunk.names.emplace_back("<reading stopped>");
      chunk.reasons.emplace_back("out of memory while reading the archive");
      chunk.kinds.push_back(SkipKind::Internal);
      failed = true;
    }
    std::lock_guard lock(mutex_);
    if (more || failed) ready_.push_back(std::move(chunk));
    if (!more) ended_ = true;
    changed_.notify_all();
    if (ended_) return;
  }
}

ReadAhead::Taken ReadAhead::take(ArchiveChunk& out, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [this] { return !ready_.empty() || ended_; })) return Taken::NotYet;
  if (ready_.empty()) return Taken::End;
  out = std::move(ready_.front());
  ready_.pop_front();
  changed_.notify_all();
  return Taken::Chunk;
}

Result<std::unique_ptr<ArchiveReader>> open_archive(const std::string& path, bool pack) {
  auto file = open_file_stream(path);
  if (!file) return file.error();
  uint8_t first[512];
  auto got = read_full(*file.value(), first);
  if (!got) return got.error();
  const std::span<const uint8_t> head(first, got.value());
  switch (archive_kind(head)) {
    case ArchiveKind::Zip:
      return detail::zip_reader(path, pack);
    case ArchiveKind::Tar:
    case ArchiveKind::CompressedTar: {
      auto reopened = open_file_stream(path);  // from the start again: the first bytes are the stream's
      if (!reopened) return reopened.error();
      return detail::tar_reader(decoded_stream(std::move(reopened).value(), compression_of(head)));
    }
    case ArchiveKind::NotArchive:
      break;
  }
  return Error{"not a tar or zip archive"};
}

namespace {

class MemoryStream final : public ByteStream {
 public:
  explicit MemoryStream(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  Result<size_t> read(std::span<uint8_t> out) override {
    const size_t n = std::min(out.size(), bytes_.size() - pos_);
    std::memcpy(out.data(), bytes_.data() + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace

Result<std::unique_ptr<ArchiveReader>> open_archive_image(std::span<const uint8_t> image, bool pack) {
  const auto head = image.first(std::min<size_t>(image.size(), 512));
  switch (archive_kind(head)) {
    case ArchiveKind::Zip:
      return detail::zip_image_reader(image, pack);
    case ArchiveKind::Tar:
    case ArchiveKind::CompressedTar:
      return detail::tar_reader(decoded_stream(std::make_unique<MemoryStream>(image), compression_of(head)));
    case ArchiveKind::NotArchive:
      break;
  }
  return Error{"not a tar or zip archive"};
}

}  // namespace noteloom
