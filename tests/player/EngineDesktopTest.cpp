// The engine as a listener meets it on a desktop: the sound device it
// chooses when told nothing, and commands that must not wait behind a
// connection or a device.
#include <fcntl.h>
#include <out123.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "player/EngineFixture.h"
#include "server/AudioServer.h"
#include "server/ServerTestUtil.h"

namespace {

using namespace enginetest;

// Whether this machine has a device the engine's default would use, asked of
// libout123 directly.
bool HasSoundDevice() {
  out123_handle* ao = out123_new();
  if (!ao) return false;
  out123_param_int(ao, OUT123_FLAGS, OUT123_QUIET);
  const bool ok = out123_open(ao, "pulse,alsa", nullptr) == OUT123_OK;
  out123_del(ao);
  return ok;
}

// Runs `body` in a child process with its stderr going to `errFile`; false
// when the child did not end within `limit` (it is killed then).
bool RunInChild(const std::function<int()>& body, const std::string& errFile, std::chrono::seconds limit, int& status) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::_exit(body());
  }
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(20ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return false;
}

class EngineDesktop : public TEngineFixture {
 protected:
  // Plays `input` into a WAV file to its end; the seconds rendered.
  double Render(const std::string& input) {
    const std::string out = Temp("render.wav");
    const int before = seen.Ends;
    player.OutputOpen("wav:" + out);
    player.InputOpen(input);
    player.Play();
    EXPECT_TRUE(WaitFor([&] { return seen.Ends > before; }, 30s)) << input;
    const size_t bytes = Slurp(out).size();
    return bytes > 44 ? (bytes - 44) / 4.0 / 48000 : 0;
  }
};

// Bytes that hold no frame: no 0xFF, so no sync word either.
std::string Garbage(size_t n) {
  std::string g(n, '\0');
  uint32_t seed = 7;
  for (auto& c : g) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>((seed >> 24) % 0xFF);
  }
  return g;
}

