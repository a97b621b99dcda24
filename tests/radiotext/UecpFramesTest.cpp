#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "radiotext/UecpFrames.h"
#include "tsbuilder/RdsAncillary.h"

using radiotext::TUecpFrames;
using Bytes = std::vector<uint8_t>;

namespace {

// Messages of every frame that the bytes complete.
std::vector<Bytes> Decode(TUecpFrames& frames, const Bytes& stream) {
  std::vector<Bytes> out;
  for (uint8_t b : stream)
    if (frames.Feed(b)) out.emplace_back(frames.Message(), frames.Message() + frames.MessageLength());
  return out;
}

Bytes Joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

} // namespace

TEST(UecpCrc, IsTheCcittCrcStartingAtAllOnesAndInverted) {
  // The catalogue's check value of this CRC (CRC-16/GENIBUS) over "123456789".
  const std::string check = "123456789";
  EXPECT_EQ(radiotext::UecpCrc(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xD64E);
}

TEST(UecpFramesTest, EscapedBytesComeBackAndBadFramesAreDroppedAndCounted) {
  // A message holding each byte that has to be escaped; the sequence numbers
  // 0xFD..0xFF escape the frame's own head too.
  const Bytes tricky = {0x0A, 0xFD, 0xFE, 0xFF, 0x00, 0x41};
  Bytes corrupted = tsb::UecpFrame(tricky, 1);
  corrupted[corrupted.size() - 2] ^= 0x01;  // the CRC's low byte
  Bytes badEscape = tsb::UecpFrame({0x02, 0x00}, 2);
  badEscape.insert(badEscape.begin() + 2, {0xFD, 0x07});
  Bytes wrongLength = tsb::UecpFrame({0x02, 0x00, 0x00}, 3);
  wrongLength[4] = 0x05;  // the length byte says 5, three follow

  struct Case {
    const char* what;
    Bytes stream;
    std::vector<Bytes> messages;
    uint64_t crcFailures, malformed;
  } cases[] = {
      {"escapes", tsb::UecpFrame(tricky, 0xFE), {tricky}, 0, 0},
      {"noise before and between", Joined({{0x12, 0xFF, 0xFD}, tsb::UecpFrame({0x01}, 0), {0x55}, tsb::UecpFrame({0x02}, 1)}),
       {{0x01}, {0x02}}, 0, 0},
      {"a CRC that fails", Joined({corrupted, tsb::UecpFrame({0x03}, 0)}), {{0x03}}, 1, 0},
      {"an escape of nothing known", Joined({badEscape, tsb::UecpFrame({0x04}, 0)}), {{0x04}}, 0, 1},
      {"a length the frame does not have", wrongLength, {}, 0, 1},
      {"a start inside a frame begins afresh", Joined({{0xFE, 0x00, 0x00}, tsb::UecpFrame({0x05}, 9)}), {{0x05}}, 0, 1},
      {"empty message", tsb::UecpFrame({}, 0), {Bytes{}}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TUecpFrames frames;
    EXPECT_EQ(Decode(frames, c.stream), c.messages);
    EXPECT_EQ(frames.CrcFailures(), c.crcFailures);
    EXPECT_EQ(frames.Malformed(), c.malformed);
  }
}

TEST(UecpFramesTest, AnEndlessFrameIsGivenUpAndTheNextStartIsFound) {
  TUecpFrames frames;
  Bytes endless = {0xFE};
  endless.resize(100000, 0x41);
  EXPECT_TRUE(Decode(frames, endless).empty());
  EXPECT_EQ(frames.Malformed(), 1u);
  EXPECT_EQ(Decode(frames, tsb::UecpFrame({0x0A, 0x00}, 0)), std::vector<Bytes>{Bytes({0x0A, 0x00})});
}
