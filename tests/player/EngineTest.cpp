// The engine library driven through the component, rendering to WAV files or
// the paced dummy output, with files and with live streams from the server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <twolame.h>

#include "player/XaudioPlayer.h"
#include "server/AudioServer.h"
#include "server/ServerTestUtil.h"

namespace {

using namespace std::chrono_literals;
// How long a wait goes on before the test gives up: only a hung engine takes it.
constexpr auto kPatience = 60s;
const std::string kDemo = std::string(MC_BIN_DIR) + "/Device/Emulator/4084H.es/101.mp2";

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "/engine_" + std::to_string(::getpid()) + "_" + name;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Interleaved 16-bit samples after the 44-byte head.
std::vector<int16_t> WavSamples(const std::string& path) {
  const std::string all = ReadAll(path);
  std::vector<int16_t> out;
  if (all.size() < 44 || all.compare(0, 4, "RIFF") != 0) return out;
  out.resize((all.size() - 44) / 2);
  std::memcpy(out.data(), all.data() + 44, out.size() * 2);
  return out;
}

// Share of the left channel's energy above `hz`, from 2048-point spectra.
double EnergyAbove(const std::vector<int16_t>& s, double hz, int rate = 48000) {
  const size_t n = 2048;
  double high = 0;
  for (size_t block = 0; block + 2 * n <= s.size() && block < 40 * 2 * n; block += 2 * n) {
    std::vector<std::complex<double>> a(n);
    for (size_t i = 0; i < n; ++i) a[i] = s[block + 2 * i];
    // Iterative radix-2 FFT.
    for (size_t i = 1, j = 0; i < n; ++i) {
      size_t bit = n >> 1;
      for (; j & bit; bit >>= 1) j ^= bit;
      j ^= bit;
      if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
      const auto w = std::polar(1.0, -2 * M_PI / static_cast<double>(len));
      for (size_t i = 0; i < n; i += len) {
        std::complex<double> x = 1;
        for (size_t k = 0; k < len / 2; ++k, x *= w) {
          const auto u = a[i + k], v = a[i + k + len / 2] * x;
          a[i + k] = u + v;
          a[i + k + len / 2] = u - v;
        }
      }
    }
    for (size_t k = static_cast<size_t>(hz * n / rate); k < n / 2; ++k) high += std::norm(a[k]);
  }
  return high;
}


// White noise as Layer II frames; empty when twolame takes no such format.
std::string NoiseMp2(int rate, int kbps, int channels, double seconds) {
  twolame_options* o = twolame_init();
  twolame_set_verbosity(o, 0);
  twolame_set_num_channels(o, channels);
  twolame_set_in_samplerate(o, rate);
  twolame_set_out_samplerate(o, rate);
  twolame_set_mode(o, channels == 1 ? TWOLAME_MONO : TWOLAME_STEREO);
  twolame_set_bitrate(o, kbps);
  twolame_set_psymodel(o, 0);
  twolame_set_quick_mode(o, 0);
  std::string out;
  if (twolame_init_params(o) != 0) {
    twolame_close(&o);
    return out;
  }
  std::vector<int16_t> pcm(1152 * static_cast<size_t>(channels));
  std::vector<unsigned char> mp2(16384);
  uint32_t seed = 12345;
  for (int frame = 0; frame < seconds * rate / 1152; ++frame) {
    for (auto& v : pcm) {
      seed = seed * 1664525u + 1013904223u;
      v = static_cast<int16_t>(static_cast<int32_t>(seed >> 16) / 8 - 4096);
    }
    const int n = twolame_encode_buffer_interleaved(o, pcm.data(), 1152, mp2.data(), static_cast<int>(mp2.size()));
    if (n > 0) out.append(reinterpret_cast<char*>(mp2.data()), static_cast<size_t>(n));
  }
  const int n = twolame_encode_flush(o, mp2.data(), static_cast<int>(mp2.size()));
  if (n > 0) out.append(reinterpret_cast<char*>(mp2.data()), static_cast<size_t>(n));
  twolame_close(&o);
  return out;
}

// White noise as a Layer II file. At 32 kHz the subbands are 500 Hz wide, so
// bands 23 to 31 cover 11.5 to 16 kHz, where encoders still spend bits (at
// 48 kHz those bands lie above what Layer II encoders code at all).
bool WriteNoiseMp2(const std::string& path, double seconds) {
  const std::string out = NoiseMp2(32000, 384, 2, seconds);
  std::ofstream(path, std::ios::binary) << out;
  return !out.empty();
}

// The rate and channel count in a WAV file's head, and its data size field.
struct TWavHead {
  uint32_t rate = 0, dataBytes = 0;
  uint16_t channels = 0;
};
TWavHead ReadWavHead(const std::string& path) {
  const std::string all = ReadAll(path);
  TWavHead h;
  if (all.size() < 44) return h;
  std::memcpy(&h.channels, all.data() + 22, 2);
  std::memcpy(&h.rate, all.data() + 24, 4);
  std::memcpy(&h.dataBytes, all.data() + 40, 4);
  return h;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    player.XaudioPath = std::string(MC_BIN_DIR) + "/libxaudio.so";
    player.OnNotifyStreamParameters = [&](TXaudioPlayer*, uint32_t f, int16_t b, uint8_t c) {
      frequency = f, bitrate = b, channels = c;
      parameters.push_back({f, b, c});
    };
    player.OnNotifyInputTimecode = [&](TXaudioPlayer*, uint8_t h, uint8_t m, uint8_t s, uint8_t f) {
      ++timecodes;
      lastTimecode = h * 3600.0 + m * 60 + s + f / 100.0;
      times.push_back(lastTimecode);
    };
    player.OnNotifyInputPosition = [&](TXaudioPlayer*, uint32_t o, uint32_t r) {
      ++positions;
      lastOffset = o, lastRange = r;
    };
    player.OnNotifyStreamDuration = [&](TXaudioPlayer*, uint32_t d) { duration = d; };
    player.OnNotifyPlayerState = [&](TXaudioPlayer*, int32_t s) {
      state = s;
      if (s == XA_PLAYER_STATE_EOS) ++ends;
    };
    player.OnNotifyError = [&](TXaudioPlayer*, uint8_t, int16_t code, const std::string& m) {
      errors.push_back(m);
      errorCodes.push_back(code);
    };
    player.OnNotifyNack = [&](TXaudioPlayer*, uint8_t c, int16_t) { nacks.push_back(c); };
    // The engine answers a command after what the command itself reported.
    player.OnNotifyAck = [&](TXaudioPlayer*, uint8_t c) {
      acks.push_back({c, lastTimecode, lastOffset, lastRange, timecodes, ends});
    };
    player.Init();
  }
  void TearDown() override {
    for (const auto& f : files) std::remove(f.c_str());
  }
  // Pumps notifications until `done` holds; false once kPatience has passed.
  bool WaitFor(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
      player.ProcessNotifications();
      if (done()) return true;
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(5ms);
    }
  }
  std::string Wav(const std::string& name) {
    files.push_back(TempPath(name));
    return files.back();
  }
  // Plays a file to the end into a WAV file and returns its samples.
  std::vector<int16_t> Render(const std::string& input, const std::string& name) {
    const std::string out = Wav(name);
    const int before = ends;
    player.OutputOpen("wav:" + out);
    player.InputOpen(input);
    player.Play();
    EXPECT_TRUE(WaitFor([&] { return ends > before; })) << input;
    return WavSamples(out);
  }

  // An answered command with what had been reported before its answer.
  struct TAck {
    int command;
    double timecode;
    uint32_t offset, range;
    int timecodes, ends;
  };
  // The first answer to `command` from acks[from] on, or none.
  const TAck* Answer(int command, size_t from = 0) const {
    for (size_t i = from; i < acks.size(); ++i)
      if (acks[i].command == command) return &acks[i];
    return nullptr;
  }

  TXaudioPlayer player;
  uint32_t frequency = 0, duration = 0, lastOffset = 0, lastRange = 0;
  int bitrate = 0, channels = 0, timecodes = 0, positions = 0, state = -1, ends = 0;
  double lastTimecode = -1;
  std::vector<double> times;  // every timecode, in order
  struct TParameters {
    uint32_t frequency;
    int bitrate, channels;
    bool operator==(const TParameters&) const = default;
    friend std::ostream& operator<<(std::ostream& o, const TParameters& p) {
      return o << p.frequency << " Hz " << p.bitrate << " kbps " << p.channels << " ch";
    }
  };
  std::vector<TParameters> parameters;  // every parameters report, in order
  std::vector<std::string> errors;
  std::vector<int> errorCodes;
  std::vector<int> nacks;
  std::vector<TAck> acks;
  std::vector<std::string> files;
};

