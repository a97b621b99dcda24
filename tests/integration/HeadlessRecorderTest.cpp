// The built program's command line, run as a separate process on the
// Emulator card with the demo transponder: scan, record, stream, stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <thread>
#include <set>
#include <sstream>

#include "base/LineFile.h"
#include "integration/ProgramProcess.h"
#include "support/Command.h"
#include "support/EmulatorSpeed.h"
#include "support/OwnStreamPort.h"

namespace fs = std::filesystem;
using programtest::ReadWhole;
using programtest::TProgram;
using testsupport::CommandOutput;
using testsupport::HaveTool;
using testsupport::TEmulatorSpeed;

namespace {

const std::string kProgram = std::string(MC_BIN_DIR) + "/mellowcaster";
const std::string kDemo = std::string(MC_BIN_DIR) + "/Device/Emulator/4084H.ts";
// A replay factor for cases that only wait for a few chunks of a channel:
// the file checks hold at any speed, and what a listener reads is streamed
// at the channel's own rate elsewhere.
const std::string kQuick = "4";

// The settings file for the Emulator card on the demo transponder.
std::string SettingsFile(bool pcm) {
  return "5150\r\n4084\r\n2500\r\n2\r\n0\r\n3\r\n\r\n" + std::string(pcm ? "1" : "2") + "\r\n";
}

class HeadlessRecorder : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mc_headless_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "ini");
    fs::create_directories(dir_ / "rec");
    WriteSettings(true);
    fs::copy_file(fs::path(MC_SOURCE_DIR) / "resources/ini/kanal.ini", dir_ / "ini/kanal.ini");
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteSettings(bool pcm) { std::ofstream(dir_ / "ini/trsp.ini", std::ios::binary) << SettingsFile(pcm); }
  std::vector<std::string> Args(std::vector<std::string> args) {
    args.insert(args.end(), {"--ini", (dir_ / "ini").string()});
    return args;
  }
  // Waits until every file holds `bytes` (a whole chunk), however slow the
  // machine, then stops the run as a user would with `stop`; the run's exit
  // status.
  static int StopOnceRecorded(TProgram& program, const std::vector<fs::path>& files, uintmax_t bytes = 32767,
                              int stop = SIGTERM) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto recorded = [&] {
      std::error_code ec;
      for (const auto& f : files)
        if (fs::file_size(f, ec) < bytes || ec) return false;
      return true;
    };
    while (std::chrono::steady_clock::now() < end && !recorded())
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    program.Signal(stop);
    return program.Wait(60000);
  }
  // The channel's audio as ffmpeg extracts it from the transponder, twice
  // over: the card replays the file in a loop.
  static std::string Extracted(int pid) {
    const fs::path out = fs::temp_directory_path() / ("mc_es_" + std::to_string(::getpid()) + "_" + std::to_string(pid));
    CommandOutput("ffmpeg -v error -y -i " + kDemo + " -map 0:i:" + std::to_string(pid) + " -c copy -f mp2 " + out.string());
    const std::string es = ReadWhole(out.string());
    fs::remove(out);
    return es + es;
  }
  // True when `bytes` is one unbroken run of the looping stream.
  // The demo's tones repeat, so the same opening can stand at several places
  // of the stream: any of them will do.
  static bool ContiguousIn(const std::string& bytes, const std::string& looped) {
    if (bytes.size() < 256) return false;
    const std::string opening = bytes.substr(0, 256);
    for (size_t at = looped.find(opening); at != std::string::npos && at + bytes.size() <= looped.size();
         at = looped.find(opening, at + 1))
      if (looped.compare(at, bytes.size(), bytes) == 0) return true;
    return false;
  }
  // Runs --record ROWS until each of `files` in the record folder holds
  // `bytes` and a listener to `listenTo` (if any) has read a few chunks, then
  // ends it with `stop`; the exit status.
  int RecordUntil(const std::string& rows, const std::vector<std::string>& files, uintmax_t bytes,
                  const std::string& listenTo = "", int stop = SIGTERM) {
    TProgram program(kProgram, Args({"--record", rows, "--folder", (dir_ / "rec").string()}), dir_.string());
    EXPECT_TRUE(program.WaitForOutput("kill", 10000)) << program.Output() << program.Errors();
    if (!listenTo.empty())
      CommandOutput("timeout 60 curl -s -N " + port_.Address(listenTo) + " | head -c 32768 > " +
                    (dir_ / "listened").string());
    std::vector<fs::path> paths;
    for (const auto& f : files) paths.push_back(dir_ / "rec" / f);
    const int status = StopOnceRecorded(program, paths, bytes, stop);
    output_ = program.Output();
    errors_ = program.Errors();
    return status;
  }

  // Files in `dir` whose name ends in `extension`: recordings (".mp3") and
  // the title logs beside them (".txt").
  static long Files(const fs::path& dir, const std::string& extension) {
    long n = 0;
    for (const auto& e : fs::directory_iterator(dir)) n += e.path().extension() == extension;
    return n;
  }

  testsupport::TOwnStreamPort port_;
  fs::path dir_;
  std::string output_, errors_;
};

