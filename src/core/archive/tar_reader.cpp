// The tar reader of archive_reader.hpp: ustar, pax (path and size records) and GNU (long names,
// base-256 sizes) headers over a decoded byte stream.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "../base/file_io.hpp"
#include "archive_reader.hpp"

namespace noteloom::detail {
namespace {

constexpr size_t kBlock = 512;
// Pax and GNU long-name records hold a name and a few numbers: larger ones are damage.
constexpr uint64_t kMaxExtendedHeader = uint64_t{1} << 20;

using Block = std::array<uint8_t, kBlock>;

bool all_zero(const Block& b) {
  return std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0; });
}

// The checksum field against the header's sum, taken with unsigned bytes (POSIX) or signed ones
// (some old writers).
bool checksum_ok(const Block& b) {
  unsigned stored = 0;
  size_t i = 148;
  while (i < 156 && b[i] == ' ') ++i;
  bool digits = false;
  for (; i < 156 && b[i] >= '0' && b[i] <= '7'; ++i, digits = true) stored = stored * 8 + (b[i] - '0');
  if (!digits) return false;
  long unsigned_sum = 0, signed_sum = 0;
  for (size_t k = 0; k < kBlock; ++k) {
    const uint8_t v = (k >= 148 && k < 156) ? ' ' : b[k];
    unsigned_sum += v;
    signed_sum += static_cast<int8_t>(v);
  }
  return unsigned_sum == static_cast<long>(stored) || signed_sum == static_cast<long>(stored);
}

// A numeric field: octal digits (space or NUL padded), or GNU's base-256 with the high bit set.
std::optional<uint64_t> number(const uint8_t* field, size_t size) {
  if (field[0] & 0x80) {
    if (field[0] & 0x40) return std::nullopt;  // negative
    uint64_t v = field[0] & 0x3f;
    for (size_t i = 1; i < size; ++i) {
      if (v >> 55) return std::nullopt;
      v = (v << 8) | field[i];
    }
    return v;
  }
  size_t i = 0;
  while (i < size && field[i] == ' ') ++i;
  uint64_t v = 0;
  bool digits = false;
  for (; i < size && field[i] >= '0' && field[i] <= '7'; ++i, digits = true) {
    if (v >> 60) return std::nullopt;
    v = v * 8 + (field[i] - '0');
  }
  if (i < size && field[i] != ' ' && field[i] != 0) return std::nullopt;
  return digits ? std::optional<uint64_t>(v) : std::optional<uint64_t>(0);
}

std::string field_text(const uint8_t* field, size_t size) {
  const auto* end = static_cast<const uint8_t*>(std::memchr(field, 0, size));
  return std::string(reinterpret_cast<const char*>(field), end ? static_cast<size_t>(end - field) : size);
}

const char* kind_of_type(uint8_t type) {
  switch (type) {
    case '1':
      return "hard link";
    case '2':
      return "symbolic link";
    case '3':
      return "character device";
    case '4':
      return "block device";
    case '6':
      return "FIFO";
    case 'S':
      return "sparse file";
    default:
      return "special member";
  }
}

std::string at_byte(uint64_t offset) { return "<at byte " + std::to_string(offset) + ">"; }

class TarReader final : public ArchiveReader {
 public:
  explicit TarReader(std::unique_ptr<ByteStream> stream) : stream_(std::move(stream)) {}

 protected:
  bool next(std::string& name, Error& reason, std::vector<uint8_t>& data, MemberPacking&) override {
    while (!ended_ && !stop_requested()) {
      if (auto entry = next_entry(name, reason, data)) return *entry;
    }
    return false;
  }

