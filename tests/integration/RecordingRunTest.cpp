// Recording runs end to end on the Emulator card: the nine plug-in exports,
// the capture callback, the audio server and real files.
#include "capture/RecordingRun.h"
#include "app/ProcessWide.h"
#include "device/DevicePlugin.h"
#include "server/AudioServer.h"
#include "server/SocketsStartup.h"
#include "server/ServerTestUtil.h"
#include "base/AppPaths.h"
#include "base/Cp1251.h"
#include "base/InOutError.h"
#include "base/Unprivileged.h"

#include "EmulatorControl.h"
#include "support/Command.h"
#include "support/MpegAudioDecode.h"
#include "tsbuilder/SampleTransponders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The plug-in table as the run sees it: every filter call is recorded, then
// passed on to the Emulator.
std::mutex g_callsLock;
std::vector<int32_t> g_addedPids, g_addResults, g_deleted;

int32_t RecordingAddFilter(int32_t pid, TFilterCallback cb, int32_t a, int32_t b, int32_t c, int32_t d) {
  const int32_t h = Dvb.DVBAddFilter(pid, cb, a, b, c, d);
  std::lock_guard<std::mutex> g(g_callsLock);
  g_addedPids.push_back(pid);
  g_addResults.push_back(h);
  return h;
}
void RecordingDelFilter(int32_t handle) {
  Dvb.DVBDelFilter(handle);
  std::lock_guard<std::mutex> g(g_callsLock);
  g_deleted.push_back(handle);
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}