TEST_F(HeadlessRecorder, ScanWritesTheDemoChannelsAsTheDefaultListHoldsThem) {
  fs::remove(dir_ / "ini/kanal.ini");
  TProgram scan(kProgram, Args({"--scan"}), dir_.string());
  ASSERT_EQ(scan.Wait(60000), 0) << scan.Errors();
  EXPECT_EQ(ReadWhole((dir_ / "ini/kanal.ini").string()),
            ReadWhole(std::string(MC_SOURCE_DIR) + "/resources/ini/kanal.ini"))
      << "the default list is not what a scan of the demo transponder gives";
  EXPECT_NE(scan.Output().find("Europa_Plus__Moscow_"), std::string::npos) << scan.Output();
}

// Two ticked channels (one by number, one by name) are recorded whole, the
// others only streamed; a listener with curl gets its channel meanwhile.
TEST_F(HeadlessRecorder, PcmRunRecordsTheTickedChannelsAndStreamsEveryChannel) {
  if (!HaveTool("ffmpeg") || !HaveTool("curl")) GTEST_SKIP() << "ffmpeg and curl are needed";
  const std::map<std::string, int> recorded = {{"Europa_Plus__Moscow_.mp3", 358}, {"Classic_Radio.mp3", 362}};
  ASSERT_EQ(RecordUntil("2,Classic_Radio", {"Europa_Plus__Moscow_.mp3", "Classic_Radio.mp3"}, 32767,
                        "%D0%A0%D0%B0%D0%B4%D0%B8%D0%BE_%D0%9C%D0%B0%D1%8F%D0%BA"),
            0)
      << errors_;
  EXPECT_EQ(errors_, "");
  EXPECT_NE(output_.find(port_.Address("Europa_Plus__Moscow_")), std::string::npos) << output_;

  for (const auto& [file, pid] : recorded) {
    const std::string bytes = ReadWhole((dir_ / "rec" / file).string());
    EXPECT_GE(bytes.size(), 32767u) << file;
    EXPECT_EQ(bytes.size() % 32767, 0u) << file << ": whole chunks only";
    EXPECT_TRUE(ContiguousIn(bytes, Extracted(pid))) << file << ": bytes lost or doubled";
  }
  EXPECT_EQ(Files(dir_ / "rec", ".mp3"), 2) << "only the ticked rows write files";
  const std::string listened = ReadWhole((dir_ / "listened").string());
  EXPECT_GE(listened.size(), 8191u);
  EXPECT_TRUE(ContiguousIn(listened, Extracted(357))) << "the stream is not the channel's audio";
}

TEST_F(HeadlessRecorder, Mp3RunWritesMp3AtTheChannelsRateAndChannelCount) {
  if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is needed";
  WriteSettings(false);
  // A mono channel and one at 24 kHz: neither may come out at another rate
  // or channel count.
  // Ended by SIGHUP, as when the SSH session it was started from closes,
  // once each file has enough frames for ffprobe to go by.
  const TEmulatorSpeed speed(kQuick);
  ASSERT_EQ(RecordUntil("Ретро_FM,Детское_радио", {"Ретро_FM.mp3", "Детское_радио.mp3"}, 16384, "", SIGHUP), 0)
      << errors_;
  for (const auto& [file, pid] : std::map<std::string, int>{{"Ретро_FM.mp3", 359}, {"Детское_радио.mp3", 361}}) {
    const std::string probe = "ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of compact ";
    const std::string source = CommandOutput("ffmpeg -v error -i " + kDemo + " -map 0:i:" + std::to_string(pid) +
                                     " -c copy -f mp2 - | " + probe + "-");
    const std::string got = CommandOutput(probe + "'" + (dir_ / "rec" / file).string() + "'");
    ASSERT_EQ(source.rfind("stream|codec_name=mp2|", 0), 0u) << source;
    const std::string format = source.substr(std::string("stream|codec_name=mp2").size());
    EXPECT_EQ(got, "stream|codec_name=mp3" + format) << file;
  }
}

// A full disk stops the channel with one report; the file keeps what was
// written up to its last whole chunk, and with nothing left to record the run
// ends by itself, its exit status saying a recording stopped part way.
TEST_F(HeadlessRecorder, FullDiskStopsTheChannelAndTheStatusSaysSo) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is needed";
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 2 * 32767 + 1000;
  ::setrlimit(RLIMIT_FSIZE, &small);  // inherited by the program started next
  const TEmulatorSpeed speed(kQuick);
  TProgram program(kProgram, Args({"--record", "2", "--folder", (dir_ / "rec").string()}), dir_.string());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(program.Wait(30000), 3) << program.Errors();
  EXPECT_NE(program.Errors().find("Disk full"), std::string::npos) << program.Errors();
  EXPECT_NE(program.Output().find("остановлена"), std::string::npos) << "the status line marks the channel";
  const std::string bytes = ReadWhole((dir_ / "rec/Europa_Plus__Moscow_.mp3").string());
  EXPECT_EQ(bytes.size(), 2u * 32767) << "the part of a chunk that did not fit is cut off";
  EXPECT_TRUE(ContiguousIn(bytes, Extracted(358))) << "what was written is not intact";
}