TEST_F(EngineTest, ALayerTwoFilePlaysAndReportsItsParametersTimeAndPosition) {
  const auto samples = Render(kDemo, "file.wav");
  EXPECT_EQ(frequency, 48000u);
  EXPECT_EQ(bitrate, 192);
  EXPECT_EQ(channels, 2);
  EXPECT_NEAR(duration, 60000u, 100);
  EXPECT_GE(timecodes, 1);
  EXPECT_GE(positions, 1);
  // The last report is the end of the file.
  EXPECT_NEAR(lastTimecode, 60.0, 0.1);
  EXPECT_NEAR(lastOffset, lastRange, 2u);
  EXPECT_NEAR(samples.size() / 2.0 / 48000, 60.0, 0.1);
  EXPECT_TRUE(errors.empty());
}

TEST_F(EngineTest, SeekToTheMiddleAndStopPromptly) {
  player.OutputOpen("dummy");
  player.InputOpen(kDemo);
  player.Play();
  ASSERT_TRUE(WaitFor([&] { return timecodes > 0; }));
  player.InputSeek(200, 400);
  ASSERT_TRUE(WaitFor([&] { return Answer(XA_MSG_COMMAND_INPUT_SEEK); }));
  // What was reported just before the answer is the seek's own report.
  const TAck seek = *Answer(XA_MSG_COMMAND_INPUT_SEEK);
  EXPECT_NEAR(seek.timecode, 30.0, 0.1);
  EXPECT_NEAR(seek.offset, 200u, 1u);
  EXPECT_EQ(seek.range, 400u);
  EXPECT_EQ(state, XA_PLAYER_STATE_PLAYING);

  player.Stop();
  ASSERT_TRUE(WaitFor([&] { return Answer(XA_MSG_COMMAND_STOP); }));
  // Stopped where it was playing: a Stop that waited for the input to run
  // out would come after the end of the file and its report.
  const TAck stop = *Answer(XA_MSG_COMMAND_STOP);
  EXPECT_EQ(state, XA_PLAYER_STATE_STOPPED);
  EXPECT_EQ(stop.ends, 0) << "Stop waited for the end of the input";
  EXPECT_LT(stop.timecode, duration / 1000.0 - 1) << "Stop waited for the end of the input";
  // Nothing is reported after the answer to Stop. The pause only gives an
  // engine that plays on the time to show it: it can miss that, never invent it.
  std::this_thread::sleep_for(400ms);
  player.Synchronize();
  ASSERT_TRUE(WaitFor([&] { return Answer(XA_MSG_COMMAND_SYNC); }));
  EXPECT_EQ(timecodes, stop.timecodes) << "still playing after Stop";
}

