// "Now playing" on the capture path: every channel's chunks are read for the
// station's name and titles, which reach the front end's hook, the channel's
// listeners and, for a recorded channel, the title log beside its file.
#include "capture/CaptureSession.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "server/AudioServer.h"
#include "server/ServerTestUtil.h"
#include "tsbuilder/TransponderBuilder.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

tsb::TServiceSpec Station(uint16_t id, const std::string& name, tsb::TRdsSpec rds) {
  tsb::TServiceSpec s;
  s.serviceId = id;
  s.name = name;
  s.pmtPid = static_cast<uint16_t>(0x1000 + id);
  s.audioPid = static_cast<uint16_t>(0x100 + id);
  s.audio = {48000, 128, tsb::TAudioMode::Stereo};
  s.rds = std::move(rds);
  return s;
}

// Seconds of a log line "HH:MM:SS  Title", and its title.
std::pair<int, std::string> ParseLine(const std::string& line) {
  int h = -1, m = -1, s = -1;
  if (line.size() < 10 || std::sscanf(line.c_str(), "%d:%d:%d", &h, &m, &s) != 3 || line.compare(8, 2, "  ") != 0)
    return {-1, line};
  return {h * 3600 + m * 60 + s, line.substr(10)};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class CaptureTitles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mc_titles_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Delivers each station's audio in 184-byte packet payloads, the stations'
  // packets interleaved, to sessions 1..n as the card would.
  void Deliver(const std::vector<tsb::TBuiltService>& services) {
    size_t at = 0;
    for (bool more = true; more; at += 184) {
      more = false;
      for (size_t r = 0; r < services.size(); ++r) {
        const auto& es = services[r].audioEs;
        if (at + 184 > es.size()) continue;
        more = true;
        uint8_t p[188] = {0x47, 0x01, static_cast<uint8_t>(r), static_cast<uint8_t>(0x10 | (at / 184 % 16))};
        std::memcpy(p + 4, es.data() + at, 184);
        OnTsPacket(p, 188, static_cast<int32_t>(r + 1));
      }
    }
  }

  fs::path dir_;
};

