#include "support/MpegAudioDecode.h"

#include <gtest/gtest.h>

#include "tsbuilder/MpegAudio.h"

namespace {

using testsupport::DecodeMpegAudio;

struct TStream {
  tsb::TAudioFormat format;
  double seconds;
};

class MpegAudioDecode : public testing::TestWithParam<TStream> {};

// Every frame comes back as PCM, including streams longer than one feed.
TEST_P(MpegAudioDecode, GivesEveryFrameAndItsFormat) {
  const TStream& s = GetParam();
  const tsb::Bytes es = tsb::EncodeTone(s.format, {}, s.seconds);
  const size_t frames = tsb::SplitFrames(es).size();
  const auto d = DecodeMpegAudio(es);
  EXPECT_TRUE(d.Decoded()) << d.error;
  EXPECT_EQ(d.rate, s.format.sampleRate);
  EXPECT_EQ(d.channels, s.format.mode == tsb::TAudioMode::Mono ? 1 : 2);
  EXPECT_EQ(d.frames, frames);
  EXPECT_EQ(d.layer, 2);
  EXPECT_EQ(d.bitrateKbps, s.format.bitrateKbps);
  EXPECT_TRUE(d.constantBitrate);
  EXPECT_EQ(d.PerChannel(), frames * 1152);
  EXPECT_EQ(d.samples.size(), static_cast<size_t>(d.sampleCount));

  const auto counted = DecodeMpegAudio(es, false);
  EXPECT_TRUE(counted.samples.empty());
  EXPECT_EQ(counted.sampleCount, d.sampleCount);
}

INSTANTIATE_TEST_SUITE_P(Streams, MpegAudioDecode,
                         testing::Values(TStream{{24000, 64, tsb::TAudioMode::Mono}, 0.5},
                                         TStream{{48000, 192, tsb::TAudioMode::Stereo}, 4.0}));

TEST(MpegAudioDecodeOf, TwoBitRatesAreNotConstant) {
  tsb::Bytes es = tsb::EncodeTone({48000, 192, tsb::TAudioMode::Stereo}, {}, 0.5);
  const tsb::Bytes higher = tsb::EncodeTone({48000, 256, tsb::TAudioMode::Stereo}, {}, 0.5);
  es.insert(es.end(), higher.begin(), higher.end());
  const auto d = DecodeMpegAudio(es);
  EXPECT_TRUE(d.Decoded());
  EXPECT_FALSE(d.constantBitrate);
  EXPECT_EQ(d.bitrateKbps, 192);
}

TEST(MpegAudioDecodeOf, NoAudioIsNotDecoded) {
  EXPECT_FALSE(DecodeMpegAudio(std::string()).Decoded());
  EXPECT_FALSE(DecodeMpegAudio(std::string(5000, 'x')).Decoded());
}

} // namespace
