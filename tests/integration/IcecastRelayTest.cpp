// More listeners than the program's own server takes: Debian's Icecast relays
// one channel of the headless recorder (run as a separate process on the
// Emulator card) to several listeners, while the relay holds one slot of the
// program's server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "integration/ProgramProcess.h"
#include "support/Command.h"
#include "support/OwnStreamPort.h"

namespace fs = std::filesystem;
using programtest::ReadWhole;
using programtest::TProgram;
using testsupport::CommandOutput;

namespace {

const std::string kProgram = std::string(MC_BIN_DIR) + "/mellowcaster";
const fs::path kEmulatorData = fs::path(MC_BIN_DIR) / "Device/Emulator";
const fs::path kIcecastPages = "/usr/share/icecast2";
// An ASCII name, so that the relay's mount needs no escaping.
const std::string kChannel = "Classic_Radio";
const std::string kOtherChannel = "Europa_Plus__Moscow_";
constexpr int kListeners = 4;
// What each listener reads: a few seconds of the channel.
constexpr size_t kListened = 64 * 1024;

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + separator.size())
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

// A loopback port nobody listens on at the moment of asking.
int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

// True when something accepts connections on the loopback port. A bare
// connect sends no request, so it takes no listener slot there.
bool Served(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool served = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return served;
}

// One HTTP/1.0 GET on loopback, read with bounded waits.
class THttpGet {
 public:
  THttpGet(int port, const std::string& path) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      Close();
      return;
    }
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
  }
  ~THttpGet() { Close(); }
  THttpGet(const THttpGet&) = delete;
  THttpGet& operator=(const THttpGet&) = delete;

  // Reads until the body holds `bodyBytes`, the peer closes, or `ms` pass.
  THttpGet& ReadUntil(size_t bodyBytes, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (fd_ >= 0 && Body().size() < bodyBytes) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100))) <= 0) continue;
      char buf[16384];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      data_.append(buf, static_cast<size_t>(n));
    }
    return *this;
  }
  std::string Head() const {
    const size_t end = data_.find("\r\n\r\n");
    return end == std::string::npos ? data_ : data_.substr(0, end + 4);
  }
  std::string Body() const {
    const size_t end = data_.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : data_.substr(end + 4);
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::string data_;
};

// The settings file for the Emulator card on the demo transponder.
const std::string kSettings = "5150\r\n4084\r\n2500\r\n2\r\n0\r\n3\r\n\r\n1\r\n";

// The elementary stream the transponder builder packed for the channel,
// found through its audio PID in the channel list and the builder's manifest.
std::string ChannelStream(const fs::path& channelList, const std::string& name) {
  const std::vector<std::string> lines = Split(ReadWhole(channelList.string()), "\r\n");
  std::string pid;
  for (size_t i = 0; i + 1 < lines.size(); i += 4)
    if (lines[i] == name) pid = lines[i + 1];
  std::istringstream manifest(ReadWhole((kEmulatorData / "4084H.txt").string()));
  for (std::string row; !pid.empty() && std::getline(manifest, row);) {
    const std::vector<std::string> fields = Split(row, "\t");
    if (!row.empty() && row[0] != '#' && fields.size() > 3 && fields[3] == pid)
      return ReadWhole((kEmulatorData / "4084H.es" / (fields[0] + ".mp2")).string());
  }
  return "";
}

// True when `bytes` is one unbroken run of the stream that the card replays
// in a loop. The demo's tones repeat, so the same opening can stand at
// several places: any of them will do.
bool ContiguousRun(const std::string& bytes, const std::string& stream) {
  if (bytes.size() < 256 || bytes.size() > stream.size()) return false;
  const std::string looped = stream + stream;
  const std::string opening = bytes.substr(0, 256);
  for (size_t at = looped.find(opening); at != std::string::npos && at + bytes.size() <= looped.size();
       at = looped.find(opening, at + 1))
    if (looped.compare(at, bytes.size(), bytes) == 0) return true;
  return false;
}

// Icecast on `port` of loopback, relaying the channel from the program's
// server for as long as it runs. As root, Icecast refuses to run unless told
// which user to become, so it drops to nobody, who must be able to write its
// folder.
std::string IcecastConfig(const fs::path& dir, int port, int programPort) {
  const std::string dropRoot =
      ::geteuid() == 0 ? "<changeowner><user>nobody</user><group>nogroup</group></changeowner>" : "";
  const std::string d = dir.string();
  return "<icecast>\n"
         "  <location>loopback</location><admin>root@localhost</admin><hostname>127.0.0.1</hostname>\n"
         "  <limits><clients>16</clients><sources>2</sources><source-timeout>10</source-timeout></limits>\n"
         "  <authentication><source-password>test</source-password><relay-password>test</relay-password>\n"
         "    <admin-user>admin</admin-user><admin-password>test</admin-password></authentication>\n"
         "  <listen-socket><port>" + std::to_string(port) + "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n"
         "  <relay><server>127.0.0.1</server><port>" + std::to_string(programPort) + "</port>\n"
         "    <mount>/" + kChannel + "</mount><local-mount>/" + kChannel + "</local-mount>\n"
         "    <on-demand>0</on-demand><relay-shoutcast-metadata>0</relay-shoutcast-metadata></relay>\n"
         "  <paths><basedir>" + d + "</basedir><logdir>" + d + "</logdir><pidfile>" + d + "/icecast.pid</pidfile>\n"
         "    <webroot>" + (kIcecastPages / "web").string() + "</webroot>"
         "<adminroot>" + (kIcecastPages / "admin").string() + "</adminroot></paths>\n"
         "  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>3</loglevel></logging>\n"
         "  <security><chroot>0</chroot>" + dropRoot + "</security>\n"
         "</icecast>\n";
}

