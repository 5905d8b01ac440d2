#include "byte_stream.hpp"

#include <bzlib.h>
#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

#include "../base/file_io.hpp"

namespace noteloom {

Result<uint64_t> ByteStream::skip(uint64_t n) {
  uint8_t scratch[64 * 1024];
  uint64_t done = 0;
  while (done < n) {
    auto got = read({scratch, static_cast<size_t>(std::min<uint64_t>(sizeof scratch, n - done))});
    if (!got) return got.error();
    if (got.value() == 0) break;
    done += got.value();
  }
  return done;
}

Result<size_t> read_full(ByteStream& stream, std::span<uint8_t> out) {
  size_t used = 0;
  while (used < out.size()) {
    auto got = stream.read(out.subspan(used));
    if (!got) return got.error();
    if (got.value() == 0) break;
    used += got.value();
  }
  return used;
}

Compression compression_of(std::span<const uint8_t> b) {
  auto starts = [&](std::initializer_list<uint8_t> magic) {
    return b.size() >= magic.size() && std::equal(magic.begin(), magic.end(), b.begin());
  };
  if (starts({0x1f, 0x8b})) return Compression::Gzip;
  if (starts({'B', 'Z', 'h'})) return Compression::Bzip2;
  if (starts({0xfd, '7', 'z', 'X', 'Z', 0x00})) return Compression::Xz;
  if (starts({0x28, 0xb5, 0x2f, 0xfd})) return Compression::Zstd;
  return Compression::None;
}

namespace {

class FileStream final : public ByteStream {
 public:
  explicit FileStream(int fd) : fd_(fd) {}
  ~FileStream() override { ::close(fd_); }
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  Result<size_t> read(std::span<uint8_t> out) override {
    for (;;) {
      const ssize_t n = ::read(fd_, out.data(), std::min<size_t>(out.size(), SSIZE_MAX));
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) return Error{os_error_text(errno)};
    }
  }

  Result<uint64_t> skip(uint64_t n) override {
    const off_t here = ::lseek(fd_, 0, SEEK_CUR);
    struct stat st {};
    if (here < 0 || ::fstat(fd_, &st) != 0) return ByteStream::skip(n);
    const uint64_t left = st.st_size > here ? static_cast<uint64_t>(st.st_size - here) : 0;
    const uint64_t step = std::min(n, left);
    if (::lseek(fd_, static_cast<off_t>(here + static_cast<off_t>(step)), SEEK_SET) < 0) {
      return Error{os_error_text(errno)};
    }
    return step;
  }

 private:
  int fd_;
};

// Input for the decoders: the inner stream a block at a time.
class Input {
 public:
  explicit Input(std::unique_ptr<ByteStream> inner) : inner_(std::move(inner)), block_(size_t{256} * 1024) {}
  // The unread input, refilled when empty; empty at the end of the inner stream.
  Result<std::span<const uint8_t>> available() {
    if (pos_ == end_ && !ended_) {
      auto got = inner_->read(block_);
      if (!got) return got.error();
      pos_ = 0;
      end_ = got.value();
      ended_ = end_ == 0;
    }
    return std::span<const uint8_t>(block_.data() + pos_, end_ - pos_);
  }
  void consume(size_t n) { pos_ += n; }
  // After the end of a compressed stream: whether another one follows (its first byte is `magic`:
  // pigz, pbzip2, cat a.gz b.gz), or only zero bytes (what tape blocking pads a stream with) up to
  // the end; anything else is damage of `format`.
  Result<bool> another_stream(uint8_t magic, const char* format);

 private:
  std::unique_ptr<ByteStream> inner_;
  std::vector<uint8_t> block_;
  size_t pos_ = 0, end_ = 0;
  bool ended_ = false;
};

// A decoder: the bytes decoded before damage are given first, the damage on the next read.
class Decoder : public ByteStream {
 public:
  Result<size_t> read(std::span<uint8_t> out) final {
    if (failure_) return *failure_;
    size_t made = 0;
    if (Status s = decode(out, made); !s) {
      failure_ = s.error();
      if (made == 0) return *failure_;
    }
    return made;
  }

 protected:
  // Decodes into `out`, counting the bytes in `made`, up to the end of out or of the stream.
  virtual Status decode(std::span<uint8_t> out, size_t& made) = 0;

