#include "base/Cp1251.h"

#include <gtest/gtest.h>

using namespace text;

TEST(Cp1251, CyrillicRoundTripsThroughUtf8) {
  const std::string cp = "\xD0\xE0\xE4\xE8\xEE \xA8\xB8 \xB9 \x88";  // "Радио Ёё № €"
  const std::string utf8 = Cp1251ToUtf8(cp);
  EXPECT_EQ(utf8, "Радио Ёё № €");
  EXPECT_EQ(Utf8ToCp1251(utf8), cp);
  for (int b = 0; b < 256; ++b) {
    if (b == 0x98) continue;  // the one byte without a character
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), one) << "byte " << b;
  }
}

TEST(Cp1251, MissingCharactersAndBrokenUtf8BecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xADz"), "a?z");          // CJK character
  EXPECT_EQ(Utf8ToCp1251("\xF0\x9F\x8E\xB5"), "?");          // emoji
  EXPECT_EQ(Utf8ToCp1251("x\xC3"), "x?");                    // cut-short sequence
  EXPECT_EQ(Utf8ToCp1251("\xC0\xAF"), "??");                 // overlong '/'
  EXPECT_EQ(Utf8ToCp1251("\xED\xA0\x80"), "???");            // surrogate
}

TEST(Cp1251, ValidUtf8IsRecognised) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("Радио 1"));
  EXPECT_FALSE(IsValidUtf8("\xD0\xE0\xE4"));  // CP1251 bytes
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
}