TEST_F(EngineTest, OpeningANewInputWhilePlayingNeedsNoStop) {
  player.OutputOpen("dummy");
  player.InputOpen(kDemo);
  player.Play();
  ASSERT_TRUE(WaitFor([&] { return timecodes > 0; }));
  player.InputSeek(300, 400);
  ASSERT_TRUE(WaitFor([&] { return lastTimecode > 40; }));
  const size_t before = times.size();
  player.InputOpen(kDemo);
  player.Play();
  ASSERT_TRUE(WaitFor([&] { return std::any_of(times.begin() + before, times.end(), [](double t) { return t < 5; }); }))
      << "the new input never played from its start";
  EXPECT_EQ(state, XA_PLAYER_STATE_PLAYING);
  EXPECT_TRUE(errors.empty());
}

TEST_F(EngineTest, BadInputsAndUnknownCommandsAreAnsweredNotCrashedOn) {
  const uint16_t closed = servertest::FreePort();
  struct Case {
    std::string input;
    int error;  // a time-out would say it waited instead of being refused
  } cases[] = {{"/nonexistent/file.mp2", XA_ERROR_OPEN_FAILED},
               {"http://127.0.0.1:" + std::to_string(closed) + "/X", XA_ERROR_CONNECT_FAILED},
               {"http://:12/", XA_ERROR_INVALID_PARAMETERS}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const size_t reported = errors.size();
    const auto refused = [&] { return std::count(nacks.begin(), nacks.end(), XA_MSG_COMMAND_INPUT_OPEN); };
    const auto refusedBefore = refused();
    player.InputOpen(c.input);
    // The error is reported before the command is refused.
    ASSERT_TRUE(WaitFor([&] { return refused() > refusedBefore; }));
    ASSERT_EQ(errors.size(), reported + 1);
    EXPECT_EQ(errorCodes.back(), c.error) << errors.back();
  }
  nacks.clear();
  player.Play();           // no input
  player.InputModulesList();  // not implemented
  player.InputSeek(1, 0);
  EXPECT_TRUE(WaitFor([&] { return nacks.size() == 3; }));
  EXPECT_EQ(nacks, (std::vector<int>{XA_MSG_COMMAND_PLAY, XA_MSG_COMMAND_INPUT_MODULES_LIST, XA_MSG_COMMAND_INPUT_SEEK}));
}

