#include <gtest/gtest.h>

#include "core/base/utf8.hpp"

using noteloom::is_valid_utf8;
using noteloom::utf8_lossy;

TEST(Utf8, ValidSequences) {
  for (const char* s :
       {"", "abc", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x8E\xB5", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF"}) {
    EXPECT_TRUE(is_valid_utf8(s)) << s;
    EXPECT_EQ(utf8_lossy(s), s);
  }
}

TEST(Utf8, InvalidSequences) {
  for (const char* s : {"\x80", "\xC0\x80", "\xC3", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                        "\xF5\x80\x80\x80", "\xFF", "a\xE2\x82"}) {
    EXPECT_FALSE(is_valid_utf8(s)) << s;
  }
}

// Each maximal invalid subsequence becomes one U+FFFD, as Python's errors="replace" does.
TEST(Utf8, LossyReplacesMaximalSubparts) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(utf8_lossy("a\x80"
                       "b"),
            "a" + r + "b");
  EXPECT_EQ(utf8_lossy("\xE2\x82"
                       "A"),
            r + "A");                                // truncated 3-byte sequence: one replacement
  EXPECT_EQ(utf8_lossy("\xE2\x82"), r);              // ... also at the end
  EXPECT_EQ(utf8_lossy("\xC0\x80"), r + r);          // overlong: each byte invalid
  EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), r + r + r);  // surrogate: each byte invalid
  EXPECT_EQ(utf8_lossy("\xF0\x9F\x8E"), r);
  EXPECT_EQ(utf8_lossy("\xF0\x9F\x8E\xB5\xFF"), "\xF0\x9F\x8E\xB5" + r);
}