// A player: connects, asks for a channel and keeps every byte until the
// server closes the connection (or 30 s pass).
class Listener {
 public:
  Listener(uint16_t port, const std::string& name) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (!connected_) return;
    std::string path;
    for (unsigned char c : name) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      path += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    const std::string req = "GET /" + path + " HTTP/1.0\r\n\r\n";
    ::send(fd_, req.data(), req.size(), MSG_NOSIGNAL);
    thread_ = std::thread([this] {
      char buf[65536];
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
          closedByServer_ = true;
          break;
        }
        std::lock_guard<std::mutex> g(m_);
        data_.append(buf, static_cast<size_t>(n));
      }
      closed_ = true;
    });
  }
  ~Listener() {
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool Connected() const { return connected_; }
  // Waits (10 s at most) until this many bytes have arrived.
  void WaitForBytes(size_t bytes) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Data().size() < bytes && !closed_ && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  void WaitClosed() {
    if (thread_.joinable()) thread_.join();
  }
  bool Closed() const { return closed_; }
  bool ClosedByServer() const { return closedByServer_; }
  std::string Data() {
    std::lock_guard<std::mutex> g(m_);
    return data_;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::atomic<bool> closed_{false};
  std::atomic<bool> closedByServer_{false};
  std::thread thread_;
  std::mutex m_;
  std::string data_;
};

class RecordingRunOnEmulator : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SocketsStartup();
    built_ = new tsb::TBuiltTransponder(tsb::BuildTransponder(tsb::TestTransponder()));
  }
  static void TearDownTestSuite() {
    delete built_;
    built_ = nullptr;
  }

  void SetUp() override {
    ASSERT_EQ(::chdir(MC_BIN_DIR), 0);
    ASSERT_EQ(LoadDevicePlugin("Emulator", Dvb), 0);
    ASSERT_NE(Dvb.DVBOpen(0), 0);
    lib_ = ::dlopen((std::string(MC_BIN_DIR) + "/Device/Emulator.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib_, nullptr);
    hold_ = reinterpret_cast<TEmulatorHold>(::dlsym(lib_, emulator_exports::kHold));
    speed_ = reinterpret_cast<TEmulatorSetReplaySpeed>(::dlsym(lib_, emulator_exports::kSetReplaySpeed));
    replayOnce_ = reinterpret_cast<TEmulatorReplayOnce>(::dlsym(lib_, emulator_exports::kReplayOnce));
    ASSERT_TRUE(hold_ && speed_ && replayOnce_);
    TTunerParams t{};
    t.Frequency = 3900 * 1000;
    t.Constant2 = 2;
    t.SymbolRate = 27500 * 1000;
    t.LocalOscillator = 5150 * 1000;
    t.Voltage = 13;
    ASSERT_NE(Dvb.DVBSetTuner(t), 0) << "the test transponder 3900V is missing";
    hold_(1);  // nothing flows until the run is up

    device_ = Dvb;
    device_.DVBAddFilter = RecordingAddFilter;
    device_.DVBDelFilter = RecordingDelFilter;
    {
      std::lock_guard<std::mutex> g(g_callsLock);
      g_addedPids.clear();
      g_addResults.clear();
      g_deleted.clear();
    }
    dir_ = fs::temp_directory_path() /
           ("mc_run_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    options_.Folder = dir_.string() + "/";
    options_.Format = RecordFormat::Pcm;
    port_ = servertest::FreePort();

    // Three rows: the radio services with sound and the TV service's audio.
    for (const auto& s : built_->services) {
      if (!s.plan.inPat || s.plan.audioPid == 0 || s.plan.timeShiftedOf != 0) continue;
      list_.AddChannelRow(Cp(s.plan.name), std::to_string(s.plan.audioPid), "0");
      services_.push_back(&s);
      if (list_.Count() == 3) break;
    }
    ASSERT_EQ(list_.Count(), 3u);
    hooks_.StopPlayback = [this] { ++stopPlaybackCalls_; };
    hooks_.ToolbarChanged = [this](bool r) { events_.push_back(r ? "toolbar run" : "toolbar idle"); };
    hooks_.ListMenuChanged = [this](bool r) {
      events_.push_back(std::string(r ? "menu run" : "menu idle") + (Recording ? ", recording" : ""));
    };
    hooks_.TickBoxesShown = [this](bool s) { events_.push_back(s ? "ticks shown" : "ticks hidden"); };
    hooks_.SizeText = [this](size_t row, const std::string& t) {
      std::lock_guard<std::mutex> g(m_);
      lastSize_[row] = t;
    };
    hooks_.Message = [this](const std::string& msg) {
      std::lock_guard<std::mutex> g(m_);
      messages_.push_back(msg);
    };
  }

  void TearDown() override {
    Recording = false;
    if (Dvb.DVBClose) Dvb.DVBClose();
    UnloadDevicePlugin(Dvb);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Channel names as the list holds them.
  static std::string Cp(const std::string& utf8) { return text::Utf8ToCp1251(utf8); }

  std::string EsBytes(size_t row) const {
    const auto& es = services_[row]->audioEs;
    return std::string(es.begin(), es.end());
  }
  static size_t Chunks(size_t esBytes) { return esBytes == 0 ? 0 : (esBytes - 1) / 32767; }
  fs::path FileOf(size_t row) const { return dir_ / text::Cp1251ToUtf8(list_.Row(row).Name + ".mp3"); }

  // Waits until the run's server has this many listeners attached.
  static bool WaitForListeners(TRecordingRun& run, int32_t count) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (run.Server() && run.Server()->ClientCount() < count) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return run.Server() != nullptr;
  }

  // Replays the whole file once at `speed` times real time.
  void ReplayWholeFile(double speed) {
    speed_(speed);
    ASSERT_EQ(replayOnce_(60000), 1) << "the replay did not reach the end of the file";
  }

  static tsb::TBuiltTransponder* built_;
  void* lib_ = nullptr;
  TEmulatorHold hold_ = nullptr;
  TEmulatorSetReplaySpeed speed_ = nullptr;
  TEmulatorReplayOnce replayOnce_ = nullptr;
  TDevicePlugin device_;
  fs::path dir_;
  RecordingOptions options_;
  uint16_t port_ = 0;
  TChannelList list_;
  std::vector<const tsb::TBuiltService*> services_;
  RecordingHooks hooks_;
  int stopPlaybackCalls_ = 0;
  std::vector<std::string> events_;  // toolbar, menu and tick-box changes in order
  std::mutex m_;
  std::map<size_t, std::string> lastSize_;
  std::vector<std::string> messages_;
};
tsb::TBuiltTransponder* RecordingRunOnEmulator::built_ = nullptr;

TEST_F(RecordingRunOnEmulator, PcmRunRecordsTheTickedChannelAndStreamsAll) {
  list_.Row(1).Ticked = true;
  const fs::path stale = FileOf(1);
  std::ofstream(stale) << "old content that the start truncates";
  TRecordingRun run(list_, options_, device_, hooks_, port_);
  ASSERT_TRUE(run.Start());
  EXPECT_TRUE(Recording);
  EXPECT_EQ(fs::file_size(stale), 0u);
  EXPECT_FALSE(run.CloseQuery((dir_ / "kanal.ini").string())) << "no closing while recording";
  {
    std::lock_guard<std::mutex> g(m_);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], kCloseWhileRecordingMessage);
  }

  Listener listener(port_, list_.Row(1).Name);
  ASSERT_TRUE(listener.Connected());
  ASSERT_TRUE(WaitForListeners(run, 1)) << "the listener was not attached";
  ReplayWholeFile(8.0);
  listener.WaitForBytes(200 + 8191);  // the source sends what it holds
  run.Stop();
  listener.WaitClosed();
  EXPECT_TRUE(listener.ClosedByServer()) << "the stop left a listener connected";
  EXPECT_FALSE(Recording);

  // Only the ticked row's file, holding exactly the first k chunks of its audio.
  EXPECT_FALSE(fs::exists(FileOf(0)));
  EXPECT_FALSE(fs::exists(FileOf(2)));
  const std::string file = ReadFile(FileOf(1));
  const std::string es = EsBytes(1);
  const size_t k = Chunks(es.size());
  ASSERT_GE(k, 1u);
  EXPECT_EQ(file.size(), k * 32767);
  EXPECT_TRUE(file == es.substr(0, file.size())) << "the file is not the start of the channel's audio";
  EXPECT_EQ(lastSize_[1], SizeText(static_cast<int64_t>(k) * 32767));
  EXPECT_EQ(lastSize_.count(0), 0u) << "unticked rows keep their text";

  // The listener got the head, then a contiguous run of the same audio.
  const std::string got = listener.Data();
  const std::string head = "HTTP/1.0 200 OK\r\nServer: ZANTO 1.0\r\nContent-Type: video/mpeg\r\nicy-name: " +
                           list_.Row(1).Name + "\r\n\r\n";
  ASSERT_GE(got.size(), head.size());
  EXPECT_EQ(got.substr(0, head.size()), head);
  const std::string audio = got.substr(head.size());
  ASSERT_GE(audio.size(), 8191u);
  const size_t at = es.find(audio.substr(0, 256));
  ASSERT_NE(at, std::string::npos) << "the stream is not the channel's audio";
  EXPECT_TRUE(es.compare(at, audio.size(), audio) == 0) << "the stream has a gap";

  // Filters numbered 1..3 after the switch, removed as 0..3.
  std::lock_guard<std::mutex> g(g_callsLock);
  EXPECT_EQ(g_addResults, (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(g_addedPids, (std::vector<int32_t>{services_[0]->plan.audioPid, services_[1]->plan.audioPid,
                                                services_[2]->plan.audioPid}));
  EXPECT_EQ(g_deleted, (std::vector<int32_t>{0, 1, 2, 3}));
  // The toolbar follows the server's start and the stop's first step, the
  // list's menu the recording flag and the sessions' end.
  EXPECT_EQ(events_, (std::vector<std::string>{"toolbar run", "ticks hidden", "menu run, recording", "toolbar idle",
                                               "menu idle", "ticks shown"}));
  EXPECT_EQ(stopPlaybackCalls_, 1);
}

TEST_F(RecordingRunOnEmulator, Mp3RunWritesConstantBitRateMp3) {
  list_.Row(0).Ticked = true;
  options_.Format = RecordFormat::Mp3;
  TRecordingRun run(list_, options_, device_, hooks_, port_);
  ASSERT_TRUE(run.Start());
  ReplayWholeFile(0);
  run.Stop();

  const std::string mp3 = ReadFile(FileOf(0));
  ASSERT_GT(mp3.size(), 1000u);
  const auto info = testsupport::DecodeMpegAudio(mp3, false);
  const auto& fmt = services_[0]->plan.audio;
  EXPECT_EQ(info.rate, static_cast<long>(fmt.sampleRate));
  EXPECT_TRUE(info.constantBitrate);
  EXPECT_EQ(info.layer, 3);
  EXPECT_EQ(info.bitrateKbps, std::min(320, static_cast<int>(fmt.bitrateKbps)));
  const size_t k = Chunks(services_[0]->audioEs.size());
  EXPECT_EQ(lastSize_[0], SizeText(static_cast<int64_t>(k) * 32767)) << "the size text counts source bytes";
  EXPECT_NE(mp3.size(), k * 32767);

  if (testsupport::HaveTool("ffprobe")) {
    const std::string out = testsupport::CommandOutput(
        "ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,sample_rate "
        "-of default=noprint_wrappers=1 '" + FileOf(0).string() + "'");
    EXPECT_NE(out.find("codec_name=mp3"), std::string::npos) << out;
    EXPECT_NE(out.find("sample_rate=" + std::to_string(fmt.sampleRate)), std::string::npos) << out;
  }
}

TEST_F(RecordingRunOnEmulator, MissingRecordFolderRollsBackAndNamesTheChannel) {
  list_.Row(2).Ticked = true;
  options_.Folder = (dir_ / "no_such_folder").string() + "/";
  TRecordingRun run(list_, options_, device_, hooks_, port_);
  EXPECT_FALSE(run.Start());
  EXPECT_FALSE(run.Running());
  EXPECT_FALSE(Recording);
  EXPECT_EQ(run.Server(), nullptr);
  Listener late(port_, list_.Row(0).Name);
  EXPECT_FALSE(late.Connected()) << "the server is gone";
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find(list_.Row(2).Name), std::string::npos) << messages_[0];
  EXPECT_NE(messages_[0].find("File not found"), std::string::npos) << messages_[0];
  EXPECT_TRUE(events_.empty()) << "a refused start touches neither toolbar nor list";
  EXPECT_TRUE(g_addResults.empty());
  // A second start after mending the folder works.
  options_.Folder = dir_.string() + "/";
  EXPECT_TRUE(run.Start());
  run.Stop();
}

TEST_F(RecordingRunOnEmulator, NonNumericPidRollsBackTheFilters) {
  list_.Row(1).Ticked = true;
  list_.Row(2).Pid = "12x";
  TRecordingRun run(list_, options_, device_, hooks_, port_);
  EXPECT_FALSE(run.Start());
  EXPECT_FALSE(run.Running());
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find(list_.Row(2).Name), std::string::npos);
  EXPECT_NE(messages_[0].find("'12x' is not a valid integer value"), std::string::npos);
  std::lock_guard<std::mutex> g(g_callsLock);
  EXPECT_TRUE(g_addResults.empty()) << "every row is checked before the first filter";
  EXPECT_TRUE(events_.empty());
}

