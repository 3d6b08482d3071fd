// UTF-8 helpers shared by the readers: replacement, Latin-1 fallback, case
// folding of extensions and keys, whitespace stripping.
#include "text/utf8.hpp"

#include <gtest/gtest.h>

using namespace vexil::text;

TEST(Utf8, InvalidSequencesBecomeOneReplacementEach) {
  EXPECT_EQ(replace_invalid_utf8("nm"), "nm");
  EXPECT_EQ(replace_invalid_utf8("a\xff"
                                 "b"),
            "a\xEF\xBF\xBD"
            "b");
  // A truncated 3-byte sequence is one maximal subpart: one U+FFFD.
  EXPECT_EQ(replace_invalid_utf8("\xE2\x82"), "\xEF\xBF\xBD");
  // Surrogates and overlong forms are ill-formed.
  EXPECT_EQ(replace_invalid_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));
  EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80"));
}

TEST(Utf8, Latin1FallbackOnlyForInvalidText) {
  EXPECT_EQ(utf8_or_latin1("\xC2\xB5m"), "\xC2\xB5m");  // already UTF-8
  EXPECT_EQ(utf8_or_latin1("\xB5m"), "\xC2\xB5m");      // Latin-1 micro sign
  EXPECT_EQ(utf8_or_latin1("caf\xE9 \xC2"), "caf\xC3\xA9 \xC3\x82");
}

TEST(Utf8, LowerFoldsTheScriptsNamesUse) {
  EXPECT_EQ(lower(".HDR"), ".hdr");
  EXPECT_EQ(lower(".\xC3\x89XT"), ".\xC3\xA9xt");            // É
  EXPECT_EQ(lower("\xCE\x91\xCE\xA9"), "\xCE\xB1\xCF\x89");  // ΑΩ
  EXPECT_EQ(lower("\xD0\x81\xD0\xAF"), "\xD1\x91\xD1\x8F");  // ЁЯ
  EXPECT_EQ(lower("\xC3\x97"), "\xC3\x97");                  // × has no lower case
  EXPECT_EQ(lower("A\xFF"
                  "B"),
            "a\xFF"
            "b");  // stray bytes kept
}

TEST(Utf8, StripRemovesAsciiAndUnicodeWhitespace) {
  EXPECT_EQ(strip_whitespace(" \t samples\x0b\r\n"), "samples");
  EXPECT_EQ(strip_whitespace("\xC2\xA0x y\xE3\x80\x80"), "x y");  // NBSP, ideographic space
  EXPECT_EQ(strip_whitespace("\x1c\x1fx"), "x");
  EXPECT_EQ(strip_whitespace("\xE2\x80\x8B"
                             "x"),
            "\xE2\x80\x8B"
            "x");  // zero-width space is not whitespace
  EXPECT_EQ(strip_whitespace("   "), "");
}