// The same on a real filesystem that fills up under several channels: each
// ticked channel stops in turn, is reported once and marked in the status
// line, and once all have stopped the run ends by itself. What reached the
// disk is each channel's audio unbroken, in whole chunks.
class FullFilesystem : public HeadlessRecorder {
 protected:
  void SetUp() override {
    HeadlessRecorder::SetUp();
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root; the file-size-limit test stands in";
    mounted_ = std::system(("mount -t tmpfs -o size=2m mc_full " + Rec() + " 2>&1").c_str()) == 0;
    if (!mounted_) GTEST_SKIP() << "mount -t tmpfs refused here; the file-size-limit test stands in";
  }
  void TearDown() override {
    if (mounted_) std::system(("umount -l " + Rec()).c_str());
    HeadlessRecorder::TearDown();
  }
  std::string Rec() const { return (dir_ / "rec").string(); }
  bool mounted_ = false;
};

TEST_F(FullFilesystem, EachChannelStopsOnceAndTheRunEndsWithUnbrokenAudio) {
  const std::map<std::string, int> services = {
      {"Радио_Маяк", 101}, {"Europa_Plus__Moscow_", 102}, {"Джаз_Caf_", 104}, {"Classic_Radio", 106}};
  const auto stream = [](int service) {
    const std::string es =
        ReadWhole(std::string(MC_BIN_DIR) + "/Device/Emulator/4084H.es/" + std::to_string(service) + ".mp2");
    return es + es;  // the card replays the transponder in a loop
  };
  const auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
    return n;
  };
  // Rows 1, 2, 4 and 6 together bring about 90 KiB a second: 2 MB are full in
  // some 25 s of the replay, a few seconds at this speed.
  const TEmulatorSpeed speed("10");
  TProgram program(kProgram, Args({"--record", "1,2,4,6", "--folder", Rec()}), dir_.string());
  EXPECT_EQ(program.Wait(120000), 3) << "ends by itself once nothing is recorded any more";
  const std::string errors = program.Errors();
  EXPECT_EQ(count(errors, "запись остановлена"), services.size()) << errors;
  for (const auto& [name, service] : services)
    EXPECT_EQ(count(errors, "Канал " + name + ": запись остановлена (Disk full)"), 1u) << errors;
  EXPECT_NE(errors.find("Все записываемые каналы остановлены"), std::string::npos) << errors;
  EXPECT_NE(program.Output().find("остановлена"), std::string::npos) << program.Output();
  for (const auto& [name, service] : services) {
    const std::string bytes = ReadWhole(Rec() + "/" + name + ".mp3");
    EXPECT_EQ(bytes.size() % 32767, 0u) << name << ": whole chunks only";
    if (!bytes.empty()) {
      EXPECT_TRUE(ContiguousIn(bytes, stream(service))) << name << ": not intact";
    }
  }
}

// Where the program cannot do its work fully it says so, and keeps what the
// user has: a scan that finds nothing leaves the list, a busy port leaves
// the recording.
TEST_F(HeadlessRecorder, ScanWithoutSignalKeepsTheListAndABusyPortIsReported) {
  const std::string list = ReadWhole((dir_ / "ini/kanal.ini").string());
  std::ofstream(dir_ / "ini/trsp.ini", std::ios::binary) << "5150\r\n4000\r\n2500\r\n2\r\n0\r\n3\r\n\r\n1\r\n";
  TProgram scan(kProgram, Args({"--scan"}), dir_.string());
  EXPECT_EQ(scan.Wait(60000), 1);
  EXPECT_NE(scan.Errors().find("не изменён"), std::string::npos) << scan.Errors();
  EXPECT_EQ(ReadWhole((dir_ / "ini/kanal.ini").string()), list);

  WriteSettings(true);
  const int busy = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  ::setsockopt(busy, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port_.Port());
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(busy, 1), 0);
  const TEmulatorSpeed speed(kQuick);
  TProgram record(kProgram, Args({"--record", "6", "--folder", (dir_ / "rec").string()}), dir_.string());
  EXPECT_EQ(StopOnceRecorded(record, {dir_ / "rec/Classic_Radio.mp3"}), 0) << record.Errors();
  ::close(busy);
  EXPECT_NE(record.Errors().find(std::to_string(port_.Port())), std::string::npos) << "a run that streams nowhere must say so";
  EXPECT_GE(ReadWhole((dir_ / "rec/Classic_Radio.mp3").string()).size(), 32767u) << "recording goes on";
}