// A row whose PID the card refuses records nothing, and the rows after it
// still record their own channels.
TEST_F(RecordingRunOnEmulator, RefusedFilterLeavesTheOtherRowsTheirChannels) {
  list_.Row(0).Ticked = true;
  list_.Row(1).Ticked = true;
  list_.Row(1).Pid = "9000";
  list_.Row(2).Ticked = true;
  TRecordingRun run(list_, options_, device_, hooks_, port_);
  ASSERT_TRUE(run.Start());
  ReplayWholeFile(0);
  run.Stop();
  EXPECT_EQ(ReadFile(FileOf(1)), "");
  for (size_t r : {size_t{0}, size_t{2}})
    EXPECT_EQ(ReadFile(FileOf(r)), EsBytes(r).substr(0, Chunks(EsBytes(r).size()) * 32767)) << "row " << r;
  std::lock_guard<std::mutex> g(g_callsLock);
  EXPECT_EQ(g_addResults, (std::vector<int32_t>{1, 0, 3}));
}

// The disk fills under one channel: it stops with one report and keeps what it
// wrote; the other channel completes.
TEST_F(RecordingRunOnEmulator, FullDiskStopsOneChannelOnly) {
  size_t bigRow = 0, smallRow = 0;
  for (size_t r = 0; r < 3; ++r) {
    if (Chunks(services_[r]->audioEs.size()) > Chunks(services_[bigRow]->audioEs.size())) bigRow = r;
    if (Chunks(services_[r]->audioEs.size()) < Chunks(services_[smallRow]->audioEs.size())) smallRow = r;
  }
  const size_t small = Chunks(services_[smallRow]->audioEs.size());
  const size_t large = Chunks(services_[bigRow]->audioEs.size());
  ASSERT_GE(large, small + 2) << "the channels need different bit rates";
  list_.Row(bigRow).Ticked = true;
  list_.Row(smallRow).Ticked = true;
  // The write after the last chunk that fits starts exactly at the limit,
  // which raises SIGXFSZ: the program must fail that write, not die.
  const rlim_t limit = (small + 1) * 32767;

  TRecordingRun run(list_, options_, device_, hooks_, port_);
  ASSERT_TRUE(run.Start());
  struct rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit lowered = saved;
  lowered.rlim_cur = limit;
  ::setrlimit(RLIMIT_FSIZE, &lowered);
  ReplayWholeFile(0);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  run.Stop();

  {
    std::lock_guard<std::mutex> g(m_);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_NE(messages_[0].find(list_.Row(bigRow).Name), std::string::npos) << messages_[0];
  }
  const std::string big = ReadFile(FileOf(bigRow));
  EXPECT_EQ(big.size(), static_cast<size_t>(limit));
  EXPECT_TRUE(big == EsBytes(bigRow).substr(0, big.size())) << "the partial file is not intact";
  EXPECT_EQ(ReadFile(FileOf(smallRow)), EsBytes(smallRow).substr(0, small * 32767));
}

