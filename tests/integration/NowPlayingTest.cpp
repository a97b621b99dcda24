// The built program recording the demo as a separate process: a real player
// reads the channel's title from the stream, and the recording's title log
// has the builder's titles at the times the builder changes them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "integration/ProgramProcess.h"
#include "support/Command.h"
#include "support/OwnStreamPort.h"
#include "tsbuilder/SampleTransponders.h"

namespace fs = std::filesystem;
using programtest::ReadWhole;
using programtest::TProgram;
using testsupport::CommandOutput;
using testsupport::HaveTool;

namespace {

const std::string kProgram = std::string(MC_BIN_DIR) + "/mellowcaster";
const std::string kChannel = "Europa Plus (Moscow)";
const std::string kPath = "Europa_Plus__Moscow_";  // as the shipped list names it

const tsb::TServiceSpec& DemoService(const std::string& name) {
  static const tsb::TTransponderSpec demo = tsb::DemoTransponder();
  for (const auto& s : demo.services)
    if (s.name == name) return s;
  throw std::runtime_error("no such demo service: " + name);
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

  testsupport::TOwnStreamPort port_;
  fs::path dir_;
};

TEST_F(NowPlaying, FfprobeShowsTheTitleAndTheLogHasTheTitlesAtTheirTimes) {
  if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is needed";
  const tsb::TServiceSpec& europa = DemoService(kChannel);
  ASSERT_GE(europa.rds.titles.size(), 2u);
  const tsb::TRdsTitle& second = europa.rds.titles[1];
  // Long enough to pass the second title with a few seconds to spare.
  const int seconds = static_cast<int>(second.fromSeconds) + 5;
  TProgram program(kProgram,
                   {"--record", kPath, "--folder", (dir_ / "rec").string(), "--seconds", std::to_string(seconds),
                    "--ini", (dir_ / "ini").string()},
                   dir_.string());
  ASSERT_TRUE(program.WaitForOutput("kill", 10000)) << program.Output() << program.Errors();

  // ffprobe asks for titles by itself and reports the first block it reads.
  const std::string probe = CommandOutput("timeout 30 ffprobe -v error -show_entries format_tags=StreamTitle "
                                          "-of default=noprint_wrappers=1 " + port_.Address(kPath) + " 2>&1");
  EXPECT_NE(probe.find("StreamTitle=" + europa.rds.titles[0].text), std::string::npos) << probe;

  ASSERT_EQ(program.Wait(seconds * 1000 + 30000), 0) << program.Errors();
  const std::string log = ReadWhole((dir_ / "rec" / (kPath + ".txt")).string());
  std::istringstream lines(log);
  std::string first, next;
  std::getline(lines, first);
  std::getline(lines, next);
  EXPECT_EQ(first, "00:00:00  " + europa.rds.titles[0].text) << log;
  int h = -1, m = -1, s = -1;
  ASSERT_EQ(std::sscanf(next.c_str(), "%d:%d:%d", &h, &m, &s), 3) << log;
  EXPECT_EQ(next.substr(10), second.text);
  // The card starts the file as the run tunes, a little before the first
  // filter; a change is logged at the start of the second-long chunk it is in.
  const int at = h * 3600 + m * 60 + s;
  EXPECT_GE(at, static_cast<int>(second.fromSeconds) - 3) << log;
  EXPECT_LE(at, static_cast<int>(second.fromSeconds) + 1) << log;
}

} // namespace
