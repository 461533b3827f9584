#include "text/unicode.h"

#include <gtest/gtest.h>

namespace burrowlink::text {
namespace {

TEST(Utf8, Validity) {
  EXPECT_TRUE(is_valid_utf8("r\xC3\xA9sum\xC3\xA9"));
  EXPECT_FALSE(is_valid_utf8("\xFF"));
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));      // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(is_valid_utf8("\xE2\x82"));      // cut short
  EXPECT_EQ(
      "a\xEF\xBF\xBD"
      "b",
      to_valid_utf8("a\xFF"
                    "b"));
}

// Each length at both of its ends, and a surrogate as Windows may hand one.
TEST(Utf8, EncodesEachCodePointInItsShortestForm) {
  const std::pair<char32_t, std::string> cases[] = {
      {0x0, std::string(1, '\0')},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xD800, "\xED\xA0\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& [c, bytes] : cases) {
    std::string out = "x";
    append_utf8(out, c);
    EXPECT_EQ("x" + bytes, out) << std::hex << static_cast<unsigned>(c);
  }
}

TEST(Utf8, CountsAndCutsByScalarValues) {
  std::string accents;
  for (int i = 0; i < 45; ++i) accents += "\xC3\xA9";
  EXPECT_EQ(45u, scalar_count(accents));
  EXPECT_EQ(80u, first_scalars(accents, 40).size());
  EXPECT_EQ("ab", first_scalars("ab", 40));
  EXPECT_EQ("", first_scalars("abc", 0));
}

TEST(WhiteSpace, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ("id", trim_white_space(" \t id\r\n"));
  EXPECT_EQ("id", trim_white_space("\xC2\xA0id\xE3\x80\x80"));  // NBSP, U+3000
  EXPECT_EQ("", trim_white_space(" \xE2\x80\xA8 "));            // U+2028
  EXPECT_EQ(
      "\xE2\x80\x8B"
      "x",
      trim_white_space("\xE2\x80\x8B"
                       "x"));  // ZWSP
}

TEST(ToLower, FullMappingBeyondAscii) {
  EXPECT_EQ(
      "\xC3\xA9"
      "cran",
      to_lower("\xC3\x89"
               "CRAN"));
  EXPECT_EQ("i\xCC\x87", to_lower("\xC4\xB0"));  // İ keeps its dot
  // Final sigma: "ΟΔΟΣ" ends in ς, a lone Σ stays σ.
  EXPECT_EQ("\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82",
            to_lower("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"));
  EXPECT_EQ("\xCF\x83", to_lower("\xCE\xA3"));
  // After "ĸ", a cased letter without an uppercase form, Σ ends a word.
  EXPECT_EQ("\xC4\xB8\xCF\x82", to_lower("\xC4\xB8\xCE\xA3"));
  EXPECT_EQ("yes", to_lower("YeS"));
}

TEST(EscapeControls, ShowsC0AndC1ButKeepsLineFeedAndTab) {
  EXPECT_EQ("a\\x1b[2Jb", escape_controls("a\x1b[2Jb"));
  EXPECT_EQ("\\u{9b}x", escape_controls("\xC2\x9Bx"));
  EXPECT_EQ("pay\\u{202e}fdp.exe", escape_controls("pay\xE2\x80\xAE"
                                                   "fdp.exe"));
  EXPECT_EQ("\\u{61c}\\u{2069}", escape_controls("\xD8\x9C\xE2\x81\xA9"));
  EXPECT_EQ("l1\nl2\tend\\x7f", escape_controls("l1\nl2\tend\x7f"));
  EXPECT_EQ("\\x0d\\x00", escape_controls(std::string("\r\0", 2)));
  EXPECT_EQ("caf\xC3\xA9", escape_controls("caf\xC3\xA9"));
}

}  // namespace
}  // namespace burrowlink::text
