// The zip reader of archive_reader.hpp, over the file mapped into memory: the central directory
// (zip64 included) lists the members; without one, the local headers are walked from the start.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>

#include "../base/file_io.hpp"
#include "archive_reader.hpp"

namespace noteloom::detail {
namespace {

// Little-endian fields of a bounded view: every read checks its bounds.
class Bytes {
 public:
  Bytes(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}
  uint64_t size() const { return size_; }
  bool has(uint64_t at, uint64_t n) const { return at <= size_ && n <= size_ - at; }
  uint16_t u16(uint64_t at) const { return has(at, 2) ? static_cast<uint16_t>(data_[at] | data_[at + 1] << 8) : 0; }
  uint32_t u32(uint64_t at) const { return has(at, 4) ? u16(at) | static_cast<uint32_t>(u16(at + 2)) << 16 : 0; }
  uint64_t u64(uint64_t at) const { return has(at, 8) ? u32(at) | static_cast<uint64_t>(u32(at + 4)) << 32 : 0; }
  bool tag(uint64_t at, uint32_t signature) const { return has(at, 4) && u32(at) == signature; }
  const uint8_t* at(uint64_t offset) const { return data_ + offset; }
  std::string text(uint64_t at, uint64_t n) const {
    return has(at, n) ? std::string(reinterpret_cast<const char*>(data_ + at), n) : std::string();
  }

 private:
  const uint8_t* data_;
  uint64_t size_;
};

constexpr uint32_t kLocalHeader = 0x04034b50, kCentralHeader = 0x02014b50, kEndOfDirectory = 0x06054b50,
                   kZip64End = 0x06064b50, kZip64Locator = 0x07064b50, kDescriptor = 0x08074b50;

struct Member {
  std::string name;
  uint16_t flags = 0, method = 0;
  uint32_t crc = 0;
  uint64_t compressed = 0, size = 0, local = 0;
  uint32_t mode = 0;        // Unix file type and permissions, when the writer was Unix
  bool sizes_known = true;  // false: a local header with a data descriptor after the data
};

const char* unix_kind(uint32_t mode) {
  switch (mode & 0170000) {
    case 0120000:
      return "symbolic link";
    case 0020000:
      return "character device";
    case 0060000:
      return "block device";
    case 0010000:
      return "FIFO";
    case 0140000:
      return "socket";
    default:
      return nullptr;
  }
}

// Zip64's extra field (0x0001): the 64-bit values of the fields that hold all ones, in order.
void read_zip64_extra(const Bytes& b, uint64_t extra, uint64_t length, Member& m, bool has_local) {
  for (uint64_t at = extra; b.has(at, 4) && at + 4 <= extra + length;) {
    const uint16_t id = b.u16(at), size = b.u16(at + 2);
    if (id == 0x0001) {
      uint64_t f = at + 4;
      const uint64_t end = f + size;
      if (m.size == 0xffffffff && f + 8 <= end) m.size = b.u64(f), f += 8;
      if (m.compressed == 0xffffffff && f + 8 <= end) m.compressed = b.u64(f), f += 8;
      if (has_local && m.local == 0xffffffff && f + 8 <= end) m.local = b.u64(f);
      return;
    }
    at += 4 + size;
  }
}

// Raw deflate of at most `available` bytes at `in`, appended to `data`, stopping past `limit` bytes
// (`declared`: the limit is the member's declared size). The problem, or empty.
std::string inflate_raw(const uint8_t* in, uint64_t available, uint64_t limit, bool declared,
                        std::vector<uint8_t>& data, uint64_t& consumed, uint64_t& produced) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return "out of memory";
  const size_t base = data.size();
  std::string problem;
  for (;;) {
    // Room up to the limit and one byte more (which tells a member that inflates past it)
    // (in growing steps either way: a declared size is only a claim, and storage follows what inflates).
    const uint64_t room = std::min<uint64_t>(limit - produced + 1, std::max<uint64_t>(produced, 64 << 10));
    data.resize(base + produced + room);
    z.next_in = const_cast<Bytef*>(in + consumed);
    z.avail_in = static_cast<uInt>(std::min<uint64_t>(available - consumed, UINT_MAX));
    z.next_out = data.data() + base + produced;
    z.avail_out = static_cast<uInt>(room);
    const uInt before_in = z.avail_in, before_out = z.avail_out;
    const int rc = inflate(&z, Z_NO_FLUSH);
    consumed += before_in - z.avail_in;
    produced += before_out - z.avail_out;
    if (produced > limit) {
      problem = declared ? "zip member inflates past its declared size" : kFileTooLarge;
      break;
    }
    if (rc == Z_STREAM_END) break;
    if (rc == Z_BUF_ERROR && consumed == available) {
      problem = "unexpected end of data in a member";
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      problem = std::string("zip member's deflate data: ") + (z.msg != nullptr ? z.msg : "corrupt");
      break;
    }
  }
  inflateEnd(&z);
  data.resize(base + std::min(produced, limit));
  return problem;
}

// The checks of a member inflated (or copied) into data[base, ...) whose sizes were declared.
std::string check_member(const std::vector<uint8_t>& data, size_t base, uint64_t size, uint32_t crc) {
  if (data.size() - base != size) return "zip member shorter than its header says";
  if (crc32(0L, data.data() + base, static_cast<uInt>(data.size() - base)) != crc)
    return "zip member fails its CRC check";
  return {};
}

class ZipReader final : public ArchiveReader {
 public:
  // `mapped` bytes at `map` are unmapped at the end (0: the memory is the caller's).
  ZipReader(const uint8_t* map, uint64_t size, uint64_t mapped, bool pack)
      : b_(map, size), map_(map), mapped_(mapped), pack_(pack) {}
  ~ZipReader() override {
    if (mapped_ > 0) ::munmap(const_cast<uint8_t*>(map_), mapped_);
  }
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  // Reads the central directory; false when there is none to trust (the local headers are walked).
  void start() { from_directory_ = read_directory(); }

