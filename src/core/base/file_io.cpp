#include "file_io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace noteloom {
namespace {

constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now so that a failing close (e.g. deferred write errors) is reported.
  int close() { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

}  // namespace

std::string os_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

uint8_t* ReadBuffer::reserve(size_t capacity) {
  if (capacity > capacity_) {
    data_.reset();                       // release first: the old contents are not needed
    capacity_ = 0;                       // still true if the allocation below fails
    data_.reset(new uint8_t[capacity]);  // not zero-filled: read() fills what is used
    capacity_ = capacity;
  }
  return data_.get();
}

void ReadBuffer::trim(size_t max_kept) {
  if (capacity_ <= max_kept) return;
  data_.reset();
  capacity_ = size_ = 0;
}

namespace {

// The kernel's name for an open file: one system call where realpath needs one per path component.
// Only an absolute name of a file that still exists is trusted; anything else goes to realpath.
bool fd_path(int fd, std::string& out) {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t n = ::readlink(link, target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target || target[0] != '/') return false;
  const std::string_view name(target, static_cast<size_t>(n));
  if (name.ends_with(" (deleted)")) return false;
  out.assign(name);
  return true;
}

}  // namespace

namespace {

// Opens `path` for reading and checks what it is: a regular file within kMaxFileBytes, or a pipe.
// Non-blocking only while opening: a pipe with no writer would otherwise hold the open forever.
Status open_input(const std::string& path, Fd& fd, struct stat& st) {
  if (has_nul(path)) return Error{kNulInPath};
  fd = Fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return Error{os_error_text(errno)};
  if (::fstat(fd.get(), &st) != 0) return Error{os_error_text(errno)};
  if (S_ISDIR(st.st_mode)) return Error{os_error_text(EISDIR)};
  const bool regular = S_ISREG(st.st_mode);
  if (!regular && !S_ISFIFO(st.st_mode)) return Error{kNotAFile};
  if (regular && static_cast<uint64_t>(st.st_size) > kMaxFileBytes) return Error{kFileTooLarge};
  return ok_status();
}

// A pipe's writer may come after us: waits for it (or its data) a while, then makes reads block.
// (Reads of a regular file never wait: the flag stays as it is there.)
Status wait_for_writer(int fd) {
  pollfd ready{fd, POLLIN, 0};
  int polled;
  while ((polled = ::poll(&ready, 1, kPipeWriterWaitMs)) < 0 && errno == EINTR) {
  }
  if (polled < 0) return Error{os_error_text(errno)};
  if (polled == 0) return Error{kNoWriter};
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return Error{os_error_text(errno)};
  return ok_status();
}

// Reads into data[used, limit), retrying short reads until `limit` or the end of the file
// (`ended` says which).
Status fill(int fd, uint8_t* data, size_t& used, size_t limit, bool& ended) {
  while (used < limit) {
    const ssize_t n = ::read(fd, data + used, limit - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error{os_error_text(errno)};
    }
    if (n == 0) {
      ended = true;
      break;
    }
    used += static_cast<size_t>(n);
  }
  return ok_status();
}

}  // namespace

// Reads the rest of the file into `out` after the `peeked` bytes of `first`, into `capacity`
// bytes first and growing from there; its size is `used`.
Status ReadBuffer::read_rest(int fd, std::span<const uint8_t> first, size_t capacity, bool ended, size_t& used) {
  uint8_t* data = reserve(capacity);
  std::memcpy(data, first.data(), first.size());
  used = first.size();
  while (!ended) {
    if (used == capacity) {
      if (capacity > kMaxFileBytes) return Error{kFileTooLarge};
      const size_t larger = std::min(capacity * 2, kMaxFileBytes + 1);  // one byte over tells
      std::unique_ptr<uint8_t[]> grown(new uint8_t[larger]);            // not zero-filled
      std::memcpy(grown.get(), data, used);
      data_ = std::move(grown);
      capacity_ = capacity = larger;
      data = data_.get();
    }
    if (Status read = fill(fd, data, used, capacity, ended); !read) return read;
  }
  if (used > kMaxFileBytes) return Error{kFileTooLarge};
  return ok_status();
}

Status read_file(const std::string& path, ReadBuffer& out, std::string* canonical,
                 Status (*accept)(std::span<const uint8_t>)) {
  out.size_ = 0;
  Fd fd(-1);
  struct stat st {};
  if (Status opened = open_input(path, fd, st); !opened) return opened;
  const bool regular = S_ISREG(st.st_mode);
  if (!regular) {
    if (Status waited = wait_for_writer(fd.get()); !waited) return waited;
  }
  // The first bytes go to `accept` before any storage for the whole file is taken.
  // (A regular file of at most kPeekAbove bytes is read whole first: one read call fewer, and no
  // more memory than its size.)
  uint8_t first[kPeekBytes];
  size_t peeked = 0;
  bool ended = false;
  const bool peek_first = accept && (!regular || static_cast<uint64_t>(st.st_size) > kPeekAbove);
  if (peek_first) {
    if (Status read = fill(fd.get(), first, peeked, kPeekBytes, ended); !read) return read;
    if (Status verdict = accept({first, peeked}); !verdict) return verdict;
  }
  // Regular files report their size (one byte more detects growth since the stat); anything else
  // (pipes, /proc) is read in growing steps.
  const size_t capacity =
      std::max<size_t>(regular && st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : size_t{64} * 1024, peeked);
  size_t used = 0;
  if (Status read = out.read_rest(fd.get(), {first, peeked}, capacity, ended, used); !read) return read;
  if (accept && !peek_first) {
    if (Status verdict = accept({out.data_.get(), std::min(used, kPeekBytes)}); !verdict) return verdict;
  }
  out.size_ = used;
  if (canonical && !fd_path(fd.get(), *canonical)) {
    auto resolved = canonical_path(path);
    *canonical = resolved ? std::move(resolved).value() : path;
  }
  return ok_status();
}

Status write_file(const std::string& path, std::span<const uint8_t> bytes) {
  if (has_nul(path)) return Error{kNulInPath};
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) return Error{os_error_text(errno)};
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error{os_error_text(errno)};
    }
    done += static_cast<size_t>(n);
  }
  if (fd.close() != 0) return Error{os_error_text(errno)};
  return ok_status();
}

Result<std::string> canonical_path(const std::string& path) {
  if (has_nul(path)) return Error{kNulInPath};
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return Error{os_error_text(errno)};
  return std::string(resolved.get());
}

Error load_failure(const std::string& why) {
  return Error{kLoadFailed + why, why == kFileTooLarge ? SkipKind::TooLarge : SkipKind::LoadFailed};
}

}  // namespace noteloom
