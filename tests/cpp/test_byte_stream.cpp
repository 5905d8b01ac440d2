// The decoders of the archive reader: every format reads its concatenated streams whole, and no
// damage (a flipped byte anywhere, a cut anywhere) passes for a clean end with the same bytes.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <memory>
#include <span>
#include <vector>

#include "core/archive/archive_reader.hpp"
#include "core/archive/byte_stream.hpp"

using namespace noteloom;

namespace {

using Bytes = std::vector<uint8_t>;

// zlib's deflate with `window_bits`: 16 + 15 for gzip, -15 for raw deflate (a zip member's data).
Bytes deflated(const Bytes& in, int window_bits) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, in.size()) + 32);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Bytes gzip(const Bytes& in) { return deflated(in, 16 + MAX_WBITS); }

Bytes bzip2(const Bytes& in) {
  Bytes out(in.size() + in.size() / 100 + 700);
  auto size = static_cast<unsigned>(out.size());
  BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &size,
                           reinterpret_cast<char*>(const_cast<uint8_t*>(in.data())), static_cast<unsigned>(in.size()),
                           9, 0, 0);
  out.resize(size);
  return out;
}

Bytes xz(const Bytes& in) {
  Bytes out(lzma_stream_buffer_bound(in.size()));
  size_t size = 0;
  lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, in.data(), in.size(), out.data(), &size, out.size());
  out.resize(size);
  return out;
}

Bytes zstd(const Bytes& in) {
  Bytes out(ZSTD_compressBound(in.size()));
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
  out.resize(ZSTD_compress2(c, out.data(), out.size(), in.data(), in.size()));
  ZSTD_freeCCtx(c);
  return out;
}

class Memory final : public ByteStream {
 public:
  explicit Memory(Bytes b) : b_(std::move(b)) {}
  Result<size_t> read(std::span<uint8_t> out) override {
    const size_t n = std::min(out.size(), b_.size() - pos_);
    std::copy_n(b_.begin() + static_cast<std::ptrdiff_t>(pos_), n, out.begin());
    pos_ += n;
    return n;
  }

 private:
  Bytes b_;
  size_t pos_ = 0;
};

// All the decoded bytes, or the error.
Result<Bytes> decode(const Bytes& packed) {
  auto stream = decoded_stream(std::make_unique<Memory>(packed), compression_of(packed));
  Bytes out, block(4096);
  for (;;) {
    auto got = stream->read(block);
    if (!got) return got.error();
    if (got.value() == 0) return out;
    out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got.value()));
  }
}

Bytes sample() {
  Bytes b(50000);
  uint32_t x = 12345;
  for (auto& v : b) v = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 24 & 0x3f);  // compressible noise
  return b;
}

struct Codec {
  const char* name;
  Bytes (*compress)(const Bytes&);
};
const Codec kCodecs[] = {{"gzip", gzip}, {"bzip2", bzip2}, {"xz", xz}, {"zstd", zstd}};

}  // namespace

TEST(ByteStream, ConcatenatedStreamsDecodeWhole) {
  const Bytes data = sample();
  for (const Codec& c : kCodecs) {
    const Bytes half(data.begin(), data.begin() + 20000), rest(data.begin() + 20000, data.end());
    Bytes packed = c.compress(half);
    const Bytes more = c.compress(rest);
    packed.insert(packed.end(), more.begin(), more.end());
    auto got = decode(packed);
    ASSERT_TRUE(got) << c.name << ": " << got.error().message;
    EXPECT_EQ(got.value(), data) << c.name;
  }
}

TEST(ByteStream, DamageNeverPassesForTheEnd) {
  const Bytes data = sample();
  for (const Codec& c : kCodecs) {
    const Bytes packed = c.compress(data);
    for (size_t at = 0; at < packed.size(); at += 97) {
      Bytes flipped = packed;
      flipped[at] ^= 0x41;
      if (compression_of(flipped) != compression_of(packed)) continue;  // the magic itself: another kind
      auto got = decode(flipped);
      EXPECT_FALSE(got && got.value() == data) << c.name << ": a flipped byte " << at << " went unnoticed";
      if (at > 0) {
        const Bytes cut(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(at));
        EXPECT_FALSE(decode(cut)) << c.name << ": cut at " << at << " read as a clean end";
      }
    }
  }
}

TEST(ByteStream, PackedMembersUnpackOnlyWhole) {
  const Bytes data = sample();
  const Bytes raw = deflated(data, -MAX_WBITS);
  MemberPacking how;
  how.packing = Packing::ZipDeflate;
  how.crc = static_cast<uint32_t>(crc32(0L, data.data(), static_cast<uInt>(data.size())));
  how.size = data.size();
  Bytes out;
  ASSERT_TRUE(unpack_member(raw, how, out));
  EXPECT_EQ(out, data);
  MemberPacking smaller = how;
  smaller.size = 1000;  // a header that claims less: inflating stops past the claim
  auto past = unpack_member(raw, smaller, out);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().message, "damaged archive: zip member inflates past its declared size");
  EXPECT_LE(out.size(), 1000u);
  MemberPacking wrong = how;
  wrong.crc ^= 1;
  EXPECT_EQ(unpack_member(raw, wrong, out).error().kind, SkipKind::Damaged);
  MemberPacking stored{Packing::ZipStored, {}, how.crc, data.size()};
  EXPECT_TRUE(unpack_member(data, stored, out) && out == data);
}