 private:
  // One header and what it holds: true for an entry, false at the end, nothing for a member that is
  // left out (the caller goes on).
  std::optional<bool> next_entry(std::string& name, Error& reason, std::vector<uint8_t>& data) {
    Block h;
    const uint64_t header_at = pos_;
    auto got = read_block(h);
    if (!got) return damage(header_at, name, reason, got.error().message);
    if (got.value() == 0) return end(name, reason);
    if (got.value() < kBlock) return damage(header_at, name, reason, "unexpected end of data in a header");
    if (all_zero(h)) return end(name, reason);  // the end-of-archive marker
    if (!checksum_ok(h) || !number(h.data() + 124, 12)) return resync(header_at, name, reason);

    const uint8_t type = h[156];
    if (type == 'x' || type == 'g' || type == 'L' || type == 'K') {
      // Extended headers describe the next member header (their own size is their own header's);
      // pax globals apply to all and are not needed.
      const uint64_t own = *number(h.data() + 124, 12);
      if (own > kMaxExtendedHeader) return damage(header_at, name, reason, "an extended header too large");
      std::vector<uint8_t> text(own);
      if (auto r = read_payload(text); !r) return damage(header_at, name, reason, r.error().message);
      if (type == 'x') parse_pax(text);
      if (type == 'L') long_name_ = field_text(text.data(), text.size());
      return std::nullopt;
    }
    const uint64_t size = pax_size_ ? *pax_size_ : *number(h.data() + 124, 12);
    std::string stored = pax_path_ ? *pax_path_ : long_name_ ? *long_name_ : header_name(h);
    pax_path_.reset();
    pax_size_.reset();
    long_name_.reset();
    const bool directory = type == '5' || (type == 0 && !stored.empty() && stored.back() == '/');
    const bool regular = !directory && (type == '0' || type == 0 || type == '7');
    // A hard link's size field is the linked file's, with no data behind it in most writers.
    const uint64_t payload = (type == '1' || type == '2' || directory) ? 0 : size;
    if (directory || !is_midi_name(stored)) {
      if (auto r = skip_payload(payload); !r) return damage(header_at, name, reason, r.error().message);
      return std::nullopt;
    }
    name = std::move(stored);
    if (!regular || size > kMaxFileBytes) {
      reason = !regular ? not_regular_member(kind_of_type(type)) : too_large_member();
      if (auto r = skip_payload(payload); !r) return damage(header_at, name, reason, r.error().message);
      return true;
    }
    const size_t start = data.size();
    if (auto r = read_member(data, size); !r) {
      data.resize(start);
      return damage(header_at, name, reason, r.error().message);
    }
    return true;
  }

  // A member's `size` bytes appended to `data` as they arrive (a header may claim more than the
  // stream holds: storage grows with what is read), then the padding.
  Status read_member(std::vector<uint8_t>& data, uint64_t size) {
    const size_t start = data.size();
    uint64_t done = 0;
    while (done < size) {
      if (stop_requested()) return Error{"stopped"};
      const size_t step = static_cast<size_t>(std::min<uint64_t>(size - done, std::max<uint64_t>(done, 1 << 16)));
      data.resize(start + done + step);
      auto got = read_full(*stream_, {data.data() + start + done, step});
      if (!got) return got.error();
      pos_ += got.value();
      done += got.value();
      if (got.value() < step) return Error{"unexpected end of data in a member"};
    }
    return skip_bytes(padding(size));
  }

  static std::string header_name(const Block& h) {
    std::string name = field_text(h.data(), 100);
    if (std::memcmp(h.data() + 257, "ustar", 5) == 0 && h[345] != 0) {
      name = field_text(h.data() + 345, 155) + "/" + name;  // ustar's prefix
    }
    return name;
  }

  // Pax records "LENGTH key=value\n": the path and size of the next member.
  void parse_pax(const std::vector<uint8_t>& text) {
    size_t i = 0;
    while (i < text.size()) {
      size_t length = 0, k = i;
      while (k < text.size() && text[k] >= '0' && text[k] <= '9' && length < text.size()) {
        length = length * 10 + (text[k++] - '0');
      }
      // "LENGTH key=value\n": the length counts itself, the space, the record and its newline
      if (k >= text.size() || text[k] != ' ' || length < k - i + 2 || i + length > text.size() ||
          text[i + length - 1] != '\n') {
        return;
      }
      const std::string_view record(reinterpret_cast<const char*>(text.data()) + k + 1, i + length - k - 2);
      const size_t eq = record.find('=');
      if (eq != std::string_view::npos) {
        const std::string_view key = record.substr(0, eq), value = record.substr(eq + 1);
        if (key == "path") pax_path_ = std::string(value);
        if (key == "size") {
          uint64_t v = 0;
          bool good = !value.empty();
          for (char c : value) good = good && c >= '0' && c <= '9' && !(v >> 59), v = v * 10 + (c - '0');
          if (good) pax_size_ = v;
        }
      }
      i += length;
    }
  }