// Rows may share a name (a scan keeps duplicates): one source streams the
// first of them unmixed, and two ticked rows may not write one file.
TEST_F(RecordingRunOnEmulator, RowsOfOneNameNeitherMixStreamsNorShareAFile) {
  list_.Row(0).Name = "Dup";
  list_.Row(1).Name = "dup";
  list_.Row(1).Ticked = true;
  {
    TRecordingRun run(list_, options_, device_, hooks_, port_);
    ASSERT_TRUE(run.Start());
    Listener listener(port_, "DUP");
    ASSERT_TRUE(listener.Connected());
    ASSERT_TRUE(WaitForListeners(run, 1)) << "the listener was not attached";
    ReplayWholeFile(8.0);
    listener.WaitForBytes(200 + 8191);
    run.Stop();
    listener.WaitClosed();
    const std::string got = listener.Data();
    const size_t body = got.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    const std::string audio = got.substr(body + 4);
    ASSERT_GE(audio.size(), 8191u);
    const std::string es = EsBytes(0);
    const size_t at = es.find(audio.substr(0, 256));
    ASSERT_NE(at, std::string::npos) << "the stream is not the first row's audio";
    EXPECT_TRUE(es.compare(at, audio.size(), audio) == 0) << "two channels mixed in one stream";
    EXPECT_EQ(ReadFile(FileOf(1)), EsBytes(1).substr(0, Chunks(EsBytes(1).size()) * 32767))
        << "the ticked row still records its own channel";
  }
  list_.Row(1).Name = "Dup";
  list_.Row(0).Ticked = true;
  TRecordingRun run(list_, options_, device_, hooks_, port_);
  EXPECT_FALSE(run.Start());
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find("Dup"), std::string::npos) << messages_[0];
}