 protected:
  bool next(std::string& name, Error& reason, std::vector<uint8_t>& data, MemberPacking& packing) override {
    return from_directory_ ? next_listed(name, reason, data, packing) : next_local(name, reason, data);
  }

 private:
  bool read_directory() {
    if (b_.size() < 22) return false;
    const uint64_t lowest = b_.size() > 22 + 65535 ? b_.size() - 22 - 65535 : 0;
    uint64_t eocd = b_.size() - 22;
    while (!b_.tag(eocd, kEndOfDirectory)) {
      if (eocd == lowest) return false;
      --eocd;
    }
    uint64_t count = b_.u16(eocd + 10), dir_size = b_.u32(eocd + 12), dir = b_.u32(eocd + 16);
    if (eocd >= 20 && b_.tag(eocd - 20, kZip64Locator)) {
      const uint64_t end64 = b_.u64(eocd - 20 + 8);
      if (!b_.tag(end64, kZip64End)) return false;
      count = b_.u64(end64 + 32), dir_size = b_.u64(end64 + 40), dir = b_.u64(end64 + 48);
    }
    if (!b_.has(dir, dir_size) || count > dir_size / 46) return false;
    // Every entry of the directory, however many the count says (old writers wrap it past 65535).
    const uint64_t dir_end = dir + dir_size;
    for (uint64_t at = dir; at < dir_end;) {
      if (!b_.tag(at, kCentralHeader) || !b_.has(at, 46) || at + 46 > dir_end) return false;
      Member m;
      const uint16_t made_by = b_.u16(at + 4);
      m.flags = b_.u16(at + 8);
      m.method = b_.u16(at + 10);
      m.crc = b_.u32(at + 16);
      m.compressed = b_.u32(at + 20);
      m.size = b_.u32(at + 24);
      const uint16_t name_len = b_.u16(at + 28), extra_len = b_.u16(at + 30), comment_len = b_.u16(at + 32);
      if ((made_by >> 8) == 3) m.mode = b_.u32(at + 38) >> 16;
      m.local = b_.u32(at + 42);
      if (!b_.has(at + 46, uint64_t{name_len} + extra_len + comment_len) ||
          at + 46 + name_len + extra_len + comment_len > dir_end) {
        return false;
      }
      m.name = b_.text(at + 46, name_len);
      read_zip64_extra(b_, at + 46 + name_len, extra_len, m, true);
      at += 46 + uint64_t{name_len} + extra_len + comment_len;
      if (!m.name.empty() && m.name.back() != '/' && is_midi_name(m.name)) members_.push_back(std::move(m));
    }
    mark_overlaps();
    return true;
  }

  // Members whose data overlap another's are damage: overlapping entries are how a small zip
  // claims to hold terabytes.
  void mark_overlaps() {
    std::vector<size_t> order(members_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t x, size_t y) { return members_[x].local < members_[y].local; });
    overlapping_.assign(members_.size(), false);
    uint64_t reach = 0;
    for (size_t k = 0; k < order.size(); ++k) {
      const Member& m = members_[order[k]];
      if (k > 0 && m.local < reach) overlapping_[order[k]] = true;
      reach = std::max(reach, m.local + 30 + m.name.size() + std::min<uint64_t>(m.compressed, b_.size()));
    }
  }