// Requests the program cannot carry out are refused with a message and a
// failing exit status, before anything is recorded: 2 for the command line,
// 5 for settings a person must fix, 1 for what may pass by itself.
TEST_F(HeadlessRecorder, RefusalsSayWhyAndFail) {
  const std::string kanal = ReadWhole((dir_ / "ini/kanal.ini").string());
  struct TCase {
    std::vector<std::string> args;
    std::optional<std::string> settings, list;  // nullopt: the usual; "": removed
    int status;
    std::string said;
  };
  const std::string good = SettingsFile(true);
  const std::vector<TCase> cases = {
      {{"--record", "Нет_такого"}, {}, {}, 2, "Нет такого канала: Нет_такого"},
      {{"--record", "9"}, {}, {}, 2, "Нет такого канала: 9"},
      {{"--record", "all", "--seconds", "0"}, {}, {}, 2, "--seconds"},
      {{"--frobnicate"}, {}, {}, 2, "Неизвестный параметр: --frobnicate\nСправка: mellowcaster --help\n"},
      {{"--record"}, {}, {}, 2, "Не указано значение для --record"},  // "--ini" after it is no list
      {{"--record", "all"}, "", {}, 5, "trsp.ini: File not found"},
      {{"--record", "all"}, "5150\r\n4084\r\n2500\r\n2\r\n0\r\nx\r\n\r\n1\r\n", {}, 5, "trsp.ini, строка 6: 'x'"},
      {{"--record", "all"}, "5150\r\n4084\r\n2500\r\n2\r\n0\r\n9\r\n\r\n1\r\n", {}, 5, "строка 6: номер карты"},
      {{"--record", "all"}, "5150\r\n40x4\r\n2500\r\n2\r\n0\r\n3\r\n\r\n1\r\n", {}, 5, "trsp.ini, строка 2: '40x4'"},
      {{"--record", "all"}, {}, "", 5, "kanal.ini"},
      {{"--record", "all"}, {}, kanal + kanal.substr(0, kanal.find("\r\n\r\n") + 4), 5, "уже записывает строка 1"},
      {{"--record", "all", "--folder", "/nonexistent/folder"}, {}, {}, 1, "File not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    if (c.settings && c.settings->empty()) fs::remove(dir_ / "ini/trsp.ini");
    else if (c.settings) std::ofstream(dir_ / "ini/trsp.ini", std::ios::binary) << *c.settings;
    if (c.list && c.list->empty()) fs::remove(dir_ / "ini/kanal.ini");
    else if (c.list) std::ofstream(dir_ / "ini/kanal.ini", std::ios::binary) << *c.list;
    TProgram program(kProgram, Args(c.args), dir_.string());
    EXPECT_EQ(program.Wait(20000), c.status) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
    EXPECT_NE(program.Errors().find(c.said), std::string::npos) << program.Errors();
    EXPECT_EQ(program.Errors().find("Использование"), std::string::npos) << "one line, not the whole usage";
    WriteSettings(true);
    std::ofstream(dir_ / "ini/kanal.ini", std::ios::binary) << kanal;
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "rec"));
}

// A second run on the same settings folder, or on the same files from
// another settings folder, is refused naming the first, and changes nothing:
// the first run's recording stays one unbroken run of its channel.
TEST_F(HeadlessRecorder, ASecondRunIsRefusedAndTheFirstRecordingStaysWhole) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is needed";
  const std::string file = (dir_ / "rec/Classic_Radio.mp3").string();
  const TEmulatorSpeed speed(kQuick);
  TProgram first(kProgram, Args({"--record", "6", "--folder", (dir_ / "rec").string()}), dir_.string());
  ASSERT_TRUE(first.WaitForOutput("kill", 10000)) << first.Errors();
  const auto grown = [&](size_t bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ReadWhole(file).size() < bytes && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return ReadWhole(file).size() >= bytes;
  };
  ASSERT_TRUE(grown(32767));

  fs::create_directories(dir_ / "other/ini");
  fs::copy(dir_ / "ini", dir_ / "other/ini");
  for (const fs::path& ini : {dir_ / "ini", dir_ / "other/ini"}) {
    SCOPED_TRACE(ini.string());
    TProgram second(kProgram, {"--record", "6", "--folder", (dir_ / "rec").string(), "--ini", ini.string()},
                    (dir_ / "other").string());
    EXPECT_EQ(second.Wait(20000), 1);
    EXPECT_NE(second.Errors().find("PID " + std::to_string(first.Pid())), std::string::npos) << second.Errors();
  }
  ASSERT_TRUE(grown(ReadWhole(file).size() + 32767)) << "the first run records on";
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(20000), 0) << first.Errors();
  const std::string bytes = ReadWhole(file);
  EXPECT_EQ(bytes.size() % 32767, 0u);
  EXPECT_TRUE(ContiguousIn(bytes, Extracted(362))) << "the recording has a hole or a doubled part";
  EXPECT_EQ(Files(dir_ / "rec", ".mp3"), 1);
}

