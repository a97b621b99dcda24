// The server against the players' own HTTP stacks: curl and ffprobe.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "server/AudioServer.h"
#include "server/ServerTestUtil.h"

using namespace servertest;
namespace fs = std::filesystem;

namespace {

const std::string kRadio = "\xD0\xE0\xE4\xE8\xEE";  // "Радио" in CP1251

bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs a shell command, returns its standard output.
std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* f = ::popen(command.c_str(), "r");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  ::pclose(f);
  return out;
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
  // Feeds `stream` over and over, `piece` bytes every `periodMs`, to every source.
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
        for (const auto& name : {std::string("Radio 1"), kRadio})
          server_->FeedSource(name, chunk.data(), piece);
        std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
      }
    });
  }
  void StopFeeding() {
    stop_ = true;
    if (feeder_.joinable()) feeder_.join();
  }
  std::string Url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port_) + "/" + path; }

  fs::path dir_;
  uint16_t port_ = 0;
  std::unique_ptr<TAudioServer> server_;
  std::thread feeder_;
  std::atomic<bool> stop_{false};
};

TEST_F(RealClients, CurlReceivesTheHeadAndAContiguousSliceOfTheAudio) {
  if (!HaveTool("curl")) GTEST_SKIP() << "curl is not installed";
  const std::string stream = Pattern(0, 1 << 20);
  Feed(stream, 32767, 40);
  RunCommand("timeout 10 curl -s --max-time 2 -D " + (dir_ / "head").string() + " -o " + (dir_ / "body").string() + " " +
      Url("Radio%201"));
  EXPECT_EQ(ReadFile(dir_ / "head"),
            "HTTP/1.0 200 OK\r\nServer: ZANTO 1.0\r\nContent-Type: video/mpeg\r\nicy-name: Radio 1\r\n\r\n");
  const std::string body = ReadFile(dir_ / "body");
  ASSERT_GT(body.size(), 100000u);
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
  const std::string head = RunCommand("timeout 10 curl -s --max-time 1 -D - -o /dev/null " +
                               Url("%D0%A0%D0%B0%D0%B4%D0%B8%D0%BE"));
  EXPECT_EQ(head, "HTTP/1.0 200 OK\r\nServer: ZANTO 1.0\r\nContent-Type: video/mpeg\r\nicy-name: " + kRadio +
                      "\r\n\r\n");
}

TEST_F(RealClients, CurlSeesTheRefusals) {
  if (!HaveTool("curl")) GTEST_SKIP() << "curl is not installed";
  EXPECT_EQ(RunCommand("timeout 10 curl -s -w '%{http_code}' -o /dev/null " + Url("Jazz")), "404");
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
      RunCommand("timeout 30 ffprobe -v error -probesize 32768 -show_entries stream=codec_type,codec_name "
          "-of default=noprint_wrappers=1 " +
          Url("%D0%E0%E4%E8%EE"));
  EXPECT_NE(found.find("codec_name=mp2"), std::string::npos) << found;
  EXPECT_NE(found.find("codec_type=audio"), std::string::npos) << found;
}

}  // namespace