  bool next_listed(std::string& name, Error& reason, std::vector<uint8_t>& data, MemberPacking& packing) {
    if (listed_ == members_.size()) return false;
    const size_t k = listed_++;
    Member& m = members_[k];
    name = m.name;
    if (overlapping_[k]) {
      reason = damaged_member("zip member overlaps another member");
      return true;
    }
    const uint64_t at = m.local;
    if (!b_.tag(at, kLocalHeader) || !b_.has(at, 30)) {
      reason = damaged_member("no local header where the directory says");
      return true;
    }
    const uint64_t start = at + 30 + b_.u16(at + 26) + b_.u16(at + 28);
    reason = extract(m, start, data, pack_ ? &packing : nullptr);
    return true;
  }

  // Without a directory: local headers one after another from the start.
  bool next_local(std::string& name, Error& reason, std::vector<uint8_t>& data) {
    while (!walk_ended_) {
      const uint64_t at = walk_;
      if (!b_.tag(at, kLocalHeader)) {
        walk_ended_ = true;
        // The directory was not found: it is missing or cut off.
        name = "<at byte " + std::to_string(at) + ">";
        reason = damaged_member("zip central directory missing or unreadable");
        return true;
      }
      Member m;
      m.flags = b_.u16(at + 6);
      m.method = b_.u16(at + 8);
      m.crc = b_.u32(at + 14);
      m.compressed = b_.u32(at + 18);
      m.size = b_.u32(at + 22);
      const uint16_t name_len = b_.u16(at + 26), extra_len = b_.u16(at + 28);
      m.name = b_.text(at + 30, name_len);
      if (!b_.has(at, 30) || !b_.has(at + 30, uint64_t{name_len} + extra_len)) {
        name = m.name.empty() ? "<at byte " + std::to_string(at) + ">" : m.name;
        reason = damaged_member("unexpected end of data in a header");
        walk_ended_ = true;
        return true;
      }
      read_zip64_extra(b_, at + 30 + name_len, extra_len, m, false);
      m.sizes_known = !(m.flags & 0x08);
      const uint64_t start = at + 30 + name_len + extra_len;
      const bool wanted = !m.name.empty() && m.name.back() != '/' && is_midi_name(m.name);
      if (!wanted && m.sizes_known && b_.has(start, m.compressed) && start + m.compressed > at) {
        walk_ = start + m.compressed;
        continue;
      }
      Error verdict = extract(m, start, wanted ? data : scratch_);
      scratch_.clear();
      if (!walk_ended_ && walk_ <= at) {  // sizes that wrap around lead back: the walk can go no further
        walk_ended_ = true;
        if (verdict.kind == SkipKind::None) verdict = damaged_member("zip member of impossible size");
      }
      // A member left out is passed over, unless its damage ends the walk (that is recorded).
      if (!wanted && !walk_ended_) continue;
      name = m.name.empty() ? "<at byte " + std::to_string(at) + ">" : m.name;
      reason = std::move(verdict);
      return true;
    }
    return false;
  }

  // Checks and inflates member `m` (its data at `start`) into `data`; the reason it is skipped,
  // or empty. In a walk of local headers, also finds where the next header starts. With
  // `packing` (members listed by the directory), the member's data is only copied, packed, for
  // unpack_member to inflate and check on an encoding thread.
  Error extract(Member& m, uint64_t start, std::vector<uint8_t>& data, MemberPacking* packing = nullptr) {
    if (auto refusal = refused(m, start)) return *refusal;
    // Packed only when the stored data is no larger than deflate can make of the declared size (so
    // that a chunk never holds more than the bound); otherwise the reader inflates, reading no more
    // input than it needs.
    const bool plausible = m.method == 8 ? m.compressed <= m.size + m.size / 256 + 1024 : m.compressed == m.size;
    if (packing != nullptr && plausible) {
      data.insert(data.end(), b_.at(start), b_.at(start) + m.compressed);
      packing->packing = m.method == 8 ? Packing::ZipDeflate : Packing::ZipStored;
      packing->crc = m.crc;
      packing->size = m.size;
      return Error{};
    }
    const size_t base = data.size();
    uint64_t consumed = 0;
    std::string problem = inflate_member(m, start, data, consumed);
    if (problem.empty() && m.sizes_known) problem = check_member(data, base, m.size, m.crc);
    if (!from_directory_) step_past(m, start, consumed, problem);
    if (problem.empty() && !m.sizes_known &&
        crc32(0L, data.data() + base, static_cast<uInt>(data.size() - base)) != m.crc) {
      problem = "zip member fails its CRC check";
    }
    if (problem.empty()) return Error{};
    data.resize(base);
    if (problem == kFileTooLarge) {
      if (!from_directory_ && !m.sizes_known) walk_ended_ = true;  // where it ends is not known
      return too_large_member();
    }
    return walk_failure(problem);
  }

  // Damage: in a walk of local headers it ends the walk.
  Error walk_failure(const std::string& what) {
    if (!from_directory_) walk_ended_ = true;
    return damaged_member(what);
  }

