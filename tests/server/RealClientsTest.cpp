// The server against real clients: curl, ffprobe and a scripted listener
// that half-closes, hangs up after a stray byte or drips its request.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "server/AudioServer.h"
#include "server/ServerTestUtil.h"
#include "support/Command.h"

using namespace servertest;
using testsupport::CommandOutput;
using testsupport::HaveTool;
namespace fs = std::filesystem;

namespace {

const std::string kRadio = "\xD0\xE0\xE4\xE8\xEE";  // "Радио" in CP1251

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class RealClients : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mc_server_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    for (int attempt = 0; attempt < 5 && !(server_ && server_->IsActive()); ++attempt)
      server_ = StartRecordingServer({"Radio 1", kRadio}, port_ = FreePort());
    ASSERT_TRUE(server_->IsActive());
  }
  void TearDown() override {
    StopFeeding();
    server_.reset();
    fs::remove_all(dir_);
  }
  // Feeds `stream` over and over, `piece` bytes every `periodMs`, to every
  // source, and never more than a source's buffer has room for: a source
  // thread that falls behind on a loaded machine delays the stream instead
  // of cutting it.
  void Feed(std::string stream, int32_t piece, int periodMs) {
    feeder_ = std::thread([this, stream = std::move(stream), piece, periodMs] {
      size_t at = 0;
      std::string chunk;
      while (!stop_) {
        chunk.clear();
        while (chunk.size() < static_cast<size_t>(piece)) {
          const size_t n = std::min(stream.size() - at, static_cast<size_t>(piece) - chunk.size());
          chunk.append(stream, at, n);
          at = (at + n) % stream.size();
        }
        for (const auto& name : {std::string("Radio 1"), kRadio}) {
          const auto source = server_->FindSourceObject(name);
          while (!stop_ && source && source->BufferCount() > TSource::BufferSize - piece)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          server_->FeedSource(name, chunk.data(), piece);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
      }
    });
  }
  void StopFeeding() {
    stop_ = true;
    if (feeder_.joinable()) feeder_.join();
  }
  // Feeds the position-dependent test stream to "Radio 1" as a station does:
  // one 32767-byte piece every 1.0 to 2.7 s, counted in fed_.
  void FeedAtStationRate() {
    feeder_ = std::thread([this] {
      const int periodsMs[] = {1000, 2700, 1600, 2200};
      for (size_t k = 0; !stop_; ++k) {
        const std::string piece = Pattern(fed_, 32767);
        server_->FeedSource("Radio 1", piece.data(), 32767);
        fed_ += 32767;
        for (int t = 0; t < periodsMs[k % 4] / 10 && !stop_; ++t)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  // The scripted listener; its standard output (the response head).
  std::string Listener(const std::string& mode, uint16_t port, const std::string& path, double seconds) {
    return CommandOutput("timeout 60 python3 " MC_SOURCE_DIR "/tests/server/listener.py " + mode + " " +
                      std::to_string(port) + " '" + path + "' " + std::to_string(seconds) + " " +
                      (dir_ / "body").string());
  }
  std::string Url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port_) + "/" + path; }

  fs::path dir_;
  uint16_t port_ = 0;
  std::unique_ptr<TAudioServer> server_;
  std::thread feeder_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> fed_{0};
};

const std::string kRadio1Head =
    "HTTP/1.0 200 OK\r\nServer: ZANTO 1.0\r\nContent-Type: video/mpeg\r\nicy-name: Radio 1\r\n\r\n";

// A request piped into a netcat-style tool: the listener shuts down its
// sending side at once and keeps reading. It must get the whole stream.
TEST_F(RealClients, HalfClosedListenerGetsTheStationsAudioToTheEnd) {
  if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
  FeedAtStationRate();
  // Two pieces are above the source's send mark: the channel is on air.
  ASSERT_TRUE(WaitUntil([&] { return fed_ >= 2 * 32767; }, 5000)) << "the channel is on air";
  const size_t fedBefore = fed_;
  EXPECT_EQ(Listener("half-close", port_, "Radio%201", 8.0), kRadio1Head);
  const size_t fedDuring = fed_ - fedBefore;
  StopFeeding();
  const std::string body = ReadFile(dir_ / "body");
  // Everything fed while it listened arrived, but for what the source's
  // buffer may still hold; and as one unbroken run of the stream.
  EXPECT_GE(body.size() + TSource::BufferSize, fedDuring) << "the listener was dropped early";
  ASSERT_GE(body.size(), 256u);
  const size_t start = Pattern(0, 1 << 17).find(body.substr(0, 256));
  ASSERT_NE(start, std::string::npos);
  EXPECT_TRUE(body == Pattern(start, body.size())) << "bytes lost or reordered";
}

// A listener that half-closes on a channel not yet on air, right after the
// server started, is no hung-up player: the silence counts from the start,
// not from the clock's zero, so it stays and gets the audio that follows.
TEST_F(RealClients, AListenerThatHalfClosesAtTheStartIsKept) {
  if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
  feeder_ = std::thread([this] {
    for (int t = 0; t < 150 && !stop_; ++t) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (size_t k = 0; !stop_; ++k) {
      const std::string piece = Pattern(fed_, 32767);
      server_->FeedSource("Radio 1", piece.data(), 32767);
      fed_ += 32767;
      for (int t = 0; t < 50 && !stop_; ++t) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  // Long enough for a few pieces after the first 1.5 s of silence.
  EXPECT_EQ(Listener("half-close", port_, "Radio%201", 4.0), kRadio1Head);
  StopFeeding();
  EXPECT_GE(ReadFile(dir_ / "body").size(), 32767u) << "the listener was dropped as hung up";
}

// Players that hung up on a silent channel after sending a stray byte must
// free the server's two slots.
TEST_F(RealClients, ListenersThatHangUpAfterAStrayByteFreeTheirSlots) {
  if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
  EXPECT_EQ(Listener("extra-byte", port_, "Radio%201", 0), kRadio1Head);
  EXPECT_EQ(Listener("extra-byte", port_, "Radio%201", 0), kRadio1Head);
  // Both attached (their request threads done) and both dropped again, once
  // the channel has been silent for the span since its start.
  EXPECT_TRUE(WaitUntil([&] { return server_->RequestThreadCount() == 0 && server_->ClientCount() == 0; }, 30000))
      << server_->ClientCount();
  const int s = Connect(port_);
  SendAll(s, "GET /Radio%201 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ReceiveHead(s), kRadio1Head);
  ::close(s);
}

// A client that sends its head a byte at a time, each within the time limit,
// is still closed once the limit has passed for the head as a whole.
TEST_F(RealClients, DrippingRequestIsClosedWhenTheHeadsTimeIsUp) {
  if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
  TAudioServer server;
  server.HeaderTimeout = 1500;
  const uint16_t port = FreePort();
  server.AddBinding("127.0.0.1", port);
  ASSERT_TRUE(server.StartServer());
  ASSERT_TRUE(server.AddSource("Radio 1", "Radio 1", [](bool a) { return a; }));
  // A byte every 1/8 s: a limit that restarted with every byte would take all
  // 400 the listener offers; a slower machine only sends fewer.
  const std::string said = Listener("drip", port, "Radio%201", 1.0);
  EXPECT_EQ(said.rfind("closed after", 0), 0u) << said << ": the head's time limit restarted with every byte";
  EXPECT_TRUE(WaitUntil([&] { return server.RequestThreadCount() == 0; }));
}

TEST_F(RealClients, CurlReceivesTheHeadAndAContiguousSliceOfTheAudio) {
  if (!HaveTool("curl")) GTEST_SKIP() << "curl is not installed";
  const std::string stream = Pattern(0, 1 << 20);
  Feed(stream, 32767, 40);
  // A fixed amount, not a fixed time: a loaded machine only takes longer.
  CommandOutput("timeout 60 curl -s -N -D " + (dir_ / "head").string() + " " + Url("Radio%201") + " | head -c 200000 > " +
                (dir_ / "body").string());
  EXPECT_EQ(ReadFile(dir_ / "head"),
            "HTTP/1.0 200 OK\r\nServer: ZANTO 1.0\r\nContent-Type: video/mpeg\r\nicy-name: Radio 1\r\n\r\n");
  const std::string body = ReadFile(dir_ / "body");
  ASSERT_EQ(body.size(), 200000u);
  // The stream repeats every MiB; the body must be one unbroken run of it.
  const size_t start = (stream + stream).find(body.substr(0, 256));
  ASSERT_NE(start, std::string::npos);
  std::string expected;
  while (expected.size() < start + body.size()) expected += stream;
  EXPECT_TRUE(expected.compare(start, body.size(), body) == 0);
}

TEST_F(RealClients, CurlReachesACyrillicChannelByItsUtf8Name) {
  if (!HaveTool("curl")) GTEST_SKIP() << "curl is not installed";
  Feed(Pattern(0, 1 << 16), 32767, 40);
  const std::string head = CommandOutput("timeout 10 curl -s --max-time 1 -D - -o /dev/null " +
                               Url("%D0%A0%D0%B0%D0%B4%D0%B8%D0%BE"));
  EXPECT_EQ(head, "HTTP/1.0 200 OK\r\nServer: ZANTO 1.0\r\nContent-Type: video/mpeg\r\nicy-name: " + kRadio +
                      "\r\n\r\n");
}

TEST_F(RealClients, CurlSeesTheRefusals) {
  if (!HaveTool("curl")) GTEST_SKIP() << "curl is not installed";
  EXPECT_EQ(CommandOutput("timeout 10 curl -s -w '%{http_code}' -o /dev/null " + Url("Jazz")), "404");
}

TEST_F(RealClients, FfprobeFindsAnMp2AudioStream) {
  if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg is not installed";
  const fs::path mp2 = dir_ / "tone.mp2";
  ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=5 -c:a mp2 -b:a 192k " +
                         mp2.string())
                            .c_str()),
            0);
  // About real time: 192 kbit/s is 24000 bytes a second.
  Feed(ReadFile(mp2), 4800, 200);
  const std::string found =
      CommandOutput("timeout 30 ffprobe -v error -probesize 32768 -show_entries stream=codec_type,codec_name "
          "-of default=noprint_wrappers=1 " +
          Url("%D0%E0%E4%E8%EE"));
  EXPECT_NE(found.find("codec_name=mp2"), std::string::npos) << found;
  EXPECT_NE(found.find("codec_type=audio"), std::string::npos) << found;
}

}  // namespace
