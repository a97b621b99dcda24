// The component against stand-in engines: loading failures with their exact
// messages, commands reaching the engine with their codes and argument
// shapes, and notifications raised as typed events on the pumping thread.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "player/XaudioPlayer.h"

namespace {

std::string Fake(const std::string& name) { return std::string(MC_FAKE_XAUDIO_DIR) + "/libfake_xaudio_" + name + ".so"; }

// The stand-in's call log since the last read.
std::string TakeLog(const std::string& lib) {
  void* h = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!h) return "(not loaded)";
  auto fn = reinterpret_cast<const char* (*)()>(::dlsym(h, "fake_log"));
  std::string out = fn();
  ::dlclose(h);
  return out;
}

void Emit(const std::string& lib, int code) {
  void* h = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(h, nullptr);
  reinterpret_cast<void (*)(int)>(::dlsym(h, "fake_emit"))(code);
  ::dlclose(h);
}

// A line of the stand-in's call log: the command's shape, code and arguments.
std::string Sent(const char* shape, int code, const std::string& args = "") {
  return std::string(shape) + " " + std::to_string(code) + (args.empty() ? "" : " " + args);
}

std::string MessageOf(TXaudioPlayer& p) {
  try {
    p.Init();
  } catch (const EXaudioException& e) {
    return e.what();
  }
  return "(no exception)";
}

TEST(XaudioPlayerLoad, FailuresRaiseTheirExactMessages) {
  struct Case {
    std::string lib, message;
  } cases[] = {
      {"/nonexistent/libxaudio.so", "Cannot Load Xaudio DLL (/nonexistent/libxaudio.so)"},
      {Fake("noversion"), "Cannot Find Symbol xaudio_get_version in Xaudio DLL"},
      {Fake("nosym"), "Cannot Find Symbol control_win32_params_to_message in Xaudio DLL"},
      {Fake("v37"), "Xaudio DLL API Mismatch\rExpected 3.8, Got 3.7"},
      {Fake("newfails"), "Cannot Start Xaudio Player"},
  };
  for (const auto& c : cases) {
    TXaudioPlayer p;
    p.XaudioPath = c.lib;
    EXPECT_EQ(MessageOf(p), c.message) << c.lib;
    EXPECT_FALSE(p.PlayerExists());
    EXPECT_EQ(p.GetVersion(), 0u);
    // Every command meets the same failure before it reaches an engine.
    EXPECT_THROW(p.Play(), EXaudioException);
  }
}