TEST_F(EngineTest, VolumeZeroRendersSilenceAndTheEqualiserLiftsTheTop) {
  // The demo channel holds nothing above 10 kHz: white noise shows the bands.
  const std::string noise = Wav("noise.mp2");
  ASSERT_TRUE(WriteNoiseMp2(noise, 3));
  const auto flat = Render(noise, "flat.wav");
  XA_EqualizerInfo eq{};
  for (int i = 23; i < 32; ++i) eq.left[i] = eq.right[i] = 100;
  player.SetCodecEqualizer(eq);
  const auto lifted = Render(noise, "lifted.wav");
  ASSERT_FALSE(flat.empty());
  ASSERT_EQ(flat.size(), lifted.size());
  EXPECT_GT(EnergyAbove(lifted, 10000, 32000), 4 * EnergyAbove(flat, 10000, 32000));
  // Below the lifted bands nothing changes much.
  const double lowFlat = EnergyAbove(flat, 0, 32000) - EnergyAbove(flat, 10000, 32000);
  const double lowLifted = EnergyAbove(lifted, 0, 32000) - EnergyAbove(lifted, 10000, 32000);
  EXPECT_NEAR(lowLifted / lowFlat, 1.0, 0.2);

  player.SetCodecEqualizer(XA_EqualizerInfo{});
  player.SetOutputVolume(-1, 50, -1);
  const auto half = Render(noise, "half.wav");
  ASSERT_EQ(half.size(), flat.size());
  for (size_t i = 0; i < flat.size(); i += 997) EXPECT_NEAR(half[i], flat[i] / 2.0, 1.0) << i;
  player.SetOutputVolume(-1, 0, -1);
  const auto silent = Render(noise, "silent.wav");
  ASSERT_EQ(silent.size(), flat.size());
  EXPECT_EQ(std::count(silent.begin(), silent.end(), 0), static_cast<long>(silent.size()));
}