// The record folder is the system's path whatever characters it has: from
// the command line, and from the music folder when line 7 is empty.
TEST_F(HeadlessRecorder, FoldersOutsideCp1251AreRecordedInto) {
  const fs::path music = dir_ / "home/Música";
  const fs::path typed = dir_ / "音乐/josé";
  fs::create_directories(music);
  fs::create_directories(typed);
  std::ofstream(dir_ / "user-dirs.dirs") << "XDG_MUSIC_DIR=\"$HOME/Música\"\n";
  const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  const TEmulatorSpeed speed(kQuick);
  ::setenv("HOME", (dir_ / "home").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);  // inherited by the programs below
  TProgram fromLine7(kProgram, Args({"--record", "6"}), dir_.string());
  ::setenv("HOME", oldHome.c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
  const int line7Status = StopOnceRecorded(fromLine7, {music / "Classic_Radio.mp3"});
  EXPECT_EQ(line7Status, 0) << fromLine7.Errors();
  EXPECT_GE(fs::file_size(music / "Classic_Radio.mp3"), 32767u);

  TProgram fromCommandLine(kProgram, Args({"--record", "6", "--folder", typed.string()}), dir_.string());
  EXPECT_EQ(StopOnceRecorded(fromCommandLine, {typed / "Classic_Radio.mp3"}), 0) << fromCommandLine.Errors();
  EXPECT_GE(fs::file_size(typed / "Classic_Radio.mp3"), 32767u);
  EXPECT_NE(fromCommandLine.Output().find("Запись в " + typed.string()), std::string::npos);
}

// Standard output on a pipe nobody reads: recording and streaming go on,
// and SIGTERM still ends the run cleanly.
TEST_F(HeadlessRecorder, AnUnreadOutputStallsNothing) {
  if (!HaveTool("curl")) GTEST_SKIP() << "curl is needed";
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::fcntl(fds[0], F_SETPIPE_SZ, 4096);
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  const std::string block(4096, 'x');
  while (::write(fds[1], block.data(), block.size()) > 0) {
  }
  ::fcntl(fds[1], F_SETFL, 0);  // full: the program's first write blocks
  const TEmulatorSpeed speed(kQuick);
  TProgram program(kProgram, Args({"--record", "6", "--folder", (dir_ / "rec").string()}), dir_.string(), fds[1]);
  ::close(fds[1]);
  const std::string file = (dir_ / "rec/Classic_Radio.mp3").string();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadWhole(file).size() < 2 * 32767 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_GE(ReadWhole(file).size(), 2u * 32767) << "the delivery thread waits on the output";
  // More than the source's buffer holds: audio still flows, not a backlog.
  const size_t flowing = 2 * 65536;
  CommandOutput("timeout 30 curl -s -N " + port_.Address("Classic_Radio") + " | head -c " + std::to_string(flowing) +
                " > " + (dir_ / "listened").string());
  EXPECT_EQ(ReadWhole((dir_ / "listened").string()).size(), flowing) << "streaming stopped";
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(20000), 0) << program.Errors();
  ::close(fds[0]);
}

// A restart keeps what the run before recorded: a non-empty file is moved
// aside under its modification time, an empty one is simply reused.
TEST_F(HeadlessRecorder, ARestartKeepsEarlierRecordings) {
  const fs::path rec = dir_ / "rec";
  std::ofstream(rec / "Classic_Radio.mp3", std::ios::binary) << "earlier recording";
  std::ofstream(rec / "Europa_Plus__Moscow_.mp3", std::ios::binary) << "";
  struct tm when {};
  when.tm_year = 126, when.tm_mon = 0, when.tm_mday = 2, when.tm_hour = 3, when.tm_min = 4, when.tm_sec = 5;
  when.tm_isdst = -1;
  const auto stamp = fs::file_time_type::clock::now() + std::chrono::seconds(std::mktime(&when) - std::time(nullptr));
  fs::last_write_time(rec / "Classic_Radio.mp3", stamp);
  const TEmulatorSpeed speed(kQuick);
  TProgram program(kProgram, Args({"--record", "2,6", "--folder", rec.string()}), dir_.string());
  EXPECT_EQ(StopOnceRecorded(program, {rec / "Classic_Radio.mp3", rec / "Europa_Plus__Moscow_.mp3"}), 0)
      << program.Errors();
  EXPECT_EQ(ReadWhole((rec / "Classic_Radio (2026-01-02 03-04-05).mp3").string()), "earlier recording");
  EXPECT_GE(fs::file_size(rec / "Classic_Radio.mp3"), 32767u);
  EXPECT_GE(fs::file_size(rec / "Europa_Plus__Moscow_.mp3"), 32767u);
  EXPECT_EQ(Files(rec, ".mp3"), 3);
  EXPECT_EQ(Files(rec, ".txt"), 2) << "the titles of each new recording, none for the earlier one";
}