  Result<size_t> read_block(Block& b) {
    if (pushed_) {
      pushed_ = false;
      b = resume_;
      pos_ += kBlock;
      return kBlock;
    }
    auto got = read_full(*stream_, b);
    if (got) pos_ += got.value();
    return got;
  }

  // A member's data and the padding to the next block.
  Status read_payload(std::span<uint8_t> out) {
    auto got = read_full(*stream_, out);
    if (!got) return got.error();
    pos_ += got.value();
    if (got.value() < out.size()) return Error{"unexpected end of data in a member"};
    return skip_bytes(padding(out.size()));
  }
  Status skip_payload(uint64_t size) {
    if (Status s = skip_bytes(size); !s) return s;
    return skip_bytes(padding(size));
  }
  // Drops n bytes, a MiB at a time so that a stop request is seen within one.
  Status skip_bytes(uint64_t n) {
    while (n > 0) {
      if (stop_requested()) return Error{"stopped"};
      const uint64_t step = std::min<uint64_t>(n, 1 << 20);
      auto got = stream_->skip(step);
      if (!got) return got.error();
      pos_ += got.value();
      n -= got.value();
      if (got.value() < step) return Error{"unexpected end of data in a member"};
    }
    return ok_status();
  }
  static uint64_t padding(uint64_t size) { return (kBlock - size % kBlock) % kBlock; }

  // A header that fails its checksum: the damage is one entry, and reading goes on at the next
  // block that is a sound header (scanned block by block: the bad header's size cannot be trusted).
  std::optional<bool> resync(uint64_t header_at, std::string& name, Error& reason) {
    Block b;
    for (;;) {
      const uint64_t at = pos_;
      auto got = read_block(b);
      if (!got || got.value() < kBlock || stop_requested()) {
        ended_ = true;
        break;
      }
      if (!all_zero(b) && checksum_ok(b) && number(b.data() + 124, 12)) {
        resume_ = b;
        resume_at_ = at;
        break;
      }
    }
    name = at_byte(header_at);
    reason =
        damaged_member("bad tar header at byte " + std::to_string(header_at) +
                       (ended_ ? "; no sound header after it" : "; went on at byte " + std::to_string(resume_at_)));
    pax_path_.reset();
    pax_size_.reset();
    long_name_.reset();
    if (!ended_) pushed_ = true, pos_ = resume_at_;
    return true;
  }

  // The damage of a stream or member: recorded, and the archive ends (nothing after it can be
  // located).
  std::optional<bool> damage(uint64_t header_at, std::string& name, Error& reason, const std::string& what) {
    if (name.empty()) name = at_byte(header_at);
    reason = damaged_member(what);
    ended_ = true;
    return true;
  }

  // The end-of-archive marker, or the stream's end. What follows is still decoded, so that a
  // compressed stream's trailer (gzip's CRC) is checked: damage there is recorded too.
  std::optional<bool> end(std::string& name, Error& reason) {
    ended_ = true;
    const uint64_t at = pos_;
    auto rest = stream_->skip(UINT64_MAX);
    if (rest) return false;
    name = at_byte(at);
    reason = damaged_member(rest.error().message);
    return true;
  }

  std::unique_ptr<ByteStream> stream_;
  uint64_t pos_ = 0;  // offset in the decoded stream
  // What extended headers said of the next member header: pax's path and size come first, then a
  // GNU long name.
  std::optional<std::string> pax_path_, long_name_;
  std::optional<uint64_t> pax_size_;
  Block resume_{};  // a sound header that resync() found, read again as the next block
  uint64_t resume_at_ = 0;
  bool pushed_ = false, ended_ = false;
};

}  // namespace

std::unique_ptr<ArchiveReader> tar_reader(std::unique_ptr<ByteStream> stream) {
  return std::make_unique<TarReader>(std::move(stream));
}

}  // namespace noteloom::detail
