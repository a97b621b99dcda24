// The built program recording the demo as a separate process: a real player
// reads the channel's title from the stream, and the recording's title log
// has the builder's titles at the times the builder changes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "integration/ProgramProcess.h"
#include "support/Command.h"
#include "support/EmulatorSpeed.h"
#include "support/OwnStreamPort.h"
#include "tsbuilder/SampleTransponders.h"

namespace fs = std::filesystem;
using programtest::ReadWhole;
using programtest::TProgram;
using testsupport::CommandOutput;
using testsupport::HaveTool;
using testsupport::TEmulatorSpeed;

namespace {

const std::string kProgram = std::string(MC_BIN_DIR) + "/mellowcaster";
const std::string kChannel = "Europa Plus (Moscow)";
const std::string kPath = "Europa_Plus__Moscow_";  // as the shipped list names it

const tsb::TTransponderSpec& Demo() {
  static const tsb::TTransponderSpec demo = tsb::DemoTransponder();
  return demo;
}

const tsb::TServiceSpec& DemoService(const std::string& name) {
  for (const auto& s : Demo().services)
    if (s.name == name) return s;
  throw std::runtime_error("no such demo service: " + name);
}

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class NowPlaying : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mc_now_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "ini");
    fs::create_directories(dir_ / "rec");
    std::ofstream(dir_ / "ini/trsp.ini", std::ios::binary) << "5150\r\n4084\r\n2500\r\n2\r\n0\r\n3\r\n\r\n1\r\n";
    fs::copy_file(fs::path(MC_SOURCE_DIR) / "resources/ini/kanal.ini", dir_ / "ini/kanal.ini");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::vector<std::string> RecordArgs(std::vector<std::string> more = {}) const {
    std::vector<std::string> args = {"--record", kPath, "--folder", (dir_ / "rec").string(),
                                     "--ini", (dir_ / "ini").string()};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  std::string TitleLog() const { return ReadWhole((dir_ / "rec" / (kPath + ".txt")).string()); }

  testsupport::TOwnStreamPort port_;
  fs::path dir_;
};

TEST_F(NowPlaying, FfprobeShowsTheTitleAndTheLogHasTheTitlesAtTheirTimes) {
  if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is needed";
  const tsb::TServiceSpec& europa = DemoService(kChannel);
  ASSERT_GE(europa.rds.titles.size(), 2u);
  const tsb::TRdsTitle& second = europa.rds.titles[1];
  // The log's times are the recording's own, so a faster replay only brings
  // the second title sooner.
  const TEmulatorSpeed speed("8");
  TProgram program(kProgram, RecordArgs(), dir_.string());
  ASSERT_TRUE(program.WaitForOutput("kill", 10000)) << program.Output() << program.Errors();

  // ffprobe asks for titles by itself and reports the first block it reads;
  // at this speed that may already be a later title of the channel.
  const std::string probe = CommandOutput("timeout 30 ffprobe -v error -show_entries format_tags=StreamTitle "
                                          "-of default=noprint_wrappers=1 " + port_.Address(kPath) + " 2>&1");
  EXPECT_TRUE(std::any_of(europa.rds.titles.begin(), europa.rds.titles.end(), [&](const tsb::TRdsTitle& t) {
    return probe.find("StreamTitle=" + t.text + "\n") != std::string::npos;
  })) << probe;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (LinesOf(TitleLog()).size() < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  program.Signal(SIGTERM);
  ASSERT_EQ(program.Wait(30000), 0) << program.Errors();
  const std::string log = TitleLog();
  const std::vector<std::string> lines = LinesOf(log);
  ASSERT_GE(lines.size(), 2u) << log;
  EXPECT_EQ(lines[0], "00:00:00  " + europa.rds.titles[0].text) << log;
  int h = -1, m = -1, s = -1;
  ASSERT_EQ(std::sscanf(lines[1].c_str(), "%d:%d:%d", &h, &m, &s), 3) << log;
  EXPECT_EQ(lines[1].substr(10), second.text);

  // The card starts the file as the run tunes, a little before the first
  // filter: where in the channel's audio the recording begins tells when the
  // change falls in it. It is logged at the start of the second-long chunk
  // it is in, once the station has sent the new text whole.
  const std::string es = ReadWhole(std::string(MC_BIN_DIR) + "/Device/Emulator/" + Demo().fileStem + ".es/" +
                                   std::to_string(europa.serviceId) + ".mp2");
  const std::string recording = ReadWhole((dir_ / "rec" / (kPath + ".mp3")).string());
  ASSERT_GE(recording.size(), 256u);
  ASSERT_FALSE(es.empty());
  // The tones repeat; the titles the audio carries make only one place fit
  // the whole recording.
  const std::string looped = es + es;
  size_t from = looped.find(recording.substr(0, 256));
  while (from != std::string::npos &&
         (from + recording.size() > looped.size() || looped.compare(from, recording.size(), recording) != 0))
    from = looped.find(recording.substr(0, 256), from + 1);
  ASSERT_NE(from, std::string::npos) << "the recording is not one unbroken run of the channel's audio";
  const double expected = second.fromSeconds - Demo().seconds * static_cast<double>(from % es.size()) / es.size();
  const int at = h * 3600 + m * 60 + s;
  EXPECT_GE(at, expected - 3) << log << "expected near " << expected;
  EXPECT_LE(at, expected + 1) << log << "expected near " << expected;
}

// The card replays as fast as the environment asks, or in real time when
// the value makes no sense, and then says so: seconds of a run reach the
// demo's second title only when sped up.
TEST_F(NowPlaying, TheEmulatorReplaysAtTheSpeedTheEnvironmentGives) {
  const tsb::TServiceSpec& europa = DemoService(kChannel);
  ASSERT_GE(europa.rds.titles.size(), 2u);
  struct TCase {
    std::string speed;
    int seconds;
    bool ignored;  // real time, and the reason on standard error
  };
  // A title is logged with the chunk after it was heard: at real time the
  // first needs a few seconds, the second twenty.
  for (const TCase& c : {TCase{"30", 3, false}, TCase{"fast", 4, true}}) {
    SCOPED_TRACE(c.speed);
    fs::remove_all(dir_ / "rec");
    fs::create_directories(dir_ / "rec");
    const TEmulatorSpeed speed(c.speed);
    TProgram program(kProgram, RecordArgs({"--seconds", std::to_string(c.seconds)}), dir_.string());
    ASSERT_EQ(program.Wait(60000), 0) << program.Errors();
    const std::string said = std::string(TEmulatorSpeed::kVariable) + "=" + c.speed + " ignored";
    EXPECT_EQ(program.Errors().find(said) != std::string::npos, c.ignored) << program.Errors();
    const std::string log = TitleLog();
    EXPECT_NE(log.find(europa.rds.titles[0].text), std::string::npos) << log;
    EXPECT_EQ(log.find(europa.rds.titles[1].text) != std::string::npos, !c.ignored) << log;
  }
}

} // namespace