// A programme that changes rate, mode and bit rate on the way, each stretch
// with its own length when played alone.
class EngineFormatChangeTest : public EngineTest {
 protected:
  struct TStretch {
    int rate, kbps, channels;
  };
  static constexpr TStretch kStretches[] = {{44100, 192, 2}, {44100, 128, 2}, {24000, 64, 1}};
  void SetUp() override {
    EngineTest::SetUp();
    mixed = Wav("mixed.mp2");
    std::string all;
    for (const TStretch& s : kStretches) {
      const std::string one = Wav("stretch.mp2");
      std::ofstream(one, std::ios::binary) << NoiseMp2(s.rate, s.kbps, s.channels, 1.5);
      all += ReadAll(one);
      seconds += Render(one, "stretch.wav").size() / static_cast<double>(s.channels) / s.rate;
    }
    std::ofstream(mixed, std::ios::binary) << all;
    parameters.clear();
    ASSERT_GT(seconds, 4.0);
  }
  std::string mixed;
  double seconds = 0;  // of the stretches played one by one
};

TEST_F(EngineFormatChangeTest, EachChangeIsToldAndTheTimeAddsEachStretchAtItsOwnRate) {
  player.OutputOpen("dummy");
  const int before = ends;
  player.InputOpen(mixed);
  player.Play();
  ASSERT_TRUE(WaitFor([&] { return ends > before; }));
  std::vector<TParameters> told;
  for (const TStretch& s : kStretches) told.push_back({static_cast<uint32_t>(s.rate), s.kbps, s.channels});
  EXPECT_EQ(parameters, told);
  EXPECT_NEAR(lastTimecode, seconds, 0.05);
  EXPECT_TRUE(errors.empty()) << errors.front();
}

// A WAV file has one format: it keeps the first, the later stretches are
// converted to it, and nothing written before the change is lost.
TEST_F(EngineFormatChangeTest, AFileOutputKeepsItsFirstFormatAndAllItWrote) {
  const auto samples = Render(mixed, "mixed.wav");
  const TWavHead head = ReadWavHead(files.back());
  EXPECT_EQ(head.rate, 44100u);
  EXPECT_EQ(head.channels, 2u);
  EXPECT_EQ(head.dataBytes, samples.size() * 2);
  EXPECT_NEAR(samples.size() / 2.0 / 44100, seconds, 0.05);
  EXPECT_NEAR(lastTimecode, seconds, 0.05);
  // The converted mono stretch is there, in both channels.
  const size_t lastSecond = samples.size() - 2 * 44100;
  EXPECT_GT(std::count_if(samples.begin() + static_cast<long>(lastSecond), samples.end(), [](int16_t v) { return v != 0; }),
            44100);
  EXPECT_TRUE(errors.empty()) << errors.front();
  // Every change was still told as the stream's own.
  ASSERT_EQ(parameters.size(), std::size(kStretches));
  EXPECT_EQ(parameters.back().frequency, 24000u);
  EXPECT_EQ(parameters.back().channels, 1);
}

class EngineStreamTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    for (int attempt = 0; attempt < 5 && !server; ++attempt) {
      port = servertest::FreePort();
      server = StartRecordingServer({"Radio 1"}, port);
    }
    ASSERT_TRUE(server);
  }
  void TearDown() override {
    stopFeed = true;
    if (feeder.joinable()) feeder.join();
    server.reset();
    EngineTest::TearDown();
  }
  // Feeds the demo channel the way the capture does: 32767 bytes at the
  // station's rate of 192 kbit/s.
  void Feed(int chunks) {
    feeder = std::thread([this, chunks] {
      const std::string audio = ReadAll(kDemo);
      auto due = std::chrono::steady_clock::now();
      for (int i = 0; i < chunks && !stopFeed; ++i) {
        server->FeedSource("Radio 1", audio.data() + static_cast<size_t>(i) * 32767, 32767);
        due += std::chrono::microseconds(32767LL * 8 * 1000 / 192);
        while (!stopFeed && std::chrono::steady_clock::now() < due) std::this_thread::sleep_for(10ms);
      }
    });
  }
  uint16_t port = 0;
  std::unique_ptr<TAudioServer> server;
  std::thread feeder;
  std::atomic<bool> stopFeed{false};
};