// A recording never writes through a symbolic link in the record folder.
TEST_F(HeadlessRecorder, ALinkInTheRecordFolderIsRefused) {
  std::ofstream(dir_ / "outside", std::ios::binary) << "keep";
  fs::create_symlink(dir_ / "outside", dir_ / "rec/Classic_Radio.mp3");
  TProgram program(kProgram, Args({"--record", "6", "--folder", (dir_ / "rec").string(), "--seconds", "3"}),
                   dir_.string());
  EXPECT_EQ(program.Wait(30000), 1);
  EXPECT_NE(program.Errors().find("symbolic link"), std::string::npos) << program.Errors();
  EXPECT_EQ(ReadWhole((dir_ / "outside").string()), "keep");
}

// Off a terminal the status line comes on change or once a minute, stamped;
// a run without data says so; "all" leaves out a row without audio and two
// rows on one stream address are named.
TEST_F(HeadlessRecorder, StatusLinesNotesAndNoDataWarnings) {
  std::ofstream(dir_ / "ini/trsp.ini", std::ios::binary) << "5150\r\n4000\r\n2500\r\n2\r\n0\r\n3\r\n\r\n1\r\n";
  std::ofstream(dir_ / "ini/kanal.ini", std::ios::binary | std::ios::app) << "CLASSIC_RADIO\r\n362\r\n0\r\n\r\n";
  TProgram program(kProgram, Args({"--record", "all", "--folder", (dir_ / "rec").string(), "--seconds", "9"}),
                   dir_.string());
  EXPECT_EQ(program.Wait(30000), 0) << program.Errors();
  const std::string out = program.Output(), errors = program.Errors();
  EXPECT_NE(errors.find("Радио_Данные: нет звука (PID 0)"), std::string::npos) << errors;
  EXPECT_NE(errors.find("CLASSIC_RADIO: адрес потока тот же, что у строки 6"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Нет данных от карты"), std::string::npos) << errors;
  EXPECT_FALSE(fs::exists(dir_ / "rec/Радио_Данные.mp3"));
  size_t lines = 0;
  for (size_t at = 0; (at = out.find(" Сигнал: ", at)) != std::string::npos; ++at) {
    ++lines;
    EXPECT_TRUE(at >= 19 && out[at - 19] == '2' && out[at - 3] == ':') << "a time stamp: " << out.substr(0, at);
  }
  // The first second, the change to "no data" after 5 s: two lines, not nine.
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 3u) << out;
}

// SIGTERM during the start of a long list ends it at once, and the files
// are as they were: nothing emptied, nothing moved aside, nothing created.
TEST_F(HeadlessRecorder, AStopDuringTheStartChangesNothing) {
  std::string list;
  for (int i = 0; i < 1000; ++i) list += "Ch_" + std::to_string(1000 + i) + "\r\n362\r\n0\r\n\r\n";
  std::ofstream(dir_ / "ini/kanal.ini", std::ios::binary) << list;
  std::ofstream(dir_ / "rec/Ch_1000.mp3", std::ios::binary) << "earlier";
  TProgram program(kProgram, Args({"--record", "all", "--folder", (dir_ / "rec").string()}), dir_.string());
  // The settings folder locked: the program is in its start, its stop signals taken.
  struct stat st {};
  ASSERT_EQ(::stat((dir_ / "ini").c_str(), &st), 0);
  char file[64];
  std::snprintf(file, sizeof file, " %d %02x:%02x:%llu ", program.Pid(), major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadWhole("/proc/locks").find(file) == std::string::npos && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(30000), 0) << program.Errors();
  EXPECT_EQ(program.Output().find("kill"), std::string::npos) << "the run started after all";
  EXPECT_EQ(ReadWhole((dir_ / "rec/Ch_1000.mp3").string()), "earlier");
  EXPECT_EQ(Files(dir_ / "rec", ".mp3"), 1);
}

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// --now lists every row of the list once, with "—" where nothing was said,
// and writes nothing: no file in the record folder, no file moved aside.
TEST_F(HeadlessRecorder, NowListsEveryChannelOnceAndWritesNoFile) {
  std::ofstream(dir_ / "ini/trsp.ini", std::ios::binary)
      << "5150\r\n4084\r\n2500\r\n2\r\n0\r\n3\r\n" << (dir_ / "rec").string() << "/\r\n1\r\n";
  std::ofstream(dir_ / "rec/Classic_Radio.mp3", std::ios::binary) << "earlier";
  TProgram program(kProgram, Args({"--now", "--seconds", "2"}), dir_.string());
  ASSERT_EQ(program.Wait(60000), 0) << program.Errors();
  EXPECT_EQ(program.Errors(), "");
  const std::vector<std::string> lines = LinesOf(program.Output());
  const auto header = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("Станция") != std::string::npos && l.find("Сейчас") != std::string::npos;
  });
  ASSERT_NE(header, lines.end()) << program.Output();
  const size_t rows = text::ReadLineFile((dir_ / "ini/kanal.ini").string()).size() / 4;
  ASSERT_EQ(static_cast<size_t>(lines.end() - header), rows + 1) << program.Output();
  for (size_t r = 1; r <= rows; ++r) EXPECT_EQ(header[static_cast<long>(r)].rfind(std::to_string(r) + " ", 0), 0u);
  EXPECT_EQ(ReadWhole((dir_ / "rec/Classic_Radio.mp3").string()), "earlier");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "rec"), fs::directory_iterator{}), 1);
}

