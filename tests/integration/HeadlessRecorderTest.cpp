// The built program's command line, run as a separate process on the
// Emulator card with the demo transponder: scan, record, stream, stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/statvfs.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "integration/ProgramProcess.h"
#include "support/Command.h"
#include "support/StreamPortLock.h"

namespace fs = std::filesystem;
using programtest::ReadWhole;
using programtest::TProgram;
using testsupport::CommandOutput;
using testsupport::HaveTool;

namespace {

const std::string kProgram = std::string(MC_BIN_DIR) + "/mellowcaster";
const std::string kDemo = std::string(MC_BIN_DIR) + "/Device/Emulator/4084H.ts";

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
  static bool ContiguousIn(const std::string& bytes, const std::string& looped) {
    if (bytes.size() < 256) return false;
    const size_t at = looped.find(bytes.substr(0, 256));
    return at != std::string::npos && at + bytes.size() <= looped.size() &&
           looped.compare(at, bytes.size(), bytes) == 0;
  }
  // Runs --record ROWS until `stop` after `seconds`; the exit status.
  int RecordFor(const std::string& rows, int seconds, const std::string& listenTo = "", int stop = SIGTERM) {
    TProgram program(kProgram, Args({"--record", rows, "--folder", (dir_ / "rec").string()}), dir_.string());
    EXPECT_TRUE(program.WaitForOutput("kill", 10000)) << program.Output() << program.Errors();
    if (!listenTo.empty())
      CommandOutput("curl -s --max-time " + std::to_string(seconds) + " -o " + (dir_ / "listened").string() +
            " http://127.0.0.1:3587/" + listenTo);
    else
      std::this_thread::sleep_for(std::chrono::seconds(seconds));
    program.Signal(stop);
    const int status = program.Wait(20000);
    output_ = program.Output();
    errors_ = program.Errors();
    return status;
  }

  testsupport::TStreamPortLock portTurn_;
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
  ASSERT_EQ(RecordFor("2,Classic_Radio", 5, "%D0%A0%D0%B0%D0%B4%D0%B8%D0%BE_%D0%9C%D0%B0%D1%8F%D0%BA"), 0) << errors_;
  EXPECT_EQ(errors_, "");
  EXPECT_NE(output_.find("http://127.0.0.1:3587/Europa_Plus__Moscow_"), std::string::npos) << output_;

  const std::map<std::string, int> recorded = {{"Europa_Plus__Moscow_.mp3", 358}, {"Classic_Radio.mp3", 362}};
  for (const auto& [file, pid] : recorded) {
    const std::string bytes = ReadWhole((dir_ / "rec" / file).string());
    EXPECT_GE(bytes.size(), 32767u) << file;
    EXPECT_EQ(bytes.size() % 32767, 0u) << file << ": whole chunks only";
    EXPECT_TRUE(ContiguousIn(bytes, Extracted(pid))) << file << ": bytes lost or doubled";
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "rec"), fs::directory_iterator{}), 2)
      << "only the ticked rows write files";
  const std::string listened = ReadWhole((dir_ / "listened").string());
  EXPECT_GE(listened.size(), 8191u);
  EXPECT_TRUE(ContiguousIn(listened, Extracted(357))) << "the stream is not the channel's audio";
}

TEST_F(HeadlessRecorder, Mp3RunWritesMp3AtTheChannelsRateAndChannelCount) {
  if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is needed";
  WriteSettings(false);
  // A mono channel and one at 24 kHz: neither may come out at another rate
  // or channel count.
  // Ended by SIGHUP, as when the SSH session it was started from closes.
  ASSERT_EQ(RecordFor("Ретро_FM,Детское_радио", 7, "", SIGHUP), 0) << errors_;
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
// written, and the run's exit status says a recording stopped part way.
TEST_F(HeadlessRecorder, FullDiskStopsTheChannelAndTheStatusSaysSo) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is needed";
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 2 * 32767 + 1000;
  ::setrlimit(RLIMIT_FSIZE, &small);  // inherited by the program started next
  TProgram program(kProgram, Args({"--record", "2", "--folder", (dir_ / "rec").string(), "--seconds", "6"}),
                   dir_.string());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(program.Wait(30000), 3) << program.Errors();
  EXPECT_NE(program.Errors().find("Disk full"), std::string::npos) << program.Errors();
  const std::string bytes = ReadWhole((dir_ / "rec/Europa_Plus__Moscow_.mp3").string());
  EXPECT_EQ(bytes.size(), static_cast<size_t>(small.rlim_cur));
  EXPECT_TRUE(ContiguousIn(bytes, Extracted(358))) << "what was written is not intact";
}