TEST(XaudioPlayerLoad, AMissingSymbolUnloadsSoTheNextCommandTriesAgain) {
  TXaudioPlayer p;
  p.XaudioPath = Fake("nosym");
  EXPECT_THROW(p.Stop(), EXaudioException);
  void* still = ::dlopen(Fake("nosym").c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(still, nullptr) << "the library stayed loaded";
  if (still) ::dlclose(still);
  p.XaudioPath = Fake("ok");
  EXPECT_NO_THROW(p.Stop());
  EXPECT_TRUE(p.PlayerExists());
  EXPECT_EQ(TakeLog(Fake("ok")), "player_new\n" + Sent("N", XA_MSG_COMMAND_STOP) + "\n");
}

TEST(XaudioPlayerLoad, TheDefaultLibraryIsTheEngineBesideTheExecutable) {
  TXaudioPlayer p;
  EXPECT_EQ(p.XaudioPath.substr(p.XaudioPath.rfind('/')), "/libxaudio.so");
}

class XaudioPlayerFake : public ::testing::Test {
 protected:
  void SetUp() override {
    player.XaudioPath = Fake("ok");
    TakeLog(Fake("ok"));
  }
  std::string Log() { return TakeLog(Fake("ok")); }
  TXaudioPlayer player;
};

TEST_F(XaudioPlayerFake, PriorityIsStoredUntilAPlayerExistsThenTheEngines) {
  EXPECT_EQ(player.GetPriority(), 3u);
  player.SetPriority(4);
  EXPECT_EQ(player.GetPriority(), 4u);
  ASSERT_TRUE(player.Init());
  EXPECT_EQ(Log(), "player_new\npriority 4\n");
  EXPECT_EQ(player.GetPriority(), 5u);  // the stand-in's own answer
  player.SetPriority(1);
  EXPECT_EQ(Log(), "priority 1\n");
  EXPECT_EQ(player.GetVersion() >> 8, 0x308u);
  EXPECT_EQ(player.ErrorString(XA_ERROR_NOT_IMPLEMENTED), "fake: not implemented");
}

TEST_F(XaudioPlayerFake, TheDefaultPriorityIsNotSent) {
  player.Init();
  EXPECT_EQ(Log(), "player_new\n");
}

TEST_F(XaudioPlayerFake, CommandsReachTheEngineWithTheirCodesAndShapes) {
  player.Init();
  Log();
  XA_EqualizerInfo eq{};
  eq.left[0] = -100;
  eq.right[31] = 100;
  const char data[] = "blob";
  struct Case {
    std::function<int()> call;
    std::string line;
  } cases[] = {
      {[&] { return player.Play(); }, Sent("N", XA_MSG_COMMAND_PLAY)},
      {[&] { return player.Pause(); }, Sent("N", XA_MSG_COMMAND_PAUSE)},
      {[&] { return player.Stop(); }, Sent("N", XA_MSG_COMMAND_STOP)},
      {[&] { return player.InputClose(); }, Sent("N", XA_MSG_COMMAND_INPUT_CLOSE)},
      {[&] { return player.GetCodecEqualizer(); }, Sent("N", XA_MSG_GET_CODEC_EQUALIZER)},
      {[&] { return player.GetDebugLevel(); }, Sent("N", XA_MSG_GET_DEBUG_LEVEL)},
      {[&] { return player.Ping(77); }, Sent("I", XA_MSG_COMMAND_PING, "77")},
      {[&] { return player.SetInputPositionRange(1000); }, Sent("I", XA_MSG_SET_INPUT_POSITION_RANGE, "1000")},
      {[&] { return player.SetNotificationMask(0x55); }, Sent("I", XA_MSG_SET_NOTIFICATION_MASK, "85")},
      {[&] { return player.InputSeek(200, 400); }, Sent("II", XA_MSG_COMMAND_INPUT_SEEK, "200 400")},
      {[&] { return player.InputOpen("http://127.0.0.1:3587/Radio 1"); },
       Sent("S", XA_MSG_COMMAND_INPUT_OPEN, "http://127.0.0.1:3587/Radio 1")},
      {[&] { return player.OutputOpen("dummy"); }, Sent("S", XA_MSG_COMMAND_OUTPUT_OPEN, "dummy")},
      {[&] { return player.SetOutputName("x"); }, Sent("S", XA_MSG_SET_OUTPUT_NAME, "x")},
      {[&] { return player.InputAddFilter("f", 2); }, Sent("SI", XA_MSG_COMMAND_INPUT_ADD_FILTER, "f 2")},
      {[&] { return player.SetPlayerEnvironmentInteger("n", -3); },
       Sent("SI", XA_MSG_SET_PLAYER_ENVIRONMENT_INTEGER, "n -3")},
      {[&] { return player.SetPlayerEnvironmentString("name", "value"); },
       Sent("SS", XA_MSG_SET_PLAYER_ENVIRONMENT_STRING, "name value")},
      {[&] { return player.InputSendMessage(0xFFFF, data, 5); },
       Sent("IPI", XA_MSG_COMMAND_INPUT_SEND_MESSAGE, "65535 blob 5")},
      {[&] { return player.CodecSendMessage(1, data, 5); }, Sent("IPI", XA_MSG_COMMAND_CODEC_SEND_MESSAGE, "1 blob 5")},
      {[&] { return player.SetCodecEqualizer(eq); }, Sent("P", XA_MSG_SET_CODEC_EQUALIZER, "-100 100")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(Log(), c.line + "\n");
  }
  EXPECT_EQ(player.SetOutputVolume(-1, 42, -1), 42);
  EXPECT_EQ(Log(), Sent("III", XA_MSG_SET_OUTPUT_VOLUME, "-1 42 -1") + "\n");
}

TEST_F(XaudioPlayerFake, NotificationsBecomeTypedEventsOnTheOwnerThread) {
  std::vector<std::function<void()>> queue;
  std::mutex lock;
  player.SetDispatcher([&](std::function<void()> f) {
    std::lock_guard<std::mutex> g(lock);
    queue.push_back(std::move(f));
  });
  player.Init();
  std::vector<std::string> seen;
  const auto owner = std::this_thread::get_id();
  auto note = [&](std::string s) {
    EXPECT_EQ(std::this_thread::get_id(), owner);
    seen.push_back(std::move(s));
  };
  player.OnNotifyMessage = [&](TXaudioPlayer*, const XA_Message& m) { note("msg " + std::to_string(m.code)); };
  player.OnNotifyNack = [&](TXaudioPlayer*, uint8_t cmd, int16_t code) {
    note("nack " + std::to_string(cmd) + " " + std::to_string(code));
  };
  player.OnNotifyInputPosition = [&](TXaudioPlayer*, uint32_t o, uint32_t r) {
    note("pos " + std::to_string(o) + "/" + std::to_string(r));
  };
  player.OnNotifyInputTimecode = [&](TXaudioPlayer*, uint8_t h, uint8_t m, uint8_t s, uint8_t f) {
    note("tc " + std::to_string(h) + ":" + std::to_string(m) + ":" + std::to_string(s) + "." + std::to_string(f));
  };
  player.OnNotifyStreamParameters = [&](TXaudioPlayer*, uint32_t f, int16_t b, uint8_t c) {
    note("params " + std::to_string(f) + " " + std::to_string(b) + " " + std::to_string(c));
  };
  player.OnNotifyError = [&](TXaudioPlayer*, uint8_t s, int16_t c, const std::string& m) {
    note("error " + std::to_string(s) + " " + std::to_string(c) + " " + m);
  };
  player.OnNotifyCodecEqualizer = [&](TXaudioPlayer*, const XA_EqualizerInfo& e) {
    note("eq " + std::to_string(e.left[3]) + " " + std::to_string(e.right[31]));
  };
  player.OnNotifyOutputDeviceInfo = [&](TXaudioPlayer*, uint8_t m, uint8_t i, uint8_t f, const std::string& n,
                                        const std::string& d) {
    note("dev " + std::to_string(m) + std::to_string(i) + std::to_string(f) + " " + n + " / " + d);
  };
  // Each code posted, with the event it raises after OnNotifyMessage. 96 lies
  // in a gap of the codes and has no event of its own; the code after the
  // last notification is outside the typed range: both reach only
  // OnNotifyMessage.
  const std::pair<int, std::string> posted[] = {
      {XA_MSG_NOTIFY_NACK, "nack " + std::to_string(XA_MSG_COMMAND_INPUT_OPEN) + " -300"},
      {XA_MSG_NOTIFY_INPUT_POSITION, "pos 200/400"},
      {XA_MSG_NOTIFY_INPUT_TIMECODE, "tc 1:2:3.45"},
      {XA_MSG_NOTIFY_STREAM_PARAMETERS, "params 48000 320 2"},
      {XA_MSG_NOTIFY_ERROR, "error 1 -9 boom"},
      {XA_MSG_NOTIFY_CODEC_EQUALIZER, "eq -100 100"},
      {XA_MSG_NOTIFY_OUTPUT_DEVICE_INFO, "dev 234 dev / a device"},
      {96, ""},
      {XA_MSG_NOTIFY_ERROR + 1, ""},
  };
  for (const auto& [code, event] : posted) Emit(Fake("ok"), code);
  EXPECT_TRUE(seen.empty()) << "an event ran before the owner pumped";
  std::vector<std::function<void()>> run;
  {
    std::lock_guard<std::mutex> g(lock);
    run.swap(queue);
  }
  for (auto& f : run) f();
  std::vector<std::string> expected;
  for (const auto& [code, event] : posted) {
    expected.push_back("msg " + std::to_string(code));
    if (!event.empty()) expected.push_back(event);
  }
  EXPECT_EQ(seen, expected);
}

TEST(XaudioPlayerFakeLifetime, ClosuresLeftAfterTheComponentIsGoneDoNothing) {
  std::vector<std::function<void()>> queue;
  {
    TXaudioPlayer p;
    p.XaudioPath = Fake("ok");
    p.SetDispatcher([&](std::function<void()> f) { queue.push_back(std::move(f)); });
    p.OnNotifyReady = [](TXaudioPlayer*) { ADD_FAILURE() << "raised after destruction"; };
    p.Init();
    Emit(Fake("ok"), XA_MSG_NOTIFY_READY);
  }
  ASSERT_EQ(queue.size(), 1u);
  queue[0]();
}

}  // namespace