// A start refused at row 3 (a bad PID, a file that cannot be made) leaves
// the disk as it was: last run's recordings keep their bytes, and a file the
// start had just made is gone again.
TEST_F(RecordingRunOnEmulator, RefusedStartChangesNothingOnDisk) {
  for (const std::string kind : {"pid", "file"}) {
    for (size_t r = 0; r < 3; ++r) list_.Row(r).Ticked = true;
    std::ofstream(FileOf(0)) << "last run's recording";
    fs::remove(FileOf(1));
    if (kind == "pid") {
      list_.Row(2).Pid = "12x";
    } else {
      list_.Row(2).Name = "Blocked";
      fs::create_directories(FileOf(2));  // a folder where the file would go
    }
    messages_.clear();
    TRecordingRun run(list_, options_, device_, hooks_, port_);
    EXPECT_FALSE(run.Start()) << kind;
    EXPECT_EQ(messages_.size(), 1u) << kind;
    EXPECT_EQ(ReadFile(FileOf(0)), "last run's recording") << kind;
    EXPECT_FALSE(fs::exists(FileOf(1))) << kind << ": the file the start made is left behind";
    list_.Row(2).Pid = std::to_string(services_[2]->plan.audioPid);
    list_.Row(2).Name = Cp(services_[2]->plan.name);
  }
}

