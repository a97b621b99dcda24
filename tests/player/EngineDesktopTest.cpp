// The engine as a listener meets it on a desktop: the sound device it
// chooses when told nothing, and commands that must not wait behind a
// connection or a device.
#include <fcntl.h>
#include <out123.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
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

class EngineDesktop : public TEngineFixture {};

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
  // Asked only now: libpulse in a child forked after it was used aborts.
  if (HasSoundDevice()) GTEST_SKIP() << "this machine has a sound device: the missing-device message is not checked";
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

}  // namespace
