#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "capture/MpegReencoder.h"

namespace {

using H = std::array<uint8_t, 4>;

int32_t Length(H h) { return TMPEGReEncode::FrameLength(h.data()); }
bool Valid(H h) { return TMPEGReEncode::IsValidHeader(h.data()); }

TEST(MPEGAudioHeader, FrameLengthsOfEveryVersionAndLayer) {
  EXPECT_EQ(Length({0xFF, 0xFD, 0xA4, 0x00}), 576);   // MPEG-1 II 192k 48000
  EXPECT_EQ(Length({0xFF, 0xFB, 0x90, 0x64}), 417);   // MPEG-1 III 128k 44100
  EXPECT_EQ(Length({0xFF, 0xFB, 0x92, 0x64}), 418);   // same, padded
  EXPECT_EQ(Length({0xFF, 0xF3, 0x34, 0x00}), 72);    // MPEG-2 III 24k 24000
  EXPECT_EQ(Length({0xFF, 0xE3, 0x34, 0x00}), 144);   // MPEG-2.5 III 24k 12000
  EXPECT_EQ(Length({0xFF, 0xFF, 0x10, 0x00}), 32);    // MPEG-1 I 32k 44100
  EXPECT_EQ(Length({0xFF, 0xFF, 0x12, 0x00}), 36);    // Layer I pads by a 4-byte slot
  EXPECT_EQ(Length({0xFF, 0xFD, 0xE4, 0x00}), 1152);  // MPEG-1 II 384k 48000
  EXPECT_EQ(Length({0xFF, 0xF5, 0xE4, 0x00}), 960);   // MPEG-2 II 160k 24000
  EXPECT_EQ(Length({0xFF, 0xF7, 0xE4, 0x00}), 512);   // MPEG-2 I 256k 24000
  for (H h : {H{0xFF, 0xFD, 0xA4, 0x00}, H{0xFF, 0xFB, 0x90, 0x64}, H{0xFF, 0xF3, 0x34, 0x00},
              H{0xFF, 0xE3, 0x34, 0x00}, H{0xFF, 0xFF, 0x10, 0x00}})
    EXPECT_TRUE(Valid(h));
}

TEST(MPEGAudioHeader, EachInvalidFieldIsRefused) {
  const H good{0xFF, 0xFD, 0xA4, 0x00};
  ASSERT_TRUE(Valid(good));
  EXPECT_FALSE(Valid({0xFE, 0xFD, 0xA4, 0x00}));  // sync, first byte
  EXPECT_FALSE(Valid({0xFF, 0xDD, 0xA4, 0x00}));  // sync, top bits of the second
  EXPECT_FALSE(Valid({0xFF, 0xED, 0xA4, 0x00}));  // version bits 1
  EXPECT_FALSE(Valid({0xFF, 0xF9, 0xA4, 0x00}));  // layer bits 0
  EXPECT_FALSE(Valid({0xFF, 0xFD, 0x04, 0x00}));  // free format
  EXPECT_FALSE(Valid({0xFF, 0xFD, 0xF4, 0x00}));  // bit-rate index 15
  EXPECT_FALSE(Valid({0xFF, 0xFD, 0xAC, 0x00}));  // sample-rate index 3
  EXPECT_FALSE(Valid({0xFF, 0xFD, 0xA4, 0x02}));  // emphasis 2
  EXPECT_TRUE(Valid({0xFF, 0xFD, 0xA4, 0x01}));   // emphasis 1 is a real value
  EXPECT_EQ(Length({0xFF, 0xF9, 0xA4, 0x00}), 0); // no length without a layer
}

std::vector<uint8_t> Frames(size_t lead, int count) {
  std::vector<uint8_t> d(lead + 576 * static_cast<size_t>(count), 0);
  for (int i = 0; i < count; ++i) {
    uint8_t* h = d.data() + lead + 576 * static_cast<size_t>(i);
    h[0] = 0xFF; h[1] = 0xFD; h[2] = 0xA4; h[3] = 0x00;
  }
  return d;
}

TEST(MPEGAudioHeader, FindFrameNeedsAConfirmingSecondHeader) {
  auto two = Frames(10, 2);
  EXPECT_EQ(TMPEGReEncode::FindFrame(two.data(), static_cast<int32_t>(two.size())), 10);
  auto one = Frames(10, 1);
  ASSERT_EQ(one.size(), 586u);
  EXPECT_EQ(TMPEGReEncode::FindFrame(one.data(), 586), -1);
  // The second header must lie wholly inside the data.
  EXPECT_EQ(TMPEGReEncode::FindFrame(two.data(), 10 + 576 + 3), -1);
  EXPECT_EQ(TMPEGReEncode::FindFrame(two.data(), 10 + 576 + 4), 10);
  // A false sync in the lead whose successor is no header is passed over.
  two[3] = 0xFF; two[4] = 0xFD; two[5] = 0xA4; two[6] = 0x00;
  EXPECT_EQ(TMPEGReEncode::FindFrame(two.data(), static_cast<int32_t>(two.size())), 10);
  // A candidate whose frame runs past the end stops the search there.
  // (a 384k header claiming 1152 bytes, then a good pair that would fit).
  auto late = Frames(10, 2);
  late.resize(10 + 576 + 4);
  late[0] = 0xFF; late[1] = 0xFD; late[2] = 0xE4; late[3] = 0x00;
  EXPECT_EQ(TMPEGReEncode::FindFrame(late.data(), static_cast<int32_t>(late.size())), -1);
  EXPECT_EQ(TMPEGReEncode::FindFrame(late.data() + 1, static_cast<int32_t>(late.size()) - 1), 9);
  EXPECT_EQ(TMPEGReEncode::FindFrame(nullptr, 100), -1);
  EXPECT_EQ(TMPEGReEncode::FindFrame(two.data(), 3), -1);
  EXPECT_EQ(TMPEGReEncode::FindFrame(two.data(), -5), -1);
}

}  // namespace
