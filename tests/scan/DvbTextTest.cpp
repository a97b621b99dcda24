// Text fields of service descriptors: character tables to CP1251.
#include "scan/DvbText.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <thread>
#include <vector>

#include "base/Cp1251.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Decode(const Bytes& b) { return scan::DecodeDvbText(b.data(), b.size()); }

// One ISO 8859-5 byte as the system's converter reads it, in CP1251.
std::string Iso88595ByIconv(uint8_t byte) {
  iconv_t cd = iconv_open("UTF-8", "ISO-8859-5");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  char in[1] = {static_cast<char>(byte)};
  char out[8] = {};
  char* from = in;
  char* to = out;
  size_t inLeft = 1, outLeft = sizeof out;
  iconv(cd, &from, &inLeft, &to, &outLeft);
  iconv_close(cd);
  return text::Utf8ToCp1251(std::string(out, sizeof out - outLeft));
}

struct Case {
  Bytes Field;
  std::string Expected;
};

void ExpectAll(const std::vector<Case>& cases) {
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(Decode(cases[i].Field), cases[i].Expected) << "case " << i;
}

} // namespace

TEST(DvbText, BothIso88595SelectorsReadEveryLetterOfTheTable) {
  for (int b = 0x20; b <= 0xFF; ++b) {
    if (b >= 0x7F && b <= 0x9F) continue;  // control codes, below
    const std::string expected = Iso88595ByIconv(static_cast<uint8_t>(b));
    EXPECT_EQ(Decode({0x01, static_cast<uint8_t>(b)}), expected) << "byte " << b;
    EXPECT_EQ(Decode({0x10, 0x00, 0x05, static_cast<uint8_t>(b)}), expected) << "byte " << b;
  }
  ExpectAll({
      {{0x01, 0xB0, 0xEF}, "\xC0\xFF"},
      {{0x01, 0xC0, 0xD0, 0xD4, 0xF6, 0xDE}, "\xD0\xE0\xE4\xB3\xEE"},    // "Радіо"
      {{0x01, 0xF6, 0xF7, 0xF4, 0xF2, 0xFB, 0xF0}, "\xB3\xBF\xBA\x90\x9E\xB9"},  // і ї є ђ ћ №
  });
}

TEST(DvbText, ControlCodesAreDroppedSpacedOrMarkedInEveryTable) {
  // Emphasis on "B", a space, a line break, "R", two other control codes.
  const std::string expected = "B  R__";
  ExpectAll({
      {{0x01, 0x86, 'B', 0x87, ' ', 0x8A, 'R', 0x80, 0x9F}, expected},
      {{0x10, 0x00, 0x05, 0x86, 'B', 0x87, ' ', 0x8A, 'R', 0x80, 0x9F}, expected},
      {{0x05, 0x86, 'B', 0x87, ' ', 0x8A, 'R', 0x80, 0x9F}, expected},
      {{0x11, 0xE0, 0x86, 0, 'B', 0xE0, 0x87, 0, ' ', 0xE0, 0x8A, 0, 'R', 0xE0, 0x80, 0x00, 0x9F}, expected},
      {{0x15, 0xEE, 0x82, 0x86, 'B', 0xEE, 0x82, 0x87, ' ', 0xEE, 0x82, 0x8A, 'R', 0xEE, 0x82, 0x80, 0xC2, 0x9F},
       expected},
      // Without a selector these bytes are CP1251 letters ("Ђ", "Љ", "†").
      {{0x80, 0x8A, 0x86, 'x'}, "\x80\x8A\x86x"},
  });
}

TEST(DvbText, OtherTablesGoThroughTheirCharacterSet) {
  ExpectAll({
      {{0x11, 0x04, 0x20, 0x04, 0x30, 0x04, 0x34, 0x04, 0x56, 0x04, 0x3E}, "\xD0\xE0\xE4\xB3\xEE"},
      {{0x14, 0x04, 0x10}, "\xC0"},
      {{0x11, 0, 'H', 0, 'i', 0, 0, 0, 'x'}, "Hi"},  // ends at a NUL character, not at a NUL byte
      {{0x11, 0, 'A', 0x04}, "A?"},                  // odd byte count
      {{0x11, 0xD8, 0x00, 0, 'A'}, "?A"},            // lone surrogate
      {{0x0B, 'E', 0xA4}, "E\x88"},                  // ISO 8859-15 euro sign
      {{0x03, 'a', 0xE1}, "a?"},                     // Greek alpha: not in CP1251
      {{0x03, 0xAE, 'b'}, "?b"},                     // unassigned in ISO 8859-7
      {{0x05, 0xE9, 'a'}, "?a"},
      {{0x05, 'a', 0x00, 0xE9}, "a"},
      {{0x10, 0x00, 0x02, 'a'}, "a"},
      {{0x13, 'A', 0xB0, 0xA1, 'B'}, "A?B"},
      {{0x12, 'A', 0xB0, 0xA1}, "A?"},
      {{0x15, 0xD0, 0x9F, 0xD1, 0x8F, ' ', 0xE2, 0x82, 0xAC, 0xE4, 0xB8, 0x80}, "\xCF\xFF \x88?"},
      {{0x15, 'A', 0x00, 0xD0}, "A"},
      // Reserved or unknown tables keep their bytes.
      {{0x08, 'a', 0xE9}, "a\xE9"},
      {{0x0C, 0xE9}, "\xE9"},
      {{0x10, 0x00, 0x0C, 0xE9}, "\xE9"},
      {{0x10, 0x01, 0x05, 0xE9}, "\xE9"},
      {{0x00, 'a'}, "a"},
      {{0x10, 0x00}, ""},
      {{'P', 'l', 'a', 'i', 'n'}, "Plain"},
      {{'A', 'B', 0x00, 'C'}, "AB"},
      {{}, ""},
  });
}

TEST(DvbText, ConvertsOnSeveralThreadsAtOnce) {
  const Bytes field = {0x11, 0x04, 0x20, 0x04, 0x30, 0x04, 0x34, 0x04, 0x56, 0x04, 0x3E};
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) wrong[t] += Decode(field) != "\xD0\xE0\xE4\xB3\xEE";
    });
  for (auto& thread : threads) thread.join();
  for (int w : wrong) EXPECT_EQ(w, 0);
}