// The demo's two channels with radiotext, as a user running the recorder
// sees them: a stamped line per new title, never one per repetition; then
// --now shows their station names and titles.
TEST_F(HeadlessRecorder, TheDemoTitlesArePrintedOncePerChangeAndByNow) {
  const std::string marker = " Сейчас: ";
  std::vector<std::string> titleLines;
  // The demo's titles change every 20 to 30 s of the replay.
  const TEmulatorSpeed speed("10");
  {
    TProgram program(kProgram, Args({"--record", "none"}), dir_.string());
    ASSERT_TRUE(program.WaitForOutput("kill", 10000)) << program.Output() << program.Errors();
    if (!program.WaitForOutput(marker, 15000)) {
      program.Signal(SIGTERM);
      program.Wait(20000);
      GTEST_SKIP() << "the capture does not report titles yet";
    }
    // Both channels' first titles, then one change at least.
    const auto seen = [&] {
      titleLines.clear();
      for (const std::string& line : LinesOf(program.Output()))
        if (line.find(marker) != std::string::npos) titleLines.push_back(line);
      const auto count = [&](const std::string& name) {
        return std::count_if(titleLines.begin(), titleLines.end(),
                             [&](const std::string& l) { return l.find(name) != std::string::npos; });
      };
      return count("Europa_Plus__Moscow_") >= 1 && count("Classic_Radio") >= 1 && titleLines.size() >= 3;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!seen() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(20000), 0) << program.Errors();
    ASSERT_TRUE(seen()) << program.Output();
  }
  std::map<std::string, std::string> last;  // channel -> its last title
  for (const std::string& line : titleLines) {
    SCOPED_TRACE(line);
    const size_t at = line.find(marker);
    ASSERT_EQ(at, 19u) << "the local time in front";
    EXPECT_TRUE(line[4] == '-' && line[10] == ' ' && line[13] == ':');
    const std::string rest = line.substr(at + marker.size());
    const size_t dash = rest.find(" — ");
    ASSERT_NE(dash, std::string::npos);
    const std::string channel = rest.substr(0, dash), title = rest.substr(dash + 5);
    EXPECT_FALSE(title.empty());
    EXPECT_NE(last[channel], title) << "a repetition printed again";
    last[channel] = title;
  }

  TProgram now(kProgram, Args({"--now", "--seconds", "3"}), dir_.string());
  ASSERT_EQ(now.Wait(60000), 0) << now.Errors();
  for (const std::string name : {"Europa_Plus__Moscow_", "Classic_Radio"}) {
    const std::vector<std::string> lines = LinesOf(now.Output());
    const auto row = std::find_if(lines.begin(), lines.end(),
                                  [&](const std::string& l) { return l.find(" " + name + " ") != std::string::npos; });
    ASSERT_NE(row, lines.end()) << now.Output();
    EXPECT_EQ(row->find("—"), std::string::npos) << "a station name and a title: " << *row;
  }
}