// Answers one GET with a 200 head, then sends `body` over and over until
// the peer goes or the server is destroyed.
class TEndlessServer {
 public:
  explicit TEndlessServer(std::string body) {
    listener_ = servertest::ListenOnLoopback(port_);
    thread_ = std::thread([this, body = std::move(body)] {
      const int s = ::accept(listener_, nullptr, nullptr);
      if (s < 0) return;
      servertest::ReceiveHead(s);
      std::string head = "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n";
      ::send(s, head.data(), head.size(), MSG_NOSIGNAL);
      // Bounded sends: a reader that stopped reading cannot hold this thread.
      const timeval limit{0, 100000};
      ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
      for (size_t at = 0; !stop_;) {
        const ssize_t n = ::send(s, body.data() + at, body.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        if (n > 0) at = (at + static_cast<size_t>(n)) % body.size();
      }
      ::close(s);
    });
  }
  ~TEndlessServer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::string Address() const { return "http://127.0.0.1:" + std::to_string(port_) + "/X"; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The real default output, as the window uses it: on a machine without a
// sound device the player says so, acknowledges Stop and lets go of its
// thread; nothing of the sound modules' chatter reaches stderr.
TEST(EngineNoDevice, TheDefaultOutputReportsAMissingDeviceAndStopsAndQuitsPromptly) {
  const std::string report = ::testing::TempDir() + "/nodevice_" + std::to_string(::getpid()) + ".txt";
  const std::string err = report + ".err";
  int status = 0;
  const bool ended = RunInChild(
      [&]() -> int {
        std::ofstream out(report);
        {
          TXaudioPlayer p;
          TReports r;
          p.XaudioPath = EnginePath();
          r.Watch(p);
          p.Init();
          p.InputOpen(DemoFile());
          p.Play();
          const bool told = PumpUntil(p, [&] { return !r.Errors.empty(); }, 5s);
          out << "told " << told << "\n" << r.AllErrors() << std::flush;
          p.Stop();
          out << "stopped " << PumpUntil(p, [&] { return r.Acked(XA_MSG_COMMAND_STOP); }, 2s) << "\n" << std::flush;
        }
        out << "deleted\n" << std::flush;
        return 0;
      },
      err, 20s, status);
  const std::string said = Slurp(report), noise = Slurp(err);
  std::remove(report.c_str());
  std::remove(err.c_str());
  ASSERT_TRUE(ended) << "the player hung:\n" << said;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
  EXPECT_NE(said.find("stopped 1"), std::string::npos) << said;
  EXPECT_NE(said.find("deleted"), std::string::npos) << said;
  EXPECT_EQ(noise, "");
  // Asked in a child of its own: the sound libraries keep what they allocate
  // until the process ends, and libpulse in a child forked after it was used
  // aborts.
  int asked = 0;
  if (RunInChild([] { return HasSoundDevice() ? 1 : 0; }, "/dev/null", 20s, asked) && WIFEXITED(asked) &&
      WEXITSTATUS(asked) == 1)
    GTEST_SKIP() << "this machine has a sound device: the missing-device message is not checked";
  EXPECT_NE(said.find("told 1"), std::string::npos) << said;
  EXPECT_NE(said.find("no sound device"), std::string::npos) << said;
}

// The player changes channel while one other listener holds the server's
// second slot: the new channel opens, nothing is refused.
TEST_F(EngineDesktop, SwitchingChannelWithAnotherListenerAttachedIsServedAtOnce) {
  uint16_t port = 0;
  std::unique_ptr<TAudioServer> server;
  for (int attempt = 0; attempt < 5 && !server; ++attempt) server = StartRecordingServer({"Radio 1", "Jazz"}, port = servertest::FreePort());
  ASSERT_TRUE(server);
  const int other = servertest::Connect(port);
  servertest::SendAll(other, "GET /Jazz HTTP/1.0\r\n\r\n");
  ASSERT_EQ(servertest::ReceiveHead(other).substr(0, 15), "HTTP/1.0 200 OK");
  player.OutputOpen("dummy");
  const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/";
  for (const char* channel : {"Radio 1", "Jazz", "Radio 1"}) {
    SCOPED_TRACE(channel);
    seen.Acks.clear();
    player.InputOpen(base + channel);
    ASSERT_TRUE(WaitFor([&] { return seen.Acked(XA_MSG_COMMAND_INPUT_OPEN) || !seen.Errors.empty(); }));
    EXPECT_TRUE(seen.Errors.empty()) << seen.AllErrors();
    EXPECT_TRUE(servertest::WaitUntil([&] { return server->ClientCount() == 2; }));
  }
  ::close(other);
}

// A run of bytes that are no audio in the middle of a recording is skipped:
// playback resumes at the next frame and goes on to the end.
TEST_F(EngineDesktop, DamageInAFileIsSkippedToTheNextGoodFrame) {
  const std::string demo = Slurp(DemoFile());
  ASSERT_GT(demo.size(), 200000u);
  const std::string damaged = Temp("damaged.mp2");
  std::ofstream(damaged, std::ios::binary) << demo.substr(0, 100000) << Garbage(8192) << demo.substr(100000);
  EXPECT_GT(Render(damaged), 55.0) << seen.AllErrors();
  EXPECT_EQ(seen.State, XA_PLAYER_STATE_STOPPED);
}

// A server that takes the connection and never answers holds an open for
// its whole time-out; a stop or another input queued behind it cuts it short.
TEST_F(EngineDesktop, AStopOrNewInputQueuedBehindAConnectingOpenIsNotHeldUp) {
  uint16_t mutePort = 0;
  const int mute = servertest::ListenOnLoopback(mutePort, 8);  // connections wait in the backlog, unanswered
  ASSERT_GE(mute, 0);
  const std::string silent = "http://127.0.0.1:" + std::to_string(mutePort) + "/X";
  const std::string closed = "http://127.0.0.1:" + std::to_string(servertest::FreePort()) + "/X";
  player.OutputOpen("dummy");
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stop" : "new input");
    seen.Errors.clear();
    seen.Acks.clear();
    player.InputOpen(silent);
    if (stop)
      player.Stop();
    else
      player.InputOpen(closed);  // refused at once, so its answer comes at once too
    // Well inside the five seconds an unanswered open would wait.
    EXPECT_TRUE(WaitFor([&] { return stop ? seen.Acked(XA_MSG_COMMAND_STOP) : seen.Errors.size() >= 2; }, 2500ms))
        << seen.AllErrors();
  }
  ::close(mute);
}

// A recording still being written: the length follows the file, so a seek
// to three quarters lands three quarters into what exists by then.
TEST_F(EngineDesktop, AGrowingFileIsSeekableIntoWhatHasBeenWrittenSince) {
  const std::string demo = Slurp(DemoFile());
  const std::string growing = Temp("growing.mp2");
  const size_t tenSeconds = 192000 / 8 * 10;
  std::ofstream(growing, std::ios::binary) << demo.substr(0, tenSeconds);
  player.OutputOpen("dummy");
  player.InputOpen(growing);
  player.Play();
  ASSERT_TRUE(WaitFor([&] { return seen.Timecodes > 0; }));
  std::ofstream(growing, std::ios::binary | std::ios::app) << demo.substr(tenSeconds);
  // The position, out of the grown length, falls back near the start.
  ASSERT_TRUE(WaitFor([&] { return seen.LastRange > 0 && seen.LastOffset * 10 < seen.LastRange; }));
  player.InputSeek(300, 400);
  ASSERT_TRUE(WaitFor([&] { return seen.LastTimecode > 40 || !seen.Nacks.empty(); }));
  EXPECT_NEAR(seen.LastTimecode, 45, 2);
  EXPECT_TRUE(seen.Nacks.empty());
}

// The same in a live stream: every stretch of damage is skipped and the
// station plays on.
TEST_F(EngineDesktop, DamageInAStreamIsSkippedAndPlaybackGoesOn) {
  const std::string demo = Slurp(DemoFile());
  // About 2 s of audio, then the damage, over and over.
  TEndlessServer station(demo.substr(0, 48000) + Garbage(8192));
  player.OutputOpen("dummy");
  player.InputOpen(station.Address());
  player.Play();
  EXPECT_TRUE(WaitFor([&] { return seen.LastTimecode > 5 || seen.State == XA_PLAYER_STATE_STOPPED; }, 20s));
  EXPECT_GT(seen.LastTimecode, 5) << seen.AllErrors();
  EXPECT_EQ(seen.State, XA_PLAYER_STATE_PLAYING) << seen.AllErrors();
  player.Stop();
  EXPECT_TRUE(WaitFor([&] { return seen.Acked(XA_MSG_COMMAND_STOP); }));
}

// Input with no audio in it ends with an error that says so, never a quiet
// end nor playing on for ever.
TEST_F(EngineDesktop, InputWithoutAudioEndsWithAnError) {
  const std::string empty = Temp("empty.mp2"), noise = Temp("noise.mp2");
  std::ofstream(empty, std::ios::binary).flush();
  std::ofstream(noise, std::ios::binary) << Garbage(300000);
  TEndlessServer garbage(Garbage(16384));
  const struct {
    std::string input, says;
  } cases[] = {{empty, "no MPEG audio"}, {noise, "no MPEG audio"}, {::testing::TempDir(), "folder"},
               {garbage.Address(), "no MPEG audio"}};
  player.OutputOpen("dummy");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    seen.Errors.clear();
    player.InputOpen(c.input);
    player.Play();
    ASSERT_TRUE(WaitFor([&] { return !seen.Errors.empty(); }));
    EXPECT_NE(seen.Errors[0].find(c.says), std::string::npos) << seen.AllErrors();
    EXPECT_TRUE(WaitFor([&] { return seen.State != XA_PLAYER_STATE_PLAYING; }));
  }
}

}  // namespace