 private:
  std::optional<Error> failure_;
};

Error damaged(const char* format, const std::string& what) { return Error{std::string(format) + " data: " + what}; }

Result<bool> Input::another_stream(uint8_t magic, const char* format) {
  auto rest = available();
  if (!rest) return rest.error();
  if (!rest.value().empty() && rest.value()[0] == magic) return true;
  for (;;) {
    if (!rest) return rest.error();
    if (rest.value().empty()) return false;
    if (std::any_of(rest.value().begin(), rest.value().end(), [](uint8_t b) { return b != 0; })) {
      return damaged(format, "unexpected bytes after the end of the stream");
    }
    consume(rest.value().size());
    rest = available();
  }
}

class GzipStream final : public Decoder {
 public:
  explicit GzipStream(std::unique_ptr<ByteStream> inner) : in_(std::move(inner)) {
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) failed_ = true;
  }
  ~GzipStream() override { inflateEnd(&z_); }

  Status decode(std::span<uint8_t> out, size_t& made) override {
    if (failed_) return Error{"out of memory"};
    while (made < out.size() && !ended_) {
      auto avail = in_.available();
      if (!avail) return avail.error();
      const bool at_end = avail.value().empty();  // zlib may still hold output: ask it once more
      z_.next_in = const_cast<Bytef*>(avail.value().data());
      z_.avail_in = static_cast<uInt>(std::min<size_t>(avail.value().size(), UINT_MAX));
      z_.next_out = out.data() + made;
      z_.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - made, UINT_MAX));
      const uInt before_in = z_.avail_in, before_out = z_.avail_out;
      const int rc = inflate(&z_, Z_NO_FLUSH);
      in_.consume(before_in - z_.avail_in);
      made += before_out - z_.avail_out;
      if (rc == Z_STREAM_END) {
        auto another = in_.another_stream(0x1f, "gzip");
        if (!another) return another.error();
        if (another.value()) {
          inflateReset(&z_);
          continue;
        }
        ended_ = true;
      } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
        return damaged("gzip", z_.msg != nullptr ? z_.msg : "corrupt");
      } else if (at_end && before_out == z_.avail_out) {
        return damaged("gzip", "unexpected end of file");
      }
    }
    return ok_status();
  }

 private:
  Input in_;
  z_stream z_{};
  bool ended_ = false, failed_ = false;
};

class Bzip2Stream final : public Decoder {
 public:
  explicit Bzip2Stream(std::unique_ptr<ByteStream> inner) : in_(std::move(inner)) { start(); }
  ~Bzip2Stream() override {
    if (started_) BZ2_bzDecompressEnd(&s_);
  }

  Status decode(std::span<uint8_t> out, size_t& made) override {
    while (made < out.size() && !ended_) {
      if (!started_) return Error{"out of memory"};
      auto avail = in_.available();
      if (!avail) return avail.error();
      const bool at_end = avail.value().empty();
      s_.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(avail.value().data()));
      s_.avail_in = static_cast<unsigned>(std::min<size_t>(avail.value().size(), UINT_MAX));
      s_.next_out = reinterpret_cast<char*>(out.data() + made);
      s_.avail_out = static_cast<unsigned>(std::min<size_t>(out.size() - made, UINT_MAX));
      const unsigned before_in = s_.avail_in, before_out = s_.avail_out;
      const int rc = BZ2_bzDecompress(&s_);
      in_.consume(before_in - s_.avail_in);
      made += before_out - s_.avail_out;
      if (rc == BZ_STREAM_END) {
        BZ2_bzDecompressEnd(&s_);
        started_ = false;
        auto another = in_.another_stream('B', "bzip2");
        if (!another) return another.error();
        if (another.value()) {
          if (!start()) return Error{"out of memory"};
          continue;
        }
        ended_ = true;
      } else if (rc != BZ_OK) {
        return damaged("bzip2", rc == BZ_DATA_ERROR_MAGIC ? "not bzip2 data" : "corrupt (CRC or block error)");
      } else if (at_end && before_out == s_.avail_out) {
        return damaged("bzip2", "unexpected end of file");
      }
    }
    return ok_status();
  }

 private:
  bool start() {
    s_ = bz_stream{};
    started_ = BZ2_bzDecompressInit(&s_, 0, 0) == BZ_OK;
    return started_;
  }
  Input in_;
  bz_stream s_{};
  bool started_ = false, ended_ = false;
};

class XzStream final : public Decoder {
 public:
  // A stream that would need more memory than this to decode is refused (a hostile header can ask
  // for gigabytes).
  static constexpr uint64_t kMemoryLimit = uint64_t{256} << 20;

