#include "base/Convert.h"

#include <gtest/gtest.h>

using text::TryStrToInt;

TEST(StrToInt, AcceptsWhatTheRuntimeAccepts) {
  EXPECT_EQ(TryStrToInt("4112"), 4112);
  EXPECT_EQ(TryStrToInt("-7"), -7);
  EXPECT_EQ(TryStrToInt("+7"), 7);
  EXPECT_EQ(TryStrToInt("  42"), 42);
  EXPECT_EQ(TryStrToInt("$1FFF"), 0x1FFF);
  EXPECT_EQ(TryStrToInt("0x10"), 16);
  EXPECT_EQ(TryStrToInt("2147483647"), 2147483647);
  EXPECT_EQ(TryStrToInt("-2147483648"), INT32_MIN);
}

TEST(StrToInt, RefusesEverythingElse) {
  for (const char* bad : {"", " ", "-", "12a", "4112 ", "1.5", "0x", "$", "2147483648", "99999999999999999999"})
    EXPECT_FALSE(TryStrToInt(bad).has_value()) << '"' << bad << '"';
  try {
    text::StrToInt("abc");
    FAIL();
  } catch (const text::EConvertError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
}