// The same on a real filesystem that fills up under several channels: on a
// shared disk every ticked channel stops in turn, each reported once, while
// streaming goes on; what reached the disk is each channel's audio unbroken.
class FullFilesystem : public HeadlessRecorder {
 protected:
  void SetUp() override {
    HeadlessRecorder::SetUp();
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a loop image needs root; the file-size-limit test stands in";
    image_ = (dir_ / "disk.img").string();
    if (std::system(("truncate -s 4M " + image_ + " && mkfs.ext4 -q -F -m 0 " + image_ + " 2>&1").c_str()) != 0)
      GTEST_SKIP() << "cannot make an ext4 image (mkfs.ext4)";
    if (!Mount()) GTEST_SKIP() << "mount -o loop refused here; the file-size-limit test stands in";
  }
  void TearDown() override {
    if (mounted_) std::system(("umount -l " + Rec()).c_str());
    HeadlessRecorder::TearDown();
  }
  std::string Rec() const { return (dir_ / "rec").string(); }
  bool Mount() {
    mounted_ = std::system(("mount -o loop " + image_ + " " + Rec() + " 2>&1").c_str()) == 0;
    return mounted_;
  }
  // Unmounted (everything written out) and mounted again.
  bool Remount() {
    if (std::system(("umount " + Rec()).c_str()) != 0) return false;
    mounted_ = false;
    return Mount();
  }
  static uint64_t FreeBytes(const std::string& path) {
    struct statvfs v {};
    return ::statvfs(path.c_str(), &v) == 0 ? static_cast<uint64_t>(v.f_bavail) * v.f_frsize : 0;
  }
  // A file that takes all but `bytes` of the disk's free space.
  void LeaveFree(uint64_t bytes) {
    ASSERT_GT(FreeBytes(Rec()), bytes);
    const int fd = ::open((Rec() + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::posix_fallocate(fd, 0, static_cast<off_t>(FreeBytes(Rec()) - bytes)), 0);
    ::close(fd);
  }

  std::string image_;
  bool mounted_ = false;
};

TEST_F(FullFilesystem, EachChannelStopsOnceStreamingGoesOnAndTheDiskKeepsUnbrokenAudio) {
  if (!HaveTool("curl")) GTEST_SKIP() << "curl is needed";
  ASSERT_NO_FATAL_FAILURE(LeaveFree(1 << 20));
  // Rows 1, 2, 4 and 6 together bring about 90 KiB a second: full in some 11 s.
  const std::map<std::string, int> services = {
      {"Радио_Маяк", 101}, {"Europa_Plus__Moscow_", 102}, {"Джаз_Caf_", 104}, {"Classic_Radio", 106}};
  const auto stream = [](int service) {
    const std::string es =
        ReadWhole(std::string(MC_BIN_DIR) + "/Device/Emulator/4084H.es/" + std::to_string(service) + ".mp2");
    return es + es;  // the card replays the transponder in a loop
  };
  const auto stops = [](const std::string& errors, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = errors.find(what, at)) != std::string::npos; at += what.size()) ++n;
    return n;
  };

  TProgram program(kProgram, Args({"--record", "1,2,4,6", "--folder", Rec()}), dir_.string());
  ASSERT_TRUE(program.WaitForOutput("kill", 10000)) << program.Output() << program.Errors();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (stops(program.Errors(), "запись остановлена") < services.size() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // The disk is full: a listener still gets its channel, and no report comes twice meanwhile.
  CommandOutput("curl -s --max-time 3 -o " + (dir_ / "listened").string() + " http://127.0.0.1:3587/Classic_Radio");
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(20000), 3) << "a recording stopped part way";
  const std::string errors = program.Errors();
  EXPECT_EQ(stops(errors, "запись остановлена"), services.size()) << errors;
  for (const auto& [name, service] : services)
    EXPECT_EQ(stops(errors, "Канал " + name + ": запись остановлена (Disk full)"), 1u) << errors;
  EXPECT_LT(FreeBytes(Rec()), 32767u) << "the channels stopped before the disk was full";
  const std::string listened = ReadWhole((dir_ / "listened").string());
  EXPECT_GE(listened.size(), 16384u);
  EXPECT_TRUE(ContiguousIn(listened, stream(106))) << "the stream is not the channel's audio";

  // Read back from the disk itself, not from what the kernel still caches.
  ASSERT_TRUE(Remount());
  for (const auto& [name, service] : services) {
    const std::string bytes = ReadWhole(Rec() + "/" + name + ".mp3");
    EXPECT_GE(bytes.size(), 32767u) << name;
    EXPECT_TRUE(ContiguousIn(bytes, stream(service))) << name << ": what was written is not intact";
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
  sa.sin_port = htons(3587);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(busy, 1), 0);
  TProgram record(kProgram, Args({"--record", "6", "--folder", (dir_ / "rec").string(), "--seconds", "4"}),
                  dir_.string());
  EXPECT_EQ(record.Wait(30000), 0) << record.Errors();
  ::close(busy);
  EXPECT_NE(record.Errors().find("3587"), std::string::npos) << "a run that streams nowhere must say so";
  EXPECT_GE(ReadWhole((dir_ / "rec/Classic_Radio.mp3").string()).size(), 32767u) << "recording goes on";
}

// Requests the program cannot carry out are refused with a message and a
// failing exit status, before anything is recorded.
TEST_F(HeadlessRecorder, RefusalsSayWhyAndFail) {
  struct TCase {
    std::vector<std::string> args;
    bool removeSettings;
    int status;
    std::string said;
  };
  const std::vector<TCase> cases = {
      {{"--record", "Нет_такого"}, false, 2, "Нет такого канала: Нет_такого"},
      {{"--record", "9"}, false, 2, "Нет такого канала: 9"},
      {{"--record", "all", "--seconds", "0"}, false, 2, "--seconds"},
      {{"--frobnicate"}, false, 2, "Неизвестный параметр: --frobnicate"},
      {{"--record"}, false, 2, "--record"},
      {{"--record", "all"}, true, 1, "trsp.ini: File not found"},
      {{"--record", "all", "--folder", "/nonexistent/folder"}, false, 1, "File not found"},
  };
  for (const auto& c : cases) {
    if (c.removeSettings) fs::remove(dir_ / "ini/trsp.ini");
    TProgram program(kProgram, Args(c.args), dir_.string());
    EXPECT_EQ(program.Wait(20000), c.status) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
    EXPECT_NE(program.Errors().find(c.said), std::string::npos) << program.Errors();
    WriteSettings(true);
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "rec"));
}

}  // namespace