TEST_F(CaptureTitles, EveryChannelTellsItsTitlesAndTheRecordedOneLogsThemAtTheirTime) {
  const std::vector<tsb::TRdsTitle> titles = {{0, "Alpha - First"}, {4, "Alpha - Second"}};
  tsb::TTransponderSpec transponder;
  transponder.seconds = 9;
  transponder.services = {Station(1, "Ticked FM", {"TICKED", titles}), Station(2, "Unticked FM", {"OTHER", titles}),
                   Station(3, "Silent FM", {})};
  const tsb::TBuiltTransponder built = tsb::BuildTransponder(transponder);

  TSessions sessions;
  sessions.AddSession((dir_ / "Ticked.mp3").string(), "Ticked FM", true);
  sessions.AddSession((dir_ / "Unticked.mp3").string(), "Unticked FM", false);
  sessions.AddSession((dir_ / "Silent.mp3").string(), "Silent FM", true);
  const auto server = StartRecordingServer({"Ticked FM", "Unticked FM", "Silent FM"}, servertest::FreePort());
  ASSERT_TRUE(server->IsActive());

  std::mutex lock;
  std::vector<std::vector<std::string>> told(3);
  std::vector<std::string> names(3);
  std::atomic<RecordFormat> format{RecordFormat::Pcm};
  CaptureTarget target;
  target.Sessions = &sessions;
  target.Server = server.get();
  target.Format = &format;
  target.TitleChanged = [&](size_t row, const std::string& ps, const std::string& title) {
    std::lock_guard<std::mutex> guard(lock);
    names.at(row) = ps;
    if (told[row].empty() || told[row].back() != title) told[row].push_back(title);
  };
  AttachCapture(&target);
  Recording = true;
  Deliver(built.services);
  Recording = false;
  DetachCapture();
  EXPECT_TRUE(sessions.CloseFiles().empty());

  const std::vector<std::string> expected = {titles[0].text, titles[1].text};
  for (size_t row = 0; row < 2; ++row) {
    EXPECT_EQ(names[row], transponder.services[row].rds.ps) << "ticked or not, row " << row;
    // The name may come before the first title, so an empty one may lead.
    std::vector<std::string> got = told[row];
    if (!got.empty() && got.front().empty()) got.erase(got.begin());
    EXPECT_EQ(got, expected) << "row " << row;
    const icy::TTitle heard = server->FindSourceObject(transponder.services[row].name)->Title();
    ASSERT_TRUE(heard.Block);
    EXPECT_EQ(*heard.Block, icy::MetadataBlock(titles[1].text));
  }
  EXPECT_TRUE(told[2].empty());
  EXPECT_FALSE(server->FindSourceObject("Silent FM")->Title().Block);

  // The log: the first title from the start, the second at the chunk in which
  // it came (a chunk holds kChunkBytes of audio at the station's rate).
  const std::vector<std::string> lines = Lines(ReadAll(dir_ / "Ticked.txt"));
  ASSERT_EQ(lines.size(), 2u) << ReadAll(dir_ / "Ticked.txt");
  EXPECT_EQ(lines[0], "00:00:00  " + titles[0].text);
  const auto [at, title] = ParseLine(lines[1]);
  EXPECT_EQ(title, titles[1].text);
  const double chunkSeconds = kChunkBytes * 8.0 / (transponder.services[0].audio.bitrateKbps * 1000.0);
  EXPECT_GE(at, static_cast<int>(titles[1].fromSeconds - chunkSeconds));
  EXPECT_LE(at, static_cast<int>(titles[1].fromSeconds + 1));
  EXPECT_FALSE(fs::exists(dir_ / "Unticked.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "Silent.txt")) << "no titles, no log";
}

// The log follows its recording: emptied where the recording is emptied,
// moved aside with it where earlier recordings are kept.
TEST_F(CaptureTitles, AnEarlierLogIsEmptiedOrMovedAsideWithItsRecording) {
  for (const bool keepEarlier : {false, true}) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const std::string mp3 = (dir_ / "Radio.mp3").string();
    std::ofstream(mp3) << "earlier audio";
    std::ofstream(dir_ / "Radio.txt") << "00:00:00  Earlier\n";
    TSessions sessions;
    ASSERT_EQ(sessions.AddSession(mp3, "Radio", true, PrepareOutputFile(mp3, keepEarlier)), 0);
    sessions.CloseFiles();
    if (!keepEarlier) {
      EXPECT_EQ(ReadAll(dir_ / "Radio.txt"), "");
      continue;
    }
    EXPECT_FALSE(fs::exists(dir_ / "Radio.txt"));
    std::string asideMp3, asideTxt;
    for (const auto& e : fs::directory_iterator(dir_)) {
      const std::string name = e.path().filename().string();
      if (name.rfind("Radio (", 0) != 0) continue;
      (e.path().extension() == ".mp3" ? asideMp3 : asideTxt) = name;
    }
    ASSERT_FALSE(asideMp3.empty());
    EXPECT_EQ(asideTxt, asideMp3.substr(0, asideMp3.size() - 4) + ".txt") << "paired with its recording";
    EXPECT_EQ(ReadAll(dir_ / asideTxt), "00:00:00  Earlier\n");
  }
}

TEST(TitleLog, LinesAndNames) {
  EXPECT_EQ(TitleLogLine(0, "A - B"), "00:00:00  A - B\n");
  EXPECT_EQ(TitleLogLine(3725.9, "x"), "01:02:05  x\n");
  EXPECT_EQ(TitleLogLine(100 * 3600 + 1, "x"), "100:00:01  x\n");
  EXPECT_EQ(TitleLogName("/r/Jazz_24_7.mp3"), "/r/Jazz_24_7.txt");
  EXPECT_EQ(TitleLogName("/r/odd"), "/r/odd.txt");
}

} // namespace
