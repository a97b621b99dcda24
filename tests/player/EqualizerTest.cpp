// The equaliser file and the band map, without a window or an engine.
#include "player/Equalizer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "base/Convert.h"
#include "base/InOutError.h"
#include "device/TempFolder.h"

namespace {

TEST(Equalizer, EveryEntryFollowsOneBandAndBandsRunLowToHigh) {
  int owner[32];
  std::fill(std::begin(owner), std::end(owner), -1);
  for (int band = 0; band < kEqualizerBands; ++band) {
    TBandPositions positions{};
    positions[static_cast<size_t>(band)] = -100;  // the top of the bar
    const XA_EqualizerInfo eq = EqualizerOf(positions);
    for (int e = 0; e < 32; ++e) {
      EXPECT_EQ(eq.right[e], eq.left[e]) << "entry " << e;
      if (eq.left[e] == 0) continue;
      EXPECT_EQ(eq.left[e], 100) << "band " << band << " entry " << e;
      EXPECT_EQ(owner[e], -1) << "entry " << e << " driven twice";
      owner[e] = band;
    }
  }
  for (int e = 0; e < 32; ++e) {
    EXPECT_NE(owner[e], -1) << "entry " << e << " follows no band";
    if (e > 0) {
      EXPECT_GE(owner[e], owner[e - 1]) << "entry " << e;
    }
  }
}

struct FileCase {
  const char* name;
  const char* content;  // nullptr: no file
  std::vector<int> taken;
  enum { None, InOut, Convert } error;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class EqualizerFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(EqualizerFile, TakesTheValuesBeforeTheFirstBadLine) {
  const FileCase& c = GetParam();
  TTempFolder dir;
  const std::string path = (dir.Path() / "eq.ini").string();
  if (c.content) std::ofstream(path, std::ios::binary) << c.content;
  std::vector<int> taken;
  auto read = [&] { ReadEqualizerFile(path, [&](int i, int v) {
                      EXPECT_EQ(i, static_cast<int>(taken.size()));
                      taken.push_back(v);
                    }); };
  switch (c.error) {
    case FileCase::None: EXPECT_NO_THROW(read()); break;
    case FileCase::InOut: EXPECT_THROW(read(), text::EInOutError); break;
    case FileCase::Convert: EXPECT_THROW(read(), text::EConvertError); break;
  }
  EXPECT_EQ(taken, c.taken);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EqualizerFile,
    ::testing::Values(
        FileCase{"Whole", "1\r\n-2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n-100\r\n58\r\n",
                 {1, -2, 3, 4, 5, 6, 7, 8, 9, -100, 58}, FileCase::None},
        FileCase{"LfLinesAndExtraLines", "0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n7\nrest\n",
                 {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}, FileCase::None},
        FileCase{"BadFourthLine", "1\r\n2\r\n3\r\nloud\r\n5\r\n", {1, 2, 3}, FileCase::Convert},
        FileCase{"ShortFile", "1\r\n2\r\n", {1, 2}, FileCase::Convert},
        FileCase{"Missing", nullptr, {}, FileCase::InOut}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Equalizer, WrittenFileReadsBackAsWritten) {
  TTempFolder dir;
  const std::string path = (dir.Path() / "eq.ini").string();
  const TBandPositions bands{-100, -50, 0, 1, 2, 3, 4, 5, 50, 100};
  WriteEqualizerFile(path, bands, 0);
  std::vector<int> taken;
  ReadEqualizerFile(path, [&](int, int v) { taken.push_back(v); });
  std::vector<int> expected(bands.begin(), bands.end());
  expected.push_back(0);
  EXPECT_EQ(taken, expected);
}

} // namespace