// The scan keeps "/" in names: such a channel records to a file in the
// record folder and streams under its own name.
TEST_F(RecordingRunOnEmulator, SlashInANameRecordsInTheFolderAndStreamsUnderTheName) {
  list_.Row(0).Name = "Jazz_24/7";
  list_.Row(0).Ticked = true;
  TRecordingRun run(list_, options_, device_, hooks_, port_);
  ASSERT_TRUE(run.Start()) << (messages_.empty() ? "" : messages_[0]);
  Listener listener(port_, "Jazz_24/7");
  ASSERT_TRUE(listener.Connected());
  ASSERT_TRUE(WaitForListeners(run, 1)) << "the stream path keeps the slash";
  ReplayWholeFile(0);
  run.Stop();
  EXPECT_EQ(ReadFile(dir_ / "Jazz_24_7.mp3"), EsBytes(0).substr(0, Chunks(EsBytes(0).size()) * 32767));
}

// A row without an audio stream (PID "0", as the scan lists it) gets no
// filter: nothing is recorded or streamed for it, and the rows after it keep
// their own channels.
TEST_F(RecordingRunOnEmulator, RowWithPidZeroRecordsNothingAndLeavesTheOthersTheirChannels) {
  for (size_t r = 0; r < 3; ++r) list_.Row(r).Ticked = true;
  list_.Row(1).Pid = "0";
  TRecordingRun run(list_, options_, device_, hooks_, port_);
  ASSERT_TRUE(run.Start());
  ReplayWholeFile(0);
  const int32_t silentStreamed = static_cast<int32_t>(run.Server()->FindSourceObject(list_.Row(1).Name)->BufferCount());
  run.Stop();
  EXPECT_EQ(ReadFile(FileOf(1)), "");
  EXPECT_EQ(silentStreamed, 0);
  for (size_t r : {size_t{0}, size_t{2}})
    EXPECT_EQ(ReadFile(FileOf(r)), EsBytes(r).substr(0, Chunks(EsBytes(r).size()) * 32767)) << "row " << r;
  std::lock_guard<std::mutex> g(g_callsLock);
  EXPECT_EQ(std::count(g_addedPids.begin(), g_addedPids.end(), 0), 0) << "the PAT was asked for as audio";
  EXPECT_EQ(g_addResults, (std::vector<int32_t>{1, 0, 3}));
}

// A recording whose close fails (a delayed write error of a network file
// system) is named once the stop is done; the stop itself completes.
TEST_F(RecordingRunOnEmulator, FailedCloseIsReportedByFileAfterACompleteStop) {
  list_.Row(0).Ticked = true;
  list_.Row(2).Ticked = true;
  TRecordingRun run(list_, options_, device_, hooks_, port_);
  ASSERT_TRUE(run.Start());
  // Take the descriptor away under the run, so that its close fails.
  const fs::path victim = fs::canonical(FileOf(2));
  int taken = -1;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(fd.path(), ec) == victim) taken = std::stoi(fd.path().filename().string());
  }
  ASSERT_GE(taken, 0);
  ASSERT_EQ(::close(taken), 0);
  EXPECT_FALSE(run.Stop());
  EXPECT_FALSE(run.Running());
  EXPECT_EQ(run.Server(), nullptr);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find(text::Cp1251ToUtf8(list_.Row(2).Name)), std::string::npos) << messages_[0];
  EXPECT_NE(messages_[0].find(victim.filename().string()), std::string::npos) << messages_[0];
  EXPECT_EQ(events_.back(), "ticks shown");
}