  explicit XzStream(std::unique_ptr<ByteStream> inner) : in_(std::move(inner)) {
    failed_ = lzma_stream_decoder(&s_, kMemoryLimit, LZMA_CONCATENATED) != LZMA_OK;
  }
  ~XzStream() override { lzma_end(&s_); }

  Status decode(std::span<uint8_t> out, size_t& made) override {
    if (failed_) return Error{"out of memory"};
    while (made < out.size() && !ended_) {
      auto avail = in_.available();
      if (!avail) return avail.error();
      const bool at_end = avail.value().empty();
      s_.next_in = avail.value().data();
      s_.avail_in = avail.value().size();
      s_.next_out = out.data() + made;
      s_.avail_out = out.size() - made;
      const size_t before_in = s_.avail_in, before_out = s_.avail_out;
      const lzma_ret rc = lzma_code(&s_, at_end ? LZMA_FINISH : LZMA_RUN);
      in_.consume(before_in - s_.avail_in);
      made += before_out - s_.avail_out;
      if (rc == LZMA_STREAM_END) {
        ended_ = true;
      } else if (rc == LZMA_MEMLIMIT_ERROR) {
        return damaged("xz", "needs more than 256 MiB of memory to decode");
      } else if (rc == LZMA_BUF_ERROR && at_end) {
        return damaged("xz", "unexpected end of file");
      } else if (rc != LZMA_OK && rc != LZMA_BUF_ERROR) {
        return damaged("xz", rc == LZMA_DATA_ERROR     ? "corrupt"
                             : rc == LZMA_FORMAT_ERROR ? "not xz data"
                                                       : "unreadable");
      }
    }
    return ok_status();
  }

 private:
  Input in_;
  lzma_stream s_ = LZMA_STREAM_INIT;
  bool ended_ = false, failed_ = false;
};

class ZstdStream final : public Decoder {
 public:
  explicit ZstdStream(std::unique_ptr<ByteStream> inner) : in_(std::move(inner)), d_(ZSTD_createDStream()) {
    // The default window limit (128 MiB) also bounds the memory a hostile frame can ask for.
    if (d_ != nullptr) ZSTD_initDStream(d_);
  }
  ~ZstdStream() override { ZSTD_freeDStream(d_); }

  Status decode(std::span<uint8_t> out, size_t& made) override {
    if (d_ == nullptr) return Error{"out of memory"};
    while (made < out.size() && !ended_) {
      auto avail = in_.available();
      if (!avail) return avail.error();
      if (avail.value().empty() && !in_frame_) {
        ended_ = true;
        break;
      }
      ZSTD_inBuffer input{avail.value().data(), avail.value().size(), 0};
      ZSTD_outBuffer output{out.data() + made, out.size() - made, 0};
      const size_t rc = ZSTD_decompressStream(d_, &output, &input);
      in_.consume(input.pos);
      made += output.pos;
      if (ZSTD_isError(rc)) return damaged("zstd", ZSTD_getErrorName(rc));
      if (avail.value().empty() && output.pos == 0) return damaged("zstd", "unexpected end of file");
      in_frame_ = rc != 0;  // 0: a frame ended; the next bytes start another one or the end
    }
    return ok_status();
  }

 private:
  Input in_;
  ZSTD_DStream* d_;
  bool in_frame_ = false, ended_ = false;
};

}  // namespace

Result<std::unique_ptr<ByteStream>> open_file_stream(const std::string& path) {
  if (path.find('\0') != std::string::npos) return Error{"file name contained an unexpected NUL byte"};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Error{os_error_text(errno)};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = errno;
    ::close(fd);
    return Error{S_ISDIR(st.st_mode) ? os_error_text(EISDIR) : st.st_mode != 0 ? kNotAFile : os_error_text(err)};
  }
  return std::unique_ptr<ByteStream>(std::make_unique<FileStream>(fd));
}

std::unique_ptr<ByteStream> decoded_stream(std::unique_ptr<ByteStream> inner, Compression c) {
  switch (c) {
    case Compression::Gzip:
      return std::make_unique<GzipStream>(std::move(inner));
    case Compression::Bzip2:
      return std::make_unique<Bzip2Stream>(std::move(inner));
    case Compression::Xz:
      return std::make_unique<XzStream>(std::move(inner));
    case Compression::Zstd:
      return std::make_unique<ZstdStream>(std::move(inner));
    case Compression::None:
      break;
  }
  return inner;
}

}  // namespace noteloom