  // Why member `m` is not read at all (not a regular file, encrypted, a method or size it cannot
  // have), or nothing. In a walk of local headers, also steps past its data where that is known.
  std::optional<Error> refused(const Member& m, uint64_t start) {
    const bool walking = !from_directory_;
    if (const char* kind = unix_kind(m.mode)) return not_regular_member(kind);
    if (m.sizes_known && !b_.has(start, m.compressed)) return walk_failure("unexpected end of data in a member");
    if (m.flags & 0x01) {
      if (walking && !m.sizes_known) return walk_failure("encrypted zip member of unknown size");
      if (walking) walk_ = start + m.compressed;
      return encrypted_member();
    }
    if (m.method != 0 && m.method != 8) {
      if (walking && !m.sizes_known) return walk_failure("zip member of unknown size");
      if (walking) walk_ = start + m.compressed;
      return unsupported_member(m.method);
    }
    if (m.sizes_known && m.size > kMaxFileBytes) {
      if (walking) walk_ = start + m.compressed;
      return too_large_member();
    }
    // (Only a walk meets a member without sizes; the directory lists them all.)
    if (m.method == 0 && !m.sizes_known) return walk_failure("stored zip member of unknown size");
    return std::nullopt;
  }

  // Copies or inflates the member's data onto `data`, up to its declared size (or the bound when
  // none was declared); what is wrong with it, or empty. `consumed`: the input bytes it took.
  std::string inflate_member(const Member& m, uint64_t start, std::vector<uint8_t>& data, uint64_t& consumed) {
    const uint64_t limit = m.sizes_known ? m.size : kMaxFileBytes;
    uint64_t produced = 0;
    if (m.method == 0) {
      consumed = m.compressed;
      if (m.compressed != m.size) return "stored zip member whose sizes differ";
      data.insert(data.end(), b_.at(start), b_.at(start) + m.compressed);
      return {};
    }
    return inflate_raw(b_.at(start), m.sizes_known ? m.compressed : b_.size() - start, limit, m.sizes_known, data,
                       consumed, produced);
  }

  // In a walk of local headers: where the next header starts, past the data and, for a member
  // without sizes, its data descriptor (which gives the CRC).
  void step_past(Member& m, uint64_t start, uint64_t consumed, std::string& problem) {
    walk_ = start + consumed;
    if (m.sizes_known || !problem.empty()) return;
    uint64_t d = walk_;
    if (b_.tag(d, kDescriptor)) d += 4;
    m.crc = b_.u32(d);
    const bool wide = b_.u32(d + 4) != consumed && b_.u64(d + 4) == consumed;
    walk_ = d + (wide ? 20 : 12);
    if (!b_.has(d, wide ? 20 : 12)) problem = "unexpected end of data in a member";
  }

  Bytes b_;
  const uint8_t* map_;
  uint64_t mapped_;
  bool pack_;
  bool from_directory_ = false;
  std::vector<Member> members_;
  std::vector<bool> overlapping_;
  std::vector<uint8_t> scratch_;  // members walked over
  size_t listed_ = 0;
  uint64_t walk_ = 0;
  bool walk_ended_ = false;
};

}  // namespace

Result<std::unique_ptr<ArchiveReader>> zip_reader(const std::string& path, bool pack) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error{os_error_text(errno)};
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return Error{os_error_text(err)};
  }
  const auto size = static_cast<uint64_t>(st.st_size);
  void* map = size > 0 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
  const int err = errno;
  ::close(fd);
  if (map == MAP_FAILED) return Error{os_error_text(err)};
  if (map != nullptr) ::madvise(map, size, MADV_SEQUENTIAL);
  auto reader = std::make_unique<ZipReader>(static_cast<const uint8_t*>(map), size, size, pack);
  reader->start();
  return std::unique_ptr<ArchiveReader>(std::move(reader));
}

std::unique_ptr<ArchiveReader> zip_image_reader(std::span<const uint8_t> image, bool pack) {
  auto reader = std::make_unique<ZipReader>(image.data(), image.size(), 0, pack);
  reader->start();
  return reader;
}

}  // namespace noteloom::detail

namespace noteloom {

Status unpack_member(std::span<const uint8_t> stored, const MemberPacking& how, std::vector<uint8_t>& out) {
  out.clear();
  std::string problem;
  if (how.packing == Packing::ZipDeflate) {
    uint64_t consumed = 0, produced = 0;
    problem = detail::inflate_raw(stored.data(), stored.size(), how.size, true, out, consumed, produced);
  } else {
    out.assign(stored.begin(), stored.end());
  }
  if (problem.empty() && how.packing != Packing::Plain) problem = detail::check_member(out, 0, how.size, how.crc);
  if (problem.empty()) return ok_status();
  return damaged_member(problem);
}

}  // namespace noteloom