// An archive on a fast replay, cut every 2 s: every file begins with a frame
// and decodes alone, a channel's files joined are its broadcast unbroken, the
// day's playlist lists them, and a restart on the same archive overwrites
// nothing, not even a file planted under the names it is about to take.
TEST_F(HeadlessRecorder, ArchiveCutsOnFramesJoinsWithoutLossAndARestartOverwritesNothing) {
  if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg and ffprobe are needed";
  const TEmulatorSpeed speed("8");
  const fs::path archive = dir_ / "archive";
  fs::create_directories(archive);
  const std::map<std::string, int> channels = {{"Радио_Маяк", 357}, {"Europa_Plus__Moscow_", 358},
                                               {"Ретро_FM", 359},   {"Джаз_Caf_", 360},
                                               {"Детское_радио", 361}, {"Classic_Radio", 362}};
  // The files of a channel in the order its playlists list them, relative
  // to the channel's folder; every audio file is listed once.
  const auto listed = [&](const std::string& channel) {
    std::vector<std::string> files;
    std::error_code ec;
    std::set<std::string> days;
    for (const auto& e : fs::directory_iterator(archive / channel, ec))
      if (e.path().extension() == ".m3u") days.insert(e.path().string());
    for (const std::string& m3u : days) {
      std::istringstream lines(ReadWhole(m3u));
      std::string line;
      std::getline(lines, line);
      EXPECT_EQ(line, "#EXTM3U") << m3u;
      while (std::getline(lines, line)) files.push_back(line);
    }
    return files;
  };
  // Runs until every channel has `more` files beyond those it had.
  const auto runFor = [&](size_t more) {
    std::map<std::string, size_t> had;
    for (const auto& [channel, pid] : channels) had[channel] = listed(channel).size();
    TProgram program(
        kProgram, Args({"--record", "all", "--archive", archive.string(), "--split-seconds", "2", "--keep", "30"}),
        dir_.string());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const auto enough = [&] {
      for (const auto& [channel, pid] : channels)
        if (listed(channel).size() < had[channel] + more) return false;
      return true;
    };
    while (std::chrono::steady_clock::now() < end && !enough())
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(60000), 0) << program.Errors();
    EXPECT_EQ(program.Errors().find("Канал"), std::string::npos) << program.Errors();
  };
  // An archive file past --keep goes at the start; a file of another name stays.
  fs::create_directories(archive / "Classic_Radio/2020-01-01");
  const fs::path old = archive / "Classic_Radio/2020-01-01/10-00-00.mp2", foreign = archive / "Classic_Radio/notes.mp2";
  std::ofstream(old) << "old";
  std::ofstream(foreign) << "mine";
  fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(24 * 40));
  fs::last_write_time(foreign, fs::file_time_type::clock::now() - std::chrono::hours(24 * 40));
  runFor(3);
  EXPECT_FALSE(fs::exists(old));
  EXPECT_EQ(ReadWhole(foreign.string()), "mine");

  std::map<std::string, std::string> first;  // every file of the first run and its bytes
  for (const auto& [channel, pid] : channels) {
    SCOPED_TRACE(channel);
    const std::vector<std::string> files = listed(channel);
    ASSERT_GE(files.size(), 3u);
    std::set<std::string> onDisk;
    for (const auto& e : fs::recursive_directory_iterator(archive / channel))
      if (e.path().extension() == ".mp2" && e.path().parent_path() != archive / channel) onDisk.insert(fs::relative(e.path(), archive / channel).string());
    EXPECT_EQ(onDisk, std::set<std::string>(files.begin(), files.end())) << "the playlists list every file";
    std::string joined;
    for (size_t f = 0; f < files.size(); ++f) {
      const fs::path path = archive / channel / files[f];
      const std::string bytes = ReadWhole(path.string());
      first[path.string()] = bytes;
      joined += bytes;
      ASSERT_GE(bytes.size(), 4u) << files[f];
      EXPECT_TRUE(static_cast<uint8_t>(bytes[0]) == 0xFF && (static_cast<uint8_t>(bytes[1]) & 0xE0) == 0xE0)
          << files[f] << " begins with a frame header";
      // The last file ends where the run stopped, inside a frame.
      if (f + 1 < files.size()) {
        EXPECT_EQ(CommandOutput("ffprobe -v error -count_frames -show_entries stream=codec_name -of csv=p=0 '" +
                                path.string() + "' 2>&1"),
                  "mp2\n")
            << files[f] << " decodes alone";
      }
    }
    // The card replays the demo in a loop: the joined files run on through it.
    const std::string looped = Extracted(pid);
    const std::string es = looped.substr(0, looped.size() / 2);
    const size_t at = looped.find(joined.substr(0, 256));
    ASSERT_NE(at, std::string::npos) << "the audio is not the channel's";
    size_t differ = 0;
    for (size_t i = 0; i < joined.size(); ++i) differ += joined[i] != es[(at + i) % es.size()];
    EXPECT_EQ(differ, 0u) << "bytes lost or doubled at the cuts";
  }

  // Names the next run may take, planted for the next minute.
  const fs::path planted = archive / "Classic_Radio";
  std::vector<fs::path> plants;
  for (int s = 0; s < 60; ++s) {
    const std::time_t t = std::time(nullptr) + s;
    std::tm local{};
    ::localtime_r(&t, &local);
    char day[16], name[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &local);
    std::strftime(name, sizeof name, "%H-%M-%S.mp2", &local);
    fs::create_directories(planted / day);
    if (!fs::exists(planted / day / name)) {
      std::ofstream(planted / day / name) << "planted";
      plants.push_back(planted / day / name);
    }
  }
  runFor(1);
  for (const auto& [path, bytes] : first) EXPECT_EQ(ReadWhole(path), bytes) << path << " was changed";
  for (const fs::path& p : plants) EXPECT_EQ(ReadWhole(p.string()), "planted") << p;
  const std::vector<std::string> after = listed("Classic_Radio");
  EXPECT_NE(after.back().find("_2.mp2"), std::string::npos) << after.back() << ": a taken name gets a suffix";
}

}  // namespace
