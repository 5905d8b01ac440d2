#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/base/siphash.hpp"

using noteloom::SipHasher13;

namespace {

uint64_t hash_bytes(const std::vector<uint8_t>& bytes) {
  SipHasher13 h;
  h.write(bytes.data(), bytes.size());
  return h.finish();
}

std::vector<uint8_t> iota_bytes(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i);
  return v;
}

}  // namespace

// Reference values from CPython's own SipHash-1-3 (`hash(bytes)` with PYTHONHASHSEED=0, which uses
// an all-zero key), an implementation independent of ours.
TEST(SipHash13, MatchesCPythonZeroKeyValues) {
  EXPECT_EQ(hash_bytes(std::vector<uint8_t>(32, 0)), 13284472273662876477ULL);
  // bytes(range(n)): lengths around the 8-byte word boundary.
  const std::pair<size_t, uint64_t> cases[] = {{1, 7541581120933061747ULL},   {7, 3389392686435873370ULL},
                                               {8, 16921169381604339434ULL},  {9, 8471974163824919394ULL},
                                               {15, 17514137373579004394ULL}, {16, 9904005486622393783ULL},
                                               {17, 5225236159122152477ULL},  {63, 4061470857350050649ULL}};
  for (auto [n, expected] : cases) EXPECT_EQ(hash_bytes(iota_bytes(n)), expected) << "n=" << n;
}

// Feeding the same bytes in any split must give the same value as one write.
TEST(SipHash13, StreamingIsSplitInvariant) {
  for (size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 100u}) {
    const auto bytes = iota_bytes(n);
    const uint64_t whole = hash_bytes(bytes);
    for (size_t cut1 = 0; cut1 <= n; ++cut1) {
      for (size_t cut2 = cut1; cut2 <= n; cut2 += 3) {
        SipHasher13 h;
        h.write(bytes.data(), cut1);
        h.write(bytes.data() + cut1, cut2 - cut1);
        h.write(bytes.data() + cut2, n - cut2);
        ASSERT_EQ(h.finish(), whole) << "n=" << n << " cuts " << cut1 << "," << cut2;
      }
    }
  }
}

TEST(SipHash13, IntegerWritesAreLittleEndianBytes) {
  SipHasher13 a;
  a.write_u32_le(0x04030201u);
  a.write_u64_le(0x0c0b0a0908070605ULL);
  const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(a.finish(), hash_bytes(bytes));
}

TEST(SipHash13, SmallIntegerWritesAtEveryOffsetOfAWord) {
  // Integers written after 0..15 leading bytes straddle the word boundary in every way.
  for (size_t lead = 0; lead < 16; ++lead) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < lead; ++i) bytes.push_back(static_cast<uint8_t>(i * 7));
    SipHasher13 h;
    h.write(bytes.data(), bytes.size());
    for (uint32_t k = 0; k < 5; ++k) {
      const uint32_t v = 0xA1B2C3D4u + k * 0x01010101u;
      h.write_u32_le(v);
      for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
      h.write_u8(static_cast<uint8_t>(0xF0 + k));
      bytes.push_back(static_cast<uint8_t>(0xF0 + k));
    }
    ASSERT_EQ(h.finish(), hash_bytes(bytes)) << lead;
  }
}

TEST(SipHash13, LengthAndKeyMatter) {
  EXPECT_NE(hash_bytes({}), hash_bytes({0}));
  EXPECT_NE(hash_bytes({0}), hash_bytes({0, 0}));
  SipHasher13 keyed(1, 0);
  EXPECT_NE(keyed.finish(), SipHasher13().finish());
}