TEST_F(RecordingRunOnEmulator, CloseAfterTheRunSavesTheListAndClosesTheCard) {
  TRecordingRun run(list_, options_, device_, hooks_, port_);
  ASSERT_TRUE(run.Start());
  run.Stop();
  CardOpen = true;
  const fs::path listFile = dir_ / "kanal.ini";
  EXPECT_TRUE(run.CloseQuery(listFile.string()));
  EXPECT_FALSE(CardOpen);
  TChannelList reloaded;
  reloaded.LoadChannelList(listFile.string());
  EXPECT_EQ(reloaded.Count(), 3u);
}

// A list file that exists but cannot be read is not replaced by the empty
// list the failed load left, unless the user has filled the list anew. The
// reads run as "nobody", for whom a write-only file really is unreadable.
TEST(RecordingRun, CloseKeepsAListFileThatCouldNotBeRead) {
  const fs::path dir = fs::temp_directory_path() / ("mc_unread_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
  const std::string path = (dir / "kanal.ini").string();
  const std::string before = "Radio_1\r\n4112\r\n0\r\n\r\nJazz\r\n4113\r\n0\r\n\r\n";
  // A scan afterwards finds nothing (0), or one channel (1).
  const auto closeAfterFailedLoad = [&](int scanFinds) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << before;
    EXPECT_EQ(::chmod(path.c_str(), 0222), 0);
    const int code = testing_support::RunUnprivileged([&] {
      TChannelList list;
      RecordingOptions options;
      TDevicePlugin none;
      TRecordingRun run(list, options, none, RecordingHooks{}, 1);
      try {
        list.LoadChannelList(path);
        return 1;
      } catch (const text::EInOutError& e) {
        if (e.ErrorCode() != EACCES) return 2;
      }
      if (scanFinds >= 0) list.Clear();
      if (scanFinds > 0) list.AddChannelRow("Classic", "4114", "0");
      return run.CloseQuery(path) ? 0 : 3;
    });
    EXPECT_EQ(::chmod(path.c_str(), 0644), 0);
    std::ifstream in(path, std::ios::binary);
    return std::make_pair(code, std::string(std::istreambuf_iterator<char>(in), {}));
  };
  EXPECT_EQ(closeAfterFailedLoad(-1), std::make_pair(0, before));
  EXPECT_EQ(closeAfterFailedLoad(0), std::make_pair(0, before));
  EXPECT_EQ(closeAfterFailedLoad(1), std::make_pair(0, std::string("Classic\r\n4114\r\n0\r\n\r\n")));
  fs::remove_all(dir);
}

TEST(RecordingRun, StartOnAnEmptyListChangesNothing) {
  TChannelList list;
  RecordingOptions options;
  TDevicePlugin none;
  int calls = 0;
  RecordingHooks hooks;
  hooks.ToolbarChanged = [&](bool) { ++calls; };
  hooks.ListMenuChanged = [&](bool) { ++calls; };
  TRecordingRun run(list, options, none, hooks, 1);
  EXPECT_FALSE(run.Start());
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(run.Server(), nullptr);
}

TEST(RecordingRun, OutputFileNameGluesFolderAndName) {
  EXPECT_EQ(OutputFileName("C:\\", "Radio_1"), "C:\\Radio_1.mp3");
  EXPECT_EQ(OutputFileName("D:\\rec", "Radio_1"), "D:\\recRadio_1.mp3");
  EXPECT_EQ(OutputFileName("/music/", "Jazz_24/7"), "/music/Jazz_24_7.mp3") << "the folder part keeps its slashes";
  // The folder is the system's bytes, the CP1251 name is converted to join it.
  EXPECT_EQ(OutputFileName("/srv/音乐/josé/", text::Utf8ToCp1251("Радио")), "/srv/音乐/josé/Радио.mp3");
}

} // namespace