class IcecastRelay : public ::testing::Test {
 protected:
  void SetUp() override {
    icecast_ = CommandOutput("command -v icecast2");
    if (icecast_.empty()) GTEST_SKIP() << "icecast2 is not installed (./run installs it)";
    icecast_.erase(icecast_.find_last_not_of("\n") + 1);
    dir_ = fs::temp_directory_path() / ("mc_icecast_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "ini");
    fs::create_directories(dir_ / "icecast");
    fs::permissions(dir_ / "icecast", fs::perms::all);
    std::ofstream(dir_ / "ini/trsp.ini", std::ios::binary) << kSettings;
    fs::copy_file(fs::path(MC_SOURCE_DIR) / "resources/ini/kanal.ini", dir_ / "ini/kanal.ini");
    fs::create_directories(dir_ / "program");
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  std::string IcecastLog() const { return ReadWhole((dir_ / "icecast/error.log").string()); }

  testsupport::TOwnStreamPort port_;
  std::string icecast_;
  fs::path dir_;
};

TEST_F(IcecastRelay, FourListenersGetTheChannelThroughOneSlotOfTheProgram) {
  const std::string stream = ChannelStream(dir_ / "ini/kanal.ini", kChannel);
  ASSERT_FALSE(stream.empty()) << "no packed stream for " << kChannel;

  // Slots counted on someone else's server would prove nothing.
  const int programPort = port_.Port();
  ASSERT_FALSE(Served(programPort)) << "another process already serves 127.0.0.1:" << programPort;
  // The program first, so that the relay finds its server at once.
  TProgram program(kProgram, {"--record", "none", "--ini", (dir_ / "ini").string()}, (dir_ / "program").string());
  ASSERT_TRUE(program.WaitForOutput("http://127.0.0.1:" + std::to_string(programPort) + "/" + kChannel, 15000))
      << program.Output() << program.Errors();

  const int port = FreeLoopbackPort();
  ASSERT_GT(port, 0);
  std::ofstream(dir_ / "icecast/icecast.xml") << IcecastConfig(dir_ / "icecast", port, programPort);
  TProgram icecast(icecast_, {"-c", (dir_ / "icecast/icecast.xml").string()}, (dir_ / "icecast").string());
  ASSERT_TRUE(icecast.Started());

  // The mount exists once the relay has connected and fed it.
  const std::string mount = "/" + kChannel;
  bool relaying = false;
  for (int tries = 0; tries < 60 && !relaying; ++tries) {
    THttpGet probe(port, mount);
    relaying = probe.ReadUntil(1, 500).Head().rfind("HTTP/1.0 200", 0) == 0 && !probe.Body().empty();
    if (!relaying) std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  ASSERT_TRUE(relaying) << icecast.Errors() << IcecastLog();

  std::vector<std::string> heads(kListeners), bodies(kListeners);
  std::vector<std::thread> listeners;
  for (int i = 0; i < kListeners; ++i)
    listeners.emplace_back([&, i] {
      THttpGet get(port, mount);
      get.ReadUntil(kListened, 30000);
      heads[i] = get.Head();
      bodies[i] = get.Body();
    });

  // Meanwhile, from outside: one slot of the program's two is still free (a
  // listener to another channel is served and attached, proved by its first
  // audio bytes), and with it taken the next one is refused: the relay holds
  // exactly one.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  {
    THttpGet second(programPort, "/" + kOtherChannel);
    EXPECT_EQ(second.ReadUntil(1, 5000).Head().rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << second.Head();
    EXPECT_FALSE(second.Body().empty());
    THttpGet third(programPort, "/" + kOtherChannel);
    EXPECT_EQ(third.ReadUntil(SIZE_MAX, 5000).Head().rfind("HTTP/1.0 504 Server Full\r\n", 0), 0u) << third.Head();
  }
  for (auto& t : listeners) t.join();

  for (int i = 0; i < kListeners; ++i) {
    SCOPED_TRACE("listener " + std::to_string(i + 1));
    EXPECT_EQ(heads[i].rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << heads[i];
    // Icecast hands on the program's content type and stream name.
    EXPECT_NE(heads[i].find("Content-Type: video/mpeg\r\n"), std::string::npos) << heads[i];
    EXPECT_NE(heads[i].find("icy-name:" + kChannel + "\r\n"), std::string::npos) << heads[i];
    EXPECT_GE(bodies[i].size(), kListened);
    EXPECT_TRUE(ContiguousRun(bodies[i], stream)) << "bytes lost, doubled or added on the way";
  }

  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(20000), 0) << program.Errors();
  icecast.Signal(SIGTERM);
  icecast.Wait(10000);
}

}  // namespace
