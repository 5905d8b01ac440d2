#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace noteloom {
namespace {

constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
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

std::string os_error_text(int err) { return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")"; }

Result<std::vector<uint8_t>> read_file(const std::string& path) {
  if (has_nul(path)) return Error{kNulInPath};
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Error{os_error_text(errno)};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Error{os_error_text(errno)};
  if (S_ISDIR(st.st_mode)) return Error{os_error_text(EISDIR)};
  std::vector<uint8_t> buf;
  // Regular files report their size; anything else (pipes, /proc) is read in growing steps.
  size_t capacity = st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 64 * 1024;
  buf.resize(capacity);
  size_t used = 0;
  for (;;) {
    if (used == buf.size()) buf.resize(buf.size() * 2);
    const ssize_t n = ::read(fd.get(), buf.data() + used, buf.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error{os_error_text(errno)};
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  buf.resize(used);
  return buf;
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

}  // namespace noteloom
