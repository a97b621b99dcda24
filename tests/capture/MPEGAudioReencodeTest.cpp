#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>

#include "capture/MpegReencoder.h"
#include "capture/ReencodeTestAudio.h"
#include "support/Command.h"

using namespace reencode_test;

namespace {

constexpr int32_t kChunk = 32767;
constexpr int32_t kCapacity = 131070;

// Settings a capture session gives its encoder.
void SessionSettings(TMPEGReEncode& r) {
  r.OutSampleRate = 0;
  r.ChannelMode = 2;
  r.Bitrate = 320;
  r.Preset = 2;
}

int32_t RecodeOnce(TMPEGReEncode& r, const Bytes& data, size_t from = 0, int32_t capacity = kCapacity) {
  static Bytes out(kCapacity);
  const size_t n = std::min<size_t>(kChunk, data.size() - from);
  return r.Recode(data.data() + from, static_cast<int32_t>(n), out.data(), capacity);
}

// Walks the MP3 frame by frame: every frame valid, Layer III, one bit rate.
void ExpectConstantBitrateStream(const Bytes& mp3, int kbps) {
  ASSERT_GE(mp3.size(), 4u);
  size_t pos = 0;
  int frames = 0;
  while (pos + 4 <= mp3.size()) {
    const uint8_t* h = mp3.data() + pos;
    ASSERT_TRUE(TMPEGReEncode::IsValidHeader(h)) << "frame " << frames << " at " << pos;
    ASSERT_EQ((h[1] >> 1) & 3, 1) << "not Layer III";
    ASSERT_EQ(TMPEGReEncode::BitrateKbps(h), kbps) << "frame " << frames;
    pos += static_cast<size_t>(TMPEGReEncode::FrameLength(h));
    ++frames;
  }
  EXPECT_GE(frames, 10);
}

std::string Ffprobe(const std::string& path) {
  if (!testsupport::HaveTool("ffprobe")) return {};
  return testsupport::CommandOutput("ffprobe -v error -select_streams a:0 -show_entries "
                                    "stream=codec_name,sample_rate,channels -of default=nw=1 '" + path + "'");
}

// ---- opening the stream from the first frame --------------------------------

struct TOpening {
  uint8_t header[4];
  int32_t mode, bitrate;
  uint32_t rate, mpegVersion, maxBitrate;
};

class MPEGAudioOpening : public testing::TestWithParam<TOpening> {};
void PrintTo(const TOpening& o, std::ostream* os) { *os << o.rate << " Hz, " << o.bitrate << "k"; }

TEST_P(MPEGAudioOpening, FirstFrameSetsTheEncoderRecord) {
  const TOpening& o = GetParam();
  TMPEGReEncode r;
  ASSERT_TRUE(r.Ready());
  SessionSettings(r);
  const Bytes data = SilentFrames(o.header, 60);
  ASSERT_GE(RecodeOnce(r, data), 0);
  ASSERT_TRUE(r.StreamOpen());
  const BE_CONFIG& c = r.Config();
  EXPECT_EQ(c.dwConfig, BE_CONFIG_LAME);
  EXPECT_EQ(c.format.LHV1.dwStructVersion, 2u);
  EXPECT_EQ(c.format.LHV1.dwStructSize, 331u);
  EXPECT_EQ(c.format.LHV1.dwSampleRate, o.rate);
  EXPECT_EQ(c.format.LHV1.dwReSampleRate, 0u);
  EXPECT_EQ(c.format.LHV1.nMode, o.mode);
  EXPECT_EQ(c.format.LHV1.dwBitrate, static_cast<uint32_t>(o.bitrate));
  EXPECT_EQ(c.format.LHV1.dwMpegVersion, o.mpegVersion);
  EXPECT_EQ(c.format.LHV1.dwMaxBitrate, o.maxBitrate);
  EXPECT_EQ(c.format.LHV1.nPreset, LQP_NORMAL_QUALITY);
  EXPECT_EQ(c.format.LHV1.bOriginal, -1);
  EXPECT_EQ(c.format.LHV1.bStrictIso, 1);
  EXPECT_EQ(c.format.LHV1.bEnableVBR, 0);
  for (uint8_t b : c.format.LHV1.btReserved) ASSERT_EQ(b, 0);
  EXPECT_EQ(r.Bitrate, o.bitrate);
  EXPECT_EQ(r.ChannelMode, o.mode == BE_MP3_MODE_MONO ? 1 : 2);
  EXPECT_EQ(r.InSampleRate, o.rate);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, MPEGAudioOpening,
    testing::Values(
        TOpening{{0xFF, 0xFD, 0x44, 0xC0}, BE_MP3_MODE_MONO, 64, 48000, MPEG1, 320},
        TOpening{{0xFF, 0xFD, 0xC4, 0x00}, BE_MP3_MODE_STEREO, 256, 48000, MPEG1, 320},
        TOpening{{0xFF, 0xFD, 0xE4, 0x00}, BE_MP3_MODE_STEREO, 320, 48000, MPEG1, 320},
        TOpening{{0xFF, 0xF5, 0x84, 0x00}, BE_MP3_MODE_STEREO, 64, 24000, MPEG2, 160}),
    [](const testing::TestParamInfo<TOpening>& i) {
      return std::string(i.param.header[3] >> 6 == 3 ? "Mono" : "Stereo") +
             std::to_string(TMPEGReEncode::BitrateKbps(i.param.header)) + "k" +
             std::to_string(i.param.rate);
    });

TEST(MPEGAudioReencode, MissingLibraryOrFunctionLeavesItNotReady) {
  const uint8_t header[4] = {0xFF, 0xFD, 0xA4, 0x00};
  const Bytes data = SilentFrames(header, 60);
  Bytes out(kCapacity);
  for (auto libs : {std::pair{"libmpg123.so.0", "libmp3lame-missing.so.0"},
                    std::pair{"libmpg123-missing.so.0", "libmp3lame.so.0"},
                    std::pair{"libmp3lame.so.0", "libmp3lame.so.0"},   // lacks the decoder
                    std::pair{"libmpg123.so.0", "libmpg123.so.0"}}) {
    TMPEGReEncode r(libs.first, libs.second);
    EXPECT_FALSE(r.Ready()) << libs.first << " / " << libs.second;
    for (int i = 0; i < 2; ++i)
      EXPECT_EQ(r.Recode(data.data(), kChunk, out.data(), kCapacity), -1);
    EXPECT_FALSE(r.StreamOpen());
  }
}

TEST(MPEGAudioReencode, NoFramePairMeansNoStream) {
  TMPEGReEncode r;
  SessionSettings(r);
  const uint8_t header[4] = {0xFF, 0xFD, 0xA4, 0x00};
  const Bytes lone = SilentFrames(header, 1);
  Bytes out(kCapacity);
  EXPECT_EQ(r.Recode(lone.data(), static_cast<int32_t>(lone.size()), out.data(), kCapacity), -1);
  EXPECT_FALSE(r.StreamOpen());
  EXPECT_EQ(r.Bitrate, 320);
}

// ---- a real stream -----------------------------------------------------------

struct TSource {
  int rate, channels, kbps;
};

class MPEGAudioRealStream : public testing::TestWithParam<TSource> {};
void PrintTo(const TSource& s, std::ostream* os) {
  *os << s.rate << " Hz, " << s.channels << " ch, " << s.kbps << "k";
}

TEST_P(MPEGAudioRealStream, ChunksBecomeAConstantBitrateMp3OfTheSameAudio) {
  const TSource s = GetParam();
  const Bytes source = MakeLayer2(s.rate, s.channels, s.kbps, 4.0);
  const auto original = testsupport::DecodeMpegAudio(source);
  ASSERT_EQ(original.rate, s.rate);

  TMPEGReEncode r;
  SessionSettings(r);
  const Bytes mp3 = RecodeInChunks(r, source, kChunk);
  ASSERT_TRUE(r.StreamOpen());
  EXPECT_EQ(r.ValuesEncoded(), original.samples.size()) << "source frames were not all encoded";
  ExpectConstantBitrateStream(mp3, r.Bitrate);
  EXPECT_EQ(r.Bitrate, s.kbps);

  const auto back = testsupport::DecodeMpegAudio(mp3);
  EXPECT_EQ(back.rate, s.rate);
  EXPECT_EQ(back.channels, s.channels);
  // The encoder keeps its last frames (never flushed), and at low bit rates
  // its bit reservoir holds back as many frames as the reservoir spans.
  const long frameSamples = s.rate >= 32000 ? 1152 : 576;
  const double frameBytes = frameSamples / 8.0 * s.kbps * 1000 / s.rate;
  const double reservoir = s.rate >= 32000 ? 511 : 255;
  const double held = frameBytes < reservoir ? std::ceil(reservoir / frameBytes) : 0;
  EXPECT_NEAR(static_cast<double>(back.PerChannel()), static_cast<double>(original.PerChannel()),
              (2 + held) * frameSamples);
  EXPECT_GT(ToneShare(back, 0, 1000), 0.9);
  if (s.channels == 2) {
    EXPECT_GT(ToneShare(back, 1, 750), 0.9);
  }

  const std::string path = WriteTemp(mp3, ".mp3");
  const std::string probe = Ffprobe(path);
  std::remove(path.c_str());
  if (!probe.empty()) {
    EXPECT_NE(probe.find("codec_name=mp3"), std::string::npos) << probe;
    EXPECT_NE(probe.find("sample_rate=" + std::to_string(s.rate)), std::string::npos) << probe;
    EXPECT_NE(probe.find("channels=" + std::to_string(s.channels)), std::string::npos) << probe;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, MPEGAudioRealStream,
                         testing::Values(TSource{48000, 2, 192}, TSource{48000, 1, 64},
                                         TSource{24000, 2, 64}),
                         [](const testing::TestParamInfo<TSource>& i) {
                           return std::string(i.param.channels == 1 ? "Mono" : "Stereo") +
                                  std::to_string(i.param.kbps) + "k" +
                                  std::to_string(i.param.rate);
                         });

TEST(MPEGAudioReencode, FirstChunkEncodesEveryWholeFrame) {
  const Bytes source = MakeLayer2(48000, 2, 192, 3.0);
  ASSERT_EQ(TMPEGReEncode::FrameLength(source.data()), 576);
  TMPEGReEncode r;
  SessionSettings(r);
  ASSERT_GE(RecodeOnce(r, source, 0), 0);
  EXPECT_EQ(r.ValuesEncoded(), 56u * 2304u);   // 56 frames of 1152 stereo samples
  ASSERT_GE(RecodeOnce(r, source, kChunk), 0);
  // 65534 bytes hold 113 whole frames: the 57th was completed by this call.
  EXPECT_EQ(r.ValuesEncoded(), 113u * 2304u);
}

TEST(MPEGAudioReencode, StereoSourceReducedToItsLeftChannel) {
  const Bytes source = MakeLayer2(48000, 2, 192, 3.0);
  TMPEGReEncode r;
  SessionSettings(r);
  r.ChannelMode = 1;
  const Bytes mp3 = RecodeInChunks(r, source, kChunk);
  EXPECT_EQ(r.Config().format.LHV1.nMode, BE_MP3_MODE_MONO);
  const auto back = testsupport::DecodeMpegAudio(mp3);
  ASSERT_EQ(back.channels, 1);
  EXPECT_NEAR(static_cast<double>(back.PerChannel()), 3.0 * 48000, 3 * 1152.0);
  EXPECT_GT(ToneShare(back, 0, 1000), 0.9);
}

TEST(MPEGAudioReencode, OutputStopsBeforeABlockThatMightNotFitAndHeldFramesFollow) {
  const Bytes source = MakeLayer2(48000, 2, 192, 2.0);
  TMPEGReEncode r;
  SessionSettings(r);
  Bytes out(kCapacity);
  ASSERT_GE(r.Recode(source.data(), 576 * 3, out.data(), kCapacity), 0);
  const int32_t size = static_cast<int32_t>(r.EncoderOutputSize());
  ASSERT_GT(size, 0);
  EXPECT_EQ(r.Recode(source.data() + 576 * 3, kChunk, out.data(), size - 1), -1);
  const uint64_t before = r.ValuesEncoded();
  const int32_t first = r.Recode(source.data() + 576 * 3, kChunk, out.data(), size);
  EXPECT_GT(first, 0);
  EXPECT_LE(first, size);
  EXPECT_TRUE(r.HoldsMore());
  const uint64_t afterStop = r.ValuesEncoded();
  EXPECT_LT(afterStop - before, 56u * 2304u);   // stopped early
  // A call without new input goes on with the frames the decoder still holds.
  EXPECT_GT(r.Recode(nullptr, 0, out.data(), kCapacity), 0);
  EXPECT_FALSE(r.HoldsMore());
  EXPECT_GT(r.ValuesEncoded(), afterStop);
}

TEST(MPEGAudioReencode, ObjectsWorkingSideBySideStayIndependent) {
  // Sessions share one thread and the same libraries: interleaving two
  // objects must give each the bytes it would give alone.
  const Bytes a = MakeLayer2(48000, 2, 192, 1.5, 1000, 750);
  const Bytes b = MakeLayer2(48000, 1, 96, 1.5, 500, 500);
  TMPEGReEncode aloneA, aloneB, sideA, sideB;
  for (TMPEGReEncode* r : {&aloneA, &aloneB, &sideA, &sideB}) SessionSettings(*r);
  const Bytes expectA = RecodeInChunks(aloneA, a, 4096);
  const Bytes expectB = RecodeInChunks(aloneB, b, 4096);
  Bytes gotA, gotB, out(kCapacity);
  for (size_t pos = 0; pos < std::max(a.size(), b.size()); pos += 4096) {
    for (auto [r, src, got] : {std::tuple{&sideA, &a, &gotA}, std::tuple{&sideB, &b, &gotB}}) {
      if (pos >= src->size()) continue;
      const size_t n = std::min<size_t>(4096, src->size() - pos);
      const int32_t m = r->Recode(src->data() + pos, static_cast<int32_t>(n), out.data(), kCapacity);
      if (m > 0) got->insert(got->end(), out.begin(), out.begin() + m);
    }
  }
  EXPECT_FALSE(expectA.empty());
  EXPECT_EQ(gotA, expectA);
  EXPECT_EQ(gotB, expectB);
}

// ---- bad input -----------------------------------------------------------------

void ExpectInRange(int32_t m) {
  EXPECT_GE(m, -1);
  EXPECT_LE(m, kCapacity);
}

// A station that switches to mono, then to another rate, keeps its timing:
// the decoder converts to the format the encoder was opened with.
TEST(MPEGAudioReencode, FormatChangeMidwayKeepsTheOpeningFormatAndDuration) {
  Bytes source = MakeLayer2(48000, 2, 192, 2.0);
  const Bytes mono = MakeLayer2(48000, 1, 64, 2.0);
  const Bytes halfRate = MakeLayer2(24000, 2, 96, 2.0);
  source.insert(source.end(), mono.begin(), mono.end());
  source.insert(source.end(), halfRate.begin(), halfRate.end());
  TMPEGReEncode r;
  SessionSettings(r);
  const auto out = testsupport::DecodeMpegAudio(RecodeInChunks(r, source, kChunk));
  EXPECT_EQ(out.rate, 48000);
  EXPECT_EQ(out.channels, 2);
  const double seconds = static_cast<double>(out.PerChannel()) / 48000.0;
  EXPECT_NEAR(seconds, 6.0, 0.25) << "audio after the switch plays at the wrong speed";
}

TEST(MPEGAudioReencode, JunkSwitchesAndTruncationAreSurvived) {
  std::mt19937 rng(4);
  Bytes junk(kChunk);
  Bytes out(kCapacity);
  TMPEGReEncode r;
  SessionSettings(r);
  // Random chunks before and after the stream opened.
  for (int i = 0; i < 4; ++i) {
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    ExpectInRange(r.Recode(junk.data(), kChunk, out.data(), kCapacity));
  }
  const Bytes a = MakeLayer2(48000, 2, 192, 1.5);
  ExpectInRange(RecodeOnce(r, a));
  ASSERT_TRUE(r.StreamOpen());
  for (int i = 0; i < 4; ++i) {
    for (auto& b : junk) b = static_cast<uint8_t>(rng() | (i % 2 ? 0xE0 : 0));   // sync-rich
    ExpectInRange(r.Recode(junk.data(), kChunk, out.data(), kCapacity));
  }

  // Rate and channel count change midway, and frames lose their tails.
  Bytes mixed = a;
  const Bytes b = MakeLayer2(24000, 1, 32, 1.5);
  const Bytes c = MakeLayer2(44100, 2, 128, 1.0);
  mixed.insert(mixed.end(), b.begin(), b.end());
  for (size_t at = 0; at + 400 < c.size(); at += 417)
    mixed.insert(mixed.end(), c.begin() + static_cast<std::ptrdiff_t>(at),
                 c.begin() + static_cast<std::ptrdiff_t>(at + 200 + at % 200));
  mixed.insert(mixed.end(), a.begin(), a.end());
  for (size_t size : {size_t{kChunk}, size_t{1}, size_t{3}, size_t{575}, size_t{4097}}) {
    TMPEGReEncode s;
    SessionSettings(s);
    for (size_t pos = 0; pos < mixed.size(); pos += size) {
      const size_t n = std::min(size, mixed.size() - pos);
      ExpectInRange(s.Recode(mixed.data() + pos, static_cast<int32_t>(n), out.data(), kCapacity));
    }
    // Chunks too short to hold a frame pair never open the stream.
    EXPECT_EQ(s.StreamOpen(), size > 3) << "chunk size " << size;
  }
  // Nonsense arguments are refused.
  EXPECT_EQ(r.Recode(a.data(), -1, out.data(), kCapacity), -1);
  EXPECT_EQ(r.Recode(a.data(), kChunk, nullptr, kCapacity), -1);
  EXPECT_EQ(r.Recode(nullptr, 10, out.data(), kCapacity), -1);
  EXPECT_EQ(r.Recode(a.data(), kChunk, out.data(), -5), -1);
}

// ---- encoder failures, through a stand-in encoder library ---------------------

class MPEGAudioEncoderErrors : public testing::Test {
 protected:
  void SetUp() override {
    lib_ = ::dlopen(REENCODE_FAKE_LAME, RTLD_NOW);
    ASSERT_NE(lib_, nullptr) << ::dlerror();
    failInit_ = Var("fake_lame_fail_init");
    failEncodeAt_ = Var("fake_lame_fail_encode_at");
    open_ = Var("fake_lame_open");
    inits_ = Var("fake_lame_inits");
    encodes_ = Var("fake_lame_encodes");
    *failInit_ = 0;
    *failEncodeAt_ = -1;
  }
  void TearDown() override {
    if (lib_) ::dlclose(lib_);
  }
  int* Var(const char* name) { return static_cast<int*>(::dlsym(lib_, name)); }

  void* lib_ = nullptr;
  int *failInit_ = nullptr, *failEncodeAt_ = nullptr, *open_ = nullptr, *inits_ = nullptr,
      *encodes_ = nullptr;
};

TEST_F(MPEGAudioEncoderErrors, EncodeFailureClosesAndNextChunkReopens) {
  const uint8_t mono64[4] = {0xFF, 0xFD, 0x44, 0xC0};
  const uint8_t stereo256[4] = {0xFF, 0xFD, 0xC4, 0x00};
  const Bytes first = SilentFrames(mono64, 40);
  const Bytes second = SilentFrames(stereo256, 40);
  {
    TMPEGReEncode r("libmpg123.so.0", REENCODE_FAKE_LAME);
    ASSERT_TRUE(r.Ready());
    SessionSettings(r);
    ASSERT_GT(RecodeOnce(r, first), 0);
    ASSERT_TRUE(r.StreamOpen());
    EXPECT_EQ(*open_, 1);

    *failEncodeAt_ = *encodes_ + 2;
    EXPECT_EQ(RecodeOnce(r, first), -1);
    EXPECT_FALSE(r.StreamOpen());
    EXPECT_EQ(*open_, 0) << "the failed stream was not closed";

    // Reopened from the next chunk's first frame; the bit rate only falls.
    EXPECT_GT(RecodeOnce(r, second), 0);
    EXPECT_TRUE(r.StreamOpen());
    EXPECT_EQ(*open_, 1);
    EXPECT_EQ(r.Bitrate, 64);
    EXPECT_EQ(r.Config().format.LHV1.dwBitrate, 64u);
    EXPECT_EQ(r.Config().format.LHV1.nMode, BE_MP3_MODE_MONO);   // stays mono once chosen
  }
  EXPECT_EQ(*open_, 0) << "destruction left a stream open";
}

TEST_F(MPEGAudioEncoderErrors, FailedOpeningIsRetriedOnEveryChunk) {
  const uint8_t header[4] = {0xFF, 0xFD, 0xA4, 0x00};
  const Bytes data = SilentFrames(header, 60);
  TMPEGReEncode r("libmpg123.so.0", REENCODE_FAKE_LAME);
  SessionSettings(r);
  *failInit_ = 1;
  const int inits = *inits_;
  EXPECT_EQ(RecodeOnce(r, data), -1);
  EXPECT_EQ(RecodeOnce(r, data), -1);
  EXPECT_EQ(*inits_, inits + 2);
  EXPECT_EQ(*open_, 0);
  EXPECT_FALSE(r.StreamOpen());
  *failInit_ = 0;
  EXPECT_GT(RecodeOnce(r, data), 0);
  EXPECT_TRUE(r.StreamOpen());
}

TEST_F(MPEGAudioEncoderErrors, MoreOutputThanCapacityWaitsForTheNextCallUncut) {
  // The stand-in writes two bytes per sample: 60 stereo frames overrun 131070.
  const uint8_t header[4] = {0xFF, 0xFD, 0xA4, 0x00};
  const Bytes data = SilentFrames(header, 60);
  TMPEGReEncode r("libmpg123.so.0", REENCODE_FAKE_LAME);
  SessionSettings(r);
  Bytes out(kCapacity + 16, 0xEE);
  int32_t total = r.Recode(data.data(), static_cast<int32_t>(data.size()), out.data(), kCapacity);
  EXPECT_LE(total, kCapacity);
  for (int i = 0; i < 16; ++i) ASSERT_EQ(out[kCapacity + i], 0xEE) << "written past capacity";
  ASSERT_TRUE(r.HoldsMore());
  for (int calls = 0; r.HoldsMore() && calls < 10; ++calls) total += r.Recode(nullptr, 0, out.data(), kCapacity);
  // Every block whole (the stand-in's two bytes a stereo sample are one a
  // value), and the frames all encoded.
  EXPECT_EQ(static_cast<uint64_t>(total), r.ValuesEncoded());
  EXPECT_GE(r.ValuesEncoded(), 59u * 2304u);
}

}  // namespace
