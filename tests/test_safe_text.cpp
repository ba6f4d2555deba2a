// The escaping of untrusted text: nothing that reaches a terminal can move
// the cursor, fake a line or start a sequence, and valid UTF-8 stays legible.
#include "console/safe_text.h"

#include <gtest/gtest.h>

#include <string>

TEST(SafeText, ControlsDelAndInvalidUtf8BecomeHexWhilePrintableUtf8Stays) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"BOARDSIM0001", "BOARDSIM0001"},
      {"", ""},
      {"\x1b]0;owned\x07\x1b[2J", "\\x1b]0;owned\\x07\\x1b[2J"},
      {"A\nB\r", "A\\x0aB\\x0d"},
      {"x\x7f", "x\\x7f"},
      {"\xed\x8e\x8c\xec\x9b\xa8\xec\x96\xb4", "\xed\x8e\x8c\xec\x9b\xa8\xec\x96\xb4"},  // Korean, kept
      {"fw\xff.bin", "fw\\xff.bin"},
      {"\xc2\x9b" "31m", "\\xc2\\x9b31m"},      // C1 CSI in UTF-8 form
      {"\xc0\xaf", "\\xc0\\xaf"},               // overlong '/'
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},      // a surrogate
      {"\xe2\x82", "\\xe2\\x82"},               // cut short at the end
      {"\xe2\x82" "A", "\\xe2\\x82A"},          // cut short before ASCII
      {std::string("a\0b", 3), "a\\x00b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(safe_text(c.in), c.out) << c.in;
    EXPECT_EQ(is_safe_text(c.in), c.in == c.out) << c.in;
    EXPECT_TRUE(is_safe_text(safe_text(c.in))) << "escaping twice changes nothing more: " << c.in;
  }
}
