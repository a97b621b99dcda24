// The built program on the Linux DVB card whose kernel is the fake one, with
// a strict driver: the headless scan and recording lock and record, a busy
// card tells why, and an unplugged card ends the run with its own status.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <filesystem>
#include <fstream>

#include "integration/ProgramProcess.h"
#include "support/OwnStreamPort.h"

namespace fs = std::filesystem;
using programtest::ReadWhole;
using programtest::TProgram;

namespace {

const std::string kMellowcaster = std::string(MC_BIN_DIR) + "/mellowcaster";

class HeadlessOnFakeDvb : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mc_fakedvb_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "ini");
    fs::create_directories(dir_ / "rec");
    // SkyStar1 (card index 0) on the demo transponder, PCM.
    std::ofstream(dir_ / "ini/trsp.ini", std::ios::binary) << "5150\r\n4084\r\n2500\r\n2\r\n0\r\n0\r\n\r\n1\r\n";
    fs::copy_file(fs::path(MC_SOURCE_DIR) / "resources/ini/kanal.ini", dir_ / "ini/kanal.ini");
    // Device/ below the working folder comes before the one beside the program.
    fs::create_directory_symlink(fs::path(MC_FAKE_DVB_DIR) / "Device", dir_ / "Device");
    previous_ = fs::current_path();
    fs::current_path(dir_);
    ::setenv("MC_FAKE_DVB_TS", (std::string(MC_BIN_DIR) + "/Device/Emulator/4084H.ts").c_str(), 1);
    ::setenv("MC_FAKE_DVB_DRIVER", "cx24116", 1);
    ::unsetenv("MC_FAKE_DVB_BUSY");
    ::setenv("MC_FAKE_DVB_UNPLUG", (dir_ / "unplugged").c_str(), 1);
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }
  std::vector<std::string> With(std::vector<std::string> args) {
    args.insert(args.end(), {"--ini", (dir_ / "ini").string()});
    return args;
  }

  testsupport::TOwnStreamPort port_;
  fs::path dir_, previous_;
};

TEST_F(HeadlessOnFakeDvb, ScansAndRecordsOnAStrictDriver) {
  fs::remove(dir_ / "ini/kanal.ini");
  TProgram scan(kMellowcaster, With({"--scan"}), dir_.string());
  ASSERT_EQ(scan.Wait(60000), 0) << scan.Output() << scan.Errors();
  EXPECT_EQ(ReadWhole((dir_ / "ini/kanal.ini").string()),
            ReadWhole(std::string(MC_SOURCE_DIR) + "/resources/ini/kanal.ini"));

  // Recorded until the first chunk is in the file, however long tuning the
  // strict driver takes on this machine, then stopped as a user would.
  TProgram record(kMellowcaster, With({"--record", "all", "--folder", (dir_ / "rec").string()}), dir_.string());
  const fs::path file = dir_ / "rec/Europa_Plus__Moscow_.mp3";
  EXPECT_TRUE(record.WaitForOutput("качество 80", 60000)) << record.Output();  // 12 dB C/N
  std::error_code ec;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < end && !(fs::file_size(file, ec) > 0 && !ec))
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  record.Signal(SIGTERM);
  ASSERT_EQ(record.Wait(60000), 0) << record.Output() << record.Errors();
  EXPECT_GT(fs::file_size(file), 0u) << record.Output() << record.Errors();
}

TEST_F(HeadlessOnFakeDvb, ABusyCardSaysSo) {
  ::setenv("MC_FAKE_DVB_BUSY", "1", 1);
  TProgram scan(kMellowcaster, With({"--scan"}), dir_.string());
  EXPECT_EQ(scan.Wait(60000), 1);
  EXPECT_NE(scan.Errors().find("Карта не активна: карта занята другой программой"), std::string::npos)
      << scan.Errors();
}

TEST_F(HeadlessOnFakeDvb, AnUnpluggedCardEndsTheRunWithItsOwnStatus) {
  TProgram record(kMellowcaster, With({"--record", "all", "--folder", (dir_ / "rec").string()}), dir_.string());
  ASSERT_TRUE(record.WaitForOutput("kill", 20000)) << record.Output() << record.Errors();
  const fs::path recording = dir_ / "rec/Europa_Plus__Moscow_.mp3";
  const auto written = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((!fs::exists(recording) || fs::file_size(recording) == 0) && std::chrono::steady_clock::now() < written)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_GT(fs::file_size(recording), 0u);
  std::ofstream(dir_ / "unplugged") << "";
  // Told at the next status round (each second); the bound is only there to
  // end a run that never tells.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (record.Errors().find("Карта потеряна") == std::string::npos && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(record.Errors().find("Карта потеряна"), std::string::npos) << record.Errors();
  EXPECT_EQ(record.Wait(20000), 4) << record.Output() << record.Errors();
  EXPECT_GT(fs::file_size(recording), 0u);  // what came before is kept
}

} // namespace