TEST_F(EngineStreamTest, ALiveStreamPlaysWithoutAGapAfterTheFirstChunk) {
  const auto reference = Render(kDemo, "reference.wav");
  // From here on every report is the live stream's.
  frequency = 0, bitrate = 0, channels = 0, lastTimecode = -1;
  const int endsBefore = ends;
  const auto ended = [&] { return ends > endsBefore; };
  const std::string out = Wav("live.wav");
  player.OutputOpen("wav:" + out);
  player.InputOpen("http://127.0.0.1:" + std::to_string(port) + "/Radio 1");
  player.Play();
  // More chunks than are waited for below: the report that shows them played
  // comes with the first frame of a later chunk.
  Feed(16);
  ASSERT_TRUE(WaitFor([&] { return frequency > 0 || ended(); }));
  ASSERT_FALSE(ended()) << "the wait for the first chunk ended playback";
  EXPECT_EQ(frequency, 48000u);
  EXPECT_EQ(bitrate, 192);
  EXPECT_EQ(channels, 2);
  // Four chunks played through the pauses between them.
  ASSERT_TRUE(WaitFor([&] { return lastTimecode > 4 * 1.36 || ended(); }));
  EXPECT_FALSE(ended()) << "a stall between chunks ended playback";
  EXPECT_EQ(state, XA_PLAYER_STATE_PLAYING);
  const double played = lastTimecode;
  player.Stop();
  // The file is complete once the engine reports the stop.
  ASSERT_TRUE(WaitFor([&] { return state == XA_PLAYER_STATE_STOPPED; }));

  const auto live = WavSamples(out);
  // Everything reported played is in the file.
  ASSERT_GE(live.size() / 2.0 / 48000, played);
  // From the second frame on the decoder has forgotten where it joined:
  // every sample must equal the file's decoding at one fixed offset.
  const size_t start = 2 * 1152 * 2, window = 256;
  ASSERT_GT(live.size(), start + window);
  size_t at = std::string::npos;
  for (size_t o = 0; o + window <= reference.size() && at == std::string::npos; o += 2)
    if (std::equal(live.begin() + start, live.begin() + start + window, reference.begin() + o)) at = o;
  ASSERT_NE(at, std::string::npos) << "the live audio is not the channel's";
  size_t mismatches = 0;
  for (size_t i = start; i < live.size() && at + i - start < reference.size(); ++i)
    mismatches += live[i] != reference[at + i - start];
  EXPECT_EQ(mismatches, 0u) << "a gap or a jump in the rendered stream";
}

TEST_F(EngineStreamTest, AnUnknownChannelIsAnErrorWithoutAHang) {
  player.OutputOpen("dummy");
  player.InputOpen("http://127.0.0.1:" + std::to_string(port) + "/Nope");
  ASSERT_TRUE(WaitFor([&] { return !errors.empty(); }));
  // The server's answer, not the engine's time-out on a server that kept quiet.
  EXPECT_EQ(errorCodes[0], XA_ERROR_HTTP_STATUS) << errors[0];
  EXPECT_NE(errors[0].find("404"), std::string::npos) << errors[0];
}

TEST_F(EngineStreamTest, AStreamThatEndsReportsIt) {
  player.OutputOpen("dummy");
  player.InputOpen("http://127.0.0.1:" + std::to_string(port) + "/Radio 1");
  player.Play();
  Feed(3);
  ASSERT_TRUE(WaitFor([&] { return frequency > 0; }));
  stopFeed = true;
  feeder.join();
  server.reset();  // closes the connection
  EXPECT_TRUE(WaitFor([&] { return ends > 0; }));
  ASSERT_FALSE(errors.empty());
  // Ended by the closed connection, not given up on as a stream gone silent.
  EXPECT_EQ(errors.back().find("too long"), std::string::npos) << errors.back();
}

}  // namespace
